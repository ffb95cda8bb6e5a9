#include "patcher/apply_steps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <new>

#include "support/trace.h"

using namespace mApplySteps;
using mUnattended::ExitCode;

namespace {

enum class How { Refused, NoMemory, Unknown };

constexpr wchar_t kRoot[] = L"E:\\Orv";
constexpr wchar_t kMenu[] = L"E:\\Orv\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe";
const std::wstring kWrapper = L"E:\\Orv\\OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe";
constexpr wchar_t kAssoc[] = L"E:\\Orv\\OrvanaTools\\OrvanaAssoc\\OrvanaAssoc.exe";
constexpr wchar_t kZet[] = L"E:\\Orv\\OrvanaTools\\zet.exe";
constexpr wchar_t kNotes[] = L"E:\\Orv\\OrvanaTools\\Notes.exe";
constexpr wchar_t kWork[] = L"T:\\OVPatcher_1\\";

// An installation with every program of the suite running and in the archive, one ifexists file that is not
// there, two post-install commands and one leftover. Each call is recorded by name with what it names
// (queries that decide nothing on their own are not); any of them can be made to fail, the boxes answer
// from a script, and Cancel can be pressed during any call.
class ScriptedHost {
  public:
    struct Failure {
        How how;
        int times;  // -1: every time
    };
    std::map<std::wstring, Failure> fails;
    // The calls named, separated by blanks, fail `times` times (-1: always).
    void Fail(const std::wstring& names, How how, int times) {
        for (size_t at = 0, end = 0; at < names.size(); at = end + 1) {
            end = std::min(names.find(L' ', at), names.size());
            fails[names.substr(at, end - at)] = {how, times};
        }
    }
    size_t Count(const std::wstring& name) const {
        size_t n = 0;
        for (const std::wstring& call : calls)
            n += call == name || call.rfind(name + L" ", 0) == 0;
        return n;
    }
    std::wstring answers;   // R, C, O, Y, N for the boxes in turn; then Cancel, OK, No (or /silent's)
    std::wstring cancelAt;  // Cancel is pressed during this call
    bool silent = false;
    bool cancel = false;
    ExitCode exit = ExitCode::NotApplied;
    std::wstring notRestarted;
    std::vector<std::wstring> calls;
    std::vector<std::wstring> log;
    // Deltas in the archive, what their rebuilds give in turn (then Done), and whether the file comes whole too.
    std::wstring deltaListing;
    std::vector<mDelta::Result> deltaResults;
    bool whole = false;

    // What was started again, by the programs' initials, in order.
    std::wstring Restarted() const {
        std::wstring started;
        for (const std::wstring& call : calls) {
            if (call.rfind(L"Start ", 0) != 0)
                continue;
            const std::wstring program = call.substr(6, call.find(L".exe") - 6);
            const std::wstring name = program.substr(program.find_last_of(L'\\') + 1);
            started += name[name.rfind(L"Orvana", 0) == 0 ? 6 : 0];
        }
        return started;
    }
    // Whether `run` was called in this order with nothing between; at the end when it ends the apply.
    bool Called(const std::vector<std::wstring>& run) const {
        const bool last = !run.empty() &&
                          (run.back() == L"EndApply" || run.back() == L"ShowCancelled" || run.back() == L"CloseWindow");
        for (size_t at = 0; at + run.size() <= calls.size(); ++at) {
            if (std::equal(run.begin(), run.end(), calls.begin() + static_cast<std::ptrdiff_t>(at)) &&
                (!last || at + run.size() == calls.size()))
                return true;
        }
        return false;
    }

    int Ask(const wchar_t* key, unsigned style, const std::wstring& text) {
        const size_t named = text.find(L"\r\n\r\n");
        Call(L"Ask", key + (named == std::wstring::npos ? L"" : L": " + text.substr(named + 4)));
        int answer = 0;
        if (!answers.empty()) {
            answer = std::wstring(L"?OC?R?YN").find(answers.front());
            answers.erase(0, 1);
        } else if (silent) {
            msAsked_ = key == lastKey_ ? msAsked_ + 2000 : 0;
            lastKey_ = key;
            answer = mUnattended::SilentAnswer(key, style, msAsked_, 60000);
        } else {
            answer = (style & 0xF) == 5 ? 2 : (style & 0xF) == 4 ? 7 : 1;
        }
        if (const auto outcome = mUnattended::OutcomeOfBox(key, answer, true))
            exit = *outcome;
        return answer;
    }
    std::wstring Str(const wchar_t* key) { return key; }
    std::wstring StrOr(const wchar_t*, const wchar_t* english) { return english; }
    void Log(const std::wstring& line) { log.push_back(line); }
    void Step(mUnattended::Step step, bool measured) {
        static const wchar_t* const kNames[] = {L"Preparing", L"Closing", L"Installing", L"Commands", L"Restarting"};
        Call(L"Step", kNames[static_cast<int>(step)] + std::wstring(measured ? L" %" : L""));
    }
    void Percent(int) {}
    bool CancelRequested() { return cancel; }
    void LockCancel() { Call(L"LockCancel"); }
    void EndProgress() { Call(L"EndProgress"); }
    void EndApply() { Call(L"EndApply"); }
    void ShowCancelled() { Call(L"ShowCancelled"); }
    void ShowLastBox() { Call(L"ShowLastBox"); }
    void HideWindow() { Call(L"HideWindow"); }
    void CloseWindow() { Call(L"CloseWindow"); }
    ExitCode Exit() { return exit; }
    std::wstring& NotRestarted() { return notRestarted; }
    void SetExit(ExitCode code) { exit = code; }
    std::wstring Descriptor(const wchar_t* name) {
        static const std::map<std::wstring, std::wstring> kValues = {
            {L"PatchVersion", L"P2"},
            {L"ORVVersion", L"2.0"},
            {L"PatchLang", L"FR"},
            {L"ExtractPath", L""},
            {L"FileFlags", L"ifexists;Data\\opt.ini"},
            {L"RunAfter", L"%ORV%\\a.exe|%TMPFLD%\\b.exe %LNG%"},
            {L"DelAfter", L"%ORV%\\old.txt"},
        };
        const auto it = kValues.find(name);
        return it == kValues.end() ? L"" : it->second;
    }

