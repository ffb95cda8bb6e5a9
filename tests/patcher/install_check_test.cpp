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
