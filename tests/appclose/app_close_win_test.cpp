#include "appclose/app_close_win.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "appclose/app_list_win.h"
#include "fakes/fake_launch_win.h"

namespace {

using fakes::FakeProcess;
using fakes::PlaceFake;
using fakes::TempFolder;

const std::wstring kMenuClass = L"ThunderRT6FormDC";
const std::wstring kMenuTitle = L"*Orvana*";

long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST(CloseApps, ClosesTheMenuByItsFormsOnly) {
    TempFolder root(L"Orvana");
    const std::wstring exe = PlaceFake(L"fake_menu", root.path() + L"\\OrvanaTools\\OrvanaMenu", L"OrvanaMenu.exe");
    FakeProcess menu;
    ASSERT_TRUE(menu.Start(exe, L"/updated"));

    EXPECT_TRUE(mAppClose2::CloseApps(exe, false, kMenuClass, kMenuTitle, true));
    ASSERT_TRUE(menu.WaitEnded());
    EXPECT_EQ(menu.ExitCode(), 0u);
    // The hidden owner window is of another class: only the form was asked.
    EXPECT_EQ(menu.CountLogged("WM_CLOSE"), 1);
    EXPECT_TRUE(menu.HasLogged("WM_CLOSE patch_close=no"));
    EXPECT_TRUE(menu.HasLogged("args /updated"));
    EXPECT_TRUE(menu.HasLogged("exit 0"));
}

TEST(CloseApps, AMenuThatIgnoresTheRequestStaysUntilItGivesIn) {
    TempFolder root(L"Orvana");
    const std::wstring exe = PlaceFake(L"fake_menu", root.path() + L"\\OrvanaTools\\OrvanaMenu", L"OrvanaMenu.exe");
    fakes::MakeFolders(root.path() + L"\\OrvanaTools\\OrvanaMenu\\data");
    CloseHandle(CreateFileW((root.path() + L"\\OrvanaTools\\OrvanaMenu\\data\\patch_close").c_str(), GENERIC_WRITE, 0,
                            nullptr, CREATE_ALWAYS, 0, nullptr));
    const std::wstring ignoreFile = exe + L".ignoreclose";
    CloseHandle(CreateFileW(ignoreFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    FakeProcess menu;
    ASSERT_TRUE(menu.Start(exe));

    bool newWindows = true;
    EXPECT_FALSE(mAppClose2::CloseProcessWindows(menu.pid(), 600, false, kMenuClass, kMenuTitle, true, newWindows));
    EXPECT_FALSE(newWindows);
    EXPECT_TRUE(menu.Running());
    EXPECT_TRUE(menu.HasLogged("WM_CLOSE patch_close=yes ignored"));

    DeleteFileW(ignoreFile.c_str());
    EXPECT_TRUE(mAppClose2::CloseApps(exe, false, kMenuClass, kMenuTitle, true));
    EXPECT_TRUE(menu.WaitEnded());
}

TEST(CloseApps, ClosesTwoCopiesFirstOneFirst) {
    TempFolder root(L"Orvana");
    const std::wstring exe = PlaceFake(L"fake_tool", root.path() + L"\\OrvanaTools", L"Tool.exe");
    FakeProcess a, b;
    ASSERT_TRUE(a.Start(exe));
    ASSERT_TRUE(b.Start(exe));
    std::vector<std::wstring> paths;
    std::vector<DWORD> ids;
    ASSERT_TRUE(mAppClose::GetAppList(paths, exe, ids, 0));
    ASSERT_EQ(ids.size(), 2u);

    EXPECT_TRUE(mAppClose2::CloseApps(exe, false, L"", L"", true));
    EXPECT_TRUE(a.WaitEnded());
    EXPECT_TRUE(b.WaitEnded());
    // Both write to the one log beside the program: the first listed was asked (and ended) first.
    const std::string firstClose = std::to_string(ids[0]) + " WM_CLOSE";
    const std::string secondClose = std::to_string(ids[1]) + " WM_CLOSE";
    std::vector<std::string> order;
    for (const std::string& line : fakes::ReadLog(a.logPath())) {
        if (line.find(firstClose) != std::string::npos)
            order.push_back("first");
        if (line.find(secondClose) != std::string::npos)
            order.push_back("second");
    }
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
}

TEST(CloseApps, NothingMatchingIsNotAClose) {
    EXPECT_FALSE(mAppClose2::CloseApps(L"*\\no such program here.exe", true, L"", L"", true));
}

TEST(CloseApps, ClosesAProgramInAFolderTheAnsiCodePageCannotHold) {
    TempFolder root(L"\u041e\u0440\u0432\u0430\u043d\u0430 \u03a9\u03bc\u03ad\u03b3\u03b1 \u6771\u4eac");
    const std::wstring exe = PlaceFake(L"fake_menu", root.path() + L"\\OrvanaTools\\OrvanaMenu", L"OrvanaMenu.exe");
    FakeProcess menu;
    ASSERT_TRUE(menu.Start(exe));
    EXPECT_TRUE(mAppClose2::CloseApps(exe, false, kMenuClass, kMenuTitle, true));
    EXPECT_TRUE(menu.WaitEnded());
    EXPECT_EQ(menu.CountLogged("WM_CLOSE"), 1);
}

TEST(CloseProcessWindows, StubbornToolEndsOnlyWhenKilled) {
    TempFolder root(L"Orvana");
    FakeProcess tool;
    ASSERT_TRUE(tool.Start(PlaceFake(L"fake_stubborn", root.path(), L"Stubborn.exe")));

    bool newWindows = true;
    EXPECT_FALSE(mAppClose2::CloseProcessWindows(tool.pid(), 1000, false, L"", L"", false, newWindows));
    EXPECT_FALSE(newWindows);
    EXPECT_TRUE(tool.Running());
    EXPECT_TRUE(tool.HasLogged("WM_CLOSE ignored"));

    EXPECT_TRUE(mAppClose2::CloseProcessWindows(tool.pid(), 400, true, L"", L"", false, newWindows));
    ASSERT_TRUE(tool.WaitEnded(0));
    EXPECT_EQ(tool.ExitCode(), 0u);
    EXPECT_EQ(tool.CountLogged("exit"), 0);
}

TEST(CloseProcessWindows, TimeOutBelowOneStepDoesNotWait) {
    TempFolder root(L"Orvana");
    FakeProcess tool;
    ASSERT_TRUE(tool.Start(PlaceFake(L"fake_stubborn", root.path(), L"Stubborn.exe")));

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(mAppClose2::CloseProcessWindows(tool.pid(), 199, false, L"", L"", false));
    EXPECT_LT(MillisecondsSince(start), 180);
    EXPECT_TRUE(tool.Running());

    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(mAppClose2::CloseProcessWindows(tool.pid(), 100, true, L"", L"", false));
    EXPECT_LT(MillisecondsSince(start), 2000);
    ASSERT_TRUE(tool.WaitEnded(0));
    EXPECT_EQ(tool.ExitCode(), 0u);
}

TEST(CloseProcessWindows, AProgramThatHasAlreadyEndedCountsAsClosed) {
    // It ended between being listed and being closed; the test's own handle keeps it known to the system.
    TempFolder root(L"Orvana");
    for (const bool kill : {false, true}) {
        FakeProcess tool;
        ASSERT_TRUE(tool.Start(PlaceFake(L"fake_tool", root.path(), L"Tool.exe")));
        const std::vector<HWND> windows = fakes::WindowsOf(tool.pid());
        ASSERT_EQ(windows.size(), 1u);
        PostMessageW(windows[0], WM_CLOSE, 0, 0);
        ASSERT_TRUE(tool.WaitEnded());
        EXPECT_TRUE(mAppClose2::CloseProcessWindows(tool.pid(), 100, kill, L"", L"", false)) << kill;
        EXPECT_TRUE(mAppClose2::CloseProcessWindows(tool.pid(), 1000, kill, L"", L"", false)) << kill;
    }
}

TEST(CloseProcessWindows, WindowlessToolIsTerminatedOnlyWithKill) {
    TempFolder root(L"Orvana");
    FakeProcess tool;
    ASSERT_TRUE(tool.Start(PlaceFake(L"fake_nowindow", root.path(), L"NoWindow.exe")));

    EXPECT_FALSE(mAppClose2::CloseProcessWindows(tool.pid(), 10000, false, L"", L"", true));
    EXPECT_TRUE(tool.Running());

    EXPECT_TRUE(mAppClose2::CloseProcessWindows(tool.pid(), 10000, true, L"", L"", true));
    ASSERT_TRUE(tool.WaitEnded(0));
    EXPECT_EQ(tool.ExitCode(), 0u);
    EXPECT_EQ(tool.CountLogged("WM_"), 0);
}

TEST(CloseProcessWindows, HiddenMainWindowIsFoundByItsClass) {
    TempFolder root(L"Orvana");
    FakeProcess tool;
    ASSERT_TRUE(tool.Start(PlaceFake(L"fake_hidden", root.path(), L"Hidden.exe")));
    EXPECT_TRUE(mAppClose2::CloseProcessWindows(tool.pid(), 10000, false, L"", L"", true));
    EXPECT_TRUE(tool.WaitEnded(0));
    EXPECT_TRUE(tool.HasLogged("WM_CLOSE"));
    EXPECT_EQ(tool.ExitCode(), 0u);
}

TEST(CloseProcessWindows, PatternsThatNoWindowMatchesAskTheThreadToQuit) {
    TempFolder root(L"Orvana");
    FakeProcess tool;
    ASSERT_TRUE(tool.Start(PlaceFake(L"fake_stubborn", root.path(), L"Stubborn.exe")));
    EXPECT_TRUE(mAppClose2::CloseProcessWindows(tool.pid(), 10000, false, kMenuClass, kMenuTitle, false));
    EXPECT_TRUE(tool.WaitEnded(0));
    EXPECT_EQ(tool.CountLogged("WM_CLOSE"), 0);
    EXPECT_TRUE(tool.HasLogged("WM_QUIT"));
}

TEST(CloseProcessWindows, ReportsTheWindowsAProgramOpensWhileItIsWaitedOn) {
    TempFolder root(L"Orvana");
    FakeProcess tool;
    ASSERT_TRUE(tool.Start(PlaceFake(L"fake_tool", root.path(), L"Tool.exe"), L"/askonclose"));
    bool newWindows = false;
    // Long enough for a loaded machine to show the question before the wait ends.
    EXPECT_FALSE(mAppClose2::CloseProcessWindows(tool.pid(), 5000, false, L"", L"", true, newWindows));
    EXPECT_TRUE(newWindows);
    EXPECT_TRUE(tool.HasLogged("WM_CLOSE asked"));
    EXPECT_TRUE(tool.Running());
}

TEST(CloseProcessWindows, AProcessThatCannotBeOpenedIsNotClosed) {
    EXPECT_FALSE(mAppClose2::CloseProcessWindows(0xFFFFFFF0u, 1000, true, L"", L"", true));
}

TEST(QuitProcess, ZetEndsOnQuit) {
    TempFolder root(L"Orvana");
    FakeProcess zet;
    ASSERT_TRUE(zet.Start(PlaceFake(L"fake_zet", root.path() + L"\\OrvanaTools", L"zet.exe")));
    EXPECT_TRUE(mAppClose2::QuitProcess(zet.pid(), 5000, true));
    ASSERT_TRUE(zet.WaitEnded(0));
    EXPECT_TRUE(zet.HasLogged("WM_QUIT"));
    EXPECT_TRUE(zet.HasLogged("exit 0"));
}

TEST(QuitProcess, AWindowlessProgramCannotBeAskedToQuit) {
    TempFolder root(L"Orvana");
    FakeProcess tool;
    ASSERT_TRUE(tool.Start(PlaceFake(L"fake_nowindow", root.path(), L"NoWindow.exe")));
    EXPECT_FALSE(mAppClose2::QuitProcess(tool.pid(), 500, true));
    EXPECT_TRUE(tool.Running());
}

TEST(ForceForegroundWindow, BringsAWindowOfAnotherProgramToTheFront) {
    TempFolder root(L"Orvana");
    FakeProcess tool;
    ASSERT_TRUE(tool.Start(PlaceFake(L"fake_tool", root.path(), L"Tool.exe")));
    const std::vector<HWND> windows = fakes::WindowsOf(tool.pid());
    ASSERT_EQ(windows.size(), 1u);
    ShowWindow(windows[0], SW_MINIMIZE);
    ASSERT_TRUE(fakes::WaitUntil([&] { return IsIconic(windows[0]) != FALSE; }));

    EXPECT_TRUE(ForceFore::ForceForegroundWindow(windows[0], true));
    EXPECT_TRUE(fakes::WaitUntil([&] { return !IsIconic(windows[0]); }));
    EXPECT_TRUE(ForceFore::ForceForegroundWindow(windows[0], false));
}

}  // namespace
