#include "patcher/frm_main_win.h"

#include <commctrl.h>

#include <cstring>
#include <new>
#include <optional>
#include <string_view>

#include "appclose/app_list_win.h"
#include "appclose/installations_win.h"
#include "container/patch_file_win.h"
#include "install/install_win.h"
#include "patcher/apply.h"
#include "patcher/frm_main_ids.h"
#include "patcher/frm_main_state_win.h"
#include "patcher/install_check.h"
#include "patcher/logo_image.h"
#include "patcher/run_log_win.h"
#include "patcher/strings.h"
#include "support/app_info_win.h"
#include "support/cmdline_win.h"
#include "support/dialogs_win.h"
#include "support/file_io_win.h"
#include "support/file_system_win.h"
#include "support/handles_win.h"
#include "support/lang_id_win.h"
#include "support/sys_error.h"
#include "support/trace.h"
#include "support/xp_style_win.h"

namespace frmMain {

namespace {

// Message-box styles of the patcher's messages.
constexpr UINT kOkCritical = MB_OK | MB_ICONSTOP;  // 16

// Where start-up leaves the window.
enum class LoadOutcome { Open, Unload };

FrmMainState g_state;

// GDI objects the window's controls draw with; released when the window goes.
struct Resources {
    UniqueGdi titleFont;
    UniqueGdi pathFont;
    UniqueGdi logo;
    UniqueGdi infoBrush;
};
Resources g_resources;
// A close asked for while an apply runs is carried out once the apply has restarted the suite.
bool g_closePending = false;

HWND Control(int id) {
    return GetDlgItem(g_state.hwnd, id);
}

void SetCaption(int id, const std::wstring& text) {
    SetWindowTextW(Control(id), text.c_str());
}

void DisableApply() {
    EnableWindow(Control(IDC_CMDAPPLY), FALSE);
}

// The edit control breaks lines only at CR LF; a descriptor typed elsewhere may carry bare LF.
// A damaged or hostile descriptor can carry hundreds of kilobytes of update information on one line,
// which the word-wrapping text box takes minutes to lay out; nobody reads that much, so only the start
// is shown.
std::wstring ShownInfo(std::wstring text) {
    constexpr size_t kMaxShown = 16384;
    if (text.size() > kMaxShown) {
        text.resize(kMaxShown);
        text += L"\r\n\u2026";
    }
    return text;
}

std::wstring WithCrLf(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r'))
            out += L'\r';
        out += text[i];
    }
    return out;
}

std::wstring LowerCase(const std::wstring& text) {
    if (text.empty())
        return text;
    std::wstring lower = text;
    LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_LOWERCASE, text.c_str(), static_cast<int>(text.size()), lower.data(),
                 static_cast<int>(lower.size()));
    return lower;
}

// A bold copy of the dialog's font, `scale` times its height.
HFONT DerivedFont(HWND dialog, double scale) {
    LOGFONTW lf{};
    HFONT base = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
    if (!base || !GetObjectW(base, sizeof(lf), &lf))
        return nullptr;
    lf.lfHeight = static_cast<LONG>(lf.lfHeight * scale);
    lf.lfWeight = FW_BOLD;
    return CreateFontIndirectW(&lf);
}

// The logo resource scaled to the picture box the layout gives it at this DPI, over the dialog's colour.
HBITMAP MakeLogo(HWND box) {
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC res = FindResourceW(self, MAKEINTRESOURCEW(IDB_LOGO), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    HGLOBAL loaded = res ? LoadResource(self, res) : nullptr;
    const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!data)
        return nullptr;
    const std::optional<mLogo::Image> image = mLogo::ReadLogo(std::string_view(data, SizeofResource(self, res)));
    RECT rc{};
    GetClientRect(box, &rc);
    if (!image || rc.right <= 0 || rc.bottom <= 0)
        return nullptr;
    const COLORREF face = GetSysColor(COLOR_3DFACE);
    const uint32_t background = (GetRValue(face) << 16) | (GetGValue(face) << 8) | GetBValue(face);
    const mLogo::Image fitted = mLogo::FitOver(*image, rc.right, rc.bottom, background);

    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = fitted.width;
    bi.bmiHeader.biHeight = -fitted.height;  // rows top first, as FitOver gives them
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap && bits)
        memcpy(bits, fitted.pixels.data(), fitted.pixels.size() * sizeof(uint32_t));
    return bitmap;
}

