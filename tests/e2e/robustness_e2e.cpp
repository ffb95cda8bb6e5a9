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

#include "e2e/harness/install_builder.h"
#include "e2e/harness/patch_builder.h"
#include "e2e/harness/window_driver.h"
#include "patcher/frm_main_ids.h"
#include "patcher/strings.h"
#include "patcher/typical_descriptor.h"

namespace {

constexpr uint64_t kDefaultSeed = 20141114055922ull;
constexpr int kDefaultCount = 50;
// Time one start may take, unless OV_ROBUSTNESS_LIMIT_MS says otherwise.
constexpr int kDefaultRunLimitMs = 20000;
const char kMarker[] = "OVPATCHEND";
constexpr size_t kMarkerSize = 10;

uint64_t EnvNumber(const wchar_t* name, uint64_t fallback) {
    const std::wstring text = fakes::Env(name);
    if (text.empty())
        return fallback;
    return std::wcstoull(text.c_str(), nullptr, 10);
}

// ---------------------------------------------------------------------------------------------------------
// The valid patch and its landmarks.

struct Layout {
    std::string bytes;
    size_t imageSize = 0;
    size_t archiveSize = 0;
    size_t descriptorSize = 0;

    size_t ArchiveLengthAt() const { return imageSize + archiveSize; }
    size_t DescriptorAt() const { return ArchiveLengthAt() + 4; }
    size_t DescriptorLengthAt() const { return DescriptorAt() + descriptorSize; }
    size_t MarkerAt() const { return DescriptorLengthAt() + 4; }
};

void PutU32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string U32Bytes(uint32_t value) {
    std::string bytes(4, '\0');
    PutU32(bytes, 0, value);
    return bytes;
}

// ---------------------------------------------------------------------------------------------------------
// Mutations.

enum class Kind {
    TruncateAnywhere,
    TruncatePayload,
    ArchiveLength,
    DescriptorLength,
    MarkerDamaged,
    MarkerMoved,
    DescriptorRandom,
    DescriptorNested,
    DescriptorUnclosed,
    ByteFlips,
    kCount
};

const char* KindName(Kind k) {
    switch (k) {
        case Kind::TruncateAnywhere: return "truncated anywhere";
        case Kind::TruncatePayload: return "truncated in the payload";
        case Kind::ArchiveLength: return "archive length field";
        case Kind::DescriptorLength: return "descriptor length field";
        case Kind::MarkerDamaged: return "marker damaged";
        case Kind::MarkerMoved: return "marker moved";
        case Kind::DescriptorRandom: return "descriptor of random bytes";
        case Kind::DescriptorNested: return "descriptor of nested tags";
        case Kind::DescriptorUnclosed: return "descriptor with unclosed tags";
        case Kind::ByteFlips: return "bytes changed in the trailer";
        default: return "?";
    }
}

struct Mutant {
    Kind kind;
    std::string note;   // what exactly was done, for a failure message
    std::string bytes;
    bool imageIntact;   // the program image is untouched: the file itself can be started
};

class Mutator {
  public:
    Mutator(const Layout& valid, const std::wstring& descriptorText, uint64_t seed)
        : valid_(valid), descriptorText_(descriptorText), rng_(seed) {}

    Mutant Make() {
        const Kind kind = static_cast<Kind>(Below(static_cast<uint32_t>(Kind::kCount)));
        Mutant m{kind, "", valid_.bytes, true};
        std::string& b = m.bytes;
        switch (kind) {
            case Kind::TruncateAnywhere: {
                const size_t at = Below(static_cast<uint32_t>(b.size()));
                b.resize(at);
                m.imageIntact = at >= valid_.imageSize;
                m.note = "cut at " + std::to_string(at);
                break;
            }
            case Kind::TruncatePayload: {
                const size_t at = valid_.imageSize + Below(static_cast<uint32_t>(b.size() - valid_.imageSize));
                b.resize(at);
                m.note = "cut at " + std::to_string(at);
                break;
            }
            case Kind::ArchiveLength:
            case Kind::DescriptorLength: {
                const bool archive = kind == Kind::ArchiveLength;
                const size_t at = archive ? valid_.ArchiveLengthAt() : valid_.DescriptorLengthAt();
                const uint32_t real = static_cast<uint32_t>(archive ? valid_.archiveSize : valid_.descriptorSize);
                const uint32_t value = LengthValue(real, static_cast<uint32_t>(b.size()), at);
                PutU32(b, at, value);
                m.note = "set to " + std::to_string(value) + " (signed " +
                         std::to_string(static_cast<int32_t>(value)) + ")";
                break;
            }
            case Kind::MarkerDamaged: {
                const int changes = 1 + static_cast<int>(Below(3));
                for (int i = 0; i < changes; ++i) {
                    const size_t at = valid_.MarkerAt() + Below(kMarkerSize);
                    const char before = b[at];
                    // Half of the time the same letter in the other case: the marker is case-sensitive.
                    b[at] = Below(2) && std::isalpha(static_cast<unsigned char>(before))
                                ? static_cast<char>(before ^ 0x20)
                                : static_cast<char>(before ^ (1 + Below(255)));
                    m.note += "byte " + std::to_string(at - valid_.MarkerAt()) + " ";
                }
                break;
            }
            case Kind::MarkerMoved:
                MoveMarker(m);
                break;
            case Kind::DescriptorRandom: {
                const uint32_t sizes[] = {0, 1, 4, 10, 64, 1000, 5000, 20000};
                const uint32_t size = Below(2) ? sizes[Below(8)] : Below(6000);
                std::string junk(size, '\0');
                for (char& c : junk)
                    c = static_cast<char>(Below(256));
                // Some with a '<' in front, so that the reader finds a tag and goes further.
                if (size > 0 && Below(2))
                    junk[0] = '<';
                ReplaceDescriptor(b, junk);
                m.note = std::to_string(size) + " random bytes";
                break;
            }
            case Kind::DescriptorNested: {
                const std::string text = Nested(m.note);
                ReplaceDescriptor(b, text);
                break;
            }
            case Kind::DescriptorUnclosed: {
                ReplaceDescriptor(b, Unclosed(m.note));
                break;
            }
            case Kind::ByteFlips: {
                const int flips = 1 + static_cast<int>(Below(8));
                const size_t from = valid_.ArchiveLengthAt();
                for (int i = 0; i < flips; ++i) {
                    const size_t at = from + Below(static_cast<uint32_t>(b.size() - from));
                    b[at] = static_cast<char>(b[at] ^ (1 + Below(255)));
                    m.note += std::to_string(at) + " ";
                }
                break;
            }
            default:
                break;
        }
        return m;
    }

