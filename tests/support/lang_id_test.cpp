#include "support/lang_id.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "support/sys_error.h"

namespace {

using mLang::CultureName;
using mLang::LocaleField;

struct Entry {
    std::wstring key;
    std::wstring name;
};

std::vector<Entry> Entries() {
    const std::string_view narrow = mLang::LcidTable();
    const std::wstring table(narrow.begin(), narrow.end());
    std::vector<Entry> entries;
    size_t at = 0;
    while (true) {
        const size_t next = table.find(L'|', at + 1);
        if (next == std::wstring::npos) {
            break;
        }
        entries.push_back({table.substr(at + 1, 4), table.substr(at + 5, next - at - 5)});
        at = next;
    }
    return entries;
}

bool IsHex(wchar_t c, bool upper) {
    return (c >= L'0' && c <= L'9') || (upper ? (c >= L'A' && c <= L'F') : (c >= L'a' && c <= L'f'));
}

TEST(LcidTable, Shape) {
    const std::string_view table = mLang::LcidTable();
    EXPECT_TRUE(table.starts_with("|0001ar|0002bg|0003ca|0004zh-Hans|7c04zh-Hant|0005cs|"));
    EXPECT_TRUE(table.ends_with("|7c68ha-Latn|"));

    const std::vector<Entry> entries = Entries();
    EXPECT_EQ(entries.size(), 391u);
    std::set<std::wstring> keys;
    std::vector<std::wstring> unmatched;
    std::vector<std::wstring> lowerSpecific;
    for (const Entry& e : entries) {
        EXPECT_TRUE(keys.insert(e.key).second) << "duplicate key " << e.key;
        if (e.key[0] == L'x') {
            EXPECT_EQ(e.name[0], L' ') << e.key;
            unmatched.push_back(e.key + e.name);
            continue;
        }
        bool upper = true;
        bool lower = true;
        for (wchar_t c : e.key) {
            upper = upper && IsHex(c, true);
            lower = lower && IsHex(c, false);
        }
        EXPECT_TRUE(upper || lower) << e.key << " mixes letter cases";
        // Specific cultures carry a region: the last part of the name is two capitals or three digits.
        const std::wstring region = e.name.substr(e.name.rfind(L'-') + 1);
        const bool specific = e.name.find(L'-') != std::wstring::npos &&
                              ((region.size() == 2 && iswupper(region[0]) && iswupper(region[1])) ||
                               (region.size() == 3 && iswdigit(region[0])));
        if (!upper && specific) {
            lowerSpecific.push_back(e.key + e.name);
        }
        if (!specific && e.key != L"040A" && e.key != L"1C0C" && e.key != L"045F") {
            EXPECT_FALSE(upper && !lower) << e.key << e.name << ": neutral culture with an upper-case key";
        }
    }
    EXPECT_EQ(unmatched, (std::vector<std::wstring>{L"x000 es", L"x006 ba", L"x040 fi-FI", L"x042 tg-Cyrl-TJ",
                                                    L"x044 gu-IN", L"x046 dv-MV", L"x048 qut-GT", L"x085 mn-Mong-CN",
                                                    L"x140 en-NZ", L"x280 ar-SY", L"x400 es-BO"}));
    EXPECT_EQ(lowerSpecific, (std::vector<std::wstring>{L"241asr-Latn-RS", L"281asr-Cyrl-RS", L"2c1asr-Latn-ME",
                                                        L"301asr-Cyrl-ME", L"3c0aes-PY"}));
}

// The user's locale as the platform would describe it.
struct FakeLocale {
    std::wstring languageId;
    std::wstring abbrev;
    mutable int languageIdQueries = 0;
    mLang::LocaleQuery Query() const {
        return [this](LocaleField field) {
            if (field == LocaleField::LanguageId) {
                ++languageIdQueries;
                return languageId;
            }
            return abbrev;
        };
    }
};

TEST(WindowsUserLangID, UserLocale) {
    struct Case {
        const wchar_t* languageId;
        const wchar_t* abbrev;
        const wchar_t* expected;
    };
    const Case cases[] = {
        // The platform may answer in lower case.
        {L"040c", L"FRA", L"fr-FR"},
        {L"040C", L"FRA", L"fr-FR"},
        {L"0409", L"ENU", L"en-US"},
        {L"0c0a", L"ESN", L"es-ES"},
        {L"0407", L"DEU", L"de-DE"},
        // Finnish is one of the rows that can never match.
        {L"040b", L"FIN", L"FIN"},
        // Entries with lower-case keys are out of reach of an upper-cased key.
        {L"241a", L"SRM", L"SRM"},
        {L"241A", L"SRM", L"SRM"},
        {L"3c0a", L"ESZ", L"ESZ"},
        {L"000c", L"FRA", L"FRA"},
        // Neutral entries without letters in their key are found.
        {L"0009", L"ENU", L"en"},
        // Nothing usable from the platform: no entry is guessed.
        {L"", L"ENU", L"ENU"},
        {L"04", L"ENU", L"ENU"},
        {L"0409x", L"ENU", L"ENU"},
    };
    for (const Case& c : cases) {
        const FakeLocale locale{c.languageId, c.abbrev};
        EXPECT_EQ(CultureName(0, locale.Query()), c.expected) << c.languageId;
    }
}

TEST(WindowsUserLangID, ExplicitIds) {
    struct Case {
        int32_t id;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {0x0001, L"ar"},
        {0x0010, L"it"},
        {0x0009, L"en"},
        {0x040C, L"fr-FR"},
        {0x0409, L"en-US"},
        {0x0C0A, L"es-ES"},
        {0x0816, L"pt-PT"},
        {0x0416, L"pt-BR"},
        {0x0804, L"zh-CN"},
        {0x0404, L"zh-TW"},
        {0x0411, L"ja-JP"},
        {0x0419, L"ru-RU"},
        {0x040A, L"es-ES_tradnl"},
        {0x1C0C, L"fr-West"},
        {0x045F, L"tmz"},
        {0x0810, L"it-CH"},
        {0x3009, L"en-ZW"},
        {0x0C04, L"zh-HK"},
        // Only the low four digits count.
        {0x1040C, L"fr-FR"},
        // Keys with lower-case letters and the x rows give the abbreviation.
        {0x7C04, L"ABR"},
        {0x000C, L"ABR"},
        {0x241A, L"ABR"},
        {0x3C0A, L"ABR"},
        {0x040B, L"ABR"},
        {0x1409, L"ABR"},
        {-1, L"ABR"},
        {0x0400, L"ABR"},
    };
    for (const Case& c : cases) {
        const FakeLocale locale{L"0409", L"ABR"};
        EXPECT_EQ(CultureName(c.id, locale.Query()), c.expected) << std::hex << c.id;
        EXPECT_EQ(locale.languageIdQueries, 0) << "an explicit id asked for the user's";
    }
    EXPECT_EQ(mLang::LangIdKey(0x40C), L"040C");
    EXPECT_EQ(mLang::LangIdKey(-2), L"FFFE");
}

TEST(WindowsUserLangID, PlatformFailurePassesThrough) {
    const mLang::LocaleQuery failing = [](LocaleField) -> std::wstring { throw SysError{1004, L"Invalid flags."}; };
    try {
        CultureName(0, failing);
        ADD_FAILURE() << "the failure was swallowed";
    } catch (const SysError& e) {
        EXPECT_EQ(mLang::LangIdTraceLine(e.number, e.description),
                  L"Error 1004 (Invalid flags.) in Property mLang.WindowsUserLangID");
    }
}

}  // namespace
