#include "process/sevenzip_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "patcher/apply.h"
#include "process/process_test_support_win.h"
#include "support/encoding.h"
#include "support/file_system_win.h"
#include "support/noise.h"
#include "support/trace.h"

namespace {

using proctest::FileExistsW;
using proctest::ReadBytes;
using proctest::TempFolder;

std::wstring EnvVar(const wchar_t* name) {
    wchar_t buf[MAX_PATH * 4];
    const DWORD n = GetEnvironmentVariableW(name, buf, MAX_PATH * 4);
    return n > 0 && n < MAX_PATH * 4 ? std::wstring(buf, n) : std::wstring();
}

std::wstring ShortName(const std::wstring& path) {
    wchar_t buf[MAX_PATH * 4];
    const DWORD n = GetShortPathNameW(path.c_str(), buf, MAX_PATH * 4);
    return n > 0 && n < MAX_PATH * 4 ? std::wstring(buf, n) : path;
}

// Real archives, made once with the real archiver: one holds suite programs, one does not.
class SevenZipTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::wstring dir = EnvVar(L"OV_7Z_DIR");
        ASSERT_FALSE(dir.empty()) << "OV_7Z_DIR names the folder with the real 7z.exe and 7z.dll";
        root_ = std::make_unique<TempFolder>(L"7z");
        // The archiver is used from a copy in a work folder, as the patcher does.
        archiver_ = root_->Sub(L"work dir\\7z.exe");
        root_->Make(L"work dir\\.keep", "");
        ASSERT_TRUE(CopyFileW((dir + L"\\7z.exe").c_str(), archiver_.c_str(), FALSE));
        ASSERT_TRUE(CopyFileW((dir + L"\\7z.dll").c_str(), root_->Sub(L"work dir\\7z.dll").c_str(), FALSE));

        root_->Make(L"src with\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe", "menu program");
        root_->Make(L"src with\\OrvanaTools\\Tool.exe", "tool program");
        root_->Make(L"src with\\readme.txt", "read me\r\n");
        root_->Make(L"src with\\data files\\a b.txt", "a and b");
        // Names without a dot, which the mask "*.*" does not take.
        root_->Make(L"src with\\README", "see readme.txt");
        root_->Make(L"src with\\OrvanaTools\\LICENSE", "");
        root_->Make(L"src with\\OrvanaTools\\Data\\words", "alpha\nbeta\n");
        root_->Make(L"src without\\readme.txt", "nothing to run here");
        root_->Make(L"src without\\data files\\b.txt", "b");
        root_->Make(L"arch ives\\.keep", "");
        withArchive_ = root_->Sub(L"arch ives\\with menu.7z");
        withoutArchive_ = root_->Sub(L"arch ives\\without.7z");
        for (const auto& [src, arc] :
             {std::pair{L"src with", withArchive_}, std::pair{L"src without", withoutArchive_}})
            ASSERT_EQ(proctest::RunAndWait(L"\"" + archiver_ + L"\" a -y \"" + arc + L"\" *", root_->Sub(src)), 0);
    }
    static void TearDownTestSuite() { root_.reset(); }

    static c7z& Archive(c7z& z, const std::wstring& archive) {
        z.SetPath7zip(archiver_);
        z.SetFileName(archive);
        return z;
    }

    static std::unique_ptr<TempFolder> root_;
    static std::wstring archiver_;
    static std::wstring withArchive_;
    static std::wstring withoutArchive_;
};
std::unique_ptr<TempFolder> SevenZipTest::root_;
std::wstring SevenZipTest::archiver_;
std::wstring SevenZipTest::withArchive_;
std::wstring SevenZipTest::withoutArchive_;