    bool AcquireInstallation() { return Call(L"AcquireInstallation"); }
    bool RecoverInstallation(std::wstring& blocker, std::wstring& refusal, std::vector<std::wstring>& lines) {
        lines.push_back(L"kept E:\\Orv\\mine.txt");
        if (Call(L"RecoverInstallation"))
            return true;
        blocker = L"E:\\Orv\\held.dll";
        refusal = L"journal refused";
        return false;
    }
    bool FileExists(const std::wstring& path) {
        return Call(L"FileExists", L"", false) && path.find(L"opt.ini") == std::wstring::npos &&
               path.find(L"patch_close") == std::wstring::npos;
    }
    int64_t FileSize(const std::wstring& path) {
        if (path.find(L"\\new\\Apps\\") != std::wstring::npos)
            return whole ? 10 : -1;
        return Call(L"FileSize", L"", false) || path.find(L"b.dat") == std::wstring::npos ? 10 : -1;
    }
    std::optional<uint64_t> FreeSpace(const std::wstring& folder) {
        if (!Call(L"FreeSpace", folder))
            return 1 << 20;
        return uint64_t{1} << 40;
    }
    bool CanWrite(const std::wstring& path) { return Call(L"CanWrite", path); }
    bool CopyNewFile(const std::wstring&, const std::wstring& to) { return Call(L"CopyFile", to); }
    void WriteTextFile(const std::wstring& path, const std::wstring&) { Call(L"WriteTextFile", path); }
    std::wstring LoadTextFile(const std::wstring& path) {
        Call(L"LoadTextFile", path);
        return L"<OrvanaVersion><Version>1.0</Version></OrvanaVersion>";
    }
    void RemoveFile(const std::wstring& path) { Call(L"DeleteFile", path); }
    std::wstring TempFolder() { return Call(L"TempFolder") ? L"T:\\" : L""; }
    std::wstring MakeWorkFolder(const std::wstring&) { return Call(L"MakeWorkFolder") ? kWork : L""; }
    void RemoveWorkFolder(const std::wstring& folder) { Call(L"RemoveWorkFolder", folder); }
    std::wstring AppFolder() { return L"D:\\Down"; }
    std::wstring AppExeName() { return L"OVPatcher"; }

    void SetArchiverProgram(const std::wstring& program) { Call(L"SetArchiverProgram", program); }
    std::wstring CopyOutArchive(const std::wstring&) { return Call(L"CopyOutArchive") ? L"" : L"disk full"; }
    void SetArchive(const std::wstring&) { Call(L"SetArchive"); }
    std::wstring ListArchive(const wchar_t*) {
        Call(L"ListArchive");
        std::wstring listing;
        for (const wchar_t* path :
             {L"OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe", L"OrvanaTools\\OrvanaAssoc\\OrvanaAssoc.exe",
              L"OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe", L"Data\\b.dat"})
            listing += std::wstring(L"Path = ") + path + L"\r\nSize = 10\r\n\r\n";
        return listing + deltaListing;
    }
    bool Extract(const std::wstring&, const std::wstring& exclusionList) { return Call(L"Extract", exclusionList); }
    mDelta::Result RebuildFromDelta(const std::wstring& old, const std::wstring&, const std::wstring&) {
        Call(L"RebuildFromDelta", old);
        const mDelta::Result result = deltaResults.empty() ? mDelta::Result::Done : deltaResults.front();
        if (!deltaResults.empty())
            deltaResults.erase(deltaResults.begin());
        return result;
    }
    void RemoveFolder(const std::wstring& folder) { Call(L"RemoveFolder", folder); }

