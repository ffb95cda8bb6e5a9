// Applying the patch: extract into a staging folder, stop the suite, swap the files in under a journal, run
// the post-install commands, record, restart. Whatever fails, the installation ends as it was or as the
// patch makes it.
#include "patcher/frm_main_state_win.h"

#include <aclapi.h>
#include <commctrl.h>
#include <sddl.h>

#include <cwctype>
#include <vector>

#include "appclose/app_close_win.h"
#include "appclose/app_list_win.h"
#include "appclose/tool_instances_win.h"
#include "appclose/wildcard.h"
#include "container/patch_file_win.h"
#include "install/install_win.h"
#include "patcher/apply.h"
#include "patcher/frm_main_ids.h"
#include "patcher/progress_win.h"
#include "patcher/run_log_win.h"
#include "process/shell_exec_win.h"
#include "support/cmdline_win.h"
#include "support/dialogs_win.h"
#include "support/encoding.h"
#include "support/file_io_win.h"
#include "support/file_system_win.h"
#include "support/handles_win.h"
#include "support/pump_win.h"
#include "support/sys_error.h"
#include "support/trace.h"

namespace frmMain {
namespace {

using namespace mApplyPatch;

// Leaves the steps for the restart phase.
struct GoToRestart {};

constexpr UINT kRetryCancelQuestion = MB_RETRYCANCEL | MB_ICONQUESTION;  // 37
constexpr UINT kRetryCancelCritical = MB_RETRYCANCEL | MB_ICONHAND;      // 21
constexpr UINT kOkInformation = MB_OK | MB_ICONINFORMATION;              // 64
constexpr UINT kOkCritical = MB_OK | MB_ICONSTOP;                        // 16

constexpr wchar_t kWrapperInstance[] = L"ORVWrapper_2.0";
constexpr wchar_t kAssocInstance[] = L"ORV Files Assoc'";
constexpr wchar_t kBackupKey[] = L"Software\\Classes\\OrvanaBackup";
constexpr int32_t kCommandTimeOutMs = 2000000000;
constexpr ULONGLONG kToolEndWaitMs = 10000;

bool SameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// Whether a process runs from `program`. Decided from the running processes' paths, never by trying to
// delete the file: a deleted wrapper stays missing if the apply is then abandoned. A process started
// through another spelling of the path (short names) is recognised by the long form of both.
bool ProgramIsRunning(const std::wstring& program) {
    std::vector<std::wstring> paths;
    std::vector<DWORD> pids;
    mAppClose::GetAppList(paths, L"*\\" + mAppClose::EscapeWildcard(mGlobal::FileNameOnly(program)), pids);
    if (paths.empty())
        return false;
    const std::wstring longProgram = mGlobal::GetLongPath(program);
    for (const std::wstring& path : paths) {
        if (SameText(path, program) || SameText(mGlobal::GetLongPath(path), longProgram))
            return true;
    }
    return false;
}

// The processes whose program path matches `pattern`, without this program itself: a patch started from
// inside the tools folder must not stop itself half way.
void ListOtherPrograms(const std::wstring& pattern, std::vector<std::wstring>& paths, std::vector<DWORD>& pids) {
    std::vector<std::wstring> allPaths;
    std::vector<DWORD> allPids;
    mAppClose::GetAppList(allPaths, pattern, allPids);
    const std::wstring self = mGlobal::AppExePath();
    const DWORD selfPid = GetCurrentProcessId();
    paths.clear();
    pids.clear();
    for (size_t i = 0; i < allPaths.size() && i < allPids.size(); ++i) {
        if (allPids[i] == selfPid || SameText(allPaths[i], self))
            continue;
        paths.push_back(allPaths[i]);
        pids.push_back(allPids[i]);
    }
}

// Whether `folder` (not a link) belongs to the user this patcher runs as: its owner is the user, or the
// owner the user's new files get (administrators, when elevated). Another user's folder in a temporary
// folder that is shared is left, mark or no mark.
bool OwnedByThisUser(const std::wstring& folder) {
    const UniqueFile handle(CreateFileW(mGlobal::ApiPath(folder).c_str(), READ_CONTROL,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!handle || GetSecurityInfo(handle.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                   nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const UniqueHLocal held(descriptor);
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return false;
    const UniqueHandle token(raw);
    for (const TOKEN_INFORMATION_CLASS which : {TokenUser, TokenOwner}) {
        // Both structures begin with the SID's pointer.
        alignas(TOKEN_USER) BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
        DWORD size = 0;
        if (GetTokenInformation(token.get(), which, buffer, sizeof(buffer), &size) &&
            EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid))
            return true;
    }
    return false;
}

// Work folders of applies that ended without removing theirs: their lock file went with their process. A
// folder of the same pattern without the program's mark, or another user's, is somebody else's and stays.
void RemoveDeadWorkFolders(const std::wstring& temp, const std::wstring& exeName) {
    std::vector<std::wstring> dead;
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileExW(mGlobal::ApiPath(temp + L"*").c_str(), FindExInfoBasic, &fd,
                                     FindExSearchLimitToDirectories, nullptr, 0));
    if (!find)
        return;
    do {
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            IsWorkFolderOf(fd.cFileName, exeName))
            dead.push_back(temp + fd.cFileName + L"\\");
    } while (FindNextFileW(find.get(), &fd));
    find.reset();
    for (const std::wstring& folder : dead) {
        if (!mInstall::IsOwnFolder(folder) || !OwnedByThisUser(folder)) {
            DebugNote(L"Not the patcher's folder, left as it is: " + folder);
            continue;
        }
        if (DeleteFileW(mGlobal::ApiPath(folder + kWorkLockFile).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
            mInstall::RemoveOwnFolder(folder);
    }
}

bool RunsElevated() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return false;
    const UniqueHandle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated;
}

// A new work folder for this apply, never one that exists (made in one step, so that nobody's folder of
// that name is taken), with its lock file held open until the end. With administrator rights only
// administrators with theirs reach it: the temporary folder is the user's, which the same user's programs
// without those rights can write to, and they must not swap the archiver before it runs.
std::wstring MakeWorkFolder(const std::wstring& temp, const std::wstring& exeName, UniqueFile& lock) {
    RemoveDeadWorkFolders(temp, exeName);
    SECURITY_ATTRIBUTES adminsOnly{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    if (RunsElevated())
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", SDDL_REVISION_1,
                                                             &adminsOnly.lpSecurityDescriptor, nullptr);
    const UniqueHLocal descriptor(adminsOnly.lpSecurityDescriptor);
    uint32_t suffix = (GetCurrentProcessId() << 12) ^ GetTickCount();
    for (int attempt = 0; attempt < 64; ++attempt, ++suffix) {
        const std::wstring folder = WorkFolder(temp, exeName, suffix);
        if (!mInstall::MakeNewOwnFolder(folder, adminsOnly.lpSecurityDescriptor ? &adminsOnly : nullptr)) {
            if (GetLastError() == ERROR_ALREADY_EXISTS)
                continue;
            return std::wstring();
        }
        lock.reset(CreateFileW(mGlobal::ApiPath(folder + kWorkLockFile).c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (lock)
            return folder;
        mInstall::RemoveOwnFolder(folder);
        return std::wstring();
    }
    return std::wstring();
}

void PumpAndSleep(DWORD ms) {
    DoEvents();
    Sleep(ms);
}

// While the apply runs a log-off is refused with a reason. Looked up at run time: older systems lack it.
class ShutdownBlock {
  public:
    ShutdownBlock(HWND hwnd, const std::wstring& reason) : hwnd_(hwnd) {
        using Create = BOOL(WINAPI*)(HWND, LPCWSTR);
        if (auto create = reinterpret_cast<Create>(Function("ShutdownBlockReasonCreate")))
            blocked_ = hwnd_ && create(hwnd_, reason.c_str());
    }
    ~ShutdownBlock() {
        using Destroy = BOOL(WINAPI*)(HWND);
        if (auto destroy = reinterpret_cast<Destroy>(Function("ShutdownBlockReasonDestroy")); blocked_ && destroy)
            destroy(hwnd_);
    }
    ShutdownBlock(const ShutdownBlock&) = delete;
    ShutdownBlock& operator=(const ShutdownBlock&) = delete;

  private:
    static FARPROC Function(const char* name) {
        HMODULE user32 = GetModuleHandleW(L"user32.dll");
        return user32 ? GetProcAddress(user32, name) : nullptr;
    }
    HWND hwnd_;
    bool blocked_ = false;
};

class ApplyRun {
  public:
    ApplyRun(FrmMainState& state, ApplyProgress& progress) : s_(state), progress_(progress) {}
    void Run();
    bool RecoverWithSuiteStopped(const std::function<bool()>& recover);

  private:
    // Runs one operation. Until a tool has been sent its end command a failure abandons the steps for the
    // restart phase; from then on the failing operation is skipped and the apply goes on.
    template <class F>
    void Op(F&& operation) {
        try {
            operation();
        } catch (const GoToRestart&) {
            throw;
        } catch (...) {
            if (!resumeNext_)
                throw GoToRestart{};
        }
    }
    // Restart phase: every failure is skipped.
    template <class F>
    static void Quietly(F&& operation) {
        try {
            operation();
        } catch (...) {
        }
    }

    int Ask(const wchar_t* key, UINT style) { return frmMain::Ask(key, style, L"", s_.hwnd); }
    // Leaves for the restart phase when the user cancelled while nothing was stopped yet.
    void StopIfCancelled() const {
        if (s_.CancelRequested)
            throw GoToRestart{};
    }
    // The message followed by the file or folder concerned, when there is one: a path needs no translation.
    int AskNaming(const wchar_t* key, UINT style, const std::wstring& path);
    // The apply stops at this file or folder.
    void Refuse(const std::wstring& path, mUnattended::ExitCode code = mUnattended::ExitCode::ApplyFailed) {
        AskNaming(L"CantUpdate", kOkCritical, path);
        s_.Exit = code;
        throw GoToRestart{};
    }
    std::wstring Descriptor(const wchar_t* name) const { return s_.Descriptor.ChildValue(name); }
    c7z& zip() { return *s_.Archiver; }

    void PrepareWorkFolder();
    void ReadArchiveFlags();
    void Stage();
    void CheckRecord();
    void StopMenu();
    void StopWrapper();
    void StopAssociationTool();
    void StopOtherTools();
    void WriteExclusionList();
    void SwapIn();
    void RunAfterCommands();
    void DeleteLeftovers();
    void StageRecord();
    void Commit();
    void Restart();

    FrmMainState& s_;
    ApplyProgress& progress_;
    std::wstring work_;  // with its trailing backslash
    bool assocInPatch_ = false;
    bool wrapperInPatch_ = false;
    bool exeInPatch_ = false;
    bool menuRestart_ = false;
    ArchiveContents contents_;
    std::wstring wrapperPath_;
    std::wstring assocPath_;
    bool backupKey_ = false;
    std::wstring zetPath_;
    std::wstring exclusionPath_;
    std::wstring exclusionList_;  // its text, for checking what was staged
    UniqueFile workLock_;
    mInstall::InstallLock lock_;
    std::optional<mInstall::StagedSwap> swap_;
    std::vector<std::wstring> closedTools_;  // other tools of the suite, closed
    std::wstring notRun_;                    // post-install commands skipped, each after CR LF
    bool menuStopped_ = false;  // the menu's step ran: the restart phase starts it again
    bool success_ = false;
    bool resumeNext_ = false;
};

int ApplyRun::AskNaming(const wchar_t* key, UINT style, const std::wstring& path) {
    return frmMain::Ask(key, style, path.empty() ? path : Str(key) + L"\r\n\r\n" + path, s_.hwnd);
}

void ApplyRun::PrepareWorkFolder() {
    const std::wstring temp = mGlobal::GetTempFolder();
    if (temp.empty())
        throw GoToRestart{};
    work_ = MakeWorkFolder(temp, mGlobal::AppExeName(), workLock_);
    if (work_.empty())
        throw GoToRestart{};

    if (!s_.Archiver)
        s_.Archiver = std::make_unique<c7z>();
    const std::wstring installer = s_.InstallRoot + kInstallerFolder;
    for (const wchar_t* name : {L"7z.exe", L"7z.dll"}) {
        if (!CopyFileW(mGlobal::ApiPath(installer + name).c_str(), mGlobal::ApiPath(work_ + name).c_str(), TRUE))
            throw GoToRestart{};
    }
    zip().SetPath7zip(work_ + L"7z.exe");

    const std::wstring archive = work_ + kArchiveFile;
    std::wstring cmdText;
    const std::wstring source = mCmdLine::GetCmdVal(L"src", true, cmdText);
    // The archive copied out of the patch; a temporary folder that is full or cannot be written is said, and
    // Retry tries again once the user made room.
    for (;;) {
        std::wstring problem;
        try {
            problem = mGlobal::ExtractPatchData(archive, 1, source);
        } catch (const SysError& e) {
            problem = L"cannot read the patch: " + mGlobal::SystemErrorText(static_cast<uint32_t>(e.number));
        }
        if (problem.empty())
            break;
        mRunLog::Line(L"Work file: " + problem);
        if (Ask(L"ExtractError", kRetryCancelCritical) != IDRETRY)
            throw GoToRestart{};
    }
    zip().SetFileName(archive);
}

void ApplyRun::ReadArchiveFlags() {
    // One listing: each start of the archiver costs about half a second on a slow machine.
    contents_ = ContentsOfListing(zip().GetFileList(kListingMask, true));
    const ArchiveContents& programs = contents_;
    assocInPatch_ = programs.assoc;
    wrapperInPatch_ = programs.wrapper;
    exeInPatch_ = programs.anyExe;
    menuRestart_ = MenuRestartWanted(Descriptor(L"ForceMenuRestart"), [&] { return programs.menu; });
}

void ApplyRun::Stage() {
    // The archive is unpacked on the installation's volume: without room for it the user hears how much
    // is missing, not of a damaged archive.
    ULARGE_INTEGER available{};
    constexpr uint64_t kMB = 1 << 20;
    if (GetDiskFreeSpaceExW(mGlobal::ApiPath(s_.InstallRoot + L"\\").c_str(), &available, nullptr, nullptr) &&
        available.QuadPart < contents_.size + kMB)
        Refuse(s_.InstallRoot + L"\r\n+ " +
               mStringTools::DecimalText(static_cast<int64_t>((contents_.size + kMB - available.QuadPart) / kMB + 1)) +
               L" MB");
    swap_.emplace(s_.InstallRoot);
    const std::wstring staging = mInstall::StagingFolder(s_.InstallRoot);
    for (;;) {
        bool prepared = false;
        Op([&] { prepared = swap_->PrepareStaging(); });
        if (!prepared)
            Refuse(swap_->blocker());
        bool extracted = false;
        progress_.Step(mUnattended::Step::Preparing, true);
        zip().OnProgress = [this](int percent) { progress_.Percent(percent); };
        // Every entry, whatever its name: the archiver reads "*.*" as names that have a dot. Without its last
        // backslash: before the closing quote it would escape it.
        std::wstring missing;
        Op([&] {
            extracted =
                zip().Extract(L"*", staging.substr(0, staging.size() - 1), exclusionPath_) && swap_->FlushStaged();
            // What the archiver reported is checked against what it listed: nothing it skipped in silence
            // goes unnoticed.
            if (extracted)
                missing = FirstFileNotStaged(contents_, exclusionList_, staging, mGlobal::FileSize);
        });
        zip().OnProgress = nullptr;
        StopIfCancelled();
        if (extracted && missing.empty()) {
            progress_.Percent(100);
            break;
        }
        if (AskNaming(L"ExtractError", kRetryCancelCritical, missing) != IDRETRY)
            throw GoToRestart{};
    }
    if (!exclusionPath_.empty())
        Op([&] { mGlobal::KillFile(exclusionPath_, 20); });
}

// Only whether the record can be written, before anything is stopped: its new text is made from the file
// as the post-install steps leave it.
void ApplyRun::CheckRecord() {
    const std::wstring path = s_.InstallRoot + kVersionFile;
    bool writable = true;
    Op([&] {
        if (Descriptor(L"PatchVersion").empty() || !mGlobal::FileExists(path))
            return;
        writable = static_cast<bool>(UniqueFile(CreateFileW(mGlobal::ApiPath(path).c_str(), GENERIC_WRITE,
                                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    });
    if (!writable)
        Refuse(path);
    const std::wstring flag = !s_.MenuExePath.empty() && menuRestart_ ? CloseFlagPath(s_.MenuExePath) : L"";
    if (!swap_->Begin(flag))
        throw GoToRestart{};
}

void ApplyRun::StopMenu() {
    if (s_.MenuExePath.empty() || !menuRestart_)
        return;
    menuStopped_ = true;
    const std::wstring flag = CloseFlagPath(s_.MenuExePath);
    const std::wstring pattern = mAppClose::EscapeWildcard(s_.MenuExePath);
    for (;;) {
        if (!mGlobal::FileExists(flag))
            mStringTools::SaveFile(flag, kCloseFlagContent, true, 2, false, 1252, false);
        std::wstring first;
        if (!mAppClose::IsAppRunning(pattern, first))
            return;
        mRunLog::Line(L"Closing " + s_.MenuExePath);
        if (mAppClose2::CloseApps(pattern, false, L"ThunderRT6FormDC", L"*Orvana*", true))
            return;
        if (Ask(L"OrvStillRunning", kRetryCancelQuestion) != IDRETRY) {
            mGlobal::KillFile(flag, 20);
            throw GoToRestart{};
        }
    }
}

void ApplyRun::StopWrapper() {
    if (!wrapperInPatch_)
        return;
    const std::wstring program = s_.InstallRoot + kWrapperProgram;
    if (!mGlobal::FileExists(program) || !ProgramIsRunning(program))
        return;
    wrapperPath_ = program;
    mRunLog::Line(L"Closing " + program);

    resumeNext_ = true;
    Op([&] {
        if (HWND instance = mToolsInstances::FindToolInstance(kWrapperInstance))
            mToolsInstances::SendToolInstanceCommand(instance, kWrapperEndCommand);
        else
            mGlobal::ShellEx(program, 2, kWrapperEndCommand);
    });
    Op([&] {
        for (int i = 0; i < 3; ++i)
            PumpAndSleep(100);
        const ULONGLONG start = GetTickCount64();
        while (GetTickCount64() - start < kToolEndWaitMs && ProgramIsRunning(program))
            PumpAndSleep(100);
        for (int i = 0; i < 4; ++i)
            PumpAndSleep(200);
    });
}

void ApplyRun::StopAssociationTool() {
    if (!assocInPatch_)
        return;
    Op([&] {
        const std::wstring root = mAppClose::EscapeWildcard(s_.InstallRoot);
        std::vector<std::wstring> paths;
        std::vector<DWORD> pids;
        ListOtherPrograms(root + kAssocToolsFolder + L"*.*", paths, pids);
        if (paths.empty())
            ListOtherPrograms(root + kAssocAppsFolder + L"*.*", paths, pids);
        if (!paths.empty()) {
            assocPath_ = paths.front();
            backupKey_ = mUnicodePatch::RegKeyExists(HKEY_CURRENT_USER, kBackupKey);
        }
    });
    if (assocPath_.empty())
        return;
    mRunLog::Line(L"Closing " + assocPath_);

    resumeNext_ = true;
    Op([&] {
        if (HWND instance = mToolsInstances::FindToolInstance(kAssocInstance))
            mToolsInstances::SendToolInstanceCommand(instance, kAssocEndCommand);
        else
            mGlobal::ShellEx(assocPath_, 2, kAssocEndCommand);
    });
    Op([&] {
        for (int i = 0; i < 3; ++i)
            PumpAndSleep(100);
        const ULONGLONG start = GetTickCount64();
        while (GetTickCount64() - start < kToolEndWaitMs && ProgramIsRunning(assocPath_))
            PumpAndSleep(10);
    });
}

void ApplyRun::StopOtherTools() {
    if (!exeInPatch_)
        return;
    std::vector<std::wstring> paths;
    std::vector<DWORD> pids;
    Op([&] { ListOtherPrograms(mAppClose::EscapeWildcard(s_.InstallRoot) + kToolsFolder + L"*.*", paths, pids); });
    for (size_t i = 0; i < paths.size(); ++i) {
        const ToolAction action = ActionForTool(paths[i]);
        if (action != ToolAction::Leave)
            mRunLog::Line(L"Closing " + paths[i]);
        Op([&] {
            switch (action) {
                case ToolAction::Quit:
                    if (mAppClose2::QuitProcess(pids[i], 500, true))
                        zetPath_ = paths[i];
                    break;
                case ToolAction::Leave:
                    break;
                case ToolAction::Close:
                    mAppClose2::CloseApps(mAppClose::EscapeWildcard(paths[i]), true, L"", L"", true);
                    closedTools_.push_back(paths[i]);
                    break;
            }
        });
    }
}

void ApplyRun::WriteExclusionList() {
    Op([&] {
        const std::wstring list =
            ExclusionListText(Descriptor(L"FileFlags"), s_.InstallRoot, Descriptor(L"ExtractPath"),
                              [](const std::wstring& path) { return mGlobal::FileExists(path); });
        exclusionList_ = list;
        if (list.empty())
            return;
        // Kept even when the write fails: the archiver then refuses the missing list, and the user hears
        // of it, instead of excluded files being overwritten.
        exclusionPath_ = work_ + kExclusionFile;
        mStringTools::SaveFile(exclusionPath_, list, true, 2, false, 1252, false);
    });
}

void ApplyRun::SwapIn() {
    for (;;) {
        bool swapped = false;
        progress_.Step(mUnattended::Step::Installing, true);
        size_t files = 0;
        Op([&] {
            swapped = swap_->WritePlan(Descriptor(L"ExtractPath")) && swap_->Swap([&](size_t placed, size_t planned) {
                files = placed;
                progress_.Percent(planned ? static_cast<int>(placed * 100 / planned) : 100);
            });
        });
        if (swapped) {
            mRunLog::Line(L"Files placed: " + mStringTools::DecimalText(static_cast<int64_t>(files)));
            return;
        }
        // Files that could not all be put back: no Retry, whose new plan would forget them. The journal
        // stays, and the next start finishes the rollback.
        if (swap_->Moved())
            Refuse(swap_->blocker());
        if (Ask(L"ExtractError", kRetryCancelCritical) != IDRETRY)
            throw GoToRestart{};
    }
}

void ApplyRun::RunAfterCommands() {
    const Placeholders values{s_.InstallRoot, work_.substr(0, work_.size() - 1), Descriptor(L"PatchLang")};
    std::vector<std::wstring> commands;
    Op([&] { commands = SplitList(Descriptor(L"RunAfter")); });
    progress_.Step(mUnattended::Step::RunningCommands, !commands.empty());
    for (size_t i = 0; i < commands.size(); ++i) {
        progress_.Percent(static_cast<int>(i * 100 / commands.size()));
        const std::wstring command = Substitute(commands[i], values);
        mRunLog::Line(L"Running " + command);
        for (;;) {
            bool done = false;
            Op([&] {
                std::wstring reason;
                done = mSyncShell::ShellWait(command, 1, reason, kCommandTimeOutMs) || reason == L"noproc";
            });
            if (done)
                break;
            if (AskNaming(L"CmdRunError", kRetryCancelCritical, command) != IDRETRY) {
                notRun_ += L"\r\n" + command;
                break;
            }
        }
    }
}

void ApplyRun::DeleteLeftovers() {
    const Placeholders values{s_.InstallRoot, work_.substr(0, work_.size() - 1), Descriptor(L"PatchLang")};
    std::vector<std::wstring> items;
    Op([&] {
        for (const std::wstring& item : SplitList(Descriptor(L"DelAfter")))
            items.push_back(Substitute(item, values));
    });
    // Into the backup, not deleted: until the record is in place the apply may still be undone.
    Op([&] { swap_->MoveToBackup(items); });
}

// The record made from the version file as the post-install steps left it, written beside the apply.
void ApplyRun::StageRecord() {
    const std::wstring path = s_.InstallRoot + kVersionFile;
    std::optional<std::wstring> text;
    Op([&] {
        // The files are in place by now: a record the archive brought is the one that stands here.
        std::optional<std::wstring> installed;
        if (mGlobal::FileExists(path))
            installed = mStringTools::LoadTextFile(path);
        text = NewVersionRecord(Descriptor(L"PatchVersion"), Descriptor(L"ORVVersion"), installed, std::nullopt);
    });
    bool staged = !text;
    Op([&] { staged = staged || swap_->StageRecord(path, *text); });
    if (!staged)
        Refuse(path);
}

void ApplyRun::Commit() {
    bool committed = false;
    Op([&] { committed = swap_->Commit(); });
    if (!committed)
        Refuse(swap_->blocker());
}

// A stopped program started again with the rights of the desktop's user, and said so in the log; one that
// cannot be is left for the user to start, and named in the log and in the last box.
void StartAgain(FrmMainState& state, const std::wstring& program, int show, const std::wstring& arguments) {
    mRunLog::Line(L"Restarting " + program + (arguments.empty() ? L"" : L" " + arguments));
    const mGlobal::UserStart started = mGlobal::StartAsDesktopUser(program, show, arguments);
    if (started == mGlobal::UserStart::Started)
        return;
    mRunLog::Line(started == mGlobal::UserStart::NotStarted
                      ? L"Not started again: the patcher runs as administrator and the desktop's user could not "
                        L"be found"
                      : L"Not started again: the system refused to start it");
    state.NotRestarted += L"\r\n" + program;
}

void ApplyRun::Restart() {
    if (!s_.Cancellable)
        progress_.Step(mUnattended::Step::Restarting, false);
    // Before anything is started again: a restarted program must find the files it was stopped with.
    if (swap_ && !swap_->plan().committed)
        Quietly([&] {
            // What cannot be put back now stays journaled: the next start recovers it.
            if (swap_->RollBack())
                swap_->Clear();
        });
    if (!wrapperPath_.empty() && wrapperInPatch_)
        Quietly([&] { StartAgain(s_, wrapperPath_, 1, kWrapperRestartArguments); });
    if (!assocPath_.empty())
        Quietly([&] { StartAgain(s_, assocPath_, 1, backupKey_ ? kAssocRestartWithBackup : L""); });
    if (menuStopped_) {
        Quietly([&] { mGlobal::KillFile(CloseFlagPath(s_.MenuExePath), 20); });
        Quietly([&] { StartAgain(s_, s_.MenuExePath, 1, kMenuRestartArguments); });
    }
    if (!zetPath_.empty())
        Quietly([&] { StartAgain(s_, zetPath_, 0, ZetRestartArguments(mGlobal::AppPath(), mGlobal::AppExeName())); });
    if (!work_.empty())
        Quietly([&] {
            workLock_.reset();
            mInstall::RemoveOwnFolder(work_);
        });
}

void ApplyRun::Run() {
    HWND applyButton = GetDlgItem(s_.hwnd, IDC_CMDAPPLY);
    s_.Applying = true;
    s_.Cancellable = true;
    s_.CancelRequested = false;
    s_.Exit = mUnattended::ExitCode::ApplyFailed;
    const ShutdownBlock shutdownBlock(s_.hwnd, Str(L"Apply") + L"\x2026");
    try {
        EnableWindow(applyButton, FALSE);
        // The focus leaves the disabled button for Cancel: Esc must reach it.
        SendMessageW(s_.hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(s_.hwnd, IDCANCEL)), TRUE);
        progress_.Step(mUnattended::Step::Preparing, false);
        // One apply per installation; a dead one's half swap is undone before this one looks at the files.
        // Refused before this apply touched anything.
        if (!lock_.Acquire(s_.InstallRoot))
            Refuse(L"", mUnattended::ExitCode::CannotUpdate);
        std::wstring blocker;
        std::wstring refusal;
        std::vector<std::wstring> kept;
        const bool failed = mInstall::Recover(s_.InstallRoot, &blocker, &refusal, &kept) == mInstall::Recovery::Failed;
        for (const std::wstring& line : kept)
            mRunLog::Line(line);
        if (failed) {
            if (!refusal.empty())
                mRunLog::Line(refusal);
            Refuse(blocker, mUnattended::ExitCode::CannotUpdate);
        }
        PrepareWorkFolder();
        StopIfCancelled();
        ReadArchiveFlags();
        StopIfCancelled();
        // Everything that can fail on the archive or the record fails here, before anything is stopped.
        WriteExclusionList();
        Stage();
        CheckRecord();
        StopIfCancelled();
        s_.Cancellable = false;
        progress_.LockCancel();
        progress_.Step(mUnattended::Step::Closing, false);
        StopMenu();
        StopWrapper();
        StopAssociationTool();
        StopOtherTools();
        SwapIn();
        RunAfterCommands();
        DeleteLeftovers();
        StageRecord();
        Commit();
        success_ = true;
    } catch (...) {
        // A failure before any tool was commanded, or a Cancel: the suite is restarted all the same.
    }
    const bool cancelled = s_.CancelRequested && s_.Cancellable;
    Restart();
    Quietly([&] { EnableWindow(applyButton, TRUE); });
    progress_.End();
    s_.Applying = false;
    s_.Cancellable = false;
    s_.CancelRequested = false;

    if (cancelled) {
        s_.Exit = mUnattended::ExitCode::NotApplied;
        mRunLog::Line(L"Cancelled before anything was stopped");
        Quietly([&] {
            const std::wstring text = StrOr(mUnattended::kCancelledKey, mUnattended::kCancelledText);
            SetDlgItemTextW(s_.hwnd, IDC_LBLSTATUS, text.c_str());
            ShowWindow(GetDlgItem(s_.hwnd, IDC_LBLSTATUS), SW_SHOW);
        });
    }
    if (!success_)
        return;
    if (s_.Exit != mUnattended::ExitCode::CommandFailed)
        s_.Exit = mUnattended::ExitCode::Applied;
    Quietly([&] {
        // Without a window (silent) the box is answered unseen.
        if (!s_.Options.silent) {
            ShowWindow(s_.hwnd, SW_SHOW);
            mUnicodePatch::SetTopMost(s_.hwnd, true);
        }
        // Applied, but a command that did not run, or a program the user must start, is no success to report
        // as one.
        std::wstring unfinished = notRun_.empty() ? notRun_ : notRun_.substr(2);
        if (!s_.NotRestarted.empty())
            unfinished += (unfinished.empty() ? L"" : L"\r\n\r\n") +
                          StrOr(mUnattended::kStartByHandKey, mUnattended::kStartByHandText) + s_.NotRestarted;
        if (unfinished.empty())
            Ask(L"UpdateDone", kOkInformation);
        else
            AskNaming(L"UpdateDone", MB_OK | MB_ICONWARNING, unfinished);
        ShowWindow(s_.hwnd, SW_HIDE);
        DoEvents();
    });
    // The backup goes once the user knows: thousands of files take a while to delete.
    Quietly([&] { swap_->Clear(); });
    // Closed through the window's own path, once this handler has returned.
    PostMessageW(s_.hwnd, WM_CLOSE, 0, 0);
}

// Every program the apply would stop, as if the archive brought them all; the menu only when it runs (the
// apply starts it in any case).
bool ApplyRun::RecoverWithSuiteStopped(const std::function<bool()>& recover) {
    menuRestart_ = !s_.MenuExePath.empty() && ProgramIsRunning(s_.MenuExePath);
    wrapperInPatch_ = assocInPatch_ = exeInPatch_ = true;
    bool recovered = false;
    try {
        progress_.Step(mUnattended::Step::Closing, false);
        StopMenu();
        StopWrapper();
        StopAssociationTool();
        StopOtherTools();
        recovered = recover();
    } catch (...) {
        // A menu that would not close and a Cancel: the programs stopped so far are started again.
    }
    Restart();
    // The user's tools too, which an apply leaves closed: the user asked for none of this.
    for (const std::wstring& tool : closedTools_)
        Quietly([&] { StartAgain(s_, tool, 1, L""); });
    progress_.End();
    return recovered;
}

}  // namespace

bool RecoverWithSuiteStopped(FrmMainState& state, const std::function<bool()>& recover) {
    ApplyProgress progress(state.hwnd);
    return ApplyRun(state, progress).RecoverWithSuiteStopped(recover);
}

void cmdApply_Click(FrmMainState& state) {
    if (state.Applying)
        return;
    try {
        ApplyProgress progress(state.hwnd);
        ApplyRun(state, progress).Run();
    } catch (...) {
        state.Applying = false;
    }
}

}  // namespace frmMain
