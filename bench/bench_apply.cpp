// Applies a patch whose archive holds 2,000 files (about 100 MB) to a throw-away installation where only
// the fake menu runs and nine files in ten already exist, and prints the apply's time (from the press on
// the apply button to the success box: staging, journal, swap and record included) beside the archiver
// extracting the same archive into the same folder on its own, round by round, with the medians. Then it
// replays the apply's steps one by one in this process, with the same routines the program uses, to show
// where the time goes.
//
// Usage: bench_apply.exe [files] [kilobytes per file]      (default 2000 files of 50 KB)
// Needs OV_7Z_DIR (real 7z.exe + 7z.dll) and OV_BUILD_DIR (OVPatcher.exe, fakes\), as the tests have.
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "appclose/app_close_win.h"
#include "appclose/app_list_win.h"
#include "appclose/wildcard.h"
#include "container/patch_container.h"
#include "container/patch_file_win.h"
#include "install/install_win.h"
#include "patcher/apply.h"
#include "patcher/frm_main_ids.h"
#include "process/sevenzip_win.h"
#include "process/shell_exec_win.h"
#include "support/file_system_win.h"
#include "support/handles_win.h"

#include "common/bench_support.h"

namespace {

using namespace bench;

struct Setup {
    std::wstring base;      // everything lives here
    std::wstring root;      // installation
    std::wstring patch;     // patch file
    std::wstring archive;   // the archive alone
    std::wstring menu;      // the fake menu inside the installation
    std::wstring sevenZip;  // the real archiver's folder
    std::wstring product;   // OVPatcher.exe
};

bool Prepare(Setup& s, int files, int kb) {
    const std::wstring build = Env(L"OV_BUILD_DIR");
    s.product = build + L"\\OVPatcher.exe";
    s.base = mGlobal::GetTempFolder() + L"ov bench apply";
    KillTree(s.base);
    const std::wstring staging = s.base + L"\\staging";
    Installation installation;
    if (!MakeInstallation(s.base + L"\\Orvana b\u00e9nch", installation))
        return false;
    s.root = installation.root;
    s.menu = installation.menu;
    s.sevenZip = installation.sevenZip;

    // Files that compress about as well as a suite's programs and documents do (roughly half).
    uint32_t x = 12345;
    std::string block(static_cast<size_t>(kb) * 1024, '\0');
    for (int i = 0; i < files; ++i) {
        for (size_t j = 0; j < block.size(); ++j) {
            x = x * 1103515245u + 12345u;
            block[j] = (j & 1) ? static_cast<char>(x >> 24) : static_cast<char>('a' + (j % 7));
        }
        const std::wstring folder = staging + L"\\Apps\\App" + std::to_wstring(i % 40);
        mGlobal::MakePath(folder);
        WriteAll(folder + L"\\file" + std::to_wstring(i) + L".dat", block);
    }
    s.archive = s.base + L"\\data.7z";
    const double t0 = NowMs();
    if (Run(L"\"" + s.sevenZip + L"\\7z.exe\" a -mx=1 \"" + s.archive + L"\" Apps", staging) != 0) {
        std::printf("packing failed\n");
        return false;
    }
    std::printf("packed %d files of %d KB in %.0f ms; archive %.1f MB\n", files, kb, NowMs() - t0,
                static_cast<double>(ReadAll(s.archive).size()) / 1048576.0);
    KillTree(staging);

    const std::string descriptor =
        "<ORVPatch><ExtractPath></ExtractPath><ORVVersion>5.9</ORVVersion><ORVPatchNeeded>20141104134857"
        "</ORVPatchNeeded><PatchVersion>20141114055922</PatchVersion><PatchLang/><UpdateInfo>bench</UpdateInfo>"
        "<Strings><EN><Title>T</Title><Apply>Apply</Apply><Cancel>Cancel</Cancel><UpdateDone>Update successful"
        "</UpdateDone><ExtractError>x</ExtractError><OrvStillRunning>r</OrvStillRunning></EN></Strings></ORVPatch>\r\n";
    s.patch = s.base + L"\\orv bench.exe";
    if (!WriteAll(s.patch, mGlobal::BuildPatch(ReadAll(s.product), ReadAll(s.archive), descriptor))) {
        std::printf("cannot write the patch\n");
        return false;
    }
    return true;
}

std::wstring FreshDestination(const Setup& s) {
    // Same folder as the apply extracts into: the installation root, holding nine in ten of the archive's
    // files already (an update replaces far more than it adds).
    KillTree(s.root + L"\\Apps");
    KillTree(mInstall::InstallWorkFolder(s.root));
    Run(L"\"" + s.sevenZip + L"\\7z.exe\" x -y -r -o\"" + s.root + L"\" \"" + s.archive + L"\"");
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW fd;
    for (int app = 0; app < 40; ++app) {
        const std::wstring folder = s.root + L"\\Apps\\App" + std::to_wstring(app) + L"\\";
        UniqueFind find(FindFirstFileW((folder + L"*.dat").c_str(), &fd));
        if (!find)
            continue;
        int n = 0;
        do {
            if (++n % 10 == 0)
                files.push_back(folder + fd.cFileName);
        } while (FindNextFileW(find.get(), &fd));
    }
    for (const std::wstring& file : files)
        DeleteFileW(file.c_str());
    return s.root;
}

double TimeDirect(const Setup& s) {
    const std::wstring dest = FreshDestination(s);
    const double t0 = NowMs();
    Run(L"\"" + s.sevenZip + L"\\7z.exe\" x -y -r -o\"" + dest + L"\\\" \"" + s.archive + L"\" \"*.*\"");
    return NowMs() - t0;
}

// The whole apply through the real program. Returns ms from the press to the success box, or -1.
double TimeRealApply(const Setup& s) {
    FreshDestination(s);
    // The previous round recorded this patch: the installation must look unpatched again.
    WriteAll(s.root + L"\\OrvanaTools\\version.ver", kVersionFile);
    EndProgramsUnder(s.root);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring menuCmd = L"\"" + s.menu + L"\"";
    if (!CreateProcessW(s.menu.c_str(), menuCmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    ProcessInfo menu(pi);
    WaitForWindow(
        pi.dwProcessId, [](HWND) { return true; }, 10000);

    std::wstring cmd = L"\"" + s.patch + L"\"";
    PROCESS_INFORMATION ppi{};
    if (!CreateProcessW(s.patch.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &ppi))
        return -1;
    ProcessInfo patcher(ppi);
    HWND window = WaitForWindow(
        ppi.dwProcessId, [](HWND w) { return IsDialog(w) && GetDlgItem(w, IDC_CMDAPPLY); }, 30000);
    if (!window) {
        std::printf("the patcher's window did not show\n");
        return -1;
    }
    const ULONGLONG end = GetTickCount64() + 10000;
    while (!IsWindowEnabled(GetDlgItem(window, IDC_CMDAPPLY)) && GetTickCount64() < end)
        Sleep(5);
    const double t0 = NowMs();
    PostMessageW(GetDlgItem(window, IDC_CMDAPPLY), BM_CLICK, 0, 0);
    // Polled every 20 ms, at a cost of 10 ms of resolution on average: polled every millisecond, the wait
    // kept the wine server busy and slowed the extraction and the renames it was timing by 0.5 to 1 s.
    HWND box = WaitForWindow(
        ppi.dwProcessId, [&](HWND w) { return w != window && IsDialog(w); }, 600000, 20);
    const double elapsed = NowMs() - t0;
    if (!box) {
        std::printf("no box after the apply\n");
        return -1;
    }
    const std::wstring text = TextOf(GetDlgItem(box, 0xFFFF));
    if (text != L"Update successful")
        std::printf("unexpected box: %s\n", Utf8(text).c_str());
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    WaitForSingleObject(patcher.process.get(), 20000);
    // The menu was restarted; end it before the next round, which starts its own.
    WaitForSingleObject(menu.process.get(), 5000);
    const ULONGLONG restartDeadline = GetTickCount64() + 10000;
    for (;;) {
        std::wstring first;
        if (mAppClose::IsAppRunning(mAppClose::EscapeWildcard(s.menu), first) || GetTickCount64() > restartDeadline)
            break;
        Sleep(20);
    }
    EndProgramsUnder(s.root);
    return text == L"Update successful" ? elapsed : -1;
}

// The apply's steps replayed with the program's own routines.
void Breakdown(const Setup& s) {
    FreshDestination(s);
    EndProgramsUnder(s.root);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring menuCmd = L"\"" + s.menu + L"\"";
    CreateProcessW(s.menu.c_str(), menuCmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    ProcessInfo menu(pi);
    WaitForWindow(
        pi.dwProcessId, [](HWND) { return true; }, 10000);

    struct Step {
        std::string name;
        double ms;
    };
    std::vector<Step> steps;
    auto timed = [&](const std::string& name, const std::function<void()>& f) {
        const double t0 = NowMs();
        f();
        steps.push_back({name, NowMs() - t0});
    };
    const std::wstring work = mApplyPatch::WorkFolder(mGlobal::GetTempFolder(), L"orv bench", 1);
    c7z zip;
    mInstall::StagedSwap swap(s.root);
    timed("work folder + 7z.exe/7z.dll copies", [&] {
        mGlobal::MakePath(work);
        CopyFileW((s.root + L"\\OrvanaTools\\Installer\\7z.exe").c_str(), (work + L"7z.exe").c_str(), FALSE);
        CopyFileW((s.root + L"\\OrvanaTools\\Installer\\7z.dll").c_str(), (work + L"7z.dll").c_str(), FALSE);
    });
    zip.SetPath7zip(work + L"7z.exe");
    timed("archive copy to patch.dat", [&] { mGlobal::ExtractPatchData(work + L"patch.dat", 1, s.patch); });
    zip.SetFileName(work + L"patch.dat");
    timed("one listing of everything", [&] { zip.GetFileList(mApplyPatch::kListingMask, true); });
    // The archiver's own time: TimeDirect first prepares the destination with an extraction of its own.
    steps.push_back({"(for comparison: 7z x run directly)", TimeDirect(s)});
    FreshDestination(s);
    timed("staging: extraction (driver)", [&] {
        const std::wstring staging = mInstall::StagingFolder(s.root);
        swap.PrepareStaging();
        zip.Extract(L"*.*", staging.substr(0, staging.size() - 1), L"");
    });
    timed("flush of the staged files", [&] { swap.FlushStaged(); });
    timed("journal begun", [&] { swap.Begin(L""); });
    timed("closing the menu", [&] {
        mAppClose2::CloseApps(mAppClose::EscapeWildcard(s.menu), false, L"ThunderRT6FormDC", L"*Orvana*", true);
    });
    timed("plan and journal", [&] { swap.WritePlan(L""); });
    timed("swap", [&] { swap.Swap(); });
    timed("record beside the old one", [&] {
        swap.StageRecord(s.root + L"\\OrvanaTools\\version.ver", L"<OrvanaVersion>\r\n</OrvanaVersion>\r\n");
    });
    timed("record into place, commit", [&] { swap.Commit(); });
    timed("(after the box) staging, backup removal", [&] { swap.Clear(); });
    timed("restart of the menu", [&] { mGlobal::ShellEx(s.menu, 1, L"/updated"); });
    timed("work folder removal", [&] { KillTree(work); });
    double total = 0;
    for (const Step& st : steps) {
        std::printf("  %-40s %9.0f ms\n", st.name.c_str(), st.ms);
        if (st.name[0] != '(')
            total += st.ms;
    }
    std::printf("  %-40s %9.0f ms\n", "sum of the steps", total);
    EndProgramsUnder(s.root);
}

}  // namespace

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const int files = argc > 1 ? _wtoi(argv[1]) : 2000;
    const int kb = argc > 2 ? _wtoi(argv[2]) : 50;
    LocalFree(argv);
    Setup s;
    if (!Prepare(s, files, kb))
        return 1;

    constexpr int kRounds = 5;
    std::vector<double> direct, applied, ratios;
    for (int round = 0; round < kRounds; ++round) {
        direct.push_back(TimeDirect(s));
        applied.push_back(TimeRealApply(s));
        ratios.push_back(applied.back() / direct.back());
        std::printf("round %d: 7z x %.0f ms, apply %.0f ms, ratio %.2f\n", round + 1, direct.back(), applied.back(),
                    ratios.back());
    }
    std::sort(direct.begin(), direct.end());
    std::sort(applied.begin(), applied.end());
    // On a loaded machine the two sides of one round meet the same load; their ratio varies less.
    std::sort(ratios.begin(), ratios.end());
    std::printf("median of the rounds' ratios: %.2f\n", ratios[kRounds / 2]);
    const double d = direct[kRounds / 2], a = applied[kRounds / 2];
    std::printf("median of %d: 7z x %.0f ms, apply %.0f ms, ratio %.2f\n", kRounds, d, a, a / d);
    std::printf("breakdown (the apply's steps replayed in this process):\n");
    Breakdown(s);
    KillTree(s.base);
    return 0;
}
