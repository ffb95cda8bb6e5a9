// What a run without anybody in front of it needs: the switches it is started with, the answer a careful
// user would give each box, the exit code each end of a run leaves for a script, and the names of the
// apply's steps that the window, the taskbar and the log show.
#pragma once

#include <optional>
#include <string>

namespace mUnattended {

struct RunOptions {
    bool silent = false;  // "/silent": no window, no box
    bool help = false;    // "/?": the switches and exit codes in a box
    std::wstring dir;     // "/dir=<root>": the installation, instead of looking for the running one
    std::wstring log;     // "/log=<file>": a UTF-8 account of the run
};
// Switches are whole words, letters without regard to case; a value may be quoted.
RunOptions ParseRunOptions(const std::wstring& args);

// What a run ends with, for `start /wait`. Refusals before anything was touched come first, then failures
// of an apply (each leaves the installation as it was, except CommandFailed, which is applied).
enum class ExitCode : int {
    Applied = 0,
    InvalidPatch = 1,
    BadCommandLine = 2,  // the /log= file cannot be written
    NoInstallation = 3,
    SeveralInstallations = 4,
    CannotUpdate = 5,  // no archiver or version file, another apply runs on it, or a dead one cannot be undone
    LanguageMismatch = 6,
    PrerequisiteMissing = 7,
    NewerInstalled = 8,
    AlreadyApplied = 9,
    SuiteStillRunning = 10,
    ExtractionFailed = 11,
    CommandFailed = 12,  // applied, but a post-install command failed
    ApplyFailed = 13,    // the apply could not be completed or recorded and was undone
    NotApplied = 14,     // the window was closed, or the apply cancelled, before anything was applied
};
inline constexpr int kExitCodeCount = 15;
// One line of the exit-code table, in English.
const wchar_t* ExitCodeMeaning(ExitCode code);

// The box `key` answered with `answer` (IDOK 1, IDCANCEL 2, IDRETRY 4, IDYES 6, IDNO 7) ends the run this way;
// nothing when the run goes on. The key "InvalidPatch" stands for the fixed "Invalid patch file".
std::optional<ExitCode> OutcomeOfBox(const std::wstring& key, int answer, bool duringApply);

// What a careful user who is not there answers box `key` of style `style`: a suite program that will not
// close is given `retryForMs` to go, then the apply is cancelled; every failure is cancelled; a question
// is answered No; a message is acknowledged.
int SilentAnswer(const std::wstring& key, unsigned style, unsigned long msSinceFirstAsked, unsigned long retryForMs);

// The steps of an apply, as the status line names them.
enum class Step { Preparing, Closing, Installing, RunningCommands, Restarting };
// The message-table key of a step's name, and its English text where the table has none.
const wchar_t* StepKey(Step step);
const wchar_t* StepText(Step step);
// The status line's note once the suite is stopped, and its English text.
inline constexpr wchar_t kNoCancelKey[] = L"StepNoCancel";
inline constexpr wchar_t kNoCancelText[] = L"the suite is stopped: no cancelling now";
// The status line after an apply cancelled before anything was stopped.
inline constexpr wchar_t kCancelledKey[] = L"StepCancelled";
inline constexpr wchar_t kCancelledText[] = L"Update cancelled: nothing was changed";
// Under the box of a start-up recovery whose journal is not run, before the folder it would set aside.
inline constexpr wchar_t kSetAsideKey[] = L"RecoverSetAside";
inline constexpr wchar_t kSetAsideText[] =
    L"Yes keeps all that folder holds, the backups of the update that was cut off among it, sets it aside as "
    L"follows, and goes on:";
// Under the box of a start-up that found a work folder without the patcher's mark.
inline constexpr wchar_t kForeignFolderKey[] = L"RecoverForeign";
inline constexpr wchar_t kForeignFolderText[] =
    L"The patcher did not make this folder and leaves it as it is. Move it out of the suite's folder or rename it, "
    L"then press Retry.";
// In the last box, before the programs that were stopped and could not be started again.
inline constexpr wchar_t kStartByHandKey[] = L"StartByHand";
inline constexpr wchar_t kStartByHandText[] = L"Start these programs again yourself:";
// Under the box of a start-up recovery that a file in use stopped.
inline constexpr wchar_t kRecoverRetryKey[] = L"RecoverRetry";
inline constexpr wchar_t kRecoverRetryText[] = L"Retry closes the suite's programs, then starts them again.";

// The text of the "/?" box: usage, switches and exit codes.
std::wstring HelpText(const std::wstring& exeName);

}  // namespace mUnattended
