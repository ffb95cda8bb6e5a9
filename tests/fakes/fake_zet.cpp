// Stands in for zet.exe: owns only a hidden top-level window (so that its thread can be found) and ends
// when that thread is told to quit.
#include "fake_common.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    fake::Behaviour b;
    b.className = L"OrvFakeZet";
    b.title = L"zet";
    b.visible = false;
    return fake::Run(instance, b);
}
