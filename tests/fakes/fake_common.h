// Shared body of the stand-ins for the suite's own programs (menu, wrapper, association tool, zet.exe and
// a few ordinary tools). Each fake_<name>.cpp only describes its windows; tests copy the built program to
// the name the suite uses ("OrvanaMenu.exe", "zet.exe", ...) inside a fake installation and start it there
// (fake_launch_win.h does the copying, starting and log reading for tests).
//
//     fake_menu      visible "ThunderRT6FormDC" titled "Orvana Menu" plus a hidden "ThunderRT6Main"; WM_CLOSE ends
//     fake_wrapper   visible window with property "ORVWrapper_2.0"; the command "relay/ovpend" ends it
//     fake_assoc     visible window with property "ORV Files Assoc'"; the command "/close" ends it
//     fake_zet       one hidden window; WM_QUIT to its thread ends it (so does WM_CLOSE)
//     fake_tool      one visible window; WM_CLOSE ends it
//     fake_stubborn  one visible window that ignores WM_CLOSE; only termination (or WM_QUIT) ends it
//     fake_nowindow  no window at all; only termination ends it
//     fake_hidden    one hidden "TfrmMain" window; WM_CLOSE ends it
//
// Log. One UTF-8 line per event, appended and closed at once, so a test can read it at any moment:
//     <exe file name> <process id> <event>[ <detail>]
// It goes to the file named by the environment variable OV_FAKE_LOG when that is set (every fake of a test
// then shares one file and the order of events across programs is kept), otherwise to "<own exe path>.log",
// for example "OrvanaMenu.exe.log" beside a copy named OrvanaMenu.exe. Events:
//     start <full command line>
//     args <the command line after the program name>
//     ready                              windows created, about to wait for messages
//     WM_CLOSE[ patch_close=yes|no][ ignored|asked]   (patch_close: the menu's close-flag file
//                                        "data\patch_close"; asked: opened a question window and stayed)
//     WM_COPYDATA <kind> <byte count> <bytes>   bytes below 0x20 and 0x7F written as \xNN
//     relay <command> found|none         started with its end command: passed it on to a running instance
//     WM_QUIT                            the thread was told to quit from outside
//     lifetime over                      ended by the safety timer below
//     exit <code>
// A program ended by TerminateProcess writes no exit line.
//
// Switches. "/ignoreclose" among the arguments, or a file "<own exe path>.ignoreclose" beside the program,
// makes a closable fake ignore WM_CLOSE. The file is looked at on every WM_CLOSE, so a test can let a
// stubborn menu give in by deleting it (the patcher restarts programs with its own arguments, so a side file
// is the switch that survives that). "/askonclose" makes WM_CLOSE open a new top-level window, as a program
// asking whether to save would, instead of closing. "/propvalue=N" sets the value of the instance property
// (default 1). "/hold=<path>", last among the arguments, keeps that file open (no one may move or delete
// it) until the program ends, as a program of the suite holds its own files.
//
// Every fake ends by itself after OV_FAKE_LIFETIME_S seconds (default 600), so that a test that fails half
// way leaves nothing running for long.
#pragma once

#include <windows.h>

#include <string>

namespace fake {

struct Behaviour {
    const wchar_t* className = nullptr;  // null: the program has no window at all
    const wchar_t* title = L"";
    bool visible = true;
    bool closeEnds = true;                 // WM_CLOSE destroys the window and ends the program
    const wchar_t* hiddenClass = nullptr;  // a second, hidden top-level window (as VB programs have)
    const wchar_t* propName = nullptr;     // window property marking a running instance
    const char* endCommand = nullptr;      // copy-data command that ends the program
    bool reportCloseFlag = false;          // note on WM_CLOSE whether data\patch_close exists
};

inline std::wstring ExePath() {
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n);
    return path;
}

inline std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

inline std::wstring FileNameOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

inline std::string ToUtf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
    return bytes;
}

inline std::wstring EnvVar(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
    return (n > 0 && n < 32768) ? std::wstring(buffer, n) : std::wstring();
}

