// A patch made by the maker, signed by its batch file, applied by the patcher to an installation whose
// menu runs.
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e/harness/apply_support.h"
#include "e2e/harness/install_builder.h"
#include "e2e/harness/maker_support.h"
#include "e2e/harness/patch_builder.h"
#include "e2e/harness/window_driver.h"
#include "maker/frm_maker_ids.h"
#include "patcher/frm_main_ids.h"

namespace {

TEST(MakerRoundTrip, SignedPatchFromTheMakerAppliesToTheRunningSuite) {
    e2e::SharedLog log;
    e2e::Installation orvana;
    e2e::ProgramsEnder ender(orvana.root());
    e2e::SetBackupKey(false);
    orvana.WriteText(L"version.txt", L"Orvana\r\nbuild 12\r\n5.9\r\n");
    orvana.WriteText(L"readme.txt", L"old readme");
    orvana.StartMenu();

    e2e::MakerFolder folder;
    orvana.WriteText(L"old.txt", L"leftover");
    const std::string archive =
        e2e::MakeArchive({{L"readme.txt", "new readme"},
                          {L"OrvanaTools\\post.exe", e2e::ReadFileBytes(fakes::FakesFolder() + L"\\fake_post.exe")}});
    ASSERT_TRUE(e2e::WriteFileBytes(folder.Path(L"data.7z"), archive));
    ASSERT_TRUE(e2e::WriteFileBytes(folder.Path(L"sig.bin"), std::string(8192, 'S')));
    ASSERT_TRUE(e2e::WriteFileBytes(folder.Path(L"sign.bat"),
                                    "@echo off\r\ncopy /b %1+sig.bin signed.tmp >nul\r\n"
                                    "move /y signed.tmp %1 >nul\r\n"));

    e2e::Program maker;
    HWND window = e2e::StartMaker(maker, folder.Exe());
    ASSERT_TRUE(window);
    // The running installation's version file gives the suite version.
    EXPECT_EQ(e2e::Text(window, IDC_TXTORVVERSION), L"5.9");

    frmMaker::MakerSettings s;
    s.ORVVersion = L"5.9";
    s.MinPatchNeeded = L"20141104134857";
    s.PatchVersion = L"20141114055922";
    s.LangName = L"FR";
    s.LangCheck = true;
    s.UpdateInfo = L"<EN>New readme</EN>\r\n<FR>Nouveau readme</FR>";
    s.RunAtEnd = L"  \"%ORV%\\OrvanaTools\\post.exe\" first \r\n   \r\n\"%ORV%\\OrvanaTools\\post.exe\" %LNG%\r\n";
    s.DelAtEnd = L"%ORV%\\old.txt";
    s.ForceMenuRestart = true;  // the archive holds no suite program: only this makes the menu restart
    e2e::FillMaker(window, s, folder.Path(L"data.7z"), folder.LangFileText());
    const std::wstring patch = folder.Path(L"orv_20141114055922_FR.exe");
    const size_t size = e2e::ExpectedPatch(folder.ExeBytes(), archive, s, folder.LangFileText()).size() + 8192;
    ASSERT_TRUE(e2e::MakeAndWait(maker, window, folder.path(), patch, size));
    e2e::Press(window, IDCANCEL);
    ASSERT_TRUE(maker.WaitEnded());

    e2e::Program patcher;
    HWND main = e2e::OpenPatcher(patcher, patch);  // an English-speaking user
    ASSERT_TRUE(main);
    e2e::Press(main, IDC_CMDAPPLY);
    const e2e::MessageBoxInfo done = patcher.WaitForMessageBox(90000);
    e2e::ExpectBox(done, L"UpdateDone", L"Update successful");
    patcher.Answer(done, IDOK);
    EXPECT_TRUE(patcher.WaitEnded());

    EXPECT_EQ(orvana.ReadBytes(L"readme.txt"), "new readme");
    EXPECT_FALSE(orvana.Exists(L"old.txt"));
    // One command per non-blank line, in order; the language placeholder is the lower-case PatchLang.
    std::vector<std::string> args;
    for (const std::string& e : log.EventsOf("post.exe", true)) {
        if (e.find(":args") != std::string::npos)
            args.push_back(e);
    }
    EXPECT_EQ(args, (std::vector<std::string>{"1:args first", "2:args fr"})) << log.Dump();
    EXPECT_NE(orvana.ReadText(L"OrvanaTools\\version.ver").find(L"<Patch>20141114055922</Patch>"), std::wstring::npos)
        << e2e::Utf8(orvana.ReadText(L"OrvanaTools\\version.ver"));
    patcher.WaitUntil(
        [&] {
            const auto events = log.EventsOf("OrvanaMenu.exe");
            return std::count(events.begin(), events.end(), "ready") >= 2;
        },
        "the menu restarted");
    const auto events = log.EventsOf("OrvanaMenu.exe", true);
    EXPECT_NE(std::find(events.begin(), events.end(), "1:WM_CLOSE patch_close=yes"), events.end()) << log.Dump();
    EXPECT_NE(std::find(events.begin(), events.end(), "2:args /updated"), events.end()) << log.Dump();
}

}  // namespace