TEST_F(SevenZipTest, ListingShowsOnlyMatchingEntries) {
    struct Case {
        const wchar_t* mask;
        bool recurse;
        bool withMenu;
        std::vector<std::wstring> present;
        std::vector<std::wstring> absent;
    };
    const std::vector<Case> cases = {
        {L"*\\OrvanaMenu.exe", true, true, {L"Path = OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe\r\n"}, {L"Tool.exe"}},
        {L"*\\OrvanaMenu.exe", true, false, {}, {}},
        {L"*.exe", true, true, {L"OrvanaMenu.exe\r\n", L"Path = OrvanaTools\\Tool.exe\r\n"}, {L"readme"}},
        {L"*.exe", true, false, {}, {}},
        {L"*.exe", false, true, {}, {}},  // no program at the top level
        {L"*.txt", false, true, {L"Path = readme.txt\r\n"}, {L"a b.txt"}},
        {L"*",
         true,
         true,
         {L"Path = readme.txt\r\n", L"Path = data files\\a b.txt\r\n", L"Path = OrvanaTools\\Tool.exe\r\n",
          L"Size = 12\r\n"},
         {L"Block = ", L"Type = 7z", L"----------", L"with menu.7z"}},
    };
    for (const auto& c : cases) {
        c7z z;
        Archive(z, c.withMenu ? withArchive_ : withoutArchive_);
        const std::wstring list = z.GetFileList(c.mask, c.recurse);
        const std::string what = "mask " + std::string(c.mask, c.mask + wcslen(c.mask)) + (c.recurse ? " -r" : "");
        EXPECT_NE(z.Last7zReport().find(L"----------"), std::wstring::npos) << what;
        EXPECT_EQ(list.empty(), c.present.empty()) << what;
        for (const auto& p : c.present)
            EXPECT_NE(list.find(p), std::wstring::npos) << what << " lacks an entry";
        for (const auto& a : c.absent)
            EXPECT_EQ(list.find(a), std::wstring::npos) << what << " has too much";
        // Every line is one "key = value" line ending in CR LF.
        for (size_t pos = 0; pos < list.size();) {
            const size_t end = list.find(L"\r\n", pos);
            ASSERT_NE(end, std::wstring::npos) << what;
            EXPECT_NE(list.substr(pos, end - pos).find(L" = "), std::wstring::npos) << what;
            pos = end + 2;
        }
    }
}

// The apply asks one listing of everything and answers the program masks from it: the answers must be the
// archiver's own, with the programs at the top level, below it, in other letter case, under a folder of
// that name, and absent.
TEST_F(SevenZipTest, OneListingAnswersAsTheArchiversOwnMasks) {
    const std::vector<std::vector<const wchar_t*>> layouts = {
        {L"OrvanaAssoc.exe", L"OrvanaMenu.exe", L"OrvanaWrapper.exe"},
        {L"a\\orvanaassoc.EXE", L"a\\b\\ORVANAWRAPPER.exe", L"c\\OrvanaMenu.exe"},
        {L"x\\OrvanaMenu.exe\\readme.txt", L"y.exe\\z.txt"},
        {L"readme.txt"},
    };
    for (size_t i = 0; i < layouts.size(); ++i) {
        const std::wstring src = L"layout " + std::to_wstring(i);
        for (const wchar_t* file : layouts[i])
            root_->Make(src + L"\\" + file, "x");
        const std::wstring archive = root_->Sub(L"arch ives\\" + src + L".7z");
        ASSERT_EQ(proctest::RunAndWait(L"\"" + archiver_ + L"\" a -y \"" + archive + L"\" *", root_->Sub(src)), 0);
        c7z z;
        Archive(z, archive);
        const mApplyPatch::ArchiveContents one =
            mApplyPatch::ContentsOfListing(z.GetFileList(mApplyPatch::kListingMask, true));
        EXPECT_EQ(one.assoc, !z.GetFileList(L"*\\OrvanaAssoc.exe", true).empty()) << i;
        EXPECT_EQ(one.wrapper, !z.GetFileList(L"*\\OrvanaWrapper.exe", true).empty()) << i;
        EXPECT_EQ(one.menu, !z.GetFileList(L"*\\OrvanaMenu.exe", true).empty()) << i;
        EXPECT_EQ(one.anyExe, !z.GetFileList(L"*.exe", true).empty()) << i;
        EXPECT_EQ(one.assoc || one.wrapper || one.menu, i == 1 || i == 2) << i;  // the layouts are what they say
    }
}

std::wstring FirstNotStaged(c7z& z, const std::wstring& dest, const std::wstring& excluded) {
    const mApplyPatch::ArchiveContents contents =
        mApplyPatch::ContentsOfListing(z.GetFileList(mApplyPatch::kListingMask, true));
    return mApplyPatch::FirstFileNotStaged(contents, excluded, dest + L"\\", mGlobal::FileSize);
}

