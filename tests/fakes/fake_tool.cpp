// An ordinary tool of the suite: one visible window, ends on WM_CLOSE.
#include "fake_common.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    fake::Behaviour b;
    b.className = L"OrvFakeTool";
    b.title = L"Fake Tool";
    return fake::Run(instance, b);
}
