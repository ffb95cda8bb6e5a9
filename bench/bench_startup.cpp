// Start-up of a patch that carries a 100 MB archive, with the fake menu running so that the window comes
// without a box: the time from process start to the window shown and idle, beside the same for a minimal
// dialog program built with the same compilers, rounds interleaved so that both meet the same load. Then
// the bytes the patcher's process read by then (its I/O counters): start-up reads the trailer and the
// descriptor, never the archive, so they stay far below the archive's size.
//
// Usage: bench_startup.exe [rounds]      (default 9; the median is printed)
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/bench_support.h"
#include "container/patch_file_win.h"
#include "patcher/frm_main_ids.h"
#include "support/file_system_win.h"
#include "support/handles_win.h"

namespace {

using namespace bench;

constexpr double kTargetRatio = 1.5;
constexpr double kMaxReadBytes = 1024.0 * 1024.0;

// A file that tells no size (those under /proc), read to its end.
std::string ReadUnsized(const std::wstring& path) {
    UniqueFile f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::string bytes;
    char buf[4096];
    DWORD got = 0;
    while (f && ReadFile(f.get(), buf, sizeof(buf), &got, nullptr) && got > 0)
        bytes.append(buf, got);
    return bytes;
}

// Wine keeps no I/O counters. There the Linux process's own count stands in: "rchar" of /proc/<pid>/io,
// every byte its read calls returned, found by the process name Wine gives it (the file name, cut to 15
// characters). It counts the messages from the wine server too, so it is an upper bound of the file reads.
double LinuxReadChars(const std::wstring& exe) {
    const std::string name = Utf8(exe.substr(exe.find_last_of(L'\\') + 1)).substr(0, 15);
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &found);
    double chars = -1;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        if (found.cFileName[0] < L'0' || found.cFileName[0] > L'9')
            continue;
        const std::wstring dir = std::wstring(L"Z:\\proc\\") + found.cFileName;
        std::string comm = ReadUnsized(dir + L"\\comm");
        if (!comm.empty() && comm.back() == '\n')
            comm.pop_back();
        if (comm != name)
            continue;
        const std::string io = ReadUnsized(dir + L"\\io");
        const size_t at = io.find("rchar: ");
        if (at != std::string::npos)
            chars = std::strtod(io.c_str() + at + 7, nullptr);
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    return chars;
}

struct Start {
    double ms = -1;
    double readBytes = -1;
    bool counted = false;  // by the system's I/O counters, not the Linux stand-in
};

// Starts `exe`, waits until `ready` holds for one of its visible windows and the process waits for input,
// then reads its I/O counters and closes the window.
Start TimeStart(const std::wstring& exe, const std::function<bool(HWND)>& ready) {
    Start result;
    std::wstring cmd = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    const double t0 = NowMs();
    if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return result;
    ProcessInfo process(pi);
    HWND window = WaitForWindow(pi.dwProcessId, ready, 30000);
    if (window && WaitForInputIdle(process.process.get(), 30000) == 0)
        result.ms = NowMs() - t0;
    IO_COUNTERS io{};
    result.counted = GetProcessIoCounters(process.process.get(), &io) && io.ReadOperationCount > 0;
    if (result.counted)
        result.readBytes = static_cast<double>(io.ReadTransferCount);
    else
        result.readBytes = LinuxReadChars(exe);
    if (window)
        PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.process.get(), 20000) != WAIT_OBJECT_0) {
        TerminateProcess(process.process.get(), 1);
        result.ms = -1;  // a box or a hang: not a clean start
    }
    return result;
}