TEST_F(SevenZipTest, ExtractsIntoFolderWithSpacesAndWideCharacters) {
    // With and without the final backslash: an empty relative folder in a patch gives the root
    // followed by a backslash.
    for (const std::wstring tail : {L"", L"\\"}) {
        const std::wstring dest = root_->Sub(L"suite \u03A9 \u4E2D dir" + std::to_wstring(tail.size()));
        c7z z;
        Archive(z, withArchive_);
        EXPECT_TRUE(z.Extract(L"*", dest + tail, L"")) << z.Last7zReport().c_str();
        EXPECT_EQ(ReadBytes(dest + L"\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe"), "menu program");
        EXPECT_EQ(ReadBytes(dest + L"\\data files\\a b.txt"), "a and b");
        EXPECT_EQ(ReadBytes(dest + L"\\readme.txt"), "read me\r\n");
        EXPECT_EQ(ReadBytes(dest + L"\\README"), "see readme.txt");
        EXPECT_TRUE(FileExistsW(dest + L"\\OrvanaTools\\LICENSE"));
        EXPECT_EQ(ReadBytes(dest + L"\\OrvanaTools\\Data\\words"), "alpha\nbeta\n");
        // What was staged is what the archive lists; a file taken away, or cut short, is named.
        EXPECT_EQ(FirstNotStaged(z, dest, L""), L"");
        if (tail.empty()) {
            ASSERT_TRUE(DeleteFileW((dest + L"\\OrvanaTools\\LICENSE").c_str()));
            EXPECT_EQ(FirstNotStaged(z, dest, L""), L"OrvanaTools\\LICENSE");
        } else {
            root_->Make(L"suite \u03A9 \u4E2D dir1\\OrvanaTools\\Data\\words", "alpha\n");
            EXPECT_EQ(FirstNotStaged(z, dest, L""), L"OrvanaTools\\Data\\words");
        }
    }
    // The mask "*.*" takes only names with a dot.
    const std::wstring dotted = root_->Sub(L"dotted only");
    c7z z;
    Archive(z, withArchive_);
    EXPECT_TRUE(z.Extract(L"*.*", dotted, L"")) << z.Last7zReport().c_str();
    EXPECT_FALSE(FileExistsW(dotted + L"\\README"));
    EXPECT_NE(FirstNotStaged(z, dotted, L""), L"");
}

// Listings and extractions one after the other, as an apply runs them, each judged from the archiver's
// report alone. A few by default; on a busy machine OV_STRESS_COUNT=<n> runs n of each and prints what
// failed, for a failure that shows once in many runs.
TEST_F(SevenZipTest, ManyRunsInARowAllSucceed) {
    const int count = std::max(1, _wtoi(EnvVar(L"OV_STRESS_COUNT").c_str()));
    int failedListings = 0;
    int failedExtractions = 0;
    int foreignOutput = 0;
    for (int i = 0; i < count; ++i) {
        c7z z;
        Archive(z, withArchive_);
        const mApplyPatch::ArchiveContents contents =
            mApplyPatch::ContentsOfListing(z.GetFileList(mApplyPatch::kListingMask, true));
        if (contents.files.size() != 7) {
            ++failedListings;
            ADD_FAILURE() << "listing " << i << " has " << contents.files.size() << " files:\n"
                          << mStringTools::TextToUtf8Bytes(z.Last7zReport());
        }
        const std::wstring dest = root_->Sub(L"stress\\" + std::to_wstring(i));
        // With the progress switch, as the apply extracts, when the archiver knows it.
        z.OnProgress = [](int) {};
        if (!z.Extract(L"*", dest, L"") ||
            !mApplyPatch::FirstFileNotStaged(contents, L"", dest + L"\\", mGlobal::FileSize).empty()) {
            ++failedExtractions;
            ADD_FAILURE() << "extraction " << i << ":\n" << mStringTools::TextToUtf8Bytes(z.Last7zReport());
        }
        // Only what the archiver wrote: the console helper the system starts for it writes control sequences
        // of its own, which must not land in the report.
        if (z.Last7zReport().find(L'\x1b') != std::wstring::npos) {
            ++foreignOutput;
            ADD_FAILURE() << "run " << i << " has console control sequences:\n"
                          << mStringTools::TextToUtf8Bytes(z.Last7zReport());
        }
        mGlobal::KillFolder(dest, true, nullptr, false);
    }
    std::printf("%d reports with console sequences\n", foreignOutput);
    std::printf("%d listings, %d failed; %d extractions, %d failed\n", count, failedListings, count, failedExtractions);
}

