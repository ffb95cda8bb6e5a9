// Applying a patch that goes through: which suite programs are stopped and how, in which order, what they
// are restarted with, what is extracted, run, deleted and recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>

#include "e2e/harness/apply_support.h"
#include "e2e/harness/install_builder.h"
#include "e2e/harness/patch_builder.h"
#include "e2e/harness/window_driver.h"
#include "patcher/frm_main_ids.h"
#include "support/handles_win.h"

namespace {

using e2e::FakeBytes;
using e2e::Installation;
using e2e::kAssoc;
using e2e::kMenu;
using e2e::kStubborn;
using e2e::kTool;
using e2e::kTool64;
using e2e::kWrapper;
using e2e::kZet;
using e2e::SharedLog;
using e2e::WithoutStart;

std::string U8(const std::wstring& text) {
    return e2e::Utf8(text);
}

// No installation running: the patcher asks whether to pick its folder; Yes, and its folder picker.
HWND AgreeToPickTheFolder(e2e::Program& patcher) {
    const e2e::MessageBoxInfo notRunning = patcher.WaitForMessageBox();
    e2e::ExpectBox(notRunning, L"OrvNotRunning",
                   L"The Orvana is not running.\r\nWould you like to select its folder manually ?");
    patcher.Answer(notRunning, IDYES);
    return patcher.WaitForFolderPicker();
}

// Presses apply, expects the success box, and waits for the program to end.
void ApplyAndExpectSuccess(e2e::Program& patcher, HWND window) {
    e2e::Press(window, IDC_CMDAPPLY);
    const e2e::MessageBoxInfo done = patcher.WaitForMessageBox(90000);
    e2e::ExpectBox(done, L"UpdateDone", L"Update successful");
    EXPECT_FALSE(e2e::Visible(window, IDC_PRGWORKING));
    patcher.Answer(done, IDOK);
    EXPECT_TRUE(patcher.WaitEnded());
}

TEST(ApplyProtocol, EveryRunningSuiteProgramIsStoppedThenRestarted) {
    SharedLog log;
    Installation orvana;
    e2e::ProgramsEnder ender(orvana.root());
    e2e::SetBackupKey(true);

    orvana.StartMenu();
    orvana.StartFake(L"fake_wrapper", kWrapper);
    orvana.StartFake(L"fake_assoc", kAssoc);
    orvana.StartFake(L"fake_zet", kZet);
    orvana.StartFake(L"fake_tool", kTool);
    orvana.StartFake(L"fake_stubborn", kStubborn);
    const fakes::FakeProcess& tool64 = orvana.StartFake(e2e::Fake64(L"fake_tool"), kTool64);
    BOOL narrower = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &narrower));
    if (narrower) {
        // The tests and the patcher under test are 32-bit programs on 64-bit Windows; the tool is not.
        UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, tool64.pid()));
        BOOL emulated = TRUE;
        ASSERT_TRUE(process.get() && IsWow64Process(process.get(), &emulated));
        EXPECT_FALSE(emulated) << "tool64.exe is not a 64-bit program";
    }
    orvana.WriteText(L"old.txt", L"leftover");
    orvana.WriteText(L"slashed.txt", L"leftover");
    orvana.WriteText(L"dotted.txt", L"leftover");
    orvana.WriteText(L"readme.txt", L"old readme");
    // Children the version file's reader cannot take apart exactly: kept as they were written.
    const std::wstring kept =
        L"\t<Edition src=\"setup\">portable</Edition>\r\n\t<Build>77</build>\r\n\t<Channel>beta</Channel>\r\n";
    orvana.WriteText(L"OrvanaTools\\version.ver",
                     L"<OrvanaVersion>\r\n\t<Version>5.8</Version>\r\n\t<Patch>20141104134857</Patch>\r\n"
                     L"\t<Lang>fr</Lang>\r\n" +
                         kept + L"</OrvanaVersion>\r\n");

    e2e::Descriptor d = e2e::EnglishPatch();
    d.ORVVersion = L"5.9";
    d.PatchLang = L"FR";
    d.RunAfter =
        L"\"%ORV%\\OrvanaTools\\post.exe\" first /sleep=300|\"%ORV%\\OrvanaTools\\post.exe\" \"%TMPFLD%\" %LNG%";
    // Paths as users write them: "/" and ".." are the system's to resolve.
    d.DelAfter = L"%ORV%\\old.txt|%ORV%\\not there.txt|%ORV%/slashed.txt|%ORV%\\OrvanaTools\\..\\dotted.txt";
    std::vector<e2e::ArchiveFile> files = {
        {kWrapper, FakeBytes(L"fake_wrapper")},
        {kAssoc, FakeBytes(L"fake_assoc")},
        {kMenu, FakeBytes(L"fake_menu")},
        {L"OrvanaTools\\post.exe", FakeBytes(L"fake_post")},
        {kTool64, "tool64, new"},
        {L"readme.txt", "new readme"},
    };
    // Enough to stage for a while: the window then shows how far the archiver came.
    for (e2e::ArchiveFile& file : e2e::ManyFiles(1500))
        files.push_back(std::move(file));
    const std::string archive = e2e::MakeArchive(files, L"-mx0");
    e2e::TempDir out;
    const std::wstring patch = e2e::WritePatch(out.Path(L"orv patch.exe"), archive, d.Text());
    const std::wstring runLog = out.Path(L"run log.txt");

    e2e::Program patcher;
    HWND window = e2e::OpenPatcher(patcher, patch, L"/log=\"" + runLog + L"\"");
    ASSERT_TRUE(window);
    e2e::Press(window, IDC_CMDAPPLY);
    // The staging's percentages rise, then the suite is closed, when Cancel can no longer leave it untouched.
    const std::vector<int> staged = e2e::StagedPercentages(patcher, window, patch);
    ASSERT_GE(staged.size(), 2u);
    EXPECT_TRUE(std::is_sorted(staged.begin(), staged.end()));
    EXPECT_LT(staged.front(), staged.back());
    patcher.WaitUntil([&] { return e2e::Text(window, IDC_LBLSTATUS).rfind(L"Closing the suite", 0) == 0; },
                      "the suite's closing", 90000);
    EXPECT_FALSE(e2e::Enabled(window, IDCANCEL));
    EXPECT_EQ(e2e::Text(window, IDC_LBLSTATUS), L"Closing the suite\x2026 (the suite is stopped: no cancelling now)");
    const e2e::MessageBoxInfo done = patcher.WaitForMessageBox(90000);
    e2e::ExpectBox(done, L"UpdateDone", L"Update successful");
    patcher.Answer(done, IDOK);
    EXPECT_TRUE(patcher.WaitEnded());
    EXPECT_EQ(patcher.ExitCode(), 0u);

    // Restarted programs announce themselves once their windows exist.
    patcher.WaitUntil(
        [&] {
            for (const char* exe : {"OrvanaMenu.exe", "OrvanaWrapper.exe", "OrvanaAssoc.exe", "zet.exe"}) {
                const std::vector<std::string> events = log.EventsOf(exe);
                if (std::count(events.begin(), events.end(), "ready") < 2)
                    return false;
            }
            return true;
        },
        "the restarted programs");

    // "%TMPFLD%" stood for this apply's own work folder, a new one named after the patch, gone by now.
    const std::vector<std::string> posts = log.EventsOf("post.exe");
    ASSERT_EQ(posts.size(), 6u) << log.Dump();
    const std::string work = posts[4].substr(6, posts[4].rfind('"') - 6) + "\\";
    // Named after the patch without its blank, which would split an unquoted %TMPFLD% in a command.
    const size_t name = work.find("\\orv_patch_");
    ASSERT_NE(name, std::string::npos) << work;
    EXPECT_EQ(work.find(' ', name), std::string::npos) << work;
    EXPECT_EQ(WithoutStart(log.EventsOf("OrvanaMenu.exe", true)),
              (std::vector<std::string>{"1:args", "1:ready", "1:WM_CLOSE patch_close=yes", "1:exit 0",
                                        "2:args /updated", "2:ready"}))
        << log.Dump();
    EXPECT_EQ(WithoutStart(log.EventsOf("OrvanaWrapper.exe", true)),
              (std::vector<std::string>{"1:args", "1:ready", "1:WM_COPYDATA 0 12 relay/ovpend", "1:exit 0",
                                        "2:args crashtest/ovpend", "2:ready"}))
        << log.Dump();
    EXPECT_EQ(WithoutStart(log.EventsOf("OrvanaAssoc.exe", true)),
              (std::vector<std::string>{"1:args", "1:ready", "1:WM_COPYDATA 0 6 /close", "1:exit 0", "2:args /apply",
                                        "2:ready"}))
        << log.Dump();
    EXPECT_EQ(WithoutStart(log.EventsOf("zet.exe", true)),
              (std::vector<std::string>{"1:args", "1:ready", "1:WM_QUIT", "1:exit 0",
                                        "2:args /exe=\"" + U8(patch) + "\"", "2:ready"}))
        << log.Dump();
    // Closed and not restarted; the stubborn one ignored the request and was terminated (no exit line).
    EXPECT_EQ(WithoutStart(log.EventsOf("tool.exe", true)),
              (std::vector<std::string>{"1:args", "1:ready", "1:WM_CLOSE", "1:exit 0"}));
    EXPECT_EQ(WithoutStart(log.EventsOf("tool64.exe", true)),
              (std::vector<std::string>{"1:args", "1:ready", "1:WM_CLOSE", "1:exit 0"}));
    EXPECT_EQ(orvana.ReadBytes(kTool64), "tool64, new");
    EXPECT_EQ(WithoutStart(log.EventsOf("stubborn.exe", true)),
              (std::vector<std::string>{"1:args", "1:ready", "1:WM_CLOSE ignored"}));
    EXPECT_TRUE(e2e::RunningUnder(orvana.Path(L"OrvanaTools\\Stubborn")).empty());

    // The post-install commands ran one after the other, with the placeholders replaced; each ended at once,
    // before it could be watched for long, and counted as done.
    const std::string root = U8(orvana.root());
    EXPECT_EQ(
        log.EventsOf("post.exe", true),
        (std::vector<std::string>{
            "1:start \"" + root + "\\OrvanaTools\\post.exe\" first /sleep=300", "1:args first /sleep=300", "1:exit 0",
            "2:start \"" + root + "\\OrvanaTools\\post.exe\" \"" + work.substr(0, work.size() - 1) + "\" FR",
            "2:args \"" + work.substr(0, work.size() - 1) + "\" FR", "2:exit 0"}))
        << log.Dump();

    // Order: the menu first, then the wrapper, the association tool, the other tools; commands after
    // the extraction; restarts last.
    const int menuClose = log.IndexOf("OrvanaMenu.exe", "WM_CLOSE");
    const int wrapperCommand = log.IndexOf("OrvanaWrapper.exe", "WM_COPYDATA");
    const int assocCommand = log.IndexOf("OrvanaAssoc.exe", "WM_COPYDATA");
    const int zetQuit = log.IndexOf("zet.exe", "WM_QUIT");
    const int toolClose = log.IndexOf("tool.exe", "WM_CLOSE");
    const int stubbornClose = log.IndexOf("stubborn.exe", "WM_CLOSE");
    const int firstCommand = log.IndexOf("post.exe", "start");
    const int menuRestart = log.IndexOf("OrvanaMenu.exe", "args /updated");
    EXPECT_LT(menuClose, wrapperCommand);
    EXPECT_LT(wrapperCommand, assocCommand);
    for (int other : {zetQuit, toolClose, stubbornClose}) {
        EXPECT_LT(assocCommand, other);
        EXPECT_LT(other, firstCommand);
    }
    for (const char* exe : {"OrvanaWrapper.exe", "OrvanaAssoc.exe", "zet.exe"}) {
        // The first "args " line with a value is the restart's.
        EXPECT_LT(firstCommand, log.IndexOf(exe, "args ")) << exe;
    }
    EXPECT_LT(firstCommand, menuRestart);

    EXPECT_EQ(orvana.ReadBytes(L"readme.txt"), "new readme");
    EXPECT_FALSE(orvana.Exists(L"old.txt"));
    EXPECT_FALSE(orvana.Exists(L"slashed.txt"));
    EXPECT_FALSE(orvana.Exists(L"dotted.txt"));
    EXPECT_FALSE(orvana.Exists(L"OrvanaTools\\OrvanaMenu\\data\\patch_close"));
    EXPECT_EQ(
        orvana.ReadBytes(L"OrvanaTools\\version.ver"),
        "<OrvanaVersion>\r\n\t<Version>5.9</Version>\r\n\t<Patch>20141114055922</Patch>\r\n\t<Lang>fr</Lang>\r\n" +
            U8(kept) + "</OrvanaVersion>\r\n");
    EXPECT_TRUE(e2e::WorkFoldersOf(patch).empty());
    EXPECT_FALSE(orvana.Exists(L"OVPatcher.tmp"));
    e2e::SetBackupKey(false);

    // The run's account: each step, each program closed and restarted, each command, the box, the outcome.
    const std::string menu = root + "\\" + U8(kMenu);
    const std::vector<std::string> lines = e2e::RunLogLines(runLog);
    std::string account;
    for (const std::string& line : lines)
        account += line + "\n";
    for (const std::string& line : std::vector<std::string>{"Patch " + U8(patch), std::string("Step: Preparing the update"), "Step: Closing the suite",
          "Closing " + menu, "Closing " + root + "\\" + U8(kWrapper), "Closing " + root + "\\" + U8(kAssoc),
          "Closing " + root + "\\" + U8(kTool), std::string("Step: Installing files"),
          std::string("Files placed: 1506"), std::string("Step: Running post-install commands"),
          "Running \"" + root + "\\OrvanaTools\\post.exe\" first /sleep=300", std::string("Step: Restarting the suite"),
          "Restarting " + menu + " /updated", std::string("Box UpdateDone: Update successful -> OK"),
          std::string("Outcome: 0 (applied)")}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line << " not in\n" << account;
    }
    EXPECT_EQ(lines.back(), "Outcome: 0 (applied)");
}

