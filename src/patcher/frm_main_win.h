// The patcher window.
#pragma once

#include <windows.h>

namespace frmMain {
// Creates and shows the window (modeless); returns it, or null when it could not be created.
HWND Show();
}  // namespace frmMain
