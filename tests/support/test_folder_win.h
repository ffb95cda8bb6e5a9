// A throw-away folder under the user's temporary folder, removed with everything in it at the end.
#pragma once

#include <windows.h>

#include <string>

#include "support/file_system_win.h"

class TestFolder {
public:
    explicit TestFolder(const std::wstring& name) {
        path_ = mGlobal::GetTempFolder() + L"ovtest_" + std::to_wstring(GetCurrentProcessId()) + L"_" + name;
        mGlobal::KillFolder(path_, true, nullptr, false);
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TestFolder() { mGlobal::KillFolder(path_, true, nullptr, false); }
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

inline void WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD wrote = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr);
    CloseHandle(h);
}

inline std::string ReadBytes(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string out;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof(buf), &got, nullptr) && got > 0)
        out.append(buf, got);
    CloseHandle(h);
    return out;
}
