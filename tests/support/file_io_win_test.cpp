#include "support/file_io_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "support/encoding_win.h"
#include "support/trace.h"
#include "test_folder_win.h"

using namespace mStringTools;

namespace {

TEST(LoadFile, DetectsTheEncoding) {
    TestFolder dir(L"load");
    WriteBytes(dir / L"bom.xml", "\xEF\xBB\xBF<a>\xC3\xA9</a>");
    int encoding = 0;
    bool changed = false;
    EXPECT_EQ(LoadFile(dir / L"bom.xml", true, encoding, false, changed), L"<a>\u00e9</a>");
    EXPECT_EQ(encoding, 2);
    EXPECT_TRUE(changed);

    WriteBytes(dir / L"latin.txt", "caf\xE9");
    encoding = 0;
    changed = false;
    EXPECT_EQ(LoadFile(dir / L"latin.txt", true, encoding, false, changed), L"caf\u00e9");
    EXPECT_EQ(encoding, 3);

    // Empty, a folder, missing: an empty result and the encoding argument left alone.
    WriteBytes(dir / L"empty.txt", "");
    for (const std::wstring& path : {dir / L"empty.txt", dir.path(), dir / L"missing"}) {
        encoding = 7;
        EXPECT_EQ(LoadFile(path, true, encoding, false, changed), L"");
        EXPECT_EQ(encoding, 7);
    }
}

TEST(LoadFile, BinaryAndAnsiTraceWhatTheyRead) {
    TestFolder dir(L"loadbin");
    WriteBytes(dir / L"b.bin", std::string("a\0b", 3));
    TraceCapture trace;
    EXPECT_EQ(LoadFileBinary(dir / L"b.bin"), std::string("a\0b", 3));
    ASSERT_EQ(trace.errors().size(), 1u);
    EXPECT_EQ(trace.errors()[0], L"Loaded binary file : " + (dir / L"b.bin"));
    std::string bytes = "untouched";
    EXPECT_EQ(LoadFileBytes(dir / L"missing", bytes), 0);
    EXPECT_EQ(bytes, "untouched");
}

TEST(SaveFile, EncodingsAndMark) {
    TestFolder dir(L"save");
    const std::wstring text = L"Ordinary Latin text";
    ASSERT_TRUE(SaveUtf8Text(dir / L"u8.txt", text));
    EXPECT_EQ(ReadBytes(dir / L"u8.txt"), "Ordinary Latin text");
    ASSERT_TRUE(SaveFile(dir / L"u8bom.txt", text, kConvertText, kUtf8, kWithBom, kWesternCodePage, kReplaceFile));
    EXPECT_EQ(ReadBytes(dir / L"u8bom.txt"), "\xEF\xBB\xBFOrdinary Latin text");
    ASSERT_TRUE(
        SaveFile(dir / L"cp.txt", L"caf\u00e9", kConvertText, kCodePage, kWithBom, kWesternCodePage, kReplaceFile));
    EXPECT_EQ(ReadBytes(dir / L"cp.txt"), "caf\xE9");  // never a mark in a code page
    ASSERT_TRUE(SaveFile(dir / L"u16.txt", L"ab", kConvertText, kUtf16Le, kWithBom, kWesternCodePage, kReplaceFile));
    EXPECT_EQ(ReadBytes(dir / L"u16.txt"), std::string("\xFF\xFE" "a\0b\0", 6));
    // Short text that the statistical UTF-16 test would reject still comes out whole.
    ASSERT_TRUE(SaveUtf8Text(dir / L"short.txt", L"x"));
    EXPECT_EQ(ReadBytes(dir / L"short.txt"), "x");
    ASSERT_TRUE(SaveUtf8Text(dir / L"utf8.txt", L"\u00e9t\u00e9 \u4e2d"));
    EXPECT_EQ(ReadBytes(dir / L"utf8.txt"), "\xC3\xA9t\xC3\xA9 \xE4\xB8\xAD");
}

TEST(SaveFile, AppendReplaceAndFolders) {
    TestFolder dir(L"saveappend");
    const std::wstring path = dir / L"new\\deeper\\f.txt";
    ASSERT_TRUE(SaveFile(path, L"one", kConvertText, kUtf8, kWithoutBom, kWesternCodePage,
                         kAppendToFile));  // append on a missing file creates it
    ASSERT_TRUE(SaveFile(path, L"two", kConvertText, kUtf8, kWithoutBom, kWesternCodePage, kAppendToFile));
    EXPECT_EQ(ReadBytes(path), "onetwo");
    ASSERT_TRUE(SaveUtf8Text(path, L"3"));  // replace
    EXPECT_EQ(ReadBytes(path), "3");
    ASSERT_TRUE(SaveFileBytes(dir / L"raw.bin", std::string("\0\1", 2), false));
    EXPECT_EQ(ReadBytes(dir / L"raw.bin"), std::string("\0\1", 2));
}

TEST(SaveFile, ReadOnlyTargetFailsAndKeepsTheFile) {
    TestFolder dir(L"savero");
    WriteBytes(dir / L"ro.txt", "keep");
    SetFileAttributesW((dir / L"ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(SaveUtf8Text(dir / L"ro.txt", L"new"));
    EXPECT_EQ(ReadBytes(dir / L"ro.txt"), "keep");
    SetFileAttributesW((dir / L"ro.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
