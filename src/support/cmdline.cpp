#include "support/cmdline.h"

#include "support/encoding.h"

namespace mCmdLine {

std::vector<std::wstring> SplitStrings(const std::wstring& text, bool stripQuotes) {
    std::vector<std::wstring> items;
    if (text.find(L'"') == std::wstring::npos) {
        if (text.empty())
            return items;
        size_t start = 0;
        for (;;) {
            const size_t blank = text.find(L' ', start);
            if (blank == std::wstring::npos) {
                items.push_back(text.substr(start));
                break;
            }
            items.push_back(text.substr(start, blank - start));
            start = blank + 1;
        }
        return items;
    }
    bool inQuotes = false;
    std::wstring current;
    for (wchar_t c : text) {
        if (c == L' ' && !inQuotes) {
            items.push_back(current);
            current.clear();
        } else if (c == L'"') {
            inQuotes = !inQuotes;
            if (!stripQuotes)
                current.push_back(c);
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty())
        items.push_back(current);
    return items;
}

std::wstring GetCmdValIn(const std::wstring& name, bool stripQuotes, const std::wstring& cmdText) {
    const std::wstring key = L"/" + name + L"=";
    // Only where it starts an argument: "/log=\"C:\x /src=D:\y\"" holds no option src.
    size_t at = std::wstring::npos;
    bool inQuotes = false;
    for (size_t i = 0; i < cmdText.size() && at == std::wstring::npos; ++i) {
        if (!inQuotes && (i == 0 || cmdText[i - 1] == L' ' || cmdText[i - 1] == L'\t') &&
            mStringTools::FindNoCase(cmdText.substr(i, key.size()), key) == 0)
            at = i;
        inQuotes ^= cmdText[i] == L'"';
    }
    if (at == std::wstring::npos)
        return std::wstring();
    const std::wstring rest = mStringTools::TrimBlanks(cmdText.substr(at + key.size()));
    const std::vector<std::wstring> items = SplitStrings(rest, stripQuotes);
    return items.empty() ? std::wstring() : items[0];
}

std::wstring ArgsAfterProgramPath(const std::wstring& cmdLine, const std::wstring& programPath) {
    std::wstring s = mStringTools::TrimBlanks(cmdLine);
    size_t skip = programPath.size();
    if (!s.empty() && s[0] == L'"')
        skip += 2;
    s = skip < s.size() ? s.substr(skip) : std::wstring();
    return mStringTools::TrimBlanks(s);
}

bool IsMakerMode(const std::wstring& args, const std::wstring& exeNameWithoutExtension) {
    return mStringTools::FindNoCase(args, L"/maker") != std::wstring::npos ||
           exeNameWithoutExtension == L"OVPatchMaker";
}

}  // namespace mCmdLine
