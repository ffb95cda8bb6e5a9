// Applying a patch when something goes wrong: the menu will not close, a second patcher, the archive is
// damaged or encrypted, a file of the installation is in use, the record cannot be written, a patcher died
// half way, a post-install command cannot run; and the less common layouts (extraction into a sub-folder,
// file flags, a version file without Patch).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "e2e/harness/apply_support.h"
#include "e2e/harness/install_builder.h"
#include "e2e/harness/patch_builder.h"
#include "e2e/harness/window_driver.h"
#include "install/install_win.h"
#include "patcher/frm_main_ids.h"
#include "support/encoding.h"
#include "support/handles_win.h"

namespace {

using e2e::FakeBytes;
using e2e::Installation;
using e2e::kAssoc;
using e2e::kMenu;
using e2e::kStubborn;
using e2e::kTool;
using e2e::kWrapper;
using e2e::kZet;
using e2e::SharedLog;
using e2e::WithoutStart;

// Back in the idle state after an abandoned apply: the window open, apply enabled, the indicator gone.
// `status`: what the status line says, empty where it is hidden.
void ExpectIdleAgain(e2e::Program& patcher, HWND window, const std::wstring& status = L"") {
    EXPECT_TRUE(patcher.WaitUntil([&] { return e2e::Enabled(window, IDC_CMDAPPLY); }, "apply to be enabled again"));
    EXPECT_TRUE(patcher.Running());
    EXPECT_TRUE(IsWindow(window));
    EXPECT_FALSE(e2e::Visible(window, IDC_PRGWORKING));
    EXPECT_EQ(e2e::Visible(window, IDC_LBLSTATUS), !status.empty());
    if (!status.empty())
        EXPECT_EQ(e2e::Text(window, IDC_LBLSTATUS), status);
}

void CloseIdleWindow(e2e::Program& patcher, HWND window) {
    e2e::Press(window, IDCANCEL);
    EXPECT_TRUE(patcher.WaitEnded());
}

// Yes to setting the work folder aside: the window comes up ready to apply, and is closed. Where the folder went,
// as the box's last line named it.
std::wstring SetAsideAndClose(e2e::Program& patcher, const e2e::MessageBoxInfo& box) {
    const std::wstring kept = box.text.substr(box.text.rfind(L"\r\n") + 2);
    patcher.Answer(box, IDYES);
    HWND open = patcher.WaitForDialogWith(IDC_CMDAPPLY, 60000);
    EXPECT_TRUE(open);
    if (open) {
        EXPECT_TRUE(patcher.WaitUntil([&] { return e2e::Enabled(open, IDC_CMDAPPLY); }, "apply to be enabled"));
        CloseIdleWindow(patcher, open);
    }
    return kept;
}

// A patch of one small file in a folder of its own, started with a run log there.
struct SmallPatch {
    e2e::TempDir out;
    std::wstring runLog = out.Path(L"run.log");
    std::wstring path =
        e2e::WritePatch(out.Path(L"orv patch.exe"), e2e::MakeArchive({{L"a.txt", "x"}}), e2e::EnglishPatch().Text());
    bool Start(e2e::Program& patcher) const { return patcher.Start(path, L"/log=\"" + runLog + L"\""); }
};

TEST(ApplyFailures, MenuThatWillNotCloseRetryThenCancel) {
    SharedLog log;
    Installation orvana;
    e2e::ProgramsEnder ender(orvana.root());
    fakes::FakeProcess& menu = orvana.StartMenu();
    e2e::WriteFileBytes(menu.exePath() + L".ignoreclose", "");
    orvana.StartFake(L"fake_tool", kTool);
    const std::string versionBefore = orvana.ReadBytes(L"OrvanaTools\\version.ver");

    e2e::Descriptor d = e2e::EnglishPatch();
    d.ForceMenuRestart = true;
    const std::string archive = e2e::MakeArchive({{kTool, FakeBytes(L"fake_tool")}, {L"readme.txt", "new"}});
    e2e::TempDir out;
    const std::wstring patch = e2e::WritePatch(out.Path(L"orv patch.exe"), archive, d.Text());

    e2e::Program patcher;
    HWND window = e2e::OpenPatcher(patcher, patch);
    ASSERT_TRUE(window);
    e2e::Press(window, IDC_CMDAPPLY);

    const e2e::MessageBoxInfo first = patcher.WaitForMessageBox(60000);
    e2e::ExpectBox(first, L"OrvStillRunning", L"Your Orvana is still running after the automatic closure attempt");
    // Working, and saying so; a request to close the window now must wait for the restart phase.
    EXPECT_TRUE(e2e::Visible(window, IDC_PRGWORKING));
    EXPECT_TRUE(e2e::Visible(window, IDC_LBLSTATUS));
    EXPECT_FALSE(e2e::Enabled(window, IDC_CMDAPPLY));
    EXPECT_TRUE(orvana.Exists(L"OrvanaTools\\OrvanaMenu\\data\\patch_close"));
    EXPECT_EQ(orvana.ReadBytes(L"OrvanaTools\\OrvanaMenu\\data\\patch_close"), "patch in progress");

    // A second patcher on the same installation is refused before it stops anything.
    {
        e2e::Program second;
        HWND other = e2e::OpenPatcher(second, patch);
        ASSERT_TRUE(other);
        e2e::Press(other, IDC_CMDAPPLY);
        const e2e::MessageBoxInfo refused = second.WaitForMessageBox(60000);
        ASSERT_TRUE(refused.hwnd);
        EXPECT_EQ(refused.text, L"Unable to apply this update to your Orvana");
        second.Answer(refused, IDOK);
        ExpectIdleAgain(second, other);
        CloseIdleWindow(second, other);
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    patcher.Answer(first, IDRETRY);

    const e2e::MessageBoxInfo second = patcher.WaitForMessageBox(60000);
    e2e::ExpectBox(second, L"OrvStillRunning", first.text);
    patcher.Answer(second, IDCANCEL);
    // The close asked for during the apply happens once the suite has been restarted.
    EXPECT_TRUE(patcher.WaitEnded(30000));

    // Asked twice, politely (never terminated); after the Cancel the flag goes and the menu is started
    // again all the same. Nothing after the menu's step ran.
    patcher.WaitUntil([&] { return log.IndexOf("OrvanaMenu.exe", "args /updated") >= 0; }, "the menu's restart");
    const std::vector<std::string> events = WithoutStart(log.EventsOf("OrvanaMenu.exe", true));
    EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + std::min<size_t>(events.size(), 5)),
              (std::vector<std::string>{"1:args", "1:ready", "1:WM_CLOSE patch_close=yes ignored",
                                        "1:WM_CLOSE patch_close=yes ignored", "2:args /updated"}))
        << log.Dump();
    EXPECT_TRUE(menu.Running());
    EXPECT_FALSE(orvana.Exists(L"OrvanaTools\\OrvanaMenu\\data\\patch_close"));
    EXPECT_EQ(WithoutStart(log.EventsOf("tool.exe")), (std::vector<std::string>{"args", "ready"}));
    EXPECT_FALSE(orvana.Exists(L"readme.txt"));
    EXPECT_EQ(orvana.ReadBytes(L"OrvanaTools\\version.ver"), versionBefore);
    EXPECT_TRUE(e2e::WorkFoldersOf(patch).empty());
}

