#include "patcher/install_check.h"

#include <gtest/gtest.h>

namespace {

using mInstallCheck::CheckPatchFits;
using mInstallCheck::Verdict;

// Stands in for the locale's case folding: ASCII and Latin-1 capitals.
std::wstring Lower(std::wstring s) {
    for (wchar_t& c : s) {
        if ((c >= L'A' && c <= L'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
            c = static_cast<wchar_t>(c + 32);
    }
    return s;
}

cXmlNode Descriptor(const std::wstring& orvLang, const std::wstring& needed, const std::wstring& patch) {
    std::wstring body = L"<ExtractPath></ExtractPath>\r\n<ORVPatchNeeded>" + needed +
                        L"</ORVPatchNeeded>\r\n<PatchVersion>" + patch + L"</PatchVersion>\r\n";
    if (!orvLang.empty())
        body += L"<ORVLang>" + orvLang + L"</ORVLang>\r\n";
    return cXmlNode(L"<ORVPatch>" + body + L"</ORVPatch>\r\n");
}

cXmlNode VersionFile(const std::wstring& root, const std::wstring& lang, const wchar_t* patch) {
    std::wstring body = L"\t<Version>5.8</Version>\r\n\t<Lang>" + lang + L"</Lang>\r\n";
    if (patch)
        body += std::wstring(L"\t<Patch>") + patch + L"</Patch>\r\n";
    return cXmlNode(L"<" + root + L">\r\n" + body + L"</" + root + L">\r\n");
}

TEST(InstallCheck, Verdicts) {
    struct Case {
        const char* what;
        cXmlNode descriptor;
        cXmlNode version;
        Verdict expected;
    };
    const Case cases[] = {
        {"newer patch fits", Descriptor(L"FR", L"20141104134857", L"20141114055922"),
         VersionFile(L"OrvanaVersion", L"fr", L"20141104134857"), Verdict::Fits},
        {"root differs in case", Descriptor(L"", L"", L"2"), VersionFile(L"orvanaversion", L"fr", L"1"),
         Verdict::BadVersionFile},
        {"other root", Descriptor(L"", L"", L"2"), VersionFile(L"Version", L"fr", L"1"), Verdict::BadVersionFile},
        {"language ignores case", Descriptor(L"FR", L"", L""), VersionFile(L"OrvanaVersion", L"fr", L"1"),
         Verdict::Fits},
        {"language differs", Descriptor(L"FR", L"", L""), VersionFile(L"OrvanaVersion", L"en", L"1"),
         Verdict::LangMismatch},
        // At most one message: the language decides before the identifiers are looked at.
        {"language before prerequisite", Descriptor(L"FR", L"9", L"9"), VersionFile(L"OrvanaVersion", L"en", L"1"),
         Verdict::LangMismatch},
        {"no ORVLang: no language check", Descriptor(L"", L"", L""), VersionFile(L"OrvanaVersion", L"de", L"1"),
         Verdict::Fits},
        {"no Patch element, prerequisite set", Descriptor(L"", L"20141104134857", L"20141114055922"),
         VersionFile(L"OrvanaVersion", L"fr", nullptr), Verdict::VersionMismatch},
        {"prerequisite older than installed", Descriptor(L"", L"20141104134857", L"20141114055922"),
         VersionFile(L"OrvanaVersion", L"fr", L"20141104134856"), Verdict::VersionMismatch},
        {"installed newer", Descriptor(L"", L"", L"20141114055922"),
         VersionFile(L"OrvanaVersion", L"fr", L"20150101000000"), Verdict::NoUpdateNeeded},
        {"already applied", Descriptor(L"", L"20141104134857", L"20141114055922"),
         VersionFile(L"OrvanaVersion", L"fr", L"20141114055922"), Verdict::UpdateAlreadyDone},
        // Compared as text: a shorter identifier with a larger first digit is the newer one.
        {"text order, not numbers", Descriptor(L"", L"", L"10000000000000"), VersionFile(L"OrvanaVersion", L"fr", L"9"),
         Verdict::NoUpdateNeeded},
        {"empty PatchVersion: no check", Descriptor(L"", L"", L""), VersionFile(L"OrvanaVersion", L"fr", L"99"),
         Verdict::Fits},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CheckPatchFits(c.descriptor, c.version, Lower), c.expected) << c.what;
    }
}

// The archiver decides before the version file, the version file before what it says.
TEST(InstallCheck, InstallationNeedsTheArchiverThenTheVersionFile) {
    const cXmlNode descriptor = Descriptor(L"FR", L"", L"2");
    const std::wstring version = VersionFile(L"OrvanaVersion", L"en", L"1").XmlData;
    EXPECT_EQ(mInstallCheck::CheckInstallation(descriptor, false, &version, Lower), Verdict::NoArchiver);
    EXPECT_EQ(mInstallCheck::CheckInstallation(descriptor, true, nullptr, Lower), Verdict::NoVersionFile);
    EXPECT_EQ(mInstallCheck::CheckInstallation(descriptor, true, &version, Lower), Verdict::LangMismatch);
    EXPECT_STREQ(mInstallCheck::MessageFor(Verdict::NoArchiver).key, L"CantUpdate");
    EXPECT_STREQ(mInstallCheck::MessageFor(Verdict::NoVersionFile).key, L"CantUpdate");
    EXPECT_STREQ(mInstallCheck::MessageFor(Verdict::LangMismatch).key, L"LangMismatch");
    EXPECT_EQ(mInstallCheck::VerdictText(Verdict::LangMismatch, descriptor, L"For %lang%"), L"For FR");
    EXPECT_EQ(mInstallCheck::VerdictText(Verdict::VersionMismatch, descriptor, L"For %lang%"), L"For %lang%");
    EXPECT_EQ(mInstallCheck::MessageFor(Verdict::Fits).key, nullptr);
}

TEST(InstallCheck, LangMismatchText) {
    EXPECT_EQ(mInstallCheck::LangMismatchText(L"Only for a %lang% Orvana (%lang%), not %LANG%", L"FR"),
              L"Only for a FR Orvana (FR), not %LANG%");
    EXPECT_EQ(mInstallCheck::LangMismatchText(L"", L"FR"), L"");
}

}  // namespace

namespace {

// Installations at E:\Orv and F:\ (a drive's root), a menu running from each and a stray one; the boxes and
// the folder picker answer from a script.
struct ScriptedLocateHost {
    std::vector<std::wstring> installations;
    std::vector<int> answers;          // Yes 6, No 7, OK 1, in turn
    std::vector<std::wstring> picked;  // the folder picker's answers in turn; then cancelled
    std::vector<std::wstring> calls;