    void NewSwap() { Call(L"NewSwap"); }
    bool PrepareStaging() { return Call(L"PrepareStaging"); }
    bool FlushStaged() { return Call(L"FlushStaged"); }
    bool BeginSwap(const std::wstring& closeFlag) { return Call(L"BeginSwap", closeFlag); }
    bool WritePlan(const std::wstring&) { return Call(L"WritePlan"); }
    bool SwapFiles(size_t& placed) {
        placed = 4;
        return Call(L"SwapFiles");
    }
    void MoveToBackup(const std::vector<std::wstring>& paths) {
        Call(L"MoveToBackup", paths.empty() ? L"" : paths.front());
    }
    bool StageRecord(const std::wstring&, const std::wstring& text) {
        return Call(L"StageRecord", text.find(L"<Patch>P2</Patch>") != std::wstring::npos ? L"P2" : L"?");
    }
    bool Commit() { return committed_ = Call(L"Commit"); }
    bool Committed() { return committed_; }
    bool RollBack() { return Call(L"RollBack"); }
    bool Moved() { return !Call(L"Moved", L"", false); }
    void ClearSwap() { Call(L"ClearSwap"); }
    std::wstring Blocker() { return L"E:\\Orv\\busy.dll"; }

    bool AnyRunning(const std::wstring&) { return Call(L"AnyRunning"); }
    bool ProgramIsRunning(const std::wstring& program) { return Call(L"ProgramIsRunning", program); }
    bool CloseMenu(const std::wstring&) { return Call(L"CloseMenu"); }
    void OtherPrograms(const std::wstring& pattern,
                       std::vector<std::wstring>& paths,
                       std::vector<unsigned long>& pids) {
        paths.clear();
        pids.clear();
        Call(L"OtherPrograms", pattern);
        if (pattern.find(L"OrvanaAssoc") != std::wstring::npos) {
            paths = {kAssoc};
            pids = {11};
        } else {
            paths = {kMenu, kZet, kNotes};
            pids = {10, 12, 13};
        }
    }
    bool BackupKeyExists() { return Call(L"BackupKeyExists"); }
    void SendEndCommand(const wchar_t*, const std::wstring& program, const wchar_t* command) {
        Call(L"SendEndCommand", program + L" " + command);
    }
    void WaitForEnd(const std::wstring& program, unsigned, unsigned) { Call(L"WaitForEnd", program); }
    bool QuitProcess(unsigned long pid) { return Call(L"QuitProcess", std::to_wstring(pid)); }
    void CloseProgram(const std::wstring& pattern) { Call(L"CloseProgram", pattern); }
    bool RunCommand(const std::wstring& command) { return Call(L"RunCommand", command); }
    UserStart StartAsDesktopUser(const std::wstring& program, int show, const std::wstring& arguments) {
        const bool started = Call(L"Start", program + L" " + std::to_wstring(show) + L" " + arguments);
        return started ? UserStart::Started : UserStart::NoDesktopUser;
    }

  private:
    // Records the call; false, or an exception, when the script makes it fail this time.
    bool Call(const std::wstring& name, const std::wstring& detail = L"", bool recorded = true) {
        if (recorded)
            calls.push_back(detail.empty() ? name : name + L" " + detail);
        if (name == cancelAt)
            cancel = true;
        const auto it = fails.find(name);
        if (it == fails.end() || it->second.times == 0)
            return true;
        if (it->second.times > 0)
            --it->second.times;
        if (it->second.how == How::NoMemory)
            throw std::bad_alloc();
        if (it->second.how == How::Unknown)
            throw 42;
        return false;
    }

    bool committed_ = false;
    std::wstring lastKey_;
    unsigned long msAsked_ = 0;
};

ScriptedHost Applied(ScriptedHost host) {
    const std::wstring root = kRoot;
    const std::wstring menu = kMenu;
    ApplySteps<ScriptedHost>(host, {root, menu, host.silent}).Run();
    return host;
}

}  // namespace