void SetUpControls(HWND hwnd) {
    g_resources.titleFont.reset(DerivedFont(hwnd, 1.5));
    g_resources.pathFont.reset(DerivedFont(hwnd, 1.0));
    if (g_resources.titleFont)
        SendDlgItemMessageW(hwnd, IDC_LBLTITLE, WM_SETFONT, reinterpret_cast<WPARAM>(g_resources.titleFont.get()), 0);
    if (g_resources.pathFont)
        SendDlgItemMessageW(hwnd, IDC_LBLORVPATH, WM_SETFONT, reinterpret_cast<WPARAM>(g_resources.pathFont.get()), 0);
    g_resources.logo.reset(MakeLogo(GetDlgItem(hwnd, IDC_IMLOGO)));
    if (g_resources.logo)
        SendDlgItemMessageW(hwnd, IDC_IMLOGO, STM_SETIMAGE, IMAGE_BITMAP,
                            reinterpret_cast<LPARAM>(g_resources.logo.get()));
    g_resources.infoBrush.reset(CreateSolidBrush(GetSysColor(COLOR_WINDOW)));
}

// Window set-up: icon, caption, position, current folder.
void SetUpWindow(HWND hwnd) {
    mUnicodePatch::SetWindowIcon(hwnd, L"AAA", true);
    SetWindowTextW(hwnd, (AppTitle() + L" v" + AppVersion()).c_str());
    RECT rc{};
    GetWindowRect(hwnd, &rc);
    const int left = (GetSystemMetrics(SM_CXSCREEN) - (rc.right - rc.left)) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - (rc.bottom - rc.top)) / 2;
    SetWindowPos(hwnd, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    mGlobal::SetCurrentFolder(mGlobal::AppPath());
}

// Two folders as Windows tells them apart: letter case, a trailing separator and short names aside.
bool SameFolder(const std::wstring& a, const std::wstring& b) {
    const auto plain = [](const std::wstring& path) {
        std::wstring folder = mGlobal::GetLongPath(path);
        while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/'))
            folder.pop_back();
        return folder;
    };
    return mGlobal::SameFile(plain(a), plain(b));
}

// What start-up asks of the system while it looks for the installation.
struct LocateHost {
    HWND hwnd;
    bool FileExists(const std::wstring& path) { return mGlobal::FileExists(path); }
    std::vector<std::wstring> FindInstallations() { return mAppClose::FindInstallations(); }
    std::vector<std::wstring> RunningMenus() {
        std::vector<std::wstring> menus;
        std::vector<DWORD> pids;
        mAppClose::GetAppList(menus, L"*OrvanaMenu.exe", pids, 0);
        return menus;
    }
    int Ask(const wchar_t* key, unsigned style) { return frmMain::Ask(key, style); }
    std::wstring BrowseForFolder() { return mUnicodePatch::BrowseForFolder(hwnd, Str(L"SelectFolderTitle"), L""); }
    static bool SameFolder(const std::wstring& a, const std::wstring& b) { return frmMain::SameFolder(a, b); }
};

// Finds the installation: the one whose menu runs, or one the user picks. Empty root: the window unloads.
LoadOutcome LocateInstallation(HWND hwnd) {
    LocateHost host{hwnd};
    return mInstallCheck::LocateInstallation(host, g_state.Options.dir, g_state.InstallRoot, g_state.MenuExePath)
               ? LoadOutcome::Open
               : LoadOutcome::Unload;
}

