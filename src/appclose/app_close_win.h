// Ending the suite's running programs: politely first (a close request to the main window, or a quit
// request to the thread of a program without one), forcefully last and only when the caller allows it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace ForceFore {
// Makes the window the foreground window; with `Show` also shows it (restored when minimized).
// True when it is, or became, the foreground window.
bool ForceForegroundWindow(HWND hWnd, bool Show);
}  // namespace ForceFore

namespace mAppClose2 {

// Class patterns tried, in this order, to find a program's main window when the caller names none.
inline constexpr const wchar_t* kDefaultMainWindowClasses[] = {L"ThunderRT6FormDC", L"TfrmMain", L"*main*"};

// Closes every running process whose program path matches `Pattern`, one after another in the system's
// order, allowing each 10 seconds. True when at least one of them was closed.
bool CloseApps(const std::wstring& Pattern,
               bool Kill,
               const std::wstring& ClassPattern,
               const std::wstring& TitlePattern,
               bool ForceFront);

// Closes one process: WM_CLOSE to its windows whose class and title match the patterns (with both empty,
// its visible windows, else its main window by the default rule), then waits up to `TimeOutMs` in steps of
// 200 ms. `NewWindows` tells whether the process opened more top-level windows while it was waited on (a
// question to the user, typically). With `Kill`, a process still running at the end is terminated.
// True when the process has ended.
bool CloseProcessWindows(DWORD ProcessId,
                         int32_t TimeOutMs,
                         bool Kill,
                         const std::wstring& ClassPattern,
                         const std::wstring& TitlePattern,
                         bool ForceFront,
                         bool& NewWindows);
bool CloseProcessWindows(DWORD ProcessId,
                         int32_t TimeOutMs,
                         bool Kill,
                         const std::wstring& ClassPattern,
                         const std::wstring& TitlePattern,
                         bool ForceFront);

// Posts WM_QUIT to the thread of the process's first top-level window and waits up to `WaitMs`; with
// `Kill`, terminates it if it is still running. True when the process ended or was terminated.
bool QuitProcess(DWORD ProcessId, int32_t WaitMs, bool Kill);

}  // namespace mAppClose2
