#include "support/path.h"

#include <algorithm>

namespace mGlobal {

std::wstring FilePathOnly(const std::wstring& path) {
    const bool hadSlash = path.find(L'/') != std::wstring::npos;
    std::wstring s = path;
    std::replace(s.begin(), s.end(), L'\\', L'/');
    const size_t last = s.rfind(L'/');
    if (last != std::wstring::npos)
        s.erase(last);
    if (!hadSlash)
        std::replace(s.begin(), s.end(), L'/', L'\\');
    return s;
}

std::wstring FileNameOnly(const std::wstring& path) {
    std::wstring s = path;
    std::replace(s.begin(), s.end(), L'/', L'\\');
    const size_t last = s.rfind(L'\\');
    return last == std::wstring::npos ? s : s.substr(last + 1);
}

std::wstring AddSlash(std::wstring& text) {
    if (text.empty() || (text.back() != L'\\' && text.back() != L'/'))
        text.push_back(text.find(L'/') != std::wstring::npos ? L'/' : L'\\');
    return text;
}

bool IsRootedPath(const std::wstring& path) {
    return path.rfind(L"\\\\", 0) == 0 || (path.size() >= 2 && path[1] == L':');
}

std::wstring LongPathPrefix(const std::wstring& path) {
    if (path.rfind(L"\\\\", 0) != 0 && path.size() >= 2 && path[1] == L':')
        return L"\\\\?\\" + path;
    return path;
}

}  // namespace mGlobal
