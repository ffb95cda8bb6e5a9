#include "process/sevenzip.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::wstring kArc = L"C:\\DOCUME~1\\WORK\\patch.dat";

// The archiver has been fed these exact lines by every release; a stray or missing space changes
// how it splits its arguments.
TEST(SevenZipCommandLine, ArgumentsAreByteExact) {
    struct Case {
        const char* what;
        std::wstring args;
        std::wstring expected;
    };
    const std::vector<Case> cases = {
        {"recursive listing", sevenzip::ListArguments(L"*\\OrvanaMenu.exe", true, kArc),
         L" l -r -slt \"C:\\DOCUME~1\\WORK\\patch.dat\" *\\OrvanaMenu.exe"},
        {"flat listing has no -r at all", sevenzip::ListArguments(L"*.exe", false, kArc),
         L" l -slt \"C:\\DOCUME~1\\WORK\\patch.dat\" *.exe"},
        {"add", sevenzip::AddArguments(kArc, L"C:\\Some Folder", L"*.txt"),
         L" a \"C:\\DOCUME~1\\WORK\\patch.dat\" \"C:\\Some Folder\\*.txt\""},
        {"test whole archive", sevenzip::TestArguments(kArc, L""), L"t \"C:\\DOCUME~1\\WORK\\patch.dat\""},
        {"test one member", sevenzip::TestArguments(kArc, L"a b\\c.txt"),
         L"t \"C:\\DOCUME~1\\WORK\\patch.dat\" \"a b\\c.txt\""},
        {"extract without exclusions", sevenzip::ExtractArguments(L"*.*", L"D:\\My Suite\\", L"", kArc),
         L"x -y -r  -o\"D:\\My Suite\\\" \"C:\\DOCUME~1\\WORK\\patch.dat\" \"*.*\""},
        {"extract with exclusions", sevenzip::ExtractArguments(L"*.*", L"D:\\Suite", L"C:\\Work Dir\\exlude.txt", kArc),
         L"x -y -r  -x@\"C:\\Work Dir\\exlude.txt\"  -o\"D:\\Suite\" \"C:\\DOCUME~1\\WORK\\patch.dat\" \"*.*\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.args, c.expected) << c.what;

    EXPECT_EQ(sevenzip::CommandLine(L"C:\\WORK\\7z.exe", sevenzip::ListArguments(L"*", true, kArc)),
              L"C:\\WORK\\7z.exe  l -r -slt \"C:\\DOCUME~1\\WORK\\patch.dat\" *");
    EXPECT_EQ(sevenzip::CommandLine(L"7z.exe", sevenzip::TestArguments(kArc, L"")),
              L"7z.exe t \"C:\\DOCUME~1\\WORK\\patch.dat\"");
    // Where no short name takes the blank away, quotes keep the path in one piece.
    EXPECT_EQ(sevenzip::CommandLine(L"C:\\Temp Dir\\orv\\7z.exe", sevenzip::TestArguments(kArc, L"")),
              L"\"C:\\Temp Dir\\orv\\7z.exe\" t \"C:\\DOCUME~1\\WORK\\patch.dat\"");
}

TEST(SevenZipReport, SuccessOnlyOnExactMarker) {
    struct Case {
        std::wstring report;
        bool ok;
    };
    const std::vector<Case> cases = {
        {L"", false},
        {L"Everything is Ok\r\n", true},
        {L"Extracting...\r\n\r\nEverything is Ok\r\n\r\nWARNINGS:\r\nsomething\r\n", true},
        {L"everything is ok\r\n", false},
        {L"Everything is O", false},
        {L"ERROR: Data Error : a.txt\r\nSub items Errors: 1\r\n", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sevenzip::ReportSucceeded(c.report), c.ok) << c.report.c_str();
}

TEST(SevenZipListing, KeepsEntryLinesAfterSeparator) {
    const std::wstring report =
        L"\r\n7-Zip 26.03 (x86)\r\n\r\nScanning the drive for archives:\r\n1 file, 300 bytes\r\n\r\n"
        L"Listing archive: x.7z\r\n\r\n--\r\nPath = x.7z\r\nType = 7z\r\nBlocks = 1\r\n\r\n"
        L"----------\r\nPath = dir\\OrvanaMenu.exe\r\nSize = 12\r\nBlock = 0\r\nBlocks = 2\r\n"
        L"Comment = a = b\r\nEmpty = \r\nno separator here\r\nKey=Value\r\n\r\n"
        L"Path = other.txt\r\nBlock = 0\r\n";
    EXPECT_EQ(sevenzip::ParseTechnicalListing(report),
              L"Path = dir\\OrvanaMenu.exe\r\nSize = 12\r\nBlocks = 2\r\nComment = a = b\r\nEmpty = \r\n"
              L"Path = other.txt\r\n");
}

TEST(SevenZipListing, WithoutSeparatorHeaderLinesCount) {
    EXPECT_EQ(sevenzip::ParseTechnicalListing(L"Path = x.7z\r\nType = 7z\r\nBlock = 3\r\n"),
              L"Path = x.7z\r\nType = 7z\r\n");
    EXPECT_EQ(sevenzip::ParseTechnicalListing(L""), L"");
    EXPECT_EQ(sevenzip::ParseTechnicalListing(L"ERROR: x.7z\r\nCan not open the file as archive\r\n"), L"");
    // Only CR LF ends a line; a lone LF stays inside it.
    EXPECT_EQ(sevenzip::ParseTechnicalListing(L"----------\nPath = a\nSize = 1"),
              L"----------\nPath = a\nSize = 1\r\n");
    EXPECT_EQ(sevenzip::ParseTechnicalListing(L" = x\r\nBlock = 1"), L" = x\r\n");
}

}  // namespace
