// What the apply tests need beside the common harness: one log shared by every fake of a test (so that the
// order of events across programs, restarted ones included, can be read), the end of every program that
// runs from an installation (restarted programs are not owned by any test object), the work folder the
// patcher uses, the backup registry key, and the press on the apply button.
//
//     e2e::SharedLog log;                       // before any fake starts; fakes and the patcher inherit it
//     e2e::Installation orvana;
//     e2e::ProgramsEnder ender(orvana.root());  // declared after the installation: runs first at the end
//     ...
//     EXPECT_EQ(log.EventsOf(L"OrvanaMenu.exe"), ...);
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "e2e/harness/patch_builder.h"
#include "e2e/harness/window_driver.h"
#include "fakes/fake_launch_win.h"

namespace e2e {

struct LogEntry {
    std::string exe;  // file name of the program that wrote the line
    DWORD pid = 0;
    std::string event;  // the rest of the line
};

class SharedLog {
  public:
    SharedLog();
    ~SharedLog();
    SharedLog(const SharedLog&) = delete;
    SharedLog& operator=(const SharedLog&) = delete;

    std::vector<LogEntry> Entries() const;
    // Events of one program (all its processes), in order, prefixed by "<n>:" when `numbered` to tell the
    // processes apart: 1 for the first process of that name seen in the log, 2 for the next...
    std::vector<std::string> EventsOf(const std::string& exe, bool numbered = false) const;
    // Index in Entries() of the first entry of `exe` whose event starts with `prefix`; -1 when none.
    int IndexOf(const std::string& exe, const std::string& prefix) const;
    std::string Dump() const;
    const std::wstring& path() const { return path_; }

  private:
    std::wstring folder_;
    std::wstring path_;
};

// Ends every process whose program lies under `root` (restarted fakes, post-install commands), on
// request and when it goes.
class ProgramsEnder {
  public:
    explicit ProgramsEnder(std::wstring root) : root_(std::move(root)) {}
    ~ProgramsEnder() { EndAll(); }
    ProgramsEnder(const ProgramsEnder&) = delete;
    ProgramsEnder& operator=(const ProgramsEnder&) = delete;
    void EndAll() const;

  private:
    std::wstring root_;
};

// The desktop's shell away for a while: the stand-in the test session runs (fakes/fake_shell.exe) is ended,
// and started again when this goes. `Elevated()` says whether the tests run with administrator rights that
// have the user's lesser ones behind them, as Wine gives every program here.
class WithoutDesktopShell {
  public:
    WithoutDesktopShell();
    ~WithoutDesktopShell();
    WithoutDesktopShell(const WithoutDesktopShell&) = delete;
    WithoutDesktopShell& operator=(const WithoutDesktopShell&) = delete;
    bool gone() const { return gone_; }
    static bool Elevated();

  private:
    bool gone_ = false;
};

// Full paths of the running processes whose program lies under `folder`.
std::vector<std::wstring> RunningUnder(const std::wstring& folder);

// The patcher's work folders for the patch file `patchPath` that exist now: in the temporary folder, the
// file's name without extension, "_", a hexadecimal number, "\". WorkFolderFor: the one there is, or "".
// The temporary folder in its long form, with its trailing backslash.
std::wstring TempPathLong();
std::vector<std::wstring> WorkFoldersOf(const std::wstring& patchPath);
std::wstring WorkFolderFor(const std::wstring& patchPath);

// Every file under `root` with a hash of its bytes and its read-only, hidden and system attributes, and every folder
// ("name\\"), by relative path.
using Tree = std::map<std::wstring, uint64_t>;
Tree TreeSnapshot(const std::wstring& root);
// What changed from `before` to `after`, one " removed/changed/added <path>;" each; empty when nothing did.
std::string TreeDifferences(const Tree& before, const Tree& after);

// HKEY_CURRENT_USER\Software\Classes\OrvanaBackup present or not.
void SetBackupKey(bool present);

// The typical patch with English texts only, so that every user language shows the same texts.
Descriptor EnglishPatch();

// Starts the patch (with `args`), waits for its window with the apply button enabled, and returns the window.
HWND OpenPatcher(Program& patcher, const std::wstring& patchPath, const std::wstring& args = L"");

// Suspends every process whose program lies under `folder`, as a slow disk would hold it up, or lets it go
// on again (`frozen` false); returns how many it found. Ending a suspended process still works.
int FreezeProgramsUnder(const std::wstring& folder, bool frozen = true);

// The percentages the status line shows while the archive of `patchPath` is staged, its archiver held and
// let go on in small steps as a slow stick would; it is left held once it shows `holdAt`, or let go at its
// own pace after three readings when `holdAt` is above 100. Empty (and a failure) when the staging could
// not be caught.
std::vector<int> StagedPercentages(Program& patcher, HWND window, const std::wstring& patchPath, int holdAt = 101);
// Small files that together take the archiver a while to write: its progress can then be followed.
std::vector<ArchiveFile> ManyFiles(int count);

// The lines of a run's log (UTF-8) without their date and time.
std::vector<std::string> RunLogLines(const std::wstring& path);

// Where the fake suite programs stand in a test installation.
constexpr wchar_t kWrapper[] = L"OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe";
constexpr wchar_t kAssoc[] = L"OrvanaTools\\OrvanaAssoc\\OrvanaAssoc.exe";
constexpr wchar_t kMenu[] = L"OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe";
constexpr wchar_t kZet[] = L"OrvanaTools\\Zet\\zet.exe";
constexpr wchar_t kTool[] = L"OrvanaTools\\Tool\\tool.exe";
constexpr wchar_t kStubborn[] = L"OrvanaTools\\Stubborn\\stubborn.exe";
// A 64-bit tool of the suite (the 64-bit build of fake_tool where the patcher under test is 32-bit).
constexpr wchar_t kTool64[] = L"OrvanaTools\\Tool64\\tool64.exe";
inline std::wstring Fake64(const std::wstring& name) {
    return fakes::Exists(fakes::FakesFolder() + L"\\x64\\" + name + L".exe") ? L"x64\\" + name : name;
}

// The bytes of a built fake program, to tell whether a file was replaced.
inline std::string FakeBytes(const std::wstring& name) {
    return ReadFileBytes(fakes::FakesFolder() + L"\\" + name + L".exe");
}

// The events without the "start" lines (they repeat the command line that "args" gives more plainly).
inline std::vector<std::string> WithoutStart(const std::vector<std::string>& events) {
    std::vector<std::string> kept;
    for (const std::string& e : events) {
        // Skip a process number "<n>:" put in front by EventsOf.
        size_t at = 0;
        while (at < e.size() && e[at] >= '0' && e[at] <= '9')
            ++at;
        const size_t from = (at > 0 && at < e.size() && e[at] == ':') ? at + 1 : 0;
        if (e.compare(from, 6, "start ") != 0)
            kept.push_back(e);
    }
    return kept;
}

}  // namespace e2e
