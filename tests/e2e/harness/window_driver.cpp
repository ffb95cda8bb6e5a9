#include "e2e/harness/window_driver.h"

#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/version.h"

namespace e2e {

namespace {

constexpr int kMessageTextId = 0xFFFF;
constexpr UINT kSendTimeoutMs = 5000;

using Clock = std::chrono::steady_clock;

Clock::time_point Deadline(int timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

void Pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM lParam) {
    reinterpret_cast<std::vector<HWND>*>(lParam)->push_back(hwnd);
    return TRUE;
}

struct TopSearch {
    DWORD pid;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectTop(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<TopSearch*>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (owner == search->pid) {
        const std::wstring cls = ClassOf(hwnd);
        if (cls != L"IME" && cls != L"MSCTFIME UI")
            search->windows.push_back(hwnd);
    }
    return TRUE;
}

// The test's environment with `env` set over it, as a block for CreateProcessW.
std::wstring EnvironmentBlock(const EnvVars& env) {
    std::vector<std::wstring> vars;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p; p += wcslen(p) + 1)
            vars.emplace_back(p);
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : env) {
        const std::wstring prefix = name + L"=";
        vars.erase(std::remove_if(
                       vars.begin(), vars.end(),
                       [&](const std::wstring& v) { return _wcsnicmp(v.c_str(), prefix.c_str(), prefix.size()) == 0; }),
                   vars.end());
        if (!value.empty())
            vars.push_back(prefix + value);
    }
    std::wstring out;
    for (const std::wstring& v : vars)
        out += v + L'\0';
    return out + L'\0';
}

}  // namespace

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), n);
    return text;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
    return bytes;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = L"";
    const int n = GetClassNameW(window, name, 256);
    return std::wstring(name, n > 0 ? n : 0);
}

std::wstring WindowText(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length))
        return {};
    std::wstring text(length + 1, L'\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &got))
        return {};
    text.resize(std::min<size_t>(got, length));
    return text;
}

std::vector<Control> ChildControls(HWND window) {
    std::vector<HWND> children;
    EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
    std::vector<Control> controls;
    for (HWND child : children) {
        // Only direct children: a picker's tree has windows of its own.
        if (GetParent(child) != window)
            continue;
        controls.push_back({child, GetDlgCtrlID(child) & 0xFFFF, ClassOf(child), WindowText(child)});
    }
    return controls;
}

HWND Item(HWND window, int id) {
    for (const Control& c : ChildControls(window)) {
        if (c.id == (id & 0xFFFF))
            return c.hwnd;
    }
    return nullptr;
}

std::wstring Text(HWND window, int id) {
    HWND item = Item(window, id);
    return item ? WindowText(item) : std::wstring();
}

bool SetText(HWND window, int id, const std::wstring& text) {
    HWND item = Item(window, id);
    DWORD_PTR result = 0;
    return item &&
           SendMessageTimeoutW(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                               kSendTimeoutMs, &result) &&
           result;
}

bool Enabled(HWND window, int id) {
    HWND item = Item(window, id);
    return item && IsWindowEnabled(item);
}

bool Visible(HWND window, int id) {
    HWND item = Item(window, id);
    return item && IsWindowVisible(item);
}

void Press(HWND window, int id) {
    HWND button = Item(window, id);
    ASSERT_TRUE(button) << "no control " << id << " in " << Utf8(WindowText(window));
    ASSERT_TRUE(IsWindowVisible(button)) << "hidden: " << Utf8(WindowText(button));
    ASSERT_TRUE(IsWindowEnabled(button)) << "disabled: " << Utf8(WindowText(button));
    PostMessageW(button, BM_CLICK, 0, 0);
}

bool PressKey(HWND window, UINT key) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) || !info.hwndFocus)
        return false;
    PostMessageW(info.hwndFocus, WM_KEYDOWN, key, 1);
    PostMessageW(info.hwndFocus, WM_KEYUP, key, 0xC0000001);
    return true;
}

