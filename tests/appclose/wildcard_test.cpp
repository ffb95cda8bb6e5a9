#include "appclose/wildcard.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using mAppClose::EscapeWildcard;
using mAppClose::FoldLatin;
using mAppClose::WildcardMatch;

struct Case {
    const wchar_t* text;
    const wchar_t* pattern;
    bool matches;
};

TEST(WildcardMatch, Table) {
    const Case cases[] = {
        // The whole text against the whole pattern.
        {L"", L"", true},
        {L"a", L"", false},
        {L"", L"*", true},
        {L"abc", L"abc", true},
        {L"abcd", L"abc", false},
        {L"abc", L"abcd", false},
        {L"xabc", L"abc", false},
        // Stars.
        {L"abc", L"*", true},
        {L"abc", L"a*", true},
        {L"abc", L"*c", true},
        {L"abc", L"a*c", true},
        {L"ac", L"a*c", true},
        {L"abcbc", L"a*bc", true},
        {L"abcbd", L"a*bc", false},
        {L"abc", L"a**c", true},
        {L"aXbXc", L"*X*X*", true},
        {L"aXb", L"*X*X*", false},
        // Question mark and hash.
        {L"abc", L"a?c", true},
        {L"ac", L"a?c", false},
        {L"a\\c", L"a?c", true},
        {L"a5c", L"a#c", true},
        {L"a#c", L"a#c", false},
        {L"abc", L"a#c", false},
        {L"2024", L"####", true},
        // Lists and ranges.
        {L"b", L"[abc]", true},
        {L"d", L"[abc]", false},
        {L"d", L"[!abc]", true},
        {L"a", L"[!abc]", false},
        {L"m", L"[a-z]", true},
        {L"M", L"[a-z]", true},
        {L"5", L"[a-z]", false},
        {L"5", L"[!a-z]", true},
        {L"-", L"[a-]", true},
        {L"-", L"[-a]", true},
        {L"b", L"[-a]", false},
        {L"*", L"[*]", true},
        {L"x", L"[*]", false},
        {L"?", L"[?]", true},
        {L"#", L"[#]", true},
        {L"[", L"[[]", true},
        {L"!", L"a[!]", false},
        {L"a!", L"a[!]", true},
        {L"!", L"[a!]", true},
        {L"x", L"[z-a]", false},
        {L"ab", L"a[]b", true},
        {L"a]", L"a]", true},
        // An unclosed bracket is an ordinary character.
        {L"a[b", L"a[b", true},
        {L"a[b", L"a[?", true},
        {L"ab", L"a[b", false},
        // Letters without regard to case.
        {L"C:\\Orvana\\OrvanaMenu.exe", L"*orvanamenu.EXE", true},
        {L"C:\\ORVANA\\ORVANAMENU.EXE", L"*OrvanaMenu.exe", true},
        {L"\u00e9t\u00e9", L"\u00c9T\u00c9", true},
        {L"\u0107", L"\u0106", true},
        {L"\u013a", L"\u0139", true},
        {L"\u017e", L"\u017d", true},
        {L"\u00ff", L"\u0178", true},
        {L"e", L"\u00e9", false},
        // Paths built from folders.
        {L"D:\\Orvana\\OrvanaTools\\tool.exe", L"D:\\Orvana\\OrvanaTools\\*.*", true},
        {L"D:\\Orvana\\OrvanaTools\\Sub\\tool.exe", L"D:\\Orvana\\OrvanaTools\\*.*", true},
        {L"D:\\Orvana\\OrvanaTools\\tool", L"D:\\Orvana\\OrvanaTools\\*.*", false},
        {L"D:\\Orvana #2\\OrvanaMenu.exe", L"D:\\Orvana #2\\OrvanaMenu.exe", false},
        {L"D:\\Orvana 22\\OrvanaMenu.exe", L"D:\\Orvana #2\\OrvanaMenu.exe", true},
        {L"D:\\Apps [old]\\x.exe", L"D:\\Apps [old]\\x.exe", false},
        {L"D:\\Apps o\\x.exe", L"D:\\Apps [old]\\x.exe", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WildcardMatch(c.text, c.pattern), c.matches)
            << "text \"" << testing::PrintToString(std::wstring(c.text)) << "\" pattern "
            << testing::PrintToString(std::wstring(c.pattern));
    }
}

TEST(WildcardMatch, UsesTheFoldingItIsGiven) {
    // A folding that knows only the ASCII letters.
    auto asciiOnly = [](wchar_t c) -> wchar_t { return (c >= L'a' && c <= L'z') ? wchar_t(c - 32) : c; };
    EXPECT_TRUE(WildcardMatch(L"abc", L"ABC", asciiOnly));
    EXPECT_FALSE(WildcardMatch(L"\u00e9", L"\u00c9", asciiOnly));
    EXPECT_TRUE(WildcardMatch(L"\u00e9", L"[\u00c0-\u00de]", FoldLatin));
    EXPECT_FALSE(WildcardMatch(L"abc", L"ABC", nullptr));
    EXPECT_TRUE(WildcardMatch(L"abc", L"abc", nullptr));
}

TEST(WildcardMatch, LongRunsOfStarsStayFast) {
    // Backtracking over many stars must not explode: a naive recursive matcher takes ages here.
    const std::wstring text(4000, L'a');
    std::wstring pattern;
    for (int i = 0; i < 200; ++i)
        pattern += L"a*";
    pattern += L"b";
    EXPECT_FALSE(WildcardMatch(text, pattern));
    EXPECT_TRUE(WildcardMatch(text + L"b", pattern));
}

TEST(EscapeWildcard, MatchesTheTextItself) {
    const wchar_t* texts[] = {
        L"D:\\Orvana #2\\OrvanaMenu.exe", L"D:\\Apps [old]\\x.exe", L"C:\\what?\\*star*\\a-b!c]", L"", L"plain",
    };
    for (const wchar_t* text : texts) {
        const std::wstring pattern = EscapeWildcard(text);
        EXPECT_TRUE(WildcardMatch(text, pattern)) << testing::PrintToString(pattern);
    }
    EXPECT_FALSE(WildcardMatch(L"D:\\Orvana 22\\OrvanaMenu.exe", EscapeWildcard(L"D:\\Orvana #2\\OrvanaMenu.exe")));
    EXPECT_TRUE(
        WildcardMatch(L"D:\\Orvana #2\\OrvanaTools\\t.exe", EscapeWildcard(L"D:\\Orvana #2") + L"\\OrvanaTools\\*.*"));
}

}  // namespace
