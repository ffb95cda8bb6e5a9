// Stands in for a post-install command: logs how it was started (the shared log of fake_common.h), waits
// "/sleep=N" milliseconds when asked, and ends with "/exit=N" (default 0). No window.
#include "fake_common.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    fake::Log(L"start", fake::ToUtf8(GetCommandLineW()));
    fake::Log(L"args", fake::ToUtf8(fake::ArgsAfterProgram()));
    const std::wstring args = L" " + fake::ArgsAfterProgram();
    const size_t sleep = args.find(L" /sleep=");
    if (sleep != std::wstring::npos)
        Sleep(static_cast<DWORD>(_wtoi(args.c_str() + sleep + 8)));
    const size_t exit = args.find(L" /exit=");
    const int code = exit == std::wstring::npos ? 0 : _wtoi(args.c_str() + exit + 7);
    fake::Log(L"exit", std::to_string(code));
    return code;
}
