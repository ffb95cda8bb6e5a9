#include "process/shell_pipe_win.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "process/process_test_support_win.h"
#include "support/pump_win.h"

namespace {

using proctest::ChildCommand;
using proctest::PumpUntil;

constexpr DWORD kDeadlineMs = 20000;
const std::wstring kPumpMark = L"|";

// Records the runner's events in order, with a mark between two rounds of window events, so that
// two events without a mark between them came from the same tick.
struct Recorder {
    std::vector<std::wstring> events;
    std::wstring output;
    int dataEvents = 0;
    bool finished = false;

    void Attach(cShellPipe& pipe) {
        pipe.DataStream = [this](std::wstring& data) {
            events.push_back(L"data:" + data);
            output += data;
            ++dataEvents;
        };
        pipe.OnFinish = [this] {
            events.push_back(L"finish");
            finished = true;
        };
    }
    bool WaitFinish() {
        return PumpUntil(
            [this] {
                if (!events.empty() && events.back() != kPumpMark)
                    events.push_back(kPumpMark);
                return finished;
            },
            kDeadlineMs);
    }
};

std::wstring Ansi(const std::string& bytes) {
    const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
    return out;
}

// Whether the runner's temporary output files are gone from the temporary folder. The child's end of one
// closes a moment after the child has ended, so this waits for it.
bool OutputFilesGone() {
    wchar_t folder[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, folder);
    const std::wstring pattern = std::wstring(folder) + L"ovo*.tmp";
    return PumpUntil(
        [&] {
            WIN32_FIND_DATAW fd;
            HANDLE find = FindFirstFileW(pattern.c_str(), &fd);
            if (find == INVALID_HANDLE_VALUE)
                return true;
            FindClose(find);
            return false;
        },
        kDeadlineMs);
}

TEST(ShellPipe, SilentChildFinishesWithoutData) {
    cShellPipe pipe;
    Recorder rec;
    rec.Attach(pipe);
    ASSERT_TRUE(pipe.ShellExecPipeAsync(ChildCommand(L"silent"), false));
    ASSERT_TRUE(rec.WaitFinish());
    EXPECT_EQ(rec.dataEvents, 0);
    EXPECT_EQ(std::count(rec.events.begin(), rec.events.end(), L"finish"), 1);
}

// Waits, without letting window events run (so without ticks), until every child copy of this
// program has ended. (The system may run helpers of its own as children too.)
bool WaitForChildrenWithoutTicks() {
    const std::wstring self = proctest::SelfPath();
    const std::wstring selfName = self.substr(self.find_last_of(L'\\') + 1);
    const ULONGLONG deadline = GetTickCount64() + kDeadlineMs;
    for (;;) {
        bool running = false;
        HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
            if (entry.th32ParentProcessID != GetCurrentProcessId() || lstrcmpiW(entry.szExeFile, selfName.c_str()))
                continue;
            HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
            if (child) {
                running |= WaitForSingleObject(child, 10) == WAIT_TIMEOUT;
                CloseHandle(child);
            }
        }
        CloseHandle(snap);
        if (!running)
            return true;
        if (GetTickCount64() > deadline)
            return false;
    }
}

TEST(ShellPipe, OutputLeftAtTheEndComesInTheFinishingTick) {
    struct Case {
        const char* what;
        std::wstring args;
        std::wstring output;
    };
    const std::vector<Case> cases = {
        {"one write", L"hex 68656c6c6f0d0a", L"hello\r\n"},
        {"two writes apart", L"hex 6669727374 200 7365636f6e64", L"firstsecond"},
        {"only the standard output is seen", L"err-and-out", L"to-stdout\r\n"},
    };
    for (const auto& c : cases) {
        cShellPipe pipe;
        Recorder rec;
        rec.Attach(pipe);
        ASSERT_TRUE(pipe.ShellExecPipeAsync(ChildCommand(c.args), false)) << c.what;
        ASSERT_TRUE(WaitForChildrenWithoutTicks()) << c.what;
        ASSERT_TRUE(rec.WaitFinish()) << c.what;
        EXPECT_EQ(rec.events.front(), L"data:" + c.output) << c.what << ": all of it in one piece";
        EXPECT_EQ(rec.events.at(1), L"finish") << c.what << ": in the same tick";
    }
}

