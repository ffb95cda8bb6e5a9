#include "patcher/strings.h"

#include <gtest/gtest.h>

#include "patcher/typical_descriptor.h"
#include "support/sys_error.h"

namespace {

using mPatchStrings::ChooseLanguage;
using mPatchStrings::GetString;
using mPatchStrings::UpdateInfoText;

std::wstring Shown(const wchar_t* stored) {
    return mPatchStrings::ExpandLineBreaks(stored);
}

// Every key of the typical table must come from one language's texts.
void ExpectAllFrom(const cXmlNode& descriptor, int32_t stringsPos, bool french, const std::wstring& what) {
    for (const typical::Message& m : typical::Messages()) {
        EXPECT_EQ(GetString(descriptor, stringsPos, m.key), Shown(french ? m.fr : m.en)) << what << ": " << m.key;
    }
}

TEST(PatchStrings, LanguageChoiceOnTypicalDescriptor) {
    struct Case {
        const wchar_t* culture;
        const wchar_t* langCode;
        bool french;
    };
    const Case cases[] = {
        {L"fr-FR", L"fr", true},  {L"fr-CA", L"fr", true}, {L"FR", L"FR", true},     {L"FRA", L"FR", true},
        {L"en-US", L"en", false}, {L"en", L"en", false},   {L"de-DE", L"EN", false}, {L"de", L"EN", false},
        {L"f", L"EN", false},     {L"", L"EN", false},     {L"DEU", L"EN", false},
    };
    const cXmlNode descriptor(typical::Descriptor());
    for (const Case& c : cases) {
        const mPatchStrings::LanguageChoice choice = ChooseLanguage(descriptor.XmlData, c.culture);
        EXPECT_EQ(choice.LangCode, c.langCode) << c.culture;
        ASSERT_GT(choice.StringsPos, 0) << c.culture;
        // The position is that of the block's opening tag in the whole descriptor.
        EXPECT_EQ(descriptor.XmlData.substr(choice.StringsPos - 1, 4), c.french ? L"<FR>" : L"<EN>") << c.culture;
        ExpectAllFrom(descriptor, choice.StringsPos, c.french, c.culture);
        EXPECT_EQ(UpdateInfoText(descriptor, choice.LangCode),
                  c.french ? typical::UpdateInfoFR() : typical::UpdateInfoEN())
            << c.culture;
    }
}

std::wstring WithStrings(const std::wstring& before, const std::wstring& strings) {
    return L"<ORVPatch>" + before + L"<Strings>" + strings + L"</Strings>\r\n</ORVPatch>\r\n";
}

TEST(PatchStrings, LanguageChoiceOnOtherTables) {
    struct Case {
        const char* what;
        std::wstring descriptor;
        const wchar_t* culture;
        const wchar_t* langCode;
        const wchar_t* title;  // nullptr: no usable table
    };
    const Case cases[] = {
        {"full tag preferred to its language",
         WithStrings(L"", L"<FR><Title>fr</Title></FR><fr-FR><Title>fr-FR</Title></fr-FR>"), L"fr-FR", L"fr-FR",
         L"fr-FR"},
        {"full tag without regard to case",
         WithStrings(L"", L"<EN><Title>en</Title></EN><FR-fr><Title>x</Title></FR-fr>"), L"fr-FR", L"fr-FR", L"x"},
        {"a block tag outside the table does not count",
         WithStrings(L"<UpdateInfo><DE>Hallo</DE></UpdateInfo>", L"<EN><Title>en</Title></EN>"), L"de-DE", L"EN",
         L"en"},
        {"neither the user's block nor EN", WithStrings(L"", L"<FR><Title>fr</Title></FR>"), L"de-DE", L"EN", nullptr},
        {"table never closed: EN from the table on",
         L"<ORVPatch><EN><Title>outside</Title></EN><Strings><FR><Title>fr</Title></FR><EN><Title>en</Title></EN>",
         L"fr-FR", L"EN", L"en"},
        {"a key missing from the block comes from a later block",
         WithStrings(L"", L"<FR><Apply>Appliquer</Apply></FR><EN><Title>Update</Title></EN>"), L"fr-FR", L"fr",
         L"Update"},
        {"a key missing from every later block is empty",
         WithStrings(L"", L"<FR><Title>Titre</Title></FR><EN><Apply>Apply</Apply></EN>"), L"en-GB", L"en", L""},
    };
    for (const Case& c : cases) {
        const cXmlNode descriptor(c.descriptor);
        const mPatchStrings::LanguageChoice choice = ChooseLanguage(c.descriptor, c.culture);
        EXPECT_EQ(choice.LangCode, c.langCode) << c.what;
        if (c.title == nullptr) {
            EXPECT_EQ(choice.StringsPos, 0) << c.what;
        }
        EXPECT_EQ(GetString(descriptor, choice.StringsPos, L"Title"), c.title ? c.title : L"") << c.what;
    }
}

TEST(PatchStrings, NoStringsElementIsAStartupFailure) {
    try {
        ChooseLanguage(L"<ORVPatch><UpdateInfo>x</UpdateInfo><EN><Title>t</Title></EN></ORVPatch>", L"en-US");
        ADD_FAILURE() << "no failure";
    } catch (const SysError& e) {
        EXPECT_EQ(e.number, mPatchStrings::kErrInvalidCall);
    }
}

TEST(PatchStrings, GetStringTurnsBackslashNIntoLineBreaks) {
    const cXmlNode descriptor(typical::Descriptor());
    const int32_t english = ChooseLanguage(descriptor.XmlData, L"en-US").StringsPos;
    EXPECT_EQ(GetString(descriptor, english, L"OrvNotRunning"),
              L"The Orvana is not running.\r\nWould you like to select its folder manually ?");
    EXPECT_EQ(GetString(descriptor, english, L"LangMismatch"),
              L"Cette mise à jour s'applique uniquement à une Orvana %lang%");
    EXPECT_EQ(GetString(descriptor, 0, L"Title"), L"");
    EXPECT_EQ(GetString(descriptor, english, L""), L"");
    EXPECT_EQ(GetString(descriptor, english, L"NoSuchKey"), L"");

    EXPECT_EQ(mPatchStrings::ExpandLineBreaks(L"a\\nb\\n\\\\n\\"), L"a\r\nb\r\n\\\r\n\\");
    EXPECT_EQ(mPatchStrings::ExpandLineBreaks(L"\\N stays"), L"\\N stays");
}

TEST(PatchStrings, UpdateInformation) {
    struct Case {
        const char* what;
        const wchar_t* info;
        const wchar_t* langCode;
        const wchar_t* shown;
    };
    const Case cases[] = {
        {"plain text for everybody", L"Line one\\nLine two <EN>x</EN>", L"EN", L"Line one\r\nLine two <EN>x</EN>"},
        {"leading blank is plain text", L" <EN>English</EN>", L"EN", L" <EN>English</EN>"},
        {"block of the language", L"<EN>English\\ntext</EN>\r\n<FR>Fran\u00e7ais</FR>", L"fr", L"Fran\u00e7ais"},
        {"tags without regard to case", L"<en>English</En><FR>F</FR>", L"EN", L"English"},
        {"no block for the language", L"<EN>English</EN><FR>F</FR>", L"de", L"<EN>English</EN><FR>F</FR>"},
        {"empty", L"", L"EN", L""},
    };
    for (const Case& c : cases) {
        const cXmlNode descriptor(L"<ORVPatch><UpdateInfo>" + std::wstring(c.info) + L"</UpdateInfo></ORVPatch>");
        EXPECT_EQ(UpdateInfoText(descriptor, c.langCode), c.shown) << c.what;
    }

    const cXmlNode unclosed(L"<ORVPatch><UpdateInfo><EN>English<FR>F</FR></UpdateInfo></ORVPatch>");
    try {
        UpdateInfoText(unclosed, L"EN");
        ADD_FAILURE() << "an unclosed block was accepted";
    } catch (const SysError& e) {
        EXPECT_EQ(e.number, mPatchStrings::kErrInvalidCall);
    }
}

}  // namespace
