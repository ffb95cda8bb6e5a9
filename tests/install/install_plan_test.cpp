#include "install/install_plan.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "install/swap_steps.h"
#include "patcher/apply.h"
#include "support/encoding.h"

namespace {

using namespace mInstall;

constexpr wchar_t kRoot[] = L"E:\\O \u00e9";

Plan TypicalPlan(const std::wstring& root = kRoot) {
    Plan plan;
    plan.applyId = L"1a2b";
    plan.closeFlag = root + L"\\OrvanaTools\\OrvanaMenu\\data\\patch_close";
    plan.newFolders = {root + L"\\New", root + L"\\New\\Sub"};
    plan.entries = {
        {EntryKind::Replace, root + L"\\S\\a.txt", root + L"\\a.txt", root + L"\\B\\a.txt", 3, 133000000000000001},
        {EntryKind::Add, root + L"\\S\\New\\Sub\\b.txt", root + L"\\New\\Sub\\b.txt", L"", 12345678901,
         133000000000000000}};
    plan.complete = true;
    return plan;
}

void ExpectSamePlan(const Plan& a, const Plan& b) {
    EXPECT_EQ(a.applyId, b.applyId);
    EXPECT_EQ(a.closeFlag, b.closeFlag);
    EXPECT_EQ(a.record, b.record);
    EXPECT_EQ(a.recordSibling, b.recordSibling);
    EXPECT_EQ(a.newFolders, b.newFolders);
    ASSERT_EQ(a.entries.size(), b.entries.size());
    for (size_t i = 0; i < a.entries.size(); ++i) {
        EXPECT_EQ(a.entries[i].kind, b.entries[i].kind) << i;
        EXPECT_EQ(a.entries[i].staged, b.entries[i].staged) << i;
        EXPECT_EQ(a.entries[i].target, b.entries[i].target) << i;
        EXPECT_EQ(a.entries[i].backup, b.entries[i].backup) << i;
        EXPECT_EQ(a.entries[i].size, b.entries[i].size) << i;
        EXPECT_EQ(a.entries[i].written, b.entries[i].written) << i;
    }
    EXPECT_EQ(a.complete, b.complete);
    EXPECT_EQ(a.committed, b.committed);
}

// The journal reads back as written, grows by appended lines, and a torn write counts only whole lines.
// Read under another root (the drive came back as another letter) it names the same files there.
TEST(InstallJournal, ReadsBackWhatWasWrittenAndNoTornLine) {
    Plan written = TypicalPlan();
    std::string bytes = JournalText(written, kRoot);
    Plan read;
    std::wstring why;
    ASSERT_TRUE(ParseJournal(bytes, kRoot, read, why));
    EXPECT_EQ(why, L"");
    ExpectSamePlan(read, written);
    EXPECT_EQ(bytes.find(std::string("E\0:\0", 4)), std::string::npos);  // no drive letter stored

    const Entry removal{EntryKind::Remove, L"", std::wstring(kRoot) + L"\\Apps\\old.txt",
                        std::wstring(kRoot) + L"\\Apps\\old.txt.1a2b.ovpold"};
    written.record = std::wstring(kRoot) + L"\\OrvanaTools\\version.ver";
    written.recordSibling = std::wstring(kRoot) + L"\\OVPatcher.tmp\\apply 1a2b\\record";
    bytes += JournalLines({removal}, kRoot);
    bytes += RecordLine(written, kRoot);
    bytes += CommittedLine();
    written.entries.push_back(removal);
    written.committed = true;
    ASSERT_TRUE(ParseJournal(bytes, kRoot, read, why));
    ExpectSamePlan(read, written);

    Plan moved = TypicalPlan(L"F:\\\u0416");
    moved.entries.push_back(
        {EntryKind::Remove, L"", L"F:\\\u0416\\Apps\\old.txt", L"F:\\\u0416\\Apps\\old.txt.1a2b.ovpold"});
    moved.record = L"F:\\\u0416\\OrvanaTools\\version.ver";
    moved.recordSibling = L"F:\\\u0416\\OVPatcher.tmp\\apply 1a2b\\record";
    moved.committed = true;
    ASSERT_TRUE(ParseJournal(bytes, L"F:\\\u0416", read, why));
    ExpectSamePlan(read, moved);

    // Cut anywhere in the "end" line: the plan was never whole, so no file moved.
    const std::string plan = JournalText(TypicalPlan(), kRoot);
    for (size_t cut = plan.size() - 9; cut < plan.size(); ++cut) {
        ASSERT_TRUE(ParseJournal(plan.substr(0, cut), kRoot, read, why)) << cut;
        EXPECT_FALSE(read.complete) << cut;
        EXPECT_EQ(read.entries.size(), 2u) << cut;
    }
    // Cut in the committed line: not committed.
    ASSERT_TRUE(ParseJournal(bytes.substr(0, bytes.size() - 3), kRoot, read, why));
    EXPECT_TRUE(read.complete);
    EXPECT_FALSE(read.committed);

    EXPECT_EQ(why, L"");

    // A replace line as an earlier version wrote it, without the placed file's size and time: read with none.
    const std::string earlier = mStringTools::TextToUtf16Bytes(
        L"OVPatcher journal 2\r\napply\t1a2b\r\nreplace\tS\\a.txt\ta.txt\tB\\a.txt\r\nend\r\n");
    ASSERT_TRUE(ParseJournal(earlier, kRoot, read, why));
    EXPECT_EQ(why, L"");
    ASSERT_EQ(read.entries.size(), 1u);
    EXPECT_EQ(read.entries[0].target, std::wstring(kRoot) + L"\\a.txt");
    EXPECT_EQ(read.entries[0].written, 0u);

    // Not a journal.
    EXPECT_FALSE(ParseJournal("", kRoot, read, why));
    EXPECT_FALSE(ParseJournal(JournalLines({removal}, kRoot), kRoot, read, why));
}

// A whole line that is out of place or damaged makes the journal one not to run, wherever it stands; only a
// line torn at the end by a cut is dropped. What is wrong is said with the line's number (the header is 1).
TEST(InstallJournal, DamagedLineRefusesTheJournal) {
    Plan three = TypicalPlan();
    three.entries = {{EntryKind::Replace, L"E:\\O \u00e9\\S\\a", L"E:\\O \u00e9\\a", L"E:\\O \u00e9\\B\\a"},
                     {EntryKind::Replace, L"E:\\O \u00e9\\S\\b", L"E:\\O \u00e9\\b", L"E:\\O \u00e9\\B\\b"},
                     {EntryKind::Replace, L"E:\\O \u00e9\\S\\c", L"E:\\O \u00e9\\c", L"E:\\O \u00e9\\B\\c"}};
    const std::string whole = JournalText(three, kRoot);
    const std::string second = JournalLines({three.entries[1]}, kRoot);
    const size_t at = whole.find(second);
    ASSERT_NE(at, std::string::npos);
    const auto with = [&](const std::string& line) {
        return whole.substr(0, at) + line + whole.substr(at + second.size());
    };
    const std::string noTab = mStringTools::TextToUtf16Bytes(L"replace S\\b b B\\b\r\n");
    const std::string half = second.substr(0, second.size() / 2 & ~size_t{1});
    const struct {
        std::string bytes;
        const wchar_t* why;
    } cases[] = {
        {with(noTab), L"line 7: damaged"},  // header, apply, flag, two folders, the first entry
        {with(mStringTools::TextToUtf16Bytes(L"\r\n")), L"line 7: damaged"},
        {with(half + mStringTools::TextToUtf16Bytes(L"\r\n")), L"line 7: damaged"},
        {with(JournalLines({{EntryKind::Add, L"E:\\O \u00e9\\S\\b", L"C:\\b", L"", 1, 2}}, kRoot)),
         L"line 7: a path outside the installation"},
        {whole + JournalLines({three.entries[0]}, kRoot), L"line 10: damaged"},  // a plan line after the end
        {whole + CommittedLine() + CommittedLine(), L"line 11: damaged"},
        {whole + mStringTools::TextToUtf16Bytes(L"record\tApps\\version.ver\tOVPatcher.tmp\\apply 1a2b\\record\r\n"),
         L"line 10: damaged"},  // the record only where the patcher keeps it
        {whole +
             mStringTools::TextToUtf16Bytes(L"record\tOrvanaTools\\version.ver\tOVPatcher.tmp\\apply 9\\record\r\n"),
         L"line 10: damaged"},  // its new copy only in this apply's folder
        {with(mStringTools::TextToUtf16Bytes(L"flag\tOrvanaTools\\version.ver\r\n")), L"line 7: damaged"},
        {with(mStringTools::TextToUtf16Bytes(L"flag\tA\\B\\C\\data\\patch_close\r\n")), L"line 7: damaged"},
        {mStringTools::TextToUtf16Bytes(L"OVPatcher journal 2\r\napply\t..\r\n"),
         L"line 2: a path outside the installation"},  // the apply's name is part of paths
    };
    // The patcher's version file is where the journal's record must stand.
    EXPECT_EQ(L"\\" + std::wstring(kRecordPlace), mApplyPatch::kVersionFile);
    Plan read;
    std::wstring why;
    for (const auto& c : cases) {
        EXPECT_TRUE(ParseJournal(c.bytes, kRoot, read, why));
        EXPECT_EQ(why, c.why) << c.why;
    }
    // Torn at the end: the line is dropped, the rest stands.
    ASSERT_TRUE(ParseJournal(whole + half, kRoot, read, why));
    EXPECT_EQ(why, L"");
    EXPECT_EQ(read.entries.size(), 3u);
    EXPECT_TRUE(read.complete);
}

// Every path the journal stores must name a place inside the installation, as Windows would read it.
TEST(InstallJournal, OnlyPlainPathsInsideTheRoot) {
    const wchar_t* hostile[] = {
        L"",
        L"C:\\victim\\dropped.bat",
        L"C:victim.txt",
        L"C:..\\..\\victim.txt",
        L"\\victim.txt",
        L"/victim.txt",
        L"\\\\?\\C:\\victim.txt",
        L"\\\\.\\C:\\victim.txt",
        L"\\\\server\\share\\victim.txt",
        L"..\\victim.txt",
        L"a\\..\\..\\victim.txt",
        L"a/../../victim.txt",
        L".\\a.txt",
        L"a\\.\\b.txt",
        L"a\\\\b.txt",
        L"a\\",
        L"a.txt:stream",
        L"a.txt::$DATA",
        L"nul",
        L"Apps\\NUL.txt",
        L"com1",
        L"lpt9.log",
        L"CON ",
        L"conout$",
        L"a.txt.",
        L"a.txt ",
        L"...",
        L"a*.txt",
        L"a?.txt",
        L"a\x01.txt",
        L"a<b",
        L"a|b",
    };
    for (const wchar_t* stored : hostile)
        EXPECT_EQ(PathInside(stored, L"E:\\O"), L"") << stored;
    EXPECT_EQ(PathInside(L"Apps/Sub\\a b.txt", L"E:\\O"), L"E:\\O\\Apps\\Sub\\a b.txt");
    EXPECT_EQ(PathInside(L"OVPatcher.tmp\\apply 1a\\old\\com10.dll", L"E:\\O"),
              L"E:\\O\\OVPatcher.tmp\\apply 1a\\old\\com10.dll");
    EXPECT_EQ(PathInside(L"..a\\.b\\console", L"E:\\O"), L"E:\\O\\..a\\.b\\console");
}

// A journal without its committed line: done only when the new record is seen to have replaced the old.
TEST(InstallJournal, CommittedOnlyWhenTheRecordSaysSo) {
    Plan plan = TypicalPlan();
    EXPECT_EQ(OutcomeOf(plan, true, false), Outcome::Undo);  // the patch records nothing
    plan.record = L"r";
    plan.recordSibling = L"s";
    EXPECT_EQ(OutcomeOf(plan, true, true), Outcome::Undo);
    EXPECT_EQ(OutcomeOf(plan, true, false), Outcome::Done);
    EXPECT_EQ(OutcomeOf(plan, false, true), Outcome::FinishRecord);
    EXPECT_EQ(OutcomeOf(plan, false, false), Outcome::Unknown);
    // Committed: the record's rename may not have reached the disk (FAT), and is finished then.
    plan.committed = true;
    EXPECT_EQ(OutcomeOf(plan, true, false), Outcome::Done);
    EXPECT_EQ(OutcomeOf(plan, false, true), Outcome::FinishRecord);
    EXPECT_EQ(OutcomeOf(plan, true, true), Outcome::FinishRecord);
    EXPECT_EQ(OutcomeOf(plan, false, false), Outcome::Done);
}

TEST(InstallJournal, UndoFollowsWhereTheFilesAre) {
    const Entry replace{EntryKind::Replace, L"s", L"t", L"b"};
    const Entry add{EntryKind::Add, L"s", L"t", L""};
    const Entry remove{EntryKind::Remove, L"", L"t", L"b"};
    struct Case {
        const Entry& entry;
        bool target, backup;
        Undo undo;
        bool placed = true;
    } cases[] = {
        {replace, true, false, Undo::Nothing},
        {replace, false, true, Undo::PutBack},
        {replace, true, true, Undo::RemoveThenBack},
        {replace, false, false, Undo::Mismatch},
        {add, false, false, Undo::Nothing},
        {add, true, false, Undo::RemoveNew},
        {add, true, false, Undo::Nothing, false},
        {remove, true, false, Undo::Nothing},
        {remove, false, true, Undo::PutBack},
        {remove, false, false, Undo::Nothing},
        // What the user changed or wrote after the cut stays, the original beside it.
        {replace, true, true, Undo::KeepBoth, false},
        {replace, true, false, Undo::Nothing, false},
        {remove, true, true, Undo::KeepBoth},
        {remove, true, true, Undo::KeepBoth, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UndoFor(c.entry, c.target, c.backup, c.placed), c.undo)
            << static_cast<int>(c.entry.kind) << c.target << c.backup;

    // One file that matches nothing stops everything before it starts.
    const Plan plan = TypicalPlan();
    EXPECT_TRUE(MatchesPlan(plan, {{true, true, true}, {true, false, true}}));
    EXPECT_FALSE(MatchesPlan(plan, {{false, false, true}, {true, false, true}}));
    EXPECT_FALSE(MatchesPlan(plan, {{true, true, true}}));
}

// Whether a file is the one the apply placed, by its last-write time as the volume keeps it: FAT keeps local
// time in 2-second steps, so a daylight-saving change or another time zone shifts it by whole hours.
TEST(InstallJournal, PlacedFileTimesAsTheVolumeKeepsThem) {
    constexpr uint64_t kSecond = 10000000;
    constexpr uint64_t kHour = 3600 * kSecond;
    constexpr uint64_t t = 133000000000000000;
    const struct {
        uint64_t found;
        bool fat;
        bool same;
    } cases[] = {
        {t, false, true},
        {t + 1, false, false},
        {t - kHour, false, false},
        {t, true, true},
        {t - kSecond * 19 / 10, true, true},  // FAT cuts to the even second below
        {t + 2 * kSecond, true, true},
        {t - 3 * kSecond, true, false},
        {t + 3 * kSecond, true, false},
        {t + kHour, true, true},  // daylight-saving time began
        {t - kHour - kSecond, true, true},
        {t + 9 * kHour, true, true},  // another time zone
        {t - 26 * kHour, true, true},
        {t + 27 * kHour, true, false},
        {t + kHour / 2, true, false},
        {t + kHour + 5 * kSecond, true, false},
        {t + 7 * 24 * kHour, true, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SameWriteTime(t, c.found, c.fat), c.same)
            << static_cast<int64_t>(c.found - t) / static_cast<int64_t>(kSecond) << " s, fat " << c.fat;
    EXPECT_TRUE(SameWriteTime(5 * kSecond, 4 * kSecond, true));  // near the start of the count
    EXPECT_FALSE(SameWriteTime(5 * kSecond, 0, true));
}

// The original of a file the user changed after a cut goes beside it, under a name that says what it is.
TEST(InstallJournal, OriginalKeptBesideTheUsersFile) {
    const struct {
        const wchar_t* target;
        int n;
        const wchar_t* kept;
    } cases[] = {
        {L"E:\\O\\a.txt", 1, L"E:\\O\\a (before the update).txt"},
        {L"E:\\O\\a.txt", 2, L"E:\\O\\a (before the update 2).txt"},
        {L"E:\\O\\Apps.d\\README", 1, L"E:\\O\\Apps.d\\README (before the update)"},
        {L"E:\\O\\.profile", 1, L"E:\\O\\.profile (before the update)"},
        {L"E:\\O\\a.tar.gz", 1, L"E:\\O\\a.tar (before the update).gz"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KeptOriginal(c.target, c.n), c.kept);
}

TEST(InstallJournal, FoldersTheSwapCreates) {
    const auto exists = [](const std::wstring& folder) { return folder == L"E:\\O" || folder == L"E:\\O\\A"; };
    EXPECT_EQ(MissingFolders(L"E:\\O\\A\\B\\C", L"E:\\O", exists),
              (std::vector<std::wstring>{L"E:\\O\\A\\B", L"E:\\O\\A\\B\\C"}));
    EXPECT_TRUE(MissingFolders(L"E:\\O\\A", L"E:\\O", exists).empty());
    // Backups are named after their apply: nothing an earlier one left can be taken for them.
    EXPECT_EQ(BackupPathFor(L"F:\\x\\a.txt", L"x\\a.txt", L"A\\", L"1a", true), L"A\\old\\x\\a.txt");
    EXPECT_EQ(BackupPathFor(L"F:\\x\\a.txt", L"x\\a.txt", L"A\\", L"1a", false), L"F:\\x\\a.txt.1a.ovpold");
    EXPECT_EQ(ApplyFolder(L"E:\\O", L"1a"), L"E:\\O\\OVPatcher.tmp\\apply 1a\\");
}

TEST(InstallJournal, PathsUnderTheExtractFolderGetOneSeparator) {
    struct Case {
        const wchar_t* extractPath;
        const wchar_t* relative;
        const wchar_t* expected;
    } cases[] = {
        {L"", L"a.txt", L"R\\a.txt"},
        {L"Apps\\", L"a.txt", L"R\\Apps\\a.txt"},
        {L"Apps", L"\\a.txt", L"R\\Apps\\a.txt"},
        {L"Apps", L"a.txt", L"R\\Apps\\a.txt"},
        {L"Apps/", L"a.txt", L"R\\Apps/a.txt"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PathUnderExtractFolder(L"R", c.extractPath, c.relative), c.expected) << c.extractPath << c.relative;
}

// A file system held in maps, standing in for the real one where the planning and the recovery ask what
// exists and act on it: files with their size and time, folders, the volume each folder lies on, links, and
// renames that fail. Every act is logged in order.
class ScriptedDisk final : public Disk {
  public:
    struct File {
        uint64_t size = 0;
        uint64_t written = 0;
        std::string bytes;
    };
    std::map<std::wstring, File> files;
    std::set<std::wstring> folders;
    std::map<std::wstring, uint32_t> volumes;  // a folder and all below it, the longest one that holds a path
    std::set<std::wstring> links;
    std::set<std::wstring> own;        // folders with the program's mark
    std::set<std::wstring> failMoves;  // renames from here fail
    bool fat = false;
    std::vector<std::wstring> acts;

    static std::wstring Bare(std::wstring path) {
        while (!path.empty() && path.back() == L'\\')
            path.pop_back();
        return path;
    }
    void AddFolders(const std::wstring& path) {
        for (size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1))
            folders.insert(path.substr(0, at));
        folders.insert(Bare(path));
    }
    void Put(const std::wstring& path, uint64_t size = 1, uint64_t written = 1, std::string bytes = "") {
        AddFolders(path.substr(0, path.rfind(L'\\')));
        files[path] = {size, written, std::move(bytes)};
    }
    bool Has(const std::wstring& path) const { return files.count(path) || folders.count(Bare(path)); }

    Kind What(const std::wstring& path) {
        return files.count(path) ? Kind::File : folders.count(Bare(path)) ? Kind::Folder : Kind::None;
    }
    uint32_t Volume(const std::wstring& path) {
        uint32_t volume = 1;
        size_t longest = 0;
        for (const auto& [folder, v] : volumes) {
            if (IsInside(path + L"\\", folder + L"\\") && folder.size() > longest)
                volume = v, longest = folder.size();
        }
        return volume;
    }
    std::wstring Resolved(const std::wstring& path) {
        std::vector<std::wstring> names;
        for (const std::wstring& name : mStringTools::SplitAt(path, L'\\')) {
            if (name == L"..")
                names.pop_back();
            else if (name != L"." && !name.empty())
                names.push_back(name);
        }
        std::wstring out;
        for (const std::wstring& name : names)
            out += (out.empty() ? L"" : L"\\") + name;
        return out;
    }
    bool List(const std::wstring& folder, std::vector<Listed>& items) {
        std::map<std::wstring, Listed> sorted;
        for (const std::wstring& f : folders) {
            if (IsInside(f, folder))
                sorted[f + L"\\"] = {f.substr(folder.size()) + L"\\"};
        }
        for (const auto& [path, file] : files) {
            if (IsInside(path, folder))
                sorted[path] = {path.substr(folder.size()), file.size, file.written};
        }
        for (auto& [path, item] : sorted)
            items.push_back(item);
        return true;
    }
    bool Stamp(const std::wstring& path, uint64_t& size, uint64_t& written) {
        const auto it = files.find(path);
        if (it == files.end())
            return false;
        size = it->second.size, written = it->second.written;
        return true;
    }
    bool FatTimes(const std::wstring&) { return fat; }
    bool ThroughLink(const std::wstring&, const std::wstring& path) {
        for (const std::wstring& link : links) {
            if (path == link || IsInside(path, link + L"\\"))
                return true;
        }
        return false;
    }
    bool IsOwnFolder(const std::wstring& folder) { return own.count(Bare(folder)) && folders.count(Bare(folder)); }
    bool RemoveOwnFolder(const std::wstring& folder) {
        acts.push_back(L"remove own " + Bare(folder));
        for (auto it = files.begin(); it != files.end();)
            it = IsInside(it->first, Bare(folder) + L"\\") ? files.erase(it) : std::next(it);
        for (auto it = folders.begin(); it != folders.end();)
            it = IsInside(*it + L"\\", Bare(folder) + L"\\") ? folders.erase(it) : std::next(it);
        return true;
    }
    std::string Load(const std::wstring& path) { return files.count(path) ? files[path].bytes : ""; }
    bool Move(const std::wstring& from, const std::wstring& to, bool replace) {
        acts.push_back(L"move " + from + L" -> " + to + (replace ? L" (replace)" : L""));
        if (failMoves.count(from) || !files.count(from) || (files.count(to) && !replace) ||
            !folders.count(Bare(to.substr(0, to.rfind(L'\\')))))
            return false;
        files[to] = files[from];
        files.erase(from);
        return true;
    }
    bool Delete(const std::wstring& path) {
        acts.push_back(L"delete " + path);
        files.erase(path);
        return true;
    }
    bool MakeFolders(const std::wstring& folder) {
        AddFolders(folder);
        return true;
    }
    void RemoveEmptyFolder(const std::wstring& folder) {
        for (const auto& [path, file] : files) {
            if (IsInside(path, folder + L"\\"))
                return;
        }
        for (const std::wstring& f : folders) {
            if (IsInside(f, folder + L"\\"))
                return;
        }
        acts.push_back(L"remove folder " + folder);
        folders.erase(folder);
    }
};

constexpr wchar_t kR[] = L"E:\\O";
const std::wstring kWork = std::wstring(kR) + L"\\OVPatcher.tmp\\";
const std::wstring kStaging = kWork + L"new\\";
const std::wstring kApply = kWork + L"apply 1a\\";

// An installation as the swap finds it: an existing file, an existing folder with a new file in it, a new
// folder tree, a folder mounted from another volume.
ScriptedDisk Installation() {
    ScriptedDisk disk;
    disk.AddFolders(std::wstring(kR) + L"\\OrvanaTools\\Installer");
    disk.Put(std::wstring(kR) + L"\\a.txt");
    disk.AddFolders(std::wstring(kR) + L"\\Apps");
    disk.Put(std::wstring(kR) + L"\\Mnt\\c.txt");
    disk.volumes[std::wstring(kR) + L"\\Mnt"] = 2;
    disk.AddFolders(kWork);
    disk.own.insert(ScriptedDisk::Bare(kWork));
    for (const wchar_t* staged : {L"a.txt", L"Apps\\d.txt", L"New\\Sub\\b.txt", L"Mnt\\c.txt"})
        disk.Put(kStaging + staged, 7, 99);
    return disk;
}

// Replace where a file is, Add where none is, a new folder in one rename, backups under the apply's folder on
// the root's volume and beside the target on another; and each refusal names what stopped it.
TEST(SwapPlan, DecidedFromWhatExistsOnWhichVolume) {
    ScriptedDisk disk = Installation();
    std::vector<Listed> staged;
    ASSERT_TRUE(disk.List(kStaging, staged));
    Plan plan;
    plan.applyId = L"1a";
    std::vector<WholeFolder> whole;
    std::wstring blocker = L"x";
    ASSERT_TRUE(PlanSwap(disk, kR, L"", staged, plan, whole, blocker));
    EXPECT_TRUE(blocker.empty());
    EXPECT_TRUE(plan.complete);
    const std::wstring r = kR;
    ASSERT_EQ(plan.entries.size(), 4u);
    const struct {
        EntryKind kind;
        std::wstring target, backup;
    } expected[] = {
        {EntryKind::Add, r + L"\\Apps\\d.txt", L""},
        {EntryKind::Replace, r + L"\\Mnt\\c.txt", r + L"\\Mnt\\c.txt.1a.ovpold"},
        {EntryKind::Add, r + L"\\New\\Sub\\b.txt", L""},
        {EntryKind::Replace, r + L"\\a.txt", kApply + L"old\\a.txt"},
    };
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(plan.entries[i].kind, expected[i].kind) << i;
        EXPECT_EQ(plan.entries[i].target, expected[i].target) << i;
        EXPECT_EQ(plan.entries[i].backup, expected[i].backup) << i;
        EXPECT_EQ(plan.entries[i].staged, kStaging + plan.entries[i].target.substr(r.size() + 1)) << i;
        EXPECT_EQ(plan.entries[i].size, 7u);
        EXPECT_EQ(plan.entries[i].written, 99u);
    }
    EXPECT_EQ(plan.newFolders, (std::vector<std::wstring>{r + L"\\New", r + L"\\New\\Sub"}));
    ASSERT_EQ(whole.size(), 1u);  // "New\Sub" goes with "New"
    EXPECT_EQ(whole[0].staged, kStaging + L"New");
    EXPECT_EQ(whole[0].target, r + L"\\New");

    // Under an extraction folder the same files land below it.
    ASSERT_TRUE(PlanSwap(disk, kR, L"Apps", staged, plan, whole, blocker));
    EXPECT_EQ(plan.entries[0].target, r + L"\\Apps\\Apps\\d.txt");
    EXPECT_EQ(plan.entries[0].kind, EntryKind::Add);

    const struct {
        const char* what;
        void (*change)(ScriptedDisk&);
        const wchar_t* extractPath;
        std::wstring blocker;
    } refusals[] = {
        {"a folder where a file goes", [](ScriptedDisk& d) { d.AddFolders(std::wstring(kR) + L"\\Apps\\d.txt"); }, L"",
         r + L"\\Apps\\d.txt"},
        {"a backup place taken", [](ScriptedDisk& d) { d.Put(kApply + L"old\\a.txt"); }, L"", r + L"\\a.txt"},
        {"beside-target backup taken", [](ScriptedDisk& d) { d.Put(std::wstring(kR) + L"\\Mnt\\c.txt.1a.ovpold"); },
         L"", r + L"\\Mnt\\c.txt"},
        {"into the program's own folder", [](ScriptedDisk&) {}, L"Apps\\..\\OVPatcher.tmp",
         r + L"\\Apps\\..\\OVPatcher.tmp\\Apps\\"},
    };
    for (const auto& c : refusals) {
        ScriptedDisk d = Installation();
        c.change(d);
        Plan p;
        p.applyId = L"1a";
        EXPECT_FALSE(PlanSwap(d, kR, c.extractPath, staged, p, whole, blocker)) << c.what;
        EXPECT_EQ(blocker, c.blocker) << c.what;
        EXPECT_FALSE(p.complete) << c.what;
    }
}

// A swap cut half way: the undo runs last entry first, asks each entry where its files are, puts a changed
// file's original beside it under a free name, and touches nothing when one file is in neither place.
TEST(SwapPlan, UndoFromWhereTheFilesAre) {
    const std::wstring r = kR;
    const auto halfSwapped = [&] {
        ScriptedDisk d;
        d.AddFolders(kStaging);
        d.Put(r + L"\\a.txt", 7, 99);  // placed, original in the backup
        d.Put(kApply + L"old\\a.txt", 3, 1);
        d.Put(r + L"\\b.txt", 7, 99);  // added
        d.Put(r + L"\\c.txt", 8, 50);  // changed by the user after the cut
        d.Put(kApply + L"old\\c.txt", 3, 1);
        d.Put(r + L"\\c (before the update).txt");
        d.Put(kStaging + L"d.txt", 7, 99);  // never moved
        d.Put(r + L"\\d.txt", 3, 1);
        return d;
    };
    Plan plan;
    plan.applyId = L"1a";
    plan.complete = true;
    plan.entries = {
        {EntryKind::Replace, kStaging + L"a.txt", r + L"\\a.txt", kApply + L"old\\a.txt", 7, 99},
        {EntryKind::Add, kStaging + L"b.txt", r + L"\\b.txt", L"", 7, 99},
        {EntryKind::Replace, kStaging + L"c.txt", r + L"\\c.txt", kApply + L"old\\c.txt", 7, 99},
        {EntryKind::Replace, kStaging + L"d.txt", r + L"\\d.txt", kApply + L"old\\d.txt", 7, 99},
    };
    ScriptedDisk d = halfSwapped();
    std::wstring blocker;
    std::vector<std::wstring> kept;
    bool lost = false;
    ASSERT_TRUE(UndoPlan(d, plan, blocker, &r, &kept, &lost));
    EXPECT_FALSE(lost);
    EXPECT_EQ(d.acts, (std::vector<std::wstring>{
                          L"move " + kApply + L"old\\c.txt -> " + r + L"\\c (before the update 2).txt",
                          L"move " + r + L"\\b.txt -> " + kStaging + L"b.txt",
                          L"move " + r + L"\\a.txt -> " + kStaging + L"a.txt",
                          L"move " + kApply + L"old\\a.txt -> " + r + L"\\a.txt",
                          L"delete " + r + L"\\a.txt.1a.ovpnew",
                          L"delete " + r + L"\\b.txt.1a.ovpnew",
                          L"delete " + r + L"\\c.txt.1a.ovpnew",
                          L"delete " + r + L"\\d.txt.1a.ovpnew",
                      }));
    EXPECT_EQ(kept, (std::vector<std::wstring>{L"Kept as it was found: " + r + L"\\c.txt, before the update: " + r +
                                               L"\\c (before the update 2).txt"}));
    EXPECT_EQ(d.files[r + L"\\a.txt"].size, 3u);

    // On FAT a time shifted by whole hours is still the placed file's.
    d = halfSwapped();
    d.fat = true;
    d.files[r + L"\\c.txt"] = {7, 99 + 3600ull * 10000000, ""};
    ASSERT_TRUE(UndoPlan(d, plan, blocker));
    EXPECT_EQ(d.files[r + L"\\c.txt"].size, 3u);

    // An added file whose staged place is taken again is deleted instead.
    d = halfSwapped();
    d.Put(kStaging + L"b.txt");
    ASSERT_TRUE(UndoPlan(d, plan, blocker));
    EXPECT_EQ(d.acts[1], L"delete " + r + L"\\b.txt");
    EXPECT_FALSE(d.Has(r + L"\\b.txt"));

    // A file in neither of its places: nothing is touched.
    d = halfSwapped();
    d.files.erase(kApply + L"old\\a.txt");
    d.files.erase(r + L"\\a.txt");
    lost = false;
    EXPECT_FALSE(UndoPlan(d, plan, blocker, &r, nullptr, &lost));
    EXPECT_TRUE(lost);
    EXPECT_EQ(blocker, r + L"\\a.txt");
    EXPECT_TRUE(d.acts.empty());

    // A link on the way to a backup stops the undo just before that entry acts; the later ones are done.
    d = halfSwapped();
    d.links.insert(kApply + L"old\\c.txt");
    EXPECT_FALSE(UndoPlan(d, plan, blocker, &r));
    EXPECT_EQ(blocker, kApply + L"old\\c.txt");
    EXPECT_TRUE(d.acts.empty());
    d.links = {kApply + L"old\\a.txt"};
    EXPECT_FALSE(UndoPlan(d, plan, blocker, &r));
    EXPECT_EQ(blocker, kApply + L"old\\a.txt");
    EXPECT_EQ(d.acts.size(), 2u);  // c aside, b out; a untouched
    EXPECT_TRUE(d.Has(r + L"\\a.txt") && d.Has(kApply + L"old\\a.txt"));

    // A rename that fails names its file and leaves the rest for a retry.
    d = halfSwapped();
    d.failMoves.insert(kApply + L"old\\a.txt");
    lost = false;
    EXPECT_FALSE(UndoPlan(d, plan, blocker, &r, nullptr, &lost));
    EXPECT_FALSE(lost);
    EXPECT_EQ(blocker, r + L"\\a.txt");
}

// What a start does with the work folder a dead apply left: which outcome the journal and the records give,
// what it refuses to run, and that a refusal or a stop touches nothing.
TEST(SwapPlan, RecoveryOfADeadApply) {
    const std::wstring r = kR;
    const std::wstring journal = kWork + L"journal.txt";
    const std::wstring record = r + L"\\OrvanaTools\\version.ver";
    const std::wstring sibling = kApply + L"record";
    const std::wstring flag = r + L"\\OrvanaTools\\OrvanaMenu\\data\\patch_close";
    const auto withJournal = [&](bool swapped, const std::string& tail) {
        ScriptedDisk d;
        d.AddFolders(kWork);
        d.own.insert(ScriptedDisk::Bare(kWork));
        d.Put(flag);
        Plan p;
        p.applyId = L"1a";
        p.closeFlag = flag;
        p.complete = true;
        p.entries = {
            {EntryKind::Replace, kStaging + L"a.txt", r + L"\\a.txt", kApply + L"old\\a.txt", 7, 99},
            {EntryKind::Replace, kStaging + L"m.txt", r + L"\\Mnt\\m.txt", r + L"\\Mnt\\m.txt.1a.ovpold", 7, 99}};
        p.record = record;
        p.recordSibling = sibling;
        d.Put(record, 5, 5);
        d.Put(sibling, 6, 6);
        d.Put(r + L"\\a.txt", swapped ? 7 : 3, swapped ? 99 : 1);
        d.Put(r + L"\\Mnt\\m.txt", swapped ? 7 : 3, swapped ? 99 : 1);
        if (swapped) {
            d.Put(kApply + L"old\\a.txt", 3, 1);
            d.Put(r + L"\\Mnt\\m.txt.1a.ovpold", 3, 1);
        }
        d.Put(journal, 0, 0, JournalText(p, r) + RecordLine(p, r) + tail);
        return d;
    };
    const std::string committed = CommittedLine();
    struct Case {
        const char* what;
        ScriptedDisk disk;
        Recovery result;
        std::wstring blocker, refusal;
        std::vector<std::wstring> gone, there;  // files after
        // clang-format off
    } cases[] = {
        {"no work folder", ScriptedDisk(), Recovery::Nothing, L"", L"", {}, {}},
        {"committed: the backup beside its target goes", withJournal(true, committed), Recovery::Recovered, L"", L"",
         {r + L"\\Mnt\\m.txt.1a.ovpold", journal, flag}, {r + L"\\a.txt", record}},
        {"not committed: everything back", withJournal(true, ""), Recovery::Recovered, L"", L"",
         {kApply + L"old\\a.txt", r + L"\\Mnt\\m.txt.1a.ovpold", journal, flag}, {r + L"\\a.txt",
         r + L"\\Mnt\\m.txt"}},
        {"an original the journal does not name", withJournal(true, ""), Recovery::Failed, journal,
         L"Journal not run, a backup it does not name in " + kWork + L": " + journal, {}, {kApply + L"old\\a.txt"}},
        {"a link on the way", withJournal(true, ""), Recovery::Failed, journal,
         L"Journal not run, a link on the way to " + r + L"\\Mnt\\m.txt.1a.ovpold: " + journal, {},
         {kApply + L"old\\a.txt"}},
        {"the journal lost, originals aside", withJournal(true, ""), Recovery::Failed, journal,
         L"Journal not run, a backup it does not name in " + kWork + L": " + journal, {}, {kApply + L"old\\a.txt"}},
        {"a file in neither place", withJournal(true, ""), Recovery::Failed, r + L"\\a.txt",
         L"Recovery stopped, in neither of its places: " + r + L"\\a.txt", {}, {r + L"\\Mnt\\m.txt"}},
        {"the record renamed when committed on FAT", withJournal(true, committed), Recovery::Recovered, L"", L"",
         {sibling, journal}, {record}},
        {"neither record", withJournal(true, ""), Recovery::Failed, record,
         L"Recovery stopped, in neither of its places: " + record, {}, {kApply + L"old\\a.txt"}},
        {"a rename held", withJournal(true, ""), Recovery::Failed, r + L"\\a.txt", L"", {}, {kApply + L"old\\a.txt"}},
    };
    // clang-format on
    cases[1].disk.files.erase(sibling);
    cases[3].disk.Put(kApply + L"old\\z.txt");
    cases[4].disk.links.insert(r + L"\\Mnt");
    cases[5].disk.files.erase(journal);
    cases[6].disk.files.erase(r + L"\\a.txt");
    cases[6].disk.files.erase(kApply + L"old\\a.txt");
    cases[7].disk.files.erase(record);
    cases[8].disk.files.erase(record);
    cases[8].disk.files.erase(sibling);
    cases[9].disk.failMoves.insert(kApply + L"old\\a.txt");
    for (Case& c : cases) {
        std::wstring blocker, refusal;
        std::vector<std::wstring> kept;
        const auto before = c.disk.files;
        EXPECT_EQ(Recover(c.disk, kR, &blocker, &refusal, &kept), c.result) << c.what;
        EXPECT_EQ(blocker, c.blocker) << c.what;
        EXPECT_EQ(refusal, c.refusal) << c.what;
        for (const std::wstring& path : c.gone)
            EXPECT_FALSE(c.disk.Has(path)) << c.what << ": " << std::string(path.begin(), path.end());
        for (const std::wstring& path : c.there)
            EXPECT_TRUE(c.disk.Has(path)) << c.what << ": " << std::string(path.begin(), path.end());
        if (!c.refusal.empty()) {
            EXPECT_TRUE(c.disk.files.size() == before.size() && c.disk.acts.empty()) << c.what;
        }
    }
    // A folder of that name without the program's mark is somebody else's.
    ScriptedDisk d = withJournal(true, "");
    d.own.clear();
    std::wstring blocker;
    EXPECT_EQ(Recover(d, kR, &blocker, nullptr, nullptr), Recovery::Failed);
    EXPECT_EQ(blocker, kWork);
    EXPECT_TRUE(d.acts.empty());
}

}  // namespace
