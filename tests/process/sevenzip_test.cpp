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
        {"extract with progress", sevenzip::ExtractArguments(L"*.*", L"D:\\Suite", L"", kArc, true),
         L"x -y -r -bsp1  -o\"D:\\Suite\" \"C:\\DOCUME~1\\WORK\\patch.dat\" \"*.*\""},
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

// The progress switch goes only to archivers that know it: an older one would refuse the whole line.
TEST(SevenZipReport, ProgressSwitchFromTheBannerVersion) {
    const std::vector<std::pair<std::wstring, bool>> cases = {
        {L"\r\n7-Zip 26.03 (x86) : Copyright (c) 1999-2026 Igor Pavlov\r\n", true},
        {L"\r\n7-Zip [32] 16.02 : Copyright (c) 1999-2016 Igor Pavlov\r\n", true},
        {L"\r\n7-Zip (a) 19.00 (x64) : Copyright\r\n", true},
        {L"\r\n7-Zip 15.05 beta\r\n", true},
        {L"\r\n7-Zip 9.20  Copyright (c) 1999-2010 Igor Pavlov  2010-11-18\r\n", false},
        {L"\r\n7-Zip [32] 9.20\r\n", false},
        {L"", false},
        {L"ERROR: 7-Zip 26.03 is not here\r\n", false},
        {L"7-Zip 26", false},
    };
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(sevenzip::KnowsProgressSwitch(cases[i].first), cases[i].second) << "case " << i;
}

// The progress line as 7-Zip redraws it, cut into the pieces a pipe delivers.
TEST(SevenZipReport, ProgressReadFromRedrawnLinesInAnyPieces) {
    const std::wstring output =
        L"\r\n7-Zip 26.03 (x86)\r\n\r\nScanning the drive for archives:\r\n  0M Scan C:\\w\\\r        \r"
        L"1 file, 300 bytes\r\n\r\nExtracting archive: C:\\w\\patch.dat\r\n--\r\nPath = C:\\w\\patch.dat\r\n"
        L"  0%\r    \r 7% 3 - 100% sure.txt\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b  73% - noise.bin\r                \r"
        L"Everything is Ok\r\n\r\nSize:       30000000\r\n";
    for (size_t piece : {output.size(), size_t{1}, size_t{3}, size_t{7}}) {
        sevenzip::ProgressReader reader;
        std::vector<int> seen;
        for (size_t at = 0; at < output.size(); at += piece) {
            const int percent = reader.Feed(output.substr(at, piece));
            if (seen.empty() || seen.back() != percent)
                seen.push_back(percent);
        }
        if (piece == output.size())
            EXPECT_EQ(seen, (std::vector<int>{73}));
        else
            EXPECT_EQ(seen, (std::vector<int>{-1, 0, 7, 73})) << piece;
    }
    // A name longer than what is held back is never read as a percentage, wherever it is cut.
    sevenzip::ProgressReader reader;
    reader.Feed(L" 5% 1 - " + std::wstring(80, L'x'));
    EXPECT_EQ(reader.Feed(L" 99% y\r"), 5);
    EXPECT_EQ(reader.Feed(L"101%\r1000%\r12%x\r"), 5);
}

}  // namespace
