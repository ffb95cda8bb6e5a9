#include "patcher/frm_main_win.h"

#include "app/resource.h"
#include "support/app_info_win.h"
#include "support/xp_style_win.h"

namespace frmMain {
namespace {

void Form_Unload(HWND hwnd) {
    mXPStyle::ReleaseShell32();
    DestroyWindow(hwnd);
    PostQuitMessage(0);
}

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
    try {
        switch (msg) {
            case WM_INITDIALOG:
                SetWindowTextW(hwnd, (AppTitle() + L" v" + AppVersion()).c_str());
                return TRUE;
            case WM_COMMAND:
                if (LOWORD(wParam) == IDCANCEL)
                    Form_Unload(hwnd);
                return TRUE;
            case WM_CLOSE:
                Form_Unload(hwnd);
                return TRUE;
        }
    } catch (...) {
    }
    return FALSE;
}

}  // namespace

HWND Show() {
    HWND hwnd = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_FRMMAIN), nullptr, DialogProc, 0);
    if (hwnd)
        ShowWindow(hwnd, SW_SHOW);
    return hwnd;
}

}  // namespace frmMain
