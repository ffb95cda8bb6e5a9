#include "appclose/app_close_win.h"

#include <vector>

#include "appclose/app_list_win.h"
#include "support/handles_win.h"
#include "support/pump_win.h"
#include "support/trace.h"

namespace ForceFore {

bool ForceForegroundWindow(HWND hWnd, bool Show) {
    if (GetForegroundWindow() == hWnd)
        return true;
    const DWORD foregroundThread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
    const DWORD windowThread = GetWindowThreadProcessId(hWnd, nullptr);
    BOOL done = FALSE;
    if (foregroundThread == windowThread) {
        done = SetForegroundWindow(hWnd);
    } else {
        // The system lets a thread take the foreground only from the thread that holds it; sharing that
        // thread's input state for the moment of the call gets around it.
        const BOOL attached = AttachThreadInput(foregroundThread, windowThread, TRUE);
        done = SetForegroundWindow(hWnd);
        if (attached)
            AttachThreadInput(foregroundThread, windowThread, FALSE);
    }
    if (Show) {
        const int how = IsIconic(hWnd) ? SW_RESTORE : SW_SHOW;
        // A program that no longer answers must not hold up the one that is trying to close it.
        if (windowThread == GetCurrentThreadId())
            ShowWindow(hWnd, how);
        else
            ShowWindowAsync(hWnd, how);
    }
    return done != FALSE;
}

}  // namespace ForceFore

namespace mAppClose2 {

namespace {

struct CloseRequest {
    DWORD processId;
    const std::wstring* classPattern;
    const std::wstring* titlePattern;
    bool forceFront;
    bool posted;
};

void PostClose(HWND hwnd, bool forceFront) {
    if (forceFront)
        ForceFore::ForceForegroundWindow(hwnd, true);
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
}

BOOL CALLBACK CloseWindowsProc(HWND hwnd, LPARAM lParam) {
    auto* request = reinterpret_cast<CloseRequest*>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (owner != request->processId)
        return TRUE;
    try {
        const bool anyPattern = !request->classPattern->empty() || !request->titlePattern->empty();
        if (!anyPattern && !IsWindowVisible(hwnd))
            return TRUE;
        if (!request->classPattern->empty() &&
            !mAppClose::Like(mAppClose::GetWindowClass(hwnd), *request->classPattern))
            return TRUE;
        if (!request->titlePattern->empty() &&
            !mAppClose::Like(mAppClose::GetWindowCaption(hwnd), *request->titlePattern))
            return TRUE;
        PostClose(hwnd, request->forceFront);
        request->posted = true;
    } catch (...) {
        // Out of memory while reading a window's texts: leave that window alone.
        NoteCaught(L"Closing windows: reading a window's texts");
    }
    return TRUE;
}

// The process ends asynchronously after TerminateProcess; wait a moment so that its files are free when
// the caller goes on to replace them.
bool Terminate(HANDLE process) {
    if (!TerminateProcess(process, 0))
        return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    WaitForSingleObject(process, 5000);
    return true;
}

bool HasEnded(HANDLE process) {
    return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

// `request` names the process and the windows to close.
bool CloseOpenedProcess(HANDLE process, CloseRequest request, int32_t TimeOutMs, bool Kill, bool& NewWindows) {
    const DWORD ProcessId = request.processId;
    const bool ForceFront = request.forceFront;
    EnumWindows(CloseWindowsProc, reinterpret_cast<LPARAM>(&request));

    const std::vector<HWND> windows = mAppClose::GetAppWindows(ProcessId);
    const size_t initialCount = windows.size();
    if (windows.empty()) {
        if (QuitProcess(ProcessId, 2000, false))
            return true;
        return Kill && Terminate(process);
    }

    if (!request.posted) {
        if (!request.classPattern->empty() || !request.titlePattern->empty())
            return QuitProcess(ProcessId, 2000, false);
        bool found = false;
        for (const HWND window : windows) {
            const std::wstring className = mAppClose::GetWindowClass(window);
            for (const wchar_t* mainClass : kDefaultMainWindowClasses) {
                if (mAppClose::Like(className, mainClass)) {
                    found = true;
                    break;
                }
            }
            if (found) {
                PostClose(window, ForceFront);
                break;
            }
        }
        if (!found)
            return QuitProcess(ProcessId, 2000, false);
    }

    for (int32_t step = 0; step < TimeOutMs / 200; ++step) {
        if (WaitForSingleObject(process, 200) == WAIT_OBJECT_0)
            return true;
        NewWindows = mAppClose::GetAppWindows(ProcessId).size() > initialCount;
        DoEvents();
    }
    return Kill && Terminate(process);
}

}  // namespace

bool CloseProcessWindows(DWORD ProcessId,
                         int32_t TimeOutMs,
                         bool Kill,
                         const std::wstring& ClassPattern,
                         const std::wstring& TitlePattern,
                         bool ForceFront,
                         bool& NewWindows) {
    NewWindows = false;
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, ProcessId));
    if (!process)
        return false;
    // A process that ended on the request but after the last wait step (or with a time-out too short for
    // any step), or before it was even asked, has closed: it must not be reported as refusing.
    return CloseOpenedProcess(process.get(), {ProcessId, &ClassPattern, &TitlePattern, ForceFront, false}, TimeOutMs,
                              Kill, NewWindows) ||
           HasEnded(process.get());
}

bool CloseProcessWindows(DWORD ProcessId,
                         int32_t TimeOutMs,
                         bool Kill,
                         const std::wstring& ClassPattern,
                         const std::wstring& TitlePattern,
                         bool ForceFront) {
    bool newWindows = false;
    return CloseProcessWindows(ProcessId, TimeOutMs, Kill, ClassPattern, TitlePattern, ForceFront, newWindows);
}

bool QuitProcess(DWORD ProcessId, int32_t WaitMs, bool Kill) {
    const std::vector<HWND> windows = mAppClose::GetAppWindows(ProcessId);
    if (windows.empty())
        return false;
    // Only the rights the wait needs: a process that refuses full access may still grant these.
    UniqueHandle process(
        OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ProcessId));
    const DWORD thread = GetWindowThreadProcessId(windows.front(), nullptr);
    PostThreadMessageW(thread, WM_QUIT, 0, 0);
    if (!process)
        return false;
    const DWORD waited = WaitForSingleObject(process.get(), WaitMs < 0 ? 0 : static_cast<DWORD>(WaitMs));
    DWORD exitCode = STILL_ACTIVE;
    if (waited == WAIT_OBJECT_0 && GetExitCodeProcess(process.get(), &exitCode) && exitCode != STILL_ACTIVE)
        return true;
    return Kill && Terminate(process.get());
}

bool CloseApps(const std::wstring& Pattern,
               bool Kill,
               const std::wstring& ClassPattern,
               const std::wstring& TitlePattern,
               bool ForceFront) {
    std::vector<std::wstring> paths;
    std::vector<DWORD> ids;
    mAppClose::GetAppList(paths, Pattern, ids, 0);
    bool closedAny = false;
    for (const DWORD id : ids) {
        if (CloseProcessWindows(id, 10000, Kill, ClassPattern, TitlePattern, ForceFront))
            closedAny = true;
    }
    return closedAny;
}

}  // namespace mAppClose2