TEST(ShellPipe, NothingComesAfterTheEnd) {
    cShellPipe pipe;
    Recorder rec;
    rec.Attach(pipe);
    ASSERT_TRUE(pipe.ShellExecPipeAsync(ChildCommand(L"hex 6669727374 300 7365636f6e64"), false));
    ASSERT_TRUE(rec.WaitFinish());
    EXPECT_EQ(rec.output, L"firstsecond");
    const ULONGLONG quietUntil = GetTickCount64() + 300;
    PumpUntil([&] { return GetTickCount64() > quietUntil; }, 1000);
    while (!rec.events.empty() && rec.events.back() == kPumpMark)
        rec.events.pop_back();
    EXPECT_EQ(rec.events.back(), L"finish");
    EXPECT_EQ(std::count(rec.events.begin(), rec.events.end(), L"finish"), 1);
}

TEST(ShellPipe, OutputIsAnsiTextNotUtf8) {
    // "é" in the ANSI code page, then the UTF-8 bytes of "é": both are taken as ANSI bytes.
    const std::string bytes = "\xE9-\xC3\xA9";
    cShellPipe pipe;
    Recorder rec;
    rec.Attach(pipe);
    ASSERT_TRUE(pipe.ShellExecPipeAsync(ChildCommand(L"hex e92dc3a9"), false));
    ASSERT_TRUE(rec.WaitFinish());
    EXPECT_EQ(rec.output, Ansi(bytes));
    EXPECT_EQ(rec.output.size(), 4u);
}

TEST(ShellPipe, TalkativeChildLosesNothing) {
    // Far more than one read takes, and than a pipe holds between two ticks: nothing is lost.
    const size_t n = 600 * 1024 + 17;
    std::wstring expected;
    for (unsigned line = 0; expected.size() < n; ++line)
        expected += L"line " + std::to_wstring(line) + L"\r\n";
    expected.resize(n);

    cShellPipe pipe;
    Recorder rec;
    rec.Attach(pipe);
    ASSERT_TRUE(pipe.ShellExecPipeAsync(ChildCommand(L"big " + std::to_wstring(n)), false));
    ASSERT_TRUE(rec.WaitFinish());
    EXPECT_TRUE(rec.output == expected) << "got " << rec.output.size() << " characters";
}

// A child that reads its input (the archiver asking for a password) meets its end instead of waiting for ever.
TEST(ShellPipe, ChildInputIsAtEndOfFile) {
    cShellPipe pipe;
    Recorder rec;
    rec.Attach(pipe);
    ASSERT_TRUE(pipe.ShellExecPipeAsync(ChildCommand(L"echo"), false));
    ASSERT_TRUE(rec.WaitFinish());
    EXPECT_EQ(rec.output, L"got:\n");
}

TEST(ShellPipe, BusyRunnerRefusesAndKeepsItsRun) {
    cShellPipe pipe;
    Recorder rec;
    rec.Attach(pipe);
    ASSERT_TRUE(pipe.ShellExecPipeAsync(ChildCommand(L"hex 6f6e65 300 74776f"), false));
    EXPECT_FALSE(pipe.ShellExecPipeAsync(ChildCommand(L"hex 78"), false));
    EXPECT_FALSE(pipe.ShellExecAsync(ChildCommand(L"silent"), false));
    ASSERT_TRUE(rec.WaitFinish());
    EXPECT_EQ(rec.output, L"onetwo");
    EXPECT_EQ(std::count(rec.events.begin(), rec.events.end(), L"finish"), 1);
}

TEST(ShellPipe, RunnerIsReusableAndDoesNotKeepOldHandles) {
    cShellPipe pipe;
    Recorder rec;
    rec.Attach(pipe);

    // A failed start leaves the runner idle and usable.
    EXPECT_FALSE(pipe.ShellExecPipeAsync(L"\"C:\\no such folder\\nothing.exe\" x", false));

    DWORD handlesAfterFirst = 0;
    for (int run = 0; run < 6; ++run) {
        rec = Recorder();
        rec.Attach(pipe);
        ASSERT_TRUE(pipe.ShellExecPipeAsync(ChildCommand(L"hex 4f4b"), false)) << run;
        ASSERT_TRUE(rec.WaitFinish()) << run;
        EXPECT_EQ(rec.output, L"OK") << run;
        DWORD handles = 0;
        GetProcessHandleCount(GetCurrentProcess(), &handles);
        if (run == 0)
            handlesAfterFirst = handles;
        else
            EXPECT_LE(handles, handlesAfterFirst + 2) << "handles pile up from run to run";
    }
    EXPECT_TRUE(OutputFilesGone()) << "the output of a finished run is not deleted";

    // The same object also runs without pipes: only the end is reported.
    rec = Recorder();
    rec.Attach(pipe);
    ASSERT_TRUE(pipe.ShellExecAsync(ChildCommand(L"hex 4f4b"), false));
    ASSERT_TRUE(rec.WaitFinish());
    EXPECT_EQ(rec.dataEvents, 0);
}

