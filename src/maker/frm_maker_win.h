// The patch maker window.
#pragma once

#include <windows.h>

#include <ole2.h>

#include <string>

namespace frmMaker {

// Creates and shows the window (modeless); returns it, or null when it could not be created or closed
// at once because no language was found.
HWND Show();

// Fills the settings from the descriptor of the patch at `path`; a file that is not a patch changes
// nothing.
void ImportFromPatch(const std::wstring& path);

// The drop targets registered on the window and on txtDataFile while the window is open (null
// otherwise). Tests hand them data objects as the shell would.
IDropTarget* FormDropTarget();
IDropTarget* DataFileDropTarget();

}  // namespace frmMaker
