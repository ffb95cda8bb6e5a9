#include "support/xp_style_win.h"

#include "support/handles_win.h"

namespace mXPStyle {
namespace {
UniqueHModule g_shell32;
}

void LoadShell32() {
    if (!g_shell32)
        g_shell32.reset(LoadLibraryW(L"shell32.dll"));
}

void ReleaseShell32() {
    g_shell32.reset();
}

}  // namespace mXPStyle
