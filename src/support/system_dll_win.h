// Functions of system libraries that only some windows need (the file dialogs, drag and drop), bound on
// first use: the patcher's start then loads neither them nor what they load in turn.
#pragma once

#include <windows.h>

namespace mGlobal {

// The address of `name` in the system library `dll`, loaded from the system folder by its full path so
// that a library of that name beside the patch is never taken; null when either cannot be found.
FARPROC SystemProcAddress(const wchar_t* dll, const char* name);

template <class F>
F SystemFunction(const wchar_t* dll, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(SystemProcAddress(dll, name)));
}

}  // namespace mGlobal
