// The decisions of the patcher's start-up that need no platform: whether an installation can take this
// patch.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "appclose/installations.h"
#include "container/xml_node.h"

namespace mInstallCheck {

// The window still asks for it here.
using mAppClose::MenuOfRoot;

// What the patch's checks against the installation conclude.
enum class Verdict {
    Fits,               // nothing to say; the update may be applied
    NoArchiver,         // 7z.exe or 7z.dll missing from the installer folder: CantUpdate
    NoVersionFile,      // no version.ver: CantUpdate
    BadVersionFile,     // root element is not exactly OrvanaVersion: CantUpdate
    LangMismatch,       // the installation speaks another language
    VersionMismatch,    // the prerequisite patch is not installed
    NoUpdateNeeded,     // the installation is newer than this patch
    UpdateAlreadyDone,  // this very patch is installed: ask whether to apply it again
};

// Lower-cases a text the way the user's locale does.
using LowerCase = std::function<std::wstring(const std::wstring&)>;

// Checks the descriptor's ORVLang, ORVPatchNeeded and PatchVersion against the installation's version
// file, in that order; the first check that fails decides. Patch identifiers compare as text, code unit by
// code unit; an empty descriptor value switches its check off.
Verdict CheckPatchFits(const cXmlNode& descriptor, const cXmlNode& versionFile, const LowerCase& lower);

// The LangMismatch text with every "%lang%" replaced by the descriptor's ORVLang as written.
std::wstring LangMismatchText(const std::wstring& text, const std::wstring& orvLang);

// The files start-up asks for under the installation root: the archiver's two (both must exist), and
// the version file, asked for only when the archiver is there.
inline constexpr const wchar_t* kArchiverFiles[] = {L"\\OrvanaTools\\Installer\\7z.dll",
                                                    L"\\OrvanaTools\\Installer\\7z.exe"};

// Everything start-up checks once it has the installation, in order: the archiver, the version file
// (`versionText` null when there is none), then CheckPatchFits on it. The first check that fails decides.
inline Verdict CheckInstallation(const cXmlNode& descriptor,
                                 bool archiverPresent,
                                 const std::wstring* versionText,
                                 const LowerCase& lower) {
    if (!archiverPresent)
        return Verdict::NoArchiver;
    if (!versionText)
        return Verdict::NoVersionFile;
    return CheckPatchFits(descriptor, cXmlNode(*versionText), lower);
}

// How start-up tells a verdict: the message's key and its box. After a Yes to UpdateAlreadyDone the
// update may still be applied; after every other message it may not.
enum class Box { OkCritical, OkInformation, YesNoQuestion };
struct VerdictMessage {
    const wchar_t* key;  // nullptr for Fits
    Box box;
};
inline VerdictMessage MessageFor(Verdict verdict) {
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

// The box style of each kind, with the values the system gives them.
inline unsigned BoxStyle(Box box) {
    return box == Box::OkCritical ? 0x10 : box == Box::OkInformation ? 0x40 : 0x24;
}

// The text shown for a verdict from the string of its key: "%lang%" filled in for LangMismatch.
inline std::wstring VerdictText(Verdict verdict, const cXmlNode& descriptor, const std::wstring& keyText) {
    return verdict == Verdict::LangMismatch ? LangMismatchText(keyText, descriptor.ChildValue(L"ORVLang")) : keyText;
}

// Where start-up finds the installation: the one given on the command line (`dir`, a full path), the one
// installation whose menu runs, or one the user picks after saying Yes. Its root (without a trailing
// backslash) and its running menu, if any, go to `root` and `menu`; false when there is none and the window
// unloads. The host answers FileExists(path), FindInstallations(), RunningMenus(), Ask(key, style) and
// BrowseForFolder(), and tells folders apart with its static SameFolder.
template <class Host>
bool LocateInstallation(Host& host, const std::wstring& dir, std::wstring& root, std::wstring& menu) {
    constexpr int kYes = 6;
    const auto trimmed = [](std::wstring folder) {
        while (folder.size() > 1 && folder.back() == L'\\')
            folder.pop_back();
        return folder;
    };
    std::vector<std::wstring> found;
    if (!dir.empty()) {
        // Given on the command line: its menu, if it runs, is stopped and restarted as the found one's is.
        found.push_back(trimmed(dir));
        if (!host.FileExists(found.front() + L"\\Orvana.exe")) {
            host.Ask(L"OrvNotFound", BoxStyle(Box::OkCritical));
            return false;
        }
    } else {
        found = host.FindInstallations();
    }
    if (found.size() == 1) {
        root = found.front();
        menu = MenuOfRoot(host.RunningMenus(), root, Host::SameFolder);
        return true;
    }
    if (found.size() > 1) {
        host.Ask(L"MultipleOrvFound", BoxStyle(Box::OkInformation));
        return false;
    }
    if (host.Ask(L"OrvNotRunning", BoxStyle(Box::YesNoQuestion)) != kYes)
        return false;
    for (;;) {
        std::wstring folder = host.BrowseForFolder();
        if (folder.empty())
            return false;
        // A drive's root comes back as "X:\"; the root is kept without its backslash.
        if (folder.size() > 1 && folder.back() == L'\\')
            folder.pop_back();
        if (host.FileExists(folder + L"\\Orvana.exe")) {
            root = folder;
            return true;
        }
        host.Ask(L"OrvNotFound", BoxStyle(Box::OkCritical));
    }
}

}  // namespace mInstallCheck
