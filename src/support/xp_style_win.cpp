#include "support/xp_style_win.h"

#include <windows.h>

namespace mXPStyle {
namespace {
HMODULE g_shell32 = nullptr;
}

void LoadShell32() {
    if (!g_shell32)
        g_shell32 = LoadLibraryW(L"shell32.dll");
}

void ReleaseShell32() {
    if (g_shell32) {
        FreeLibrary(g_shell32);
        g_shell32 = nullptr;
    }
}

bool Shell32Loaded() {
    return g_shell32 != nullptr;
}

}  // namespace mXPStyle
