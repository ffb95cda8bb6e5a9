// The role choice, seen from outside: the real program started as its own process, in each way a
// user may start it, and the window that appears.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "../support/test_folder_win.h"
#include "support/handles_win.h"

namespace {

std::wstring EnvVar(const wchar_t* name) {
    wchar_t buf[1024] = {};
    GetEnvironmentVariableW(name, buf, 1024);
    return buf;
}

std::wstring BuildDir() {
    return EnvVar(L"OV_BUILD_DIR");
}

// The program under test: the shipped file where the tests are 32-bit, else this build's.
std::wstring ProductExe() {
    const std::wstring product = EnvVar(L"OV_PRODUCT_EXE");
    return product.empty() ? BuildDir() + L"\\OVPatcher.exe" : product;
}

struct Found {
    DWORD pid;
    HWND hwnd = nullptr;
    std::wstring caption;
};

BOOL CALLBACK FindWindowOf(HWND hwnd, LPARAM param) {
    auto* found = reinterpret_cast<Found*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != found->pid || !IsWindowVisible(hwnd))
        return TRUE;
    wchar_t text[512] = {};
    GetWindowTextW(hwnd, text, 512);
    if (!text[0])
        return TRUE;
    found->hwnd = hwnd;
    found->caption = text;
    return FALSE;
}

enum class Role { Patcher, Maker, None };

// Starts `exe` with `args`, waits for its first visible window and tells which role it took; then
// closes that window (or answers the box) and checks that the process ends.
Role StartAndSee(const std::wstring& exe, const std::wstring& args, std::wstring* caption) {
    std::wstring cmd = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION raw{};
    if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &raw))
        return Role::None;
    ProcessInfo pi(raw);
    Found found{pi.processId};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!found.hwnd && std::chrono::steady_clock::now() < deadline) {
        EnumWindows(FindWindowOf, reinterpret_cast<LPARAM>(&found));
        if (!found.hwnd)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Role role = Role::None;
    if (found.caption.rfind(L"Orvana Patch Maker v1.0.12 - ", 0) == 0)
        role = Role::Maker;
    else if (found.caption == L"OVPatcher v1.0.12")  // the window, or its "Invalid patch file" box
        role = Role::Patcher;
    *caption = found.caption;
    if (found.hwnd) {
        // A message box gets its OK pressed; a window gets closed.
        HWND ok = GetDlgItem(found.hwnd, IDOK);
        if (ok)
            PostMessageW(found.hwnd, WM_COMMAND, IDOK, 0);
        else
            PostMessageW(found.hwnd, WM_CLOSE, 0, 0);
    }
    for (int i = 0; i < 3 && WaitForSingleObject(pi.process.get(), 10000) == WAIT_TIMEOUT; ++i) {
        // A window that opened a second box (e.g. a question) closes on the next answer.
        Found next{pi.processId};
        EnumWindows(FindWindowOf, reinterpret_cast<LPARAM>(&next));
        if (next.hwnd)
            PostMessageW(next.hwnd, WM_CLOSE, 0, 0);
    }
    if (WaitForSingleObject(pi.process.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(pi.process.get(), 1);
        ADD_FAILURE() << "the process did not end when its window closed";
    }
    return role;
}

TEST(RoleChoice, StartedAsARealProcess) {
    const std::wstring exe = ProductExe();
    TestFolder dir(L"roles");
    const std::wstring maker = dir / L"OVPatchMaker.exe";
    const std::wstring lower = dir / L"ovpatchmaker.exe";
    ASSERT_TRUE(CopyFileW(exe.c_str(), maker.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(exe.c_str(), lower.c_str(), FALSE));
    // Without its language file beside it the maker only says so and ends.
    ASSERT_TRUE(CopyFileW((BuildDir() + L"\\PatchLang.xml").c_str(), (dir / L"PatchLang.xml").c_str(), FALSE));

    struct Case {
        std::wstring exe, args;
        Role role;
    } cases[] = {
        {exe, L"/maker", Role::Maker},    {exe, L"/MAKER", Role::Maker},     {exe, L"-x /Maker", Role::Maker},
        {exe, L"/makerfoo", Role::Maker}, {maker, L"", Role::Maker},         {lower, L"", Role::Patcher},
        {exe, L"", Role::Patcher},        {lower, L"/maker", Role::Maker},
    };
    for (const Case& c : cases) {
        std::wstring caption;
        EXPECT_EQ(StartAndSee(c.exe, c.args, &caption), c.role)
            << "started " << std::string(c.exe.begin(), c.exe.end()) << " with '"
            << std::string(c.args.begin(), c.args.end()) << "', first window caption length " << caption.size();
    }
}

}  // namespace