inline std::wstring LogPath() {
    const std::wstring shared = EnvVar(L"OV_FAKE_LOG");
    return shared.empty() ? ExePath() + L".log" : shared;
}

inline void AppendLine(const std::string& line) {
    const std::wstring path = LogPath();
    // Several fakes may write to one shared log at once. Wine appends by seeking to the end and writing, so two
    // writers at once can write over each other's line: one writer at a time (no write sharing), the others
    // retry for up to 10 s while it holds the file.
    for (int attempt = 0; attempt < 2000; ++attempt) {
        HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(file);
            return;
        }
        Sleep(5);
    }
}

inline void Log(const std::wstring& event, const std::string& utf8Detail = std::string()) {
    std::string line =
        ToUtf8(FileNameOf(ExePath())) + " " + std::to_string(GetCurrentProcessId()) + " " + ToUtf8(event);
    if (!utf8Detail.empty())
        line += " " + utf8Detail;
    line += "\r\n";
    AppendLine(line);
}

// The command line without the program name, split off the way the system's own argument parser does.
inline std::wstring ArgsAfterProgram() {
    const std::wstring line = GetCommandLineW();
    size_t i = 0;
    if (!line.empty() && line[0] == L'"') {
        const size_t close = line.find(L'"', 1);
        i = close == std::wstring::npos ? line.size() : close + 1;
    }
    while (i < line.size() && line[i] != L' ' && line[i] != L'\t')
        ++i;
    while (i < line.size() && (line[i] == L' ' || line[i] == L'\t'))
        ++i;
    return line.substr(i);
}

inline bool HasArgument(const std::wstring& word) {
    const std::wstring args = L" " + ArgsAfterProgram() + L" ";
    return args.find(L" " + word + L" ") != std::wstring::npos;
}

inline bool IgnoresClose() {
    if (HasArgument(L"/ignoreclose"))
        return true;
    return GetFileAttributesW((ExePath() + L".ignoreclose").c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline HANDLE PropertyValue() {
    const std::wstring args = L" " + ArgsAfterProgram();
    const size_t at = args.find(L" /propvalue=");
    const int value = at == std::wstring::npos ? 1 : _wtoi(args.c_str() + at + 12);
    return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(value));
}

inline std::string Printable(const char* bytes, size_t count) {
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x20 || b == 0x7F) {
            text += "\\x";
            text += hex[b >> 4];
            text += hex[b & 15];
        } else {
            text += static_cast<char>(b);
        }
    }
    return text;
}

inline const Behaviour*& Current() {
    static const Behaviour* behaviour = nullptr;
    return behaviour;
}

inline bool& EndingByItself() {
    static bool ending = false;
    return ending;
}

inline void EndProgram(HWND hwnd) {
    EndingByItself() = true;
    DestroyWindow(hwnd);
}

// A second top-level window, as a program that asks the user a question on closing opens.
inline void AskToSave(HWND owner) {
    CreateWindowExW(0, L"STATIC", L"Save changes?", WS_POPUP | WS_CAPTION | WS_VISIBLE, 40, 40, 200, 80, owner, nullptr,
                    GetModuleHandleW(nullptr), nullptr);
}

