#include "support/system_dll_win.h"

namespace mGlobal {

FARPROC SystemProcAddress(const wchar_t* dll, const char* name) {
    HMODULE module = GetModuleHandleW(dll);
    if (!module) {
        wchar_t path[MAX_PATH + 32];
        const UINT n = GetSystemDirectoryW(path, MAX_PATH);
        if (n == 0 || n >= MAX_PATH || lstrlenW(dll) >= 30)
            return nullptr;
        path[n] = L'\\';
        lstrcpyW(path + n + 1, dll);
        // Kept for the rest of the process: the functions are used until the window closes.
        module = LoadLibraryW(path);
        if (!module)
            return nullptr;
    }
    return GetProcAddress(module, name);
}

}  // namespace mGlobal