TEST(ShellPipe, DestroyingTheRunnerEndsTheChild) {
    auto pipe = std::make_unique<cShellPipe>();
    Recorder rec;
    rec.Attach(*pipe);
    ASSERT_TRUE(pipe->ShellExecPipeAsync(ChildCommand(L"pid-then-wait"), false));
    ASSERT_TRUE(PumpUntil([&] { return rec.output.find(L"\r\n") != std::wstring::npos; }, kDeadlineMs));
    const DWORD pid = std::wcstoul(rec.output.substr(4).c_str(), nullptr, 10);
    HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    ASSERT_NE(child, nullptr);
    // While it runs, no other program can write into its output, nor delete or rename it.
    wchar_t folder[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, folder);
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((std::wstring(folder) + L"ovo*.tmp").c_str(), &fd);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    const std::wstring output = std::wstring(folder) + fd.cFileName;
    for (const DWORD access : {static_cast<DWORD>(GENERIC_WRITE), static_cast<DWORD>(DELETE)}) {
        HANDLE other = CreateFileW(output.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(other, INVALID_HANDLE_VALUE) << access;
        if (other != INVALID_HANDLE_VALUE)
            CloseHandle(other);
    }
    EXPECT_FALSE(MoveFileW(output.c_str(), (output + L".moved").c_str()));
    pipe.reset();
    EXPECT_EQ(WaitForSingleObject(child, kDeadlineMs), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(child, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(child);
    EXPECT_FALSE(rec.finished);
    EXPECT_TRUE(OutputFilesGone()) << "its output file is left";
}

TEST(TimeOut, TicksThenTimesOutOnceAndStops) {
    cTimeOut timer;
    std::vector<float> ticks;
    int timeOuts = 0;
    timer.Tick = [&](float elapsed) { ticks.push_back(elapsed); };
    timer.TimeOut = [&] { ++timeOuts; };
    timer.SetTickIntervall(100);
    timer.SetTimeOutIntervall(3);
    EXPECT_FALSE(timer.Enabled());

    const ULONGLONG start = GetTickCount64();
    timer.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return timeOuts > 0; }, kDeadlineMs));
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(ticks, (std::vector<float>{0.0f, 1.0f, 2.0f}));
    EXPECT_GE(elapsed, 350u);  // four intervals, with a little slack for the timer's granularity
    EXPECT_FALSE(timer.Enabled());

    // Stays quiet afterwards.
    const ULONGLONG quietUntil = GetTickCount64() + 350;
    PumpUntil([&] { return GetTickCount64() > quietUntil; }, 1000);
    EXPECT_EQ(ticks.size(), 3u);
    EXPECT_EQ(timeOuts, 1);
}

TEST(TimeOut, EnablingAndResetStartTheCountAgain) {
    cTimeOut timer;
    std::vector<float> ticks;
    timer.Tick = [&](float elapsed) { ticks.push_back(elapsed); };
    timer.SetTickIntervall(30);
    timer.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return ticks.size() >= 3; }, kDeadlineMs));

    timer.Reset();
    EXPECT_TRUE(timer.Enabled());
    const size_t afterReset = ticks.size();
    ASSERT_TRUE(PumpUntil([&] { return ticks.size() > afterReset; }, kDeadlineMs));
    EXPECT_EQ(ticks[afterReset], 0.0f);

    timer.SetEnabled(false);
    ASSERT_TRUE(PumpUntil([&] { return true; }, 0));
    const size_t beforeRestart = ticks.size();
    timer.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return ticks.size() > beforeRestart + 1; }, kDeadlineMs));
    EXPECT_EQ(ticks[beforeRestart], 0.0f);
    EXPECT_EQ(ticks[beforeRestart + 1], 1.0f);
    EXPECT_EQ(timer.TickIntervall(), 30);
}

TEST(TimeOut, TickDoesNotReenterWhileWindowEventsRun) {
    cTimeOut timer;
    int depth = 0;
    int maxDepth = 0;
    int ticks = 0;
    timer.Tick = [&](float) {
        ++depth;
        ++ticks;
        maxDepth = std::max(maxDepth, depth);
        if (ticks == 1) {
            const ULONGLONG until = GetTickCount64() + 200;
            while (GetTickCount64() < until)
                SleepAndPump(5);
        }
        --depth;
    };
    timer.SetTickIntervall(20);
    timer.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 3; }, kDeadlineMs));
    EXPECT_EQ(maxDepth, 1);
}

}  // namespace
