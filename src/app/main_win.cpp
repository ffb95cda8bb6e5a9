// Start-up: prepare the visual styles, choose the role, open its window and run its messages.
#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <optional>

#include "maker/frm_maker_win.h"
#include "patcher/frm_main_win.h"
#include "patcher/run_log_win.h"
#include "patcher/unattended.h"
#include "support/cmdline.h"
#include "support/cmdline_win.h"
#include "support/dialogs_win.h"
#include "support/encoding.h"
#include "support/file_system_win.h"
#include "support/trace.h"
#include "support/xp_style_win.h"

// The library's default handler for an escaped exception prints a demangled type name, which would
// pull a demangler of some 45 KB into every patch; nothing escapes our handlers, so a plain abort does.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
    std::abort();
}
}  // namespace __gnu_cxx

namespace {

// What wWinMain ends with when no window is left to run: set by a run without one.
std::optional<int> g_doneWithoutWindow;
bool g_patcher = false;

// A path of the command line as the script that gave it meant it: from the folder it was started in (the
// window later makes its own folder the current one).
std::wstring FromStartFolder(const std::wstring& path) {
    if (path.empty())
        return path;
    wchar_t current[MAX_PATH];
    const DWORD n = GetCurrentDirectoryW(MAX_PATH, current);
    return mGlobal::GetFullPath(path, n > 0 && n < MAX_PATH ? std::wstring(current, n) : L"");
}

}  // namespace

namespace mGlobal {

void ChooseMode() {
    const std::wstring args = mCmdLine::GetCmdArgs();
    if (mCmdLine::IsMakerMode(args, AppExeName())) {
        frmMaker::Show();
        return;
    }
    mUnattended::RunOptions options = mUnattended::ParseRunOptions(args);
    options.dir = FromStartFolder(options.dir);
    options.log = FromStartFolder(options.log);
    if (options.help) {
        mUnicodePatch::MsgBox(mUnattended::HelpText(AppExeName() + L".exe"), MB_OK | MB_ICONINFORMATION);
        g_doneWithoutWindow = 0;
        return;
    }
    std::wstring reason;
    if (!options.log.empty() && !mRunLog::Open(options.log, reason)) {
        if (!options.silent)
            mUnicodePatch::MsgBox(L"The log file cannot be written:\r\n" + options.log + L"\r\n" + reason,
                                  MB_OK | MB_ICONSTOP);
        g_doneWithoutWindow = static_cast<int>(mUnattended::ExitCode::BadCommandLine);
        return;
    }
    std::wstring cmdText;
    const std::wstring source = mCmdLine::GetCmdVal(L"src", true, cmdText);
    mRunLog::Line(L"Patch " + AppExePath() + (source.empty() ? L"" : L", read from " + source) +
                  (options.silent ? L", silent" : L""));
    frmMain::SetOptions(options);
    g_patcher = true;
    if (options.silent)
        g_doneWithoutWindow = frmMain::RunSilent();
    else
        frmMain::Show();
}

}  // namespace mGlobal

namespace {

// The run's last line in the log, and its exit code.
int Finish(int code) {
    if (g_patcher)
        mRunLog::Line(L"Outcome: " + mStringTools::DecimalText(code) + L" (" +
                      mUnattended::ExitCodeMeaning(static_cast<mUnattended::ExitCode>(code)) + L")");
    return code;
}

}  // namespace

namespace {

// Patches are started from Downloads folders, where anyone may have left a DLL named like a system one:
// everything loaded from here on comes from the system folder only. Looked up at run time, as systems
// without the loader update lack it; there, at least the current folder leaves the search.
void RestrictDllSearch() {
    constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (!setDefault || !setDefault(kSearchSystem32))
        SetDllDirectoryW(L"");
}

void Main() {
    RestrictDllSearch();
    // Every step may fail on its own; start-up goes on to the role choice regardless.
    try {
        mXPStyle::LoadShell32();
    } catch (...) {
        NoteCaught(L"Start-up: loading shell32.dll");
    }
    INITCOMMONCONTROLSEX icc{8, ICC_USEREX_CLASSES};
    InitCommonControlsEx(&icc);
    try {
        mGlobal::ChooseMode();
    } catch (...) {
        NoteCaught(L"Start-up: the role choice");
    }
}

BOOL CALLBACK FoundWindow(HWND, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return FALSE;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    try {
        Main();
        if (g_doneWithoutWindow)
            return Finish(*g_doneWithoutWindow);
        // Without a window there is nothing to wait for.
        bool anyWindow = false;
        EnumThreadWindows(GetCurrentThreadId(), FoundWindow, reinterpret_cast<LPARAM>(&anyWindow));
        if (!anyWindow)
            return g_patcher ? Finish(frmMain::ExitCode()) : 1;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            HWND active = GetActiveWindow();
            if (active && IsDialogMessageW(active, &msg))
                continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        return g_patcher ? Finish(frmMain::ExitCode()) : 0;
    } catch (...) {
        NoteCaught(L"wWinMain");
        return 1;
    }
}
