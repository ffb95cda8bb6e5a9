#include "install/install_plan.h"

#include <gtest/gtest.h>

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

}  // namespace
