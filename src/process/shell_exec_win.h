// Starting other programs outside the piped runner: hand a file to the shell, or start a command
// line and wait for it while the window stays responsive.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace mGlobal {

// Hands File to the shell with a verb and returns at once; true when the shell accepted it.
// An empty Directory means the current folder, an empty Operation the default verb. Window
// style codes: 0 hidden, 1 normal, 2 minimised, 3 maximised, 4 normal without activation, 6
// minimised without activation; any other hides.
bool ShellEx(const std::wstring& File,
             int32_t WindowStyle,
             const std::wstring& Parameters = L"",
             const std::wstring& Directory = L"",
             const std::wstring& Operation = L"open",
             HWND hWndParent = nullptr);

// How a program started at the desktop user's rights fared.
enum class UserStart { Started, NotStarted, Failed };

// Starts Program with Parameters at the rights of the user whose desktop it is. A patcher run with
// "Run as administrator" must not hand those rights on to the programs it starts again for the user:
// elevated, the program gets the token of the desktop's shell; where there is none to take (no shell, or
// the system will not start a program with it) it is not started (NotStarted). Not elevated, or with
// no lesser rights behind the elevation, the shell starts it as ShellEx does; Failed when it could not.
UserStart StartAsDesktopUser(const std::wstring& Program, int32_t WindowStyle, const std::wstring& Parameters);

}  // namespace mGlobal

namespace mSyncShell {

// Starts CmdLine and waits, letting window events run, until it ends or TimeOutMs passes. On
// false ErrText says why: "noproc" (the process could not be opened), "The process has timed out."
// (it is left running), or the system's description of a failed start. A child that itself ends
// with exit code 259 cannot be told from a running one and is waited for until the limit.
bool ShellWait(const std::wstring& CmdLine, int32_t WindowStyle, std::wstring& ErrText, int32_t TimeOutMs);

// CreateProcessW without security attributes, environment or folder of its own. On a busy machine the
// system now and then fails to bring a new process up and says no more than "internal error"; that start
// is tried again a few times. Any other failure is about the program and stands at once.
bool StartProcess(const wchar_t* application,
                  wchar_t* cmdLine,
                  bool inherit,
                  DWORD flags,
                  STARTUPINFOW& si,
                  PROCESS_INFORMATION& pi);

}  // namespace mSyncShell
