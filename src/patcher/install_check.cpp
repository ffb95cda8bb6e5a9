#include "patcher/install_check.h"

#include "support/encoding.h"
#include "support/path.h"

namespace mInstallCheck {

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
    return mStringTools::ReplaceAll(text, L"%lang%", orvLang);
}

}  // namespace mInstallCheck
