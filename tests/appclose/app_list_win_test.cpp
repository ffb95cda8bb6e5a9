#include "appclose/app_list_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fakes/fake_launch_win.h"
#include "support/trace.h"

namespace {

using fakes::FakeProcess;
using fakes::PlaceFake;
using fakes::TempFolder;

std::wstring Upper(std::wstring text) {
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

TEST(GetAppList, FindsTwoCopiesOfOneProgramInTheSystemsOrder) {
    TempFolder root(L"Orvana");
    const std::wstring exe = PlaceFake(L"fake_tool", root.path() + L"\\OrvanaTools", L"Tool.exe");
    FakeProcess first, second;
    ASSERT_TRUE(first.Start(exe));
    ASSERT_TRUE(second.Start(exe));

    TraceCapture trace;
    std::vector<std::wstring> paths;
    std::vector<DWORD> ids;
    ASSERT_TRUE(mAppClose::GetAppList(paths, root.path() + L"\\OrvanaTools\\*.*", ids, 0));
    ASSERT_EQ(paths.size(), 2u);
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(Upper(paths[0]), Upper(exe));
    EXPECT_EQ(Upper(paths[1]), Upper(exe));
    const std::vector<DWORD> all = mAppClose::detail::ListProcessIds();
    const auto at = [&](DWORD id) { return std::find(all.begin(), all.end(), id) - all.begin(); };
    EXPECT_LT(at(ids[0]), at(ids[1]));
    EXPECT_TRUE((ids[0] == first.pid() && ids[1] == second.pid()) || (ids[0] == second.pid() && ids[1] == first.pid()));

    ASSERT_TRUE(mAppClose::GetAppList(paths, exe, ids, 1));
    EXPECT_EQ(paths.size(), 1u);
    EXPECT_EQ(ids.size(), 1u);
    EXPECT_TRUE(trace.errors().empty());
}

TEST(GetAppList, EmptyPatternListsEveryReadableProcess) {
    TempFolder root(L"Orvana");
    FakeProcess tool;
    ASSERT_TRUE(tool.Start(PlaceFake(L"fake_tool", root.path(), L"Tool.exe")));
    // A 32-bit program on 64-bit Windows is narrower than the system's own processes and than a 64-bit
    // tool of the suite: start such a tool too.
    BOOL narrower = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &narrower));
    FakeProcess wide;
    std::wstring widePath;
    if (narrower) {
        widePath = PlaceFake(L"x64\\fake_tool", root.path(), L"Tool64.exe");
        ASSERT_TRUE(wide.Start(widePath)) << "the 64-bit fake_tool is built in fakes\\x64";
    }
    std::vector<std::wstring> paths;
    std::vector<DWORD> ids;
    ASSERT_TRUE(mAppClose::GetAppList(paths, L"", ids, 0));
    EXPECT_NE(std::find(ids.begin(), ids.end(), GetCurrentProcessId()), ids.end());
    EXPECT_NE(std::find(ids.begin(), ids.end(), tool.pid()), ids.end());
    ASSERT_EQ(paths.size(), ids.size());
    // Where the module list gives a path, the image-name query gives the same one; where it gives none,
    // the process is wider than this program, and the image-name query still gives its path.
    size_t compared = 0, onlyByImageName = 0;
    for (size_t i = 0; i < ids.size(); ++i) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
        if (!process)
            continue;
        const std::wstring old = mAppClose::detail::ModulePath(process);
        BOOL emulated = FALSE;
        IsWow64Process(process, &emulated);
        CloseHandle(process);
        EXPECT_FALSE(paths[i].empty()) << ids[i];
        if (old.empty()) {
            EXPECT_TRUE(narrower && !emulated) << fakes::Utf8(paths[i]);
            ++onlyByImageName;
        } else {
            EXPECT_EQ(paths[i], old) << ids[i];
            ++compared;
        }
    }
    EXPECT_GE(compared, 2u);
    if (narrower) {
        EXPECT_GE(onlyByImageName, 1u);
        const auto at = std::find(ids.begin(), ids.end(), wide.pid());
        ASSERT_NE(at, ids.end());
        EXPECT_EQ(Upper(paths[at - ids.begin()]), Upper(widePath));
    }
}

TEST(GetAppList, NothingMatchingGivesEmptyLists) {
    std::vector<std::wstring> paths{L"stale"};
    std::vector<DWORD> ids{42};
    EXPECT_TRUE(mAppClose::GetAppList(paths, L"*\\no such program here.exe", ids, 0));
    EXPECT_TRUE(paths.empty());
    EXPECT_TRUE(ids.empty());
}

