#include "install/install_plan.h"

#include <gtest/gtest.h>

namespace {

using namespace mInstall;

Plan TypicalPlan() {
    Plan plan;
    plan.closeFlag = L"E:\\O \u00e9\\Menu\\data\\patch_close";
    plan.record = L"E:\\O \u00e9\\OrvanaTools\\version.ver";
    plan.recordSibling = plan.record + kNewSuffix;
    plan.newFolders = {L"E:\\O \u00e9\\New", L"E:\\O \u00e9\\New\\Sub"};
    plan.entries = {{EntryKind::Replace, L"S\\a.txt", L"E:\\O \u00e9\\a.txt", L"B\\a.txt"},
                    {EntryKind::Add, L"S\\New\\Sub\\b.txt", L"E:\\O \u00e9\\New\\Sub\\b.txt", L""}};
    plan.complete = true;
    return plan;
}

void ExpectSamePlan(const Plan& a, const Plan& b) {
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
    }
    EXPECT_EQ(a.complete, b.complete);
    EXPECT_EQ(a.committed, b.committed);
}

// The journal reads back as written, grows by appended lines, and a torn write counts only whole lines.
TEST(InstallJournal, ReadsBackWhatWasWrittenAndNoTornLine) {
    Plan written = TypicalPlan();
    std::string bytes = JournalText(written);
    Plan read;
    ASSERT_TRUE(ParseJournal(bytes, read));
    ExpectSamePlan(read, written);

    const Entry removal{EntryKind::Remove, L"", L"E:\\O \u00e9\\old.txt", L"G\\0\\old.txt"};
    bytes += JournalLines({removal});
    bytes += CommittedLine();
    written.entries.push_back(removal);
    written.committed = true;
    ASSERT_TRUE(ParseJournal(bytes, read));
    ExpectSamePlan(read, written);

    // Cut anywhere in the "end" line: the plan was never whole, so no file moved.
    const std::string plan = JournalText(TypicalPlan());
    for (size_t cut = plan.size() - 9; cut < plan.size(); ++cut) {
        ASSERT_TRUE(ParseJournal(plan.substr(0, cut), read)) << cut;
        EXPECT_FALSE(read.complete) << cut;
        EXPECT_EQ(read.entries.size(), 2u) << cut;
    }
    // Cut in the committed line: not committed.
    ASSERT_TRUE(ParseJournal(bytes.substr(0, bytes.size() - 3), read));
    EXPECT_TRUE(read.complete);
    EXPECT_FALSE(read.committed);

    // Not a journal; a plan line after the end is out of place and ends what is read.
    EXPECT_FALSE(ParseJournal("", read));
    EXPECT_FALSE(ParseJournal(JournalLines({removal}), read));
    ASSERT_TRUE(ParseJournal(plan + JournalLines({TypicalPlan().entries[1]}) + CommittedLine(), read));
    EXPECT_FALSE(read.committed);
}

TEST(InstallJournal, UndoFollowsWhereTheFilesAre) {
    const Entry replace{EntryKind::Replace, L"s", L"t", L"b"};
    const Entry add{EntryKind::Add, L"s", L"t", L""};
    const Entry remove{EntryKind::Remove, L"", L"t", L"b"};
    struct Case {
        const Entry& entry;
        bool target, backup;
        Undo undo;
    } cases[] = {
        {replace, true, false, Undo::Nothing},       {replace, false, true, Undo::PutBack},
        {replace, true, true, Undo::RemoveThenBack}, {replace, false, false, Undo::Mismatch},
        {add, false, false, Undo::Nothing},          {add, true, false, Undo::RemoveNew},
        {remove, true, false, Undo::Nothing},        {remove, false, true, Undo::PutBack},
        {remove, false, false, Undo::Nothing},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UndoFor(c.entry, c.target, c.backup), c.undo)
            << static_cast<int>(c.entry.kind) << c.target << c.backup;

    // One file that matches nothing stops everything before it starts.
    const Plan plan = TypicalPlan();
    EXPECT_TRUE(MatchesPlan(plan, {{true, true}, {true, false}}));
    EXPECT_FALSE(MatchesPlan(plan, {{false, false}, {true, false}}));
    EXPECT_FALSE(MatchesPlan(plan, {{true, true}}));
}

TEST(InstallJournal, FoldersTheSwapCreates) {
    const auto exists = [](const std::wstring& folder) { return folder == L"E:\\O" || folder == L"E:\\O\\A"; };
    EXPECT_EQ(MissingFolders(L"E:\\O\\A\\B\\C\\f.txt", L"E:\\O", exists),
              (std::vector<std::wstring>{L"E:\\O\\A\\B", L"E:\\O\\A\\B\\C"}));
    EXPECT_TRUE(MissingFolders(L"E:\\O\\A\\f.txt", L"E:\\O", exists).empty());
    EXPECT_EQ(BackupPathFor(L"F:\\x\\a.txt", L"x\\a.txt", L"B\\", true), L"B\\x\\a.txt");
    EXPECT_EQ(BackupPathFor(L"F:\\x\\a.txt", L"x\\a.txt", L"B\\", false), L"F:\\x\\a.txt.ovpold");
}

}  // namespace
