// The patch maker window.
#pragma once

#include <windows.h>

namespace frmMaker {
// Creates and shows the window (modeless); returns it, or null when it could not be created.
HWND Show();
}  // namespace frmMaker
