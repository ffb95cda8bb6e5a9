// The shell library that start-up loads for the visual styles, released when the window unloads.
#pragma once

namespace mXPStyle {
// Loads "shell32.dll" and keeps it; failures are ignored.
void LoadShell32();
// Frees the handle once; later calls do nothing.
void ReleaseShell32();
}  // namespace mXPStyle
