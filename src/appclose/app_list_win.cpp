#include "appclose/app_list_win.h"

#include <psapi.h>

#include <new>

#include "appclose/wildcard.h"
#include "support/handles_win.h"
#include "support/trace.h"

namespace mAppClose {

namespace {

wchar_t LocaleFold(wchar_t c) {
    if (c < 0x80)
        return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 0x20) : c;
    wchar_t folded = c;
    if (LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_UPPERCASE, &c, 1, &folded, 1) != 1)
        return c;
    return folded;
}

struct WindowSearch {
    DWORD processId;
    std::vector<HWND>* windows;
};

BOOL CALLBACK CollectWindowsProc(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<WindowSearch*>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (owner == search->processId) {
        try {
            search->windows->push_back(hwnd);
        } catch (...) {
            NoteCaught(L"Listing a process's windows");
            return FALSE;
        }
    }
    return TRUE;
}

}  // namespace

bool Like(const std::wstring& text, const std::wstring& pattern) {
    return WildcardMatch(text, pattern, LocaleFold);
}

namespace detail {

std::vector<DWORD> ListProcessIds(size_t initialRoom) {
    std::vector<DWORD> ids(initialRoom > 0 ? initialRoom : 1);
    for (;;) {
        const DWORD room = static_cast<DWORD>(ids.size() * sizeof(DWORD));
        DWORD used = 0;
        if (!EnumProcesses(ids.data(), room, &used))
            return {};
        // A full buffer may mean that more ids did not fit: ask again with more room.
        if (used < room) {
            ids.resize(used / sizeof(DWORD));
            return ids;
        }
        ids.resize(ids.size() * 2);
    }
}

std::wstring ModulePath(HANDLE process) {
    // Paths on long folder trees may pass MAX_PATH; a truncated path would never match its pattern.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameExW(process, nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size() - 1 || path.size() >= 32768) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring ProcessPath(DWORD id) {
    // The module list of a 64-bit process cannot be read from a 32-bit one; the image-name query can,
    // and needs only the limited right that more processes grant. Systems before it have only the list.
    using QueryFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
    static const auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameW")));
    if (query) {
        UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
        if (!process)
            return {};
        std::wstring path(MAX_PATH, L'\0');
        for (;;) {
            DWORD n = static_cast<DWORD>(path.size());
            if (query(process.get(), 0, path.data(), &n)) {
                path.resize(n);
                return path;
            }
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || path.size() >= 32768)
                return {};
            path.resize(path.size() * 2);
        }
    }
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id));
    return process ? ModulePath(process.get()) : std::wstring();
}

}  // namespace detail

bool GetAppList(std::vector<std::wstring>& Paths,
                const std::wstring& Pattern,
                std::vector<DWORD>& PIDs,
                int32_t MaxCount) {
    Paths.clear();
    PIDs.clear();
    try {
        const std::wstring pattern = Pattern.empty() ? L"*" : Pattern;
        for (const DWORD id : detail::ListProcessIds()) {
            // A process whose path cannot be read (the system's own, other users' services) is never listed.
            std::wstring path = detail::ProcessPath(id);
            if (!path.empty() && Like(path, pattern)) {
                Paths.push_back(std::move(path));
                PIDs.push_back(id);
            }
            if (MaxCount > 0 && Paths.size() == static_cast<size_t>(MaxCount))
                break;
        }
        return true;
    } catch (const std::bad_alloc&) {
        TraceOutOfMemory(L"Function mAppClose.GetAppList");
    } catch (...) {
        TraceInternalError(L"Function mAppClose.GetAppList");
    }
    return false;
}

bool IsAppRunning(const std::wstring& Pattern, std::wstring& FirstPath) {
    std::vector<std::wstring> paths;
    std::vector<DWORD> ids;
    GetAppList(paths, Pattern, ids, 1);
    FirstPath = paths.empty() ? std::wstring() : paths.front();
    return !paths.empty();
}

std::vector<HWND> GetAppWindows(DWORD ProcessId) {
    std::vector<HWND> windows;
    // The search state travels with the call, so one enumeration may run inside another.
    WindowSearch search{ProcessId, &windows};
    EnumWindows(CollectWindowsProc, reinterpret_cast<LPARAM>(&search));
    return windows;
}

std::wstring GetWindowClass(HWND hWnd) {
    wchar_t buffer[260];
    const int n = GetClassNameW(hWnd, buffer, 260);
    return n > 0 ? std::wstring(buffer, n) : std::wstring();
}

std::wstring GetWindowCaption(HWND hWnd) {
    wchar_t buffer[260];
    const int n = GetWindowTextW(hWnd, buffer, 260);
    return n > 0 ? std::wstring(buffer, n) : std::wstring();
}

}  // namespace mAppClose
