// Test double of the archiver: writes the exact command line it was started with (UTF-16LE, as
// the system hands it over) to the file named by OV_FAKE_7Z_LOG, then reports success the way
// the archiver does, so that the driver's success test passes.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t logPath[MAX_PATH * 4];
    const DWORD n = GetEnvironmentVariableW(L"OV_FAKE_7Z_LOG", logPath, MAX_PATH * 4);
    if (n > 0 && n < MAX_PATH * 4) {
        const wchar_t* cmd = GetCommandLineW();
        HANDLE log = CreateFileW(logPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(log, cmd, static_cast<DWORD>(lstrlenW(cmd) * sizeof(wchar_t)), &written, nullptr);
            CloseHandle(log);
        }
    }
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE) {
        static const char kReport[] =
            "\r\nFake archiver\r\n\r\n----------\r\nPath = logged\r\n\r\nEverything is Ok\r\n";
        DWORD written = 0;
        WriteFile(out, kReport, sizeof(kReport) - 1, &written, nullptr);
    }
    return 0;
}
