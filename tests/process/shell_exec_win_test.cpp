#include "process/shell_exec_win.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process/process_test_support_win.h"

namespace {

using proctest::ChildCommand;
using proctest::TempFolder;

constexpr DWORD kDeadlineMs = 20000;

// The show command a child reported, or -2 when it never did.
int ReportedShow(const std::wstring& file) {
    if (!proctest::PumpUntil([&] { return proctest::FileExistsW(file); }, kDeadlineMs))
        return -2;
    return std::stoi(proctest::ReadBytes(file));
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

TEST(ShellWait, StartFailureGivesTheSystemsReason) {
    std::wstring err;
    EXPECT_FALSE(mSyncShell::ShellWait(L"\"C:\\no such folder\\nothing.exe\" /x", 1, err, 5000));
    EXPECT_FALSE(err.empty());
    EXPECT_NE(err, L"noproc");
    EXPECT_NE(err.back(), L'\n');
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
