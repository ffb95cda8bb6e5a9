#include "patcher/run_log_win.h"

#include <windows.h>

#include "support/encoding.h"
#include "support/file_system_win.h"
#include "support/handles_win.h"

namespace mRunLog {
namespace {

// Open for the whole run: the file written to is the one checked, whatever is put in its place meanwhile.
UniqueFile g_file;

bool Append(const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(g_file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

}  // namespace

bool Open(const std::wstring& path, std::wstring& reason) {
    // The link itself, not where it leads: a run with administrator rights must not append to whatever a
    // link in a folder others can write points at.
    UniqueFile file(CreateFileW(mGlobal::ApiPath(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file) {
        reason = mGlobal::SystemErrorText(GetLastError());
        return false;
    }
    if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info))
        reason = L"not a file on a disk";
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks > 1)
        reason = L"a link";
    if (!reason.empty())
        return false;
    g_file = std::move(file);
    return true;
}

void Line(const std::wstring& text) {
    if (!g_file)
        return;
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t stamp[32];
    wsprintfW(stamp, L"%04u-%02u-%02u %02u:%02u:%02u ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    Append(mStringTools::TextToUtf8Bytes(stamp + text + L"\r\n"));
}

}  // namespace mRunLog