// A patch saved inside the tools folder is itself a program "running from the tools folder".
TEST(ApplyProtocol, PatchStartedFromTheToolsFolderDoesNotStopItself) {
    SharedLog log;
    Installation orvana;
    e2e::ProgramsEnder ender(orvana.root());
    orvana.StartMenu();
    orvana.StartFake(L"fake_tool", kTool);

    e2e::Descriptor d = e2e::EnglishPatch();
    const std::string archive = e2e::MakeArchive({{kTool, FakeBytes(L"fake_tool")}});
    const std::wstring patch =
        e2e::WritePatch(orvana.Path(L"OrvanaTools\\Downloads\\orv patch.exe"), archive, d.Text());

    e2e::Program patcher;
    HWND window = e2e::OpenPatcher(patcher, patch);
    ASSERT_TRUE(window);
    ApplyAndExpectSuccess(patcher, window);
    EXPECT_EQ(patcher.ExitCode(), 0u);

    EXPECT_EQ(WithoutStart(log.EventsOf("tool.exe")),
              (std::vector<std::string>{"args", "ready", "WM_CLOSE", "exit 0"}));
    // Neither forced nor brought by the archive: the menu is left alone.
    EXPECT_EQ(WithoutStart(log.EventsOf("OrvanaMenu.exe")), (std::vector<std::string>{"args", "ready"}));
    EXPECT_FALSE(orvana.Exists(L"OrvanaTools\\OrvanaMenu\\data\\patch_close"));
}

