// A tool without any window: neither a close request nor a quit can reach it.
#include "fake_common.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    fake::Behaviour b;
    b.className = nullptr;
    return fake::Run(instance, b);
}
