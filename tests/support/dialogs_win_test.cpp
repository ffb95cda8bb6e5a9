#include "support/dialogs_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/trace.h"

namespace {

struct SeenBox {
    std::wstring caption, text;
    LONG_PTR style = 0;
};

BOOL CALLBACK FindBox(HWND hwnd, LPARAM out) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    wchar_t cls[64] = {};
    GetClassNameW(hwnd, cls, 64);
    if (pid == GetCurrentProcessId() && std::wstring(cls) == L"#32770" && IsWindowVisible(hwnd)) {
        *reinterpret_cast<HWND*>(out) = hwnd;
        return FALSE;
    }
    return TRUE;
}

// Answers the first message box of this process with `button` and reports what it showed.
std::thread AnswerBox(int button, SeenBox& seen) {
    return std::thread([button, &seen] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        HWND box = nullptr;
        while (!box && std::chrono::steady_clock::now() < deadline) {
            EnumWindows(FindBox, reinterpret_cast<LPARAM>(&box));
            if (!box)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!box)
            return;
        wchar_t buf[1024] = {};
        GetWindowTextW(box, buf, 1024);
        seen.caption = buf;
        GetDlgItemTextW(box, 0xFFFF, buf, 1024);
        seen.text = buf;
        SendMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
    });
}

TEST(MsgBox, CaptionFallsBackToTheProgramTitle) {
    SeenBox seen;
    std::thread answer = AnswerBox(IDNO, seen);
    const int result = mUnicodePatch::MsgBox(L"Continuer ?", MB_YESNO | MB_ICONQUESTION);
    answer.join();
    EXPECT_EQ(result, IDNO);
    EXPECT_EQ(seen.caption, L"OVPatcher v1.0.12");
    EXPECT_EQ(seen.text, L"Continuer ?");

    std::thread again = AnswerBox(IDOK, seen);
    EXPECT_EQ(mUnicodePatch::MsgBox(L"\u00c9t\u00e9 \u4e2d", MB_OK, L"Titre"), IDOK);
    again.join();
    EXPECT_EQ(seen.caption, L"Titre");
    EXPECT_EQ(seen.text, L"\u00c9t\u00e9 \u4e2d");
}

TEST(MsgBox, ABoxThatCannotBeShownIsTracedAndGivesZero) {
    TraceCapture trace;
    EXPECT_EQ(mUnicodePatch::MsgBox(L"x", MB_OK, L"", reinterpret_cast<HWND>(static_cast<INT_PTR>(0x7654321))), 0);
    ASSERT_EQ(trace.errors().size(), 1u);
    EXPECT_NE(trace.errors()[0].find(L" dans Function mUnicodePatch.MsgBox"), std::wstring::npos) << trace.errors()[0];
}

TEST(Registry, KeyExists) {
    EXPECT_TRUE(mUnicodePatch::RegKeyExists(HKEY_CURRENT_USER, L"Software"));
    EXPECT_FALSE(mUnicodePatch::RegKeyExists(HKEY_CURRENT_USER, L"Software\\Classes\\NoSuchOvKey"));
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes\\OvTestKey", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(mUnicodePatch::RegKeyExists(HKEY_CURRENT_USER, L"Software\\Classes\\OvTestKey"));
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Classes\\OvTestKey");
    EXPECT_TRUE(mUnicodePatch::IsWinNT());
}

}  // namespace
