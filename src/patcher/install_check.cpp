#include "patcher/install_check.h"

#include "patcher/apply.h"
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

std::wstring MenuOfRoot(const std::vector<std::wstring>& menuPaths, const std::wstring& root) {
    for (const std::wstring& path : menuPaths) {
        if (RootOfMenu(path) == root)
            return path;
    }
    return menuPaths.empty() ? std::wstring() : menuPaths.front();
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

Verdict CheckInstallation(const cXmlNode& descriptor,
                          const std::wstring& installRoot,
                          const FileExists& fileExists,
                          const LoadText& loadText,
                          const LowerCase& lower) {
    const std::wstring installer = installRoot + mApplyPatch::kInstallerFolder;
    if (!fileExists(installer + L"7z.dll") || !fileExists(installer + L"7z.exe"))
        return Verdict::NoArchiver;
    const std::wstring versionPath = installRoot + mApplyPatch::kVersionFile;
    if (!fileExists(versionPath))
        return Verdict::NoVersionFile;
    return CheckPatchFits(descriptor, cXmlNode(loadText(versionPath)), lower);
}

VerdictMessage MessageFor(Verdict verdict) {
    switch (verdict) {
        case Verdict::Fits:
            return {nullptr, Box::OkInformation};
        case Verdict::LangMismatch:
            return {L"LangMismatch", Box::OkCritical};
        case Verdict::VersionMismatch:
            return {L"VersionMismatch", Box::OkCritical};
        case Verdict::NoUpdateNeeded:
            return {L"NoUpdateNeeded", Box::OkInformation};
        case Verdict::UpdateAlreadyDone:
            return {L"UpdateAlreadyDone", Box::YesNoQuestion};
        default:
            return {L"CantUpdate", Box::OkCritical};
    }
}

std::wstring VerdictText(Verdict verdict,
                         const cXmlNode& descriptor,
                         const std::function<std::wstring(const std::wstring& key)>& lookup) {
    const VerdictMessage message = MessageFor(verdict);
    if (!message.key)
        return {};
    if (verdict == Verdict::LangMismatch)
        return LangMismatchText(lookup(message.key), descriptor.ChildValue(L"ORVLang"));
    return lookup(message.key);
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
