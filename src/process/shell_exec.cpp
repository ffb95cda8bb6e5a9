#include "process/shell_exec.h"

#include "support/path.h"

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

std::wstring CommandProgram(const std::wstring& commandLine) {
    size_t start = commandLine.find_first_not_of(L" \t");
    if (start == std::wstring::npos)
        return {};
    if (commandLine[start] == L'"') {
        ++start;
        const size_t end = commandLine.find(L'"', start);
        return commandLine.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    }
    const size_t end = commandLine.find_first_of(L" \t", start);
    return commandLine.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

bool IsBareProgramName(const std::wstring& program) {
    return !program.empty() && program.find_first_of(L"\\/:") == std::wstring::npos;
}

std::wstring ProgramSearchFolders(const std::wstring& systemFolder,
                                  const std::wstring& windowsFolder,
                                  const std::wstring& pathVariable) {
    std::wstring folders;
    auto add = [&](std::wstring folder) {
        // Quotes in PATH only group; they are no part of the folder's name.
        std::erase(folder, L'"');
        if (!mGlobal::NamesVolume(folder))
            return;
        if (!folders.empty())
            folders += L';';
        folders += folder;
    };
    add(systemFolder);
    add(windowsFolder);
    size_t start = 0;
    for (;;) {
        const size_t end = pathVariable.find(L';', start);
        add(pathVariable.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    return folders;
}

bool WaitWhileActive(const WaitHooks& hooks, int32_t timeOutMs, std::wstring& errText) {
    const uint32_t start = hooks.clockMs();
    // Running until a read says otherwise: a first read that fails must not pass for an end.
    uint32_t exitCode = kStillActive;
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
