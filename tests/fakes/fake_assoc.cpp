// Stands in for OrvanaAssoc.exe: its window carries the instance property and it ends on the command
// "/close", received by copy-data or, when started with it, relayed to the running instance.
#include "fake_common.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    fake::Behaviour b;
    b.className = L"OrvFakeAssoc";
    b.title = L"Orvana Files Association";
    b.propName = L"ORV Files Assoc'";
    b.endCommand = "/close";
    return fake::Run(instance, b);
}
