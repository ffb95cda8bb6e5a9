#include "support/file_system_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "support/trace.h"
#include "test_folder_win.h"

using namespace mGlobal;

namespace {

TEST(FileSystem, ExistenceAndAttributes) {
    TestFolder dir(L"exist");
    WriteBytes(dir / L"f.txt", "x");
    EXPECT_TRUE(FileExists(dir / L"f.txt"));
    EXPECT_FALSE(FileExists(dir.path()));
    EXPECT_FALSE(FileExists(dir / L"missing"));
    EXPECT_TRUE(FolderExists(dir.path()));
    EXPECT_FALSE(FolderExists(dir / L"f.txt"));

    SetFileAttr(dir / L"f.txt", kAttrReadOnly);
    EXPECT_TRUE(GetFileAttr(dir / L"f.txt") & kAttrReadOnly);
    try {
        GetFileAttr(dir / L"missing");
        FAIL() << "no error raised";
    } catch (const SysError& e) {
        EXPECT_EQ(e.number, kErrOffset + 2);  // file not found, in the offset form
        EXPECT_EQ(e.description, SystemErrorText(2));
    }
    try {
        RemoveFile(dir / L"missing");
        FAIL() << "no error raised";
    } catch (const SysError& e) {
        EXPECT_EQ(e.number, 2);  // the plain code
    }
    EXPECT_FALSE(SystemErrorText(5).empty());
}

TEST(FileSystem, MakePath) {
    TestFolder dir(L"make");
    EXPECT_FALSE(MakePath(L"nobackslash"));
    const std::wstring deep = dir / L"a\\b\\c";
    EXPECT_TRUE(MakePath(deep));
    EXPECT_TRUE(FolderExists(deep));
    EXPECT_TRUE(MakePath(deep + L"\\"));  // a trailing backslash is harmless
    WriteBytes(dir / L"file", "x");
    EXPECT_FALSE(MakePath(dir / L"file\\sub"));  // a file stands where a folder must go
}

TEST(FileSystem, KillFile) {
    TestFolder dir(L"killfile");
    EXPECT_FALSE(KillFile(dir / L"missing", 0));  // one attempt, and a missing file is a failure
    EXPECT_TRUE(KillFile(dir / L"missing", 20));   // with retries, missing means done
    WriteBytes(dir / L"ro.txt", "x");
    SetFileAttr(dir / L"ro.txt", kAttrReadOnly | kAttrHidden);
    EXPECT_TRUE(KillFile(dir / L"ro.txt", 0));
    EXPECT_FALSE(FileExists(dir / L"ro.txt"));

    // A file held open without delete sharing fails every attempt and traces each retry.
    WriteBytes(dir / L"held.txt", "x");
    HANDLE held = CreateFileW((dir / L"held.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    TraceCapture trace;
    EXPECT_FALSE(KillFile(dir / L"held.txt", 1));
    CloseHandle(held);
    ASSERT_EQ(trace.errors().size(), 1u);
    EXPECT_EQ(trace.errors()[0].rfind(L"Erreur ", 0), 0u);
    EXPECT_NE(trace.errors()[0].find(L" dans KillFile : "), std::wstring::npos);
}

TEST(FileSystem, KillFolder) {
    TestFolder dir(L"killfolder");
    const std::wstring root = dir / L"tree";
    MakePath(root + L"\\sub\\deeper");
    WriteBytes(root + L"\\a.txt", "a");
    WriteBytes(root + L"\\hidden.txt", "h");
    WriteBytes(root + L"\\sub\\ro.txt", "r");
    WriteBytes(root + L"\\sub\\deeper\\\u4e2d\u03a9.txt", "u");  // a name the ANSI code page cannot hold
    SetFileAttr(root + L"\\hidden.txt", kAttrHidden);
    SetFileAttr(root + L"\\sub\\ro.txt", kAttrReadOnly);

    // Without recursion only the plain entries of the top folder go.
    TraceCapture trace;
    EXPECT_FALSE(KillFolder(root, false, nullptr, false));
    EXPECT_FALSE(FileExists(root + L"\\a.txt"));
    EXPECT_FALSE(FileExists(root + L"\\hidden.txt"));
    EXPECT_TRUE(FileExists(root + L"\\sub\\ro.txt"));
    ASSERT_FALSE(trace.notes().empty());
    EXPECT_EQ(trace.notes()[0], L"KillFolder => REFAIRE EN UNICODE");

    std::vector<std::wstring> failures;
    EXPECT_TRUE(KillFolder(root, true, &failures, false));
    EXPECT_TRUE(failures.empty());
    EXPECT_FALSE(FolderExists(root));
}

TEST(FileSystem, KillFolderReportsWhatStays) {
    TestFolder dir(L"killheld");
    const std::wstring root = dir / L"tree";
    MakePath(root);
    WriteBytes(root + L"\\held.txt", "x");
    HANDLE held = CreateFileW((root + L"\\held.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<std::wstring> failures;
    EXPECT_FALSE(KillFolder(root, true, &failures, false));
    CloseHandle(held);
    ASSERT_EQ(failures.size(), 2u);  // the file, then the folder that still holds it
    EXPECT_EQ(failures[0], root + L"\\held.txt");
    // Without a list, what stays is skipped silently.
    EXPECT_TRUE(KillFolder(root, true, nullptr, false));
}

TEST(FileSystem, PathsAsUsersWriteThemAndOfAnyLength) {
    TestFolder dir(L"paths");
    // "/" and ".." are resolved before the long-path marker turns the system's own resolving off.
    WriteBytes(dir / L"slash.txt", "x");
    WriteBytes(dir / L"dots.txt", "x");
    EXPECT_TRUE(KillFile(dir.path() + L"/slash.txt", 0));
    EXPECT_TRUE(KillFile(dir / L"OrvanaTools\\..\\dots.txt", 0));
    EXPECT_FALSE(FileExists(dir / L"slash.txt"));
    EXPECT_FALSE(FileExists(dir / L"dots.txt"));

    std::wstring deep = dir.path();
    while (deep.size() < 300)
        deep += L"\\" + std::wstring(40, L'd');
    ASSERT_TRUE(MakePath(deep));
    EXPECT_TRUE(FolderExists(deep));
    const std::wstring file = deep + L"\\f.txt";
    WriteBytes(ApiPath(file), "x");
    EXPECT_TRUE(FileExists(file));
    SetFileAttr(file, kAttrReadOnly);
    EXPECT_TRUE(GetFileAttr(file) & kAttrReadOnly);
    EXPECT_TRUE(SameFile(file, deep + L"\\x\\..\\F.TXT"));
    EXPECT_FALSE(SameFile(file, deep + L"\\g.txt"));
    EXPECT_FALSE(SameFile(L"", L""));
    EXPECT_TRUE(KillFile(file, 0));
    RemoveFolder(deep);
    EXPECT_FALSE(FolderExists(deep));

    // A folder that went before it could be listed (as a sub-folder may while its parent is emptied) is done.
    TraceCapture trace;
    EXPECT_TRUE(KillFolder(dir / L"gone\\deeper", true, nullptr, false));
    EXPECT_TRUE(trace.errors().empty());
}

TEST(FileSystem, TempFolderAndFullPath) {
    const std::wstring temp = GetTempFolder();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), L'\\');
    EXPECT_TRUE(FolderExists(temp));
    EXPECT_EQ(GetFullPath(L"x.txt", L"C:\\base"), L"C:\\base\\x.txt");
    EXPECT_EQ(GetFullPath(L"C:\\a\\..\\b.txt", L""), L"C:\\b.txt");
    EXPECT_EQ(GetFullPath(L"x.txt", L""), AppPath() + L"\\x.txt");
    EXPECT_EQ(GetFullPath(std::wstring(300, L'a'), L"C:\\"), L"C:\\" + std::wstring(300, L'a'));
    EXPECT_EQ(GetLongPath(L"C:\\does\\not\\exist"), L"C:\\does\\not\\exist");
    EXPECT_FALSE(AppExeName().empty());
}

}  // namespace