// The whole apply when nothing fails: every step in its order, every program stopped in its own way and
// started again with its arguments, the last box, and the backup cleared only after it.
TEST(ApplySteps, EveryStepRunsInOrderAndTheSuiteIsStartedAgain) {
    const ScriptedHost host = Applied(ScriptedHost());
    const std::vector<std::wstring> expected = {
        L"Step Preparing",
        L"AcquireInstallation",
        L"RecoverInstallation",
        L"TempFolder",
        L"MakeWorkFolder",
        L"CopyFile T:\\OVPatcher_1\\7z.exe",
        L"CopyFile T:\\OVPatcher_1\\7z.dll",
        L"SetArchiverProgram T:\\OVPatcher_1\\7z.exe",
        L"CopyOutArchive",
        L"SetArchive",
        L"ListArchive",
        L"WriteTextFile T:\\OVPatcher_1\\exlude.txt",
        L"FreeSpace E:\\Orv\\",
        L"NewSwap",
        L"PrepareStaging",
        L"Step Preparing %",
        L"Extract T:\\OVPatcher_1\\exlude.txt",
        L"FlushStaged",
        L"DeleteFile T:\\OVPatcher_1\\exlude.txt",
        L"CanWrite E:\\Orv\\OrvanaTools\\version.ver",
        L"BeginSwap E:\\Orv\\OrvanaTools\\OrvanaMenu\\data\\patch_close",
        L"LockCancel",
        L"Step Closing",
        L"WriteTextFile E:\\Orv\\OrvanaTools\\OrvanaMenu\\data\\patch_close",
        L"AnyRunning",
        L"CloseMenu",
        L"ProgramIsRunning E:\\Orv\\OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe",
        L"SendEndCommand E:\\Orv\\OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe relay/ovpend",
        L"WaitForEnd E:\\Orv\\OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe",
        L"OtherPrograms E:\\Orv\\OrvanaTools\\OrvanaAssoc\\*.*",
        L"BackupKeyExists",
        L"SendEndCommand E:\\Orv\\OrvanaTools\\OrvanaAssoc\\OrvanaAssoc.exe /close",
        L"WaitForEnd E:\\Orv\\OrvanaTools\\OrvanaAssoc\\OrvanaAssoc.exe",
        L"OtherPrograms E:\\Orv\\OrvanaTools\\*.*",
        L"QuitProcess 12",
        L"CloseProgram E:\\Orv\\OrvanaTools\\Notes.exe",
        L"Step Installing %",
        L"WritePlan",
        L"SwapFiles",
        L"Step Commands %",
        L"RunCommand E:\\Orv\\a.exe",
        L"RunCommand T:\\OVPatcher_1\\b.exe FR",
        L"MoveToBackup E:\\Orv\\old.txt",
        L"LoadTextFile E:\\Orv\\OrvanaTools\\version.ver",
        L"StageRecord P2",
        L"Commit",
        L"Step Restarting",
        L"Start E:\\Orv\\OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe 1 crashtest/ovpend",
        L"Start E:\\Orv\\OrvanaTools\\OrvanaAssoc\\OrvanaAssoc.exe 1 /apply",
        L"DeleteFile E:\\Orv\\OrvanaTools\\OrvanaMenu\\data\\patch_close",
        L"Start E:\\Orv\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe 1 /updated",
        L"Start E:\\Orv\\OrvanaTools\\zet.exe 0 /exe=\"D:\\Down\\OVPatcher.exe\"",
        L"RemoveWorkFolder T:\\OVPatcher_1\\",
        L"EndApply",
        L"ShowLastBox",
        L"Ask UpdateDone",
        L"HideWindow",
        L"ClearSwap",
        L"CloseWindow",
    };
    EXPECT_EQ(host.calls, expected);
    EXPECT_EQ(host.exit, ExitCode::Applied);
    const std::vector<std::wstring> log = {
        L"kept E:\\Orv\\mine.txt",
        L"Closing E:\\Orv\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe",
        L"Closing E:\\Orv\\OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe",
        L"Closing E:\\Orv\\OrvanaTools\\OrvanaAssoc\\OrvanaAssoc.exe",
        L"Closing E:\\Orv\\OrvanaTools\\zet.exe",
        L"Closing E:\\Orv\\OrvanaTools\\Notes.exe",
        L"Files placed: 4",
        L"Running E:\\Orv\\a.exe",
        L"Running T:\\OVPatcher_1\\b.exe FR",
        L"Restarting E:\\Orv\\OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe crashtest/ovpend",
        L"Restarting E:\\Orv\\OrvanaTools\\OrvanaAssoc\\OrvanaAssoc.exe /apply",
        L"Restarting E:\\Orv\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe /updated",
        L"Restarting E:\\Orv\\OrvanaTools\\zet.exe /exe=\"D:\\Down\\OVPatcher.exe\"",
    };
    EXPECT_EQ(host.log, log);
}

