// A tool that never gives in to WM_CLOSE: only termination ends it.
#include "fake_common.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    fake::Behaviour b;
    b.className = L"OrvFakeStubborn";
    b.title = L"Stubborn Tool";
    b.closeEnds = false;
    return fake::Run(instance, b);
}