// Without an executable in the archive no tool is touched; the menu only when the patch forces it.
TEST(ApplyProtocol, ArchiveWithoutProgramsClosesOnlyAForcedMenu) {
    for (const bool force : {false, true}) {
        SCOPED_TRACE(force ? "ForceMenuRestart" : "no ForceMenuRestart");
        SharedLog log;
        Installation orvana;
        e2e::ProgramsEnder ender(orvana.root());
        orvana.StartMenu();
        orvana.StartFake(L"fake_tool", kTool);

        e2e::Descriptor d = e2e::EnglishPatch();
        d.ForceMenuRestart = force;
        const std::string archive = e2e::MakeArchive({{L"OrvanaTools\\notes.txt", "notes"}});
        e2e::TempDir out;
        const std::wstring patch = e2e::WritePatch(out.Path(L"orv patch.exe"), archive, d.Text());

        e2e::Program patcher;
        HWND window = e2e::OpenPatcher(patcher, patch);
        ASSERT_TRUE(window);
        ApplyAndExpectSuccess(patcher, window);
        if (force) {
            patcher.WaitUntil(
                [&] {
                    const std::vector<std::string> events = log.EventsOf("OrvanaMenu.exe");
                    return std::count(events.begin(), events.end(), "ready") == 2;
                },
                "the menu's restart");
            EXPECT_EQ(WithoutStart(log.EventsOf("OrvanaMenu.exe", true)),
                      (std::vector<std::string>{"1:args", "1:ready", "1:WM_CLOSE patch_close=yes", "1:exit 0",
                                                "2:args /updated", "2:ready"}))
                << log.Dump();
        } else {
            EXPECT_EQ(WithoutStart(log.EventsOf("OrvanaMenu.exe")), (std::vector<std::string>{"args", "ready"}));
        }
        EXPECT_EQ(WithoutStart(log.EventsOf("tool.exe")), (std::vector<std::string>{"args", "ready"}));
        EXPECT_EQ(orvana.ReadBytes(L"OrvanaTools\\notes.txt"), "notes");
        EXPECT_FALSE(orvana.Exists(L"OrvanaTools\\OrvanaMenu\\data\\patch_close"));
    }
}

