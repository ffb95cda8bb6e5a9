#include "process/shell_exec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

TEST(ShellExecStyles, CodesMapToShowCommands) {
    const std::vector<std::pair<int32_t, int>> table = {
        {0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 0}, {6, 7}, {7, 0}, {-1, 0}, {10, 0},
    };
    for (const auto& [code, show] : table)
        EXPECT_EQ(mSyncShell::ShowCommandForWindowStyle(code), show) << code;
}

TEST(ShellExecPrograms, BareNamesAreFoundOnlyInFullySpelledFolders) {
    const std::vector<std::pair<std::wstring, std::wstring>> programs = {
        {L"cmd /c del x", L"cmd"},
        {L"  regsvr32.exe\t/s \"a b.dll\"", L"regsvr32.exe"},
        {L"\"C:\\Orv ana\\post.exe\" /x", L"C:\\Orv ana\\post.exe"},
        {L"\"my tool\" /x", L"my tool"},
        {L"\"unclosed", L"unclosed"},
        {L"", L""},
    };
    for (const auto& [command, program] : programs)
        EXPECT_EQ(mSyncShell::CommandProgram(command), program) << command;

    EXPECT_TRUE(mSyncShell::IsBareProgramName(L"cmd"));
    EXPECT_TRUE(mSyncShell::IsBareProgramName(L"my tool.exe"));
    for (const wchar_t* named : {L"C:\\x\\cmd.exe", L"..\\cmd", L"sub/cmd", L"C:cmd", L"\\\\srv\\s\\c.exe", L""})
        EXPECT_FALSE(mSyncShell::IsBareProgramName(named)) << named;

    // Empty and relative entries of PATH ("." is the current folder) are left out.
    EXPECT_EQ(mSyncShell::ProgramSearchFolders(L"C:\\windows\\system32", L"C:\\windows",
                                               L"C:\\bin;;.;tools;\"C:\\Program Files\\x\";\\\\srv\\share;"),
              L"C:\\windows\\system32;C:\\windows;C:\\bin;C:\\Program Files\\x;\\\\srv\\share");
}

// A fake child and clock: the clock moves by `step` ms per sleep and the child reports
// "still active" for its first `activeReads` reads, then `exitCode`.
struct FakeWorld {
    uint32_t clock = 0;
    uint32_t step = 10;
    int activeReads = 0;
    uint32_t exitCode = 0;
    int reads = 0;
    int pumps = 0;

    mSyncShell::WaitHooks Hooks() {
        return {
            [this](uint32_t& code) {
                code = reads++ < activeReads ? mSyncShell::kStillActive : exitCode;
                return true;
            },
            [this] { ++pumps; },
            [this](uint32_t) { clock += step; },
            [this] { return clock; },
        };
    }
};

TEST(ShellWaitLoop, EndsOnExitOrLimit) {
    struct Case {
        const char* what;
        uint32_t startClock;
        uint32_t step;
        int activeReads;
        uint32_t exitCode;
        int32_t limit;
        bool result;
        int reads;
    };
    const std::vector<Case> cases = {
        {"ends at once", 1000, 10, 0, 0, 5000, true, 1},
        {"ends with an error code", 1000, 10, 0, 3, 5000, true, 1},
        {"runs a while", 1000, 10, 5, 0, 5000, true, 6},
        {"still-active exit code waits for the limit", 1000, 10, 1000, 259, 100, false, 11},
        {"zero limit times out on the first step", 1000, 10, 1000, 0, 0, false, 1},
        {"negative limit times out on the first step", 1000, 10, 1000, 0, -5, false, 1},
        {"clock wrap does not end the wait early", 0xFFFFFFF0u, 10, 20, 0, 1000, true, 21},
        {"clock wrap still times out", 0xFFFFFFF0u, 10, 1000, 0, 100, false, 11},
    };
    for (const auto& c : cases) {
        FakeWorld w;
        w.clock = c.startClock;
        w.step = c.step;
        w.activeReads = c.activeReads;
        w.exitCode = c.exitCode;
        std::wstring err = L"untouched";
        const bool result = mSyncShell::WaitWhileActive(w.Hooks(), c.limit, err);
        EXPECT_EQ(result, c.result) << c.what;
        EXPECT_EQ(err, c.result ? L"untouched" : L"The process has timed out.") << c.what;
        EXPECT_EQ(w.reads, c.reads) << c.what;
        EXPECT_EQ(w.pumps, w.reads) << c.what;
    }
}

// A failed read says nothing new: neither after a read that found the child running nor before any read
// succeeded, when there is no code yet that could say it ended.
TEST(ShellWaitLoop, UnreadableExitCodeKeepsLastValue) {
    for (const bool firstReadable : {true, false}) {
        uint32_t clock = 0;
        int reads = 0;
        mSyncShell::WaitHooks hooks{[&](uint32_t& code) {
                                        if (++reads == 1 && firstReadable) {
                                            code = mSyncShell::kStillActive;
                                            return true;
                                        }
                                        return reads > 4 ? (code = 0, true) : false;
                                    },
                                    [] {}, [&](uint32_t) { clock += 10; }, [&] { return clock; }};
        std::wstring err;
        EXPECT_TRUE(mSyncShell::WaitWhileActive(hooks, 1000, err)) << firstReadable;
        EXPECT_EQ(reads, 5) << firstReadable;
        EXPECT_TRUE(err.empty()) << firstReadable;
    }
}

}  // namespace
