// The apply's protocol: the steps in their order, which failure skips a step and which abandons the apply,
// the Retry loops, Cancel, and which of the suite's programs are started again and how. Every call to the
// system goes through `ApplyHost`: the window implements it with real files, processes and boxes, the
// tests with a scripted one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "patcher/apply.h"
#include "patcher/unattended.h"

namespace mApplySteps {

// Box styles and answers, with the values the system gives them.
inline constexpr unsigned kOkCritical = 0x10;           // OK, stop sign
inline constexpr unsigned kRetryCancelCritical = 0x15;  // Retry and Cancel, stop sign
inline constexpr unsigned kRetryCancelQuestion = 0x25;  // Retry and Cancel, question mark
inline constexpr unsigned kOkWarning = 0x30;            // OK, exclamation mark
inline constexpr unsigned kOkInformation = 0x40;        // OK, information sign
inline constexpr int kAnswerRetry = 4;

// The suite's tools that take commands through their instance window.
inline constexpr wchar_t kWrapperInstance[] = L"ORVWrapper_2.0";
inline constexpr wchar_t kAssocInstance[] = L"ORV Files Assoc'";

struct RunningProgram {
    std::wstring path;
    unsigned long pid = 0;
};

enum class UserStart { Started, NoDesktopUser, Refused };

class ApplyHost {
  public:
    virtual ~ApplyHost() = default;

    // The window.
    virtual int Ask(const wchar_t* key, unsigned style, const std::wstring& text) = 0;  // text empty: the key's
    virtual std::wstring Str(const wchar_t* key) = 0;
    virtual std::wstring StrOr(const wchar_t* key, const wchar_t* english) = 0;
    virtual void Log(const std::wstring& line) = 0;  // the run log, when one is open
    virtual void Step(mUnattended::Step step, bool measured) = 0;
    virtual void Percent(int percent) = 0;
    virtual bool CancelRequested() = 0;
    virtual void LockCancel() = 0;     // Cancel can no longer leave the suite untouched
    virtual void EndProgress() = 0;    // the status line and the bar back to idle
    virtual void EndApply() = 0;       // the window back to idle, the Apply button too
    virtual void ShowCancelled() = 0;  // the status line says nothing was changed
    virtual void ShowLastBox() = 0;    // the window brought forward for the last box (never under /silent)
    virtual void HideWindow() = 0;
    virtual void CloseWindow() = 0;
    virtual mUnattended::ExitCode Exit() = 0;
    // Programs stopped and not started again, each after CR LF: named in the last box, this run's or a later one's.
    virtual std::wstring& NotRestarted() = 0;
    virtual void SetExit(mUnattended::ExitCode code) = 0;
    virtual std::wstring Descriptor(const wchar_t* name) = 0;

    // The installation, before the apply touches it: false when another apply holds it.
    virtual bool AcquireInstallation() = 0;
    // A dead apply's swap undone or finished; false when it could not be, with the file that stopped it,
    // the reason it was not run, and the lines to log.
    virtual bool RecoverInstallation(std::wstring& blocker, std::wstring& refusal, std::vector<std::wstring>& log) = 0;

    // Files.
    virtual bool FileExists(const std::wstring& path) = 0;
    virtual int64_t FileSize(const std::wstring& path) = 0;  // -1 where no file is
    virtual std::optional<uint64_t> FreeSpace(const std::wstring& folder) = 0;
    virtual bool CanWrite(const std::wstring& path) = 0;
    virtual bool CopyNewFile(const std::wstring& from, const std::wstring& to) = 0;  // never over an existing file
    virtual void WriteTextFile(const std::wstring& path, const std::wstring& text) = 0;
    virtual std::wstring LoadTextFile(const std::wstring& path) = 0;
    virtual void RemoveFile(const std::wstring& path) = 0;
    virtual std::wstring TempFolder() = 0;  // with its trailing backslash; empty when there is none
    virtual std::wstring MakeWorkFolder(const std::wstring& temp) = 0;  // new and locked; empty on failure
    virtual void RemoveWorkFolder(const std::wstring& folder) = 0;
    virtual std::wstring AppFolder() = 0;
    virtual std::wstring AppExeName() = 0;

    // The archiver, run from the work folder.
    virtual void SetArchiverProgram(const std::wstring& program) = 0;
    virtual std::wstring CopyOutArchive(const std::wstring& archive) = 0;  // empty, or what went wrong
    virtual void SetArchive(const std::wstring& archive) = 0;
    virtual std::wstring ListArchive(const wchar_t* mask) = 0;
    virtual bool Extract(const std::wstring& folder, const std::wstring& exclusionList) = 0;

