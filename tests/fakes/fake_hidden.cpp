// A tool whose only window is hidden. Its class looks like a main window ("TfrmMain"), so that the
// default main-window rule finds it. Ends on WM_CLOSE.
#include "fake_common.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    fake::Behaviour b;
    b.className = L"TfrmMain";
    b.title = L"Hidden Tool";
    b.visible = false;
    return fake::Run(instance, b);
}
