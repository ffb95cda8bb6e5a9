#include "patcher/apply_steps.h"

#include <exception>

#include "appclose/wildcard.h"
#include "install/install_plan.h"
#include "support/encoding.h"
#include "support/sys_error.h"
#include "support/trace.h"

namespace mApplySteps {

using namespace mApplyPatch;
using mUnattended::ExitCode;

// Runs one operation of the current step. Until a tool has been sent its end command a failure abandons
// the steps for the restart phase; from then on the failing operation is skipped and the apply goes on.
template <class F>
void ApplySteps::Op(F&& operation) {
    try {
        operation();
    } catch (const Abandon&) {
        throw;
    } catch (...) {
        Failed(step_, resumeNext_);
        if (!resumeNext_)
            throw Abandon{};
    }
}

// Restart phase and last box: every failure is skipped.
template <class F>
void ApplySteps::Quietly(const wchar_t* step, F&& operation) {
    try {
        operation();
    } catch (...) {
        Failed(step, true);
    }
}

std::wstring HandledExceptionText() {
    std::wstring what = L"unknown exception";
    try {
        throw;
    } catch (const std::exception& e) {
        what.clear();
        for (const char* c = e.what(); *c; ++c)
            what += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    } catch (const SysError& e) {
        what = e.description;
    } catch (...) {
    }
    return what;
}

// Called inside a handler: names the step and the exception in the trace and the run log.
void ApplySteps::Failed(const wchar_t* step, bool goingOn) {
    const std::wstring line = std::wstring(L"Step ") + step + L" failed: " + HandledExceptionText() +
                              (goingOn ? L"; going on without it" : L"; abandoned");
    TraceError(line);
    host_.Log(line);
}

void ApplySteps::StopIfCancelled() {
    if (host_.CancelRequested())
        throw Abandon{};
}

// The message followed by the file or folder concerned, when there is one: a path needs no translation.
int ApplySteps::AskNaming(const wchar_t* key, unsigned style, const std::wstring& path) {
    return host_.Ask(key, style, path.empty() ? path : host_.Str(key) + L"\r\n\r\n" + path);
}

// The apply stops at this file or folder.
void ApplySteps::Refuse(const std::wstring& path, ExitCode code) {
    AskNaming(L"CantUpdate", kOkCritical, path);
    host_.SetExit(code);
    throw Abandon{};
}

// One apply per installation; a dead one's half swap is undone before this one looks at the files. Refused
// before this apply touched anything.
void ApplySteps::RecoverDeadApply() {
    step_ = L"RecoverDeadApply";
    if (!host_.AcquireInstallation())
        Refuse(L"", ExitCode::CannotUpdate);
    std::wstring blocker;
    std::wstring refusal;
    std::vector<std::wstring> kept;
    const bool recovered = host_.RecoverInstallation(blocker, refusal, kept);
    for (const std::wstring& line : kept)
        host_.Log(line);
    if (!recovered) {
        if (!refusal.empty())
            host_.Log(refusal);
        Refuse(blocker, ExitCode::CannotUpdate);
    }
}

void ApplySteps::PrepareWorkFolder() {
    step_ = L"PrepareWorkFolder";
    const std::wstring temp = host_.TempFolder();
    if (temp.empty())
        throw Abandon{};
    work_ = host_.MakeWorkFolder(temp);
    if (work_.empty())
        throw Abandon{};
    const std::wstring installer = where_.installRoot + kInstallerFolder;
    for (const wchar_t* name : {L"7z.exe", L"7z.dll"}) {
        if (!host_.CopyNewFile(installer + name, work_ + name))
            throw Abandon{};
    }
    host_.SetArchiverProgram(work_ + L"7z.exe");

    // The archive copied out of the patch; a temporary folder that is full or cannot be written is said, and
    // Retry tries again once the user made room.
    const std::wstring archive = work_ + kArchiveFile;
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

void ApplySteps::ReadArchiveFlags() {
    step_ = L"ReadArchiveFlags";
    // One listing: each start of the archiver costs about half a second on a slow machine.
    contents_ = ContentsOfListing(host_.ListArchive(kListingMask));
    assocInPatch_ = contents_.assoc;
    wrapperInPatch_ = contents_.wrapper;
    exeInPatch_ = contents_.anyExe;
    menuRestart_ = MenuRestartWanted(host_.Descriptor(L"ForceMenuRestart"), [&] { return contents_.menu; });
}

void ApplySteps::WriteExclusionList() {
    step_ = L"WriteExclusionList";
    Op([&] {
        const std::wstring list =
            ExclusionListText(host_.Descriptor(L"FileFlags"), where_.installRoot, host_.Descriptor(L"ExtractPath"),
                              [&](const std::wstring& path) { return host_.FileExists(path); });
        exclusionList_ = list;
        if (list.empty())
            return;
        // Kept even when the write fails: the archiver then refuses the missing list, and the user hears
        // of it, instead of excluded files being overwritten.
        exclusionPath_ = work_ + kExclusionFile;
        host_.WriteTextFile(exclusionPath_, list);
    });
}

void ApplySteps::Stage() {
    step_ = L"Stage";
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
            extracted = host_.Extract(staging.substr(0, staging.size() - 1), exclusionPath_) && host_.FlushStaged();
            // What the archiver reported is checked against what it listed: nothing it skipped in silence
            // goes unnoticed.
            if (extracted)
                missing = FirstFileNotStaged(contents_, exclusionList_, staging,
                                             [&](const std::wstring& path) { return host_.FileSize(path); });
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
}

// Only whether the record can be written, before anything is stopped: its new text is made from the file
// as the post-install steps leave it.
void ApplySteps::CheckRecord() {
    step_ = L"CheckRecord";
    const std::wstring path = where_.installRoot + kVersionFile;
    bool writable = true;
    Op([&] {
        if (!host_.Descriptor(L"PatchVersion").empty() && host_.FileExists(path))
            writable = host_.CanWrite(path);
    });
    if (!writable)
        Refuse(path);
    const std::wstring flag = !where_.menuExePath.empty() && menuRestart_ ? CloseFlagPath(where_.menuExePath) : L"";
    if (!host_.BeginSwap(flag))
        throw Abandon{};
}

void ApplySteps::StopMenu() {
    step_ = L"StopMenu";
    const std::wstring& menu = where_.menuExePath;
    if (menu.empty() || !menuRestart_)
        return;
    menuStopped_ = true;
    const std::wstring flag = CloseFlagPath(menu);
    const std::wstring pattern = mAppClose::EscapeWildcard(menu);
    for (;;) {
        if (!host_.FileExists(flag))
            host_.WriteTextFile(flag, kCloseFlagContent);
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

void ApplySteps::StopWrapper() {
    step_ = L"StopWrapper";
    if (!wrapperInPatch_)
        return;
    const std::wstring program = where_.installRoot + kWrapperProgram;
    if (!host_.FileExists(program) || !host_.ProgramIsRunning(program))
        return;
    wrapperPath_ = program;
    host_.Log(L"Closing " + program);
    resumeNext_ = true;
    Op([&] { host_.SendEndCommand(kWrapperInstance, program, kWrapperEndCommand); });
    Op([&] { host_.WaitForEnd(program, 100, 800); });
}

void ApplySteps::StopAssociationTool() {
    step_ = L"StopAssociationTool";
    if (!assocInPatch_)
        return;
    Op([&] {
        const std::wstring root = mAppClose::EscapeWildcard(where_.installRoot);
        std::vector<RunningProgram> programs = host_.OtherPrograms(root + kAssocToolsFolder + L"*.*");
        if (programs.empty())
            programs = host_.OtherPrograms(root + kAssocAppsFolder + L"*.*");
        if (!programs.empty()) {
            assocPath_ = programs.front().path;
            backupKey_ = host_.BackupKeyExists();
        }
    });
    if (assocPath_.empty())
        return;
    host_.Log(L"Closing " + assocPath_);
    resumeNext_ = true;
    Op([&] { host_.SendEndCommand(kAssocInstance, assocPath_, kAssocEndCommand); });
    Op([&] { host_.WaitForEnd(assocPath_, 10, 0); });
}

void ApplySteps::StopOtherTools() {
    step_ = L"StopOtherTools";
    if (!exeInPatch_)
        return;
    std::vector<RunningProgram> programs;
    Op([&] { programs = host_.OtherPrograms(mAppClose::EscapeWildcard(where_.installRoot) + kToolsFolder + L"*.*"); });
    for (const RunningProgram& program : programs) {
        const ToolAction action = ActionForTool(program.path);
        if (action != ToolAction::Leave)
            host_.Log(L"Closing " + program.path);
        Op([&] {
            switch (action) {
                case ToolAction::Quit:
                    if (host_.QuitProcess(program.pid))
                        zetPath_ = program.path;
                    break;
                case ToolAction::Leave:
                    break;
                case ToolAction::Close:
                    host_.CloseProgram(mAppClose::EscapeWildcard(program.path));
                    closedTools_.push_back(program.path);
                    break;
            }
        });
    }
}

void ApplySteps::SwapIn() {
    step_ = L"SwapIn";
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

void ApplySteps::RunAfterCommands() {
    step_ = L"RunAfterCommands";
    values_ = {where_.installRoot, work_.substr(0, work_.size() - 1), host_.Descriptor(L"PatchLang")};
    std::vector<std::wstring> commands;
    Op([&] { commands = SplitList(host_.Descriptor(L"RunAfter")); });
    host_.Step(mUnattended::Step::RunningCommands, !commands.empty());
    for (size_t i = 0; i < commands.size(); ++i) {
        host_.Percent(static_cast<int>(i * 100 / commands.size()));
        const std::wstring command = Substitute(commands[i], values_);
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

void ApplySteps::DeleteLeftovers() {
    step_ = L"DeleteLeftovers";
    std::vector<std::wstring> items;
    Op([&] {
        for (const std::wstring& item : SplitList(host_.Descriptor(L"DelAfter")))
            items.push_back(Substitute(item, values_));
    });
    // Into the backup, not deleted: until the record is in place the apply may still be undone.
    Op([&] { host_.MoveToBackup(items); });
}

// The record made from the version file as the post-install steps left it, written beside the apply. A
// record that could not even be made is no record to leave out: the apply is undone.
void ApplySteps::StageRecord() {
    step_ = L"StageRecord";
    const std::wstring path = where_.installRoot + kVersionFile;
    std::optional<std::wstring> text;
    bool made = false;
    Op([&] {
        // The files are in place by now: a record the archive brought is the one that stands here.
        std::optional<std::wstring> installed;
        if (host_.FileExists(path))
            installed = host_.LoadTextFile(path);
        text = NewVersionRecord(host_.Descriptor(L"PatchVersion"), host_.Descriptor(L"ORVVersion"), installed,
                                std::nullopt);
        made = true;
    });
    bool staged = made && !text;
    if (made && text)
        Op([&] { staged = host_.StageRecord(path, *text); });
    if (!staged)
        Refuse(path);
}

void ApplySteps::Commit() {
    step_ = L"Commit";
    bool committed = false;
    Op([&] { committed = host_.Commit(); });
    if (!committed)
        Refuse(host_.Blocker());
}

// A stopped program started again with the rights of the desktop's user, and said so in the log; one that
// cannot be is left for the user to start, and named in the log and in the last box.
void ApplySteps::StartAgain(const std::wstring& program, int show, const std::wstring& arguments) {
    host_.Log(L"Restarting " + program + (arguments.empty() ? L"" : L" " + arguments));
    const UserStart started = host_.StartAsDesktopUser(program, show, arguments);
    if (started == UserStart::Started)
        return;
    host_.Log(started == UserStart::NoDesktopUser
                  ? L"Not started again: the patcher runs as administrator and the desktop's user could not be found"
                  : L"Not started again: the system refused to start it");
    host_.NotRestarted() += L"\r\n" + program;
}

void ApplySteps::Restart() {
    if (!cancellable_)
        host_.Step(mUnattended::Step::Restarting, false);
    // Before anything is started again: a restarted program must find the files it was stopped with.
    if (swapMade_ && !host_.Committed())
        Quietly(L"RollBack", [&] {
            // What cannot be put back now stays journaled: the next start recovers it.
            if (host_.RollBack())
                host_.ClearSwap();
        });
    if (!wrapperPath_.empty() && wrapperInPatch_)
        Quietly(L"RestartWrapper", [&] { StartAgain(wrapperPath_, 1, kWrapperRestartArguments); });
    if (!assocPath_.empty())
        Quietly(L"RestartAssociationTool",
                [&] { StartAgain(assocPath_, 1, backupKey_ ? kAssocRestartWithBackup : L""); });
    if (menuStopped_) {
        Quietly(L"RestartMenu", [&] { host_.RemoveFile(CloseFlagPath(where_.menuExePath)); });
        Quietly(L"RestartMenu", [&] { StartAgain(where_.menuExePath, 1, kMenuRestartArguments); });
    }
    if (!zetPath_.empty())
        Quietly(L"RestartZet",
                [&] { StartAgain(zetPath_, 0, ZetRestartArguments(host_.AppFolder(), host_.AppExeName())); });
    if (!work_.empty())
        Quietly(L"RemoveWorkFolder", [&] { host_.RemoveWorkFolder(work_); });
}

void ApplySteps::Run() {
    cancellable_ = true;
    host_.SetExit(ExitCode::ApplyFailed);
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

void ApplySteps::Finish(bool cancelled) {
    Restart();
    host_.EndApply();
    if (cancelled) {
        host_.SetExit(ExitCode::NotApplied);
        host_.Log(L"Cancelled before anything was stopped");
        Quietly(L"Cancel", [&] { host_.ShowCancelled(); });
    }
    if (!success_)
        return;
    if (host_.Exit() != ExitCode::CommandFailed)
        host_.SetExit(ExitCode::Applied);
    Quietly(L"UpdateDone", [&] {
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
    Quietly(L"ClearBackup", [&] { host_.ClearSwap(); });
    // Closed through the window's own path, once the apply has returned.
    host_.CloseWindow();
}

// Every program the apply would stop, as if the archive brought them all; the menu only when it runs (the
// apply starts it in any case).
bool ApplySteps::RunWithSuiteStopped(const std::function<bool()>& recover) {
    menuRestart_ = !where_.menuExePath.empty() && host_.ProgramIsRunning(where_.menuExePath);
    wrapperInPatch_ = assocInPatch_ = exeInPatch_ = true;
    bool recovered = false;
    try {
        host_.Step(mUnattended::Step::Closing, false);
        StopMenu();
        StopWrapper();
        StopAssociationTool();
        StopOtherTools();
        step_ = L"Recover";
        recovered = recover();
    } catch (const Abandon&) {
        // A menu that would not close: the programs stopped so far are started again.
    } catch (...) {
        Failed(step_, false);
    }
    Restart();
    // The user's tools too, which an apply leaves closed: the user asked for none of this.
    for (const std::wstring& tool : closedTools_)
        Quietly(L"RestartTool", [&] { StartAgain(tool, 1, L""); });
    host_.EndProgress();
    return recovered;
}

}  // namespace mApplySteps