TEST_F(SevenZipTest, ExtractLeavesOutTheListedFiles) {
    const char* const text = "OrvanaTools\\Tool.exe\r\nreadme.txt\r\nLICENSE\r\nData\r\n";
    const std::wstring list = root_->Make(L"work dir\\exlude.txt", text);
    const std::wstring dest = root_->Sub(L"excluded into");
    c7z z;
    Archive(z, withArchive_);
    ASSERT_TRUE(z.Extract(L"*", dest, list)) << z.Last7zReport().c_str();
    EXPECT_TRUE(FileExistsW(dest + L"\\OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe"));
    EXPECT_TRUE(FileExistsW(dest + L"\\data files\\a b.txt"));
    EXPECT_TRUE(FileExistsW(dest + L"\\README"));
    EXPECT_FALSE(FileExistsW(dest + L"\\OrvanaTools\\Tool.exe"));
    EXPECT_FALSE(FileExistsW(dest + L"\\readme.txt"));
    // A name alone leaves it out at any depth, a folder's name all it holds: the check of what was staged
    // reads the list as the archiver did.
    EXPECT_FALSE(FileExistsW(dest + L"\\OrvanaTools\\LICENSE"));
    EXPECT_FALSE(FileExistsW(dest + L"\\OrvanaTools\\Data\\words"));
    const std::string bytes(text);
    EXPECT_EQ(FirstNotStaged(z, dest, std::wstring(bytes.begin(), bytes.end())), L"");
    EXPECT_EQ(FirstNotStaged(z, dest, L"OrvanaTools\\Tool.exe\r\nreadme.txt\r\nLICENSE\r\n"),
              L"OrvanaTools\\Data\\words");
}

// An archiver that knows the progress switch (its banner, seen in the listing, says so) reports how far it
// came; a cancelled extraction ends at once and fails.
TEST_F(SevenZipTest, ExtractReportsItsProgressAndStopsOnCancel) {
    std::string noise = testdata::Noise(16 << 20);
    root_->Make(L"src big\\noise.bin", noise);
    noise.clear();
    const std::wstring big = root_->Sub(L"arch ives\\big.7z");
    ASSERT_EQ(proctest::RunAndWait(L"\"" + archiver_ + L"\" a -mx0 -y \"" + big + L"\" *", root_->Sub(L"src big")), 0);

    c7z z;
    Archive(z, big);
    std::vector<int> seen;
    z.OnProgress = [&](int percent) { seen.push_back(percent); };
    EXPECT_FALSE(z.GetFileList(L"*", true).empty());
    ASSERT_TRUE(z.Extract(L"*.*", root_->Sub(L"big out"), L"")) << z.Last7zReport().c_str();
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_GE(seen.front(), 0);
    EXPECT_LE(seen.back(), 100);

    // Cancelled once the archiver has said something: it never gets to its success line.
    const std::wstring slow = root_->Sub(L"slow archiver\\7z.exe");
    root_->Make(L"slow archiver\\.keep", "");
    ASSERT_TRUE(CopyFileW(proctest::SelfPath().c_str(), slow.c_str(), FALSE));
    z.SetPath7zip(slow);
    cTimeOut user;
    user.Tick = [&](float) {
        if (!z.Last7zReport().empty())
            z.Cancel();
    };
    user.SetTickIntervall(10);
    user.SetEnabled(true);
    EXPECT_FALSE(z.Extract(L"*.*", root_->Sub(L"big cancelled"), L""));
    user.SetEnabled(false);
    EXPECT_NE(z.Last7zReport().find(L"Path = first"), std::wstring::npos);
    EXPECT_EQ(z.Last7zReport().find(L"Everything is Ok"), std::wstring::npos);
    z.Cancel();  // with nothing running: nothing happens
}

TEST_F(SevenZipTest, TestsWholeArchiveAndOneMember) {
    c7z z;
    Archive(z, withArchive_);
    EXPECT_TRUE(z.TestArchive(L""));
    EXPECT_NE(z.Last7zReport().find(L"Everything is Ok"), std::wstring::npos);
    EXPECT_TRUE(z.TestArchive(L"readme.txt"));
}