bool IsMessageBox(HWND window) {
    if (ClassOf(window) != L"#32770")
        return false;
    bool hasText = false;
    for (const Control& c : ChildControls(window)) {
        if (c.className != L"Button" && c.className != L"Static")
            return false;
        hasText = hasText || (c.id == kMessageTextId && c.className == L"Static");
    }
    return hasText;
}

bool IsFolderPicker(HWND window) {
    if (ClassOf(window) != L"#32770")
        return false;
    std::vector<HWND> children;
    EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
    return std::any_of(children.begin(), children.end(), [](HWND c) { return ClassOf(c) == L"SysTreeView32"; });
}

namespace {

constexpr int kBoxIcons[] = {MB_ICONHAND, MB_ICONQUESTION, MB_ICONEXCLAMATION, MB_ICONASTERISK};

const wchar_t* IconName(int icon) {
    switch (icon) {
        case 0:
            return L"no icon";
        case MB_ICONHAND:
            return L"stop icon";
        case MB_ICONQUESTION:
            return L"question icon";
        case MB_ICONEXCLAMATION:
            return L"exclamation icon";
        case MB_ICONASTERISK:
            return L"information icon";
        default:
            return L"unread icon";
    }
}

HICON SystemIcon(int icon) {
    switch (icon) {
        case MB_ICONHAND:
            return LoadIconW(nullptr, IDI_HAND);
        case MB_ICONQUESTION:
            return LoadIconW(nullptr, IDI_QUESTION);
        case MB_ICONEXCLAMATION:
            return LoadIconW(nullptr, IDI_EXCLAMATION);
        default:
            return LoadIconW(nullptr, IDI_ASTERISK);
    }
}

// Pixels (0x00RRGGBB, rows top first) of a width x height picture.
struct Pixels {
    int width = 0, height = 0;
    std::vector<uint32_t> data;
};

// Paints into a 32-bit memory bitmap with `paint` and returns its pixels.
Pixels Render(int width, int height, const std::function<void(HDC)>& paint) {
    Pixels p{width, height, {}};
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (dc && bitmap) {
        HGDIOBJ old = SelectObject(dc, bitmap);
        paint(dc);
        GdiFlush();
        const auto* words = static_cast<const uint32_t*>(bits);
        p.data.assign(words, words + static_cast<size_t>(width) * height);
        for (uint32_t& w : p.data)
            w &= 0xFFFFFF;
        SelectObject(dc, old);
    }
    if (bitmap)
        DeleteObject(bitmap);
    if (dc)
        DeleteDC(dc);
    return p;
}

long long Difference(const Pixels& a, const Pixels& b) {
    long long sum = 0;
    for (size_t i = 0; i < a.data.size() && i < b.data.size(); ++i)
        for (int shift = 0; shift < 24; shift += 8)
            sum +=
                std::abs(static_cast<int>((a.data[i] >> shift) & 0xFF) - static_cast<int>((b.data[i] >> shift) & 0xFF));
    return sum;
}

// The icon control's picture as the screen shows it, matched against each system icon drawn over the same
// background. -1 while the control is covered, unpainted, or like none of them.
int MatchIcon(HWND iconControl) {
    RECT r{};
    GetWindowRect(iconControl, &r);
    const int width = std::min<int>(r.right - r.left, 64);
    const int height = std::min<int>(r.bottom - r.top, 64);
    const POINT middle{r.left + width / 2, r.top + height / 2};
    if (width <= 0 || height <= 0 || WindowFromPoint(middle) != iconControl)
        return -1;
    // One column to the left of the control is the box's own background.
    const Pixels shot = Render(width + 1, height, [&](HDC dc) {
        HDC screen = GetDC(nullptr);
        BitBlt(dc, 0, 0, width + 1, height, screen, r.left - 1, r.top, SRCCOPY);
        ReleaseDC(nullptr, screen);
    });
    if (shot.data.empty())
        return -1;
    const uint32_t background = shot.data[0];
    Pixels seen{width, height, {}};
    for (int y = 0; y < height; ++y) {
        const auto row = shot.data.begin() + static_cast<ptrdiff_t>(y) * (width + 1) + 1;
        seen.data.insert(seen.data.end(), row, row + width);
    }
    const COLORREF fill = RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF);
    const Pixels empty = Render(width, height, [&](HDC dc) {
        HBRUSH brush = CreateSolidBrush(fill);
        const RECT all{0, 0, width, height};
        FillRect(dc, &all, brush);
        DeleteObject(brush);
    });
    int best = -1;
    long long bestDifference = Difference(seen, empty) / 4;  // a match must be much closer than nothing
    for (int icon : kBoxIcons) {
        const Pixels drawn = Render(width, height, [&](HDC dc) {
            HBRUSH brush = CreateSolidBrush(fill);
            const RECT all{0, 0, width, height};
            FillRect(dc, &all, brush);
            DeleteObject(brush);
            DrawIconEx(dc, 0, 0, SystemIcon(icon), 0, 0, 0, nullptr, DI_NORMAL);
        });
        const long long d = Difference(seen, drawn);
        if (d < bestDifference) {
            best = icon;
            bestDifference = d;
        }
    }
    return best;
}

