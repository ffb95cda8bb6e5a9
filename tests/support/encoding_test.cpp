#include "support/encoding.h"

#include <gtest/gtest.h>

using namespace mStringTools;

TEST(IsUTF8, ClassifiesSequences) {
    struct Case {
        const char* bytes;
        bool utf8;
    } cases[] = {
        {"", false},
        {"plain ascii", false},
        {"\xC3\xA9", true},                // é
        {"caf\xC3\xA9 ok", true},
        {"\xC3\x41", false},               // lead byte followed by a non-continuation
        {"abc\xC3", false},                // truncated at the end
        {"\xE2\x82\xAC", true},            // €
        {"\xE2\x82", false},
        {"\xF0\x9F\x98\x80", true},        // four-byte form
        {"\xF8\x88\x80\x80\x80", true},    // five-byte form is accepted
        {"\xFC\x84\x80\x80\x80\x80", true},
        {"\x80", false},                   // continuation byte as a lead
        {"\xFE", false},
        {"\xFF", false},
        {"\xC0\x80", true},                // overlong forms are accepted
        {"\xE9t\xE9", false},              // Latin-1 text
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsUTF8(c.bytes), c.utf8) << "input: " << c.bytes;
}

TEST(ReadByteBits, GathersMaskedBits) {
    long bits = 0;
    EXPECT_EQ(mUTF8::ReadByteBits(0xC3, 0xE0, bits), 6);
    EXPECT_EQ(bits, 3);
    EXPECT_EQ(mUTF8::ReadByteBits(0xA9, 0xC0, bits), 2);
    EXPECT_EQ(bits, 2);
    EXPECT_EQ(mUTF8::ReadByteBits(0xFD, 0xFE, bits), 126);
    EXPECT_EQ(bits, 7);
    // A mask with gaps packs the chosen bits together.
    EXPECT_EQ(mUTF8::ReadByteBits(0xFF, 0x81, bits), 3);
    EXPECT_EQ(bits, 2);
}

TEST(ByteHelpers, PrependAndRemoveLeft) {
    ByteBuffer target{1, 2};
    BytePrepend(target, ByteBuffer{}, 0);
    EXPECT_EQ(target, (ByteBuffer{1, 2}));
    BytePrepend(target, ByteBuffer{7, 8, 9}, 2);
    EXPECT_EQ(target, (ByteBuffer{7, 8, 1, 2}));
    BytePrepend(target, ByteBuffer{5}, -1);
    EXPECT_EQ(target, (ByteBuffer{5, 7, 8, 1, 2}));

    ByteBuffer out;
    EXPECT_EQ(ByteRemoveLeft(target, 0, out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(ByteRemoveLeft(target, 2, out), 2);
    EXPECT_EQ(out, (ByteBuffer{5, 7}));
    EXPECT_EQ(ByteRemoveLeft(target, 99, out), 3);  // cut to the size; nothing is left
    EXPECT_EQ(ByteCount(target), 0);
    EXPECT_EQ(UnicodeBOM(), (ByteBuffer{0xFF, 0xFE}));
}

TEST(Utf16Bytes, RoundTripsIncludingSurrogates) {
    const std::wstring text = L"a\u00e9\u20ac";
    const std::string bytes = TextToUtf16Bytes(text);
    EXPECT_EQ(bytes, std::string("a\0\xE9\0\xAC\x20", 6));
    EXPECT_EQ(Utf16BytesToText(bytes), text);
    // U+1F600 as a surrogate pair.
    const std::string pair("\x3D\xD8\x00\xDE", 4);
    EXPECT_EQ(TextToUtf16Bytes(Utf16BytesToText(pair)), pair);
    // A dangling byte is ignored.
    EXPECT_EQ(Utf16BytesToText(std::string("a\0b", 3)), L"a");
}

TEST(TextHelpers, TrimAndFindWithoutCase) {
    EXPECT_EQ(TrimBlanks(L"  a b  "), L"a b");
    EXPECT_EQ(TrimBlanks(L"\ta\t"), L"\ta\t");  // only blanks are trimmed
    EXPECT_EQ(TrimBlanks(L"   "), L"");
    EXPECT_EQ(FindNoCase(L"x /MAKER y", L"/maker"), 2u);
    EXPECT_EQ(FindNoCase(L"\u00c9T\u00c9", L"\u00e9t\u00e9"), 0u);
    EXPECT_EQ(FindNoCase(L"abc", L"abcd"), std::wstring::npos);
}

TEST(TextHelpers, AsciiCaseAndReplaceAll) {
    // Only A to Z fold: names the program makes must not depend on the machine.
    EXPECT_EQ(AsciiLower(L"ORVANA_\u00c9t\u00e9.TXT"), L"orvana_\u00c9t\u00e9.txt");
    EXPECT_TRUE(EqualsAsciiNoCase(L"Data\\X.exe", L"data\\x.EXE"));
    EXPECT_FALSE(EqualsAsciiNoCase(L"\u00c9", L"\u00e9"));
    EXPECT_FALSE(EqualsAsciiNoCase(L"ab", L"abc"));
    EXPECT_TRUE(HasAsciiNoCase(L"x\\DATA\\patch_close", 1, L"\\data\\"));
    EXPECT_FALSE(HasAsciiNoCase(L"abc", 2, L"cd"));                      // runs past the end
    EXPECT_FALSE(HasAsciiNoCase(L"abc", std::wstring::npos - 3, L"a"));  // a start computed from a short text
    EXPECT_TRUE(HasAsciiNoCase(L"abc", 3, L""));

    EXPECT_EQ(ReplaceAll(L"a|b||c", L"|", L"\r\n"), L"a\r\nb\r\n\r\nc");
    EXPECT_EQ(ReplaceAll(L"%lang% (%lang%) %LANG%", L"%lang%", L"FR"), L"FR (FR) %LANG%");
    EXPECT_EQ(ReplaceAll(L"aa", L"a", L"aa"), L"aaaa");  // what was put in is not searched again
    EXPECT_EQ(ReplaceAll(L"abc", L"", L"x"), L"abc");
}

TEST(TextHelpers, DecimalTextMatchesPrintf) {
    EXPECT_EQ(DecimalText(0), L"0");
    EXPECT_EQ(DecimalText(-2147221504), L"-2147221504");  // an "offset" error number
    EXPECT_EQ(DecimalText(INT64_MIN), L"-9223372036854775808");
    EXPECT_EQ(DecimalText(7, 4), L"0007");
    EXPECT_EQ(DecimalText(12345, 4), L"12345");
}
