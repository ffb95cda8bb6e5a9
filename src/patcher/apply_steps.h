// The apply's protocol: the steps in their order, which failure skips a step and which abandons the apply,
// the Retry loops, Cancel, and which of the suite's programs are started again and how. Every call to the
// system goes through `ApplyHost`: the window implements it with real files, processes and boxes, the
// tests with a scripted one.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "appclose/wildcard.h"
#include "install/delta.h"
#include "install/install_plan.h"
#include "patcher/apply.h"
#include "patcher/unattended.h"
#include "support/encoding.h"
#include "support/path.h"
#include "support/trace.h"

namespace mApplySteps {

// Box styles and answers, with the values the system gives them.
inline constexpr unsigned kOkCritical = 0x10;           // OK, stop sign
inline constexpr unsigned kRetryCancelCritical = 0x15;  // Retry and Cancel, stop sign
inline constexpr unsigned kRetryCancelQuestion = 0x25;  // Retry and Cancel, question mark
inline constexpr unsigned kOkWarning = 0x30;            // OK, exclamation mark
inline constexpr unsigned kOkInformation = 0x40;        // OK, information sign
inline constexpr int kAnswerRetry = 4;

// The suite's tools that take commands through their instance window.
inline constexpr const wchar_t* kWrapperInstance = L"ORVWrapper_2.0";
inline constexpr const wchar_t* kAssocInstance = L"ORV Files Assoc'";

enum class UserStart { Started, NoDesktopUser, Refused };

// What the apply asks of the system. The window's host makes the real calls, the tests' a scripted one; a
// template parameter rather than virtual calls, so that the shipped program keeps the size it had.
template <class H>
concept ApplyHost = requires(H host,
                             const wchar_t* key,
                             unsigned style,
                             const std::wstring& text,
                             int number,
                             mUnattended::Step step,
                             bool flag,
                             std::wstring& out,
                             std::vector<std::wstring>& lines,
                             const std::vector<std::wstring>& paths,
                             size_t& count,
                             unsigned long pid,
                             std::vector<unsigned long>& pids,
                             mUnattended::ExitCode code) {
    // The window.
    { host.Ask(key, style, text) } -> std::convertible_to<int>;  // text empty: the key's
    { host.Str(key) } -> std::convertible_to<std::wstring>;
    { host.StrOr(key, key) } -> std::convertible_to<std::wstring>;
    host.Log(text);  // the run log, when one is open
    host.Step(step, flag);
    host.Percent(number);
    { host.CancelRequested() } -> std::convertible_to<bool>;
    host.LockCancel();     // Cancel can no longer leave the suite untouched
    host.EndProgress();    // the status line and the bar back to idle
    host.EndApply();       // the window back to idle, the Apply button too
    host.ShowCancelled();  // the status line says nothing was changed
    host.ShowLastBox();    // the window brought forward for the last box (never under /silent)
    host.HideWindow();
    host.CloseWindow();
    { host.Exit() } -> std::convertible_to<mUnattended::ExitCode>;
    // Programs stopped and not started again, each after CR LF: named in the last box, this run's or a later one's.
    { host.NotRestarted() } -> std::same_as<std::wstring&>;
    host.SetExit(code);
    { host.Descriptor(key) } -> std::convertible_to<std::wstring>;
    // The installation, before the apply touches it: false when another apply holds it.
    { host.AcquireInstallation() } -> std::convertible_to<bool>;
    // A dead apply's swap undone or finished; false when it could not be, with the file that stopped it,
    // the reason it was not run, and the lines to log.
    { host.RecoverInstallation(out, out, lines) } -> std::convertible_to<bool>;
    // Files.
    { host.FileExists(text) } -> std::convertible_to<bool>;
    { host.FileSize(text) } -> std::convertible_to<int64_t>;  // -1 where no file is
    { host.FreeSpace(text) } -> std::convertible_to<std::optional<uint64_t>>;
    { host.CanWrite(text) } -> std::convertible_to<bool>;
    { host.CopyNewFile(text, text) } -> std::convertible_to<bool>;  // never over an existing file
    host.WriteTextFile(text, text);
    { host.LoadTextFile(text) } -> std::convertible_to<std::wstring>;
    host.RemoveFile(text);
    {
        host.TempFolder()
        } -> std::convertible_to<std::wstring>;  // with its trailing backslash; empty when there is none
    { host.MakeWorkFolder(text) } -> std::convertible_to<std::wstring>;  // new and locked; empty on failure
    host.RemoveWorkFolder(text);
    { host.AppFolder() } -> std::convertible_to<std::wstring>;
    { host.AppExeName() } -> std::convertible_to<std::wstring>;
    // The archiver, run from the work folder.
    host.SetArchiverProgram(text);
    { host.CopyOutArchive(text) } -> std::convertible_to<std::wstring>;  // empty, or what went wrong
    host.SetArchive(text);
    { host.ListArchive(key) } -> std::convertible_to<std::wstring>;
    { host.Extract(text, text) } -> std::convertible_to<bool>;
    // A changed file that travels as a delta, rebuilt from the installed copy (old, delta, new).
    { host.RebuildFromDelta(text, text, text) } -> std::same_as<mDelta::Result>;
    host.RemoveFolder(text);  // a folder this apply made, with all it holds
    // The staged swap.
    host.NewSwap();
    { host.PrepareStaging() } -> std::convertible_to<bool>;
    { host.FlushStaged() } -> std::convertible_to<bool>;
    { host.BeginSwap(text) } -> std::convertible_to<bool>;
    { host.WritePlan(text) } -> std::convertible_to<bool>;
    { host.SwapFiles(count) } -> std::convertible_to<bool>;
    host.MoveToBackup(paths);
    { host.StageRecord(text, text) } -> std::convertible_to<bool>;
    { host.Commit() } -> std::convertible_to<bool>;
    { host.Committed() } -> std::convertible_to<bool>;
    { host.RollBack() } -> std::convertible_to<bool>;
    { host.Moved() } -> std::convertible_to<bool>;
    host.ClearSwap();
    { host.Blocker() } -> std::convertible_to<std::wstring>;
    // Processes.
    { host.AnyRunning(text) } -> std::convertible_to<bool>;
    { host.ProgramIsRunning(text) } -> std::convertible_to<bool>;
    { host.CloseMenu(text) } -> std::convertible_to<bool>;
    host.OtherPrograms(text, lines, pids);  // paths and process ids; this one left out
    { host.BackupKeyExists() } -> std::convertible_to<bool>;
    host.SendEndCommand(key, text, key);
    // Waits a moment, then while the program runs (ten seconds at most) polling every so many ms, then
    // lets it settle so many ms.
    host.WaitForEnd(text, style, style);
    { host.QuitProcess(pid) } -> std::convertible_to<bool>;
    host.CloseProgram(text);
    { host.RunCommand(text) } -> std::convertible_to<bool>;  // ran and ended, or there was nothing to start
    { host.StartAsDesktopUser(text, number, text) } -> std::convertible_to<UserStart>;
};

// The installation an apply works on; the strings outlive the apply.
struct Where {
    const std::wstring& installRoot;  // no trailing backslash
    const std::wstring& menuExePath;  // the running menu of that installation; empty when there is none
    bool silent;                      // no window: the boxes are answered unseen
};

// Leaves the apply's steps for the restart phase.
struct Abandon {};

// Inside an exception handler: the trace line, also for the run log, of step `step` that failed with the
// exception being handled (what() of a standard one, else "unknown exception"), and whether the apply goes
// on without it.
inline std::wstring FailureLine(const char* step, bool goingOn) {
    const char* what = "unknown exception";
    try {
        throw;
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    std::wstring line;
    for (const char* text : {"Step ", step, " failed: ", what, goingOn ? "; skipped" : "; abandoned"}) {
        for (; *text; ++text)
            line += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    }
    TraceError(line);
    return line;
}

// The log's line for a program that could not be started again.
inline const wchar_t* NotStartedLine(UserStart why) {
    return why == UserStart::NoDesktopUser
               ? L"Not started again: the patcher runs as administrator and the desktop's user could not be found"
               : L"Not started again: the system refused to start it";
}

template <ApplyHost Host>
class ApplySteps {
  public:
    ApplySteps(Host& host, const Where& where) : host_(host), where_(where) {}

    // The whole apply, from the lock to the last box.
    void Run();
    // The suite stopped as an apply with every program in its archive would stop it, `recover` run, and
    // every program stopped started again, the user's tools too. Whether `recover` succeeded.
    bool RunWithSuiteStopped(const std::function<bool()>& recover);

  private:
    template <class F>
    void Op(F&& operation) {
        try {
            operation();
        } catch (...) {
            OpFailed();
        }
    }
    template <class F>
    void Quietly(F&& operation) {
        try {
            operation();
        } catch (...) {
            Failed(step_, true);
        }
    }
    void OpFailed();
    void Failed(const char* step, bool goingOn);
    void StopIfCancelled();
    int AskNaming(const wchar_t* key, unsigned style, const std::wstring& path);
    [[noreturn]] void Refuse(const std::wstring& path, mUnattended::ExitCode code = mUnattended::ExitCode::ApplyFailed);

    void RecoverDeadApply();
    void PrepareWorkFolder();
    void ReadArchiveFlags();
    void WriteExclusionList();
    void Stage();
    void RebuildDeltas();
    void CheckRecord();
    void StopMenu();
    void EndTool(const wchar_t* instance,
                 const std::wstring& program,
                 const wchar_t* command,
                 unsigned pollMs,
                 unsigned settleMs);
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

    Host& host_;
    const Where where_;
    const char* step_ = "Apply";  // the step under way, for the trace of a failure
    std::wstring work_;           // with its trailing backslash
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

// Called inside the handler of an operation of the current step. Until a tool has been sent its end command
// a failure abandons the steps for the restart phase; from then on the failing operation is skipped and the
// apply goes on.
template <ApplyHost Host>
void ApplySteps<Host>::OpFailed() {
    try {
        throw;
    } catch (const Abandon&) {
        throw;
    } catch (...) {
        Failed(step_, resumeNext_);
        if (!resumeNext_)
            throw Abandon{};
    }
}

// Called inside a handler: names the step and the exception in the trace and the run log.
template <ApplyHost Host>
void ApplySteps<Host>::Failed(const char* step, bool goingOn) {
    const std::wstring line = FailureLine(step, goingOn);
    host_.Log(line);
}

template <ApplyHost Host>
void ApplySteps<Host>::StopIfCancelled() {
    if (host_.CancelRequested())
        throw Abandon{};
}

// The message followed by the file or folder concerned, when there is one: a path needs no translation.
template <ApplyHost Host>
int ApplySteps<Host>::AskNaming(const wchar_t* key, unsigned style, const std::wstring& path) {
    return host_.Ask(key, style, path.empty() ? path : host_.Str(key) + L"\r\n\r\n" + path);
}

// The apply stops at this file or folder.
template <ApplyHost Host>
void ApplySteps<Host>::Refuse(const std::wstring& path, mUnattended::ExitCode code) {
    AskNaming(L"CantUpdate", kOkCritical, path);
    host_.SetExit(code);
    throw Abandon{};
}

// One apply per installation; a dead one's half swap is undone before this one looks at the files. Refused
// before this apply touched anything.
template <ApplyHost Host>
void ApplySteps<Host>::RecoverDeadApply() {
    step_ = "Recover";
    if (!host_.AcquireInstallation())
        Refuse(L"", mUnattended::ExitCode::CannotUpdate);
    std::wstring blocker;
    std::wstring refusal;
    std::vector<std::wstring> kept;
    const bool recovered = host_.RecoverInstallation(blocker, refusal, kept);
    for (const std::wstring& line : kept)
        host_.Log(line);
    if (!recovered) {
        if (!refusal.empty())
            host_.Log(refusal);
        Refuse(blocker, mUnattended::ExitCode::CannotUpdate);
    }
}

template <ApplyHost Host>
void ApplySteps<Host>::PrepareWorkFolder() {
    step_ = "WorkFolder";
    const std::wstring temp = host_.TempFolder();
    if (temp.empty())
        throw Abandon{};
    work_ = host_.MakeWorkFolder(temp);
    if (work_.empty())
        throw Abandon{};
    const std::wstring installer = where_.installRoot + mApplyPatch::kInstallerFolder;
    for (const wchar_t* name : {L"7z.exe", L"7z.dll"}) {
        if (!host_.CopyNewFile(installer + name, work_ + name))
            throw Abandon{};
    }
    host_.SetArchiverProgram(work_ + L"7z.exe");

    // The archive copied out of the patch; a temporary folder that is full or cannot be written is said, and
    // Retry tries again once the user made room.
    const std::wstring archive = work_ + mApplyPatch::kArchiveFile;
    for (;;) {
        const std::wstring problem = host_.CopyOutArchive(archive);
        if (problem.empty())
            break;
        host_.Log(L"Work file: " + problem);
        if (host_.Ask(L"ExtractError", kRetryCancelCritical, L"") != kAnswerRetry)
            throw Abandon{};
    }
    host_.SetArchive(archive);
}

template <ApplyHost Host>
void ApplySteps<Host>::ReadArchiveFlags() {
    step_ = "Listing";
    // One listing: each start of the archiver costs about half a second on a slow machine.
    contents_ = mApplyPatch::ContentsOfListing(host_.ListArchive(mApplyPatch::kListingMask));
    assocInPatch_ = contents_.assoc;
    wrapperInPatch_ = contents_.wrapper;
    exeInPatch_ = contents_.anyExe;
    menuRestart_ =
        mApplyPatch::MenuRestartWanted(host_.Descriptor(L"ForceMenuRestart"), [&] { return contents_.menu; });
}

template <ApplyHost Host>
void ApplySteps<Host>::WriteExclusionList() {
    step_ = "Exclude";
    Op([&] {
        const std::wstring list = mApplyPatch::ExclusionListText(
            host_.Descriptor(L"FileFlags"), where_.installRoot, host_.Descriptor(L"ExtractPath"),
            [&](const std::wstring& path) { return host_.FileExists(path); });
        exclusionList_ = list;
        if (list.empty())
            return;
        // Kept even when the write fails: the archiver then refuses the missing list, and the user hears
        // of it, instead of excluded files being overwritten.
        exclusionPath_ = work_ + mApplyPatch::kExclusionFile;
        host_.WriteTextFile(exclusionPath_, list);
    });
}

template <ApplyHost Host>
void ApplySteps<Host>::Stage() {
    step_ = "Stage";
    // The archive is unpacked on the installation's volume: without room for it the user hears how much
    // is missing, not of a damaged archive.
    constexpr uint64_t kMB = 1 << 20;
    const std::optional<uint64_t> available = host_.FreeSpace(where_.installRoot + L"\\");
    if (available && *available < contents_.size + kMB)
        Refuse(where_.installRoot + L"\r\n+ " +
               mStringTools::DecimalText(static_cast<int64_t>((contents_.size + kMB - *available) / kMB + 1)) + L" MB");
    host_.NewSwap();
    swapMade_ = true;
    const std::wstring staging = mInstall::StagingFolder(where_.installRoot);
    for (;;) {
        bool prepared = false;
        Op([&] { prepared = host_.PrepareStaging(); });
        if (!prepared)
            Refuse(host_.Blocker());
        bool extracted = false;
        host_.Step(mUnattended::Step::Preparing, true);
        // Without its last backslash: before the closing quote it would escape it.
        std::wstring missing;
        Op([&] {
            extracted = host_.Extract(mGlobal::WithoutSlash(staging), exclusionPath_) && host_.FlushStaged();
            // What the archiver reported is checked against what it listed: nothing it skipped in silence
            // goes unnoticed.
            if (extracted)
                missing = mApplyPatch::FirstFileNotStaged(
                    contents_, exclusionList_, staging, [&](const std::wstring& path) { return host_.FileSize(path); });
        });
        StopIfCancelled();
        if (extracted && missing.empty()) {
            host_.Percent(100);
            break;
        }
        if (AskNaming(L"ExtractError", kRetryCancelCritical, missing) != kAnswerRetry)
            throw Abandon{};
    }
    if (!exclusionPath_.empty())
        Op([&] { host_.RemoveFile(exclusionPath_); });
    RebuildDeltas();
}

// A changed file that travels as a delta is rebuilt into the staging folder from the installed copy, before
// anything is stopped. A copy that is not the one the delta was made from (edited, another version, damaged)
// stops the apply with the path, unless the patch carries the file whole too: that copy is then installed.
// The deltas' folder goes before the swap, which never installs the patcher's own folder.
template <ApplyHost Host>
void ApplySteps<Host>::RebuildDeltas() {
    step_ = "Deltas";
    const std::wstring staging = mInstall::StagingFolder(where_.installRoot);
    size_t deltas = 0;
    for (const mApplyPatch::ArchiveFile& file : contents_.files)
        deltas += !mDelta::TargetOfEntry(file.path).empty();
    if (!deltas)
        return;
    host_.Step(mUnattended::Step::Preparing, true);
    size_t seen = 0;
    for (const mApplyPatch::ArchiveFile& file : contents_.files) {
        const std::wstring target = mDelta::TargetOfEntry(file.path);
        // No delta; left out by the archiver with the file it rebuilds; or the file carried whole as well.
        if (target.empty() || host_.FileSize(staging + file.path) < 0 || host_.FileSize(staging + target) >= 0)
            continue;
        const std::wstring old =
            mInstall::PathUnderExtractFolder(where_.installRoot, host_.Descriptor(L"ExtractPath"), target);
        for (;;) {
            mDelta::Result result = mDelta::Result::ReadFailed;
            Op([&] { result = host_.RebuildFromDelta(old, staging + file.path, staging + target); });
            StopIfCancelled();
            if (result == mDelta::Result::Done)
                break;
            if (result == mDelta::Result::OtherOldFile) {
                host_.Log(L"Not the file this update was made for: " + old);
                Refuse(old, mUnattended::ExitCode::CannotUpdate);
            }
            if (AskNaming(L"ExtractError", kRetryCancelCritical, old) != kAnswerRetry)
                throw Abandon{};
        }
        host_.Percent(static_cast<int>(++seen * 100 / deltas));
    }
    Op([&] { host_.RemoveFolder(staging + (mInstall::kInstallWorkFolder + 1)); });
}

// Only whether the record can be written, before anything is stopped: its new text is made from the file
// as the post-install steps leave it.
template <ApplyHost Host>
void ApplySteps<Host>::CheckRecord() {
    step_ = "Check";
    const std::wstring path = where_.installRoot + mApplyPatch::kVersionFile;
    bool writable = true;
    Op([&] {
        if (!host_.Descriptor(L"PatchVersion").empty() && host_.FileExists(path))
            writable = host_.CanWrite(path);
    });
    if (!writable)
        Refuse(path);
    const std::wstring flag =
        !where_.menuExePath.empty() && menuRestart_ ? mApplyPatch::CloseFlagPath(where_.menuExePath) : L"";
    if (!host_.BeginSwap(flag))
        throw Abandon{};
}

template <ApplyHost Host>
void ApplySteps<Host>::StopMenu() {
    step_ = "Menu";
    const std::wstring& menu = where_.menuExePath;
    if (menu.empty() || !menuRestart_)
        return;
    menuStopped_ = true;
    const std::wstring flag = mApplyPatch::CloseFlagPath(menu);
    const std::wstring pattern = mAppClose::EscapeWildcard(menu);
    for (;;) {
        if (!host_.FileExists(flag))
            host_.WriteTextFile(flag, mApplyPatch::kCloseFlagContent);
        if (!host_.AnyRunning(pattern))
            return;
        host_.Log(L"Closing " + menu);
        if (host_.CloseMenu(pattern))
            return;
        if (host_.Ask(L"OrvStillRunning", kRetryCancelQuestion, L"") != kAnswerRetry) {
            host_.RemoveFile(flag);
            throw Abandon{};
        }
    }
}

// A tool of the suite told to end through its instance window, or by starting it with the end command, and
// waited for. From now on a failing operation is skipped: the tool may be gone.
template <ApplyHost Host>
void ApplySteps<Host>::EndTool(const wchar_t* instance,
                               const std::wstring& program,
                               const wchar_t* command,
                               unsigned pollMs,
                               unsigned settleMs) {
    host_.Log(L"Closing " + program);
    resumeNext_ = true;
    Op([&] { host_.SendEndCommand(instance, program, command); });
    Op([&] { host_.WaitForEnd(program, pollMs, settleMs); });
}

template <ApplyHost Host>
void ApplySteps<Host>::StopWrapper() {
    step_ = "Wrapper";
    if (!wrapperInPatch_)
        return;
    const std::wstring program = where_.installRoot + mApplyPatch::kWrapperProgram;
    if (!host_.FileExists(program) || !host_.ProgramIsRunning(program))
        return;
    wrapperPath_ = program;
    EndTool(kWrapperInstance, program, mApplyPatch::kWrapperEndCommand, 100, 800);
}

template <ApplyHost Host>
void ApplySteps<Host>::StopAssociationTool() {
    step_ = "Assoc";
    if (!assocInPatch_)
        return;
    Op([&] {
        const std::wstring root = mAppClose::EscapeWildcard(where_.installRoot);
        std::vector<std::wstring> paths;
        std::vector<unsigned long> pids;
        host_.OtherPrograms(root + mApplyPatch::kAssocToolsFolder + L"*.*", paths, pids);
        if (paths.empty())
            host_.OtherPrograms(root + mApplyPatch::kAssocAppsFolder + L"*.*", paths, pids);
        if (!paths.empty()) {
            assocPath_ = paths.front();
            backupKey_ = host_.BackupKeyExists();
        }
    });
    if (!assocPath_.empty())
        EndTool(kAssocInstance, assocPath_, mApplyPatch::kAssocEndCommand, 10, 0);
}

template <ApplyHost Host>
void ApplySteps<Host>::StopOtherTools() {
    step_ = "Tools";
    if (!exeInPatch_)
        return;
    std::vector<std::wstring> paths;
    std::vector<unsigned long> pids;
    Op([&] {
        host_.OtherPrograms(mAppClose::EscapeWildcard(where_.installRoot) + mApplyPatch::kToolsFolder + L"*.*", paths,
                            pids);
    });
    for (size_t i = 0; i < paths.size() && i < pids.size(); ++i) {
        const std::wstring& path = paths[i];
        const mApplyPatch::ToolAction action = mApplyPatch::ActionForTool(path);
        if (action != mApplyPatch::ToolAction::Leave)
            host_.Log(L"Closing " + path);
        Op([&] {
            switch (action) {
                case mApplyPatch::ToolAction::Quit:
                    if (host_.QuitProcess(pids[i]))
                        zetPath_ = path;
                    break;
                case mApplyPatch::ToolAction::Leave:
                    break;
                case mApplyPatch::ToolAction::Close:
                    host_.CloseProgram(mAppClose::EscapeWildcard(path));
                    closedTools_.push_back(path);
                    break;
            }
        });
    }
}

template <ApplyHost Host>
void ApplySteps<Host>::SwapIn() {
    step_ = "Swap";
    for (;;) {
        bool swapped = false;
        host_.Step(mUnattended::Step::Installing, true);
        size_t files = 0;
        Op([&] { swapped = host_.WritePlan(host_.Descriptor(L"ExtractPath")) && host_.SwapFiles(files); });
        if (swapped) {
            host_.Log(L"Files placed: " + mStringTools::DecimalText(static_cast<int64_t>(files)));
            return;
        }
        // Files that could not all be put back: no Retry, whose new plan would forget them. The journal
        // stays, and the next start finishes the rollback.
        if (host_.Moved())
            Refuse(host_.Blocker());
        if (host_.Ask(L"ExtractError", kRetryCancelCritical, L"") != kAnswerRetry)
            throw Abandon{};
    }
}

template <ApplyHost Host>
void ApplySteps<Host>::RunAfterCommands() {
    step_ = "RunAfter";
    values_ = {where_.installRoot, mGlobal::WithoutSlash(work_), host_.Descriptor(L"PatchLang")};
    std::vector<std::wstring> commands;
    Op([&] { commands = mApplyPatch::SplitList(host_.Descriptor(L"RunAfter")); });
    host_.Step(mUnattended::Step::RunningCommands, !commands.empty());
    for (size_t i = 0; i < commands.size(); ++i) {
        host_.Percent(static_cast<int>(i * 100 / commands.size()));
        const std::wstring command = mApplyPatch::Substitute(commands[i], values_);
        host_.Log(L"Running " + command);
        for (;;) {
            bool done = false;
            Op([&] { done = host_.RunCommand(command); });
            if (done)
                break;
            if (AskNaming(L"CmdRunError", kRetryCancelCritical, command) != kAnswerRetry) {
                notRun_ += L"\r\n" + command;
                break;
            }
        }
    }
}

template <ApplyHost Host>
void ApplySteps<Host>::DeleteLeftovers() {
    step_ = "DelAfter";
    std::vector<std::wstring> items;
    Op([&] {
        for (const std::wstring& item : mApplyPatch::SplitList(host_.Descriptor(L"DelAfter")))
            items.push_back(mApplyPatch::Substitute(item, values_));
    });
    // Into the backup, not deleted: until the record is in place the apply may still be undone.
    Op([&] { host_.MoveToBackup(items); });
}

// The record made from the version file as the post-install steps left it, written beside the apply. A
// record that could not even be made is no record to leave out: the apply is undone.
template <ApplyHost Host>
void ApplySteps<Host>::StageRecord() {
    step_ = "Record";
    const std::wstring path = where_.installRoot + mApplyPatch::kVersionFile;
    std::optional<std::wstring> text;
    bool made = false;
    Op([&] {
        // The files are in place by now: a record the archive brought is the one that stands here.
        std::optional<std::wstring> installed;
        if (host_.FileExists(path))
            installed = host_.LoadTextFile(path);
        text = mApplyPatch::NewVersionRecord(host_.Descriptor(L"PatchVersion"), host_.Descriptor(L"ORVVersion"),
                                             installed, std::nullopt);
        made = true;
    });
    bool staged = made && !text;
    if (made && text)
        Op([&] { staged = host_.StageRecord(path, *text); });
    if (!staged)
        Refuse(path);
}

template <ApplyHost Host>
void ApplySteps<Host>::Commit() {
    step_ = "Commit";
    bool committed = false;
    Op([&] { committed = host_.Commit(); });
    if (!committed)
        Refuse(host_.Blocker());
}

// A stopped program started again with the rights of the desktop's user, and said so in the log; one that
// cannot be is left for the user to start, and named in the log and in the last box.
template <ApplyHost Host>
void ApplySteps<Host>::StartAgain(const std::wstring& program, int show, const std::wstring& arguments) {
    Quietly([&] {
        host_.Log(L"Restarting " + program + (arguments.empty() ? L"" : L" " + arguments));
        const UserStart started = host_.StartAsDesktopUser(program, show, arguments);
        if (started == UserStart::Started)
            return;
        host_.Log(NotStartedLine(started));
        host_.NotRestarted() += L"\r\n" + program;
    });
}

template <ApplyHost Host>
void ApplySteps<Host>::Restart() {
    step_ = "Restart";
    if (!cancellable_)
        host_.Step(mUnattended::Step::Restarting, false);
    // Before anything is started again: a restarted program must find the files it was stopped with.
    if (swapMade_ && !host_.Committed())
        Quietly([&] {
            // What cannot be put back now stays journaled: the next start recovers it.
            if (host_.RollBack())
                host_.ClearSwap();
        });
    if (!wrapperPath_.empty() && wrapperInPatch_)
        StartAgain(wrapperPath_, 1, mApplyPatch::kWrapperRestartArguments);
    if (!assocPath_.empty())
        StartAgain(assocPath_, 1, backupKey_ ? mApplyPatch::kAssocRestartWithBackup : L"");
    if (menuStopped_) {
        Quietly([&] { host_.RemoveFile(mApplyPatch::CloseFlagPath(where_.menuExePath)); });
        StartAgain(where_.menuExePath, 1, mApplyPatch::kMenuRestartArguments);
    }
    if (!zetPath_.empty())
        Quietly(
            [&] { StartAgain(zetPath_, 0, mApplyPatch::ZetRestartArguments(host_.AppFolder(), host_.AppExeName())); });
    if (!work_.empty())
        Quietly([&] { host_.RemoveWorkFolder(work_); });
}

template <ApplyHost Host>
void ApplySteps<Host>::Run() {
    cancellable_ = true;
    host_.SetExit(mUnattended::ExitCode::ApplyFailed);
    try {
        host_.Step(mUnattended::Step::Preparing, false);
        RecoverDeadApply();
        PrepareWorkFolder();
        StopIfCancelled();
        ReadArchiveFlags();
        StopIfCancelled();
        // Everything that can fail on the archive or the record fails here, before anything is stopped.
        WriteExclusionList();
        Stage();
        CheckRecord();
        StopIfCancelled();
        cancellable_ = false;
        host_.LockCancel();
        host_.Step(mUnattended::Step::Closing, false);
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
    } catch (const Abandon&) {
        // A failure before any tool was commanded, or a Cancel: the suite is restarted all the same.
    } catch (...) {
        Failed(step_, false);
    }
    Finish(cancellable_ && host_.CancelRequested());
}

template <ApplyHost Host>
void ApplySteps<Host>::Finish(bool cancelled) {
    Restart();
    host_.EndApply();
    step_ = "Finish";
    if (cancelled) {
        host_.SetExit(mUnattended::ExitCode::NotApplied);
        host_.Log(L"Cancelled before anything was stopped");
        Quietly([&] { host_.ShowCancelled(); });
    }
    if (!success_)
        return;
    if (host_.Exit() != mUnattended::ExitCode::CommandFailed)
        host_.SetExit(mUnattended::ExitCode::Applied);
    Quietly([&] {
        // Without a window (silent) the box is answered unseen.
        if (!where_.silent)
            host_.ShowLastBox();
        // Applied, but a command that did not run, or a program the user must start, is no success to report
        // as one.
        std::wstring unfinished = notRun_.empty() ? notRun_ : notRun_.substr(2);
        const std::wstring& notRestarted = host_.NotRestarted();
        if (!notRestarted.empty())
            unfinished += (unfinished.empty() ? L"" : L"\r\n\r\n") +
                          host_.StrOr(mUnattended::kStartByHandKey, mUnattended::kStartByHandText) + notRestarted;
        if (unfinished.empty())
            host_.Ask(L"UpdateDone", kOkInformation, L"");
        else
            AskNaming(L"UpdateDone", kOkWarning, unfinished);
        host_.HideWindow();
    });
    // The backup goes once the user knows: thousands of files take a while to delete.
    Quietly([&] { host_.ClearSwap(); });
    // Closed through the window's own path, once the apply has returned.
    host_.CloseWindow();
}

// Every program the apply would stop, as if the archive brought them all; the menu only when it runs (the
// apply starts it in any case).
template <ApplyHost Host>
bool ApplySteps<Host>::RunWithSuiteStopped(const std::function<bool()>& recover) {
    menuRestart_ = !where_.menuExePath.empty() && host_.ProgramIsRunning(where_.menuExePath);
    wrapperInPatch_ = assocInPatch_ = exeInPatch_ = true;
    bool recovered = false;
    try {
        host_.Step(mUnattended::Step::Closing, false);
        StopMenu();
        StopWrapper();
        StopAssociationTool();
        StopOtherTools();
        step_ = "Recover";
        recovered = recover();
    } catch (const Abandon&) {
        // A menu that would not close: the programs stopped so far are started again.
    } catch (...) {
        Failed(step_, false);
    }
    Restart();
    // The user's tools too, which an apply leaves closed: the user asked for none of this.
    for (const std::wstring& tool : closedTools_)
        StartAgain(tool, 1, L"");
    host_.EndProgress();
    return recovered;
}

}  // namespace mApplySteps
