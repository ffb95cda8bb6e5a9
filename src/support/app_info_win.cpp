#include "support/app_info_win.h"

#include <windows.h>

#include "support/encoding.h"
#include "support/version_info.h"

namespace {

const VersionInfo& OwnVersion() {
    static const VersionInfo info = [] {
        HMODULE self = GetModuleHandleW(nullptr);
        HRSRC res = FindResourceW(self, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16) /* RT_VERSION */);
        if (!res)
            return VersionInfo{};
        HGLOBAL loaded = LoadResource(self, res);
        const void* data = loaded ? LockResource(loaded) : nullptr;
        if (!data)
            return VersionInfo{};
        return ParseVersionResource(std::string(static_cast<const char*>(data), SizeofResource(self, res)));
    }();
    return info;
}

}  // namespace

std::wstring AppTitle() {
    return OwnVersion().productName;
}

std::wstring AppVersion() {
    const VersionInfo& v = OwnVersion();
    using mStringTools::DecimalText;
    return DecimalText(v.major) + L"." + DecimalText(v.minor) + L"." + DecimalText(v.revision);
}
