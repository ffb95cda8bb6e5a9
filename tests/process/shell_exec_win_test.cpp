#include "process/shell_exec_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "process/process_test_support_win.h"
#include "support/encoding.h"
#include "support/file_system_win.h"

namespace {

using proctest::ChildCommand;
using proctest::TempFolder;

constexpr DWORD kDeadlineMs = 20000;

// The show command a child reported, or -2 when it never did.
int ReportedShow(const std::wstring& file) {
    // The child renames its report into place; on a loaded machine the name can be seen a moment before
    // the file can be read.
    std::string text;
    if (!proctest::PumpUntil([&] { return !(text = proctest::ReadBytes(file)).empty(); }, kDeadlineMs))
        return -2;
    return std::stoi(text);
}

TEST(ShellWait, EndingChildIsWaitedFor) {
    struct Case {
        const char* what;
        std::wstring args;
        int32_t limit;
        bool result;
        std::wstring err;
        ULONGLONG minMs;
    };
    const std::vector<Case> cases = {
        {"ends at once", L"exit 0", 2000000000, true, L"untouched", 0},
        {"ends with an error code", L"exit 3", 2000000000, true, L"untouched", 0},
        {"takes a while", L"sleep 300", 20000, true, L"untouched", 250},
        {"exit code 259 looks like running", L"exit 259", 400, false, L"The process has timed out.", 400},
        {"zero limit", L"sleep 1500", 0, false, L"The process has timed out.", 0},
    };
    for (const auto& c : cases) {
        std::wstring err = L"untouched";
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(mSyncShell::ShellWait(ChildCommand(c.args), 0, err, c.limit), c.result) << c.what;
        const ULONGLONG took = GetTickCount64() - start;
        EXPECT_EQ(err, c.err) << c.what;
        EXPECT_GE(took + 20, c.minMs) << c.what;  // the millisecond clocks may differ by a tick
        if (c.limit == 0) {
            EXPECT_LT(took, 1000u) << c.what << ": timed out on the first step";
        }
    }
}

// Children that end at once and children that take a while, one after the other, as post-install commands
// run. A few by default; on a busy machine OV_STRESS_COUNT=<n> runs n of each and prints what failed.
TEST(ShellWait, ManyWaitsInARowAllSucceed) {
    wchar_t text[16] = {};
    GetEnvironmentVariableW(L"OV_STRESS_COUNT", text, 16);
    const int count = std::max(1, _wtoi(text));
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        for (const wchar_t* args : {L"exit 0", L"sleep 100"}) {
            std::wstring err;
            const ULONGLONG start = GetTickCount64();
            const bool ended = mSyncShell::ShellWait(ChildCommand(args), 0, err, 60000);
            const ULONGLONG took = GetTickCount64() - start;
            if (!ended || !err.empty() || (args[0] == L's' && took + 20 < 100)) {
                ++failed;
                ADD_FAILURE() << "run " << i << " of \"" << mStringTools::TextToUtf8Bytes(args)
                              << "\": " << mStringTools::TextToUtf8Bytes(err) << " after " << took << " ms";
            }
        }
    }
    std::printf("%d waits, %d failed\n", 2 * count, failed);
}

TEST(ShellWait, StartFailureGivesTheSystemsReason) {
    std::wstring err;
    EXPECT_FALSE(mSyncShell::ShellWait(L"\"C:\\no such folder\\nothing.exe\" /x", 1, err, 5000));
    EXPECT_FALSE(err.empty());
    EXPECT_NE(err, L"noproc");
    EXPECT_NE(err.back(), L'\n');
}