TEST_F(SevenZipTest, DamagedArchiveFails) {
    const std::string good = ReadBytes(withArchive_);
    ASSERT_GT(good.size(), 64u);
    std::string flipped = good;
    for (size_t i = 32; i < 40; ++i)  // inside the packed data, right after the signature header
        flipped[i] = static_cast<char>(~flipped[i]);
    const std::vector<std::pair<const char*, std::string>> damaged = {
        {"flipped data", flipped},
        {"cut short", good.substr(0, good.size() - 40)},
        {"not an archive", "just some text that is no archive at all"},
    };
    for (const auto& [what, bytes] : damaged) {
        const std::wstring path = root_->Sub(L"arch ives\\damaged.7z");
        ASSERT_TRUE(proctest::WriteBytes(path, bytes));
        c7z z;
        Archive(z, path);
        EXPECT_FALSE(z.TestArchive(L"")) << what;
        EXPECT_FALSE(z.Extract(L"*.*", root_->Sub(L"damaged out"), L"")) << what;
        EXPECT_FALSE(z.Last7zReport().empty()) << what;
    }
}

TEST_F(SevenZipTest, MissingArchiverIsTracedAndFails) {
    TraceCapture trace;
    c7z z;
    z.SetPath7zip(root_->Sub(L"no archiver\\7z.exe"));
    z.SetFileName(withArchive_);
    EXPECT_FALSE(z.Extract(L"*.*", root_->Sub(L"never"), L""));
    EXPECT_EQ(z.GetFileList(L"*", true), L"");
    EXPECT_FALSE(z.TestArchive(L""));
    EXPECT_TRUE(z.Last7zReport().empty());
    ASSERT_EQ(trace.errors().size(), 3u);
    for (const auto& line : trace.errors())
        EXPECT_EQ(line, L"Erreur en ex\u00E9cutant 7z.exe");
}

TEST_F(SevenZipTest, OperationStartedDuringAnotherIsRefusedWithoutHarm) {
    // An archiver that reports in two parts with a pause between them.
    const std::wstring slow = root_->Sub(L"slow archiver\\7z.exe");
    root_->Make(L"slow archiver\\.keep", "");
    ASSERT_TRUE(CopyFileW(proctest::SelfPath().c_str(), slow.c_str(), FALSE));
    c7z z;
    Archive(z, withArchive_).SetPath7zip(slow);

    // A window event that comes once the first part is in tries a second operation on the same
    // object.
    TraceCapture trace;
    cTimeOut intruder;
    int attempts = 0;
    bool nestedResult = true;
    intruder.Tick = [&](float) {
        if (attempts == 0 && !z.Last7zReport().empty()) {
            ++attempts;
            nestedResult = z.TestArchive(L"");
        }
    };
    intruder.SetTickIntervall(10);
    intruder.SetEnabled(true);
    const std::wstring list = z.GetFileList(L"*", true);
    intruder.SetEnabled(false);
    ASSERT_EQ(attempts, 1) << "the intruder never came during the listing";
    EXPECT_FALSE(nestedResult);
    EXPECT_EQ(list, L"Path = first\r\nPath = second\r\n");
    ASSERT_EQ(trace.errors().size(), 1u);
    EXPECT_EQ(trace.errors()[0], L"Erreur en ex\u00E9cutant 7z.exe");
}

