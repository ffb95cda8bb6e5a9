// Damaged patch files, started against a running installation: whatever the damage, the patcher must
// say "Invalid patch file", refuse with one of its own boxes, or show its window; never crash, hang or
// leave a box that is not its own, and never touch the installation.
// The second half does the same with damaged and planted journals of a dead apply (see below): nothing
// outside the installation changes and no original moved aside is lost.
//
// Each case is drawn from its own generator, seeded from the run's seed and the case's number, so a
// failing case can be run alone:
//     OV_ROBUSTNESS_SEED=<seed> OV_ROBUSTNESS_FIRST=<case> OV_ROBUSTNESS_COUNT=1 robustness_e2e.exe
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "e2e/harness/apply_support.h"
#include "e2e/harness/install_builder.h"
#include "e2e/harness/patch_builder.h"
#include "e2e/harness/patch_mutator.h"
#include "e2e/harness/window_driver.h"
#include "install/install_win.h"
#include "patcher/frm_main_ids.h"
#include "patcher/strings.h"
#include "patcher/typical_descriptor.h"
#include "patcher/unattended.h"
#include "support/encoding.h"

namespace {

using namespace mutation;

constexpr uint64_t kDefaultSeed = 20141114055922ull;
constexpr int kDefaultCount = 50;
// Time one start may take, unless OV_ROBUSTNESS_LIMIT_MS says otherwise.
constexpr int kDefaultRunLimitMs = 20000;
uint64_t EnvNumber(const wchar_t* name, uint64_t fallback) {
    const std::wstring text = fakes::Env(name);
    if (text.empty())
        return fallback;
    return std::wcstoull(text.c_str(), nullptr, 10);
}

// ---------------------------------------------------------------------------------------------------------
// One run of the patcher on one damaged file.

enum class Outcome { Invalid, CantUpdate, OtherMessage, Window, Silent, Failed };

const char* OutcomeName(Outcome o) {
    switch (o) {
        case Outcome::Invalid:
            return "\"Invalid patch file\"";
        case Outcome::CantUpdate:
            return "CantUpdate box";
        case Outcome::OtherMessage:
            return "another of its checks' boxes";
        case Outcome::Window:
            return "its window";
        case Outcome::Silent:
            return "no window, as told";
        default:
            return "FAILED";
    }
}

bool IsCantUpdate(const std::wstring& text) {
    // Empty when the string table itself could not be found.
    if (text.empty())
        return true;
    for (const typical::Message& m : typical::Messages()) {
        if (std::wstring(m.key) == L"CantUpdate")
            return text == mPatchStrings::ExpandLineBreaks(m.en) || text == mPatchStrings::ExpandLineBreaks(m.fr);
    }
    return false;
}

bool IsMainWindow(HWND w) {
    return e2e::ClassOf(w) == L"#32770" && !e2e::IsMessageBox(w) && e2e::Item(w, IDC_CMDAPPLY) != nullptr;
}

struct RunResult {
    Outcome outcome = Outcome::Failed;
    std::string detail;
    DWORD code = 0;
    std::wstring firstBox;
};

// `silent`: started with /silent, so that a box or the window is a failure of its own and a run that ends
// without a word is the designed one.
RunResult RunPatcher(const std::wstring& exe, const std::wstring& args, int limitMs, bool silent = false) {
    RunResult r;
    e2e::Program patcher;
    if (!patcher.Start(exe, args)) {
        r.detail = "could not start";
        return r;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    std::vector<std::wstring> boxes;
    bool sawWindow = false;
    auto windowSince = Clock::time_point();
    auto lastCancel = Clock::time_point();
    std::map<HWND, Clock::time_point> strangers;
    for (;;) {
        if (!patcher.Running())
            break;
        if (Clock::now() > deadline) {
            r.detail = "still running after " + std::to_string(limitMs) + " ms";
            patcher.Kill();
            return r;
        }
        bool handled = false;
        for (HWND w : patcher.Windows()) {
            if (!IsWindowVisible(w))
                continue;
            if (silent && (e2e::IsMessageBox(w) || IsMainWindow(w))) {
                r.detail = "a window under /silent: \"" + e2e::Utf8(e2e::WindowText(w)) + "\"";
                patcher.Kill();
                return r;
            }
            if (e2e::IsMessageBox(w)) {
                Sleep(30);  // its text may be set just after it shows
                const e2e::MessageBoxInfo box = e2e::ReadMessageBox(w);
                if (box.caption != e2e::BoxCaption()) {
                    r.detail = "a box that is not the patcher's: " + e2e::Utf8(box.Describe());
                    patcher.Kill();
                    return r;
                }
                // The two boxes that end a damaged patch's run, known by their texts, with their styles.
                const wchar_t* key = box.text == L"Invalid patch file"             ? L"InvalidPatch"
                                     : !box.text.empty() && IsCantUpdate(box.text) ? L"CantUpdate"
                                                                                   : nullptr;
                if (key && box.Style() != e2e::BoxStyle(key)) {
                    r.detail = "a box with other buttons or icon: " + e2e::Utf8(box.Describe());
                    patcher.Kill();
                    return r;
                }
                if (std::find(boxes.begin(), boxes.end(), box.text) == boxes.end())
                    boxes.push_back(box.text);
                const std::vector<int> ids = box.ButtonIds();
                const int answer = std::count(ids.begin(), ids.end(), IDNO)       ? IDNO
                                   : std::count(ids.begin(), ids.end(), IDCANCEL) ? IDCANCEL
                                                                                  : IDOK;
                PostMessageW(e2e::Item(w, answer), BM_CLICK, 0, 0);
                for (int i = 0; i < 100 && IsWindow(w) && IsWindowVisible(w); ++i)
                    Sleep(20);
                handled = true;
                break;
            }
            if (IsMainWindow(w)) {
                if (!IsWindowEnabled(w))
                    continue;  // a box of its own is on its way
                if (!sawWindow) {
                    sawWindow = true;
                    windowSince = Clock::now();
                }
                // Pressed once the window has settled, again if the first press was lost.
                if (Clock::now() - windowSince > std::chrono::milliseconds(300) &&
                    Clock::now() - lastCancel > std::chrono::milliseconds(2000)) {
                    PostMessageW(e2e::Item(w, IDCANCEL), BM_CLICK, 0, 0);
                    lastCancel = Clock::now();
                }
                handled = true;
                continue;
            }
            // Windows come and go while a program starts and ends; one that stays and is neither a box nor
            // the patcher's window is an error of its own.
            if (!IsWindow(w) || e2e::ClassOf(w).empty())
                continue;
            const auto seen = strangers.emplace(w, Clock::now()).first->second;
            if (Clock::now() - seen > std::chrono::milliseconds(3000)) {
                r.detail = "an unexpected window: class " + e2e::Utf8(e2e::ClassOf(w)) + " \"" +
                           e2e::Utf8(e2e::WindowText(w)) + "\"";
                patcher.Kill();
                return r;
            }
        }
        if (!handled)
            Sleep(20);
    }
    const DWORD code = patcher.ExitCode();
    r.code = code;
    if (code >= 0xC0000000u) {
        char hex[16];
        std::snprintf(hex, sizeof(hex), "0x%08lX", static_cast<unsigned long>(code));
        r.detail = std::string("crashed with ") + hex;
        return r;
    }
    if (boxes.empty() && !sawWindow && !silent) {
        r.detail = "ended without a word, exit code " + std::to_string(code);
        return r;
    }
    if (!boxes.empty())
        r.firstBox = boxes.front();
    if (!boxes.empty() && boxes.front() == L"Invalid patch file")
        r.outcome = Outcome::Invalid;
    else if (!boxes.empty() && IsCantUpdate(boxes.front()))
        r.outcome = Outcome::CantUpdate;
    else if (!boxes.empty())
        r.outcome = Outcome::OtherMessage;
    else if (sawWindow)
        r.outcome = Outcome::Window;
    else
        r.outcome = Outcome::Silent;
    for (const std::wstring& text : boxes)
        r.detail += "[" + e2e::Utf8(text) + "] ";
    return r;
}

// ---------------------------------------------------------------------------------------------------------

TEST(Robustness, DamagedPatchFilesNeverCrashHangOrTouchTheInstallation) {
    const uint64_t seed = EnvNumber(L"OV_ROBUSTNESS_SEED", kDefaultSeed);
    const uint64_t first = EnvNumber(L"OV_ROBUSTNESS_FIRST", 0);
    const uint64_t count = EnvNumber(L"OV_ROBUSTNESS_COUNT", kDefaultCount);
    const int limitMs = static_cast<int>(EnvNumber(L"OV_ROBUSTNESS_LIMIT_MS", kDefaultRunLimitMs));
    if (count == 0)
        return;
    std::printf("robustness: seed %llu, cases %llu to %llu\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(first), static_cast<unsigned long long>(first + count - 1));
    std::fflush(stdout);

    // The fakes log outside the installation, and live as long as the whole run may take.
    e2e::TempDir logDir(L"ov robustness log");
    SetEnvironmentVariableW(L"OV_FAKE_LOG", logDir.Path(L"fakes.log").c_str());
    SetEnvironmentVariableW(L"OV_FAKE_LIFETIME_S", L"7200");
    e2e::Installation orvana;
    fakes::FakeProcess& menu = orvana.StartMenu();
    ASSERT_TRUE(fakes::WaitUntil([&] { return menu.HasLogged("ready"); }));

    e2e::Descriptor d;
    const std::wstring descriptorText = d.Text();
    const std::string archive = e2e::MakeArchive({{L"OrvanaTools\\readme.txt", "replacement text\r\n"},
                                                  {L"OrvanaTools\\OrvanaMenu\\data\\menu.ini", "[menu]\r\n"}});
    ASSERT_FALSE(archive.empty());
    e2e::TempDir dir(L"ov robustness");
    const std::wstring validPath = e2e::WritePatch(dir.Path(L"orv_valid.exe"), archive, descriptorText);
    Layout valid;
    valid.bytes = e2e::ReadFileBytes(validPath);
    valid.archiveSize = archive.size();
    valid.descriptorSize = e2e::Utf8(descriptorText).size();
    valid.imageSize = valid.bytes.size() - valid.archiveSize - 4 - valid.descriptorSize - 4 - kMarkerSize;
    ASSERT_EQ(valid.bytes.compare(valid.MarkerAt(), kMarkerSize, kMarker), 0);

    const e2e::Tree untouched = e2e::TreeSnapshot(orvana.root());
    const std::wstring product = e2e::ProductExe();

    // The valid patch itself opens the window: the runs below start from a sound base.
    {
        const RunResult r = RunPatcher(product, L"/src=\"" + validPath + L"\"", limitMs);
        ASSERT_EQ(r.outcome, Outcome::Window) << "the undamaged patch: " << r.detail;
    }

    std::map<Kind, std::map<Outcome, int>> tally;
    int failures = 0;
    const auto started = std::chrono::steady_clock::now();
    for (uint64_t i = first; i < first + count; ++i) {
        Mutator mutator(valid, e2e::Utf8(descriptorText), seed * 1000003ull + i);
        const Mutant m = mutator.Make();
        // Now and then the damaged file is started itself, as a user would start a patch.
        const bool self = m.imageIntact && i % 8 == 7;
        const std::wstring path = dir.Path(self ? L"orv_mutant_" + std::to_wstring(i) + L".exe" : L"orv_mutant.dat");
        ASSERT_TRUE(e2e::WriteFileBytes(path, m.bytes));
        const RunResult r =
            self ? RunPatcher(path, L"", limitMs) : RunPatcher(product, L"/src=\"" + path + L"\"", limitMs);
        if (self)
            DeleteFileW(path.c_str());
        ++tally[m.kind][r.outcome];

        const std::string what = "case " + std::to_string(i) + " (seed " + std::to_string(seed) +
                                 "): " + KindName(m.kind) + ", " + m.note + (self ? ", started itself" : ", as /src=");
        if (r.outcome == Outcome::Failed) {
            ++failures;
            ADD_FAILURE() << what << ": " << r.detail;
        }
        const std::string changed = e2e::TreeDifferences(untouched, e2e::TreeSnapshot(orvana.root()));
        EXPECT_TRUE(changed.empty()) << what << ": the installation changed:" << changed;
        if (!menu.Running()) {
            ADD_FAILURE() << what << ": the menu is no longer running";
            break;
        }
        if (std::getenv("OV_ROBUSTNESS_VERBOSE"))
            std::printf("  %s -> %s %s\n", what.c_str(), OutcomeName(r.outcome), r.detail.c_str());
        if ((i - first + 1) % 100 == 0) {
            std::printf("  %llu cases done\n", static_cast<unsigned long long>(i - first + 1));
            std::fflush(stdout);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("robustness: %llu cases in %.0f s, %d failed; seed %llu\n", static_cast<unsigned long long>(count),
                seconds, failures, static_cast<unsigned long long>(seed));
    for (const auto& [kind, outcomes] : tally) {
        std::printf("  %-32s", KindName(kind));
        for (const auto& [outcome, n] : outcomes)
            std::printf("  %s %d", OutcomeName(outcome), n);
        std::printf("\n");
    }
    std::fflush(stdout);
}

// ---------------------------------------------------------------------------------------------------------
// Hostile journals. A dead apply is left by the patcher's own code (staged, planned, swapped part or all of
// the way, committed or not), then its journal and work folder are damaged or planted with paths that leave
// the installation in every form Windows knows; the patcher meets it at start-up, with or without its window.
// Two sentinel trees stand outside the installation, one on its drive and one on a drive letter of the
// test's own, and are compared byte for byte after every run. A run of its own:
//     OV_ROBUSTNESS_SEED=<seed> OV_ROBUSTNESS_FIRST=<case> OV_ROBUSTNESS_JOURNALS=1 robustness_e2e.exe
//         --gtest_filter=*Journal*

constexpr int kDefaultJournals = 12;

// Wine's name on the Unix side for a Windows path; empty outside Wine.
std::string UnixPath(const std::wstring& path) {
    using Fn = char*(CDECL*)(const wchar_t*);
    static const Fn fn = reinterpret_cast<Fn>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name"));
    char* name = fn ? fn(path.c_str()) : nullptr;
    if (!name)
        return std::string();
    std::string unixName = name;
    HeapFree(GetProcessHeap(), 0, name);
    return unixName;
}

// Starts a Unix program (Wine starts such a file as it is; it cannot be waited for) and polls `done`.
bool RunUnix(const std::wstring& program, const std::vector<std::string>& args, const std::function<bool()>& done) {
    std::wstring line = L"\"Z:" + program + L"\"";
    for (const std::string& a : args) {
        std::wstring wide(a.size() * 2 + 1, L'\0');
        wide.resize(MultiByteToWideChar(CP_UTF8, 0, a.c_str(), -1, wide.data(), static_cast<int>(wide.size())) - 1);
        line += L" \"" + wide + L"\"";
    }
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring exe = L"Z:" + program;
    std::replace(exe.begin(), exe.end(), L'/', L'\\');
    if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    if (pi.hThread)
        CloseHandle(pi.hThread);
    return fakes::WaitUntil(done, 10000);
}

DWORD Attributes(const std::wstring& path) {
    return GetFileAttributesW(path.c_str());
}

// A link made on the Unix side, as Wine shows one: a directory link is a reparse point, a file link is not.
bool MakeLink(const std::wstring& link, const std::wstring& target) {
    const std::string from = UnixPath(fakes::ParentOf(link));
    const std::string to = UnixPath(target);
    if (from.empty() || to.empty())
        return false;
    return RunUnix(L"/bin/ln", {"-sfn", to, from + "/" + fakes::Utf8(link.substr(link.rfind(L'\\') + 1))},
                   [&] { return Attributes(link) != INVALID_FILE_ATTRIBUTES; });
}

bool RemoveLink(const std::wstring& link) {
    const std::string parent = UnixPath(fakes::ParentOf(link));
    const std::string name = fakes::Utf8(link.substr(link.rfind(L'\\') + 1));
    return !parent.empty() && RunUnix(L"/bin/rm", {"-f", parent + "/" + name}, [&] {
        WIN32_FIND_DATAW fd;
        HANDLE find = FindFirstFileW(link.c_str(), &fd);
        if (find == INVALID_HANDLE_VALUE)
            return true;
        FindClose(find);
        return false;
    });
}

// Every file under `root` with its bytes and attributes, every folder ("name\") with nothing; links are listed
// and not followed.
using Contents = std::map<std::wstring, std::string>;
void ListContents(const std::wstring& root, const std::wstring& relative, Contents& out) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((root + L"\\" + relative + L"*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            out[relative + name + L"@"] = "link";
        } else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out[relative + name + L"\\"] = "";
            ListContents(root, relative + name + L"\\", out);
        } else {
            out[relative + name] = std::to_string(fd.dwFileAttributes & FILE_ATTRIBUTE_READONLY) + ":" +
                                   e2e::ReadFileBytes(root + L"\\" + relative + name);
        }
    } while (FindNextFileW(find, &fd));
    FindClose(find);
}
Contents ContentsOf(const std::wstring& root) {
    Contents out;
    ListContents(root, L"", out);
    return out;
}
std::string ContentDifferences(const Contents& before, const Contents& after) {
    std::string d;
    for (const auto& [path, bytes] : before) {
        const auto it = after.find(path);
        if (it == after.end())
            d += " removed " + e2e::Utf8(path) + ";";
        else if (it->second != bytes)
            d += " changed " + e2e::Utf8(path) + ";";
    }
    for (const auto& [path, bytes] : after) {
        if (!before.count(path))
            d += " added " + e2e::Utf8(path) + ";";
    }
    return d;
}

// Files of the same names in both sentinel trees and in the installation, so that a path that escapes lands on
// something to change.
const wchar_t* const kMirrored[] = {
    L"a.txt", L"Sub\\b.txt", L"New\\n.txt", L"gone.txt", L"OrvanaTools\\version.ver", L"data\\patch_close"};

struct Sentinel {
    std::wstring folder;  // as the patcher would name it: on the test's own drive letter, "R:" and the like
    Contents contents;
    void Fill() {
        for (const wchar_t* name : kMirrored) {
            fakes::MakeFolders(fakes::ParentOf(folder + L"\\" + name));
            e2e::WriteFileBytes(folder + L"\\" + name, "the sentinel's " + e2e::Utf8(name));
        }
        e2e::WriteFileBytes(folder + L"\\sentinel.txt", "read-only");
        SetFileAttributesW((folder + L"\\sentinel.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        fakes::MakeFolders(folder + L"\\empty");
        contents = ContentsOf(folder);
    }
};

// A drive letter for a folder of the test's own, made as Wine keeps them (a link in the prefix's dosdevices);
// the first free letter from R on. Taken away when the object goes.
class OwnDrive {
  public:
    explicit OwnDrive(const std::wstring& folder) {
        const std::string c = UnixPath(L"C:\\");
        const size_t at = c.rfind("/c:/");
        if (at == std::string::npos)
            return;
        for (wchar_t letter = L'r'; letter <= L'y'; ++letter) {
            const std::wstring root = std::wstring(1, letter) + L":\\";
            if (Attributes(root) != INVALID_FILE_ATTRIBUTES)
                continue;  // in use; one a run that was killed left names a folder that is gone
            link_ = c.substr(0, at + 1) + static_cast<char>(letter) + ":";
            if (RunUnix(L"/bin/ln", {"-sfn", UnixPath(folder), link_},
                        [&] { return Attributes(root + L"probe") != INVALID_FILE_ATTRIBUTES; }))
                drive_ = std::wstring(1, static_cast<wchar_t>(letter - L'a' + L'A')) + L":";
            break;
        }
    }
    ~OwnDrive() {
        if (!link_.empty())
            RunUnix(L"/bin/rm", {"-f", link_}, [&] { return Attributes(drive_ + L"\\") == INVALID_FILE_ATTRIBUTES; });
    }
    const std::wstring& drive() const { return drive_; }

  private:
    std::string link_;
    std::wstring drive_;
};

enum class Expect { Runs, Refused, Either };

// The journal as lines without their CR LF; `torn` is what follows the last CR LF.
struct JournalFile {
    std::vector<std::wstring> lines;
    std::wstring torn;
    static JournalFile Read(const std::wstring& path) {
        JournalFile j;
        const std::wstring text = mStringTools::Utf16BytesToText(e2e::ReadFileBytes(path));
        size_t pos = 0;
        for (size_t end; (end = text.find(L"\r\n", pos)) != std::wstring::npos; pos = end + 2)
            j.lines.push_back(text.substr(pos, end - pos));
        j.torn = text.substr(pos);
        return j;
    }
    std::string Bytes() const {
        std::wstring text;
        for (const std::wstring& l : lines)
            text += l + L"\r\n";
        return mStringTools::TextToUtf16Bytes(text + torn);
    }
};

class JournalCase {
  public:
    JournalCase(uint64_t seed, const Sentinel& sameDrive, const Sentinel* otherDrive)
        : rng_(seed), near_(sameDrive), far_(otherDrive) {}

    std::string note;
    Expect expect = Expect::Runs;
    bool logged = false;      // a refusal the run's log must give its reason for
    bool unmarked = false;    // the log says instead that the folder is not the patcher's
    bool mayDrop = false;     // committed: the backups may go
    bool applicable = false;  // the patch applies once the installation is whole
    bool windowed = false;
    e2e::Tree beforeApply;  // the installation as a sound recovery leaves it
    std::vector<std::wstring> links;

    // The dead apply, then its damage.
    bool Make(e2e::Installation& orvana) {
        root_ = orvana.root();
        applicable = Pick(5) == 0;
        windowed = Pick(6) == 0;
        std::vector<std::wstring> base;
        for (const wchar_t* name :
             {L"a.txt", L"Sub\\b.txt", L"Sub\\Deep\\c.dat", L"gone.txt", L"name \u00e9 blank.txt"}) {
            if (Pick(3) != 0) {
                orvana.WriteBytes(name, "original " + e2e::Utf8(name) + " " + std::to_string(rng_()));
                base.push_back(name);
            }
        }
        const bool withFlag = Pick(2) == 0;
        const std::wstring flag = orvana.Path(L"OrvanaTools\\OrvanaMenu\\data\\patch_close");
        fakes::MakeFolders(fakes::ParentOf(flag));
        beforeApply = e2e::TreeSnapshot(root_);

        mInstall::StagedSwap swap(root_);
        const std::wstring staging = mInstall::StagingFolder(root_);
        note = "preparing";
        if (!swap.PrepareStaging())
            return false;
        std::vector<std::wstring> staged;
        for (const std::wstring& name : base) {
            if (name != L"gone.txt" && Pick(3) != 0)
                staged.push_back(name);
        }
        for (const wchar_t* name : {L"New\\n.txt", L"Sub\\added.txt", L"New\\Deeper\\d.txt"}) {
            if (Pick(2) == 0)
                staged.push_back(name);
        }
        if (staged.empty())
            staged.push_back(L"New\\n.txt");
        for (const std::wstring& name : staged)
            e2e::WriteFileBytes(staging + name, "new " + e2e::Utf8(name) + " " + std::to_string(rng_()));
        stage_ = static_cast<int>(Pick(7));
        note = "stage " + std::to_string(stage_) + " being made";
        const auto stopped = [&] {
            note += ", stopped by " + e2e::Utf8(swap.blocker());
            return false;
        };
        if (!swap.Begin(withFlag ? flag : L""))
            return stopped();
        if (withFlag)
            e2e::WriteFileBytes(flag, "patch in progress");
        if (stage_ >= 1 && !swap.WritePlan(L""))
            return stopped();
        if (stage_ >= 2 && !swap.Swap())
            return stopped();
        if (stage_ == 3) {  // cut inside the swap: the last replaced file aside, its new copy not yet in
            const auto& entries = swap.plan().entries;
            for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
                if (e->kind == mInstall::EntryKind::Replace) {
                    MoveFileW(e->target.c_str(), e->staged.c_str());
                    break;
                }
            }
        }
        if (stage_ >= 4 && base.size() > 0 && std::count(base.begin(), base.end(), L"gone.txt"))
            swap.MoveToBackup({orvana.Path(L"gone.txt")});
        if (stage_ >= 5 && !swap.StageRecord(orvana.Path(L"OrvanaTools\\version.ver"),
                                             e2e::Installation::VersionFileText() + L"<!-- recorded -->"))
            return stopped();
        if (stage_ >= 6) {
            if (!swap.Commit())
                return stopped();
            mayDrop = true;
            beforeApply = e2e::TreeSnapshot(root_);
            for (auto it = beforeApply.begin(); it != beforeApply.end();)
                it = it->first.rfind(L"OVPatcher.tmp\\", 0) == 0 || it->first.find(L"patch_close") != std::wstring::npos
                         ? beforeApply.erase(it)
                         : std::next(it);
        }
        note = "stage " + std::to_string(stage_);
        work_ = mInstall::InstallWorkFolder(root_);
        applyFolder_ = mInstall::ApplyFolder(root_, swap.plan().applyId);
        journal_ = mInstall::JournalPath(root_);
        backups_ = Backups();

        const int damages = Pick(5) == 0 ? 2 : 1;
        for (int i = 0; i < damages; ++i)
            Damage();
        // A folder without the mark is not the patcher's: refused before its journal is read.
        logged = logged && !unmarked_;
        unmarked = unmarked_;
        return true;
    }

    // The originals the apply moved aside, by path under the work folder.
    Contents Backups() const {
        Contents all = ContentsOf(work_.substr(0, work_.size() - 1));
        Contents backups;
        for (const auto& [path, bytes] : all) {
            if (path.rfind(L"apply ", 0) == 0 && path.back() != L'\\' &&
                (path.find(L"\\old") != std::wstring::npos || path.find(L"\\gone") != std::wstring::npos))
                backups.emplace(path, bytes);
        }
        return backups;
    }
    const Contents& backups() const { return backups_; }

  private:
    uint64_t Pick(uint64_t n) { return n ? rng_() % n : 0; }

    void Worse(Expect e, bool log, const std::string& what) {
        if (e == Expect::Refused || (e == Expect::Either && expect == Expect::Runs))
            expect = e;
        logged = logged || log;
        note += ", " + what;
    }

    // A path that leaves the installation, in one of the forms Windows knows, aimed at a sentinel.
    std::wstring Hostile() {
        const std::wstring name = kMirrored[Pick(std::size(kMirrored))];
        const std::wstring& c = near_.folder;
        const std::wstring other = far_ ? far_->folder : c;
        // From the root up to the temporary folder both live in, then down again.
        std::wstring up;
        for (size_t at = 0; (at = root_.find(L'\\', at + 1)) != std::wstring::npos;)
            up += L"..\\";
        const std::wstring fromRoot = up + c.substr(3) + L"\\" + name;
        std::string unixC = UnixPath(c);
        const size_t drive = unixC.find("/dosdevices/c:/");
        if (drive != std::string::npos)
            unixC.replace(drive, 15, "/drive_c/");
        std::wstring slashed(unixC.begin(), unixC.end());  // ASCII: the temporary folder's names
        std::replace(slashed.begin(), slashed.end(), L'/', L'\\');
        switch (Pick(20)) {
            case 0:
                return c + L"\\" + name;
            case 1:
                return other + L"\\" + name;
            case 2:
                return fromRoot;
            case 3:
                return L"Sub\\..\\" + up + c.substr(3) + L"\\" + name;
            case 4:
                return L"C:" + up + up + c.substr(3) + L"\\" + name;  // against the patcher's folder on C:
            case 5:
                return other.substr(0, 2) + name;  // against the drive's own folder
            case 6:
                return L"\\\\?\\" + c + L"\\" + name;
            case 7:
                return L"\\\\?\\" + other + L"\\" + name;
            case 8:
                return L"\\\\.\\" + c + L"\\" + name;
            // Wine looks a share up in its prefix only: these never leave the machine.
            case 9:
                return L"\\\\ovpatcher-test.invalid\\share\\" + name;
            case 10:
                return L"\\\\?\\UNC\\localhost\\C$\\" + c.substr(3) + L"\\" + name;
            case 11:
                return slashed + L"\\" + name;  // from the root of the patcher's own drive
            case 12:
                return name + L":stream";
            case 13:
                return fromRoot + L"::$DATA";
            case 14:
                return L"\\??\\" + c + L"\\" + name;
            case 15: {
                std::wstring s = fromRoot;
                std::replace(s.begin(), s.end(), L'\\', L'/');
                return s;
            }
            case 16: {
                const wchar_t* dots[] = {L".. \\", L"...\\", L"..\\.\\", L".\\..\\"};
                std::wstring s = fromRoot;
                return dots[Pick(4)] + s;
            }
            case 17: {
                const wchar_t* devices[] = {L"NUL",  L"CON",     L"Sub\\COM1.txt",  L"CONOUT$",
                                            L"lpt9", L"AUX.log", L"\\\\.\\pipe\\ov"};
                return devices[Pick(std::size(devices))];
            }
            case 18: {
                const wchar_t* odd[] = {L"Sub\\\\b.txt", L"Sub\\", L"",          L"a*.txt", L"a?.txt", L"a\"b",
                                        L"a<b",          L"a|b",   L"a\x01.txt", L"a.txt.", L"a.txt "};
                return odd[Pick(std::size(odd))];
            }
            default:
                return L"\\" + c.substr(3) + L"\\" + name;
        }
    }

    void Damage() {
        JournalFile j = JournalFile::Read(journal_);
        const size_t n = j.lines.size();
        switch (Pick(16)) {
            case 0:
            case 1:
                Worse(Expect::Runs, false, "sound");
                return;
            case 2: {  // a line torn by the cut after the last whole one
                const std::wstring whole[] = {L"committed", L"remove\tgone.txt\tOVPatcher.tmp\\x", L"end"};
                const std::wstring& w = whole[Pick(3)];
                j.torn = w.substr(0, 1 + Pick(w.size()));
                std::string bytes = j.Bytes();
                if (Pick(2))
                    bytes.pop_back();  // half a character
                e2e::WriteFileBytes(journal_, bytes);
                Worse(Expect::Runs, false, "torn line after the last");
                return;
            }
            case 3:
                if (n > 1 && j.torn.empty()) {
                    j.torn = j.lines.back();
                    j.lines.pop_back();
                    e2e::WriteFileBytes(journal_, j.Bytes());
                    Worse(Expect::Either, false, "last line torn");
                    return;
                }
                [[fallthrough]];
            case 4:
            case 5:
            case 6: {  // a path field made hostile
                std::vector<std::pair<size_t, size_t>> fields;
                for (size_t i = 1; i < n; ++i) {
                    const auto f = mStringTools::SplitAt(j.lines[i], L'\t');
                    for (size_t k = 1; k < f.size() && !(f[0] == L"add" && k >= 3); ++k)
                        fields.emplace_back(i, k);
                }
                if (!fields.empty()) {
                    const auto [i, k] = fields[Pick(fields.size())];
                    auto f = mStringTools::SplitAt(j.lines[i], L'\t');
                    f[k] = Hostile();
                    j.lines[i] = Joined(f);
                    e2e::WriteFileBytes(journal_, j.Bytes());
                    Worse(Expect::Refused, true,
                          "hostile path \"" + e2e::Utf8(f[k]) + "\" in line " + std::to_string(i + 1));
                    return;
                }
            }
                [[fallthrough]];
            case 7: {
                if (n == 0)
                    break;  // a whole line planted
                const std::wstring lines[] = {
                    L"flag\t" + Hostile(),
                    L"folder\t" + Hostile(),
                    L"replace\tOVPatcher.tmp\\new\\a.txt\t" + Hostile() + L"\tOVPatcher.tmp\\apply x\\old\\a.txt",
                    L"replace\t" + Hostile() + L"\ta.txt\tOVPatcher.tmp\\apply x\\old\\a.txt",
                    L"add\tOVPatcher.tmp\\new\\a.txt\t" + Hostile() + L"\t1\t1",
                    L"remove\t" + Hostile() + L"\tOVPatcher.tmp\\apply x\\gone\\0\\a.txt",
                    L"remove\ta.txt\t" + Hostile(),
                    L"record\t" + Hostile() + L"\tOVPatcher.tmp\\apply x\\record",
                    L"record\tOrvanaTools\\version.ver\t" + Hostile(),
                    L"apply\t" + Hostile(),
                };
                const std::wstring& line = lines[Pick(std::size(lines))];
                j.lines.insert(j.lines.begin() + 1 + static_cast<ptrdiff_t>(Pick(n)), line);
                e2e::WriteFileBytes(journal_, j.Bytes());
                Worse(Expect::Refused, true, "planted line \"" + e2e::Utf8(line) + "\"");
                return;
            }
            case 8: {  // a whole line damaged
                if (n < 2)
                    break;
                const size_t i = 1 + Pick(n - 1);
                std::wstring& l = j.lines[i];
                const size_t tab = l.find(L'\t');
                const int how = static_cast<int>(Pick(5));
                if (how == 0 && tab != std::wstring::npos)
                    l[tab] = L' ';
                else if (how == 1)
                    l[0] = static_cast<wchar_t>(l[0] ^ 0x20);
                else if (how == 2)
                    l += L"\textra";
                else if (how == 3 && tab != std::wstring::npos)
                    l.resize(l.rfind(L'\t'));
                else
                    l[Pick(l.size())] = L'\0';
                e2e::WriteFileBytes(journal_, j.Bytes());
                Worse(Expect::Refused, true,
                      "line " + std::to_string(i + 1) + " damaged (" + std::to_string(how) + ")");
                return;
            }
            case 9: {  // lines swapped, doubled or lost
                if (n < 3)
                    break;
                const size_t i = 1 + Pick(n - 1);
                const int how = static_cast<int>(Pick(3));
                if (how == 0 && i + 1 < n)
                    std::swap(j.lines[i], j.lines[i + 1]);
                else if (how == 1)
                    j.lines.insert(j.lines.begin() + static_cast<ptrdiff_t>(i), j.lines[i]);
                else
                    j.lines.erase(j.lines.begin() + static_cast<ptrdiff_t>(i));
                e2e::WriteFileBytes(journal_, j.Bytes());
                Worse(Expect::Either, false, "line " + std::to_string(i + 1) + " moved (" + std::to_string(how) + ")");
                return;
            }
            case 10: {  // a file the journal does not name
                const std::wstring places[] = {applyFolder_ + L"old\\extra.txt", work_ + L"stray.bin",
                                               work_ + L"apply other\\old\\a.txt", applyFolder_ + L"gone\\9\\x.txt"};
                const std::wstring& place = places[Pick(std::size(places))];
                fakes::MakeFolders(fakes::ParentOf(place));
                e2e::WriteFileBytes(place, "an original nobody named " + std::to_string(rng_()));
                backups_ = Backups();
                Worse(Expect::Refused, true, "extra " + e2e::Utf8(place.substr(work_.size())));
                return;
            }
            case 11: {  // the mark gone, or a folder in its place
                const std::wstring mark = work_ + mInstall::kOwnMark;
                DeleteFileW(mark.c_str());
                if (Pick(2))
                    CreateDirectoryW(mark.c_str(), nullptr);
                Worse(Expect::Refused, false, "mark missing");
                unmarked_ = true;
                return;
            }
            case 12: {  // a backup lost, or a folder in its place
                if (backups_.empty())
                    break;
                auto it = backups_.begin();
                std::advance(it, static_cast<ptrdiff_t>(Pick(backups_.size())));
                const std::wstring path = work_ + it->first;
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
                if (Pick(2))
                    CreateDirectoryW(path.c_str(), nullptr);
                Worse(Expect::Either, false, "backup " + e2e::Utf8(it->first) + " lost");
                backups_.erase(it);
                return;
            }
            case 13: {  // the journal lost, emptied or without its header
                const int how = static_cast<int>(Pick(3));
                if (how == 0)
                    DeleteFileW(journal_.c_str());
                else
                    e2e::WriteFileBytes(journal_, how == 1 ? std::string() : j.Bytes().substr(4));
                // Without a journal nobody knows where an original belongs: one in the folder keeps it all. What an
                // earlier damage wrote into the journal is gone with it.
                note += ", journal " + std::string(how == 0 ? "lost" : how == 1 ? "empty" : "without header");
                expect = backups_.empty() ? Expect::Either : Expect::Refused;
                logged = !backups_.empty();
                return;
            }
            case 14: {  // a folder on the way to a path the journal names is a link out of the installation
                std::vector<std::wstring> folders;
                for (size_t i = 1; i < n; ++i) {
                    const auto f = mStringTools::SplitAt(j.lines[i], L'\t');
                    for (size_t k = 1; k < f.size() && f[0] != L"apply" && !(f[0] == L"add" && k >= 3); ++k) {
                        if (mInstall::PathInside(f[k], root_).empty())
                            continue;  // a path planted before: its folders are not the installation's
                        for (size_t at = 0; (at = f[k].find(L'\\', at + 1)) != std::wstring::npos;) {
                            const std::wstring folder = root_ + L"\\" + f[k].substr(0, at);
                            const DWORD attr = Attributes(folder);
                            if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) &&
                                !(attr & FILE_ATTRIBUTE_REPARSE_POINT) && folder + L"\\" != work_)
                                folders.push_back(folder);
                        }
                    }
                }
                if (folders.empty())
                    break;
                const std::wstring folder = folders[Pick(folders.size())];
                const Sentinel& to = far_ && Pick(2) ? *far_ : near_;
                const std::wstring target = Pick(2) ? to.folder : to.folder + L"\\empty";
                if (!MoveFileW(folder.c_str(), (folder + L" moved").c_str()))
                    break;
                if (!MakeLink(folder, target)) {
                    MoveFileW((folder + L" moved").c_str(), folder.c_str());
                    break;
                }
                links.push_back(folder);
                backups_ = Backups();
                Worse(Expect::Refused, true,
                      "link " + e2e::Utf8(folder.substr(root_.size() + 1)) + " -> " + e2e::Utf8(target));
                return;
            }
            case 15: {  // a file the journal names is also a sentinel's, by a second name (a hard link)
                // Wine shows a Unix link to a file as a plain file and renames what it points at, where Windows
                // shows a reparse point: only the hard link means the same on both.
                const std::wstring name = kMirrored[Pick(3)];
                const std::wstring at = root_ + L"\\" + name;
                const DWORD attr = Attributes(at);
                if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_DIRECTORY))
                    break;
                const std::wstring aside = at + L" moved";
                if (!MoveFileW(at.c_str(), aside.c_str()))
                    break;
                if (!CreateHardLinkW(at.c_str(), (near_.folder + L"\\" + name).c_str(), nullptr)) {
                    MoveFileW(aside.c_str(), at.c_str());
                    break;
                }
                Worse(Expect::Either, false, "hard link " + e2e::Utf8(name));
                return;
            }
        }
        Worse(Expect::Runs, false, "nothing to damage");
    }