TEST(ApplyFailures, DamagedArchiveFailsBeforeAnythingIsStopped) {
    SharedLog log;
    Installation orvana;
    e2e::ProgramsEnder ender(orvana.root());
    e2e::SetBackupKey(false);
    orvana.StartMenu();
    orvana.StartFake(L"fake_assoc", kAssoc);
    orvana.StartFake(L"fake_zet", kZet);
    // The wrapper is installed but not running: the in-use test must leave its file alone.
    fakes::PlaceFake(L"fake_wrapper", orvana.Path(L"OrvanaTools\\OrvanaWrapper"), L"OrvanaWrapper.exe");
    const std::string wrapperBefore = orvana.ReadBytes(kWrapper);
    orvana.WriteText(L"present.txt", L"old");
    const std::string versionBefore = orvana.ReadBytes(L"OrvanaTools\\version.ver");

    e2e::Descriptor d = e2e::EnglishPatch();
    d.FileFlags = L"ifexists;absent.txt|IfExists;present.txt|ifexists;x.txt;more|ifexists";
    std::string archive = e2e::MakeArchive({
        {kWrapper, FakeBytes(L"fake_wrapper")},
        {kAssoc, FakeBytes(L"fake_assoc")},
        {kMenu, FakeBytes(L"fake_menu")},
        {L"absent.txt", "new"},
        {L"present.txt", "new"},
        {L"noise.bin", e2e::Noise(256 << 10)},
    });
    // Damage the packed data, not the header at the end: the listing still works, the extraction fails.
    for (size_t i = 64; i < archive.size() / 2; i += 97)
        archive[i] = static_cast<char>(archive[i] ^ 0x5A);
    e2e::TempDir out;
    const std::wstring patch = e2e::WritePatch(out.Path(L"orv patch.exe"), archive, d.Text());

    const auto treeBefore = e2e::TreeSnapshot(orvana.root());

    e2e::Program patcher;
    HWND window = e2e::OpenPatcher(patcher, patch);
    ASSERT_TRUE(window);
    e2e::Press(window, IDC_CMDAPPLY);

    const e2e::MessageBoxInfo first = patcher.WaitForMessageBox(60000);
    e2e::ExpectBox(first, L"ExtractError", L"An error occured during data decompression !");
    // The exclusion list as the archiver got it: the missing file only.
    const std::wstring work = e2e::WorkFolderFor(patch);
    EXPECT_EQ(e2e::ReadFileBytes(work + L"exlude.txt"), "absent.txt\r\n");
    EXPECT_TRUE(fakes::Exists(work + L"7z.exe"));
    EXPECT_TRUE(fakes::Exists(work + L"7z.dll"));
    EXPECT_TRUE(fakes::Exists(work + L"patch.dat"));
    patcher.Answer(first, IDRETRY);

    const e2e::MessageBoxInfo second = patcher.WaitForMessageBox(60000);
    e2e::ExpectBox(second, L"ExtractError", first.text);
    patcher.Answer(second, IDCANCEL);
    ExpectIdleAgain(patcher, window);

    // The damage showed while the archive was staged: nothing was stopped, so nothing starts again.
    for (const char* exe : {"OrvanaMenu.exe", "OrvanaAssoc.exe", "zet.exe"})
        EXPECT_EQ(WithoutStart(log.EventsOf(exe, true)), (std::vector<std::string>{"1:args", "1:ready"})) << exe;
    EXPECT_TRUE(log.EventsOf("OrvanaWrapper.exe").empty()) << log.Dump();
    EXPECT_EQ(e2e::TreeDifferences(treeBefore, e2e::TreeSnapshot(orvana.root())), "");
    EXPECT_FALSE(fakes::Exists(work));

    CloseIdleWindow(patcher, window);
    EXPECT_EQ(patcher.ExitCode(), 11u);

    // A sound but large archive, held up while it is staged as a slow stick would hold it: Cancel stops the
    // archiver, removes what was staged, and the installation and the suite stay as they were, the window idle
    // and saying so. Started with Enter and cancelled with Esc, as from the keyboard.
    // Many files: each one a round trip to the system, which is what makes a stick slow.
    std::vector<e2e::ArchiveFile> many = e2e::ManyFiles(1500);
    many.push_back({kMenu, FakeBytes(L"fake_menu")});
    const std::wstring large = e2e::WritePatch(out.Path(L"orv large.exe"), e2e::MakeArchive(many, L"-mx0"), d.Text());
    e2e::Program largePatcher;
    HWND other = e2e::OpenPatcher(largePatcher, large);
    ASSERT_TRUE(other);
    ASSERT_TRUE(e2e::PressKey(other, VK_RETURN));
    ASSERT_FALSE(e2e::StagedPercentages(largePatcher, other, large, 0).empty());
    std::wstring largeWork = e2e::WorkFolderFor(large);
    ASSERT_FALSE(largeWork.empty());
    largeWork.pop_back();
    EXPECT_TRUE(e2e::Enabled(other, IDCANCEL));
    ASSERT_TRUE(e2e::PressKey(other, VK_ESCAPE)) << "no control has the focus";
    ExpectIdleAgain(largePatcher, other, L"Update cancelled: nothing was changed");
    EXPECT_TRUE(e2e::RunningUnder(largeWork).empty());
    EXPECT_FALSE(fakes::Exists(largeWork));
    EXPECT_EQ(e2e::TreeDifferences(treeBefore, e2e::TreeSnapshot(orvana.root())), "");
    for (const char* exe : {"OrvanaMenu.exe", "OrvanaAssoc.exe", "zet.exe"})
        EXPECT_EQ(WithoutStart(log.EventsOf(exe, true)), (std::vector<std::string>{"1:args", "1:ready"})) << exe;
    CloseIdleWindow(largePatcher, other);
    EXPECT_EQ(largePatcher.ExitCode(), 14u);
}

// An archive whose data, or whose headers too, need a password: the archiver is never left waiting for one.
TEST(ApplyFailures, EncryptedArchiveFailsAtOnceWithTheSuiteRunning) {
    SharedLog log;
    Installation orvana;
    e2e::ProgramsEnder ender(orvana.root());
    orvana.StartMenu();
    const auto treeBefore = e2e::TreeSnapshot(orvana.root());
    e2e::Descriptor d = e2e::EnglishPatch();
    d.ForceMenuRestart = true;
    e2e::TempDir out;
    for (const wchar_t* switches : {L"-pSecret", L"-pSecret -mhe=on"}) {
        const std::string archive =
            e2e::MakeArchive({{kMenu, FakeBytes(L"fake_menu")}, {L"readme.txt", "new"}}, switches);
        const std::wstring patch = e2e::WritePatch(out.Path(L"orv patch.exe"), archive, d.Text());
        e2e::Program patcher;
        HWND window = e2e::OpenPatcher(patcher, patch);
        ASSERT_TRUE(window);
        e2e::Press(window, IDC_CMDAPPLY);
        const e2e::MessageBoxInfo box = patcher.WaitForMessageBox(30000);
        ASSERT_TRUE(box.hwnd) << e2e::Utf8(switches);
        EXPECT_EQ(box.text, L"An error occured during data decompression !");
        patcher.Answer(box, IDCANCEL);
        ExpectIdleAgain(patcher, window);
        CloseIdleWindow(patcher, window);
    }
    EXPECT_EQ(WithoutStart(log.EventsOf("OrvanaMenu.exe", true)), (std::vector<std::string>{"1:args", "1:ready"}));
    EXPECT_EQ(e2e::TreeDifferences(treeBefore, e2e::TreeSnapshot(orvana.root())), "");
}