    bool FileExists(const std::wstring& path) { return path == L"E:\\Orv\\Orvana.exe" || path == L"F:\\Orvana.exe"; }
    std::vector<std::wstring> FindInstallations() {
        calls.push_back(L"Find");
        return installations;
    }
    std::vector<std::wstring> RunningMenus() {
        calls.push_back(L"Menus");
        return {L"C:\\X\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe", L"E:\\Orv\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe",
                L"F:\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe"};
    }
    int Ask(const wchar_t* key, unsigned style) {
        calls.push_back(std::wstring(L"Ask ") + key + L" " + std::to_wstring(style));
        const int answer = answers.empty() ? 1 : answers.front();
        if (!answers.empty())
            answers.erase(answers.begin());
        return answer;
    }
    std::wstring BrowseForFolder() {
        calls.push_back(L"Browse");
        const std::wstring folder = picked.empty() ? L"" : picked.front();
        if (!picked.empty())
            picked.erase(picked.begin());
        return folder;
    }
    static bool SameFolder(const std::wstring& a, const std::wstring& b) { return a == b; }
};

}  // namespace

// The installation given, the one found, none or several, and the one picked: the boxes asked, with their
// styles, the root and its menu. A menu is only ever the installation's own.
TEST(InstallCheck, TheInstallationIsGivenFoundOrPicked) {
    const struct {
        const wchar_t* dir;
        std::vector<std::wstring> installations;
        std::vector<int> answers;
        std::vector<std::wstring> picked;
        bool open;
        const wchar_t* root;
        const wchar_t* menu;
        std::vector<std::wstring> calls;
    } rows[] = {
        {L"E:\\Orv\\\\", {}, {}, {}, true, L"E:\\Orv", L"E:\\Orv\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe", {L"Menus"}},
        {L"F:\\", {}, {}, {}, true, L"F:", L"F:\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe", {L"Menus"}},
        {L"D:\\None", {}, {}, {}, false, L"", L"", {L"Ask OrvNotFound 16"}},
        {L"",
         {L"E:\\Orv"},
         {},
         {},
         true,
         L"E:\\Orv",
         L"E:\\Orv\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe",
         {L"Find", L"Menus"}},
        {L"", {L"E:\\Orv", L"F:"}, {}, {}, false, L"", L"", {L"Find", L"Ask MultipleOrvFound 64"}},
        {L"", {}, {7}, {}, false, L"", L"", {L"Find", L"Ask OrvNotRunning 36"}},
        {L"", {}, {6}, {}, false, L"", L"", {L"Find", L"Ask OrvNotRunning 36", L"Browse"}},
        // A picked folder has no running menu looked for; a wrong one is said and the picker comes again.
        {L"",
         {},
         {6, 1},
         {L"D:\\None", L"F:\\"},
         true,
         L"F:",
         L"",
         {L"Find", L"Ask OrvNotRunning 36", L"Browse", L"Ask OrvNotFound 16", L"Browse"}},
    };
    for (const auto& row : rows) {
        ScriptedLocateHost host{row.installations, row.answers, row.picked, {}};
        std::wstring root;
        std::wstring menu;
        EXPECT_EQ(mInstallCheck::LocateInstallation(host, row.dir, root, menu), row.open) << row.dir;
        EXPECT_EQ(root, row.root) << row.dir;
        EXPECT_EQ(menu, row.menu) << row.dir;
        EXPECT_EQ(host.calls, row.calls) << row.dir;
    }
    EXPECT_EQ(mInstallCheck::BoxStyle(mInstallCheck::Box::OkCritical), 16u);
    EXPECT_EQ(mInstallCheck::BoxStyle(mInstallCheck::Box::OkInformation), 64u);
    EXPECT_EQ(mInstallCheck::BoxStyle(mInstallCheck::Box::YesNoQuestion), 36u);
}
