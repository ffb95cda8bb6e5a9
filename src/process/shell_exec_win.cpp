#include "process/shell_exec_win.h"

#include <shellapi.h>

#include <new>
#include <vector>

#include "process/shell_exec.h"
#include "support/file_system_win.h"
#include "support/handles_win.h"
#include "support/pump_win.h"
#include "support/trace.h"

namespace {

const wchar_t* OptionalText(const std::wstring& text) {
    return text.empty() ? nullptr : text.c_str();
}

std::wstring WithoutTrailingLineBreak(std::wstring text) {
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

}  // namespace

namespace mGlobal {

bool ShellEx(const std::wstring& File,
             int32_t WindowStyle,
             const std::wstring& Parameters,
             const std::wstring& Directory,
             const std::wstring& Operation,
             HWND hWndParent) {
    try {
        const int show = mSyncShell::ShowCommandForWindowStyle(WindowStyle);
        const HINSTANCE result = ShellExecuteW(hWndParent, OptionalText(Operation), File.c_str(),
                                               OptionalText(Parameters), OptionalText(Directory), show);
        return reinterpret_cast<INT_PTR>(result) > 32;
    } catch (const std::bad_alloc&) {
        TraceError(ErrorTraceLine(7, L"Out of memory", L"Function mGlobal.ShellEx"));
        return false;
    }
}

}  // namespace mGlobal

namespace mSyncShell {

bool ShellWait(const std::wstring& CmdLine, int32_t WindowStyle, std::wstring& ErrText, int32_t TimeOutMs) {
    UniqueHandle process;
    {
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = static_cast<WORD>(ShowCommandForWindowStyle(WindowStyle));
        std::vector<wchar_t> cmd(CmdLine.begin(), CmdLine.end());
        cmd.push_back(L'\0');
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si,
                            &pi)) {
            ErrText = WithoutTrailingLineBreak(mGlobal::SystemErrorText(GetLastError()));
            return false;
        }
        // Opened while the creation handle still holds the process, so the id cannot have passed
        // to another process in between.
        const ProcessInfo started(pi);
        process.reset(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, started.processId));
    }
    if (!process) {
        ErrText = kNoProcessText;
        return false;
    }

    WaitHooks hooks;
    hooks.readExitCode = [&](uint32_t& code) {
        DWORD value = 0;
        if (!GetExitCodeProcess(process.get(), &value))
            return false;
        code = value;
        return true;
    };
    hooks.runWindowEvents = [] { DoEvents(); };
    hooks.sleep = [](uint32_t ms) { Sleep(ms); };
    // The kernel's tick count: the multimedia clock would bring in a DLL that is not one of the system's
    // known ones, which a file of that name beside the patch could stand in for.
    hooks.clockMs = [] { return static_cast<uint32_t>(GetTickCount()); };
    return WaitWhileActive(hooks, TimeOutMs, ErrText);
}

}  // namespace mSyncShell