int ReadIcon(HWND box, int timeoutMs) {
    HWND iconControl = nullptr;
    for (const Control& c : ChildControls(box)) {
        if (c.className == L"Static" && (GetWindowLongW(c.hwnd, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
            IsWindowVisible(c.hwnd))
            iconControl = c.hwnd;
    }
    if (!iconControl)
        return 0;
    const auto deadline = Deadline(timeoutMs);
    for (;;) {
        const int icon = MatchIcon(iconControl);
        if (icon >= 0 || Clock::now() > deadline || !IsWindow(box))
            return icon;
        Pause();
    }
}

}  // namespace

MessageBoxInfo ReadMessageBox(HWND box, int iconTimeoutMs) {
    MessageBoxInfo info;
    info.hwnd = box;
    info.caption = WindowText(box);
    for (const Control& c : ChildControls(box)) {
        if (c.className == L"Button" && IsWindowVisible(c.hwnd))
            info.buttons.push_back(c);
        else if (c.id == kMessageTextId)
            info.text = c.text;
    }
    info.icon = ReadIcon(box, iconTimeoutMs);
    return info;
}

int MessageBoxInfo::Style() const {
    static const std::pair<std::vector<int>, int> kButtons[] = {
        {{IDOK}, MB_OK},
        {{IDOK, IDCANCEL}, MB_OKCANCEL},
        {{IDABORT, IDRETRY, IDIGNORE}, MB_ABORTRETRYIGNORE},
        {{IDCANCEL, IDYES, IDNO}, MB_YESNOCANCEL},
        {{IDYES, IDNO}, MB_YESNO},
        {{IDCANCEL, IDRETRY}, MB_RETRYCANCEL},
    };
    const std::vector<int> ids = ButtonIds();
    for (const auto& [set, code] : kButtons) {
        if (set == ids)
            return code | std::max(icon, 0);
    }
    return -1;
}

int BoxStyle(std::wstring_view key) {
    // The patcher's boxes by their message keys, then the boxes with fixed texts.
    static const std::pair<std::wstring_view, int> kStyles[] = {
        {L"OrvNotRunning", MB_YESNO | MB_ICONQUESTION},          // 36
        {L"OrvNotFound", MB_OK | MB_ICONHAND},                   // 16
        {L"MultipleOrvFound", MB_OK | MB_ICONASTERISK},          // 64
        {L"CantUpdate", MB_OK | MB_ICONHAND},                    // 16
        {L"LangMismatch", MB_OK | MB_ICONHAND},                  // 16
        {L"VersionMismatch", MB_OK | MB_ICONHAND},               // 16
        {L"NoUpdateNeeded", MB_OK | MB_ICONASTERISK},            // 64
        {L"UpdateAlreadyDone", MB_YESNO | MB_ICONQUESTION},      // 36
        {L"OrvStillRunning", MB_RETRYCANCEL | MB_ICONQUESTION},  // 37
        {L"ExtractError", MB_RETRYCANCEL | MB_ICONHAND},         // 21
        {L"CmdRunError", MB_RETRYCANCEL | MB_ICONHAND},          // 21
        {L"UpdateDone", MB_OK | MB_ICONASTERISK},                // 64
        {L"InvalidPatch", MB_OK | MB_ICONHAND},                  // "Invalid patch file"
        {L"MakerNoLanguage", MB_OK | MB_ICONHAND},               // "Aucun langage trouvé"
        {L"MakerBuildFailed", MB_OK | MB_ICONHAND},              // why a patch could not be made
        {L"MakerNewPatchId", MB_YESNO | MB_ICONQUESTION},        // "Nouvel ID de patch ?"
        {L"MakerReplace", MB_YESNO | MB_ICONEXCLAMATION},        // an older file of the patch's name
        {L"MakerCloseChanged", MB_YESNO | MB_ICONQUESTION},      // closing with fields changed
    };
    for (const auto& [name, style] : kStyles) {
        if (name == key)
            return style;
    }
    ADD_FAILURE() << "no box style for " << Utf8(std::wstring(key));
    return -1;
}

std::wstring BoxCaption() {
    return L"" OV_PRODUCT_NAME L" v" OV_VERSION_TEXT;
}

namespace {

void ExpectBoxLooks(const MessageBoxInfo& box, std::wstring_view key) {
    const int style = BoxStyle(key);
    const std::string what = Utf8(std::wstring(key)) + " box " + Utf8(box.Describe());
    EXPECT_EQ(box.caption, BoxCaption()) << what;
    EXPECT_EQ(box.Style(), style) << "buttons and icon of the " << what << " (" << Utf8(IconName(style & 0xF0))
                                  << " expected)";
}

}  // namespace

void ExpectBox(const MessageBoxInfo& box, std::wstring_view key, const std::wstring& text) {
    ASSERT_TRUE(box.hwnd) << "no " << Utf8(std::wstring(key)) << " box";
    ExpectBoxLooks(box, key);
    EXPECT_EQ(box.text, text) << Utf8(box.Describe());
}

void ExpectBoxSaying(const MessageBoxInfo& box, std::wstring_view key, const std::wstring& part) {
    ASSERT_TRUE(box.hwnd) << "no " << Utf8(std::wstring(key)) << " box";
    ExpectBoxLooks(box, key);
    EXPECT_NE(box.text.find(part), std::wstring::npos) << Utf8(box.Describe());
}

std::vector<int> MessageBoxInfo::ButtonIds() const {
    std::vector<int> ids;
    for (const Control& b : buttons)
        ids.push_back(b.id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::wstring MessageBoxInfo::Describe() const {
    std::wstring d = L"\"" + caption + L"\" | \"" + text + L"\" | [";
    for (size_t i = 0; i < buttons.size(); ++i)
        d += (i ? L", " : L"") + buttons[i].text;
    return d + L"] | " + IconName(icon);
}

void PickFolder(HWND picker, DWORD pid, const std::wstring& folder) {
    // The picker reads the path from its own address space.
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
    ASSERT_TRUE(process) << "cannot open the picker's process";
    const size_t bytes = (folder.size() + 1) * sizeof(wchar_t);
    void* remote = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_TRUE(remote);
    ASSERT_TRUE(WriteProcessMemory(process, remote, folder.c_str(), bytes, nullptr));
    DWORD_PTR result = 0;
    SendMessageTimeoutW(picker, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG,
                        kSendTimeoutMs, &result);
    // Left allocated: the picker may still look at it until it closes, and the process ends soon after.
    CloseHandle(process);
    PostMessageW(picker, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(Item(picker, IDOK)));
}

Program::~Program() {
    if (!process_)
        return;
    if (Running()) {
        CheckNoUnexpectedBox();
        Kill();
    }
    CloseHandle(process_);
}

namespace {

std::wstring EnvVar(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
    return (n > 0 && n < 32768) ? std::wstring(buffer, n) : std::wstring();
}

std::wstring FileNameOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring ImagePath(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return {};
    wchar_t path[MAX_PATH * 4];
    DWORD size = MAX_PATH * 4;
    const BOOL ok = QueryFullProcessImageNameW(process, 0, path, &size);
    CloseHandle(process);
    return ok ? std::wstring(path, size) : std::wstring();
}

std::vector<DWORD> ProcessesNamed(const std::wstring& fileName) {
    std::vector<DWORD> pids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return pids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(FileNameOf(ImagePath(entry.th32ProcessID)).c_str(), fileName.c_str()) == 0)
            pids.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return pids;
}

bool IsLocaleVar(const std::wstring& name) {
    return name == L"LC_ALL" || name == L"LC_MESSAGES" || name == L"LANG";
}

bool SetsLocale(const EnvVars& env) {
    return std::any_of(env.begin(), env.end(), [](const auto& v) { return IsLocaleVar(v.first); });
}

using UnixSpawn = long(__cdecl*)(char* const argv[], int wait);

// A folder (Unix path) holding `locale` (such as fr_FR.UTF-8) compiled for the C library, made on first use:
// the test machines have no locales generated. Empty when it cannot be made.
std::string CompiledLocales(UnixSpawn spawn, const std::wstring& locale) {
    const size_t dot = locale.find(L'.');
    const std::wstring name = locale.substr(0, dot);
    const std::wstring charset = dot == std::wstring::npos ? L"UTF-8" : locale.substr(dot + 1);
    if (name.size() < 5 || name[2] != L'_')
        return {};
    const std::wstring build = EnvVar(L"OV_BUILD_DIR");
    std::wstring folder = L"/tmp/ov-e2e-locales";
    if (build.size() > 2 && (build[0] == L'Z' || build[0] == L'z') && build[1] == L':') {
        folder = build.substr(2) + L"/locales";
        std::replace(folder.begin(), folder.end(), L'\\', L'/');
    }
    const std::wstring compiled = L"Z:" + folder + L"/" + locale + L"/LC_CTYPE";
    if (GetFileAttributesW(compiled.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::string mkdir[] = {"/bin/mkdir", "-p", Utf8(folder)};
        char* mkdirArgv[] = {mkdir[0].data(), mkdir[1].data(), mkdir[2].data(), nullptr};
        spawn(mkdirArgv, 1);
        std::string words[] = {"/usr/bin/localedef",        "-i", Utf8(name), "-f", Utf8(charset),
                               Utf8(folder + L"/" + locale)};
        char* argv[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data(),
                        words[4].data(), words[5].data(), nullptr};
        spawn(argv, 1);
    }
    return GetFileAttributesW(compiled.c_str()) == INVALID_FILE_ATTRIBUTES ? std::string() : Utf8(folder);
}

std::wstring OwnExePath() {
    wchar_t path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    return std::wstring(path, n);
}

std::string ToHex(const std::wstring& text) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (wchar_t c : text) {
        for (int shift = 12; shift >= 0; shift -= 4)
            hex += digits[(static_cast<unsigned>(c) >> shift) & 15];
    }
    return hex;
}

std::wstring FromHex(const std::wstring& hex) {
    std::wstring text;
    for (size_t i = 0; i + 4 <= hex.size(); i += 4)
        text += static_cast<wchar_t>(wcstoul(hex.substr(i, 4).c_str(), nullptr, 16));
    return text;
}

// Started as a relay (see Program::Start): start the program it was given and end before any test runs.
struct Relay {
    Relay() {
        const std::wstring hex = EnvVar(L"OV_E2E_RELAY");
        if (hex.empty())
            return;
        SetEnvironmentVariableW(L"OV_E2E_RELAY", nullptr);
        std::vector<std::wstring> parts;
        const std::wstring payload = FromHex(hex);
        for (size_t from = 0, end; (end = payload.find(L'\0', from)) != std::wstring::npos; from = end + 1)
            parts.push_back(payload.substr(from, end - from));
        if (parts.size() < 2)
            ExitProcess(2);
        for (size_t i = 2; i < parts.size(); ++i) {
            const size_t eq = parts[i].find(L'=');
            if (eq != std::wstring::npos)
                SetEnvironmentVariableW(parts[i].substr(0, eq).c_str(),
                                        eq + 1 < parts[i].size() ? parts[i].substr(eq + 1).c_str() : nullptr);
        }
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        const BOOL started = CreateProcessW(nullptr, parts[0].data(), nullptr, nullptr, FALSE, 0, nullptr,
                                            parts[1].empty() ? nullptr : parts[1].c_str(), &si, &pi);
        if (started) {
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        }
        ExitProcess(started ? 0 : 1);
    }
};
const Relay g_relay;

}  // namespace

bool Program::Start(const std::wstring& exe, const std::wstring& args, const EnvVars& env) {
    exe_ = exe;
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!args.empty())
        commandLine += L" " + args;
    const size_t slash = exe.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? std::wstring() : exe.substr(0, slash);

    // Wine takes the user's language from the Unix environment that a process starts with, and a program it
    // starts inherits its Unix environment whatever Windows environment it is given. A language of its own
    // needs a fresh start of the Wine loader from the Unix side. The loader would also turn the command line
    // into an argument vector and back, losing quotes and, under a locale the system has not generated, every
    // letter outside ASCII; so it starts this test program as a relay, which gets the exact command line in
    // an ASCII-safe variable and starts the program from the Windows side.
    const std::wstring loader = EnvVar(L"WINELOADER");
    const auto spawn =
        reinterpret_cast<UnixSpawn>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp"));
    if (SetsLocale(env) && spawn && !loader.empty() && loader[0] == L'/') {
        const std::vector<DWORD> before = ProcessesNamed(FileNameOf(exe));
        std::wstring payload = commandLine + L'\0' + folder + L'\0';
        std::vector<std::string> words = {"/usr/bin/env", "-u", "WINEUSERLOCALE"};
        for (const auto& [name, value] : env) {
            if (IsLocaleVar(name)) {
                // Without the locale compiled, Wine still speaks its language but reads file names as ASCII.
                const std::string folder = CompiledLocales(spawn, value);
                if (!folder.empty())
                    words.push_back("LOCPATH=" + folder);
                words.push_back(Utf8(name + L"=" + value));
            } else
                payload += name + L"=" + value + L'\0';
        }
        words.push_back("OV_E2E_RELAY=" + ToHex(payload));
        words.push_back(Utf8(loader));
        words.push_back(Utf8(OwnExePath()));
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        if (spawn(argv.data(), 0) != 0) {
            ADD_FAILURE() << "cannot start " << Utf8(commandLine) << " through the Wine loader";
            return false;
        }
        return FindStarted(exe, before);
    }

    std::wstring environment = EnvironmentBlock(env);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        environment.data(), folder.empty() ? nullptr : folder.c_str(), &si, &pi)) {
        ADD_FAILURE() << "cannot start " << Utf8(commandLine) << ": error " << GetLastError();
        return false;
    }
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    pid_ = pi.dwProcessId;
    return true;
}

