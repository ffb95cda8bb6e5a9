// The decisions of applying a patch that need no system call: which lists the descriptor carries and
// what they turn into, which running tool is treated how, what the suite programs are restarted with,
// and the new text of the installation's version file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mApplyPatch {

// Fixed names under the installation root.
inline constexpr const wchar_t* kInstallerFolder = L"\\OrvanaTools\\Installer\\";
inline constexpr const wchar_t* kToolsFolder = L"\\OrvanaTools\\";
inline constexpr const wchar_t* kVersionFile = L"\\OrvanaTools\\version.ver";
inline constexpr const wchar_t* kWrapperProgram = L"\\OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe";
inline constexpr const wchar_t* kAssocToolsFolder = L"\\OrvanaTools\\OrvanaAssoc\\";
inline constexpr const wchar_t* kAssocAppsFolder = L"\\Apps\\OrvanaAssoc\\";

// Files of the work folder.
inline constexpr const wchar_t* kArchiveFile = L"patch.dat";
inline constexpr const wchar_t* kExclusionFile = L"exlude.txt";  // spelled so: the name has always been this

// The menu's close-flag file, beside the menu program, and what it holds.
inline constexpr const wchar_t* kCloseFlagContent = L"patch in progress";
std::wstring CloseFlagPath(const std::wstring& menuExePath);

// One apply's work folder: the temporary folder (with its trailing backslash), the program's name with every
// character but ASCII letters, digits, "_", "-" and "." made "_", then "_" and `suffix` in hexadecimal, "\".
// What the folder adds to the temporary folder has no blank and nothing `cmd` reads, since "%TMPFLD%" may
// stand unquoted in a stored command.
std::wstring WorkFolder(const std::wstring& tempFolder, const std::wstring& exeNameWithoutExtension, uint32_t suffix);
std::wstring WorkFolderStem(std::wstring exeNameWithoutExtension);
// Whether a folder's name is one that WorkFolder gives this program (letter case ignored).
bool IsWorkFolderOf(const std::wstring& folderName, const std::wstring& exeNameWithoutExtension);
// The work folder's file that is open while its apply lives; a folder where it can be deleted is a dead one's.
inline constexpr const wchar_t* kWorkLockFile = L"apply.lock";

// The items of a "|"-separated list, in order. Empty items are dropped: a list ending in "|" would
// otherwise run an empty command and report its failure.
std::vector<std::wstring> SplitList(const std::wstring& text);

struct Placeholders {
    std::wstring installRoot;  // for "%ORV%"
    std::wstring workFolder;   // for "%TMPFLD%": without its trailing backslash
    std::wstring patchLang;    // for "%LNG%"
};
// Replaces "%ORV%", "%TMPFLD%" and "%LNG%" (letter case significant), every occurrence, in one pass: a
// placeholder inside a value put in stays as it is.
std::wstring Substitute(const std::wstring& item, const Placeholders& values);

// The relative paths of the file-flag entries marked "ifexists" (letter case ignored), in order. Only
// entries of exactly two ";"-fields count; an entry without a path names nothing and is left out.
std::vector<std::wstring> IfExistsEntries(const std::wstring& fileFlags);

// The exclusion list: every "ifexists" path whose file is not in the installation, each followed by
// CR LF. Empty when nothing is to be left out.
std::wstring ExclusionListText(const std::wstring& fileFlags,
                               const std::wstring& installRoot,
                               const std::wstring& extractPath,
                               const std::function<bool(const std::wstring&)>& fileExists);

// Whether the menu is stopped and restarted: forced by the descriptor ("1" exactly), or else the
// archive brings a new menu program (asked only when not forced).
bool MenuRestartWanted(const std::wstring& forceMenuRestart, const std::function<bool()>& menuInArchive);

// The archive's whole listing (mask "*", recursive) is the one question asked of the archiver before the
// suite is stopped; the program masks are answered from it as the archiver answers them: "*.exe" matches an
// entry with a path component ending in ".exe" and everything under it, "*\<name>" an entry with a path
// component <name> (letter case ignored) below the first level, and everything under it.
inline constexpr const wchar_t* kListingMask = L"*";
struct ArchiveFile {
    std::wstring path;  // relative, as the archive names it
    uint64_t size = 0;  // unpacked
};
struct ArchiveContents {
    bool assoc = false;    // "*\OrvanaAssoc.exe"
    bool wrapper = false;  // "*\OrvanaWrapper.exe"
    bool menu = false;     // "*\OrvanaMenu.exe"
    bool anyExe = false;   // "*.exe"
    std::vector<ArchiveFile> files;  // every file, folders left out
    uint64_t size = 0;               // of all files unpacked
};
ArchiveContents ContentsOfListing(const std::wstring& listing);

// Whether the archiver leaves `path` (relative, as the archive names it) out of an extraction for the
// exclusion `pattern`, matched as it matches with recursion on: the pattern's components match a run of
// the path's consecutive components anywhere in it ("*" and "?" within a component, letter case aside),
// so that a pattern naming a folder leaves out everything under it.
bool ExcludedByArchiver(const std::wstring& path, const std::wstring& pattern);

// The first file of the archive that the exclusion list (ExclusionListText) keeps and that is not staged
// under `staging` with its size; empty when every one is. Names beyond ASCII are left out: the listing
// cannot give them faithfully. `sizeOf` answers for a path, -1 where no file is.
std::wstring FirstFileNotStaged(const ArchiveContents& contents,
                                const std::wstring& exclusionList,
                                const std::wstring& staging,
                                const std::function<int64_t(const std::wstring& path)>& sizeOf);

// What happens to a program running from the tools folder, by its file name.
enum class ToolAction {
    Quit,   // "zet.exe": asked to quit, restarted afterwards
    Leave,  // the menu, the wrapper and the association tool have their own steps
    Close,  // everything else: closed, terminated if need be, not restarted
};
ToolAction ActionForTool(const std::wstring& programPath);

// The argument "zet.exe" is restarted with: /exe="<folder>\<name>.exe".
std::wstring ZetRestartArguments(const std::wstring& appFolder, const std::wstring& appExeName);

// Restart arguments of the other suite programs.
inline constexpr const wchar_t* kMenuRestartArguments = L"/updated";
inline constexpr const wchar_t* kWrapperEndCommand = L"relay/ovpend";
inline constexpr const wchar_t* kWrapperRestartArguments = L"crashtest/ovpend";
inline constexpr const wchar_t* kAssocEndCommand = L"/close";
inline constexpr const wchar_t* kAssocRestartWithBackup = L"/apply";

// The version file with `Version` and `Patch` set from the patch: every child kept in its order with
// its own value, `Patch` appended when it is missing, one child per line after a tab. Nothing when the
// root is not "OrvanaVersion" (the file is then left as it is).
std::optional<std::wstring> RewriteVersionFile(const std::wstring& versionText,
                                               const std::wstring& orvVersion,
                                               const std::wstring& patchVersion);

// What the patch records: the version file the archive brings (`brought`), or else the installed one,
// rewritten by RewriteVersionFile. Nothing when the patch has no identifier or the installation has no
// version file (`installed` empty): the patcher then leaves the record alone.
std::optional<std::wstring> NewVersionRecord(const std::wstring& patchVersion,
                                             const std::wstring& orvVersion,
                                             const std::optional<std::wstring>& installed,
                                             const std::optional<std::wstring>& brought);

}  // namespace mApplyPatch
