#include "e2e/harness/apply_support.h"

#include <gtest/gtest.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>

#include <map>

#include "e2e/harness/install_builder.h"
#include "fakes/fake_launch_win.h"
#include "patcher/apply.h"
#include "patcher/frm_main_ids.h"

namespace e2e {

std::wstring TempPathLong() {
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring path(temp, n);
    wchar_t longPath[1024];
    const DWORD m = GetLongPathNameW(path.c_str(), longPath, 1024);
    if (m > 0 && m < 1024)
        path.assign(longPath, m);
    if (path.empty() || path.back() != L'\\')
        path.push_back(L'\\');
    return path;
}

namespace {

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

std::vector<std::pair<DWORD, std::wstring>> Processes() {
    std::vector<DWORD> ids(4096);
    DWORD bytes = 0;
    std::vector<std::pair<DWORD, std::wstring>> result;
    if (!EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes))
        return result;
    ids.resize(bytes / sizeof(DWORD));
    for (DWORD id : ids) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
        if (!process)
            continue;
        wchar_t path[32768];
        DWORD size = 32768;
        if (QueryFullProcessImageNameW(process, 0, path, &size))
            result.emplace_back(id, std::wstring(path, size));
        CloseHandle(process);
    }
    return result;
}

}  // namespace

SharedLog::SharedLog() {
    static int counter = 0;
    folder_ =
        TempPathLong() + L"ovapplylog_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
    CreateDirectoryW(folder_.c_str(), nullptr);
    path_ = folder_ + L"\\fakes.log";
    SetEnvironmentVariableW(L"OV_FAKE_LOG", path_.c_str());
    // Whatever a failing test leaves running ends by itself soon.
    SetEnvironmentVariableW(L"OV_FAKE_LIFETIME_S", L"120");
}

SharedLog::~SharedLog() {
    SetEnvironmentVariableW(L"OV_FAKE_LOG", nullptr);
    fakes::DeleteTree(folder_);
}

std::vector<LogEntry> SharedLog::Entries() const {
    std::vector<LogEntry> entries;
    for (const std::string& line : fakes::ReadLog(path_)) {
        const size_t nameEnd = line.find(' ');
        if (nameEnd == std::string::npos)
            continue;
        const size_t pidEnd = line.find(' ', nameEnd + 1);
        LogEntry e;
        e.exe = line.substr(0, nameEnd);
        e.pid = static_cast<DWORD>(std::stoul(line.substr(nameEnd + 1, pidEnd - nameEnd - 1)));
        e.event = pidEnd == std::string::npos ? std::string() : line.substr(pidEnd + 1);
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<std::string> SharedLog::EventsOf(const std::string& exe, bool numbered) const {
    std::vector<std::string> events;
    std::map<DWORD, int> number;
    for (const LogEntry& e : Entries()) {
        if (e.exe != exe)
            continue;
        if (!number.count(e.pid)) {
            const int next = static_cast<int>(number.size()) + 1;
            number[e.pid] = next;
        }
        events.push_back(numbered ? std::to_string(number[e.pid]) + ":" + e.event : e.event);
    }
    return events;
}

int SharedLog::IndexOf(const std::string& exe, const std::string& prefix) const {
    const std::vector<LogEntry> entries = Entries();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].exe == exe && entries[i].event.compare(0, prefix.size(), prefix) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

std::string SharedLog::Dump() const {
    std::string text;
    for (const std::string& line : fakes::ReadLog(path_))
        text += "    " + line + "\n";
    return text;
}

std::vector<std::wstring> RunningUnder(const std::wstring& folder) {
    std::vector<std::wstring> paths;
    const std::wstring prefix = folder + L"\\";
    for (const auto& [id, path] : Processes()) {
        if (StartsWithNoCase(path, prefix))
            paths.push_back(path);
    }
    return paths;
}

void ProgramsEnder::EndAll() const {
    const std::wstring prefix = root_ + L"\\";
    for (const auto& [id, path] : Processes()) {
        if (!StartsWithNoCase(path, prefix) || id == GetCurrentProcessId())
            continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (!process)
            continue;
        TerminateProcess(process, 98);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
}

WithoutDesktopShell::WithoutDesktopShell() {
    DWORD pid = 0;
    if (const HWND shell = GetShellWindow())
        GetWindowThreadProcessId(shell, &pid);
    if (HANDLE process = pid ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid) : nullptr) {
        TerminateProcess(process, 98);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
    for (int i = 0; i < 100 && GetShellWindow(); ++i)
        Sleep(50);
    gone_ = GetShellWindow() == nullptr;
}

WithoutDesktopShell::~WithoutDesktopShell() {
    std::wstring line = L"\"" + fakes::FakesFolder() + L"\\fake_shell.exe\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    for (int i = 0; i < 200 && !GetShellWindow(); ++i)
        Sleep(50);
}

bool WithoutDesktopShell::Elevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    GetTokenInformation(token, TokenElevationType, &type, sizeof(type), &size);
    CloseHandle(token);
    return type == TokenElevationTypeFull;
}

int FreezeProgramsUnder(const std::wstring& folder, bool frozen) {
    const std::wstring prefix = folder + L"\\";
    std::vector<DWORD> found;
    for (const auto& [id, path] : Processes()) {
        if (StartsWithNoCase(path, prefix))
            found.push_back(id);
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (std::find(found.begin(), found.end(), entry.th32OwnerProcessID) == found.end())
            continue;
        if (HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)) {
            if (frozen)
                SuspendThread(thread);
            else
                ResumeThread(thread);
            CloseHandle(thread);
        }
    }
    CloseHandle(snapshot);
    return static_cast<int>(found.size());
}

std::vector<int> StagedPercentages(Program& patcher, HWND window, const std::wstring& patchPath, int holdAt) {
    const auto percent = [&] {
        const std::wstring status = Text(window, IDC_LBLSTATUS);
        const size_t at = status.find(L"\x2026 ");
        if (status.rfind(L"Preparing the update", 0) != 0 || at == std::wstring::npos)
            return -1;
        return static_cast<int>(std::wcstol(status.c_str() + at + 2, nullptr, 10));
    };
    std::vector<int> seen;
    std::wstring work;
    const bool caught = patcher.WaitUntil(
        [&] {
            work = WorkFolderFor(patchPath);
            if (percent() < 0 || work.empty())
                return false;
            work.pop_back();
            return FreezeProgramsUnder(work) == 1;
        },
        "the archiver staging the archive", 60000);
    for (int step = 0; caught && step < 600; ++step) {
        const int now = percent();
        if (now < 0)
            break;
        if (seen.empty() || seen.back() != now)
            seen.push_back(now);
        if (now >= holdAt || FreezeProgramsUnder(work, false) == 0)
            break;
        // Three readings show it rising; the rest goes at the archiver's own pace.
        if (holdAt > 100 && seen.size() >= 3)
            break;
        Sleep(100);
        FreezeProgramsUnder(work);
        patcher.WaitUntil([] { return true; }, "a look at the window");
    }
    return seen;
}

std::vector<ArchiveFile> ManyFiles(int count) {
    std::vector<ArchiveFile> files;
    for (int i = 0; i < count; ++i)
        files.push_back({L"data\\file" + std::to_wstring(i) + L".bin", Noise(16 << 10)});
    return files;
}

std::vector<std::string> RunLogLines(const std::wstring& path) {
    const std::string text = ReadFileBytes(path);
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            end = text.size();
        // "yyyy-mm-dd hh:mm:ss " in front of each line.
        lines.push_back(end - at > 20 ? text.substr(at + 20, end - at - 20) : std::string());
        at = end + 2;
    }
    return lines;
}