TEST(ListProcessIds, GrowsUntilEveryProcessFits) {
    // Starting with room for one id forces the growth that a machine with more processes than the
    // usual room needs.
    TempFolder root(L"Orvana");
    FakeProcess tool;
    ASSERT_TRUE(tool.Start(PlaceFake(L"fake_tool", root.path(), L"Tool.exe")));
    const std::vector<DWORD> ids = mAppClose::detail::ListProcessIds(1);
    ASSERT_GT(ids.size(), 2u);
    EXPECT_NE(std::find(ids.begin(), ids.end(), tool.pid()), ids.end());
    EXPECT_NE(std::find(ids.begin(), ids.end(), GetCurrentProcessId()), ids.end());
}

TEST(IsAppRunning, FindsTheMenuWhateverTheLetterCase) {
    TempFolder root(L"Orvana");
    const std::wstring exe = PlaceFake(L"fake_menu", root.path() + L"\\OrvanaTools\\OrvanaMenu", L"OrvanaMenu.exe");
    FakeProcess menu;
    ASSERT_TRUE(menu.Start(exe));

    for (const wchar_t* pattern : {L"*OrvanaMenu.exe", L"*\\ORVANAMENU.EXE", L"*orvanamenu.exe"}) {
        std::wstring first = L"stale";
        EXPECT_TRUE(mAppClose::IsAppRunning(pattern, first)) << fakes::Utf8(pattern);
        EXPECT_EQ(Upper(first), Upper(exe));
    }
    std::wstring first = L"stale";
    EXPECT_FALSE(mAppClose::IsAppRunning(L"*OrvanaMenu2.exe", first));
    EXPECT_TRUE(first.empty());
}

TEST(IsAppRunning, FindsAProgramInAFolderTheAnsiCodePageCannotHold) {
    TempFolder root(L"\u041e\u0440\u0432\u0430\u043d\u0430 \u03a9\u03bc\u03ad\u03b3\u03b1 \u6771\u4eac");
    const std::wstring exe = PlaceFake(L"fake_menu", root.path() + L"\\OrvanaTools\\OrvanaMenu", L"OrvanaMenu.exe");
    FakeProcess menu;
    ASSERT_TRUE(menu.Start(exe));
    std::wstring first;
    ASSERT_TRUE(mAppClose::IsAppRunning(exe, first));
    EXPECT_EQ(Upper(first), Upper(exe));
    EXPECT_TRUE(mAppClose::IsAppRunning(Upper(exe), first));
}

TEST(GetAppWindows, ListsHiddenWindowsAndNothingForAWindowlessProgram) {
    TempFolder root(L"Orvana");
    FakeProcess menu, zet, none;
    ASSERT_TRUE(menu.Start(PlaceFake(L"fake_menu", root.path(), L"OrvanaMenu.exe")));
    ASSERT_TRUE(zet.Start(PlaceFake(L"fake_zet", root.path(), L"zet.exe")));
    ASSERT_TRUE(none.Start(PlaceFake(L"fake_nowindow", root.path(), L"NoWindow.exe")));

    // Every window of the program, hidden ones included; the system may add input-method windows of its own.
    std::vector<std::wstring> menuClasses;
    for (HWND window : mAppClose::GetAppWindows(menu.pid())) {
        const std::wstring className = mAppClose::GetWindowClass(window);
        if (className != L"IME" && className != L"MSCTFIME UI")
            menuClasses.push_back(className);
    }
    std::sort(menuClasses.begin(), menuClasses.end());
    EXPECT_EQ(menuClasses, (std::vector<std::wstring>{L"ThunderRT6FormDC", L"ThunderRT6Main"}));

    const std::vector<HWND> zetWindows = fakes::WindowsOf(zet.pid());
    ASSERT_EQ(zetWindows.size(), 1u);
    EXPECT_FALSE(IsWindowVisible(zetWindows[0]));
    EXPECT_EQ(mAppClose::GetWindowClass(zetWindows[0]), L"OrvFakeZet");
    EXPECT_EQ(mAppClose::GetWindowCaption(zetWindows[0]), L"zet");

    EXPECT_TRUE(mAppClose::GetAppWindows(none.pid()).empty());
}

TEST(WindowTexts, CutAt259CharactersKeepNonAnsiTextAndAreEmptyForAGoneWindow) {
    const std::wstring greek = L"\u03a9\u03bc\u03ad\u03b3\u03b1 \u6771\u4eac";
    HWND window =
        CreateWindowExW(0, L"STATIC", greek.c_str(), WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(mAppClose::GetWindowCaption(window), greek);
    EXPECT_EQ(Upper(mAppClose::GetWindowClass(window)), L"STATIC");

    const std::wstring longTitle(400, L'x');
    SetWindowTextW(window, longTitle.c_str());
    EXPECT_EQ(mAppClose::GetWindowCaption(window), longTitle.substr(0, 259));

    SetWindowTextW(window, L"");
    EXPECT_EQ(mAppClose::GetWindowCaption(window), L"");

    DestroyWindow(window);
    EXPECT_EQ(mAppClose::GetWindowCaption(window), L"");
    EXPECT_EQ(mAppClose::GetWindowClass(window), L"");
}

}  // namespace