    static std::wstring Joined(const std::vector<std::wstring>& fields) {
        std::wstring line;
        for (const std::wstring& f : fields)
            line += (line.empty() ? L"" : L"\t") + f;
        return line;
    }

    std::mt19937_64 rng_;
    const Sentinel& near_;
    const Sentinel* far_;
    std::wstring root_;
    std::wstring work_;
    std::wstring applyFolder_;
    std::wstring journal_;
    Contents backups_;
    int stage_ = 0;
    bool unmarked_ = false;
};

bool IsTableCode(DWORD code) {
    return code <= 14;
}

TEST(Robustness, HostileJournalsNeverReachOutsideTheInstallationNorCostABackup) {
    const uint64_t seed = EnvNumber(L"OV_ROBUSTNESS_SEED", kDefaultSeed);
    const uint64_t first = EnvNumber(L"OV_ROBUSTNESS_FIRST", 0);
    const uint64_t count = EnvNumber(L"OV_ROBUSTNESS_JOURNALS", kDefaultJournals);
    const int limitMs = static_cast<int>(EnvNumber(L"OV_ROBUSTNESS_LIMIT_MS", 60000));
    if (count == 0)
        return;
    std::printf("journals: seed %llu, cases %llu to %llu\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(first), static_cast<unsigned long long>(first + count - 1));
    std::fflush(stdout);

    e2e::TempDir out(L"ov journals");
    const std::wstring product = e2e::ProductExe();
    const std::string archive = e2e::MakeArchive({{L"OrvanaTools\\readme.txt", "replacement text\r\n"}});
    ASSERT_FALSE(archive.empty());
    e2e::Descriptor applies = e2e::EnglishPatch();
    e2e::Descriptor refuses = applies;
    refuses.ORVPatchNeeded = L"19990101000000";  // older than the installation: nothing is patched
    refuses.PatchVersion = L"20000101000000";
    const std::wstring applying = e2e::WritePatch(out.Path(L"applies.exe"), archive, applies.Text());
    const std::wstring refusing = e2e::WritePatch(out.Path(L"refuses.exe"), archive, refuses.Text());

    e2e::TempDir nearFolder(L"ov sentinel");
    Sentinel sameDrive{nearFolder.path(), {}};
    sameDrive.Fill();
    e2e::TempDir farFolder(L"ov drive");
    e2e::WriteFileBytes(farFolder.Path(L"probe"), "");
    OwnDrive drive(farFolder.path());
    Sentinel otherDrive{drive.drive(), {}};
    if (!drive.drive().empty())
        otherDrive.Fill();
    else
        std::printf("no drive letter could be made here: the sentinel on another drive is left out\n");
    std::printf("sentinels: %s and %s\n", e2e::Utf8(sameDrive.folder).c_str(), e2e::Utf8(otherDrive.folder).c_str());

    std::map<std::string, std::map<std::string, int>> tally;
    int failures = 0;
    const auto started = std::chrono::steady_clock::now();
    for (uint64_t i = first; i < first + count; ++i) {
        e2e::Installation orvana;
        JournalCase c(seed * 1000033ull + i, sameDrive, drive.drive().empty() ? nullptr : &otherDrive);
        if (!c.Make(orvana)) {
            ADD_FAILURE() << "case " << i << ": the dead apply could not be made (" << c.note << ")";
            continue;
        }
        const std::wstring runLog = out.Path(L"run " + std::to_wstring(i) + L".log");
        const e2e::Tree left = e2e::TreeSnapshot(orvana.root());
        const Contents backups = c.backups();
        const std::wstring args = std::wstring(c.windowed ? L"" : L"/silent ") + L"/dir=\"" + orvana.root() +
                                  L"\" /log=\"" + runLog + L"\" /src=\"" + (c.applicable ? applying : refusing) + L"\"";
        const RunResult r = RunPatcher(product, args, limitMs, !c.windowed);
        const std::string what = "case " + std::to_string(i) + " (seed " + std::to_string(seed) + "): " + c.note +
                                 (c.windowed ? ", window" : ", silent") + (c.applicable ? ", applies" : "");
        // With the window, the first box says it cannot update and names what stopped it.
        const bool refused = c.windowed ? r.firstBox.rfind(L"Unable to apply this update to your Orvana", 0) == 0
                                        : r.code == static_cast<DWORD>(mUnattended::ExitCode::CannotUpdate);
        std::string kind = c.expect == Expect::Runs ? "sound" : c.expect == Expect::Refused ? "refusable" : "either";
        ++tally[kind][r.outcome == Outcome::Failed
                          ? "FAILED"
                          : (refused ? "refused" : "run") + std::string(" exit ") + std::to_string(r.code)];
        std::string fault;
        if (r.outcome == Outcome::Failed)
            fault += " ended badly: " + r.detail + ";";
        else if (!IsTableCode(r.code))
            fault += " exit code " + std::to_string(r.code) + " is none of the table's;";
        for (Sentinel* s : {&sameDrive, &otherDrive}) {
            if (s->folder.empty())
                continue;
            const std::string changed = ContentDifferences(s->contents, ContentsOf(s->folder));
            if (!changed.empty()) {
                fault += " outside the installation," + changed;
                fakes::DeleteTree(s->folder);  // made anew for the next case
                fakes::MakeFolders(s->folder);
                s->Fill();
            }
        }
        const Contents after = ContentsOf(orvana.root());
        if (c.expect == Expect::Refused) {
            if (!refused)
                fault += " a journal not to run was run (exit " + std::to_string(r.code) + ");";
            const std::string changed = e2e::TreeDifferences(left, e2e::TreeSnapshot(orvana.root()));
            if (!changed.empty())
                fault += " the installation changed:" + changed;
            if (c.logged || c.unmarked) {
                const std::vector<std::string> log = e2e::RunLogLines(runLog);
                const std::string reason =
                    c.unmarked ? "Not the patcher's folder, left as it is: " : "Journal not run, ";
                if (std::none_of(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(reason, 0) == 0; }))
                    fault += " the log gives no reason;";
            }
        }
        if (c.expect == Expect::Runs) {
            if (refused)
                fault += " a sound journal was not run;";
            const auto designed = c.applicable ? mUnattended::ExitCode::Applied : mUnattended::ExitCode::NewerInstalled;
            if (!c.windowed && r.code != static_cast<DWORD>(designed))
                fault += " exit " + std::to_string(r.code) + " where " + std::to_string(static_cast<int>(designed)) +
                         " was due;";
            e2e::Tree now = e2e::TreeSnapshot(orvana.root());
            e2e::Tree expected = c.beforeApply;
            if (c.applicable && !c.windowed) {
                for (const wchar_t* patched : {L"OrvanaTools\\readme.txt", L"OrvanaTools\\version.ver"})
                    now.erase(patched), expected.erase(patched);
            }
            const std::string changed = e2e::TreeDifferences(expected, now);
            if (!changed.empty())
                fault += " not put back as it was:" + changed;
        }
        // Every original the dead apply moved aside is still somewhere in the installation, unless it was done.
        if (!c.mayDrop) {
            for (const auto& [path, bytes] : backups) {
                if (std::none_of(after.begin(), after.end(), [&](const auto& f) { return f.second == bytes; }))
                    fault += " backup " + e2e::Utf8(path) + " lost;";
            }
        }
        if (!fault.empty()) {
            ++failures;
            ADD_FAILURE() << what << ":" << fault;
        }
        if (std::getenv("OV_ROBUSTNESS_VERBOSE"))
            std::printf("  %s -> %s, exit %lu %s\n", what.c_str(), OutcomeName(r.outcome),
                        static_cast<unsigned long>(r.code), r.detail.c_str());
        for (const std::wstring& link : c.links)
            RemoveLink(link);
        // A link the run moved elsewhere in the installation goes too, before the folder is deleted.
        for (const auto& [path, bytes] : ContentsOf(orvana.root())) {
            if (bytes == "link")
                RemoveLink(orvana.Path(path.substr(0, path.size() - 1)));
        }
        DeleteFileW(runLog.c_str());
        if ((i - first + 1) % 100 == 0) {
            std::printf("  %llu journals done\n", static_cast<unsigned long long>(i - first + 1));
            std::fflush(stdout);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("journals: %llu cases in %.0f s, %d failed; seed %llu\n", static_cast<unsigned long long>(count),
                seconds, failures, static_cast<unsigned long long>(seed));
    for (const auto& [kind, outcomes] : tally) {
        std::printf("  %-10s", kind.c_str());
        for (const auto& [outcome, n] : outcomes)
            std::printf("  %s: %d", outcome.c_str(), n);
        std::printf("\n");
    }
    std::fflush(stdout);
}

}  // namespace
