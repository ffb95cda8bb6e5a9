#include "support/path.h"

#include <gtest/gtest.h>

using namespace mGlobal;

TEST(PathSplitting, FolderAndName) {
    struct Case {
        std::wstring path, folder, name;
    } cases[] = {
        {L"C:\\a\\b.txt", L"C:\\a", L"b.txt"},
        {L"C:/a/b.txt", L"C:/a", L"b.txt"},
        {L"C:\\a/b\\c.txt", L"C:/a/b", L"c.txt"},  // any "/" turns every separator into "/"
        {L"b.txt", L"b.txt", L"b.txt"},
        {L"C:/a\\b.txt", L"C:/a", L"b.txt"},
        {L"C:\\a\\", L"C:\\a", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FilePathOnly(c.path), c.folder) << c.path;
        EXPECT_EQ(FileNameOnly(c.path), c.name) << c.path;
    }
}

TEST(PathSplitting, AddSlashAndLongPrefix) {
    std::wstring a = L"C:\\a";
    EXPECT_EQ(AddSlash(a), L"C:\\a\\");
    EXPECT_EQ(a, L"C:\\a\\");  // the argument changes too
    std::wstring b = L"a/b";
    EXPECT_EQ(AddSlash(b), L"a/b/");
    std::wstring c = L"C:\\a\\";
    EXPECT_EQ(AddSlash(c), L"C:\\a\\");
    std::wstring empty;
    EXPECT_EQ(AddSlash(empty), L"\\");
    EXPECT_EQ(WithSlash(L"C:\\a"), L"C:\\a\\");
    EXPECT_EQ(WithSlash(L"C:\\a\\"), L"C:\\a\\");
    EXPECT_EQ(WithSlash(L""), L"\\");
    EXPECT_EQ(WithoutSlash(L"C:\\a\\"), L"C:\\a");
    EXPECT_EQ(WithoutSlash(L"C:\\a\\\\"), L"C:\\a\\");  // one, as a listing names a folder
    EXPECT_EQ(WithoutSlash(L"a/"), L"a/");
    EXPECT_EQ(WithoutSlash(L""), L"");

    EXPECT_EQ(LongPathPrefix(L"C:\\x"), L"\\\\?\\C:\\x");
    EXPECT_EQ(LongPathPrefix(L"\\\\server\\share\\x"), L"\\\\server\\share\\x");
    EXPECT_EQ(LongPathPrefix(L"rel\\x"), L"rel\\x");
    EXPECT_EQ(LongPathPrefix(L"\\\\?\\C:\\x"), L"\\\\?\\C:\\x");

    EXPECT_TRUE(NamesVolume(L"C:\\x"));
    EXPECT_TRUE(NamesVolume(L"C:x"));  // relative to that drive's own current folder
    EXPECT_TRUE(NamesVolume(L"\\\\srv\\share"));
    EXPECT_FALSE(NamesVolume(L"\\x"));
    EXPECT_FALSE(NamesVolume(L"x\\y"));
}

// A share's server and share name are never made, and a share's path gets the long form too.
TEST(Path, VolumesAndTheLongFormOfShares) {
    EXPECT_EQ(VolumePart(L"\\\\srv\\share\\Orvana\\a"), L"\\\\srv\\share");
    EXPECT_EQ(VolumePart(L"\\\\srv\\share"), L"\\\\srv\\share");
    EXPECT_EQ(VolumePart(L"\\\\?\\UNC\\srv\\share\\a"), L"\\\\?\\UNC\\srv\\share");
    EXPECT_EQ(VolumePart(L"E:\\Orvana"), L"E:");
    EXPECT_EQ(VolumePart(L"\\\\?\\E:\\Orvana"), L"\\\\?\\E:");
    EXPECT_EQ(VolumePart(L"Orvana\\a"), L"");
    EXPECT_EQ(ExtendedPath(L"\\\\srv\\share\\a"), L"\\\\?\\UNC\\srv\\share\\a");
    EXPECT_EQ(ExtendedPath(L"E:\\a"), L"\\\\?\\E:\\a");
    EXPECT_EQ(ExtendedPath(L"\\\\?\\UNC\\srv\\s"), L"\\\\?\\UNC\\srv\\s");
    EXPECT_EQ(ExtendedPath(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
    EXPECT_EQ(ExtendedPath(L"a\\b"), L"a\\b");
}
