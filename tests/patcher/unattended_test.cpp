#include "patcher/unattended.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace mUnattended;

TEST(RunOptions, SwitchesAsScriptsWriteThem) {
    struct Case {
        std::wstring args;
        bool silent;
        bool help;
        std::wstring dir;
        std::wstring log;
    };
    const std::vector<Case> cases = {
        {L"", false, false, L"", L""},
        {L"/silent /dir=E:\\Orvana /log=C:\\logs\\orv.log", true, false, L"E:\\Orvana", L"C:\\logs\\orv.log"},
        {L"/SILENT /Dir=\"E:\\My Orvana\\\" /LOG=\"C:\\my logs\\a.log\"", true, false, L"E:\\My Orvana\\",
         L"C:\\my logs\\a.log"},
        {L"/src=\"D:\\p.exe\" /silent", true, false, L"", L""},
        // A word that merely begins like a switch is not one.
        {L"/silently /dir= /?x", false, false, L"", L""},
        {L"/?", false, true, L"", L""},
        {L"/dir=E:\\ /silent", true, false, L"E:\\", L""},
    };
    for (const Case& c : cases) {
        const RunOptions o = ParseRunOptions(c.args);
        EXPECT_EQ(o.silent, c.silent) << c.args.size();
        EXPECT_EQ(o.help, c.help) << c.args.size();
        EXPECT_EQ(o.dir, c.dir) << c.args.size();
        EXPECT_EQ(o.log, c.log) << c.args.size();
    }
}

// Each box ends the run with its own code only for the answer that ends it; the silent answers end every
// run with the installation as it was or as patched.
TEST(Unattended, BoxesEndRunsWithTheirOwnCodesAndSilentAnswersAreCareful) {
    constexpr int kOk = 1, kCancel = 2, kRetry = 4, kYes = 6, kNo = 7;
    EXPECT_EQ(OutcomeOfBox(L"CantUpdate", kOk, false), ExitCode::CannotUpdate);
    EXPECT_EQ(OutcomeOfBox(L"CantUpdate", kOk, true), ExitCode::ApplyFailed);
    EXPECT_EQ(OutcomeOfBox(L"UpdateAlreadyDone", kNo, false), ExitCode::AlreadyApplied);
    EXPECT_EQ(OutcomeOfBox(L"UpdateAlreadyDone", kYes, false), std::nullopt);
    EXPECT_EQ(OutcomeOfBox(L"ExtractError", kRetry, true), std::nullopt);
    EXPECT_EQ(OutcomeOfBox(L"ExtractError", kCancel, true), ExitCode::ExtractionFailed);
    EXPECT_EQ(OutcomeOfBox(L"OrvStillRunning", kCancel, true), ExitCode::SuiteStillRunning);
    EXPECT_EQ(OutcomeOfBox(L"LangMismatch", kOk, false), ExitCode::LanguageMismatch);
    EXPECT_EQ(OutcomeOfBox(L"UpdateDone", kOk, true), std::nullopt);

    EXPECT_EQ(SilentAnswer(L"OrvStillRunning", 37, 0, 60000), kRetry);
    EXPECT_EQ(SilentAnswer(L"OrvStillRunning", 37, 60000, 60000), kCancel);
    EXPECT_EQ(SilentAnswer(L"ExtractError", 21, 0, 60000), kCancel);
    EXPECT_EQ(SilentAnswer(L"CmdRunError", 21, 0, 60000), kCancel);
    EXPECT_EQ(SilentAnswer(L"UpdateAlreadyDone", 36, 0, 60000), kNo);
    EXPECT_EQ(SilentAnswer(L"OrvNotRunning", 36, 0, 60000), kNo);
    EXPECT_EQ(SilentAnswer(L"UpdateDone", 64, 0, 60000), kOk);

    // Every code has its line in the help text.
    const std::wstring help = HelpText(L"orv_x.exe");
    for (int code = 0; code < kExitCodeCount; ++code)
        EXPECT_NE(help.find(ExitCodeMeaning(static_cast<ExitCode>(code))), std::wstring::npos) << code;
}

}  // namespace
