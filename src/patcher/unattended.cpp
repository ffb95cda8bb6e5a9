#include "patcher/unattended.h"

#include <vector>

#include "support/cmdline.h"
#include "support/encoding.h"

namespace mUnattended {
namespace {

// The system's answer and style codes, without its headers.
constexpr int kOk = 1;
constexpr int kCancel = 2;
constexpr int kRetry = 4;
constexpr int kNo = 7;
constexpr unsigned kButtonsMask = 0x0F;
constexpr unsigned kRetryCancel = 5;
constexpr unsigned kYesNo = 4;

bool SameWord(const std::wstring& a, const wchar_t* b) {
    return a.size() == std::char_traits<wchar_t>::length(b) && mStringTools::FindNoCase(a, b) == 0;
}

constexpr const wchar_t* kMeanings[kExitCodeCount] = {
    L"applied",
    L"not a valid patch",
    L"the /log= file cannot be written",
    L"no installation found",
    L"several installations running",
    L"the installation cannot take updates",
    L"installation of another language",
    L"a required earlier patch is missing",
    L"the installation is newer",
    L"already applied",
    L"a suite program would not close; nothing changed",
    L"extraction failed; nothing changed",
    L"applied, but a post-install command failed",
    L"the apply failed and was undone",
    L"closed or cancelled before applying",
};

}  // namespace

RunOptions ParseRunOptions(const std::wstring& args) {
    RunOptions options;
    for (const std::wstring& word : mCmdLine::SplitStrings(args, true)) {
        if (SameWord(word, L"/silent"))
            options.silent = true;
        else if (SameWord(word, L"/?"))
            options.help = true;
        else if (mStringTools::FindNoCase(word, L"/dir=") == 0 && options.dir.empty())
            options.dir = word.substr(5);
        else if (mStringTools::FindNoCase(word, L"/log=") == 0 && options.log.empty())
            options.log = word.substr(5);
    }
    return options;
}

const wchar_t* ExitCodeMeaning(ExitCode code) {
    const int index = static_cast<int>(code);
    return index >= 0 && index < kExitCodeCount ? kMeanings[index] : L"";
}

std::optional<ExitCode> OutcomeOfBox(const std::wstring& key, int answer, bool duringApply) {
    struct Row {
        const wchar_t* key;
        int answer;  // 0: whatever the answer
        ExitCode code;
    };
    static const Row kRows[] = {
        {L"InvalidPatch", 0, ExitCode::InvalidPatch},
        {L"OrvNotRunning", kNo, ExitCode::NoInstallation},
        {L"OrvNotFound", 0, ExitCode::NoInstallation},
        {L"MultipleOrvFound", 0, ExitCode::SeveralInstallations},
        {L"LangMismatch", 0, ExitCode::LanguageMismatch},
        {L"VersionMismatch", 0, ExitCode::PrerequisiteMissing},
        {L"NoUpdateNeeded", 0, ExitCode::NewerInstalled},
        {L"UpdateAlreadyDone", kNo, ExitCode::AlreadyApplied},
        {L"OrvStillRunning", kCancel, ExitCode::SuiteStillRunning},
        {L"ExtractError", kCancel, ExitCode::ExtractionFailed},
        {L"CmdRunError", kCancel, ExitCode::CommandFailed},
    };
    if (key == L"CantUpdate" && answer != kRetry)
        return duringApply ? ExitCode::ApplyFailed : ExitCode::CannotUpdate;
    for (const Row& row : kRows) {
        if (key == row.key && (row.answer == 0 || row.answer == answer))
            return row.code;
    }
    return std::nullopt;
}

int SilentAnswer(const std::wstring& key, unsigned style, unsigned long msSinceFirstAsked, unsigned long retryForMs) {
    const unsigned buttons = style & kButtonsMask;
    if (buttons == kRetryCancel)
        return key == L"OrvStillRunning" && msSinceFirstAsked < retryForMs ? kRetry : kCancel;
    if (buttons == kYesNo)
        return kNo;
    return kOk;
}

const wchar_t* StepKey(Step step) {
    static constexpr const wchar_t* kKeys[] = {L"StepPreparing", L"StepClosing", L"StepInstalling",
                                               L"StepRunAfter", L"StepRestarting"};
    return kKeys[static_cast<int>(step)];
}

const wchar_t* StepText(Step step) {
    static constexpr const wchar_t* kTexts[] = {L"Preparing the update", L"Closing the suite", L"Installing files",
                                                L"Running post-install commands", L"Restarting the suite"};
    return kTexts[static_cast<int>(step)];
}

std::wstring HelpText(const std::wstring& exeName) {
    // One switch a line and its meaning indented below it: a box wraps a long line where it likes, and would
    // split a switch from its value.
    std::wstring text = exeName +
                        L", with any of:\r\n\r\n"
                        L"/silent\r\n      no window, no message; questions answered as a careful user would\r\n"
                        L"/dir=<folder>\r\n      the installation to update, instead of the running one\r\n"
                        L"/log=<file>\r\n      append an account of the run to this UTF-8 file\r\n"
                        L"/src=<file>\r\n      read the patch from this file instead of this program\r\n\r\n"
                        L"Exit codes:\r\n";
    for (int code = 0; code < kExitCodeCount; ++code)
        text += mStringTools::DecimalText(code) + L"\t" + kMeanings[code] + L"\r\n";
    return text;
}

}  // namespace mUnattended
