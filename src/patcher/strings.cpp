#include "patcher/strings.h"

#include "support/encoding.h"
#include "support/sys_error.h"

namespace mPatchStrings {

namespace {

[[noreturn]] void ThrowInvalidCall() {
    throw SysError{kErrInvalidCall, L"Invalid procedure call or argument"};
}

int32_t Position(size_t index) {
    return static_cast<int32_t>(index + 1);
}

}  // namespace

LanguageChoice ChooseLanguage(const std::wstring& descriptor, const std::wstring& cultureName) {
    using mStringTools::FindNoCase;
    constexpr size_t npos = std::wstring::npos;
    LanguageChoice choice;

    const size_t strings = FindNoCase(descriptor, L"<Strings");
    if (strings != npos) {
        const size_t end = descriptor.find(L"</Strings", strings);
        if (end != npos) {
            // Up to and including the "<" of the closing tag, so a block tag is looked for inside only.
            const std::wstring table = descriptor.substr(strings, end - strings + 1);
            std::wstring code = cultureName;
            size_t at = FindNoCase(table, L"<" + code + L">");
            if (at == npos && code.size() >= 3) {
                code = code.substr(0, 2);
                at = FindNoCase(table, L"<" + code + L">");
            }
            if (at != npos) {
                choice.LangCode = code;
                choice.StringsPos = Position(strings + at);
                return choice;
            }
        }
    }

    choice.LangCode = L"EN";
    if (strings == npos) {
        ThrowInvalidCall();
    }
    const size_t english = FindNoCase(descriptor, L"<EN>", strings);
    choice.StringsPos = english == npos ? 0 : Position(english);
    return choice;
}

std::wstring ExpandLineBreaks(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'n') {
            out += L"\r\n";
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::wstring GetString(const cXmlNode& descriptor, int32_t stringsPos, const std::wstring& key) {
    if (stringsPos == 0) {
        return {};
    }
    int32_t position = stringsPos;
    return ExpandLineBreaks(descriptor.ChildValue(key, position));
}

std::wstring UpdateInfoText(const cXmlNode& descriptor, const std::wstring& langCode) {
    using mStringTools::FindNoCase;
    std::wstring info = ExpandLineBreaks(descriptor.ChildValue(L"UpdateInfo"));
    if (info.empty() || info[0] != L'<') {
        return info;
    }
    const std::wstring opening = L"<" + langCode + L">";
    const size_t at = FindNoCase(info, opening);
    if (at == std::wstring::npos) {
        return info;
    }
    std::wstring rest = info.substr(at + opening.size());
    const size_t end = FindNoCase(rest, L"</" + langCode + L">");
    if (end == std::wstring::npos) {
        ThrowInvalidCall();
    }
    rest.resize(end);
    return rest;
}

}  // namespace mPatchStrings
