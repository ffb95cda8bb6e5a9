#include "patcher/install_check.h"

#include "support/path.h"

namespace mInstallCheck {

std::wstring RootOfMenu(const std::wstring& menuPath) {
    std::wstring root = menuPath;
    for (int up = 0; up < 3; ++up) {
        const std::wstring parent = mGlobal::FilePathOnly(root);
        // Fewer than three levels: stripping would stop at the drive, which is not where this menu's root is.
        if (parent == root || parent.empty())
            return {};
        root = parent;
    }
    return root;
}

std::vector<std::wstring> RootsOfMenus(const std::vector<std::wstring>& menuPaths,
                                       const std::function<bool(const std::wstring& root)>& isInstallation) {
    std::vector<std::wstring> roots;
    for (auto it = menuPaths.rbegin(); it != menuPaths.rend(); ++it) {
        const std::wstring root = RootOfMenu(*it);
        if (!root.empty() && isInstallation(root))
            roots.push_back(root);
    }
    return roots;
}

std::wstring MenuOfRoot(const std::vector<std::wstring>& menuPaths,
                        const std::wstring& root,
                        bool (*sameFolder)(const std::wstring&, const std::wstring&)) {
    for (const std::wstring& path : menuPaths) {
        const std::wstring menuRoot = RootOfMenu(path);
        if (!menuRoot.empty() && sameFolder(menuRoot, root))
            return path;
    }
    return std::wstring();
}

Verdict CheckPatchFits(const cXmlNode& descriptor, const cXmlNode& versionFile, const LowerCase& lower) {
    if (versionFile.Name() != L"OrvanaVersion")
        return Verdict::BadVersionFile;
    const std::wstring orvLang = descriptor.ChildValue(L"ORVLang");
    if (!orvLang.empty() && lower(versionFile.ChildValue(L"Lang")) != lower(orvLang))
        return Verdict::LangMismatch;
    // std::wstring compares code unit by code unit, which is the ordinal order the identifiers need.
    const std::wstring installed = versionFile.ChildValue(L"Patch");
    const std::wstring needed = descriptor.ChildValue(L"ORVPatchNeeded");
    if (!needed.empty() && installed < needed)
        return Verdict::VersionMismatch;
    const std::wstring patch = descriptor.ChildValue(L"PatchVersion");
    if (!patch.empty()) {
        if (installed > patch)
            return Verdict::NoUpdateNeeded;
        if (installed == patch)
            return Verdict::UpdateAlreadyDone;
    }
    return Verdict::Fits;
}

std::wstring LangMismatchText(const std::wstring& text, const std::wstring& orvLang) {
    static const std::wstring placeholder = L"%lang%";
    std::wstring out;
    size_t from = 0;
    for (size_t at; (at = text.find(placeholder, from)) != std::wstring::npos; from = at + placeholder.size())
        out += text.substr(from, at - from) + orvLang;
    return out + text.substr(from);
}

}  // namespace mInstallCheck
