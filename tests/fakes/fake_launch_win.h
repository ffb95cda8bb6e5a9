// For tests: places the fake suite programs in throw-away installations, starts them, reads their logs
// (format in fake_common.h) and makes sure none outlives the test.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace fakes {

inline std::wstring Env(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
    return (n > 0 && n < 32768) ? std::wstring(buffer, n) : std::wstring();
}

inline std::wstring ParentOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

inline bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The built fakes: OV_BUILD_DIR\fakes when the test runner sets it, else "fakes" beside or above the test.
inline std::wstring FakesFolder() {
    const std::wstring build = Env(L"OV_BUILD_DIR");
    if (!build.empty())
        return build + L"\\fakes";
    wchar_t exe[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH * 4);
    std::wstring folder = ParentOf(std::wstring(exe, n));
    for (int up = 0; up < 3 && !folder.empty(); ++up, folder = ParentOf(folder)) {
        if (Exists(folder + L"\\fakes\\fake_tool.exe"))
            return folder + L"\\fakes";
    }
    return L"fakes";
}

inline void MakeFolders(const std::wstring& folder) {
    if (folder.empty() || Exists(folder))
        return;
    MakeFolders(ParentOf(folder));
    CreateDirectoryW(folder.c_str(), nullptr);
}

inline void DeleteTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = folder + L"\\" + name;
            // Never through a link: under Wine every call on it acts on the folder it points at, which a
            // test may have made outside its own; the test that made it takes it away.
            if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                continue;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

// A fresh folder under the temporary folder, deleted with everything in it when the object goes.
class TempFolder {
  public:
    // `parent` empty: a fresh folder of the user's temporary folder holds it, and goes with it.
    explicit TempFolder(const std::wstring& name, const std::wstring& parent = L"") {
        static int counter = 0;
        wchar_t temp[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, temp);
        path_ = !parent.empty() ? parent + L"\\" + name
                                : std::wstring(temp) + L"ovfake_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                                      std::to_wstring(++counter) + L"\\" + name;
        ownsParent_ = parent.empty();
        MakeFolders(path_);
    }
    ~TempFolder() { DeleteTree(ownsParent_ ? ParentOf(path_) : path_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::wstring& path() const { return path_; }

  private:
    std::wstring path_;
    bool ownsParent_ = true;
};

// Copies the fake `fakeName` (e.g. L"fake_menu") to `folder`\`asName` and returns the copy's path.
inline std::wstring PlaceFake(const std::wstring& fakeName, const std::wstring& folder, const std::wstring& asName) {
    MakeFolders(folder);
    const std::wstring target = folder + L"\\" + asName;
    CopyFileW((FakesFolder() + L"\\" + fakeName + L".exe").c_str(), target.c_str(), FALSE);
    return target;
}

// The lines of a fake's log file.
inline std::vector<std::string> ReadLog(const std::wstring& logPath) {
    std::vector<std::string> lines;
    HANDLE file = CreateFileW(logPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lines;
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        text.append(buffer, got);
    CloseHandle(file);
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

inline std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
    return bytes;
}

// Polls until `done` holds or `timeoutMs` passed; returns whether it held.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

struct WindowSearch {
    DWORD pid;
    std::vector<HWND> windows;
};

inline BOOL CALLBACK CollectOwnWindows(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<WindowSearch*>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    wchar_t className[64] = L"";
    GetClassNameW(hwnd, className, 64);
    if (owner == search->pid && wcscmp(className, L"IME") != 0 && wcscmp(className, L"MSCTFIME UI") != 0)
        search->windows.push_back(hwnd);
    return TRUE;
}

// The top-level windows of a process, without the hidden input-method windows that the system gives every
// thread that has windows.
inline std::vector<HWND> WindowsOf(DWORD pid) {
    WindowSearch search{pid, {}};
    EnumWindows(CollectOwnWindows, reinterpret_cast<LPARAM>(&search));
    return search.windows;
}

// One started fake. Terminated when the object goes, if it still runs.
class FakeProcess {
  public:
    FakeProcess() = default;
    FakeProcess(const FakeProcess&) = delete;
    FakeProcess& operator=(const FakeProcess&) = delete;
    FakeProcess(FakeProcess&& other) noexcept
        : exePath_(std::move(other.exePath_)), process_(other.process_), pid_(other.pid_) {
        other.process_ = nullptr;
    }
    ~FakeProcess() {
        if (process_) {
            if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process_, 99);
                WaitForSingleObject(process_, 5000);
            }
            CloseHandle(process_);
        }
    }

    // Starts `exePath` with `args` and waits until it logged "ready" (or, having no window to make, ended).
    bool Start(const std::wstring& exePath, const std::wstring& args = L"", int timeoutMs = 15000) {
        exePath_ = exePath;
        std::wstring commandLine = L"\"" + exePath + L"\"";
        if (!args.empty())
            commandLine += L" " + args;
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        // A busy machine now and then fails a start with "internal error": tried again, as the patcher does.
        bool started = false;
        for (int attempt = 0; attempt < 4 && !started; ++attempt) {
            started = CreateProcessW(exePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                     ParentOf(exePath).c_str(), &si, &pi);
            if (!started && GetLastError() != ERROR_INTERNAL_ERROR)
                break;
            if (!started)
                Sleep(200);
        }
        if (!started)
            return false;
        CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        pid_ = pi.dwProcessId;
        return WaitUntil([&] { return HasLogged("ready") || CountLogged("exit ") > 0; }, timeoutMs);
    }

    DWORD pid() const { return pid_; }
    HANDLE handle() const { return process_; }
    const std::wstring& exePath() const { return exePath_; }
    std::wstring logPath() const {
        const std::wstring shared = Env(L"OV_FAKE_LOG");
        return shared.empty() ? exePath_ + L".log" : shared;
    }

    bool Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    // Generous: a loaded machine under Wine can take seconds to start and end a process.
    bool WaitEnded(int timeoutMs = 30000) const {
        return process_ && WaitForSingleObject(process_, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
    }
    DWORD ExitCode() const {
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process_, &code);
        return code;
    }

    // This process's events, without the "<name> <pid> " prefix, in the order they were written.
    std::vector<std::string> Events() const {
        std::vector<std::string> events;
        for (const std::string& line : ReadLog(logPath())) {
            const size_t nameEnd = line.find(' ');
            if (nameEnd == std::string::npos)
                continue;
            const size_t pidEnd = line.find(' ', nameEnd + 1);
            if (pidEnd == std::string::npos || line.substr(nameEnd + 1, pidEnd - nameEnd - 1) != std::to_string(pid_))
                continue;
            events.push_back(line.substr(pidEnd + 1));
        }
        return events;
    }
    bool HasLogged(const std::string& event) const {
        for (const std::string& e : Events()) {
            if (e == event)
                return true;
        }
        return false;
    }
    int CountLogged(const std::string& prefix) const {
        int count = 0;
        for (const std::string& e : Events()) {
            if (e.compare(0, prefix.size(), prefix) == 0)
                ++count;
        }
        return count;
    }

  private:
    std::wstring exePath_;
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

}  // namespace fakes