inline LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const Behaviour& b = *Current();
    switch (message) {
        case WM_CLOSE: {
            std::string detail;
            if (b.reportCloseFlag) {
                const std::wstring flag = FolderOf(ExePath()) + L"\\data\\patch_close";
                detail =
                    GetFileAttributesW(flag.c_str()) != INVALID_FILE_ATTRIBUTES ? "patch_close=yes" : "patch_close=no";
            }
            const bool asks = HasArgument(L"/askonclose");
            const bool ends = b.closeEnds && !asks && !IgnoresClose();
            if (!ends)
                detail += std::string(detail.empty() ? "" : " ") + (asks ? "asked" : "ignored");
            Log(L"WM_CLOSE", detail);
            if (asks)
                AskToSave(hwnd);
            if (ends)
                EndProgram(hwnd);
            return 0;
        }
        case WM_COPYDATA: {
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            const char* bytes = static_cast<const char*>(data->lpData);
            const size_t count = bytes ? data->cbData : 0;
            Log(L"WM_COPYDATA", std::to_string(static_cast<unsigned long>(data->dwData)) + " " +
                                    std::to_string(static_cast<unsigned long>(data->cbData)) + " " +
                                    Printable(bytes, count));
            if (b.endCommand && data->dwData == 0 && std::string(bytes, count) == b.endCommand)
                EndProgram(hwnd);
            return TRUE;
        }
        case WM_DESTROY:
            if (b.propName)
                RemovePropW(hwnd, b.propName);
            if (EndingByItself())
                PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

inline HWND MakeWindow(HINSTANCE instance, const wchar_t* className, const wchar_t* title, bool visible) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = className;
    RegisterClassExW(&wc);
    // In the screen's corner rather than cascaded: after many starts a cascaded window reaches the middle,
    // where a program restarted just before the patcher's last box would cover the box a test reads.
    HWND hwnd = CreateWindowExW(0, className, title, WS_OVERLAPPEDWINDOW, 0, 0, 320, 200, nullptr, nullptr, instance,
                                nullptr);
    if (hwnd && visible)
        ShowWindow(hwnd, SW_SHOWNOACTIVATE);
    return hwnd;
}

struct FindInstance {
    const wchar_t* propName;
    HWND found;
};

inline BOOL CALLBACK FindInstanceProc(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<FindInstance*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != GetCurrentProcessId() && GetPropW(hwnd, search->propName) != nullptr) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// Started with its end command as argument (the patcher's fallback when it finds no running instance):
// pass the command on to the running instance, if any, and end without opening a window.
inline bool RelayEndCommand(const Behaviour& b) {
    if (!b.endCommand || !b.propName)
        return false;
    const std::string command = b.endCommand;
    if (ToUtf8(ArgsAfterProgram()) != command)
        return false;
    FindInstance search{b.propName, nullptr};
    EnumWindows(FindInstanceProc, reinterpret_cast<LPARAM>(&search));
    if (search.found) {
        COPYDATASTRUCT data = {};
        data.cbData = static_cast<DWORD>(command.size());
        data.lpData = const_cast<char*>(command.data());
        DWORD_PTR reply = 0;
        SendMessageTimeoutW(search.found, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 5000, &reply);
    }
    Log(L"relay", command + (search.found ? " found" : " none"));
    return true;
}

inline int Run(HINSTANCE instance, const Behaviour& behaviour) {
    Current() = &behaviour;
    Log(L"start", ToUtf8(GetCommandLineW()));
    Log(L"args", ToUtf8(ArgsAfterProgram()));
    const std::wstring args = ArgsAfterProgram();
    if (const size_t at = args.find(L"/hold="); at != std::wstring::npos)
        CreateFileW(args.substr(at + 6).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);  // closed when the program ends
    if (RelayEndCommand(behaviour)) {
        Log(L"exit", "0");
        return 0;
    }

    HWND main = nullptr;
    if (behaviour.className) {
        if (behaviour.hiddenClass)
            MakeWindow(instance, behaviour.hiddenClass, behaviour.title, false);
        main = MakeWindow(instance, behaviour.className, behaviour.title, behaviour.visible);
        if (main && behaviour.propName)
            SetPropW(main, behaviour.propName, PropertyValue());
    }
    const std::wstring lifetime = EnvVar(L"OV_FAKE_LIFETIME_S");
    const UINT seconds = lifetime.empty() ? 600 : static_cast<UINT>(_wtoi(lifetime.c_str()));
    const UINT_PTR lifetimeTimer = SetTimer(nullptr, 0, seconds * 1000, nullptr);
    Log(L"ready");

    MSG msg = {};
    int result = 0;
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            if (!EndingByItself())
                Log(L"WM_QUIT");
            result = static_cast<int>(msg.wParam);
            break;
        }
        if (got < 0)
            break;
        if (msg.message == WM_TIMER && msg.hwnd == nullptr && msg.wParam == lifetimeTimer) {
            Log(L"lifetime over");
            result = 3;
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    Log(L"exit", std::to_string(result));
    return result;
}

}  // namespace fake
