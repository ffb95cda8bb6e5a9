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

// The text of an environment variable, of any length.
std::wstring EnvironmentText(const wchar_t* name) {
    std::wstring text(256, L'\0');
    for (;;) {
        const DWORD n = GetEnvironmentVariableW(name, text.data(), static_cast<DWORD>(text.size()));
        if (n < text.size()) {
            text.resize(n);
            return text;
        }
        text.resize(n);
    }
}

std::wstring WindowsFolder(UINT(WINAPI* get)(LPWSTR, UINT)) {
    wchar_t folder[MAX_PATH];
    const UINT n = get(folder, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(folder, n) : std::wstring();
}

// The full path of a program named without a folder, searched for the way the system would (".exe"
// added to a name without extension), but in the system's folders and PATH only: the system's own
// search starts in the patcher's folder and the current folder, a Downloads folder where anyone may
// have left a "cmd.exe". Empty when it is not found.
std::wstring FindBareProgram(const std::wstring& program) {
    const std::wstring folders = mSyncShell::ProgramSearchFolders(
        WindowsFolder(GetSystemDirectoryW), WindowsFolder(GetWindowsDirectoryW), EnvironmentText(L"PATH"));
    std::wstring found(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = SearchPathW(folders.c_str(), program.c_str(), L".exe", static_cast<DWORD>(found.size()),
                                    found.data(), nullptr);
        if (n == 0)
            return {};
        if (n < found.size()) {
            found.resize(n);
            return found;
        }
        found.resize(n);
    }
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
        TraceOutOfMemory(L"Function mGlobal.ShellEx");
        return false;
    }
}

UserStart StartAsDesktopUser(const std::wstring& Program, int32_t WindowStyle, const std::wstring& Parameters) {
    HANDLE raw = nullptr;
    TOKEN_ELEVATION_TYPE elevation = TokenElevationTypeDefault;
    DWORD size = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        const UniqueHandle own(raw);
        GetTokenInformation(own.get(), TokenElevationType, &elevation, sizeof(elevation), &size);
    }
    // Only a split token has lesser rights behind it: the user's own programs run with them.
    if (elevation != TokenElevationTypeFull)
        return ShellEx(Program, WindowStyle, Parameters) ? UserStart::Started : UserStart::Failed;

    DWORD shellPid = 0;
    if (const HWND shell = GetShellWindow())
        GetWindowThreadProcessId(shell, &shellPid);
    const UniqueHandle shellProcess(shellPid ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, shellPid)
                                             : nullptr);
    raw = nullptr;
    if (!shellProcess || !OpenProcessToken(shellProcess.get(), TOKEN_DUPLICATE, &raw))
        return UserStart::NotStarted;
    const UniqueHandle shellToken(raw);
    raw = nullptr;
    if (!DuplicateTokenEx(shellToken.get(),
                          TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT |
                              TOKEN_ADJUST_SESSIONID,
                          nullptr, SecurityImpersonation, TokenPrimary, &raw))
        return UserStart::NotStarted;
    const UniqueHandle token(raw);
    std::wstring line = L"\"" + Program + L"\"";
    if (!Parameters.empty())
        line += L" " + Parameters;
    std::vector<wchar_t> cmd(line.begin(), line.end());
    cmd.push_back(L'\0');
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = static_cast<WORD>(mSyncShell::ShowCommandForWindowStyle(WindowStyle));
    PROCESS_INFORMATION pi{};
    if (!CreateProcessWithTokenW(token.get(), 0, Program.c_str(), cmd.data(), 0, nullptr, nullptr, &si, &pi))
        return UserStart::NotStarted;
    const ProcessInfo started(pi);  // nobody waits for it
    return UserStart::Started;
}

}  // namespace mGlobal

namespace mSyncShell {

bool StartProcess(const wchar_t* application,
                  wchar_t* cmdLine,
                  bool inherit,
                  DWORD flags,
                  STARTUPINFOW& si,
                  PROCESS_INFORMATION& pi) {
    constexpr int kStartAttempts = 4;
    constexpr DWORD kStartRetryMs = 200;
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(application, cmdLine, nullptr, nullptr, inherit, flags, nullptr, nullptr, &si, &pi))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == kStartAttempts)
            return false;
        Sleep(kStartRetryMs);
    }
}

bool ShellWait(const std::wstring& CmdLine, int32_t WindowStyle, std::wstring& ErrText, int32_t TimeOutMs) {
    UniqueHandle process;
    {
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = static_cast<WORD>(ShowCommandForWindowStyle(WindowStyle));
        // The command line itself goes to the program unchanged; only where the program comes from is
        // decided here for a bare name.
        std::wstring application;
        const std::wstring program = CommandProgram(CmdLine);
        if (IsBareProgramName(program)) {
            application = FindBareProgram(program);
            if (application.empty()) {
                ErrText = WithoutTrailingLineBreak(mGlobal::SystemErrorText(ERROR_FILE_NOT_FOUND));
                return false;
            }
        }
        std::vector<wchar_t> cmd(CmdLine.begin(), CmdLine.end());
        cmd.push_back(L'\0');
        PROCESS_INFORMATION pi{};
        if (!StartProcess(application.empty() ? nullptr : application.c_str(), cmd.data(), false, NORMAL_PRIORITY_CLASS,
                          si, pi)) {
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
