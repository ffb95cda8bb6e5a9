#include "maker/descriptor_builder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "container/archive_header.h"
#include "patcher/typical_descriptor.h"
#include "support/archive_like.h"
#include "support/encoding.h"

namespace frmMaker {
namespace {

const std::wstring kLangFile =
    L"<messages>\r\n\t<FR>\r\n\t\t<Title>Mise à jour</Title>\r\n\t</FR>\r\n\t<EN>\r\n\t\t<Title>Update</Title>\r\n"
    L"\t</EN>\r\n</messages>\r\n";
const std::wstring kStrings =
    L"\r\n\t<FR>\r\n\t\t<Title>Mise à jour</Title>\r\n\t</FR>\r\n\t<EN>\r\n\t\t<Title>"
    L"Update</Title>\r\n\t</EN>\r\n";

// The language file that ships beside the maker, as text (it is UTF-8).
std::wstring ShippedLangFile() {
    // Under Wine the test run names the sources by their Windows path.
    const char* root = std::getenv("OV_SOURCE_DIR");
    std::ifstream in(std::string(root ? root : OV_SOURCE_DIR) + "/src/maker/PatchLang.xml", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return mStringTools::Utf8BytesToText(bytes);
}

MakerSettings Typical() {
    MakerSettings s;
    s.ORVVersion = L"5.8";
    s.MinPatchNeeded = L"20141104134857";
    s.PatchVersion = L"20141114055922";
    s.LangName = L"FR";
    s.UpdateInfo = L"<EN>Fixes</EN>\r\n<FR>Corrections</FR>";
    return s;
}

// Every optional element present, written out by hand: the patcher and older patches depend on this
// order, and the end-to-end tests build their expected descriptors with this builder.
TEST(DescriptorBuilder, EveryElementStandsInItsFixedOrder) {
    MakerSettings s = Typical();
    s.LangCheck = true;
    s.ExtractPath = L"OrvanaTools";
    s.ForceMenuRestart = true;
    s.FileFlags = L"ifexists;a.dll";
    s.RunAtEnd = L"one\r\ntwo";
    s.DelAtEnd = L"%ORV%\\old.txt";
    EXPECT_EQ(BuildDescriptor(s, kLangFile),
              L"<ORVPatch><ExtractPath>OrvanaTools</ExtractPath>\r\n"
              L"<ORVVersion>5.8</ORVVersion>\r\n"
              L"<ORVPatchNeeded>20141104134857</ORVPatchNeeded>\r\n"
              L"<PatchVersion>20141114055922</PatchVersion>\r\n"
              L"<PatchLang>fr</PatchLang>\r\n"
              L"<UpdateInfo><EN>Fixes</EN>\r\n<FR>Corrections</FR></UpdateInfo>\r\n"
              L"<ORVLang>FR</ORVLang>\r\n"
              L"<ForceMenuRestart>1</ForceMenuRestart>\r\n"
              L"<FileFlags>ifexists;a.dll</FileFlags>\r\n"
              L"<RunAfter>one|two</RunAfter>\r\n"
              L"<DelAfter>%ORV%\\old.txt</DelAfter>\r\n"
              L"<Strings>" +
                  kStrings +
                  L"</Strings>\r\n"
                  L"</ORVPatch>\r\n");
    EXPECT_EQ(OutputFileName(s.PatchVersion, s.LangName, true), L"orv_20141114055922_FR.exe");
}

TEST(DescriptorBuilder, LanguageRestrictionOffUsesTheEmptyFormWithoutLineBreak) {
    MakerSettings s = Typical();
    s.LangCheck = false;
    s.ForceMenuRestart = true;
    s.ExtractPath = L"OrvanaTools\\bin";
    const std::wstring d = BuildDescriptor(s, kLangFile);
    EXPECT_NE(d.find(L"</PatchVersion>\r\n<PatchLang/><UpdateInfo>"), std::wstring::npos);
    EXPECT_EQ(d.find(L"ORVLang"), std::wstring::npos);
    EXPECT_NE(d.find(L"</UpdateInfo>\r\n<ForceMenuRestart>1</ForceMenuRestart>\r\n<Strings>"), std::wstring::npos);
    EXPECT_NE(d.find(L"<ExtractPath>OrvanaTools\\bin</ExtractPath>"), std::wstring::npos);
    const cXmlNode node(d);
    EXPECT_EQ(node.Name(), L"ORVPatch");
    EXPECT_EQ(node.ChildValue(L"PatchLang"), L"");
    EXPECT_EQ(node.ChildValue(L"ORVLang"), L"");
    EXPECT_EQ(OutputFileName(s.PatchVersion, s.LangName, false), L"orv_20141114055922_MultiLng.exe");
}

TEST(DescriptorBuilder, ListFieldsAreTrimmedJoinedAndOmittedWhenEmpty) {
    struct Case {
        std::wstring text;
        std::wstring joined;
    } cases[] = {
        {L"", L""},
        {L"   ", L""},
        {L"\r\n\r\n", L""},
        {L"a.exe /x\r\n    \r\n%ORV%\\b.exe", L"a.exe /x|%ORV%\\b.exe"},
        {L"  lead and trail  \r\n\r\nnext ", L"lead and trail|next"},
        {L"\tkept tab\t", L"\tkept tab\t"},
        {L"ifexists;x.dll\r\n", L"ifexists;x.dll"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PrepareListField(c.text), c.joined) << c.text.size();

    MakerSettings s = Typical();
    s.RunAtEnd = L"  \r\n ";
    const std::wstring empty = BuildDescriptor(s, kLangFile);
    for (const wchar_t* name : {L"FileFlags", L"RunAfter", L"DelAfter", L"ForceMenuRestart"})
        EXPECT_EQ(empty.find(name), std::wstring::npos) << name;

    s.FileFlags = L"ifexists;a.dll\r\n ifexists;b.dll";
    s.RunAtEnd = L"one\r\n   \r\nthree";
    s.DelAtEnd = L"%ORV%\\old.txt";
    const std::wstring full = BuildDescriptor(s, kLangFile);
    EXPECT_NE(full.find(L"</ORVLang>\r\n<FileFlags>ifexists;a.dll|ifexists;b.dll</FileFlags>\r\n"
                        L"<RunAfter>one|three</RunAfter>\r\n<DelAfter>%ORV%\\old.txt</DelAfter>\r\n<Strings>"),
              std::wstring::npos);
}

TEST(DescriptorBuilder, LanguageFileWithoutMessagesGivesEmptyStrings) {
    const std::wstring d = BuildDescriptor(Typical(), L"<other><FR/></other>");
    EXPECT_NE(d.find(L"<Strings></Strings>\r\n</ORVPatch>\r\n"), std::wstring::npos);
}

TEST(DescriptorBuilder, FileNameCheckRefusesWhatTheSystemCannotStore) {
    EXPECT_TRUE(IsUsableFileName(L"orv_20141114055922_FR.exe"));
    for (const wchar_t* bad : {L"orv_2014/11_FR.exe", L"orv_a:b.exe", L"orv_x?.exe", L"orv_\"q\".exe", L"orv_a|b.exe",
                               L"orv_a\\b.exe", L"orv_<x>.exe", L"orv_a*.exe", L"orv_\t.exe", L"x.", L"x ", L""})
        EXPECT_FALSE(IsUsableFileName(bad)) << bad;

    // What may not be built at all, in the order the refusals are told.
    MakerSettings s;
    BuildFacts facts;
    facts.archiveSize = 1;
    EXPECT_EQ(CheckBuild(s, L"orv_1_FR.exe", facts).kind, BuildRefusal::None);
    // cmd expands %…% inside quotes too, so sign.bat would be handed another name.
    EXPECT_EQ(CheckBuild(s, L"orv_50%_FR.exe", facts).kind, BuildRefusal::UnusableName);
    // A file that is no 7z archive, or a damaged one, is known from its first bytes; one that cannot be read
    // is left to the copy, which says why.
    const std::string head = testdata::ArchiveLike("");
    EXPECT_EQ(mArchiveHeader::Crc32("123456789", 9), 0xCBF43926u);  // the check value of CRC-32
    struct HeadCase {
        std::string head;
        BuildRefusal kind;
    } heads[] = {
        {head, BuildRefusal::None},
        {"", BuildRefusal::None},
        {"GUIDE\r\nHow to install the suite on a stick.\r\n", BuildRefusal::NotAnArchive},
        {head.substr(0, 31), BuildRefusal::NotAnArchive},
        {"PK\x03\x04" + head.substr(4), BuildRefusal::NotAnArchive},
        {head.substr(0, 12) + "\x11" + head.substr(13), BuildRefusal::DamagedArchive},
    };
    for (const HeadCase& h : heads) {
        facts.archiveHead = h.head;
        EXPECT_EQ(CheckBuild(s, L"orv_1_FR.exe", facts).kind, h.kind) << h.head.size();
    }
    // Nothing after the start header: an archive of no entries.
    facts.archiveHead = testdata::ArchiveLike("", 0);
    EXPECT_EQ(CheckBuild(s, L"orv_1_FR.exe", facts).kind, BuildRefusal::EmptyArchive);
    facts.archiveHead = head;
    facts.archiveSize = 0;
    EXPECT_EQ(CheckBuild(s, L"orv_1_FR.exe", facts).kind, BuildRefusal::EmptyArchive);
    facts.outputIsArchive = true;
    EXPECT_EQ(CheckBuild(s, L"orv_1_FR.exe", facts).kind, BuildRefusal::OutputIsArchive);
    facts.outputIsImage = true;
    EXPECT_EQ(CheckBuild(s, L"orv_1_FR.exe", facts).kind, BuildRefusal::OutputIsImage);
    EXPECT_EQ(CheckBuild(s, L"orv_1?_FR.exe", facts).kind, BuildRefusal::UnusableName);

    // Values the descriptor would read back as something else. The update text keeps its language blocks
    // and a "<" of its own; cmd's "<" redirection stays allowed.
    s.UpdateInfo = L"<EN>a < b</EN>\r\n<FR>un</FR>";
    s.RunAtEnd = L"sort < in.txt\r\nb.exe";
    EXPECT_EQ(CheckBuild(s, L"orv_1_FR.exe", facts).kind, BuildRefusal::OutputIsImage);
    struct Case {
        std::wstring MakerSettings::*field;
        const wchar_t* value;
        BuildRefusal kind;
        const wchar_t* element;
        const wchar_t* found;
    } cases[] = {
        {&MakerSettings::RunAtEnd, L"a.exe\r\ncmd /c dir | find \"x\"", BuildRefusal::ListSeparator, L"RunAfter", L"|"},
        {&MakerSettings::FileFlags, L"ifexists;a|b", BuildRefusal::ListSeparator, L"FileFlags", L"|"},
        {&MakerSettings::DelAtEnd, L"x</DelAfter><ORVVersion>9.9", BuildRefusal::DescriptorMarkup, L"DelAfter",
         L"</DelAfter"},
        {&MakerSettings::DelAtEnd, L"x</b>", BuildRefusal::DescriptorMarkup, L"DelAfter", L"</"},
        {&MakerSettings::ExtractPath, L"<orvversion>", BuildRefusal::DescriptorMarkup, L"ExtractPath", L"<orvversion"},
        {&MakerSettings::ORVVersion, L"5.8</ORVVersion>", BuildRefusal::DescriptorMarkup, L"ORVVersion",
         L"</ORVVersion"},
        {&MakerSettings::UpdateInfo, L"<EN>x</UpdateInfo><RunAfter>y</EN>", BuildRefusal::DescriptorMarkup,
         L"UpdateInfo", L"</UpdateInfo"},
        {&MakerSettings::UpdateInfo, L"<EN><RunAfter>y</EN>", BuildRefusal::DescriptorMarkup, L"UpdateInfo",
         L"<RunAfter"},
    };
    for (const Case& c : cases) {
        MakerSettings bad = s;
        bad.*c.field = c.value;
        const Refusal r = CheckBuild(bad, L"orv_1_FR.exe", facts);
        EXPECT_EQ(r.kind, c.kind) << c.value;
        EXPECT_EQ(r.field, c.element) << c.value;
        EXPECT_EQ(r.found, c.found) << c.value;
        EXPECT_NE(RefusalMessage(r, L"orv_1_FR.exe").find(L"« " + std::wstring(c.found) + L" »"), std::wstring::npos);
    }
}

TEST(DescriptorBuilder, SignArgumentIsQuotedWheneverCmdWouldSplitOrInterpretIt) {
    EXPECT_EQ(SignArgument(L"orv_20141114055922_FR.exe"), L"orv_20141114055922_FR.exe");
    EXPECT_EQ(SignArgument(L"orv_a-b.c_MultiLng.exe"), L"orv_a-b.c_MultiLng.exe");
    for (const wchar_t* name : {L"orv_a b_FR.exe", L"orv_a&b_FR.exe", L"orv_(1)_FR.exe", L"orv_a^b_FR.exe",
                                L"orv_a,b_FR.exe", L"orv_a;b_FR.exe", L"orv_a=b_FR.exe", L"orv_a!b_FR.exe"})
        EXPECT_EQ(SignArgument(name), L"\"" + std::wstring(name) + L"\"") << name;
}

TEST(DescriptorBuilder, SuiteVersionIsTheThirdPiece) {
    struct Case {
        std::wstring text;
        std::optional<std::wstring> version;
    } cases[] = {
        {L"", std::nullopt},
        {L"Orvana\r\nbuild 12", std::nullopt},
        {L"Orvana\r\nbuild 12\r\n", L""},
        {L"Orvana\r\nbuild 12\r\n 5.8 \r\nmore", L" 5.8 "},
        {L"Orvana\nbuild\n5.8", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SuiteVersionFromVersionTxt(c.text), c.version) << c.text.size();
}

TEST(DescriptorBuilder, PatchIdIsFourteenDigitsOnA24HourClock) {
    EXPECT_EQ(FormatPatchId(2014, 11, 14, 5, 59, 22), L"20141114055922");
    EXPECT_EQ(FormatPatchId(2026, 1, 2, 23, 4, 5), L"20260102230405");
}

// The maker copies this file's messages into every patch: it must hold the whole message table. Its two
// LangMismatch texts stand each in its own language, where the patches in circulation have them swapped.
TEST(DescriptorBuilder, ShippedLanguageFileHoldsTheMessageTable) {
    const std::wstring text = ShippedLangFile();
    ASSERT_EQ(ListLanguages(text), (std::vector<std::wstring>{L"FR", L"EN"}));
    const cXmlNode fr(cXmlNode(text).ChildValue(L"FR"));
    const cXmlNode en(cXmlNode(text).ChildValue(L"EN"));
    for (const typical::Message& m : typical::Messages()) {
        const bool swapped = std::wstring(m.key) == L"LangMismatch";
        EXPECT_EQ(fr.ChildValue(m.key), swapped ? m.en : m.fr) << m.key;
        EXPECT_EQ(en.ChildValue(m.key), swapped ? m.fr : m.en) << m.key;
    }
    // The names of the apply's steps, what Retry does at a stopped recovery and the texts added to boxes, in
    // each language, and nothing more: one closing tag a message.
    const wchar_t* const steps[] = {L"StepPreparing",   L"StepClosing",  L"StepInstalling", L"StepRunAfter",
                                    L"StepRestarting",  L"StepNoCancel", L"RecoverRetry",   L"StepCancelled",
                                    L"RecoverSetAside", L"StartByHand",  L"RecoverForeign"};
    for (const cXmlNode* block : {&fr, &en}) {
        for (const wchar_t* step : steps)
            EXPECT_FALSE(block->ChildValue(step).empty()) << step;
        size_t closings = 0;
        for (size_t at = block->XmlData.find(L"</"); at != std::wstring::npos; at = block->XmlData.find(L"</", at + 2))
            ++closings;
        EXPECT_EQ(closings, typical::Messages().size() + std::size(steps));
    }
}

TEST(DescriptorBuilder, LanguagesComeFromTheFirstElementsChildren) {
    EXPECT_EQ(ListLanguages(kLangFile), (std::vector<std::wstring>{L"FR", L"EN"}));
    EXPECT_EQ(ListLanguages(L"<?xml version=\"1.0\"?>\r\n" + kLangFile), (std::vector<std::wstring>{L"messages"}));
    EXPECT_TRUE(ListLanguages(L"").empty());
    EXPECT_TRUE(ListLanguages(L"<messages></messages>").empty());
}

TEST(DescriptorBuilder, ImportTakesBackWhatTheBuildWrote) {
    MakerSettings s = Typical();
    s.LangCheck = true;
    s.ForceMenuRestart = true;
    s.UpdateInfo = L"Line one\\nLine two\r\nLine three";
    s.RunAtEnd = L"one\r\n  \r\n two ";
    s.DelAtEnd = L"a\r\nb";
    s.FileFlags = L"ifexists;x";
    const ImportedSettings r = ImportFromDescriptor(cXmlNode(BuildDescriptor(s, kLangFile)));
    EXPECT_EQ(r.ORVVersion, L"5.8");
    EXPECT_EQ(r.MinPatchNeeded, L"20141104134857");
    EXPECT_EQ(r.PatchVersion, L"20141114055922");
    EXPECT_TRUE(r.ForceMenuRestart);
    EXPECT_EQ(r.ORVLang, L"FR");
    EXPECT_TRUE(r.LangCheck);
    EXPECT_EQ(r.UpdateInfo, L"Line one\r\nLine two\r\nLine three");
    EXPECT_EQ(r.RunAtEnd, L"one\r\ntwo");
    EXPECT_EQ(r.DelAtEnd, L"a\r\nb");
    EXPECT_EQ(r.FileFlags, L"ifexists;x");
    // Building again from what was imported gives the same lists.
    EXPECT_EQ(PrepareListField(r.RunAtEnd), L"one|two");

    s.LangCheck = false;
    s.ForceMenuRestart = false;
    s.RunAtEnd.clear();
    const ImportedSettings off = ImportFromDescriptor(cXmlNode(BuildDescriptor(s, kLangFile)));
    EXPECT_FALSE(off.LangCheck);
    EXPECT_FALSE(off.ForceMenuRestart);
    EXPECT_EQ(off.RunAtEnd, L"");
    EXPECT_FALSE(ImportFromDescriptor(cXmlNode(L"<ORVPatch><ForceMenuRestart>yes</ForceMenuRestart></ORVPatch>"))
                     .ForceMenuRestart);
}

TEST(DescriptorBuilder, DroppedPathsAndLanguageEntriesMatchWithoutCase) {
    const std::vector<std::wstring> dropped = {L"C:\\notes.txt", L"C:\\OLD.EXE", L"C:\\new.exe"};
    EXPECT_EQ(FirstPathWithExtension(dropped, L".exe"), L"C:\\OLD.EXE");
    EXPECT_EQ(FirstPathWithExtension({L"C:\\data.zip", L"D:\\data.7Z"}, L".7z"), L"D:\\data.7Z");
    EXPECT_EQ(FirstPathWithExtension({L"C:\\data.zip", L"7z"}, L".7z"), std::nullopt);
    EXPECT_EQ(FirstPathWithExtension({}, L".exe"), std::nullopt);

    const std::vector<std::wstring> langs = {L"FR", L"EN", L"en"};
    EXPECT_EQ(FindLanguageEntry(langs, L"en"), 1);
    EXPECT_EQ(FindLanguageEntry(langs, L"Fr"), 0);
    EXPECT_EQ(FindLanguageEntry(langs, L"DE"), -1);
    EXPECT_EQ(FindLanguageEntry(langs, L""), -1);
}

}  // namespace
}  // namespace frmMaker