// An apply that died (killed, power cut) is undone, or finished when it had committed, before anything
// looks at the installation. One that still runs holds the lock and is left alone. When a file stops it,
// the user hears which, and that Retry closes the suite's programs: Retry tries again, and if the file is
// still held stops the suite's programs as an apply would, tries once more and starts every one of them
// again.
bool RecoverDeadApply() {
    std::wstring blocker;
    std::wstring refusal;
    const auto recover = [&] {
        mInstall::InstallLock lock;
        refusal.clear();
        std::vector<std::wstring> kept;
        const bool done =
            !lock.Acquire(g_state.InstallRoot) ||
            mInstall::Recover(g_state.InstallRoot, &blocker, &refusal, &kept) != mInstall::Recovery::Failed;
        for (const std::wstring& line : kept)
            mRunLog::Line(line);
        if (!refusal.empty())
            mRunLog::Line(refusal);
        return done;
    };
    if (recover())
        return true;
    // A journal that is not run, or one that lost a file or its record, stays as it is whatever is tried again:
    // no Retry, nothing closed. The way on loses nothing: its folder, with the backups in it, is set aside whole
    // where the user can see it.
    if (!refusal.empty()) {
        const std::wstring kept = mInstall::SetAsidePath(g_state.InstallRoot);
        if (Ask(L"CantUpdate", MB_YESNO | MB_ICONSTOP,
                Str(L"CantUpdate") + L"\r\n\r\n" + blocker + L"\r\n\r\n" +
                    StrOr(mUnattended::kSetAsideKey, mUnattended::kSetAsideText) + L"\r\n" + kept) != IDYES)
            return false;
        mInstall::InstallLock lock;
        if (!lock.Acquire(g_state.InstallRoot) || !mInstall::SetAside(g_state.InstallRoot, kept))
            return false;
        mRunLog::Line(L"Set aside: " + kept);
        return true;
    }
    // A work folder without the mark may be anybody's: it stays as it is and nothing is closed. Retry looks
    // again, once the user moved it out of the way.
    const std::wstring work = mInstall::InstallWorkFolder(g_state.InstallRoot);
    const auto foreign = [&] { return blocker == work && !mInstall::IsOwnFolder(work); };
    if (foreign())
        mRunLog::Line(L"Not the patcher's folder, left as it is: " + work);
    for (;;) {
        if (Ask(L"CantUpdate", MB_RETRYCANCEL | MB_ICONSTOP,
                Str(L"CantUpdate") + L"\r\n\r\n" + blocker + L"\r\n\r\n" +
                    (foreign() ? StrOr(mUnattended::kForeignFolderKey, mUnattended::kForeignFolderText)
                               : StrOr(mUnattended::kRecoverRetryKey, mUnattended::kRecoverRetryText))) != IDRETRY)
            return false;
        if (recover() || (!foreign() && RecoverWithSuiteStopped(g_state, recover)))
            return true;
    }
}

// Whether the installation can take this patch. A failed check leaves the window open without cmdApply.
LoadOutcome Validate() {
    FrmMainState& s = g_state;
    SetCaption(IDC_LBLORVPATH, s.InstallRoot);
    if (!RecoverDeadApply()) {
        DisableApply();
        return LoadOutcome::Open;
    }
    using mInstallCheck::Verdict;
    bool archiver = true;
    for (const wchar_t* file : mInstallCheck::kArchiverFiles)
        archiver = archiver && mGlobal::FileExists(s.InstallRoot + file);
    const std::wstring versionPath = s.InstallRoot + mApplyPatch::kVersionFile;
    std::wstring versionText;
    const bool hasVersion = archiver && mGlobal::FileExists(versionPath);
    if (hasVersion)
        versionText = mStringTools::LoadTextFile(versionPath);
    const Verdict verdict =
        mInstallCheck::CheckInstallation(s.Descriptor, archiver, hasVersion ? &versionText : nullptr, LowerCase);
    if (verdict == Verdict::Fits)
        return LoadOutcome::Open;
    const mInstallCheck::VerdictMessage message = mInstallCheck::MessageFor(verdict);
    const int answer = Ask(message.key, mInstallCheck::BoxStyle(message.box),
                           mInstallCheck::VerdictText(verdict, s.Descriptor, Str(message.key)));
    if (verdict != Verdict::UpdateAlreadyDone)
        DisableApply();
    else if (answer != IDYES)
        return LoadOutcome::Unload;
    return LoadOutcome::Open;
}