// A file of the installation in use stops the swap, and a record that cannot be replaced stops the commit:
// each time every file is put back before the suite starts again.
TEST(ApplyFailures, FileInUseOrUnwritableRecordLeavesTheInstallationAsItWas) {
    SharedLog log;
    Installation orvana;
    e2e::ProgramsEnder ender(orvana.root());
    orvana.StartMenu();
    orvana.WriteText(L"a.txt", L"old");
    orvana.WriteText(L"data\\in use.txt", L"old");
    orvana.WriteText(L"z.txt", L"old");
    orvana.WriteText(L"locked.txt", L"old");
    ASSERT_TRUE(SetFileAttributesW(orvana.Path(L"locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    fakes::MakeFolders(orvana.Path(L"OrvanaTools\\OrvanaMenu\\data"));  // where the menu's close flag goes
    const auto treeBefore = e2e::TreeSnapshot(orvana.root());

    e2e::Descriptor d = e2e::EnglishPatch();
    d.ForceMenuRestart = true;
    d.DelAfter = L"%ORV%\\z.txt";
    const std::string archive = e2e::MakeArchive({{L"a.txt", "new"},
                                                  {L"locked.txt", "new", FILE_ATTRIBUTE_READONLY},
                                                  {L"data\\in use.txt", "new"},
                                                  {L"added\\deep\\b.txt", "new", FILE_ATTRIBUTE_HIDDEN},
                                                  {L"z.txt", "new"}});
    e2e::TempDir out;
    const std::wstring patch = e2e::WritePatch(out.Path(L"orv patch.exe"), archive, d.Text());

    e2e::Program patcher;
    HWND window = e2e::OpenPatcher(patcher, patch);
    ASSERT_TRUE(window);
    struct Round {
        const wchar_t* held;
        const wchar_t* text;
    } rounds[] = {{L"data\\in use.txt", L"An error occured during data decompression !"},
                  {L"OrvanaTools\\version.ver", L"Unable to apply this update to your Orvana"}};
    int restarts = 0;
    for (const Round& round : rounds) {
        // Open without delete sharing, as a program holding its data file would.
        HANDLE held = CreateFileW(orvana.Path(round.held).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        e2e::Press(window, IDC_CMDAPPLY);
        const e2e::MessageBoxInfo box = patcher.WaitForMessageBox(90000);
        ASSERT_TRUE(box.hwnd);
        // The record that stopped the commit is named after the message.
        EXPECT_EQ(box.text, std::wstring(round.text) + (round.text[0] == L'U' ? L"\r\n\r\n" + orvana.Path(round.held) : L""));
        patcher.Answer(box, box.ButtonIds().size() > 1 ? IDCANCEL : IDOK);
        ExpectIdleAgain(patcher, window);
        CloseHandle(held);
        ++restarts;
        patcher.WaitUntil(
            [&] {
                const std::vector<std::string> events = log.EventsOf("OrvanaMenu.exe");
                return std::count(events.begin(), events.end(), "args /updated") >= restarts;
            },
            "the menu's restart");
        EXPECT_EQ(e2e::TreeDifferences(treeBefore, e2e::TreeSnapshot(orvana.root())), "") << e2e::Utf8(round.held);
    }
    CloseIdleWindow(patcher, window);
    EXPECT_EQ(patcher.ExitCode(), 13u);

    // Without a window the file in use cancels the apply as a careful user would: everything put back, the
    // menu started again, and the account and the exit code say what happened.
    HANDLE held = CreateFileW(orvana.Path(L"data\\in use.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const std::wstring runLog = out.Path(L"run.log");
    e2e::Program silent;
    ASSERT_TRUE(silent.Start(patch, L"/silent /log=\"" + runLog + L"\""));
    EXPECT_TRUE(silent.WaitEnded(90000));
    CloseHandle(held);
    EXPECT_EQ(silent.ExitCode(), 11u);
    EXPECT_EQ(e2e::TreeDifferences(treeBefore, e2e::TreeSnapshot(orvana.root())), "");
    silent.WaitUntil(
        [&] {
            const std::vector<std::string> events = log.EventsOf("OrvanaMenu.exe");
            return std::count(events.begin(), events.end(), "args /updated") >= restarts + 1;
        },
        "the menu's restart");
    const std::vector<std::string> lines = e2e::RunLogLines(runLog);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Box ExtractError: An error occured during data decompression ! -> Cancel"),
              lines.end());
    EXPECT_EQ(lines.back(), "Outcome: 11 (extraction failed; nothing changed)");
}

// A patcher killed during the swap (or after its commit): the next start of a patch puts the installation
// back (or finishes) before it shows its window, asking only when a file in use stops it. The dead apply's state is made by the
// same code the patcher runs, stopped where a kill would stop it.
TEST(ApplyFailures, KilledApplyIsRecoveredByTheNextStart) {
    for (const bool committed : {false, true}) {
        SharedLog log;
        Installation orvana;
        e2e::ProgramsEnder ender(orvana.root());
        orvana.StartMenu();
        orvana.WriteText(L"a.txt", L"old");
        orvana.WriteText(L"Sub\\b.txt", L"old");
        orvana.WriteText(L"gone.txt", L"old");
        const std::wstring flag = orvana.Path(L"OrvanaTools\\OrvanaMenu\\data\\patch_close");
        fakes::MakeFolders(fakes::ParentOf(flag));
        auto expected = e2e::TreeSnapshot(orvana.root());

        mInstall::StagedSwap swap(orvana.root());
        const std::wstring staging = mInstall::StagingFolder(orvana.root());
        ASSERT_TRUE(swap.PrepareStaging());
        for (const wchar_t* file : {L"a.txt", L"Sub\\b.txt", L"New\\Deeper\\c.txt"})
            ASSERT_TRUE(e2e::WriteFileBytes(staging + file, "new"));
        ASSERT_TRUE(swap.Begin(flag));
        ASSERT_TRUE(e2e::WriteFileBytes(flag, "patch in progress"));
        ASSERT_TRUE(swap.WritePlan(L""));
        ASSERT_TRUE(swap.Swap());
        swap.MoveToBackup({orvana.Path(L"gone.txt")});
        ASSERT_TRUE(swap.StageRecord(orvana.Path(L"OrvanaTools\\version.ver"),
                                     e2e::Installation::VersionFileText() + L"<!-- recorded -->"));
        if (committed) {
            ASSERT_TRUE(swap.Commit());
            expected = e2e::TreeSnapshot(orvana.root());
            for (auto it = expected.begin(); it != expected.end();)
                it = it->first.rfind(L"OVPatcher.tmp\\", 0) == 0 || it->first.find(L"patch_close") != std::wstring::npos
                         ? expected.erase(it)
                         : std::next(it);
        } else {
            // The last file half way: its original aside, the new one not yet in.
            const auto& entries = swap.plan().entries;
            const auto last = std::find_if(entries.rbegin(), entries.rend(), [](const mInstall::Entry& e) {
                return e.kind == mInstall::EntryKind::Replace;
            });
            ASSERT_NE(last, entries.rend());
            ASSERT_TRUE(MoveFileW(last->target.c_str(), last->staged.c_str()));
        }
        ASSERT_NE(e2e::TreeDifferences(expected, e2e::TreeSnapshot(orvana.root())), "");

        e2e::TempDir out;
        const std::wstring patch = e2e::WritePatch(out.Path(L"orv patch.exe"), e2e::MakeArchive({{L"a.txt", "x"}}),
                                                   e2e::EnglishPatch().Text());
        // Not committed, an added file that a tool of the suite holds open stops the recovery: the start names
        // it, and Retry stops the suite as an apply would, finishes, and starts the menu again.
        const std::wstring held = orvana.Path(L"New\\Deeper\\c.txt");
        const fakes::FakeProcess* holder =
            committed ? nullptr : &orvana.StartFake(L"fake_tool", e2e::kTool, L"/hold=" + held);
        e2e::Program patcher;
        ASSERT_TRUE(patcher.Start(patch));
        if (!committed) {
            const e2e::MessageBoxInfo box = patcher.WaitForMessageBox(60000);
            // The box says that Retry closes the suite's programs.
            EXPECT_EQ(box.text, L"Unable to apply this update to your Orvana\r\n\r\n" + held +
                                    L"\r\n\r\nRetry closes the suite's programs, then starts them again.");
            EXPECT_EQ(box.ButtonIds(), (std::vector<int>{IDCANCEL, IDRETRY}));
            patcher.Answer(box, IDRETRY);
        }
        HWND window = patcher.WaitForDialogWith(IDC_CMDAPPLY, 60000);
        ASSERT_TRUE(window) << committed;
        EXPECT_TRUE(patcher.WaitUntil([&] { return e2e::Enabled(window, IDC_CMDAPPLY); }, "apply to be enabled"));
        if (holder) {
            EXPECT_TRUE(holder->HasLogged("WM_CLOSE"));
            EXPECT_FALSE(holder->Running());
            // The tool it closed is started again, as every program it stopped.
            EXPECT_TRUE(patcher.WaitUntil(
                [&] {
                    const std::vector<std::string> events = log.EventsOf("tool.exe", true);
                    return std::find(events.begin(), events.end(), "2:ready") != events.end();
                },
                "the tool's restart"))
                << log.Dump();
            ender.EndAll();
            orvana.Remove(L"OrvanaTools\\Tool");
            EXPECT_TRUE(patcher.WaitUntil([&] { return log.IndexOf("OrvanaMenu.exe", "args /updated") >= 0; },
                                          "the menu's restart"));
        }
        EXPECT_EQ(e2e::TreeDifferences(expected, e2e::TreeSnapshot(orvana.root())), "") << committed;
        CloseIdleWindow(patcher, window);
    }
}

// Which file of its volume `path` is: a file written anew has another number than one rewritten in place.
uint64_t FileId(const std::wstring& path) {
    UniqueFile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    EXPECT_TRUE(file && GetFileInformationByHandle(file.get(), &info)) << e2e::Utf8(path);
    return (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

// The installation before a dead apply, and that apply stopped by a kill in the middle of its swap: the
// last replaced file aside, its new copy not yet in. Built by the patcher's own code.
struct DeadApply {
    explicit DeadApply(Installation& orvana) : orvana(orvana) {
        orvana.WriteText(L"a.txt", L"old");
        orvana.WriteText(L"Sub\\b.txt", L"old");
        before = e2e::TreeSnapshot(orvana.root());
    }
    // Files staged, planned and swapped; `halfWay` leaves the last replaced file aside.
    void Stop(bool halfWay) {
        const std::wstring staging = mInstall::StagingFolder(orvana.root());
        ASSERT_TRUE(swap.PrepareStaging());
        for (const wchar_t* file : {L"a.txt", L"Sub\\b.txt", L"New\\c.txt"})
            ASSERT_TRUE(e2e::WriteFileBytes(staging + file, "new"));
        ASSERT_TRUE(swap.Begin(L""));
        // The plan replaces the journal Begin wrote as a whole new file: a cut while it is written leaves
        // the earlier one as it was.
        const uint64_t begun = FileId(mInstall::JournalPath(orvana.root()));
        ASSERT_TRUE(swap.WritePlan(L""));
        EXPECT_NE(FileId(mInstall::JournalPath(orvana.root())), begun);
        EXPECT_FALSE(orvana.Exists(L"OVPatcher.tmp\\journal.new"));
        ASSERT_TRUE(swap.Swap());
        ASSERT_TRUE(swap.StageRecord(orvana.Path(L"OrvanaTools\\version.ver"), kRecorded));
        if (!halfWay)
            return;
        const auto& entries = swap.plan().entries;
        const auto last = std::find_if(entries.rbegin(), entries.rend(),
                                       [](const mInstall::Entry& e) { return e.kind == mInstall::EntryKind::Replace; });
        ASSERT_NE(last, entries.rend());
        ASSERT_TRUE(MoveFileW(last->target.c_str(), last->staged.c_str()));
    }
    static constexpr wchar_t kRecorded[] = L"<OrvanaVersion>\r\n\t<Patch>recorded</Patch>\r\n</OrvanaVersion>\r\n";
    Installation& orvana;
    e2e::Tree before;
    mInstall::StagedSwap swap{orvana.root()};
};

// What a dead apply left is judged from the root recovery is given and from the files as they are: a
// drive that came back under another name, a journal that cannot be read, a folder of that name that is
// not the patcher's, a file the user put where the apply had added one, a record replaced half way.
TEST(ApplyFailures, DeadApplyIsJudgedFromWhatItLeft) {
    const auto recover = [](const std::wstring& root) {
        mInstall::InstallLock lock;
        EXPECT_TRUE(lock.Acquire(root));
        return mInstall::Recover(root);
    };
    {  // The installation now answers under another path: put back all the same.
        Installation orvana;
        DeadApply dead(orvana);
        dead.Stop(true);
        const std::wstring moved = orvana.root() + L" F";
        ASSERT_TRUE(MoveFileW(orvana.root().c_str(), moved.c_str()));
        EXPECT_EQ(recover(moved), mInstall::Recovery::Recovered);
        EXPECT_EQ(e2e::TreeDifferences(dead.before, e2e::TreeSnapshot(moved)), "");
        ASSERT_TRUE(MoveFileW(moved.c_str(), orvana.root().c_str()));
    }
    {  // A journal that cannot be read, or one a dying stick lost while the originals are still aside: nothing
       // is deleted, and recovery says it failed.
        for (const bool lost : {false, true}) {
            Installation orvana;
            DeadApply dead(orvana);
            dead.Stop(true);
            if (lost)
                ASSERT_TRUE(DeleteFileW(mInstall::JournalPath(orvana.root()).c_str()));
            else
                ASSERT_TRUE(e2e::WriteFileBytes(mInstall::JournalPath(orvana.root()), "\xff\xfe?"));
            const auto left = e2e::TreeSnapshot(orvana.root());
            EXPECT_EQ(recover(orvana.root()), mInstall::Recovery::Failed) << lost;
            EXPECT_EQ(e2e::TreeDifferences(left, e2e::TreeSnapshot(orvana.root())), "") << lost;
        }
    }
    {  // A file the user put where the apply had added one stays; everything else goes back.
        Installation orvana;
        DeadApply dead(orvana);
        dead.Stop(true);
        orvana.WriteText(L"New\\c.txt", L"the user's own");
        EXPECT_EQ(recover(orvana.root()), mInstall::Recovery::Recovered);
        EXPECT_EQ(orvana.ReadText(L"New\\c.txt"), L"the user's own");
        orvana.Remove(L"New\\c.txt");
        RemoveDirectoryW(orvana.Path(L"New").c_str());
        EXPECT_EQ(e2e::TreeDifferences(dead.before, e2e::TreeSnapshot(orvana.root())), "");
    }
    {  // Used for days after the cut: a replaced file the user changed (its size as it was, a second later), and
       // a file the user wrote where the apply had removed one, stay as the user left them; each original lands
       // beside it under a name that says so and is free, and the run log is told. What the user did not touch
       // goes back.
        Installation orvana;
        orvana.WriteText(L"gone.txt", L"old");
        orvana.WriteText(L"a (before the update).txt", L"the user's note");
        DeadApply dead(orvana);
        dead.Stop(false);
        dead.swap.MoveToBackup({orvana.Path(L"gone.txt")});
        ASSERT_FALSE(orvana.Exists(L"gone.txt"));
        {
            ASSERT_EQ(orvana.ReadBytes(L"a.txt"), "new");
            UniqueFile file(CreateFileW(orvana.Path(L"a.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
            FILETIME written;
            DWORD done = 0;
            ASSERT_TRUE(file && GetFileTime(file.get(), nullptr, nullptr, &written));
            ASSERT_TRUE(WriteFile(file.get(), "NEW", 3, &done, nullptr));
            written.dwLowDateTime += 10000000;  // a second later, the carry into the high part below
            written.dwHighDateTime += written.dwLowDateTime < 10000000;
            ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &written));
        }
        orvana.WriteText(L"gone.txt", L"the user's own");
        std::vector<std::wstring> kept;
        mInstall::InstallLock lock;
        ASSERT_TRUE(lock.Acquire(orvana.root()));
        EXPECT_EQ(mInstall::Recover(orvana.root(), nullptr, nullptr, &kept), mInstall::Recovery::Recovered);
        EXPECT_EQ(orvana.ReadBytes(L"a.txt"), "NEW");
        EXPECT_EQ(orvana.ReadText(L"a (before the update).txt"), L"the user's note");
        EXPECT_EQ(orvana.ReadText(L"a (before the update 2).txt"), L"old");
        EXPECT_EQ(orvana.ReadText(L"gone.txt"), L"the user's own");
        EXPECT_EQ(orvana.ReadText(L"gone (before the update).txt"), L"old");
        EXPECT_EQ(orvana.ReadText(L"Sub\\b.txt"), L"old");
        EXPECT_FALSE(orvana.Exists(L"New"));
        EXPECT_FALSE(orvana.Exists(L"OVPatcher.tmp"));
        EXPECT_EQ(kept, (std::vector<std::wstring>{
                            L"Kept as it was found: " + orvana.Path(L"gone.txt") + L", before the update: " +
                                orvana.Path(L"gone (before the update).txt"),
                            L"Kept as it was found: " + orvana.Path(L"a.txt") + L", before the update: " +
                                orvana.Path(L"a (before the update 2).txt")}));
    }
    {  // On FAT the record is replaced by a delete and a rename: cut between the two, the apply is done.
        Installation orvana;
        DeadApply dead(orvana);
        dead.Stop(false);
        orvana.Remove(L"OrvanaTools\\version.ver");
        EXPECT_EQ(recover(orvana.root()), mInstall::Recovery::Recovered);
        EXPECT_EQ(orvana.ReadText(L"OrvanaTools\\version.ver"), DeadApply::kRecorded);
        EXPECT_EQ(orvana.ReadBytes(L"a.txt"), "new");
        EXPECT_EQ(orvana.ReadBytes(L"New\\c.txt"), "new");
        EXPECT_FALSE(orvana.Exists(L"OVPatcher.tmp"));
    }
    {  // Neither the record nor its new copy: nothing can be decided and no Retry changes that. The log is told
       // why, so that the start offers to set the work folder aside; nothing moves.
        Installation orvana;
        DeadApply dead(orvana);
        dead.Stop(false);
        orvana.Remove(L"OrvanaTools\\version.ver");
        ASSERT_TRUE(DeleteFileW(dead.swap.plan().recordSibling.c_str()));
        const auto left = e2e::TreeSnapshot(orvana.root());
        std::wstring blocker;
        std::wstring refusal;
        {
            mInstall::InstallLock lock;
            ASSERT_TRUE(lock.Acquire(orvana.root()));
            EXPECT_EQ(mInstall::Recover(orvana.root(), &blocker, &refusal), mInstall::Recovery::Failed);
        }
        EXPECT_EQ(blocker, orvana.Path(L"OrvanaTools\\version.ver"));
        EXPECT_EQ(refusal, L"Recovery stopped, in neither of its places: " + blocker);
        EXPECT_EQ(e2e::TreeDifferences(left, e2e::TreeSnapshot(orvana.root())), "");
    }
    {  // Committed, but the record's rename did not reach the disk (FAT): the move is finished from the copy.
        for (const bool oldRecordGone : {false, true}) {
            Installation orvana;
            DeadApply dead(orvana);
            dead.Stop(false);
            const std::wstring journal = mInstall::JournalPath(orvana.root());
            ASSERT_TRUE(e2e::WriteFileBytes(journal, e2e::ReadFileBytes(journal) + mInstall::CommittedLine()));
            if (oldRecordGone)
                orvana.Remove(L"OrvanaTools\\version.ver");
            EXPECT_EQ(recover(orvana.root()), mInstall::Recovery::Recovered) << oldRecordGone;
            EXPECT_EQ(orvana.ReadText(L"OrvanaTools\\version.ver"), DeadApply::kRecorded) << oldRecordGone;
            EXPECT_EQ(orvana.ReadBytes(L"Sub\\b.txt"), "new");
            EXPECT_FALSE(orvana.Exists(L"OVPatcher.tmp"));
        }
    }
    {  // One damaged line among three replaced files, a journal that names fewer backups than there are, or one
       // whose plan lost its last line's end to the stick: not "nothing moved", every original stays where the
       // apply put it.
        for (const int how : {0, 1, 2}) {
            const bool cut = how != 0;
            Installation orvana;
            orvana.WriteText(L"New\\c.txt", L"old");
            DeadApply dead(orvana);
            dead.Stop(false);
            const std::wstring journal = mInstall::JournalPath(orvana.root());
            std::string bytes = e2e::ReadFileBytes(journal);
            const std::string replace = mStringTools::TextToUtf16Bytes(L"replace\t");
            const size_t second = bytes.find(replace, bytes.find(replace) + 1);
            ASSERT_NE(second, std::string::npos);
            const std::string end = mStringTools::TextToUtf16Bytes(L"\r\nend\r\n");
            if (how == 1)
                bytes.resize(bytes.find(replace));  // as the plan stood before it was whole
            else if (how == 2)
                bytes.resize(bytes.find(end) + end.size() - 4);  // "end" without its CR LF, nothing after it
            else
                bytes[second + replace.size() - 2] = ' ';  // its first tab
            ASSERT_TRUE(e2e::WriteFileBytes(journal, bytes));
            const auto left = e2e::TreeSnapshot(orvana.root());
            std::wstring blocker;
            std::wstring refusal;
            mInstall::InstallLock lock;
            ASSERT_TRUE(lock.Acquire(orvana.root()));
            EXPECT_EQ(mInstall::Recover(orvana.root(), &blocker, &refusal), mInstall::Recovery::Failed) << how;
            EXPECT_EQ(blocker, journal);
            EXPECT_EQ(refusal, cut ? L"Journal not run, a backup it does not name in " +
                                         mInstall::InstallWorkFolder(orvana.root()) + L": " + journal
                                   : L"Journal not run, line 4: damaged: " + journal);  // header, apply, first file
            lock.Release();  // its file goes with it
            EXPECT_EQ(e2e::TreeDifferences(left, e2e::TreeSnapshot(orvana.root())), "") << how;
        }
    }
    {  // A folder of that name that the patcher did not make is left as it is, and no apply uses it.
        Installation orvana;
        orvana.WriteText(L"OVPatcher.tmp\\notes.txt", L"mine");
        orvana.WriteText(L"OVPatcher.tmp\\new\\draft.txt", L"mine");
        const auto before = e2e::TreeSnapshot(orvana.root());
        EXPECT_NE(recover(orvana.root()), mInstall::Recovery::Recovered);
        mInstall::StagedSwap swap(orvana.root());
        EXPECT_FALSE(swap.PrepareStaging());
        EXPECT_EQ(e2e::TreeDifferences(before, e2e::TreeSnapshot(orvana.root())), "");
    }
}

// A dead apply whose replaced file is neither in place nor in its backup cannot be put back by any Retry: the
// start names the file and offers to set the work folder aside with all it holds, and the update goes on.
TEST(ApplyFailures, LostFileOffersToSetTheWorkFolderAside) {
    Installation orvana;
    e2e::ProgramsEnder ender(orvana.root());
    DeadApply dead(orvana);
    dead.Stop(true);
    const std::wstring work = orvana.Path(L"OVPatcher.tmp");
    // The last replaced file is aside, its new copy not yet in: its original goes too.
    const auto& entries = dead.swap.plan().entries;
    const auto lost = std::find_if(entries.begin(), entries.end(),
                                   [&](const mInstall::Entry& e) { return e.target == orvana.Path(L"Sub\\b.txt"); });
    ASSERT_NE(lost, entries.end());
    ASSERT_FALSE(orvana.Exists(L"Sub\\b.txt"));
    ASSERT_TRUE(DeleteFileW(lost->backup.c_str()));
    const auto inside = e2e::TreeSnapshot(work);
    orvana.StartMenu();
    const SmallPatch patch;
    const std::wstring& runLog = patch.runLog;
    e2e::Program patcher;
    ASSERT_TRUE(patch.Start(patcher));
    const e2e::MessageBoxInfo box = patcher.WaitForMessageBox(60000);
    const std::wstring asked = L"Unable to apply this update to your Orvana\r\n\r\n" + lost->target +
                               L"\r\n\r\nYes keeps all that folder holds, the backups of the update that was cut off "
                               L"among it, sets it aside as follows, and goes on:\r\n" +
                               orvana.root() + L"\\OVPatcher.kept ";
    ASSERT_EQ(box.text.rfind(asked, 0), 0u) << e2e::Utf8(box.text);
    EXPECT_EQ(box.ButtonIds(), (std::vector<int>{IDYES, IDNO}));
    const std::wstring kept = SetAsideAndClose(patcher, box);
    EXPECT_FALSE(orvana.Exists(L"OVPatcher.tmp"));
    EXPECT_EQ(e2e::TreeDifferences(inside, e2e::TreeSnapshot(kept)), "");
    const std::vector<std::string> log = e2e::RunLogLines(runLog);
    EXPECT_NE(
        std::find(log.begin(), log.end(), "Recovery stopped, in neither of its places: " + e2e::Utf8(lost->target)),
        log.end())
        << testing::PrintToString(log);
    EXPECT_NE(std::find(log.begin(), log.end(), "Set aside: " + e2e::Utf8(kept)), log.end())
        << testing::PrintToString(log);
}

// A work folder without the patcher's mark may be anybody's: the start names it, says it stays as it is and how
// to get it out of the way, and closes nothing. Retry looks again; once the user moved it, the update goes on.
TEST(ApplyFailures, FolderWithoutTheMarkIsLeftForTheUserToMove) {
    Installation orvana;
    e2e::ProgramsEnder ender(orvana.root());
    orvana.WriteText(L"OVPatcher.tmp\\notes.txt", L"mine");
    fakes::FakeProcess& menu = orvana.StartMenu();
    const SmallPatch patch;
    const std::wstring& runLog = patch.runLog;
    e2e::Program patcher;
    ASSERT_TRUE(patch.Start(patcher));
    const std::wstring work = orvana.Path(L"OVPatcher.tmp\\");
    const std::wstring asked = L"Unable to apply this update to your Orvana\r\n\r\n" + work +
                               L"\r\n\r\nThe patcher did not make this folder and leaves it as it is. Move it out of "
                               L"the suite's folder or rename it, then press Retry.";
    for (int round = 0; round < 2; ++round) {
        const e2e::MessageBoxInfo box = patcher.WaitForMessageBox(60000);
        ASSERT_EQ(box.text, asked) << e2e::Utf8(box.text);
        EXPECT_EQ(box.ButtonIds(), (std::vector<int>{IDCANCEL, IDRETRY}));
        EXPECT_TRUE(menu.Running());
        EXPECT_EQ(orvana.ReadText(L"OVPatcher.tmp\\notes.txt"), L"mine");
        if (round == 1) {
            ASSERT_TRUE(MoveFileW(orvana.Path(L"OVPatcher.tmp").c_str(), patch.out.Path(L"moved").c_str()));
        }
        patcher.Answer(box, IDRETRY);
    }
    HWND window = patcher.WaitForDialogWith(IDC_CMDAPPLY, 60000);
    ASSERT_TRUE(window);
    EXPECT_TRUE(patcher.WaitUntil([&] { return e2e::Enabled(window, IDC_CMDAPPLY); }, "apply to be enabled"));
    EXPECT_TRUE(menu.Running());
    CloseIdleWindow(patcher, window);
    const std::vector<std::string> log = e2e::RunLogLines(runLog);
    EXPECT_NE(std::find(log.begin(), log.end(), "Not the patcher's folder, left as it is: " + e2e::Utf8(work)),
              log.end())
        << testing::PrintToString(log);
}

// One patcher per installation, whatever path names the folder: another spelling of it (letter case, the drive
// Wine gives the whole file system, as a share or a second drive letter would) meets the same lock, which is
// free again once released and leaves nothing behind.
TEST(ApplyFailures, OneLockPerInstallationWhateverPathNamesIt) {
    Installation orvana;
    const auto before = e2e::TreeSnapshot(orvana.root());
    std::wstring upper = orvana.root();
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    std::vector<std::wstring> names{orvana.root(), upper};
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (char* name = unixName ? unixName(orvana.root().c_str()) : nullptr) {
        std::wstring alias(MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, name, -1, alias.data(), static_cast<int>(alias.size()));
        HeapFree(GetProcessHeap(), 0, name);
        alias.pop_back();
        std::replace(alias.begin(), alias.end(), L'/', L'\\');
        names.push_back(L"Z:" + alias);
        ASSERT_TRUE(e2e::ReadFileBytes(names.back() + L"\\Orvana.exe") == orvana.ReadBytes(L"Orvana.exe"));
    }
    for (const std::wstring& name : names) {
        mInstall::InstallLock first;
        ASSERT_TRUE(first.Acquire(orvana.root()));
        mInstall::InstallLock second;
        EXPECT_FALSE(second.Acquire(name)) << e2e::Utf8(name);
        first.Release();
        EXPECT_TRUE(second.Acquire(name)) << e2e::Utf8(name);
    }
    EXPECT_EQ(e2e::TreeDifferences(before, e2e::TreeSnapshot(orvana.root())), "");
}

// A journal and mark planted on the stick: whatever forms its paths take to leave the installation (as text or
// through a link inside it), recovery runs none of it, names the journal and deletes nothing; a run of a patch
// stops there with the box and says why in its log.
TEST(ApplyFailures, PlantedJournalTouchesNothingOutsideTheInstallation) {
    e2e::TempDir victim(L"ov victim");
    const std::wstring sentinel = victim.Path(L"sentinel.txt");
    struct Case {
        const char* what;
        std::wstring lines;  // after the header; "@" stands for the sentinel's full path, "~" for it from the root
        bool link = false;   // OrvanaTools\OrvanaMenu\data is a link to the victim's folder
    };
    const Case cases[] = {
        {"absolute close flag, through a run of a patch", L"apply\tdead\r\nflag\t@\r\n"},
        {"parent of the root",
         L"apply\tdead\r\nreplace\tOVPatcher.tmp\\new\\s.txt\t~\tOVPatcher.tmp\\apply dead\\old\\s.txt\r\nend\r\n"},
        {"extended form", L"apply\tdead\r\nend\r\nrecord\t\\\\?\\" + victim.path() +
                              L"\\dropped.bat\tOVPatcher.tmp\\apply dead\\record\r\n"},
        {"device form", L"apply\tdead\r\nflag\t\\\\.\\@\r\n"},
        {"drive-relative", L"apply\tdead\r\nend\r\nremove\t" + victim.path().substr(0, 2) +
                               L"..\\..\\..\\..\\..\\..\\..\\..\\" + sentinel.substr(3) +
                               L"\tOVPatcher.tmp\\apply dead\\old\\s.txt\r\n"},
        {"link inside the root", L"apply\tdead\r\nflag\tOrvanaTools\\OrvanaMenu\\data\\patch_close\r\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(e2e::WriteFileBytes(sentinel, "the victim's"));
        ASSERT_TRUE(e2e::WriteFileBytes(victim.Path(L"patch_close"), "the victim's too"));
        SetFileAttributesW(sentinel.c_str(), FILE_ATTRIBUTE_READONLY);
        Installation orvana;
        orvana.WriteText(L"OVPatcher.tmp\\OVPatcher.mark", L"");
        if (!c.link) {  // its journal is otherwise one to run: no backup it does not name
            orvana.WriteBytes(L"OVPatcher.tmp\\apply dead\\old\\s.txt", "planted");
            orvana.WriteBytes(L"OVPatcher.tmp\\apply dead\\record", "planted");
        }
        std::wstring lines = c.lines;
        const std::wstring above = fakes::ParentOf(fakes::ParentOf(orvana.root()));
        for (size_t at; (at = lines.find_first_of(L"@~")) != std::wstring::npos;)
            lines.replace(at, 1, lines[at] == L'@' ? sentinel : L"..\\..\\" + sentinel.substr(above.size() + 1));
        const std::wstring journal = mInstall::JournalPath(orvana.root());
        ASSERT_TRUE(e2e::WriteFileBytes(journal, mStringTools::TextToUtf16Bytes(L"OVPatcher journal 2\r\n" + lines)));
        fakes::MakeFolders(orvana.Path(L"OrvanaTools\\OrvanaMenu"));
        // Wine 8 answers CreateSymbolicLinkW without making a link: the row then has nothing to show.
        const std::wstring link = orvana.Path(L"OrvanaTools\\OrvanaMenu\\data");
        if (c.link) {
            CreateSymbolicLinkW(link.c_str(), victim.path().c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
            const DWORD attr = GetFileAttributesW(link.c_str());
            if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_REPARSE_POINT)) {
                std::printf("no directory link can be made here; row skipped\n");
                continue;
            }
        }
        const auto outside = e2e::TreeSnapshot(victim.path());
        const auto inside = e2e::TreeSnapshot(orvana.Path(L"OVPatcher.tmp"));
        std::wstring kept = orvana.Path(L"OVPatcher.tmp");
        if (&c == &cases[0]) {
            e2e::ProgramsEnder ender(orvana.root());
            orvana.StartMenu();
            const SmallPatch patch;
            const std::wstring& runLog = patch.runLog;
            e2e::Program patcher;
            ASSERT_TRUE(patch.Start(patcher));
            const e2e::MessageBoxInfo box = patcher.WaitForMessageBox(60000);
            // Nothing to try again: the journal stays as it is, unless the user sets its folder aside.
            const std::wstring asked = L"Unable to apply this update to your Orvana\r\n\r\n" + journal +
                                       L"\r\n\r\nYes keeps all that folder holds, the backups of the update that "
                                       L"was cut off among it, sets it aside as follows, and goes on:\r\n" +
                                       orvana.root() + L"\\OVPatcher.kept ";
            EXPECT_EQ(box.text.rfind(asked, 0), 0u) << e2e::Utf8(box.text);
            EXPECT_EQ(box.ButtonIds(), (std::vector<int>{IDYES, IDNO}));
            patcher.Answer(box, IDNO);
            HWND window = patcher.WaitForDialogWith(IDC_CMDAPPLY, 60000);
            ASSERT_TRUE(window);
            EXPECT_FALSE(e2e::Enabled(window, IDC_CMDAPPLY));
            CloseIdleWindow(patcher, window);
            EXPECT_EQ(e2e::TreeDifferences(inside, e2e::TreeSnapshot(kept)), "");
            // Yes: the folder goes aside whole, under the name the box gave, and the update can go on.
            e2e::Program again;
            ASSERT_TRUE(patch.Start(again));
            const e2e::MessageBoxInfo second = again.WaitForMessageBox(60000);
            ASSERT_EQ(second.text.rfind(asked, 0), 0u) << e2e::Utf8(second.text);
            kept = SetAsideAndClose(again, second);
            EXPECT_FALSE(orvana.Exists(L"OVPatcher.tmp"));
            const std::vector<std::string> log = e2e::RunLogLines(runLog);
            EXPECT_NE(std::find(log.begin(), log.end(),
                                "Journal not run, line 3: a path outside the installation: " + e2e::Utf8(journal)),
                      log.end())
                << testing::PrintToString(log);
            EXPECT_NE(std::find(log.begin(), log.end(), "Set aside: " + e2e::Utf8(kept)), log.end())
                << testing::PrintToString(log);
        } else {
            mInstall::InstallLock lock;
            ASSERT_TRUE(lock.Acquire(orvana.root()));
            std::wstring blocker;
            std::wstring refusal;
            EXPECT_EQ(mInstall::Recover(orvana.root(), &blocker, &refusal), mInstall::Recovery::Failed);
            EXPECT_EQ(blocker, journal);
            // A link is seen only by the check at the moment of acting: the journal's text is plain.
            EXPECT_EQ(refusal.rfind(c.link ? L"Journal not run, a link on the way to " : L"Journal not run, line ", 0),
                      0u)
                << e2e::Utf8(refusal);
        }
        EXPECT_EQ(e2e::TreeDifferences(inside, e2e::TreeSnapshot(kept)), "");
        EXPECT_EQ(e2e::TreeDifferences(outside, e2e::TreeSnapshot(victim.path())), "");
        EXPECT_EQ(e2e::ReadFileBytes(sentinel), "the victim's");
        SetFileAttributesW(sentinel.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (c.link)
            RemoveDirectoryW(link.c_str());
    }
}

// A swap that cannot finish its rollback, an earlier apply's backup that could not be removed, a Retry after
// a failed swap when the archive brings the version file: none of them loses a file.
TEST(ApplyFailures, LeftoversAndRetriesNeverCostAFile) {
    const auto hold = [](const std::wstring& path) {
        return UniqueFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    };
    const auto stage = [](const std::wstring& root, std::initializer_list<const wchar_t*> files, const char* bytes) {
        mInstall::StagedSwap swap(root);
        EXPECT_TRUE(swap.PrepareStaging());
        for (const wchar_t* file : files)
            EXPECT_TRUE(e2e::WriteFileBytes(mInstall::StagingFolder(root) + file, bytes));
        return swap;
    };
    {  // A rollback held up by a placed file in use: the journal is never rewritten, and recovery later
       // finds every original.
        Installation orvana;
        DeadApply dead(orvana);
        mInstall::StagedSwap swap = stage(orvana.root(), {L"a.txt", L"Sub\\b.txt", L"New\\c.txt"}, "new");
        ASSERT_TRUE(swap.Begin(L""));
        ASSERT_TRUE(swap.WritePlan(L""));
        ASSERT_TRUE(swap.Swap());
        {
            const UniqueFile held = hold(swap.plan().entries.front().target);
            ASSERT_TRUE(held);
            EXPECT_FALSE(swap.RollBack());
            EXPECT_FALSE(swap.WritePlan(L""));
        }
        mInstall::InstallLock lock;
        ASSERT_TRUE(lock.Acquire(orvana.root()));
        EXPECT_EQ(mInstall::Recover(orvana.root()), mInstall::Recovery::Recovered);
        lock.Release();
        EXPECT_EQ(e2e::TreeDifferences(dead.before, e2e::TreeSnapshot(orvana.root())), "");
    }
    {  // The backup of an earlier apply still in use: the next apply is not confused by it.
        Installation orvana;
        orvana.WriteText(L"a.txt", L"old");
        mInstall::StagedSwap first = stage(orvana.root(), {L"a.txt"}, "first");
        ASSERT_TRUE(first.Begin(L""));
        ASSERT_TRUE(first.WritePlan(L""));
        ASSERT_TRUE(first.Swap());
        ASSERT_TRUE(first.Commit());
        const UniqueFile held = hold(first.plan().entries.front().backup);
        ASSERT_TRUE(held);
        first.Clear();
        // The journal stays while that original cannot go: a start meanwhile takes the apply for done, not for one
        // whose journal was lost.
        EXPECT_TRUE(orvana.Exists(L"OVPatcher.tmp\\journal.txt"));
        {
            mInstall::InstallLock lock;
            ASSERT_TRUE(lock.Acquire(orvana.root()));
            EXPECT_EQ(mInstall::Recover(orvana.root()), mInstall::Recovery::Recovered);
        }
        mInstall::StagedSwap second = stage(orvana.root(), {L"a.txt"}, "second");
        ASSERT_TRUE(second.Begin(L""));
        ASSERT_TRUE(second.WritePlan(L""));
        EXPECT_TRUE(second.Swap());
        EXPECT_EQ(orvana.ReadBytes(L"a.txt"), "second");
        EXPECT_TRUE(second.RollBack());
        EXPECT_EQ(orvana.ReadBytes(L"a.txt"), "first");
        second.Clear();
    }
    {  // A file left in the staging folder that cannot go: no apply starts with it, and it is named.
        Installation orvana;
        mInstall::StagedSwap first = stage(orvana.root(), {L"left.txt"}, "left");
        const std::wstring left = mInstall::StagingFolder(orvana.root()) + L"left.txt";
        const UniqueFile held = hold(left);
        mInstall::StagedSwap second(orvana.root());
        EXPECT_FALSE(second.PrepareStaging());
        EXPECT_EQ(second.blocker(), left);
    }
    {  // The archive brings the version file and the first swap fails: the Retry records.
        Installation orvana;
        orvana.WriteText(L"a.txt", L"old");
        const std::wstring record = orvana.Path(L"OrvanaTools\\version.ver");
        mInstall::StagedSwap swap = stage(orvana.root(), {L"a.txt", L"OrvanaTools\\version.ver"}, "new");
        ASSERT_TRUE(swap.Begin(L""));
        ASSERT_TRUE(swap.WritePlan(L""));
        {
            const UniqueFile held = hold(orvana.Path(L"a.txt"));
            EXPECT_FALSE(swap.Swap());
        }
        ASSERT_TRUE(swap.WritePlan(L""));
        ASSERT_TRUE(swap.Swap());
        ASSERT_TRUE(swap.StageRecord(record, DeadApply::kRecorded));
        EXPECT_TRUE(swap.Commit());
        EXPECT_EQ(orvana.ReadText(L"OrvanaTools\\version.ver"), DeadApply::kRecorded);
        swap.Clear();
    }
}

TEST(ApplyFailures, FailingPostInstallCommandsAskRetryOrCancelEach) {
    SharedLog log;
    Installation orvana;
    e2e::ProgramsEnder ender(orvana.root());
    orvana.StartMenu();
    fakes::PlaceFake(L"fake_post", orvana.Path(L"OrvanaTools"), L"post.exe");

    e2e::Descriptor d = e2e::EnglishPatch();
    d.RunAfter = L"\"%ORV%\\late.exe\" retried|\"%ORV%\\never.exe\" skipped|\"%ORV%\\OrvanaTools\\post.exe\" last|";
    const std::string archive = e2e::MakeArchive({{L"readme.txt", "new"}});
    e2e::TempDir out;
    const std::wstring patch = e2e::WritePatch(out.Path(L"orv patch.exe"), archive, d.Text());

    e2e::Program patcher;
    HWND window = e2e::OpenPatcher(patcher, patch);
    ASSERT_TRUE(window);
    e2e::Press(window, IDC_CMDAPPLY);

    // The program is missing: asked; it is put in place, and Retry runs the same command again.
    // Each box names its command.
    const e2e::MessageBoxInfo missing = patcher.WaitForMessageBox(60000);
    const std::wstring failed = L"An error occured during command execution !\r\n\r\n\"" + orvana.root();
    e2e::ExpectBox(missing, L"CmdRunError", failed + L"\\late.exe\" retried");
    fakes::PlaceFake(L"fake_post", orvana.root(), L"late.exe");
    patcher.Answer(missing, IDRETRY);

    // Cancel goes on with the next command.
    const e2e::MessageBoxInfo never = patcher.WaitForMessageBox(60000);
    e2e::ExpectBox(never, L"CmdRunError", failed + L"\\never.exe\" skipped");
    patcher.Answer(never, IDCANCEL);

    // Applied, but not a success: the last box warns and names the command that did not run.
    const e2e::MessageBoxInfo done = patcher.WaitForMessageBox(60000);
    EXPECT_EQ(done.text, L"Update successful\r\n\r\n\"" + orvana.root() + L"\\never.exe\" skipped");
    EXPECT_EQ(done.Style(), static_cast<int>(MB_OK | MB_ICONWARNING)) << e2e::Utf8(done.Describe());
    patcher.Answer(done, IDOK);
    EXPECT_TRUE(patcher.WaitEnded());
    EXPECT_EQ(patcher.ExitCode(), 12u);

    EXPECT_EQ(WithoutStart(log.EventsOf("late.exe")), (std::vector<std::string>{"args retried", "exit 0"}));
    EXPECT_EQ(WithoutStart(log.EventsOf("post.exe")), (std::vector<std::string>{"args last", "exit 0"}));
    EXPECT_LT(log.IndexOf("late.exe", "exit"), log.IndexOf("post.exe", "start"));
    EXPECT_TRUE(log.EventsOf("never.exe").empty());
    EXPECT_EQ(orvana.ReadBytes(L"readme.txt"), "new");
}

// Extraction into a sub-folder, "ifexists" entries judged there, the association tool found in its second
// place and restarted without the backup key, a version file that had no Patch.
TEST(ApplyFailures, ExtractPathFileFlagsAndVersionFileWithoutPatch) {
    SharedLog log;
    Installation::Options options;
    options.versionFile = L"<OrvanaVersion>\r\n\t<Version>5.8</Version>\r\n\t<Lang>fr</Lang>\r\n</OrvanaVersion>\r\n";
    Installation orvana(options);
    e2e::ProgramsEnder ender(orvana.root());
    e2e::SetBackupKey(false);
    orvana.StartMenu();
    orvana.StartFake(L"fake_assoc", L"Apps\\OrvanaAssoc\\OrvanaAssoc.exe");
    orvana.WriteText(L"Apps\\present.txt", L"old");
    orvana.WriteText(L"present.txt", L"root copy");

    e2e::Descriptor d = e2e::EnglishPatch();
    d.ORVPatchNeeded = L"";
    d.ORVVersion = L"6.0";
    d.ExtractPath = L"Apps";
    d.FileFlags = L"ifexists;present.txt|ifexists;absent.txt|readonly;plain.txt";
    // A post-install command that writes the version file: the record is made from what it wrote.
    d.RunAfter = L"cmd /c copy /y \"%ORV%\\Apps\\lang.ver\" \"%ORV%\\OrvanaTools\\version.ver\"";
    const std::string archive = e2e::MakeArchive({
        {L"present.txt", "new"},
        {L"absent.txt", "new"},
        {L"plain.txt", "new"},
        {L"OrvanaAssoc\\OrvanaAssoc.exe", FakeBytes(L"fake_assoc")},
        {L"Cache\\Thumbs\\", ""},
        {L"lang.ver", "<OrvanaVersion>\r\n\t<Version>5.9</Version>\r\n\t<Lang>de</Lang>\r\n</OrvanaVersion>\r\n"},
    });
    e2e::TempDir out;
    const std::wstring patch = e2e::WritePatch(out.Path(L"orv patch.exe"), archive, d.Text());
    // Folders in the temporary folder that look like a work folder of this patch: only the one that carries
    // the patcher's mark is a dead apply's, and goes.
    const std::wstring foreign = e2e::TempPathLong() + L"orv_patch_1a\\";
    const std::wstring dead = e2e::TempPathLong() + L"orv_patch_2b\\";
    ASSERT_TRUE(e2e::WriteFileBytes(foreign + L"keep.txt", "someone else's"));
    ASSERT_TRUE(e2e::WriteFileBytes(dead + L"patch.dat", "a dead apply's"));
    ASSERT_TRUE(e2e::WriteFileBytes(dead + mInstall::kOwnMark, ""));
    // A work folder is made, never taken: not even one that carries the mark (someone may have made it in
    // the moment between the name and the folder).
    EXPECT_FALSE(mInstall::MakeNewOwnFolder(dead.substr(0, dead.size() - 1), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(mInstall::MakeOwnFolder(dead.substr(0, dead.size() - 1)));  // the staging's own is kept

    e2e::Program patcher;
    HWND window = e2e::OpenPatcher(patcher, patch);
    ASSERT_TRUE(window);
    e2e::Press(window, IDC_CMDAPPLY);
    const e2e::MessageBoxInfo done = patcher.WaitForMessageBox(60000);
    e2e::ExpectBox(done, L"UpdateDone", L"Update successful");
    patcher.Answer(done, IDOK);
    EXPECT_TRUE(patcher.WaitEnded());

    EXPECT_EQ(orvana.ReadBytes(L"Apps\\present.txt"), "new");
    EXPECT_EQ(orvana.ReadBytes(L"Apps\\plain.txt"), "new");
    EXPECT_FALSE(orvana.Exists(L"Apps\\absent.txt"));
    EXPECT_EQ(orvana.ReadBytes(L"present.txt"), "root copy");
    patcher.WaitUntil([&] { return WithoutStart(log.EventsOf("OrvanaAssoc.exe", true)).size() >= 5; },
                      "the association tool's restart");
    const std::vector<std::string> assoc = WithoutStart(log.EventsOf("OrvanaAssoc.exe", true));
    ASSERT_GE(assoc.size(), 5u) << log.Dump();
    EXPECT_EQ(assoc[2], "1:WM_COPYDATA 0 6 /close");
    EXPECT_EQ(assoc[4], "2:args");
    // Not in the archive, not forced: the menu is left alone.
    EXPECT_EQ(WithoutStart(log.EventsOf("OrvanaMenu.exe")), (std::vector<std::string>{"args", "ready"}));
    EXPECT_EQ(orvana.ReadBytes(L"OrvanaTools\\version.ver"),
              "<OrvanaVersion>\r\n\t<Version>6.0</Version>\r\n\t<Lang>de</Lang>\r\n\t<Patch>20141114055922</Patch>\r\n"
              "</OrvanaVersion>\r\n");
    EXPECT_TRUE(fakes::Exists(orvana.Path(L"Apps\\Cache\\Thumbs")));
    EXPECT_EQ(e2e::ReadFileBytes(foreign + L"keep.txt"), "someone else's");
    EXPECT_FALSE(fakes::Exists(dead));
    DeleteFileW((foreign + L"keep.txt").c_str());
    RemoveDirectoryW(foreign.c_str());
    EXPECT_TRUE(e2e::WorkFoldersOf(patch).empty());
    EXPECT_FALSE(orvana.Exists(L"OVPatcher.tmp"));
}

}  // namespace
