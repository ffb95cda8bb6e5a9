#include "appclose/tool_instances_win.h"

#include <new>
#include <string>

#include "support/encoding_win.h"
#include "support/trace.h"

namespace mToolsInstances {

namespace {

struct InstanceSearch {
    const wchar_t* propName;
    HWND found;
};

BOOL CALLBACK FindInstanceProc(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<InstanceSearch*>(lParam);
    if (GetPropW(hwnd, search->propName) == reinterpret_cast<HANDLE>(1)) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND FindToolInstance(const std::wstring& PropName) {
    InstanceSearch search{PropName.c_str(), nullptr};
    EnumWindows(FindInstanceProc, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void SendToolInstanceCommand(HWND hWnd, const std::wstring& Command) {
    try {
        std::string bytes = Command.empty() ? std::string(1, '\0') : mUTF8::UTF8_Encode(Command);
        COPYDATASTRUCT data = {};
        data.dwData = 0;
        data.cbData = static_cast<DWORD>(bytes.size());
        data.lpData = bytes.data();
        // A tool that hangs must not hang the patcher with it: give up after a generous delay.
        DWORD_PTR reply = 0;
        SendMessageTimeoutW(hWnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL | SMTO_ABORTIFHUNG,
                            kCommandTimeOutMs, &reply);
    } catch (const std::bad_alloc&) {
        TraceOutOfMemory(L"Sub mToolsInstances.SendToolInstanceCommand");
    } catch (...) {
        TraceInternalError(L"Sub mToolsInstances.SendToolInstanceCommand");
    }
}

}  // namespace mToolsInstances
