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
#include "install/delta_win.h"
#include "install/install_win.h"
#include "patcher/apply.h"
#include "patcher/apply_steps.h"
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

// The apply's calls to the system; the order and the failure policy are ApplySteps'.
class ShellHost {
  public:
    ShellHost(FrmMainState& state, ApplyProgress& progress) : s_(state), progress_(progress) {}

    int Ask(const wchar_t* key, unsigned style, const std::wstring& text) {
        return frmMain::Ask(key, style, text, s_.hwnd);
    }
    std::wstring Str(const wchar_t* key) { return frmMain::Str(key); }
    std::wstring StrOr(const wchar_t* key, const wchar_t* english) { return frmMain::StrOr(key, english); }
    void Log(const std::wstring& line) { mRunLog::Line(line); }
    void Step(mUnattended::Step step, bool measured) { progress_.Step(step, measured); }
    void Percent(int percent) { progress_.Percent(percent); }
    bool CancelRequested() { return s_.CancelRequested; }
    void LockCancel() {
        s_.Cancellable = false;
        progress_.LockCancel();
    }
    void EndProgress() { progress_.End(); }
    void EndApply() {
        EnableWindow(GetDlgItem(s_.hwnd, IDC_CMDAPPLY), TRUE);
        progress_.End();
        s_.Applying = false;
        s_.Cancellable = false;
        s_.CancelRequested = false;
    }
    void ShowCancelled() {
        const std::wstring text = StrOr(mUnattended::kCancelledKey, mUnattended::kCancelledText);
        SetDlgItemTextW(s_.hwnd, IDC_LBLSTATUS, text.c_str());
        ShowWindow(GetDlgItem(s_.hwnd, IDC_LBLSTATUS), SW_SHOW);
    }
    void ShowLastBox() {
        ShowWindow(s_.hwnd, SW_SHOW);
        mUnicodePatch::SetTopMost(s_.hwnd, true);
    }
    void HideWindow() {
        ShowWindow(s_.hwnd, SW_HIDE);
        DoEvents();
    }
    void CloseWindow() { PostMessageW(s_.hwnd, WM_CLOSE, 0, 0); }
    mUnattended::ExitCode Exit() { return s_.Exit; }
    std::wstring& NotRestarted() { return s_.NotRestarted; }
    void SetExit(mUnattended::ExitCode code) { s_.Exit = code; }
    std::wstring Descriptor(const wchar_t* name) { return s_.Descriptor.ChildValue(name); }

    bool AcquireInstallation() { return lock_.Acquire(s_.InstallRoot); }
    bool RecoverInstallation(std::wstring& blocker, std::wstring& refusal, std::vector<std::wstring>& log) {
        return mInstall::Recover(s_.InstallRoot, &blocker, &refusal, &log) != mInstall::Recovery::Failed;
    }

