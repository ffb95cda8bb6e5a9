// Stands in for OrvanaWrapper.exe: its window carries the instance property and it ends on the command
// "relay/ovpend", received by copy-data or, when started with it, relayed to the running instance.
#include "fake_common.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    fake::Behaviour b;
    b.className = L"OrvFakeWrapper";
    b.title = L"Orvana Wrapper";
    b.propName = L"ORVWrapper_2.0";
    b.endCommand = "relay/ovpend";
    return fake::Run(instance, b);
}
