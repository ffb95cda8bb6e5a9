// Stands in for the desktop's shell, which Wine here does not run: a window registered as the shell window,
// whose process's rights are those of the desktop's user. An elevated patcher starts the suite's programs
// again with them. Started once for a test session (scripts/wine_env.sh); lives until Wine is stopped or
// its process is ended.
//     fake_shell.exe          registers its window, unless a shell window exists already (then ends at once)
//     fake_shell.exe /wait    ends with 0 once a shell window exists, with 1 after 10 s without one
#include <windows.h>

#include <cwchar>

// Exported by user32, not declared by the headers at hand.
extern "C" __declspec(dllimport) BOOL WINAPI SetShellWindow(HWND);

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR args, int) {
    if (std::wcsstr(args, L"/wait")) {
        for (int i = 0; i < 200 && !GetShellWindow(); ++i)
            Sleep(50);
        return GetShellWindow() ? 0 : 1;
    }
    if (GetShellWindow())
        return 0;
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = instance;
    wc.lpszClassName = L"OvFakeShell";
    RegisterClassW(&wc);
    const HWND window = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, instance,
                                        nullptr);
    if (!window || !SetShellWindow(window))
        return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    return 0;
}
