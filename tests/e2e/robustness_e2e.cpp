// Damaged patch files, started against a running installation: whatever the damage, the patcher must
// say "Invalid patch file", refuse with one of its own boxes, or show its window; never crash, hang or
// leave a box that is not its own, and never touch the installation.
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
#include <map>
#include <random>
#include <string>
#include <vector>

#include "e2e/harness/apply_support.h"
#include "e2e/harness/install_builder.h"
#include "e2e/harness/patch_builder.h"
#include "e2e/harness/patch_mutator.h"
#include "e2e/harness/window_driver.h"
#include "patcher/frm_main_ids.h"
#include "patcher/strings.h"
#include "patcher/typical_descriptor.h"

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

enum class Outcome { Invalid, CantUpdate, OtherMessage, Window, Failed };

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
};

RunResult RunPatcher(const std::wstring& exe, const std::wstring& args, int limitMs) {
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
    if (code >= 0xC0000000u) {
        char hex[16];
        std::snprintf(hex, sizeof(hex), "0x%08lX", static_cast<unsigned long>(code));
        r.detail = std::string("crashed with ") + hex;
        return r;
    }
    if (boxes.empty() && !sawWindow) {
        r.detail = "ended without a word, exit code " + std::to_string(code);
        return r;
    }
    if (!boxes.empty() && boxes.front() == L"Invalid patch file")
        r.outcome = Outcome::Invalid;
    else if (!boxes.empty() && IsCantUpdate(boxes.front()))
        r.outcome = Outcome::CantUpdate;
    else if (!boxes.empty())
        r.outcome = Outcome::OtherMessage;
    else
        r.outcome = Outcome::Window;
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

}  // namespace