    // The staged swap.
    virtual void NewSwap() = 0;
    virtual bool PrepareStaging() = 0;
    virtual bool FlushStaged() = 0;
    virtual bool BeginSwap(const std::wstring& closeFlag) = 0;
    virtual bool WritePlan(const std::wstring& extractPath) = 0;
    virtual bool SwapFiles(size_t& placed) = 0;
    virtual void MoveToBackup(const std::vector<std::wstring>& paths) = 0;
    virtual bool StageRecord(const std::wstring& path, const std::wstring& text) = 0;
    virtual bool Commit() = 0;
    virtual bool Committed() = 0;
    virtual bool RollBack() = 0;
    virtual bool Moved() = 0;
    virtual void ClearSwap() = 0;
    virtual std::wstring Blocker() = 0;

    // Processes.
    virtual bool AnyRunning(const std::wstring& pattern) = 0;
    virtual bool ProgramIsRunning(const std::wstring& program) = 0;
    virtual bool CloseMenu(const std::wstring& pattern) = 0;
    virtual std::vector<RunningProgram> OtherPrograms(const std::wstring& pattern) = 0;  // this one left out
    virtual bool BackupKeyExists() = 0;
    virtual void SendEndCommand(const wchar_t* instance, const std::wstring& program, const wchar_t* command) = 0;
    // Waits a moment, then while `program` runs (ten seconds at most) polling every `pollMs`, then `settleMs`.
    virtual void WaitForEnd(const std::wstring& program, unsigned pollMs, unsigned settleMs) = 0;
    virtual bool QuitProcess(unsigned long pid) = 0;
    virtual void CloseProgram(const std::wstring& pattern) = 0;
    virtual bool RunCommand(const std::wstring& command) = 0;  // ran and ended, or there was nothing to start
    virtual UserStart StartAsDesktopUser(const std::wstring& program, int show, const std::wstring& arguments) = 0;
};

// Inside an exception handler: what the exception being handled says (what() of a standard one, the
// description of a system error), "unknown exception" otherwise.
std::wstring HandledExceptionText();

class ApplySteps {
  public:
    struct Where {
        std::wstring installRoot;  // no trailing backslash
        std::wstring menuExePath;  // the running menu of that installation; empty when there is none
        bool silent = false;       // no window: the boxes are answered unseen
    };
    ApplySteps(ApplyHost& host, Where where) : host_(host), where_(std::move(where)) {}

    // The whole apply, from the lock to the last box.
    void Run();
    // The suite stopped as an apply with every program in its archive would stop it, `recover` run, and
    // every program stopped started again, the user's tools too. Whether `recover` succeeded.
    bool RunWithSuiteStopped(const std::function<bool()>& recover);

  private:
    struct Abandon {};  // leaves the steps for the restart phase

    template <class F>
    void Op(F&& operation);
    template <class F>
    void Quietly(const wchar_t* step, F&& operation);
    void Failed(const wchar_t* step, bool goingOn);
    void StopIfCancelled();
    int AskNaming(const wchar_t* key, unsigned style, const std::wstring& path);
    [[noreturn]] void Refuse(const std::wstring& path, mUnattended::ExitCode code = mUnattended::ExitCode::ApplyFailed);

    void RecoverDeadApply();
    void PrepareWorkFolder();
    void ReadArchiveFlags();
    void WriteExclusionList();
    void Stage();
    void CheckRecord();
    void StopMenu();
    void StopWrapper();
    void StopAssociationTool();
    void StopOtherTools();
    void SwapIn();
    void RunAfterCommands();
    void DeleteLeftovers();
    void StageRecord();
    void Commit();
    void Restart();
    void StartAgain(const std::wstring& program, int show, const std::wstring& arguments);
    void Finish(bool cancelled);

    ApplyHost& host_;
    const Where where_;
    const wchar_t* step_ = L"Apply";  // the step under way, for the trace of a failure
    std::wstring work_;               // with its trailing backslash
    mApplyPatch::Placeholders values_;
    mApplyPatch::ArchiveContents contents_;
    bool assocInPatch_ = false;
    bool wrapperInPatch_ = false;
    bool exeInPatch_ = false;
    bool menuRestart_ = false;
    std::wstring wrapperPath_;
    std::wstring assocPath_;
    bool backupKey_ = false;
    std::wstring zetPath_;
    std::wstring exclusionPath_;
    std::wstring exclusionList_;  // its text, for checking what was staged
    bool swapMade_ = false;
    std::vector<std::wstring> closedTools_;  // other tools of the suite, closed
    std::wstring notRun_;                    // post-install commands skipped, each after CR LF
    bool menuStopped_ = false;               // the menu's step ran: the restart phase starts it again
    bool cancellable_ = false;               // nothing stopped yet: a Cancel leaves everything as it was
    bool success_ = false;
    bool resumeNext_ = false;  // a tool was sent its end command: from now on a failing operation is skipped
};

}  // namespace mApplySteps
