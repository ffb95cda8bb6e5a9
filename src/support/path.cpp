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

std::wstring WithSlash(std::wstring path) {
    if (path.empty() || path.back() != L'\\')
        path.push_back(L'\\');
    return path;
}

std::wstring WithoutSlash(std::wstring path) {
    if (!path.empty() && path.back() == L'\\')
        path.pop_back();
    return path;
}

bool NamesVolume(const std::wstring& path) {
    return path.rfind(L"\\\\", 0) == 0 || (path.size() >= 2 && path[1] == L':');
}

std::wstring VolumePart(const std::wstring& path) {
    const bool extended = path.rfind(L"\\\\?\\", 0) == 0;
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0 || (path.rfind(L"\\\\", 0) == 0 && !extended)) {
        const size_t server = path.find(L'\\', extended ? 8 : 2);
        const size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
        return path.substr(0, share);
    }
    const size_t drive = extended ? 4 : 0;
    if (path.size() >= drive + 2 && path[drive + 1] == L':')
        return path.substr(0, drive + 2);
    return std::wstring();
}

std::wstring ExtendedPath(const std::wstring& path) {
    if (path.rfind(L"\\\\", 0) == 0 && path.rfind(L"\\\\?\\", 0) != 0 && path.rfind(L"\\\\.\\", 0) != 0)
        return L"\\\\?\\UNC\\" + path.substr(2);
    return LongPathPrefix(path);
}

std::wstring LongPathPrefix(const std::wstring& path) {
    if (path.rfind(L"\\\\", 0) != 0 && path.size() >= 2 && path[1] == L':')
        return L"\\\\?\\" + path;
    return path;
}

}  // namespace mGlobal
