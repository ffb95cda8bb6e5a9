#include "process/shell_exec.h"

namespace mSyncShell {

int ShowCommandForWindowStyle(int32_t windowStyle) {
    switch (windowStyle) {
        case 1:
            return 1;  // normal
        case 2:
            return 2;  // minimised
        case 3:
            return 3;  // maximised
        case 4:
            return 4;  // normal, not activated
        case 6:
            return 7;  // minimised, not activated
        default:
            return 0;  // hidden
    }
}

bool WaitWhileActive(const WaitHooks& hooks, int32_t timeOutMs, std::wstring& errText) {
    const uint32_t start = hooks.clockMs();
    uint32_t exitCode = 0;
    bool result = true;
    do {
        // An unreadable exit code keeps the last one read, as a failed read says nothing new.
        uint32_t code = 0;
        if (hooks.readExitCode(code))
            exitCode = code;
        hooks.runWindowEvents();
        hooks.sleep(10);
        if (static_cast<int64_t>(ElapsedMs(start, hooks.clockMs())) > static_cast<int64_t>(timeOutMs)) {
            errText = kTimedOutText;
            exitCode = 0;
            result = false;
        }
    } while (exitCode == kStillActive);
    return result;
}

}  // namespace mSyncShell
