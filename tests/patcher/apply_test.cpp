#include "patcher/apply.h"

#include <gtest/gtest.h>


#include <set>

using namespace mApplyPatch;

TEST(ApplyPatch, PlaceholdersAreReplacedInOrderWithCaseSignificant) {
    const Placeholders values{L"E:\\Orv ana", L"C:\\Temp\\OVPatcher", L"FR"};
    struct Case {
        const wchar_t* item;
        const wchar_t* expected;
    } cases[] = {
        {L"%ORV%\\x.exe /a", L"E:\\Orv ana\\x.exe /a"},
        {L"%TMPFLD%\\y.exe %ORV% %ORV%", L"C:\\Temp\\OVPatcher\\y.exe E:\\Orv ana E:\\Orv ana"},
        {L"tool /lang=%LNG%", L"tool /lang=FR"},
        {L"%orv% %Lng% %TMPfld%", L"%orv% %Lng% %TMPfld%"},
        {L"plain", L"plain"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Substitute(c.item, values), c.expected) << c.item;

    // A value put in is not searched again for placeholders.
    const Placeholders tricky{L"D:\\%LNG%", L"T", L"EN"};
    EXPECT_EQ(Substitute(L"%ORV%", tricky), L"D:\\%LNG%");
    const Placeholders tricky2{L"D:\\%TMPFLD%", L"%ORV%", L"EN"};
    EXPECT_EQ(Substitute(L"%LNG%|%ORV%|%TMPFLD%%LNG%", tricky2), L"EN|D:\\%TMPFLD%|%ORV%EN");
}

TEST(ApplyPatch, ListsKeepTheirOrderAndDropEmptyItems) {
    EXPECT_TRUE(SplitList(L"").empty());
    EXPECT_EQ(SplitList(L"a|b c|d"), (std::vector<std::wstring>{L"a", L"b c", L"d"}));
    EXPECT_EQ(SplitList(L"a||b|"), (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(SplitList(L" | \t"), std::vector<std::wstring>{});
}

TEST(ApplyPatch, OnlyTwoFieldEntriesMarkedIfExistsCount) {
    EXPECT_TRUE(IfExistsEntries(L"").empty());
    EXPECT_EQ(IfExistsEntries(L"ifexists;a.txt|IfExists;sub\\b.txt|readonly,IFEXISTS;c.txt"),
              (std::vector<std::wstring>{L"a.txt", L"sub\\b.txt", L"c.txt"}));
    // Three fields, one field, other flags and an entry without a path are left out.
    EXPECT_EQ(IfExistsEntries(L"ifexists;x;y|ifexists|readonly;r.txt|ifexists;|ifexists;z.txt"),
              (std::vector<std::wstring>{L"z.txt"}));
}

TEST(ApplyPatch, ExclusionListHoldsOnlyPathsMissingFromTheInstallation) {
    std::vector<std::wstring> asked;
    const std::set<std::wstring> present = {L"E:\\Orv\\Apps\\second.txt"};
    auto exists = [&](const std::wstring& path) {
        asked.push_back(path);
        return present.count(path) > 0;
    };
    EXPECT_EQ(ExclusionListText(L"ifexists;first.txt|ifexists;second.txt|x;y;z", L"E:\\Orv", L"Apps\\", exists),
              L"first.txt\r\n");
    EXPECT_EQ(asked, (std::vector<std::wstring>{L"E:\\Orv\\Apps\\first.txt", L"E:\\Orv\\Apps\\second.txt"}));
    EXPECT_EQ(ExclusionListText(L"", L"E:\\Orv", L"", exists), L"");
    EXPECT_EQ(ExclusionListText(L"ifexists;a|ifexists;b", L"E:\\Orv", L"", [](const std::wstring&) { return false; }),
              L"a\r\nb\r\n");
}

TEST(ApplyPatch, MenuRestartIsForcedOnlyByExactlyOne) {
    int asked = 0;
    auto inArchive = [&](bool answer) {
        return [&asked, answer] {
            ++asked;
            return answer;
        };
    };
    EXPECT_TRUE(MenuRestartWanted(L"1", inArchive(false)));
    EXPECT_EQ(asked, 0);  // forced: the archive is not listed
    EXPECT_FALSE(MenuRestartWanted(L"", inArchive(false)));
    EXPECT_FALSE(MenuRestartWanted(L"true", inArchive(false)));
    EXPECT_FALSE(MenuRestartWanted(L" 1", inArchive(false)));
    EXPECT_TRUE(MenuRestartWanted(L"0", inArchive(true)));
    EXPECT_EQ(asked, 4);
}

TEST(ApplyPatch, ToolsAreSortedByFileNameWithoutRegardToCase) {
    EXPECT_EQ(ActionForTool(L"E:\\O\\OrvanaTools\\Zet\\ZET.EXE"), ToolAction::Quit);
    EXPECT_EQ(ActionForTool(L"E:\\O\\OrvanaTools\\zet.exe"), ToolAction::Quit);
    EXPECT_EQ(ActionForTool(L"E:\\O\\OrvanaTools\\OrvanaAssoc\\OrvanaAssoc.exe"), ToolAction::Leave);
    EXPECT_EQ(ActionForTool(L"E:\\O\\OrvanaTools\\Menu\\orvanamenu.EXE"), ToolAction::Leave);
    EXPECT_EQ(ActionForTool(L"E:\\O\\OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe"), ToolAction::Leave);
    EXPECT_EQ(ActionForTool(L"E:\\O\\OrvanaTools\\x\\zet.exe.bak"), ToolAction::Close);
    EXPECT_EQ(ActionForTool(L"E:\\O\\OrvanaTools\\x\\tool.exe"), ToolAction::Close);
}

TEST(ApplyPatch, FixedPathsAndArguments) {
    EXPECT_EQ(CloseFlagPath(L"E:\\Orv\\OrvanaTools\\Menu\\OrvanaMenu.exe"),
              L"E:\\Orv\\OrvanaTools\\Menu\\data\\patch_close");
    // Nothing of the patch's name that cmd would read, or split at, reaches the folder's name.
    EXPECT_EQ(WorkFolder(L"C:\\Users\\é x\\Temp\\", L"orv patch", 0x1a2b3c4d),
              L"C:\\Users\\é x\\Temp\\orv_patch_1a2b3c4d\\");
    EXPECT_EQ(WorkFolder(L"T\\", L"orv 2014 & calc^%x%!(é)", 0), L"T\\orv_2014___calc__x______0\\");
    EXPECT_EQ(WorkFolder(L"T\\", L"orv-1.2_b", 0), L"T\\orv-1.2_b_0\\");
    // Only this program's folders are taken for a dead apply's.
    EXPECT_TRUE(IsWorkFolderOf(L"ORV_Patch_1A2b", L"orv patch"));
    for (const wchar_t* other :
         {L"orv patch_1", L"orv_patch", L"orv_patch_", L"orv_patch_12g", L"orv_patch_123456789", L"orv_patchx_1"})
        EXPECT_FALSE(IsWorkFolderOf(other, L"orv patch")) << other;
    EXPECT_EQ(ZetRestartArguments(L"D:\\Down loads", L"orv_20141114"), L"/exe=\"D:\\Down loads\\orv_20141114.exe\"");
}

TEST(ApplyPatch, VersionFileKeepsItsChildrenInOrder) {
    struct Case {
        const wchar_t* name;
        const wchar_t* before;
        const wchar_t* orvVersion;
        const wchar_t* expected;
    } cases[] = {
        {L"all three",
         L"<OrvanaVersion>\r\n\t<Version>1.0</Version>\r\n\t<Lang>FR</Lang>\r\n\t<Patch>20140101000000</Patch>\r\n</"
         L"OrvanaVersion>\r\n",
         L"2.0",
         L"<OrvanaVersion>\r\n\t<Version>2.0</Version>\r\n\t<Lang>FR</Lang>\r\n\t<Patch>20150101000000</Patch>\r\n</"
         L"OrvanaVersion>\r\n"},
        {L"no Patch", L"<OrvanaVersion><Version>1.0</Version><Lang>EN</Lang></OrvanaVersion>", L"2.0",
         L"<OrvanaVersion>\r\n\t<Version>2.0</Version>\r\n\t<Lang>EN</Lang>\r\n\t<Patch>20150101000000</Patch>\r\n</"
         L"OrvanaVersion>\r\n"},
        {L"empty ORVVersion", L"<OrvanaVersion><Patch>1</Patch><Version>1.0</Version></OrvanaVersion>", L"",
         L"<OrvanaVersion>\r\n\t<Patch>20150101000000</Patch>\r\n\t<Version></Version>\r\n</OrvanaVersion>\r\n"},
        {L"other children keep their own values",
         L"<OrvanaVersion><Note>a</Note><Version>1</Version><Note>b</Note></OrvanaVersion>", L"3",
         L"<OrvanaVersion>\r\n\t<Note>a</Note>\r\n\t<Version>3</Version>\r\n\t<Note>b</"
         L"Note>\r\n\t<Patch>20150101000000</Patch>\r\n</OrvanaVersion>\r\n"},
        {L"children the reader cannot delimit are kept as written",
         L"<OrvanaVersion><Version>1</Version><Lang src=\"setup\">fr</Lang><Build>77</build><Flag/><Note>n "
         L"<Patch kind=\"full\">1</Patch></OrvanaVersion>",
         L"3",
         L"<OrvanaVersion>\r\n\t<Version>3</Version>\r\n\t<Lang src=\"setup\">fr</Lang>\r\n\t<Build>77</build>\r\n"
         L"\t<Flag/>\r\n\t<Note>n\r\n\t<Patch kind=\"full\">20150101000000</Patch>\r\n</OrvanaVersion>\r\n"},
        {L"no children", L"<OrvanaVersion></OrvanaVersion>", L"3",
         L"<OrvanaVersion>\r\n\t<Patch>20150101000000</Patch>\r\n</OrvanaVersion>\r\n"},
    };
    for (const Case& c : cases) {
        const std::optional<std::wstring> after = RewriteVersionFile(c.before, c.orvVersion, L"20150101000000");
        ASSERT_TRUE(after.has_value()) << c.name;
        EXPECT_EQ(*after, c.expected) << c.name;
    }
}

TEST(ApplyPatch, VersionFileWithAnotherRootIsLeftAlone) {
    EXPECT_FALSE(RewriteVersionFile(L"<OrvanaVersions><Patch>1</Patch></OrvanaVersions>", L"1", L"2").has_value());
    EXPECT_FALSE(RewriteVersionFile(L"<orvanaversion><Patch>1</Patch></orvanaversion>", L"1", L"2").has_value());
    EXPECT_FALSE(RewriteVersionFile(L"", L"1", L"2").has_value());
    // What is recorded: the file the archive brings before the installed one; nothing without an
    // identifier or an installed file.
    const std::wstring installed = L"<OrvanaVersion><Lang>fr</Lang></OrvanaVersion>";
    const std::wstring brought = L"<OrvanaVersion><Lang>en</Lang></OrvanaVersion>";
    EXPECT_EQ(NewVersionRecord(L"2", L"5.9", installed, brought), RewriteVersionFile(brought, L"5.9", L"2"));
    EXPECT_EQ(NewVersionRecord(L"2", L"5.9", installed, std::nullopt), RewriteVersionFile(installed, L"5.9", L"2"));
    EXPECT_FALSE(NewVersionRecord(L"", L"5.9", installed, brought).has_value());
    EXPECT_FALSE(NewVersionRecord(L"2", L"5.9", std::nullopt, brought).has_value());
}

// The one "*.exe" listing answers the other masks as the archiver would: below the first level only.
TEST(ApplyPatch, ProgramsAreFoundInTheOneListing) {
    const auto found = [](const std::wstring& paths) {
        std::wstring listing;
        for (const std::wstring& path : SplitList(paths))
            listing += L"Path = " + path + L"\r\nFolder = -\r\n";
        const ArchiveContents p = ContentsOfListing(listing);
        return std::wstring() + (p.assoc ? L"a" : L"") + (p.wrapper ? L"w" : L"") + (p.menu ? L"m" : L"") +
               (p.anyExe ? L"x" : L"");
    };
    EXPECT_EQ(found(L""), L"");
    EXPECT_EQ(found(L"OrvanaAssoc.exe|OrvanaMenu.exe"), L"x");
    EXPECT_EQ(found(L"T\\orvanaassoc.EXE|a\\b\\OrvanaWrapper.exe"), L"awx");
    EXPECT_EQ(found(L"x\\OrvanaMenu.exe\\readme.txt"), L"mx");
    EXPECT_EQ(found(L"readme.txt|Menu\\OrvanaMenu.ini"), L"");
    // The files, whatever their names, with their sizes; folders left out, and the archive itself, which
    // the archiver names above the dashes.
    const ArchiveContents contents = ContentsOfListing(
        L"Listing archive: C:\\Work\\orv.exe\r\n\r\n--\r\nPath = C:\\Work\\orv.exe\r\nType = 7z\r\n"
        L"Physical Size = 900\r\n\r\n----------\r\n"
        L"Path = Cache\r\nFolder = +\r\nSize = 0\r\n\r\nPath = Cache\\Thumbs\r\nSize = 0\r\nAttributes = D\r\n\r\n"
        L"Path = README\r\nFolder = -\r\nSize = 4294967296\r\n\r\nPath = Data\\words\r\nSize = 12\r\n"
        L"Attributes = A\r\n\r\nPath = b.txt\r\nSize = 0\r\n");
    ASSERT_EQ(contents.files.size(), 3u);
    EXPECT_EQ(contents.files[0].path, L"README");
    EXPECT_EQ(contents.files[0].size, 4294967296u);
    EXPECT_EQ(contents.files[1].path, L"Data\\words");
    EXPECT_EQ(contents.files[1].size, 12u);
    EXPECT_EQ(contents.files[2].path, L"b.txt");
    EXPECT_EQ(contents.size, 4294967308u);
    EXPECT_FALSE(contents.anyExe);
}

// What the exclusion list leaves out is not expected, read as the archiver reads it: a run of components
// anywhere, a folder with all it holds, "*" and "?", letter case aside. (Missing and cut-short files, and the
// list's lines, are checked against the real archiver.) Names beyond ASCII, which the listing garbles, are
// never named.
TEST(ApplyPatch, StagedFilesAreCheckedAgainstTheListing) {
    const struct {
        const wchar_t* path;
        const wchar_t* pattern;
        bool excluded;
    } rows[] = {
        {L"OrvanaTools\\LICENSE", L"orvanatools\\license", true},
        {L"OrvanaTools\\LICENSE", L"License", true},
        {L"OrvanaTools\\Data\\words", L"OrvanaTools", true},
        {L"OrvanaTools\\LICENSE", L"*\\LIC?NSE", true},
        {L"A\\Data\\x.txt\\y", L"Data\\x.txt", true},
        {L"OrvanaTools\\LICENSE", L"LICENSE.txt", false},
        {L"Data\\x.txt", L"A\\Data\\x.txt", false},
        {L"Data\\x.txt", L"Data\\x", false},
        {L"Data\\x.txt", L"", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ExcludedByArchiver(row.path, row.pattern), row.excluded) << row.path << " / " << row.pattern;
    ArchiveContents contents;
    contents.files = {{L"Apps\\\x201At\x201A _.txt", 3}, {L"Apps\\??.txt", 3}, {L"notes.txt", 3}};
    EXPECT_EQ(FirstFileNotStaged(contents, L"", L"S:\\", [](const std::wstring&) { return int64_t{-1}; }),
              L"notes.txt");
}
