#include "patcher/progress_win.h"

#include <commctrl.h>
#include <shobjidl.h>

#include "patcher/frm_main_ids.h"
#include "patcher/frm_main_state_win.h"
#include "patcher/run_log_win.h"
#include "support/encoding.h"
#include "support/pump_win.h"
#include "support/system_dll_win.h"

namespace frmMain {
namespace {

constexpr UINT_PTR kBusyCursorSubclass = 0x4F56;
// Defined here: the system's GUID library would bring every GUID it holds.
constexpr CLSID kTaskbarList = {0x56fdf344, 0xfd6d, 0x11d0, {0x95, 0x8a, 0x00, 0x60, 0x97, 0xc9, 0xa0, 0x90}};
constexpr IID kTaskbarList3 = {0xea1afb91, 0x9e28, 0x4b86, {0x90, 0xe9, 0x9e, 0x9f, 0x8a, 0x5e, 0xef, 0xaf}};

LRESULT CALLBACK BusyCursorProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    if (msg == WM_SETCURSOR && LOWORD(lParam) == HTCLIENT) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
    }
    return DefSubclassProc(hwnd, msg, wParam, lParam);
}

}  // namespace

ApplyProgress::ApplyProgress(HWND hwnd) : hwnd_(hwnd) {
    if (!hwnd_)
        return;
    ShowWindow(Item(IDC_PRGWORKING), SW_SHOW);
    ShowWindow(Item(IDC_LBLSTATUS), SW_SHOW);
    SetWindowSubclass(hwnd_, BusyCursorProc, kBusyCursorSubclass, 0);
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    // The taskbar button's progress, where the system has one; COM and its library only from here on.
    using Initialize = HRESULT(WINAPI*)(LPVOID, DWORD);
    using Create = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
    const auto initialize = mGlobal::SystemFunction<Initialize>(L"ole32.dll", "CoInitializeEx");
    const auto create = mGlobal::SystemFunction<Create>(L"ole32.dll", "CoCreateInstance");
    if (initialize && create && !State().Options.silent) {
        comStarted_ = SUCCEEDED(initialize(nullptr, COINIT_APARTMENTTHREADED));
        if (SUCCEEDED(create(kTaskbarList, nullptr, CLSCTX_INPROC_SERVER, kTaskbarList3,
                             reinterpret_cast<void**>(taskbar_.put()))) &&
            taskbar_ && FAILED(taskbar_.get()->HrInit()))
            taskbar_.reset();
    }
}

ApplyProgress::~ApplyProgress() {
    End();
}

void ApplyProgress::Step(mUnattended::Step step, bool measured) {
    stepText_ = StrOr(mUnattended::StepKey(step), mUnattended::StepText(step));
    if (static_cast<int>(step) != step_)
        mRunLog::Line(L"Step: " + std::wstring(mUnattended::StepText(step)));
    step_ = static_cast<int>(step);
    if (!hwnd_)
        return;
    HWND bar = Item(IDC_PRGWORKING);
    const LONG_PTR style = GetWindowLongPtrW(bar, GWL_STYLE);
    if (measured) {
        SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
        SetWindowLongPtrW(bar, GWL_STYLE, style & ~PBS_MARQUEE);
        SendMessageW(bar, PBM_SETRANGE32, 0, 100);
        percent_ = -1;
        Percent(0);
    } else {
        SetWindowLongPtrW(bar, GWL_STYLE, style | PBS_MARQUEE);
        SendMessageW(bar, PBM_SETMARQUEE, TRUE, 30);
        percent_ = -1;
        if (taskbar_)
            taskbar_.get()->SetProgressState(hwnd_, TBPF_INDETERMINATE);
    }
    ShowStatus();
    DoEvents();
}

void ApplyProgress::Percent(int percent) {
    if (!hwnd_ || percent == percent_ || percent < 0 || percent > 100)
        return;
    percent_ = percent;
    SendMessageW(Item(IDC_PRGWORKING), PBM_SETPOS, percent, 0);
    if (taskbar_)
        taskbar_.get()->SetProgressValue(hwnd_, percent, 100);
    ShowStatus();
    // Painted now: the swap moves its files without letting window events run.
    UpdateWindow(Item(IDC_PRGWORKING));
    UpdateWindow(Item(IDC_LBLSTATUS));
}

void ApplyProgress::LockCancel() {
    cancelLocked_ = true;
    if (!hwnd_)
        return;
    EnableWindow(Item(IDCANCEL), FALSE);
    ShowStatus();
}

void ApplyProgress::ShowStatus() {
    std::wstring text = stepText_ + L"\x2026";
    if (percent_ >= 0)
        text += L" " + mStringTools::DecimalText(percent_) + L" %";
    if (cancelLocked_)
        text += L" (" + StrOr(mUnattended::kNoCancelKey, mUnattended::kNoCancelText) + L")";
    SetWindowTextW(Item(IDC_LBLSTATUS), text.c_str());
}

void ApplyProgress::End() {
    if (taskbar_) {
        taskbar_.get()->SetProgressState(hwnd_, TBPF_NOPROGRESS);
        taskbar_.reset();
    }
    if (comStarted_) {
        if (const auto uninitialize = mGlobal::SystemFunction<void(WINAPI*)()>(L"ole32.dll", "CoUninitialize"))
            uninitialize();
        comStarted_ = false;
    }
    if (!hwnd_)
        return;
    SendMessageW(Item(IDC_PRGWORKING), PBM_SETMARQUEE, FALSE, 0);
    ShowWindow(Item(IDC_PRGWORKING), SW_HIDE);
    ShowWindow(Item(IDC_LBLSTATUS), SW_HIDE);
    EnableWindow(Item(IDCANCEL), TRUE);
    RemoveWindowSubclass(hwnd_, BusyCursorProc, kBusyCursorSubclass);
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    hwnd_ = nullptr;
}

}  // namespace frmMain