  private:
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng_() % n); }

    uint32_t LengthValue(uint32_t real, uint32_t fileSize, size_t fieldAt) {
        switch (Below(9)) {
            case 0: return 0;
            case 1: return 0xFFFFFFFFu;                       // -1
            case 2: return 0x80000000u;                       // the most negative
            case 3: return 0x80000000u + Below(0x7FFFFFFF);   // any negative
            case 4: return fileSize + 1 + Below(1000000);     // beyond the file
            case 5: return static_cast<uint32_t>(fieldAt) + 1;  // one byte before the file's start
            case 6: return static_cast<uint32_t>(fieldAt);      // starts exactly at the file's start
            case 7: return real + (Below(2) ? 1u : 0xFFFFFFFFu) * (1 + Below(16));  // a few bytes off
            default: return static_cast<uint32_t>(rng_());
        }
    }

    void MoveMarker(Mutant& m) {
        std::string& b = m.bytes;
        switch (Below(5)) {
            case 0: {  // taken away and put back somewhere earlier
                b.erase(valid_.MarkerAt(), kMarkerSize);
                const size_t at = Below(static_cast<uint32_t>(b.size()));
                b.insert(at, kMarker, kMarkerSize);
                m.imageIntact = at >= valid_.imageSize;
                m.note = "moved to " + std::to_string(at);
                break;
            }
            case 1: {  // shifted by a few bytes inside the trailer
                b.erase(valid_.MarkerAt(), kMarkerSize);
                const size_t shift = 1 + Below(12);
                const size_t at = valid_.MarkerAt() >= shift ? valid_.MarkerAt() - shift : 0;
                b.insert(at, kMarker, kMarkerSize);
                m.note = "shifted back by " + std::to_string(shift);
                break;
            }
            case 2: {  // pushed out of the search window by data behind it
                const size_t extra = 10231 + Below(20000);
                b.append(Junk(extra));
                m.note = std::to_string(extra) + " bytes after it";
                break;
            }
            case 3: {  // data behind it that still leaves it inside the window (a signature would)
                const size_t extra = Below(10231);
                b.append(Junk(extra));
                m.note = std::to_string(extra) + " bytes after it (allowed)";
                break;
            }
            default: {  // a second marker behind the real one, with junk before it
                const size_t extra = Below(64);
                b.append(Junk(extra));
                b.append(kMarker, kMarkerSize);
                m.note = "second marker " + std::to_string(extra) + " bytes after the first";
                break;
            }
        }
    }

    std::string Junk(size_t size) {
        std::string junk(size, '\0');
        for (char& c : junk)
            c = static_cast<char>(Below(256));
        return junk;
    }

    // Replaces block 0 and its length field, keeping the chain otherwise sound.
    void ReplaceDescriptor(std::string& b, const std::string& text) {
        std::string tail = text + U32Bytes(static_cast<uint32_t>(text.size())) + kMarker;
        b.resize(valid_.DescriptorAt());
        b += tail;
    }

    std::string Nested(std::string& note) {
        static const char* const names[] = {"ORVPatch", "Strings", "EN", "FR", "UpdateInfo", "a", "PatchVersion"};
        const uint32_t depths[] = {1, 2, 10, 100, 1000, 10000, 50000};
        const uint32_t depth = depths[Below(7)];
        const bool closed = Below(2);
        const bool insideTypical = Below(2);
        std::string open, close;
        std::vector<const char*> chosen;
        for (uint32_t i = 0; i < depth; ++i) {
            chosen.push_back(names[Below(7)]);
            open += std::string("<") + chosen.back() + ">";
        }
        for (auto it = chosen.rbegin(); closed && it != chosen.rend(); ++it)
            close += std::string("</") + *it + ">";
        note = std::to_string(depth) + " levels, " + (closed ? "closed" : "unclosed") +
               (insideTypical ? ", inside the typical descriptor's Strings" : ", alone");
        if (!insideTypical)
            return open + "text" + close;
        std::string typical = e2e::Utf8(descriptorText_);
        const size_t strings = typical.find("<Strings>");
        if (strings != std::string::npos)
            typical.insert(strings + 9, open + close);
        return typical;
    }

    std::string Unclosed(std::string& note) {
        std::string typical = e2e::Utf8(descriptorText_);
        std::vector<size_t> closings;
        for (size_t at = typical.find("</"); at != std::string::npos; at = typical.find("</", at + 2))
            closings.push_back(at);
        switch (Below(3)) {
            case 0: {  // one closing tag gone
                const size_t at = closings[Below(static_cast<uint32_t>(closings.size()))];
                const size_t end = typical.find('>', at);
                note = "removed " + typical.substr(at, end + 1 - at);
                typical.erase(at, end + 1 - at);
                return typical;
            }
            case 1: {  // the document cut short
                const size_t at = Below(static_cast<uint32_t>(typical.size()));
                note = "cut at " + std::to_string(at);
                typical.resize(at);
                return typical;
            }
            default: {  // every closing tag gone
                std::string open;
                for (size_t i = 0; i < typical.size(); ++i) {
                    if (typical.compare(i, 2, "</") == 0) {
                        const size_t end = typical.find('>', i);
                        if (end == std::string::npos)
                            break;
                        i = end;
                        continue;
                    }
                    open += typical[i];
                }
                note = "no closing tag at all";
                return open;
            }
        }
    }

    const Layout& valid_;
    std::wstring descriptorText_;
    std::mt19937_64 rng_;
};

