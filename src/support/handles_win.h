// Move-only owners for the handles the program opens. Business code never closes a handle itself.
#pragma once

#include <windows.h>

#include <utility>

template <typename T, typename Traits>
class UniqueAny {
public:
    UniqueAny() = default;
    explicit UniqueAny(T value) : value_(value) {}
    ~UniqueAny() { reset(); }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::Empty(); }
    // For out-parameters: frees the current value and hands out the slot.
    T* put() {
        reset();
        return &value_;
    }
    T release() { return std::exchange(value_, Traits::Empty()); }
    void reset(T value = Traits::Empty()) {
        T old = std::exchange(value_, value);
        if (old != Traits::Empty())
            Traits::Close(old);
    }

private:
    T value_ = Traits::Empty();
};

struct NullHandleTraits {
    static HANDLE Empty() { return nullptr; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct FileHandleTraits {
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct FindHandleTraits {
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::FindClose(h); }
};
struct HGlobalTraits {
    static HGLOBAL Empty() { return nullptr; }
    static void Close(HGLOBAL h) { ::GlobalFree(h); }
};
struct GdiTraits {
    static HGDIOBJ Empty() { return nullptr; }
    static void Close(HGDIOBJ h) { ::DeleteObject(h); }
};
struct HwndTraits {
    static HWND Empty() { return nullptr; }
    static void Close(HWND h) { ::DestroyWindow(h); }
};
struct HModuleTraits {
    static HMODULE Empty() { return nullptr; }
    static void Close(HMODULE h) { ::FreeLibrary(h); }
};
struct HKeyTraits {
    static HKEY Empty() { return nullptr; }
    static void Close(HKEY h) { ::RegCloseKey(h); }
};
struct HIconTraits {
    static HICON Empty() { return nullptr; }
    static void Close(HICON h) { ::DestroyIcon(h); }
};
struct HLocalTraits {
    static HLOCAL Empty() { return nullptr; }
    static void Close(HLOCAL h) { ::LocalFree(h); }
};
template <typename Interface>
struct ComTraits {
    static Interface* Empty() { return nullptr; }
    static void Close(Interface* p) { p->Release(); }
};

using UniqueHandle = UniqueAny<HANDLE, NullHandleTraits>;   // processes, threads, pipes, events
using UniqueFile = UniqueAny<HANDLE, FileHandleTraits>;     // CreateFileW results
using UniqueFind = UniqueAny<HANDLE, FindHandleTraits>;     // FindFirstFileW results
using UniqueHGlobal = UniqueAny<HGLOBAL, HGlobalTraits>;
using UniqueHLocal = UniqueAny<HLOCAL, HLocalTraits>;  // what the system allocates for the caller to free
using UniqueGdi = UniqueAny<HGDIOBJ, GdiTraits>;
using UniqueHwnd = UniqueAny<HWND, HwndTraits>;
using UniqueHModule = UniqueAny<HMODULE, HModuleTraits>;
using UniqueHKey = UniqueAny<HKEY, HKeyTraits>;
using UniqueHIcon = UniqueAny<HICON, HIconTraits>;
template <typename Interface>
using UniqueCom = UniqueAny<Interface*, ComTraits<Interface>>;  // one reference to a COM object

// Owns both handles of a started process.
struct ProcessInfo {
    UniqueHandle process;
    UniqueHandle thread;
    DWORD processId = 0;
    DWORD threadId = 0;

    ProcessInfo() = default;
    explicit ProcessInfo(const PROCESS_INFORMATION& pi)
        : process(pi.hProcess), thread(pi.hThread), processId(pi.dwProcessId), threadId(pi.dwThreadId) {}
};