bool MakePatch(const std::wstring& base, const std::wstring& sevenZip, const std::wstring& patch) {
    // 100 MB that do not compress, stored: the archive is as large as its content.
    const std::wstring staging = base + L"\\staging";
    mGlobal::MakePath(staging);
    std::string block(1 << 20, '\0');
    uint32_t x = 12345;
    UniqueFile big(CreateFileW((staging + L"\\big.dat").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    for (int mb = 0; mb < 100 && big; ++mb) {
        for (char& c : block) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 24);
        }
        DWORD written = 0;
        WriteFile(big.get(), block.data(), static_cast<DWORD>(block.size()), &written, nullptr);
    }
    big.reset();
    const std::wstring archive = base + L"\\data.7z";
    if (Run(L"\"" + sevenZip + L"\\7z.exe\" a -mx=0 \"" + archive + L"\" big.dat", staging) != 0) {
        std::printf("packing failed\n");
        return false;
    }
    KillTree(staging);
    const std::string descriptor =
        "<ORVPatch><ExtractPath></ExtractPath>\r\n<ORVVersion>5.9</ORVVersion>\r\n<ORVPatchNeeded>20141104134857"
        "</ORVPatchNeeded>\r\n<PatchVersion>20141114055922</PatchVersion>\r\n<PatchLang/><UpdateInfo>bench"
        "</UpdateInfo>\r\n<Strings><EN><Title>Update</Title><OrvFound>Found in:</OrvFound><Apply>Apply</Apply>"
        "<Cancel>Cancel</Cancel></EN></Strings>\r\n</ORVPatch>\r\n";
    const std::string archiveBytes = ReadAll(archive);
    std::printf("archive %.1f MB\n", static_cast<double>(archiveBytes.size()) / 1048576.0);
    return WriteAll(patch,
                    mGlobal::BuildPatch(ReadAll(Env(L"OV_BUILD_DIR") + L"\\OVPatcher.exe"), archiveBytes, descriptor));
}

}  // namespace

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const int rounds = argc > 1 ? _wtoi(argv[1]) : 9;
    LocalFree(argv);

    const std::wstring base = mGlobal::GetTempFolder() + L"ov bench startup";
    KillTree(base);
    Installation orvana;
    const std::wstring patch = base + L"\\orv bench.exe";
    if (!MakeInstallation(base + L"\\Orvana b\u00e9nch", orvana) || !MakePatch(base, orvana.sevenZip, patch))
        return 1;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring menuCmd = L"\"" + orvana.menu + L"\"";
    if (!CreateProcessW(orvana.menu.c_str(), menuCmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 1;
    ProcessInfo menu(pi);
    WaitForWindow(
        pi.dwProcessId, [](HWND) { return true; }, 10000);

    const std::wstring reference = Env(L"OV_BUILD_DIR") + L"\\bench\\min_dialog.exe";
    const auto patcherReady = [](HWND w) { return IsDialog(w) && GetDlgItem(w, IDC_CMDAPPLY); };
    const auto dialogReady = [](HWND w) { return IsDialog(w); };
    std::vector<double> patcherMs, dialogMs, readBytes, dialogReadBytes;
    bool counted = true;
    for (int round = 0; round < rounds; ++round) {
        const Start p = TimeStart(patch, patcherReady);
        const Start d = TimeStart(reference, dialogReady);
        std::printf("round %d: patcher %.0f ms (read %.0f bytes), minimal dialog %.0f ms (read %.0f bytes)\n",
                    round + 1, p.ms, p.readBytes, d.ms, d.readBytes);
        if (p.ms < 0 || d.ms < 0) {
            std::printf("a start did not end in a window waiting for input\n");
            EndProgramsUnder(orvana.root);
            return 1;
        }
        patcherMs.push_back(p.ms);
        dialogMs.push_back(d.ms);
        readBytes.push_back(p.readBytes);
        dialogReadBytes.push_back(d.readBytes);
        counted = counted && p.counted;
    }
    const double ratio = Median(patcherMs) / Median(dialogMs);
    std::printf("median of %d: patcher %.0f ms, minimal dialog %.0f ms, ratio %.2f (target at most %.1f)\n", rounds,
                Median(patcherMs), Median(dialogMs), ratio, kTargetRatio);
    if (counted) {
        std::printf("bytes the patcher's start-up read: median %.0f (target under %.0f)\n", Median(readBytes),
                    kMaxReadBytes);
    } else {
        // Wine's own start of a process reads its libraries with read calls; the reference pays that too.
        std::printf(
            "bytes read (Linux count, Wine's own loading included): patcher median %.0f, minimal dialog "
            "median %.0f; the patcher's own %.0f (target under %.0f)\n",
            Median(readBytes), Median(dialogReadBytes), Median(readBytes) - Median(dialogReadBytes), kMaxReadBytes);
    }
    EndProgramsUnder(orvana.root);
    KillTree(base);
    return 0;
}
