// Which processes run from a given place, and which top-level windows belong to a process.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace mAppClose {

// The wildcard rule (see wildcard.h) with letters folded the way the user's locale does it.
bool Like(const std::wstring& text, const std::wstring& pattern);

// Fills `Paths` and `PIDs` (side by side, in the order the system reports the processes) with the
// running processes whose program path matches `Pattern` ("" means "*"). `MaxCount` above 0 stops at that
// many matches. False only when a failure was trapped; the lists then hold what was found before it.
bool GetAppList(std::vector<std::wstring>& Paths,
                const std::wstring& Pattern,
                std::vector<DWORD>& PIDs,
                int32_t MaxCount = 0);

// Whether a process matches; `FirstPath` receives its program path (empty when none does).
bool IsAppRunning(const std::wstring& Pattern, std::wstring& FirstPath);

// Every top-level window of the process, visible or not, in the system's enumeration order.
std::vector<HWND> GetAppWindows(DWORD ProcessId);

// Class name and title, at most 259 characters; empty when there is none or the window is gone.
std::wstring GetWindowClass(HWND hWnd);
std::wstring GetWindowCaption(HWND hWnd);

namespace detail {
// Ids of every running process. The room starts at `initialRoom` ids and grows until the system's answer
// fits, however many processes run.
std::vector<DWORD> ListProcessIds(size_t initialRoom = 1024);
// The full program path of process `id`, by the image-name query where the system has it (it reads
// 64-bit processes from a 32-bit one too), else by the module list; "" when it cannot be read.
std::wstring ProcessPath(DWORD id);
// The full path of a process's main module, by the module list alone.
std::wstring ModulePath(HANDLE process);
}  // namespace detail

}  // namespace mAppClose