LoadOutcome LoadSteps(HWND hwnd) {
    FrmMainState& s = g_state;
    SetUpWindow(hwnd);

    std::wstring cmdText;
    std::wstring patchPath = mCmdLine::GetCmdVal(L"src", true, cmdText);
    std::optional<cXmlNode> descriptor = mGlobal::ExtractPatchXML(0, patchPath);
    if (!descriptor || descriptor->Name().empty()) {
        Ask(L"InvalidPatch", kOkCritical, L"Invalid patch file");
        return LoadOutcome::Unload;
    }
    s.Descriptor = std::move(*descriptor);
    // Held until the program ends, denying writes: the archive applied is the one whose descriptor was read.
    s.PatchFile.reset(CreateFileW(mGlobal::ApiPath(patchPath).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!s.PatchFile)
        DebugNote(L"The patch cannot be held against writes: " + mGlobal::SystemErrorText(GetLastError()));

    const mPatchStrings::LanguageChoice choice =
        mPatchStrings::ChooseLanguage(s.Descriptor.XmlData, mLang::WindowsUserLangID(0));
    s.LangCode = choice.LangCode;
    s.StringsPos = choice.StringsPos;
    SetCaption(IDC_LBLTITLE, Str(L"Title"));
    SetCaption(IDC_LBLFOUND, Str(L"OrvFound"));
    SetCaption(IDC_CMDCANCEL, Str(L"Cancel"));
    SetCaption(IDC_CMDAPPLY, Str(L"Apply"));
    SetCaption(IDC_TXTINFO, ShownInfo(WithCrLf(mPatchStrings::UpdateInfoText(s.Descriptor, s.LangCode))));

    if (LocateInstallation(hwnd) == LoadOutcome::Unload)
        return LoadOutcome::Unload;
    return Validate();
}

LoadOutcome Form_Load(HWND hwnd) {
    auto fail = [](int32_t number, const std::wstring& description) {
        TraceError(ErrorTraceLine(number, description, L"Sub frmMain.Form_Load"));
        Ask(L"CantUpdate", kOkCritical);
        return LoadOutcome::Unload;
    };
    try {
        return LoadSteps(hwnd);
    } catch (const SysError& e) {
        return fail(e.number, e.description);
    } catch (const std::bad_alloc&) {
        return fail(7, L"Out of memory");
    } catch (...) {
        NoteCaught(L"Loading the patch");
        return fail(5, L"Invalid procedure call or argument");
    }
}

// While nothing is stopped yet, the apply can end at once without a trace: the archiver is stopped and the
// apply leaves at its next step.
void CancelApply() {
    if (!g_state.Applying || !g_state.Cancellable)
        return;
    g_state.CancelRequested = true;
    if (g_state.Archiver)
        g_state.Archiver->Cancel();
}

void Form_Unload(HWND hwnd) {
    if (g_state.Applying) {
        // Closing now would stop the archiver's waits and leave the suite stopped: close after the restart.
        g_closePending = true;
        CancelApply();
        return;
    }
    // The archiver's runner owns the hidden timer window; it goes with it.
    g_state.Archiver.reset();
    mXPStyle::ReleaseShell32();
    DestroyWindow(hwnd);
    PostQuitMessage(0);
}

void cmdCancel_Click(HWND hwnd) {
    // During an apply Cancel (and Esc) stops the apply, not the window.
    if (g_state.Applying)
        CancelApply();
    else
        Form_Unload(hwnd);
}

void OnApply(HWND hwnd) {
    // Enter reaches the default button's command even while the button is disabled.
    if (!IsWindowEnabled(Control(IDC_CMDAPPLY)) || g_state.Applying)
        return;
    g_closePending = false;
    try {
        cmdApply_Click(g_state);
    } catch (...) {
        NoteCaught(L"The apply");
        g_state.Applying = false;
    }
    if (g_closePending && IsWindow(hwnd)) {
        g_closePending = false;
        Form_Unload(hwnd);
    }
}

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    try {
        switch (msg) {
            case WM_INITDIALOG:
                g_state.hwnd = hwnd;
                SetUpControls(hwnd);
                return TRUE;
            case WM_COMMAND:
                if (HIWORD(wParam) == BN_CLICKED || lParam == 0) {
                    if (LOWORD(wParam) == IDC_CMDAPPLY)
                        OnApply(hwnd);
                    else if (LOWORD(wParam) == IDCANCEL)
                        cmdCancel_Click(hwnd);
                }
                return TRUE;
            case WM_CTLCOLORSTATIC:
                // The update information reads as a page, not as a greyed-out field.
                if (reinterpret_cast<HWND>(lParam) == Control(IDC_TXTINFO) && g_resources.infoBrush) {
                    SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOW));
                    SetTextColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOWTEXT));
                    return reinterpret_cast<INT_PTR>(g_resources.infoBrush.get());
                }
                return FALSE;
            case WM_CLOSE:
                Form_Unload(hwnd);
                return TRUE;
            case WM_QUERYENDSESSION:
                // A log-off now would cut the swap short; the reason is shown by the apply.
                SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, g_state.Applying ? FALSE : TRUE);
                return TRUE;
            case WM_NCDESTROY:
                g_state.hwnd = nullptr;
                g_resources = Resources{};
                return FALSE;
        }
    } catch (...) {
        NoteCaught(L"The patcher window's message");
    }
    return FALSE;
}

}  // namespace