// The exact bytes the archiver receives, seen by a stand-in that logs its command line.
TEST_F(SevenZipTest, CommandLinesReachTheArchiverByteForByte) {
    const std::wstring buildDir = EnvVar(L"OV_BUILD_DIR");
    ASSERT_FALSE(buildDir.empty()) << "OV_BUILD_DIR names the Windows build folder";
    const std::wstring logger = root_->Sub(L"fake archiver\\7z.exe");
    root_->Make(L"fake archiver\\.keep", "");
    ASSERT_TRUE(CopyFileW((buildDir + L"\\fakes\\fake_7z_cmdline_logger.exe").c_str(), logger.c_str(), FALSE));
    const std::wstring log = root_->Sub(L"cmdline.log");
    SetEnvironmentVariableW(L"OV_FAKE_7Z_LOG", log.c_str());

    const std::wstring s7z = ShortName(logger);
    const std::wstring sArc = ShortName(withArchive_);
    // Shortening is what keeps these two in one piece; the test means nothing without it.
    EXPECT_EQ(s7z.find(L' '), std::wstring::npos) << "no short names on this volume";
    EXPECT_EQ(sArc.find(L' '), std::wstring::npos) << "no short names on this volume";
    const std::wstring dest = root_->Sub(L"dest \u03A9");
    const std::wstring exclude = root_->Sub(L"work dir\\exlude.txt");
    const std::wstring arcFolder = mGlobal::FilePathOnly(withArchive_);

    c7z z;
    Archive(z, withArchive_).SetPath7zip(logger);
    struct Case {
        const char* what;
        std::function<void()> run;
        std::wstring expected;
    };
    const std::vector<Case> cases = {
        {"recursive listing", [&] { z.GetFileList(L"*\\OrvanaMenu.exe", true); },
         s7z + L"  l -r -slt \"" + sArc + L"\" *\\OrvanaMenu.exe"},
        {"flat listing", [&] { z.GetFileList(L"*.exe", false); }, s7z + L"  l -slt \"" + sArc + L"\" *.exe"},
        {"test", [&] { EXPECT_TRUE(z.TestArchive(L"")); }, s7z + L" t \"" + sArc + L"\""},
        {"test member", [&] { EXPECT_TRUE(z.TestArchive(L"a b\\c.txt")); },
         s7z + L" t \"" + sArc + L"\" \"a b\\c.txt\""},
        {"extract", [&] { EXPECT_TRUE(z.Extract(L"*.*", dest, L"")); },
         s7z + L" x -y -r  -o\"" + dest + L"\" \"" + sArc + L"\" \"*.*\""},
        {"extract with exclusions", [&] { EXPECT_TRUE(z.Extract(L"*.*", dest + L"\\", exclude)); },
         s7z + L" x -y -r  -x@\"" + exclude + L"\"  -o\"" + dest + L"\\\" \"" + sArc + L"\" \"*.*\""},
        {"add", [&] { EXPECT_TRUE(z.Add(L"*.txt")); }, s7z + L"  a \"" + sArc + L"\" \"" + arcFolder + L"\\*.txt\""},
    };
    for (const auto& c : cases) {
        DeleteFileW(log.c_str());
        c.run();
        const std::string bytes = ReadBytes(log);
        const std::wstring logged(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
        EXPECT_EQ(logged, c.expected) << c.what;
    }

    // Without an archive nothing is started at all.
    DeleteFileW(log.c_str());
    c7z none;
    none.SetPath7zip(logger);
    EXPECT_EQ(none.GetFileList(L"*", true), L"");
    EXPECT_FALSE(none.Extract(L"*.*", dest, L""));
    EXPECT_FALSE(none.TestArchive(L""));
    EXPECT_FALSE(none.Add(L"*.*"));
    EXPECT_FALSE(FileExistsW(log));
    SetEnvironmentVariableW(L"OV_FAKE_7Z_LOG", nullptr);
}

TEST(SevenZip, ArchiverDefaultsToTheProgramFolder) {
    c7z z;
    EXPECT_EQ(z.Path7zip(), mGlobal::AppPath() + L"\\7z.exe");
    z.SetPath7zip(L"C:\\x\\7z.exe");
    EXPECT_EQ(z.Path7zip(), L"C:\\x\\7z.exe");
}

TEST(SevenZip, TemporaryFolderAndFile) {
    c7z z;
    wchar_t expected[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, expected);
    const std::wstring tmp = z.TmpPath();
    EXPECT_EQ(tmp, expected);
    ASSERT_FALSE(tmp.empty());
    EXPECT_EQ(tmp.back(), L'\\');

    const std::wstring a = z.GetTmpFile();
    const std::wstring b = z.GetTmpFile();
    EXPECT_NE(a, b);
    for (const auto& f : {a, b}) {
        EXPECT_EQ(f.rfind(tmp, 0), 0u) << "in the temporary folder";
        EXPECT_TRUE(FileExistsW(f));
        EXPECT_EQ(ReadBytes(f), "");
        DeleteFileW(f.c_str());
    }
}

}  // namespace
