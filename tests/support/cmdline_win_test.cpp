#include "support/cmdline_win.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include "support/cmdline.h"

using namespace mCmdLine;

namespace {

// The platform's own split of a command line.
std::vector<std::wstring> PlatformSplit(const std::wstring& line) {
    int n = 0;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &n);
    std::vector<std::wstring> out(argv, argv + n);
    LocalFree(argv);
    return out;
}

TEST(CommandLine, ArgumentTextFollowsThePlatformSplit) {
    struct Case {
        std::wstring line;
        std::wstring args;
    } cases[] = {
        {L"\"C:\\Program Files\\OV\\OVPatcher.exe\" /src=\"D:\\my patch.exe\"", L"/src=\"D:\\my patch.exe\""},
        {L"C:\\OV\\OVPatcher.exe /maker", L"/maker"},
        {L"C:\\OV\\OVPatcher.exe", L""},
        {L"\"C:\\a b\\x.exe\"    -x  /Maker  ", L"-x  /Maker"},
        // Only blanks are trimmed: a tab after an unquoted path stays in front of the arguments.
        {L"C:\\OV\\OVPatcher.exe\t/maker", L"\t/maker"},
    };
    for (const Case& c : cases) {
        const std::vector<std::wstring> argv = PlatformSplit(c.line);
        ASSERT_FALSE(argv.empty());
        EXPECT_EQ(ArgsAfterProgramPath(c.line, argv[0]), c.args) << c.line;
    }
}

TEST(CommandLine, OwnProcess) {
    // The test program's own command line: the list starts with its path, and the argument text is
    // what follows it.
    const std::vector<std::wstring> list = GetArgList();
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list, PlatformSplit(GetCommandLineW()));
    EXPECT_EQ(mStringTools::GetCmdLine(), std::wstring(GetCommandLineW()));
    std::wstring cache;
    EXPECT_EQ(GetCmdVal(L"nosuchoption", true, cache), L"");
    EXPECT_EQ(cache, GetCmdArgs());
    EXPECT_EQ(mStringTools::PointerToStringW(nullptr), L"");
    EXPECT_EQ(mStringTools::PointerToStringW(L""), L"");
    EXPECT_EQ(ReadPointer(nullptr), 0u);
}

}  // namespace