FrmMainState& State() {
    return g_state;
}

std::wstring Str(const std::wstring& key) {
    return mPatchStrings::GetString(g_state.Descriptor, g_state.StringsPos, key);
}

std::wstring StrOr(const wchar_t* key, const wchar_t* english) {
    const std::wstring text = Str(key);
    return text.empty() ? english : text;
}

void SetOptions(const mUnattended::RunOptions& options) {
    g_state.Options = options;
}

int ExitCode() {
    return static_cast<int>(g_state.Exit);
}

int RunSilent() {
    // The window is made but never shown: start-up and the apply run as they do for a user.
    HWND hwnd = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_FRMMAIN), nullptr, DialogProc, 0);
    if (!hwnd)
        return ExitCode();
    if (Form_Load(hwnd) == LoadOutcome::Open && IsWindowEnabled(Control(IDC_CMDAPPLY)))
        OnApply(hwnd);
    if (IsWindow(hwnd))
        Form_Unload(hwnd);
    return ExitCode();
}

HWND Show() {
    HWND hwnd = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_FRMMAIN), nullptr, DialogProc, 0);
    if (!hwnd)
        return nullptr;
    if (Form_Load(hwnd) == LoadOutcome::Unload) {
        Form_Unload(hwnd);
        return nullptr;
    }
    const bool canApply = IsWindowEnabled(Control(IDC_CMDAPPLY));
    // With nothing to apply, Enter and the first focus belong to the button that still does something.
    if (!canApply)
        SendMessageW(hwnd, DM_SETDEFID, IDCANCEL, 0);
    HWND first = canApply ? Control(IDC_CMDAPPLY) : Control(IDCANCEL);
    SendMessageW(hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(first), TRUE);
    ShowWindow(hwnd, SW_SHOW);
    return hwnd;
}

}  // namespace frmMain
