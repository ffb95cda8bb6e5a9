// The test program is also the child that the process tests start: run with "--ov-child MODE ...",
// it does what MODE says before any test starts, and exits.
#include "process/process_test_support_win.h"

#include <shellapi.h>

#include <cstdlib>
#include <vector>

#include "support/pump_win.h"

namespace {

void WriteOut(HANDLE h, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(h, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr))
            return;
        done += written;
    }
}

std::string FromHex(const std::wstring& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::wcstoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

int RunChild(const std::vector<std::wstring>& a) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const std::wstring& mode = a[0];
    if (mode == L"silent")
        return 0;
    if (mode == L"exit")
        return static_cast<int>(std::wcstoul(a[1].c_str(), nullptr, 10));
    if (mode == L"sleep") {
        Sleep(std::wcstoul(a[1].c_str(), nullptr, 10));
        return 0;
    }
    if (mode == L"hex") {  // hex bytes, then optionally a pause and more hex bytes
        WriteOut(out, FromHex(a[1]));
        if (a.size() > 3) {
            Sleep(std::wcstoul(a[2].c_str(), nullptr, 10));
            WriteOut(out, FromHex(a[3]));
        }
        return 0;
    }
    if (mode == L"err-and-out") {
        WriteOut(GetStdHandle(STD_ERROR_HANDLE), "to-stderr\r\n");
        WriteOut(out, "to-stdout\r\n");
        return 0;
    }
    if (mode == L"big") {  // numbered lines, n bytes in all
        const size_t n = std::wcstoul(a[1].c_str(), nullptr, 10);
        std::string data;
        for (unsigned line = 0; data.size() < n; ++line)
            data += "line " + std::to_string(line) + "\r\n";
        data.resize(n);
        WriteOut(out, data);
        return 0;
    }
    if (mode == L"pid-then-wait") {
        WriteOut(out, "pid=" + std::to_string(GetCurrentProcessId()) + "\r\n");
        Sleep(60000);
        return 0;
    }
    if (mode == L"echo") {  // echoes its input up to the first line end
        std::string line;
        char c = 0;
        DWORD got = 0;
        while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) && got == 1 && c != '\n')
            line.push_back(c);
        WriteOut(out, "got:" + line + "\n");
        return 0;
    }
    if (mode == L"startinfo") {  // records the show command it was given
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        GetStartupInfoW(&si);
        const int show = (si.dwFlags & STARTF_USESHOWWINDOW) ? si.wShowWindow : -1;
        proctest::WriteBytes(a[1] + L".tmp", std::to_string(show));
        MoveFileW((a[1] + L".tmp").c_str(), a[1].c_str());
        return 0;
    }
    return 99;
}

// A copy of this program named 7z.exe plays a slow archiver: part of its report, a pause, the rest.
int RunSlowArchiver() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    WriteOut(out, "\r\nSlow archiver\r\n\r\n----------\r\nPath = first\r\n\r\n");
    Sleep(400);
    WriteOut(out, "Path = second\r\n\r\nEverything is Ok\r\n");
    return 0;
}

bool IsNamedLikeTheArchiver() {
    const std::wstring self = proctest::SelfPath();
    return lstrcmpiW(self.substr(self.find_last_of(L'\\') + 1).c_str(), L"7z.exe") == 0;
}

// Runs before main: a child never reaches the test runner.
const bool kChildChecked = [] {
    if (IsNamedLikeTheArchiver())
        ExitProcess(static_cast<UINT>(RunSlowArchiver()));
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv && argc >= 3 && std::wstring(argv[1]) == L"--ov-child") {
        std::vector<std::wstring> args(argv + 2, argv + argc);
        ExitProcess(static_cast<UINT>(RunChild(args)));
    }
    LocalFree(argv);
    return true;
}();

}  // namespace

namespace proctest {

std::wstring SelfPath() {
    wchar_t buf[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, buf, static_cast<DWORD>(std::size(buf)));
    return std::wstring(buf, n);
}

std::wstring ChildCommand(const std::wstring& modeAndArgs) {
    return L"\"" + SelfPath() + L"\" --ov-child " + modeAndArgs;
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() > deadline)
            return done();
        SleepAndPump(5);
    }
    return true;
}

long RunAndWait(const std::wstring& cmdLine, const std::wstring& currentFolder, DWORD timeoutMs) {
    std::vector<wchar_t> cmd(cmdLine.begin(), cmdLine.end());
    cmd.push_back(L'\0');
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        currentFolder.empty() ? nullptr : currentFolder.c_str(), &si, &pi))
        return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<long>(code);
}

std::string ReadBytes(const std::wstring& path) {
    HANDLE h =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::string();
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof(buf), &got, nullptr) && got > 0)
        out.append(buf, got);
    CloseHandle(h);
    return out;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
    CloseHandle(h);
    return ok;
}

bool FileExistsW(const std::wstring& path) {
    const DWORD attr = GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

TempFolder::TempFolder(const std::wstring& tag) {
    wchar_t tmp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, tmp);
    path_ = std::wstring(tmp) + L"ov " + tag + L" \u03A9 " + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount64());
    CreateDirectoryW(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() {
    // SHFileOperation wants a double-NUL-terminated list.
    std::wstring from = path_;
    from.push_back(L'\0');
    SHFILEOPSTRUCTW op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationW(&op);
}

std::wstring TempFolder::Make(const std::wstring& relative, const std::string& content) {
    const std::wstring full = Sub(relative);
    for (size_t pos = path_.size() + 1; (pos = full.find(L'\\', pos)) != std::wstring::npos; ++pos)
        CreateDirectoryW(full.substr(0, pos).c_str(), nullptr);
    WriteBytes(full, content);
    return full;
}

}  // namespace proctest