bool Program::FindStarted(const std::wstring& exe, const std::vector<DWORD>& before) {
    // The program is not our child: find it by its file name among the processes that are new.
    const auto deadline = Deadline(20000);
    while (Clock::now() < deadline) {
        for (DWORD pid : ProcessesNamed(FileNameOf(exe))) {
            if (std::find(before.begin(), before.end(), pid) != before.end())
                continue;
            process_ = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE |
                                       PROCESS_VM_OPERATION | PROCESS_VM_WRITE,
                                   FALSE, pid);
            if (process_) {
                pid_ = pid;
                return true;
            }
        }
        Pause();
    }
    ADD_FAILURE() << "started " << Utf8(exe) << " but found no process of it";
    return false;
}

bool Program::Running() const {
    return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

DWORD Program::ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (process_)
        GetExitCodeProcess(process_, &code);
    return code;
}

void Program::Kill() {
    if (Running()) {
        TerminateProcess(process_, 99);
        WaitForSingleObject(process_, 5000);
    }
}

std::vector<HWND> Program::Windows() const {
    TopSearch search{pid_, {}};
    EnumWindows(CollectTop, reinterpret_cast<LPARAM>(&search));
    return search.windows;
}

std::vector<HWND> Program::OpenBoxes() const {
    std::vector<HWND> boxes;
    for (HWND w : Windows()) {
        if (IsWindowVisible(w) && IsMessageBox(w))
            boxes.push_back(w);
    }
    return boxes;
}

