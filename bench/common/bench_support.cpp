#include "bench_support.h"

#include <algorithm>
#include <cstdio>

#include "appclose/app_list_win.h"
#include "appclose/wildcard.h"
#include "support/file_system_win.h"
#include "support/handles_win.h"

namespace bench {

const char kVersionFile[] =
    "<OrvanaVersion>\r\n\t<Version>5.8</Version>\r\n\t<Patch>20141104134857</Patch>\r\n\t<Lang>fr</Lang>\r\n"
    "</OrvanaVersion>\r\n";

double NowMs() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::wstring Env(const wchar_t* name) {
    wchar_t buf[4096];
    const DWORD n = GetEnvironmentVariableW(name, buf, 4096);
    return n > 0 && n < 4096 ? std::wstring(buf, n) : std::wstring();
}

std::string ReadAll(const std::wstring& path) {
    UniqueFile f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::string bytes;
    if (!f)
        return bytes;
    LARGE_INTEGER size{};
    GetFileSizeEx(f.get(), &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    size_t at = 0;
    while (at < bytes.size() &&
           ReadFile(f.get(), bytes.data() + at, static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 1 << 24)), &got,
                    nullptr) &&
           got > 0)
        at += got;
    return bytes;
}

bool WriteAll(const std::wstring& path, const std::string& bytes) {
    UniqueFile f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!f)
        return false;
    size_t at = 0;
    while (at < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(f.get(), bytes.data() + at, static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 1 << 24)),
                       &written, nullptr))
            return false;
        at += written;
    }
    return true;
}

std::string Utf8(const std::wstring& text) {
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

bool StartHidden(const std::wstring& cmdLine, const std::wstring& folder, HANDLE output, ProcessInfo& process) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    si.hStdOutput = output;
    si.hStdError = output;
    std::vector<wchar_t> cmd(cmdLine.begin(), cmdLine.end());
    cmd.push_back(L'\0');
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &si, &pi))
        return false;
    process = ProcessInfo(pi);
    return true;
}

long Run(const std::wstring& cmdLine, const std::wstring& folder) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    UniqueFile nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr));
    ProcessInfo process;
    if (!StartHidden(cmdLine, folder, nul.get(), process))
        return -1;
    WaitForSingleObject(process.process.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.process.get(), &code);
    return static_cast<long>(code);
}

namespace {

struct Found {
    DWORD pid;
    const std::function<bool(HWND)>& match;
    HWND hwnd;
};

BOOL CALLBACK FindProc(HWND hwnd, LPARAM lParam) {
    auto* f = reinterpret_cast<Found*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == f->pid && IsWindowVisible(hwnd) && f->match(hwnd)) {
        f->hwnd = hwnd;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND WaitForWindow(DWORD pid, const std::function<bool(HWND)>& match, int timeoutMs, DWORD pollMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < end) {
        Found f{pid, match, nullptr};
        EnumWindows(FindProc, reinterpret_cast<LPARAM>(&f));
        if (f.hwnd)
            return f.hwnd;
        Sleep(pollMs);
    }
    return nullptr;
}

bool IsDialog(HWND w) {
    wchar_t cls[64] = L"";
    GetClassNameW(w, cls, 64);
    return wcscmp(cls, L"#32770") == 0;
}

std::wstring TextOf(HWND w) {
    wchar_t buf[1024] = L"";
    SendMessageW(w, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf));
    return buf;
}

void EndProgramsUnder(const std::wstring& root) {
    std::vector<std::wstring> paths;
    std::vector<DWORD> pids;
    mAppClose::GetAppList(paths, mAppClose::EscapeWildcard(root) + L"\\*", pids);
    for (DWORD pid : pids) {
        UniqueHandle p(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
        if (p) {
            TerminateProcess(p.get(), 0);
            WaitForSingleObject(p.get(), 5000);
        }
    }
}

void KillTree(const std::wstring& folder) {
    mGlobal::KillFolder(folder, true, nullptr, false);
}

bool MakeInstallation(const std::wstring& root, Installation& out) {
    out.root = root;
    out.sevenZip = Env(L"OV_7Z_DIR");
    mGlobal::MakePath(root + L"\\OrvanaTools\\Installer");
    mGlobal::MakePath(root + L"\\OrvanaTools\\OrvanaMenu");
    WriteAll(root + L"\\Orvana.exe", "MZ");
    for (const wchar_t* name : {L"7z.exe", L"7z.dll"}) {
        if (!CopyFileW((out.sevenZip + L"\\" + name).c_str(), (root + L"\\OrvanaTools\\Installer\\" + name).c_str(),
                       FALSE)) {
            std::printf("cannot copy %s from OV_7Z_DIR\n", Utf8(name).c_str());
            return false;
        }
    }
    WriteAll(root + L"\\OrvanaTools\\version.ver", kVersionFile);
    out.menu = root + L"\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe";
    return CopyFileW((Env(L"OV_BUILD_DIR") + L"\\fakes\\fake_menu.exe").c_str(), out.menu.c_str(), FALSE) != 0;
}

}  // namespace bench
