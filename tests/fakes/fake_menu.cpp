// Stands in for OrvanaMenu.exe: a visible VB-style form whose title holds "Orvana", plus the hidden
// owner window such programs have. Closes on WM_CLOSE unless told to ignore it; notes the close-flag file.
#include "fake_common.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    fake::Behaviour b;
    b.className = L"ThunderRT6FormDC";
    b.title = L"Orvana Menu";
    b.hiddenClass = L"ThunderRT6Main";
    b.reportCloseFlag = true;
    return fake::Run(instance, b);
}