// ---------------------------------------------------------------------------------------------------------
// The installation's files, to show that nothing in it changes.

uint64_t Fnv1a(const std::string& bytes) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

void HashTree(const std::wstring& folder, const std::wstring& relative, std::map<std::wstring, uint64_t>& out) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring rel = relative.empty() ? name : relative + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out[rel + L"\\"] = 0;
            HashTree(folder + L"\\" + name, rel, out);
        } else {
            out[rel] = Fnv1a(e2e::ReadFileBytes(folder + L"\\" + name));
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

std::map<std::wstring, uint64_t> Snapshot(const std::wstring& root) {
    std::map<std::wstring, uint64_t> files;
    HashTree(root, L"", files);
    return files;
}

std::string Differences(const std::map<std::wstring, uint64_t>& before, const std::map<std::wstring, uint64_t>& after) {
    std::string d;
    for (const auto& [path, hash] : before) {
        const auto it = after.find(path);
        if (it == after.end())
            d += " removed " + e2e::Utf8(path) + ";";
        else if (it->second != hash)
            d += " changed " + e2e::Utf8(path) + ";";
    }
    for (const auto& [path, hash] : after) {
        if (!before.count(path))
            d += " added " + e2e::Utf8(path) + ";";
    }
    return d;
}

// ---------------------------------------------------------------------------------------------------------
// One run of the patcher on one damaged file.

enum class Outcome { Invalid, CantUpdate, OtherMessage, Window, Failed };

const char* OutcomeName(Outcome o) {
    switch (o) {
        case Outcome::Invalid: return "\"Invalid patch file\"";
        case Outcome::CantUpdate: return "CantUpdate box";
        case Outcome::OtherMessage: return "another of its checks' boxes";
        case Outcome::Window: return "its window";
        default: return "FAILED";
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

    const std::map<std::wstring, uint64_t> untouched = Snapshot(orvana.root());
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
        Mutator mutator(valid, descriptorText, seed * 1000003ull + i);
        const Mutant m = mutator.Make();
        // Now and then the damaged file is started itself, as a user would start a patch.
        const bool self = m.imageIntact && i % 8 == 7;
        const std::wstring path = dir.Path(self ? L"orv_mutant_" + std::to_wstring(i) + L".exe" : L"orv_mutant.dat");
        ASSERT_TRUE(e2e::WriteFileBytes(path, m.bytes));
        const RunResult r = self ? RunPatcher(path, L"", limitMs) : RunPatcher(product, L"/src=\"" + path + L"\"", limitMs);
        if (self)
            DeleteFileW(path.c_str());
        ++tally[m.kind][r.outcome];

        const std::string what = "case " + std::to_string(i) + " (seed " + std::to_string(seed) + "): " +
                                 KindName(m.kind) + ", " + m.note + (self ? ", started itself" : ", as /src=");
        if (r.outcome == Outcome::Failed) {
            ++failures;
            ADD_FAILURE() << what << ": " << r.detail;
        }
        const std::string changed = Differences(untouched, Snapshot(orvana.root()));
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
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

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
