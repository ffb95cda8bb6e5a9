// Running family tools mark their main window with a window property; they take commands as copy-data
// messages.
#pragma once

#include <windows.h>

#include <string>

namespace mToolsInstances {

// The first top-level window, in the system's order, whose property `PropName` has the value 1; null when
// none has.
HWND FindToolInstance(const std::wstring& PropName);

// Sends `Command` as UTF-8 bytes in a WM_COPYDATA message (one zero byte for an empty command) and returns
// once the window has handled it. A window that has gone away is not an error.
void SendToolInstanceCommand(HWND hWnd, const std::wstring& Command);

// How long a tool may take over one command before the sender gives up on it.
inline constexpr UINT kCommandTimeOutMs = 30000;

}  // namespace mToolsInstances