namespace {

std::vector<std::wstring> operator+(std::vector<std::wstring> a, const std::vector<std::wstring>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::wstring kFlag = L"E:\\Orv\\OrvanaTools\\OrvanaMenu\\data\\patch_close";
const std::vector<std::wstring> kWorkRemoved = {L"RemoveWorkFolder T:\\OVPatcher_1\\", L"EndApply"};
const std::vector<std::wstring> kUndone = std::vector<std::wstring>{L"RollBack", L"ClearSwap"} + kWorkRemoved;
// Every program of the suite started again after the files were put back.
const std::vector<std::wstring> kSuiteRestarted =
    std::vector<std::wstring>{L"Step Restarting",
                              L"RollBack",
                              L"ClearSwap",
                              L"Start E:\\Orv\\OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe 1 crashtest/ovpend",
                              L"Start E:\\Orv\\OrvanaTools\\OrvanaAssoc\\OrvanaAssoc.exe 1 /apply",
                              L"DeleteFile " + kFlag,
                              L"Start E:\\Orv\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe 1 /updated",
                              L"Start E:\\Orv\\OrvanaTools\\zet.exe 0 /exe=\"D:\\Down\\OVPatcher.exe\""} +
    kWorkRemoved;
const std::vector<std::wstring> kMenuRestarted =
    std::vector<std::wstring>{L"Step Restarting", L"RollBack", L"ClearSwap", L"DeleteFile " + kFlag,
                              L"Start E:\\Orv\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe 1 /updated"} +
    kWorkRemoved;
const std::vector<std::wstring> kDone = {L"EndApply",   L"ShowLastBox", L"Ask UpdateDone",
                                         L"HideWindow", L"ClearSwap",   L"CloseWindow"};

struct Row {
    const wchar_t* fails;  // the calls that fail, separated by blanks; empty: none
    How how;
    int times;               // how often they fail; -1: always
    const wchar_t* answers;  // the boxes' answers in turn (R, C), then the default ones
    const wchar_t* cancelAt;
    bool silent;
    ExitCode exit;
    const wchar_t* restarted;         // initials of the programs started again, in order
    std::vector<std::wstring> calls;  // made in this order; those that end the apply, at its end
};

}  // namespace

// Every failure at every step, every answer to every box, /silent's answers and Cancel at each point: the
// calls that follow the failure, the exit code, and what was started again. Until a tool was sent its
// end command a failure abandons the apply; from then on a failing operation is skipped unless what it
// decides is missing (the swap, the record, the commit).
TEST(ApplySteps, EachFailureEndsAsItsPolicySays) {
    const auto F = How::Refused;
    const auto M = How::NoMemory;
    const auto X = How::Unknown;
    const std::wstring version = L"E:\\Orv\\OrvanaTools\\version.ver";
    const std::wstring exclusion = L"T:\\OVPatcher_1\\exlude.txt";
    const std::wstring busy = L"Ask CantUpdate: E:\\Orv\\busy.dll";
    // clang-format off
    const Row rows[] = {
        // Refused before anything was touched.
        {L"AcquireInstallation", F, -1, L"", L"", false, ExitCode::CannotUpdate, L"", {L"AcquireInstallation",
         L"Ask CantUpdate", L"EndApply"}},
        {L"RecoverInstallation", F, -1, L"", L"", false, ExitCode::CannotUpdate, L"", {L"RecoverInstallation",
         L"Ask CantUpdate: E:\\Orv\\held.dll", L"EndApply"}},
        {L"RecoverInstallation", M, -1, L"", L"", false, ExitCode::ApplyFailed, L"", {L"RecoverInstallation",
         L"EndApply"}},
        {L"TempFolder", F, -1, L"", L"", false, ExitCode::ApplyFailed, L"", {L"TempFolder", L"EndApply"}},
        {L"MakeWorkFolder", F, -1, L"", L"", false, ExitCode::ApplyFailed, L"", {L"MakeWorkFolder", L"EndApply"}},
        {L"CopyFile", F, -1, L"", L"", false, ExitCode::ApplyFailed, L"",
         std::vector<std::wstring>{L"CopyFile T:\\OVPatcher_1\\7z.exe"} + kWorkRemoved},
        // The work file: Retry, Cancel, and /silent's Cancel.
        {L"CopyOutArchive", F, -1, L"", L"", false, ExitCode::ExtractionFailed, L"",
         std::vector<std::wstring>{L"CopyOutArchive", L"Ask ExtractError"} + kWorkRemoved},
        {L"CopyOutArchive", F, 1, L"R", L"", false, ExitCode::Applied, L"WAMz",
         std::vector<std::wstring>{L"CopyOutArchive", L"Ask ExtractError", L"CopyOutArchive", L"SetArchive"}},
        {L"CopyOutArchive", F, -1, L"", L"", true, ExitCode::ExtractionFailed, L"",
         std::vector<std::wstring>{L"CopyOutArchive", L"Ask ExtractError"} + kWorkRemoved},
        {L"ListArchive", M, -1, L"", L"", false, ExitCode::ApplyFailed, L"",
         std::vector<std::wstring>{L"ListArchive"} + kWorkRemoved},
        {L"WriteTextFile", X, -1, L"", L"", false, ExitCode::ApplyFailed, L"",
         std::vector<std::wstring>{L"WriteTextFile " + exclusion} + kWorkRemoved},
        // Staging.
        {L"FreeSpace", F, -1, L"", L"", false, ExitCode::ApplyFailed, L"",
         std::vector<std::wstring>{L"FreeSpace E:\\Orv\\", L"Ask CantUpdate: E:\\Orv\r\n+ 1 MB"} + kWorkRemoved},
        {L"PrepareStaging", F, -1, L"", L"", false, ExitCode::ApplyFailed, L"",
         std::vector<std::wstring>{L"PrepareStaging", busy} + kUndone},
        {L"Extract", F, -1, L"", L"", false, ExitCode::ExtractionFailed, L"",
         std::vector<std::wstring>{L"Extract " + exclusion, L"Ask ExtractError"} + kUndone},
        {L"Extract", F, 1, L"R", L"", false, ExitCode::Applied, L"WAMz", {L"Extract " + exclusion,
         L"Ask ExtractError", L"PrepareStaging", L"Step Preparing %", L"Extract " + exclusion, L"FlushStaged",
         L"DeleteFile " + exclusion}},
        {L"Extract RollBack", F, -1, L"", L"", true, ExitCode::ExtractionFailed, L"",
         std::vector<std::wstring>{L"Extract " + exclusion, L"Ask ExtractError", L"RollBack"} + kWorkRemoved},
        {L"FlushStaged", M, -1, L"", L"", false, ExitCode::ApplyFailed, L"",
         std::vector<std::wstring>{L"FlushStaged"} + kUndone},
        {L"FileSize", F, -1, L"", L"", false, ExitCode::ExtractionFailed, L"",
         std::vector<std::wstring>{L"FlushStaged", L"Ask ExtractError: Data\\b.dat"} + kUndone},
        {L"DeleteFile", X, -1, L"", L"", false, ExitCode::ApplyFailed, L"",
         std::vector<std::wstring>{L"DeleteFile " + exclusion} + kUndone},
        {L"CanWrite", F, -1, L"", L"", false, ExitCode::ApplyFailed, L"",
         std::vector<std::wstring>{L"CanWrite " + version, L"Ask CantUpdate: " + version} + kUndone},
        {L"BeginSwap", F, -1, L"", L"", false, ExitCode::ApplyFailed, L"",
         std::vector<std::wstring>{L"BeginSwap " + kFlag} + kUndone},
        // Cancel while nothing is stopped leaves everything as it was; once the suite is stopped it is too late.
        {L"", F, -1, L"", L"CopyOutArchive", false, ExitCode::NotApplied, L"",
         std::vector<std::wstring>{L"CopyOutArchive",
         L"SetArchive"} + kWorkRemoved + std::vector<std::wstring>{L"ShowCancelled"}},
        {L"", F, -1, L"", L"ListArchive", false, ExitCode::NotApplied, L"",
         std::vector<std::wstring>{L"ListArchive"} + kWorkRemoved + std::vector<std::wstring>{L"ShowCancelled"}},
        {L"", F, -1, L"", L"Extract", false, ExitCode::NotApplied, L"",
         std::vector<std::wstring>{L"Extract " + exclusion,
         L"FlushStaged"} + kUndone + std::vector<std::wstring>{L"ShowCancelled"}},
        {L"Extract", F, 1, L"R", L"Ask", false, ExitCode::NotApplied, L"",
         std::vector<std::wstring>{L"Ask ExtractError", L"PrepareStaging", L"Step Preparing %",
         L"Extract " + exclusion, L"FlushStaged"} + kUndone + std::vector<std::wstring>{L"ShowCancelled"}},
        {L"", F, -1, L"", L"BeginSwap", false, ExitCode::NotApplied, L"",
         std::vector<std::wstring>{L"BeginSwap " + kFlag} + kUndone + std::vector<std::wstring>{L"ShowCancelled"}},
        {L"", F, -1, L"", L"CloseMenu", false, ExitCode::Applied, L"WAMz", kDone},
        // The menu that will not close: Retry, Cancel, and /silent retrying for a minute.
        {L"CloseMenu", F, -1, L"", L"", false, ExitCode::SuiteStillRunning, L"M",
         std::vector<std::wstring>{L"CloseMenu", L"Ask OrvStillRunning", L"DeleteFile " + kFlag} + kMenuRestarted},
        {L"CloseMenu", F, 1, L"R", L"", false, ExitCode::Applied, L"WAMz", {L"CloseMenu", L"Ask OrvStillRunning",
         L"WriteTextFile " + kFlag, L"AnyRunning", L"CloseMenu",
         L"ProgramIsRunning E:\\Orv\\OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe"}},
        {L"CloseMenu", F, -1, L"", L"", true, ExitCode::SuiteStillRunning, L"M",
         std::vector<std::wstring>{L"CloseMenu", L"Ask OrvStillRunning", L"DeleteFile " + kFlag} + kMenuRestarted},
        {L"CloseMenu", F, 3, L"", L"", true, ExitCode::Applied, L"WAMz", {L"CloseMenu", L"Ask OrvStillRunning",
         L"WriteTextFile " + kFlag, L"AnyRunning", L"CloseMenu", L"ProgramIsRunning " + kWrapper,
         L"SendEndCommand " + kWrapper + L" relay/ovpend"}},
        {L"AnyRunning", M, -1, L"", L"", false, ExitCode::ApplyFailed, L"M",
         std::vector<std::wstring>{L"AnyRunning"} + kMenuRestarted},
        {L"ProgramIsRunning", M, -1, L"", L"", false, ExitCode::ApplyFailed, L"M",
         std::vector<std::wstring>{L"ProgramIsRunning E:\\Orv\\OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe"} +
             kMenuRestarted},
        // Once a tool was told to end, a failing operation is skipped.
        {L"SendEndCommand", X, -1, L"", L"", false, ExitCode::Applied, L"WAMz", kDone},
        {L"OtherPrograms", M, -1, L"", L"", false, ExitCode::Applied, L"WM", kDone},
        {L"QuitProcess", F, -1, L"", L"", false, ExitCode::Applied, L"WAM", kDone},
        {L"CloseProgram", X, -1, L"", L"", false, ExitCode::Applied, L"WAMz", kDone},
        // The swap: Retry and Cancel; files that could not all be put back allow no Retry.
        {L"WritePlan", F, -1, L"", L"", false, ExitCode::ExtractionFailed, L"WAMz",
         std::vector<std::wstring>{L"WritePlan", L"Ask ExtractError"} + kSuiteRestarted},
        {L"SwapFiles", M, -1, L"", L"", false, ExitCode::ExtractionFailed, L"WAMz",
         std::vector<std::wstring>{L"SwapFiles", L"Ask ExtractError"} + kSuiteRestarted},
        {L"SwapFiles", F, 1, L"R", L"", false, ExitCode::Applied, L"WAMz", {L"SwapFiles", L"Ask ExtractError",
         L"Step Installing %", L"WritePlan", L"SwapFiles", L"Step Commands %"}},
        {L"SwapFiles Moved", F, -1, L"R", L"", false, ExitCode::ApplyFailed, L"WAMz",
         std::vector<std::wstring>{L"SwapFiles", busy} + kSuiteRestarted},
        // Post-install commands: each can be retried or left, and the last box names those left.
        {L"RunCommand", F, -1, L"", L"", false, ExitCode::CommandFailed, L"WAMz",
         {L"RunCommand T:\\OVPatcher_1\\b.exe FR", L"Ask CmdRunError: T:\\OVPatcher_1\\b.exe FR",
         L"MoveToBackup E:\\Orv\\old.txt", L"LoadTextFile " + version, L"StageRecord P2", L"Commit",
         L"Step Restarting"}},
        {L"RunCommand", F, 1, L"R", L"", false, ExitCode::Applied, L"WAMz", {L"RunCommand E:\\Orv\\a.exe",
         L"Ask CmdRunError: E:\\Orv\\a.exe", L"RunCommand E:\\Orv\\a.exe", L"RunCommand T:\\OVPatcher_1\\b.exe FR",
         L"MoveToBackup E:\\Orv\\old.txt"}},
        {L"RunCommand", M, -1, L"", L"", true, ExitCode::CommandFailed, L"WAMz", {L"EndApply",
         L"Ask UpdateDone: E:\\Orv\\a.exe\r\nT:\\OVPatcher_1\\b.exe FR", L"HideWindow", L"ClearSwap",
         L"CloseWindow"}},
        {L"MoveToBackup", M, -1, L"", L"", false, ExitCode::Applied, L"WAMz", kDone},
        // The record and the commit: what cannot be made, staged or committed undoes the apply.
        {L"LoadTextFile", M, -1, L"", L"", false, ExitCode::ApplyFailed, L"WAMz",
         std::vector<std::wstring>{L"LoadTextFile " + version, L"Ask CantUpdate: " + version} + kSuiteRestarted},
        {L"StageRecord", F, -1, L"", L"", false, ExitCode::ApplyFailed, L"WAMz",
         std::vector<std::wstring>{L"StageRecord P2", L"Ask CantUpdate: " + version} + kSuiteRestarted},
        {L"Commit", M, -1, L"", L"", false, ExitCode::ApplyFailed, L"WAMz", std::vector<std::wstring>{L"Commit",
         busy} + kSuiteRestarted},
        {L"Commit RollBack", F, -1, L"", L"", false, ExitCode::ApplyFailed, L"WAMz", {L"Commit", busy,
         L"Step Restarting", L"RollBack",
         L"Start E:\\Orv\\OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe 1 crashtest/ovpend"}},
        // Restarts that fail are named in the last box; failures after it are skipped.
        {L"Start", F, -1, L"", L"", false, ExitCode::Applied, L"WAMz", {L"EndApply", L"ShowLastBox",
         L"Ask UpdateDone: Start these programs again yourself:\r\n"
         L"E:\\Orv\\OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe\r\n"
         L"E:\\Orv\\OrvanaTools\\OrvanaAssoc\\OrvanaAssoc.exe\r\n"
         L"E:\\Orv\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe\r\nE:\\Orv\\OrvanaTools\\zet.exe",
         L"HideWindow", L"ClearSwap", L"CloseWindow"}},
        {L"Start ClearSwap", M, -1, L"", L"", false, ExitCode::Applied, L"WAMz", kDone},
        {L"", F, -1, L"", L"", true, ExitCode::Applied, L"WAMz", {L"EndApply", L"Ask UpdateDone", L"HideWindow",
         L"ClearSwap", L"CloseWindow"}},
    };
    // clang-format on
    for (const Row& row : rows) {
        ScriptedHost script;
        script.Fail(row.fails, row.how, row.times);
        script.answers = row.answers;
        script.cancelAt = row.cancelAt;
        script.silent = row.silent;
        const ScriptedHost host = Applied(script);
        const std::wstring label =
            std::wstring(row.fails) + L" / " + row.answers + L" / " + row.cancelAt + (row.silent ? L" / silent" : L"");
        EXPECT_EQ(host.exit, row.exit) << label;
        EXPECT_EQ(host.Restarted(), row.restarted) << label;
        EXPECT_TRUE(host.Called(row.calls)) << label;
    }
}

// A failure a step survives or dies of leaves a trace line naming the step and the exception, in the run log
// too: an exhausted memory is no quiet skip.
TEST(ApplySteps, EveryFailureIsTracedWithItsStep) {
    const struct {
        const wchar_t* fails;
        How how;
        const wchar_t* line;
    } rows[] = {
        {L"MoveToBackup", How::NoMemory, L"Step DelAfter failed: std::bad_alloc; skipped"},
        {L"SendEndCommand", How::Unknown, L"Step Wrapper failed: unknown exception; skipped"},
        {L"Extract", How::NoMemory, L"Step Stage failed: std::bad_alloc; abandoned"},
        {L"ListArchive", How::Unknown, L"Step Listing failed: unknown exception; abandoned"},
        {L"Start", How::NoMemory, L"Step Restart failed: std::bad_alloc; skipped"},
        {L"ClearSwap", How::Unknown, L"Step Finish failed: unknown exception; skipped"},
    };
    for (const auto& row : rows) {
        TraceCapture trace;
        ScriptedHost script;
        script.Fail(row.fails, row.how, 1);
        const ScriptedHost host = Applied(script);
        EXPECT_EQ(trace.errors(), std::vector<std::wstring>{row.line}) << row.fails;
        EXPECT_NE(std::find(host.log.begin(), host.log.end(), row.line), host.log.end()) << row.fails;
    }
}

// A dead apply's recovery with the suite stopped as an apply stops it: every program the archive could bring,
// the user's tools too, is started again, whether the recovery succeeded, failed or threw.
TEST(ApplySteps, RecoveryStartsEveryStoppedProgramAgain) {
    const std::wstring root = kRoot;
    const std::wstring menu = kMenu;
    for (int outcome = 0; outcome < 3; ++outcome) {
        ScriptedHost host;
        const bool recovered = ApplySteps<ScriptedHost>(host, {root, menu, false}).RunWithSuiteStopped([&] {
            if (outcome == 2)
                throw std::bad_alloc();
            return outcome == 0;
        });
        EXPECT_EQ(recovered, outcome == 0);
        EXPECT_EQ(host.Restarted(), L"WAMzN") << outcome;
        EXPECT_EQ(host.calls.back(), L"EndProgress");
        EXPECT_EQ(host.Count(L"RollBack"), 0u);
        EXPECT_EQ(host.Count(L"RemoveWorkFolder"), 0u);
    }
    // A menu that will not close: nothing else is stopped, the recovery is not run, the menu starts again.
    ScriptedHost host;
    host.Fail(L"CloseMenu", How::Refused, -1);
    EXPECT_FALSE(ApplySteps<ScriptedHost>(host, {root, menu, false}).RunWithSuiteStopped([] { return true; }));
    EXPECT_EQ(host.Restarted(), L"M");
    EXPECT_EQ(host.Count(L"SendEndCommand"), 0u);
}

// A changed file that travels as a delta is rebuilt after the extraction, before anything is stopped; an
// installed copy that is not the delta's old file refuses the apply with its path, unless the file also came
// whole; a rebuild that fails otherwise asks as a failed extraction does. The deltas' folder goes before the swap.
TEST(ApplySteps, DeltasAreRebuiltBeforeAnythingIsStopped) {
    using R = mDelta::Result;
    const std::wstring rebuild = L"RebuildFromDelta E:\\Orv\\Apps\\prog.exe";
    const std::wstring removed = L"RemoveFolder E:\\Orv\\OVPatcher.tmp\\new\\OVPatcher.tmp\\";
    struct Row {
        std::vector<R> results;
        bool whole;
        std::wstring answers;
        ExitCode exit;
        std::vector<std::wstring> calls;  // from the end of the extraction on
    };
    const Row rows[] = {
        {{},
         false,
         L"",
         ExitCode::Applied,
         {L"DeleteFile T:\\OVPatcher_1\\exlude.txt", L"Step Preparing %", rebuild, removed,
          L"CanWrite E:\\Orv\\OrvanaTools\\version.ver"}},
        {{R::OtherOldFile},
         false,
         L"",
         ExitCode::CannotUpdate,
         {rebuild, L"Ask CantUpdate: E:\\Orv\\Apps\\prog.exe", L"RollBack", L"ClearSwap"}},
        {{R::OtherOldFile},
         true,
         L"",
         ExitCode::Applied,
         {L"Step Preparing %", removed, L"CanWrite E:\\Orv\\OrvanaTools\\version.ver"}},
        {{R::Damaged},
         false,
         L"R",
         ExitCode::Applied,
         {rebuild, L"Ask ExtractError: E:\\Orv\\Apps\\prog.exe", rebuild, removed}},
        {{R::ReadFailed},
         false,
         L"C",
         ExitCode::ExtractionFailed,
         {rebuild, L"Ask ExtractError: E:\\Orv\\Apps\\prog.exe", L"RollBack", L"ClearSwap"}},
    };
    for (const Row& row : rows) {
        ScriptedHost script;
        script.deltaListing = L"Path = OVPatcher.tmp\\delta\\Apps\\prog.exe\r\nSize = 10\r\n\r\n";
        script.deltaResults = row.results;
        script.whole = row.whole;
        script.answers = row.answers;
        const ScriptedHost host = Applied(script);
        EXPECT_EQ(host.exit, row.exit) << testing::PrintToString(host.calls);
        EXPECT_TRUE(host.Called(row.calls)) << testing::PrintToString(host.calls);
        // Nothing is stopped before the rebuilds are through.
        EXPECT_EQ(host.Count(L"LockCancel"), row.exit == ExitCode::Applied ? 1u : 0u);
        EXPECT_EQ(host.Count(L"RebuildFromDelta"), row.whole ? 0u : row.answers == L"R" ? 2u : 1u);
    }
}
