#include "patcher/run_log_win.h"

#include <windows.h>

#include "support/encoding.h"
#include "support/file_system_win.h"
#include "support/handles_win.h"

namespace mRunLog {
namespace {

std::wstring g_path;

bool Append(const std::wstring& path, const std::string& bytes) {
    UniqueFile file(CreateFileW(mGlobal::ApiPath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

}  // namespace

bool Open(const std::wstring& path) {
    if (path.empty() || !Append(path, std::string()))
        return false;
    g_path = path;
    return true;
}

bool IsOpen() {
    return !g_path.empty();
}

void Line(const std::wstring& text) {
    if (g_path.empty())
        return;
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t stamp[32];
    wsprintfW(stamp, L"%04u-%02u-%02u %02u:%02u:%02u ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    Append(g_path, mStringTools::TextToUtf8Bytes(stamp + text + L"\r\n"));
}

}  // namespace mRunLog