std::wstring Program::DescribeWindows() const {
    std::wstring d;
    for (HWND w : Windows()) {
        d += L"\n  [" + ClassOf(w) + (IsWindowVisible(w) ? L", visible] \"" : L", hidden] \"") + WindowText(w) + L"\"";
        for (const Control& c : ChildControls(w))
            d += L"\n      " + c.className + L" " + std::to_wstring(c.id) + L" \"" + c.text + L"\"";
    }
    return d.empty() ? L" (none)" : d;
}

bool Program::CheckNoUnexpectedBox() {
    for (HWND box : OpenBoxes()) {
        if (std::find(claimed_.begin(), claimed_.end(), box) != claimed_.end())
            continue;
        ADD_FAILURE() << "unexpected message box: " << Utf8(ReadMessageBox(box).Describe());
        Kill();
        return false;
    }
    return true;
}

MessageBoxInfo Program::WaitForMessageBox(int timeoutMs) {
    const auto deadline = Deadline(timeoutMs);
    for (;;) {
        for (HWND box : OpenBoxes()) {
            if (std::find(claimed_.begin(), claimed_.end(), box) == claimed_.end()) {
                claimed_.push_back(box);
                // The box's text may be set just after it becomes visible.
                MessageBoxInfo info = ReadMessageBox(box);
                return info;
            }
        }
        if (!Running()) {
            ADD_FAILURE() << "the program ended (exit code " << ExitCode() << ") without the message box expected";
            return {};
        }
        if (Clock::now() > deadline) {
            ADD_FAILURE() << "no message box within " << timeoutMs << " ms; windows:" << Utf8(DescribeWindows());
            return {};
        }
        Pause();
    }
}