TEST(ShellWait, BareProgramNamesComeFromTheSystemFoldersAndThePathOnly) {
    TempFolder dir(L"bare");
    // Copies of this program where the system's own search would look first: beside the running program
    // and in the current folder; and one in a folder on PATH, where a bare name may come from.
    const std::wstring self = proctest::SelfPath();
    const std::wstring beside = self.substr(0, self.rfind(L'\\')) + L"\\ovplanted.exe";
    ASSERT_TRUE(CopyFileW(self.c_str(), beside.c_str(), FALSE));
    dir.Make(L"cwd\\.keep", "");
    ASSERT_TRUE(CopyFileW(self.c_str(), dir.Sub(L"cwd\\ovplantedcwd.exe").c_str(), FALSE));
    dir.Make(L"onpath\\.keep", "");
    ASSERT_TRUE(CopyFileW(self.c_str(), dir.Sub(L"onpath\\ovonpath.exe").c_str(), FALSE));
    wchar_t oldFolder[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, oldFolder);
    SetCurrentDirectoryW(dir.Sub(L"cwd").c_str());
    std::vector<wchar_t> oldPath(32768);
    GetEnvironmentVariableW(L"PATH", oldPath.data(), static_cast<DWORD>(oldPath.size()));
    SetEnvironmentVariableW(L"PATH", (L".;" + dir.Sub(L"onpath") + L";" + oldPath.data()).c_str());

    struct Case {
        const wchar_t* command;
        bool result;
    } cases[] = {
        {L"ovplanted --ov-child exit 0", false},
        {L"ovplantedcwd --ov-child exit 0", false},
        {L"ovonpath --ov-child exit 0", true},
        {L"ovonpath.exe --ov-child exit 0", true},
        {L"cmd /c exit 0", true},
    };
    for (const Case& c : cases) {
        std::wstring err = L"untouched";
        EXPECT_EQ(mSyncShell::ShellWait(c.command, 0, err, 20000), c.result) << c.command;
        if (!c.result) {
            EXPECT_EQ(mGlobal::SystemErrorText(ERROR_FILE_NOT_FOUND).rfind(err, 0), 0u) << c.command;
        }
    }

    SetEnvironmentVariableW(L"PATH", oldPath.data());
    SetCurrentDirectoryW(oldFolder);
    proctest::PumpUntil([&] { return DeleteFileW(beside.c_str()) != 0; }, kDeadlineMs);
}

TEST(ShellWait, AppliesTheWindowStyle) {
    TempFolder dir(L"wait");
    const std::vector<std::pair<int32_t, int>> styles = {{0, 0}, {1, 1}, {3, 3}, {5, 0}, {6, 7}};
    for (const auto& [style, show] : styles) {
        const std::wstring report = dir.Sub(L"show " + std::to_wstring(style) + L".txt");
        std::wstring err;
        EXPECT_TRUE(mSyncShell::ShellWait(ChildCommand(L"startinfo \"" + report + L"\""), style, err, 20000));
        EXPECT_EQ(ReportedShow(report), show) << "style " << style;
    }
}

TEST(ShellEx, StartsProgramsInFoldersTheCodePageCannotName) {
    TempFolder dir(L"shellex");
    // A copy of the test program in a folder whose name only Unicode can hold.
    const std::wstring exe = dir.Sub(L"suite \u4E2D\u03A9\\child.exe");
    dir.Make(L"suite \u4E2D\u03A9\\.keep", "");
    ASSERT_TRUE(CopyFileW(proctest::SelfPath().c_str(), exe.c_str(), FALSE));

    const std::vector<std::pair<int32_t, int>> styles = {{1, 1}, {5, 0}, {2, 2}};
    for (const auto& [style, show] : styles) {
        const std::wstring report = dir.Sub(L"suite \u4E2D\u03A9\\shown " + std::to_wstring(style) + L".txt");
        EXPECT_TRUE(mGlobal::ShellEx(exe, style, L"--ov-child startinfo \"" + report + L"\"", L"", L"open", nullptr));
        EXPECT_EQ(ReportedShow(report), show) << "style " << style;
    }
    EXPECT_FALSE(mGlobal::ShellEx(dir.Sub(L"missing.exe"), 1, L"", L"", L"open", nullptr));
    // The children may still be on their way out; the folder goes once they are gone.
    proctest::PumpUntil([&] { return DeleteFileW(exe.c_str()) != 0; }, kDeadlineMs);
}

}  // namespace
