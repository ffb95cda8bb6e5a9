#include "support/cmdline.h"

#include <gtest/gtest.h>

using namespace mCmdLine;
using Items = std::vector<std::wstring>;

TEST(SplitStrings, BlanksAndQuotes) {
    struct Case {
        std::wstring text;
        bool strip;
        Items items;
    } cases[] = {
        {L"", true, {}},
        {L"a b", true, {L"a", L"b"}},
        {L"a  b", true, {L"a", L"", L"b"}},  // two blanks give an empty item between
        {L"a b ", true, {L"a", L"b", L""}},
        {L"a\tb", true, {L"a\tb"}},  // tabs are ordinary characters
        {L"\"C:\\my dir\\p.exe\" x", true, {L"C:\\my dir\\p.exe", L"x"}},
        {L"\"C:\\my dir\\p.exe\" x", false, {L"\"C:\\my dir\\p.exe\"", L"x"}},
        {L"\"a b\"  c ", true, {L"a b", L"", L"c"}},  // with quotes, a trailing empty item is dropped
        {L"\"unclosed a b", true, {L"unclosed a b"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitStrings(c.text, c.strip), c.items) << c.text;
}

TEST(GetCmdVal, FindsTheFirstOptionThatStartsAnArgument) {
    struct Case {
        std::wstring text;
        bool strip;
        std::wstring value;
    } cases[] = {
        {L"/src=\"D:\\my patch.exe\"", true, L"D:\\my patch.exe"},
        {L"/src=\"D:\\my patch.exe\"", false, L"\"D:\\my patch.exe\""},
        {L"/SRC=x", true, L"x"},
        {L"/Src=a b", true, L"a"},
        {L"/src =x", true, L""},  // a blank before the equals sign prevents the match
        {L"/src=", true, L""},
        {L"/src=   padded   ", true, L"padded"},
        // Only where an argument starts, and the first such counts.
        {L"/other=\"/src=inner\" /src=outer /src=last", true, L"outer"},
        {L"/log=\"C:\\x /src=D:\\y.dat\"", true, L""},
        {L"/log=C:\\x/src=D:\\y.dat", true, L""},
        {L"/silent\t/src=tabbed", true, L"tabbed"},
        {L"nothing here", true, L""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetCmdValIn(L"src", c.strip, c.text), c.value) << c.text;
}

TEST(RoleChoice, MakerWhenAskedOrNamedSo) {
    EXPECT_TRUE(IsMakerMode(L"/maker", L"OVPatcher"));
    EXPECT_TRUE(IsMakerMode(L"/MAKER", L"OVPatcher"));
    EXPECT_TRUE(IsMakerMode(L"-x /Maker", L"OVPatcher"));
    EXPECT_TRUE(IsMakerMode(L"/makerfoo", L"OVPatcher"));
    EXPECT_TRUE(IsMakerMode(L"", L"OVPatchMaker"));
    EXPECT_FALSE(IsMakerMode(L"", L"ovpatchmaker"));  // the file name test is case-sensitive
    EXPECT_FALSE(IsMakerMode(L"maker", L"OVPatcher"));
    EXPECT_FALSE(IsMakerMode(L"", L"OVPatcher"));
}

TEST(ArgsAfterProgramPath, SkipsQuotesAroundThePath) {
    EXPECT_EQ(ArgsAfterProgramPath(L"\"C:\\a b\\p.exe\" /src=\"x y\"", L"C:\\a b\\p.exe"), L"/src=\"x y\"");
    EXPECT_EQ(ArgsAfterProgramPath(L"C:\\p.exe   /maker  ", L"C:\\p.exe"), L"/maker");
    EXPECT_EQ(ArgsAfterProgramPath(L"C:\\p.exe", L"C:\\p.exe"), L"");
    EXPECT_EQ(ArgsAfterProgramPath(L"", L""), L"");
}