// A folder picked by hand has no running menu to close: even a forced menu restart starts nothing.
TEST(ApplyProtocol, FolderPickedByHandNeitherClosesNorRestartsTheMenu) {
    SharedLog log;
    Installation::Options options;
    options.folderName = L"Orvana picked";
    Installation orvana(options);
    e2e::ProgramsEnder ender(orvana.root());
    fakes::PlaceFake(L"fake_menu", orvana.Path(L"OrvanaTools\\OrvanaMenu"), L"OrvanaMenu.exe");

    e2e::Descriptor d = e2e::EnglishPatch();
    d.ForceMenuRestart = true;
    const std::string archive = e2e::MakeArchive({{kMenu, FakeBytes(L"fake_menu")}, {L"readme.txt", "picked"}});
    e2e::TempDir out;
    const std::wstring patch = e2e::WritePatch(out.Path(L"orv patch.exe"), archive, d.Text());

    e2e::Program patcher;
    ASSERT_TRUE(patcher.Start(patch));
    // A folder that is not an installation first: refused, and the picker comes again.
    HWND picker = AgreeToPickTheFolder(patcher);
    ASSERT_TRUE(picker);
    e2e::PickFolder(picker, patcher.pid(), orvana.Path(L"OrvanaTools"));
    const e2e::MessageBoxInfo notFound = patcher.WaitForMessageBox();
    e2e::ExpectBox(notFound, L"OrvNotFound", L"Orvana not found in this folder");
    patcher.Answer(notFound, IDOK);
    picker = patcher.WaitForFolderPicker();
    ASSERT_TRUE(picker);
    e2e::PickFolder(picker, patcher.pid(), orvana.root());
    HWND window = patcher.WaitForDialogWith(IDC_CMDAPPLY);
    ASSERT_TRUE(window);
    ApplyAndExpectSuccess(patcher, window);

    EXPECT_EQ(orvana.ReadBytes(L"readme.txt"), "picked");
    EXPECT_TRUE(log.EventsOf("OrvanaMenu.exe").empty()) << log.Dump();
    EXPECT_TRUE(e2e::RunningUnder(orvana.root()).empty());
    EXPECT_FALSE(orvana.Exists(L"OrvanaTools\\OrvanaMenu\\data\\patch_close"));
    EXPECT_EQ(patcher.ExitCode(), 0u);

    // The same installation named on the command line, without a window: its running menu is closed and
    // started again as the found one's is, and the run's account says so.
    // Names without a dot are installed as every other: replacing files, and new beside new ones.
    orvana.StartMenu();
    orvana.WriteText(L"README", L"old");
    orvana.WriteText(L"OrvanaTools\\LICENSE", L"old");
    orvana.WriteText(L"OrvanaTools\\Data\\words", L"old");
    // Read-only and hidden files come with the attributes the archive gives them, over an original that had
    // its own.
    orvana.WriteText(L"OrvanaTools\\Data\\locked.ini", L"old");
    ASSERT_TRUE(SetFileAttributesW(orvana.Path(L"OrvanaTools\\Data\\locked.ini").c_str(), FILE_ATTRIBUTE_READONLY));
    const std::vector<std::pair<const wchar_t*, DWORD>> kept = {
        {L"OrvanaTools\\Data\\locked.ini", FILE_ATTRIBUTE_READONLY},
        {L"OrvanaTools\\Data\\hidden.ini", FILE_ATTRIBUTE_HIDDEN},
        {L"OrvanaTools\\Data\\system.ini", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
        {L"OrvanaTools\\Fresh\\locked.ini", FILE_ATTRIBUTE_READONLY},
    };
    d.PatchVersion = L"20141115000000";
    std::vector<e2e::ArchiveFile> files = {{L"readme.txt", "silent"},
                                           {L"README", "new"},
                                           {L"OrvanaTools\\LICENSE", "new"},
                                           {L"OrvanaTools\\Data\\words", "new"},
                                           {L"OrvanaTools\\Data\\Makefile", "new"},
                                           {L"notes.txt", "new"}};
    for (const auto& [file, attributes] : kept)
        files.push_back({file, "new", attributes});
    const std::wstring quiet = e2e::WritePatch(out.Path(L"orv quiet.exe"), e2e::MakeArchive(files), d.Text());
    const std::wstring runLog = out.Path(L"quiet.log");
    e2e::Program silent;
    ASSERT_TRUE(silent.Start(quiet, L"/silent /dir=\"" + orvana.root() + L"\\\" /log=\"" + runLog + L"\""));
    EXPECT_TRUE(silent.WaitEnded(90000));
    EXPECT_EQ(silent.ExitCode(), 0u);
    EXPECT_EQ(orvana.ReadBytes(L"readme.txt"), "silent");
    for (const wchar_t* file : {L"README", L"OrvanaTools\\LICENSE", L"OrvanaTools\\Data\\words",
                                L"OrvanaTools\\Data\\Makefile", L"notes.txt"})
        EXPECT_EQ(orvana.ReadBytes(file), "new") << U8(file);
    constexpr DWORD kGiven = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    for (const auto& [file, attributes] : kept) {
        EXPECT_EQ(orvana.ReadBytes(file), "new") << U8(file);
        EXPECT_EQ(GetFileAttributesW(orvana.Path(file).c_str()) & kGiven, attributes) << U8(file);
    }
    EXPECT_FALSE(orvana.Exists(L"OVPatcher.tmp"));
    EXPECT_NE(orvana.ReadBytes(L"OrvanaTools\\version.ver").find("<Patch>20141115000000</Patch>"), std::string::npos);
    silent.WaitUntil([&] { return log.IndexOf("OrvanaMenu.exe", "args /updated") >= 0; }, "the menu's restart");
    const std::string menu = U8(orvana.Path(kMenu));
    EXPECT_EQ(e2e::RunLogLines(runLog),
              (std::vector<std::string>{"Patch " + U8(quiet) + ", silent", "Step: Preparing the update",
                                        "Step: Closing the suite", "Closing " + menu, "Step: Installing files",
                                        "Files placed: 10", "Step: Running post-install commands",
                                        "Step: Restarting the suite", "Restarting " + menu + " /updated",
                                        "Box UpdateDone: Update successful -> OK", "Outcome: 0 (applied)"}));

    // Named in other letters while its menu does not run and another installation's does: the other menu
    // is not this installation's, and is neither flagged, closed nor restarted.
    ender.EndAll();
    Installation other;
    e2e::ProgramsEnder otherEnder(other.root());
    const fakes::FakeProcess& otherMenu = other.StartMenu();
    std::wstring upper = orvana.root();
    for (wchar_t& c : upper)
        c = static_cast<wchar_t>(towupper(c));
    d.PatchVersion = L"20141116000000";
    d.ForceMenuRestart = true;
    const std::wstring third =
        e2e::WritePatch(out.Path(L"orv third.exe"), e2e::MakeArchive({{L"readme.txt", "third"}}), d.Text());
    e2e::Program thirdRun;
    ASSERT_TRUE(thirdRun.Start(third, L"/silent /dir=\"" + upper + L"\\\""));
    EXPECT_TRUE(thirdRun.WaitEnded(90000));
    EXPECT_EQ(thirdRun.ExitCode(), 0u);
    EXPECT_EQ(orvana.ReadBytes(L"readme.txt"), "third");
    EXPECT_TRUE(otherMenu.Running());
    EXPECT_FALSE(otherMenu.HasLogged("WM_CLOSE"));
    EXPECT_FALSE(other.Exists(L"OrvanaTools\\OrvanaMenu\\data\\patch_close"));

    // Run as administrator, with no desktop shell whose user's rights the programs could be given: the menu
    // it stopped is not started with the patcher's rights; the last box and the log name it for the user.
    if (!e2e::WithoutDesktopShell::Elevated()) {
        std::printf("the tests do not run elevated; the elevated restart is not shown\n");
        return;
    }
    otherEnder.EndAll();
    const fakes::FakeProcess& menuAgain = orvana.StartMenu();
    e2e::WithoutDesktopShell noShell;
    ASSERT_TRUE(noShell.gone());
    d.PatchVersion = L"20141117000000";
    const std::wstring fourth =
        e2e::WritePatch(out.Path(L"orv fourth.exe"), e2e::MakeArchive({{L"readme.txt", "fourth"}}), d.Text());
    const std::wstring fourthLog = out.Path(L"fourth.log");
    e2e::Program elevated;
    HWND fourthWindow = e2e::OpenPatcher(elevated, fourth, L"/log=\"" + fourthLog + L"\"");
    ASSERT_TRUE(fourthWindow);
    e2e::Press(fourthWindow, IDC_CMDAPPLY);
    const e2e::MessageBoxInfo done = elevated.WaitForMessageBox(90000);
    EXPECT_EQ(done.text, L"Update successful\r\n\r\nStart these programs again yourself:\r\n" + orvana.Path(kMenu));
    EXPECT_EQ(done.Style(), static_cast<int>(MB_OK | MB_ICONWARNING)) << e2e::Utf8(done.Describe());
    elevated.Answer(done, IDOK);
    EXPECT_TRUE(elevated.WaitEnded());
    EXPECT_EQ(elevated.ExitCode(), 0u);
    EXPECT_TRUE(menuAgain.WaitEnded());
    EXPECT_EQ(orvana.ReadBytes(L"readme.txt"), "fourth");
    const std::vector<std::string> fourthLines = e2e::RunLogLines(fourthLog);
    EXPECT_NE(std::find(fourthLines.begin(), fourthLines.end(),
                        "Not started again: the patcher runs as administrator and the desktop's user could not be "
                        "found"),
              fourthLines.end());
}

// A patch made by ovpatch from two releases, applied to a copy of the old one that the user picks;
// scripts/ovpatch_release.sh prepares both and compares the result with the new release. It names the patch
// and the copy, and for a copy the patch must refuse, the file it must name.
TEST(ApplyProtocol, PatchMadeFromTwoReleasesTakesTheOldOneToTheNew) {
    const std::wstring folder = fakes::Env(L"OV_RELEASE_DIR");
    if (folder.empty())
        GTEST_SKIP() << "run by ovpatch_release.sh, which makes the patch";
    const std::wstring patch = fakes::Env(L"OV_RELEASE_PATCH");
    const std::wstring copy = fakes::Env(L"OV_RELEASE_COPY");
    const std::wstring refused = fakes::Env(L"OV_RELEASE_REFUSED");
    e2e::Program patcher;
    ASSERT_TRUE(patcher.Start(folder + L"\\" + (patch.empty() ? L"patch.exe" : patch)));
    HWND picker = AgreeToPickTheFolder(patcher);
    ASSERT_TRUE(picker);
    e2e::PickFolder(picker, patcher.pid(), folder + L"\\" + (copy.empty() ? L"inst" : copy));
    HWND window = patcher.WaitForDialogWith(IDC_CMDAPPLY);
    ASSERT_TRUE(window);
    if (refused.empty())
        return ApplyAndExpectSuccess(patcher, window);
    // Stopped while it stages, with the file that is not the one the patch was made for.
    e2e::Press(window, IDC_CMDAPPLY);
    const e2e::MessageBoxInfo box = patcher.WaitForMessageBox(90000);
    e2e::ExpectBox(box, L"CantUpdate",
                   L"Unable to apply this update to your Orvana\r\n\r\n" + folder + L"\\" + copy + L"\\" + refused);
    patcher.Answer(box, IDOK);
    EXPECT_TRUE(patcher.WaitUntil([&] { return e2e::Enabled(window, IDC_CMDAPPLY); }, "the apply button back"));
    e2e::Press(window, IDCANCEL);
    EXPECT_TRUE(patcher.WaitEnded());
}

}  // namespace