std::vector<std::wstring> WorkFoldersOf(const std::wstring& patchPath) {
    std::wstring name = patchPath.substr(patchPath.find_last_of(L"\\/") + 1);
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos)
        name.erase(dot);
    name = mApplyPatch::WorkFolderStem(name);
    std::vector<std::wstring> folders;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((TempPathLong() + name + L"_*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return folders;
    do {
        const std::wstring suffix = std::wstring(fd.cFileName).substr(name.size() + 1);
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !suffix.empty() &&
            suffix.find_first_not_of(L"0123456789abcdef") == std::wstring::npos)
            folders.push_back(TempPathLong() + fd.cFileName + L"\\");
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return folders;
}

std::wstring WorkFolderFor(const std::wstring& patchPath) {
    const std::vector<std::wstring> folders = WorkFoldersOf(patchPath);
    EXPECT_LE(folders.size(), 1u) << "work folders left behind";
    return folders.empty() ? std::wstring() : folders.front();
}

Tree TreeSnapshot(const std::wstring& root) {
    Tree tree;
    std::vector<std::wstring> pending{L""};
    while (!pending.empty()) {
        const std::wstring relative = pending.back();
        pending.pop_back();
        WIN32_FIND_DATAW fd;
        HANDLE find = FindFirstFileW((root + L"\\" + relative + L"*").c_str(), &fd);
        if (find == INVALID_HANDLE_VALUE)
            continue;
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                pending.push_back(relative + name + L"\\");
                tree[relative + name + L"\\"] = 0;  // an empty folder counts too
                continue;
            }
            // The attributes a file can be given count as part of it: an undo that loses them changes it.
            uint64_t hash =
                1469598103934665603ull ^
                (fd.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
            for (const unsigned char c : ReadFileBytes(root + L"\\" + relative + name))
                hash = (hash ^ c) * 1099511628211ull;
            tree[relative + name] = hash;
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    return tree;
}

std::string TreeDifferences(const Tree& before, const Tree& after) {
    std::string d;
    for (const auto& [path, hash] : before) {
        const auto it = after.find(path);
        if (it == after.end())
            d += " removed " + Utf8(path) + ";";
        else if (it->second != hash)
            d += " changed " + Utf8(path) + ";";
    }
    for (const auto& [path, hash] : after) {
        if (!before.count(path))
            d += " added " + Utf8(path) + ";";
    }
    return d;
}

void SetBackupKey(bool present) {
    if (present) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes\\OrvanaBackup", 0, nullptr, 0, KEY_WRITE,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    } else {
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Classes\\OrvanaBackup");
    }
}

Descriptor EnglishPatch() {
    Descriptor d;
    d.Strings = LanguageBlock(L"EN", TypicalTexts(false));
    return d;
}

HWND OpenPatcher(Program& patcher, const std::wstring& patchPath, const std::wstring& args) {
    if (!patcher.Start(patchPath, args))
        return nullptr;
    HWND window = patcher.WaitForDialogWith(IDC_CMDAPPLY);
    if (!window)
        return nullptr;
    if (!patcher.WaitUntil([&] { return Enabled(window, IDC_CMDAPPLY); }, "the apply button to be enabled"))
        return nullptr;
    return window;
}

}  // namespace e2e