    bool FileExists(const std::wstring& path) { return mGlobal::FileExists(path); }
    int64_t FileSize(const std::wstring& path) { return mGlobal::FileSize(path); }
    std::optional<uint64_t> FreeSpace(const std::wstring& folder) {
        ULARGE_INTEGER available{};
        if (!GetDiskFreeSpaceExW(mGlobal::ApiPath(folder).c_str(), &available, nullptr, nullptr))
            return std::nullopt;
        return available.QuadPart;
    }
    bool CanWrite(const std::wstring& path) {
        return static_cast<bool>(
            UniqueFile(CreateFileW(mGlobal::ApiPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    }
    bool CopyNewFile(const std::wstring& from, const std::wstring& to) {
        return CopyFileW(mGlobal::ApiPath(from).c_str(), mGlobal::ApiPath(to).c_str(), TRUE);
    }
    void WriteTextFile(const std::wstring& path, const std::wstring& text) { mStringTools::SaveUtf8Text(path, text); }
    std::wstring LoadTextFile(const std::wstring& path) { return mStringTools::LoadTextFile(path); }
    void RemoveFile(const std::wstring& path) { mGlobal::KillFile(path, 20); }
    std::wstring TempFolder() { return mGlobal::GetTempFolder(); }
    std::wstring MakeWorkFolder(const std::wstring& temp) {
        return frmMain::MakeWorkFolder(temp, mGlobal::AppExeName(), workLock_);
    }
    void RemoveWorkFolder(const std::wstring& folder) {
        workLock_.reset();
        mInstall::RemoveOwnFolder(folder);
    }
    std::wstring AppFolder() { return mGlobal::AppPath(); }
    std::wstring AppExeName() { return mGlobal::AppExeName(); }

    void SetArchiverProgram(const std::wstring& program) { zip().SetPath7zip(program); }
    std::wstring CopyOutArchive(const std::wstring& archive) {
        std::wstring cmdText;
        const std::wstring source = mCmdLine::GetCmdVal(L"src", true, cmdText);
        try {
            return mGlobal::ExtractPatchData(archive, 1, source);
        } catch (const SysError& e) {
            return L"cannot read the patch: " + mGlobal::SystemErrorText(static_cast<uint32_t>(e.number));
        }
    }
    void SetArchive(const std::wstring& archive) { zip().SetFileName(archive); }
    std::wstring ListArchive(const wchar_t* mask) { return zip().GetFileList(mask, true); }
    bool Extract(const std::wstring& folder, const std::wstring& exclusionList) {
        // Every entry, whatever its name: the archiver reads "*.*" as names that have a dot.
        zip().OnProgress = [this](int percent) { progress_.Percent(percent); };
        struct Unhook {
            c7z& zip;
            ~Unhook() { zip.OnProgress = nullptr; }
        } unhook{zip()};
        return zip().Extract(L"*", folder, exclusionList);
    }

    void NewSwap() { swap_.emplace(s_.InstallRoot); }
    bool PrepareStaging() { return swap_->PrepareStaging(); }
    mDelta::Result RebuildFromDelta(const std::wstring& old, const std::wstring& delta, const std::wstring& out) {
        return mDelta::RebuildFromDelta(old, delta, out);
    }
    void RemoveFolder(const std::wstring& folder) { mGlobal::KillFolder(folder, true, nullptr, false); }
    bool FlushStaged() { return swap_->FlushStaged(); }
    bool BeginSwap(const std::wstring& closeFlag) { return swap_->Begin(closeFlag); }
    bool WritePlan(const std::wstring& extractPath) { return swap_->WritePlan(extractPath); }
    bool SwapFiles(size_t& files) {
        return swap_->Swap([&](size_t placed, size_t planned) {
            files = placed;
            progress_.Percent(planned ? static_cast<int>(placed * 100 / planned) : 100);
        });
    }
    void MoveToBackup(const std::vector<std::wstring>& paths) { swap_->MoveToBackup(paths); }
    bool StageRecord(const std::wstring& path, const std::wstring& text) { return swap_->StageRecord(path, text); }
    bool Commit() { return swap_->Commit(); }
    bool Committed() { return swap_->plan().committed; }
    bool RollBack() { return swap_->RollBack(); }
    bool Moved() { return swap_->Moved(); }
    void ClearSwap() { swap_->Clear(); }
    std::wstring Blocker() { return swap_->blocker(); }

    bool AnyRunning(const std::wstring& pattern) {
        std::wstring first;
        return mAppClose::IsAppRunning(pattern, first);
    }
    bool ProgramIsRunning(const std::wstring& program) { return frmMain::ProgramIsRunning(program); }
    bool CloseMenu(const std::wstring& pattern) {
        return mAppClose2::CloseApps(pattern, false, L"ThunderRT6FormDC", L"*Orvana*", true);
    }
    void OtherPrograms(const std::wstring& pattern, std::vector<std::wstring>& paths, std::vector<DWORD>& pids) {
        ListOtherPrograms(pattern, paths, pids);
    }
    bool BackupKeyExists() { return mUnicodePatch::RegKeyExists(HKEY_CURRENT_USER, kBackupKey); }
    void SendEndCommand(const wchar_t* instance, const std::wstring& program, const wchar_t* command) {
        if (HWND window = mToolsInstances::FindToolInstance(instance))
            mToolsInstances::SendToolInstanceCommand(window, command);
        else
            mGlobal::ShellEx(program, 2, command);
    }
    void WaitForEnd(const std::wstring& program, unsigned pollMs, unsigned settleMs) {
        for (int i = 0; i < 3; ++i)
            PumpAndSleep(100);
        const ULONGLONG start = GetTickCount64();
        while (GetTickCount64() - start < kToolEndWaitMs && frmMain::ProgramIsRunning(program))
            PumpAndSleep(pollMs);
        for (unsigned waited = 0; waited < settleMs; waited += 200)
            PumpAndSleep(200);
    }
    bool QuitProcess(unsigned long pid) { return mAppClose2::QuitProcess(pid, 500, true); }
    void CloseProgram(const std::wstring& pattern) { mAppClose2::CloseApps(pattern, true, L"", L"", true); }
    bool RunCommand(const std::wstring& command) {
        std::wstring reason;
        return mSyncShell::ShellWait(command, 1, reason, kCommandTimeOutMs) || reason == L"noproc";
    }
    mApplySteps::UserStart StartAsDesktopUser(const std::wstring& program, int show, const std::wstring& arguments) {
        switch (mGlobal::StartAsDesktopUser(program, show, arguments)) {
            case mGlobal::UserStart::Started:
                return mApplySteps::UserStart::Started;
            case mGlobal::UserStart::NotStarted:
                return mApplySteps::UserStart::NoDesktopUser;
            default:
                return mApplySteps::UserStart::Refused;
        }
    }

  private:
    c7z& zip() {
        if (!s_.Archiver)
            s_.Archiver = std::make_unique<c7z>();
        return *s_.Archiver;
    }

    FrmMainState& s_;
    ApplyProgress& progress_;
    UniqueFile workLock_;
    mInstall::InstallLock lock_;
    std::optional<mInstall::StagedSwap> swap_;
};

mApplySteps::Where WhereOf(const FrmMainState& state) {
    return {state.InstallRoot, state.MenuExePath, state.Options.silent};
}

}  // namespace

bool RecoverWithSuiteStopped(FrmMainState& state, const std::function<bool()>& recover) {
    ApplyProgress progress(state.hwnd);
    ShellHost host(state, progress);
    return mApplySteps::ApplySteps<ShellHost>(host, WhereOf(state)).RunWithSuiteStopped(recover);
}

void cmdApply_Click(FrmMainState& state) {
    if (state.Applying)
        return;
    try {
        ApplyProgress progress(state.hwnd);
        ShellHost host(state, progress);
        state.Applying = true;
        state.Cancellable = true;
        state.CancelRequested = false;
        const ShutdownBlock shutdownBlock(state.hwnd, Str(L"Apply") + L"\x2026");
        EnableWindow(GetDlgItem(state.hwnd, IDC_CMDAPPLY), FALSE);
        // The focus leaves the disabled button for Cancel: Esc must reach it.
        SendMessageW(state.hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(state.hwnd, IDCANCEL)), TRUE);
        mApplySteps::ApplySteps<ShellHost>(host, WhereOf(state)).Run();
    } catch (...) {
        mRunLog::Line(mApplySteps::FailureLine("Apply", false));
        state.Applying = false;
    }
}

}  // namespace frmMain
