#include "support/encoding_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "support/encoding.h"
#include "support/trace.h"

using namespace mStringTools;

namespace {

std::wstring Oracle(const std::string& bytes, UINT cp) {
    const std::string z = bytes.c_str();
    const int n = MultiByteToWideChar(cp, 0, z.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(cp, 0, z.c_str(), -1, out.data(), n);
    if (!out.empty())
        out.pop_back();
    return out;
}

TEST(CodePages, AgreeWithThePlatform) {
    const std::string samples[] = {"plain", "caf\xE9", "caf\xC3\xA9", "\xE2\x82\xAC 5", "a\0b", "\x80\x81\x9F"};
    for (const std::string& s : samples) {
        EXPECT_EQ(StrCodePageToUnicode(s, 1252), Oracle(s, 1252));
        EXPECT_EQ(StrCodePageToUnicode(s, CP_UTF8), Oracle(s, CP_UTF8));
    }
    // Stops at the first zero byte, both ways.
    EXPECT_EQ(StrCodePageToUnicode(std::string("ab\0cd", 5), 1252), L"ab");
    EXPECT_EQ(StrUnicodeToCodePage(std::wstring(L"ab\0cd", 5), 1252), "ab");
    EXPECT_EQ(StrUnicodeToCodePage(L"caf\u00e9 \u20ac", CP_UTF8), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(StrUnicodeToCodePage(L"caf\u00e9", 1252), "caf\xE9");
    EXPECT_EQ(StrCodePageToUnicode("", 1252), L"");
    EXPECT_EQ(StrUnicodeToCodePage(L"", 1252), "");
}

TEST(IsUnicode, FollowsThePlatformTest) {
    const std::string utf16 = TextToUtf16Bytes(L"This is an ordinary sentence of Latin text.");
    EXPECT_TRUE(IsUnicode(utf16));
    EXPECT_TRUE(IsUnicode("\xFF\xFE" + utf16));
    EXPECT_FALSE(IsUnicode("This is an ordinary sentence of Latin text."));
    EXPECT_FALSE(IsUnicode("x"));
    INT tests = IS_TEXT_UNICODE_STATISTICS | IS_TEXT_UNICODE_SIGNATURE;
    EXPECT_EQ(IsUnicode(utf16), IsTextUnicode(utf16.data(), static_cast<int>(utf16.size()), &tests) != FALSE);
}

TEST(StrDataToUnicode, DetectsAndHandlesTheMark) {
    struct Case {
        std::string data;
        bool keepBom;
        int encoding;
        std::wstring text;
        bool bomChanged;
    } cases[] = {
        {"Plain ASCII text", false, 3, L"Plain ASCII text", false},
        {"caf\xE9 cr\xE8me", false, 3, L"caf\u00e9 cr\u00e8me", false},
        {"caf\xC3\xA9", false, 2, L"caf\u00e9", false},
        {"\xEF\xBB\xBF" "caf\xC3\xA9", false, 2, L"caf\u00e9", true},
        {"\xFF\xFE" + TextToUtf16Bytes(L"Some longer UTF-16 text here"), false, 1, L"Some longer UTF-16 text here", true},
        {"\xFF\xFE" + TextToUtf16Bytes(L"Some longer UTF-16 text here"), true, 1,
         L"\ufeffSome longer UTF-16 text here", false},
        {"plain", true, 3, L"\ufeffplain", true},
    };
    for (const Case& c : cases) {
        int encoding = 0;
        bool changed = false;
        EXPECT_EQ(StrDataToUnicode(c.data, encoding, 1252, c.keepBom, changed), c.text) << c.data;
        EXPECT_EQ(encoding, c.encoding) << c.data;
        EXPECT_EQ(changed, c.bomChanged) << c.data;
    }
    int encoding = 0;
    bool changed = false;
    EXPECT_EQ(StrDataToUnicode("", encoding, 1252, true, changed), L"");
    EXPECT_EQ(encoding, 0);  // nothing changes for empty data
    // A given encoding is used as it is.
    encoding = 3;
    EXPECT_EQ(StrDataToUnicode("caf\xC3\xA9", encoding, 1252, false, changed), L"caf\u00c3\u00a9");
}

TEST(Utf8, EncodeAndDecode) {
    EXPECT_EQ(mUTF8::UTF8_Encode(L"\u00e9t\u00e9 \u4e2d"), "\xC3\xA9t\xC3\xA9 \xE4\xB8\xAD");
    EXPECT_EQ(mUTF8::UTF8_Decode("\xC3\xA9t\xC3\xA9", 1), L"\u00e9t\u00e9");
    EXPECT_EQ(AnsiBytesToStr(StrToAnsiBytes(L"caf\u00e9")), L"caf\u00e9");
}

}  // namespace