void Program::Answer(const MessageBoxInfo& box, int id, int timeoutMs) {
    ASSERT_TRUE(box.hwnd) << "no message box to answer";
    Press(box.hwnd, id);
    const auto deadline = Deadline(timeoutMs);
    while (IsWindow(box.hwnd) && IsWindowVisible(box.hwnd)) {
        if (Clock::now() > deadline) {
            ADD_FAILURE() << "message box still open after pressing " << id << ": " << Utf8(box.Describe());
            return;
        }
        Pause();
    }
}

bool Program::WaitUntil(const std::function<bool()>& done, const char* what, int timeoutMs) {
    const auto deadline = Deadline(timeoutMs);
    for (;;) {
        if (!CheckNoUnexpectedBox())
            return false;
        if (done())
            return true;
        if (Clock::now() > deadline) {
            ADD_FAILURE() << "timed out after " << timeoutMs << " ms waiting for " << what
                          << (Running() ? "; windows:" + Utf8(DescribeWindows()) : std::string("; program ended"));
            return false;
        }
        Pause();
    }
}

HWND Program::WaitForWindow(const std::function<bool(HWND)>& match, const char* what, int timeoutMs) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND w : Windows()) {
                if (IsWindowVisible(w) && match(w)) {
                    found = w;
                    return true;
                }
            }
            if (!Running())
                return true;
            return false;
        },
        what, timeoutMs);
    if (!found)
        ADD_FAILURE() << "no window: " << what << (Running() ? "" : " (the program ended)");
    return found;
}

HWND Program::WaitForDialogWith(int controlId, int timeoutMs) {
    return WaitForWindow(
        [&](HWND w) { return ClassOf(w) == L"#32770" && !IsMessageBox(w) && Item(w, controlId) != nullptr; },
        "the main window", timeoutMs);
}

HWND Program::WaitForFolderPicker(int timeoutMs) {
    return WaitForWindow(IsFolderPicker, "the folder picker", timeoutMs);
}

bool Program::WaitEnded(int timeoutMs) {
    return WaitUntil([&] { return !Running(); }, "the program to end", timeoutMs);
}

}  // namespace e2e
