// The patcher window.
#pragma once

#include <windows.h>

#include "patcher/unattended.h"

namespace frmMain {
// The switches the program was started with; before Show or RunSilent.
void SetOptions(const mUnattended::RunOptions& options);
// Creates and shows the window (modeless); returns it, or null when it could not be created.
HWND Show();
// The whole run without a window or a box: start-up, and the apply when the patch fits. Returns ExitCode().
int RunSilent();
// What the run ends with so far, as a mUnattended::ExitCode.
int ExitCode();
}  // namespace frmMain
