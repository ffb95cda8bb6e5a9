// Decisions behind the start-and-wait helpers, kept apart from the system calls so that the
// clock and the child can be played by a test.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace mSyncShell {

// Exit code that the system reports for a process that has not ended yet.
inline constexpr uint32_t kStillActive = 259;

inline constexpr wchar_t kTimedOutText[] = L"The process has timed out.";
inline constexpr wchar_t kNoProcessText[] = L"noproc";

// Window style codes of the callers (0 hidden, 1 normal, 2 minimised, 3 maximised, 4 normal
// without activation, 6 minimised without activation) to the system's show command. Unknown
// codes hide the window rather than guess.
int ShowCommandForWindowStyle(int32_t windowStyle);

// Milliseconds between two readings of a 32-bit millisecond clock, right across one wrap.
inline uint32_t ElapsedMs(uint32_t start, uint32_t now) {
    return now - start;
}

// The program part of a command line, as the system reads it when no program is named apart from it:
// the text inside leading quotes, or the text up to the first blank or tab.
std::wstring CommandProgram(const std::wstring& commandLine);

// A program named without any folder or drive ("cmd", "regsvr32.exe"), which the system would search for.
bool IsBareProgramName(const std::wstring& program);

// Where a bare program name is looked for: the system folder, the Windows folder, then the folders of
// PATH that are written out in full, ";"-separated. The program's own folder and the current folder are
// never among them, and neither are PATH's empty or relative entries, which would mean the current one.
std::wstring ProgramSearchFolders(const std::wstring& systemFolder,
                                  const std::wstring& windowsFolder,
                                  const std::wstring& pathVariable);

// What the wait needs from the outside world.
struct WaitHooks {
    std::function<bool(uint32_t& exitCode)> readExitCode;  // false when it could not be read
    std::function<void()> runWindowEvents;
    std::function<void(uint32_t ms)> sleep;
    std::function<uint32_t()> clockMs;
};

// Polls until the child's exit code is no longer "still active" or the limit has passed. A child
// that ends with the still-active code itself cannot be told from a running one, so it is waited
// for until the limit. On time-out sets errText and returns false; otherwise leaves errText alone.
bool WaitWhileActive(const WaitHooks& hooks, int32_t timeOutMs, std::wstring& errText);

}  // namespace mSyncShell
