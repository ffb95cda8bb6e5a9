#include "support/pump_win.h"

#include <windows.h>

void DoEvents() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Leave the quit request for the main loop to see.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        HWND dialog = GetActiveWindow();
        if (dialog && IsDialogMessageW(dialog, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void SleepAndPump(unsigned ms) {
    Sleep(ms);
    DoEvents();
}
