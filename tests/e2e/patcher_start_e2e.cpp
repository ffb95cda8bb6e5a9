// The patcher's start-up, driven from outside as a user meets it: which installation it finds, what it
// asks, what its window then shows, and when it gives up.
#include <gtest/gtest.h>

#include <functional>

#include "e2e/harness/apply_support.h"
#include "e2e/harness/install_builder.h"
#include "e2e/harness/patch_builder.h"
#include "e2e/harness/window_driver.h"
#include "patcher/frm_main_ids.h"
#include "patcher/strings.h"
#include "patcher/typical_descriptor.h"

namespace {

using e2e::Installation;
using e2e::MessageBoxInfo;
using e2e::Program;

const e2e::EnvVars kFrench = {{L"LC_ALL", L"fr_FR.UTF-8"}, {L"WINEUSERLOCALE", L"fr-FR"}};
const e2e::EnvVars kEnglish = {{L"LC_ALL", L"en_US.UTF-8"}, {L"WINEUSERLOCALE", L"en-US"}};
const e2e::EnvVars kGerman = {{L"LC_ALL", L"de_DE.UTF-8"}, {L"WINEUSERLOCALE", L"de-DE"}};

// A stored text as the user sees it ("\n" as a line break).
std::wstring Shown(const std::wstring& stored) {
    return mPatchStrings::ExpandLineBreaks(stored);
}

// The typical table's text of `key` in one language.
std::wstring Typical(const wchar_t* key, bool french) {
    for (const typical::Message& m : typical::Messages()) {
        if (std::wstring(m.key) == key)
            return Shown(french ? m.fr : m.en);
    }
    ADD_FAILURE() << "no key " << e2e::Utf8(key);
    return {};
}

// A patch file in its own folder, started as a user starts it (its own file is the patch).
class PatchFile {
  public:
    explicit PatchFile(const e2e::Descriptor& descriptor, const std::wstring& name = L"orv_patch \u00e9.exe")
        : path_(e2e::WritePatch(dir_.Path(name), "7z stand-in: start-up never reads the archive", descriptor.Text())) {}
    const std::wstring& path() const { return path_; }

  private:
    e2e::TempDir dir_{L"ov patch"};
    std::wstring path_;
};

// Waits for the box of message `key`, checks all of it and answers it with `answer`.
void AnswerBox(Program& patcher, std::wstring_view key, const std::wstring& text, int answer) {
    const MessageBoxInfo box = patcher.WaitForMessageBox();
    e2e::ExpectBox(box, key, text);
    if (box.hwnd)
        patcher.Answer(box, answer);
}

// The same for a box with the typical table's text.
void AnswerTypical(Program& patcher, const wchar_t* key, bool french, int answer) {
    AnswerBox(patcher, key, Typical(key, french), answer);
}

struct WindowTexts {
    std::wstring title, found, path, info, apply, cancel;
    bool applyEnabled = true;
};

void ExpectWindow(HWND main, const WindowTexts& w) {
    ASSERT_TRUE(main);
    EXPECT_EQ(e2e::WindowText(main), e2e::BoxCaption());  // the window carries the same title
    EXPECT_EQ(e2e::Text(main, IDC_LBLTITLE), w.title);
    EXPECT_EQ(e2e::Text(main, IDC_LBLFOUND), w.found);
    EXPECT_EQ(e2e::Text(main, IDC_LBLORVPATH), w.path);
    EXPECT_EQ(e2e::Text(main, IDC_TXTINFO), w.info);
    EXPECT_EQ(e2e::Text(main, IDC_CMDAPPLY), w.apply);
    EXPECT_EQ(e2e::Text(main, IDC_CMDCANCEL), w.cancel);
    EXPECT_EQ(e2e::Enabled(main, IDC_CMDAPPLY), w.applyEnabled);
    EXPECT_FALSE(e2e::Visible(main, IDC_PRGWORKING));
    EXPECT_FALSE(e2e::Visible(main, IDC_LBLSTATUS));
}

WindowTexts TypicalWindow(bool french, const std::wstring& root) {
    return {Typical(L"Title", french),
            Typical(L"OrvFound", french),
            root,
            french ? e2e::UpdateInfoFR() : e2e::UpdateInfoEN(),
            Typical(L"Apply", french),
            Typical(L"Cancel", french)};
}

// Cancel closes the window and ends the program.
void CancelAndEnd(Program& patcher, HWND main) {
    ASSERT_TRUE(main);
    e2e::Press(main, IDCANCEL);
    EXPECT_TRUE(patcher.WaitEnded());
}

// ---------------------------------------------------------------------------------------------------------

TEST(PatcherStart, FrenchAndEnglishUsersReadTheirBlock) {
    Installation orvana;
    orvana.StartMenu();
    e2e::Descriptor d;
    d.ORVLang = L"FR";  // installation Lang "fr": the language check ignores letter case
    PatchFile patch(d);
    struct Case {
        const char* who;
        e2e::EnvVars env;
        bool french;
    };
    for (const Case& c : {Case{"French", kFrench, true}, Case{"English", kEnglish, false},
                          Case{"German falls back to English", kGerman, false}}) {
        SCOPED_TRACE(c.who);
        Program patcher;
        ASSERT_TRUE(patcher.Start(patch.path(), L"", c.env));
        HWND main = patcher.WaitForDialogWith(IDC_CMDAPPLY);
        ExpectWindow(main, TypicalWindow(c.french, orvana.root()));
        CancelAndEnd(patcher, main);
    }
}

TEST(PatcherStart, NotAPatch) {
    // The program alone carries no trailer; nor does a file named by /src that is not a patch.
    e2e::TempDir dir;
    const std::wstring plain = dir.Path(L"plain.exe");
    ASSERT_TRUE(e2e::WriteFileBytes(plain, e2e::ReadFileBytes(e2e::ProductExe())));
    const std::wstring emptyRoot =
        e2e::WritePatch(dir.Path(L"empty root.exe"), "7z", L"no element at all, only text\r\n");
    struct Case {
        const char* what;
        std::wstring exe;
        std::wstring args;
    };
    for (const Case& c :
         {Case{"own file", plain, L""}, Case{"/src names a plain file", plain, L"/src=\"" + plain + L"\""},
          Case{"descriptor without a tag", emptyRoot, L""}}) {
        SCOPED_TRACE(c.what);
        Program patcher;
        ASSERT_TRUE(patcher.Start(c.exe, c.args, kFrench));
        AnswerBox(patcher, L"InvalidPatch", L"Invalid patch file", IDOK);
        EXPECT_TRUE(patcher.WaitEnded());
        EXPECT_EQ(patcher.ExitCode(), 1u);
    }
    // "/?" tells the switches and exit codes before anything is read.
    Program patcher;
    ASSERT_TRUE(patcher.Start(plain, L"/?"));
    const e2e::MessageBoxInfo help = patcher.WaitForMessageBox();
    // A switch and its value on one short line of their own, which no box splits.
    EXPECT_EQ(help.text.rfind(L"plain.exe, with any of:\r\n\r\n/silent\r\n", 0), 0u) << e2e::Utf8(help.text);
    EXPECT_NE(help.text.find(L"\r\n/dir=<folder>\r\n"), std::wstring::npos)
        << e2e::Utf8(help.text);
    EXPECT_NE(help.text.find(L"\r\n11\textraction failed; nothing changed\r\n"), std::wstring::npos);
    EXPECT_EQ(help.ButtonIds(), (std::vector<int>{IDOK}));
    patcher.Answer(help, IDOK);
    EXPECT_TRUE(patcher.WaitEnded());
    EXPECT_EQ(patcher.ExitCode(), 0u);
}

TEST(PatcherStart, SourceOptionWithBlankInPath) {
    Installation orvana;
    orvana.StartMenu();
    PatchFile patch(e2e::Descriptor{}, L"orv patch with blanks \u0416.exe");
    // The plain program reads the patch that /src names, quoted because of its blanks; an option's text
    // inside another's value is no option, and the log says where the patch came from.
    e2e::TempDir out;
    const std::wstring runLog = out.Path(L"run.log");
    Program patcher;
    ASSERT_TRUE(patcher.Start(
        e2e::ProductExe(), L"/note=\"x /src=Z:\\nowhere.dat\" /src=\"" + patch.path() + L"\" /log=\"" + runLog + L"\"",
        kEnglish));
    HWND main = patcher.WaitForDialogWith(IDC_CMDAPPLY);
    ExpectWindow(main, TypicalWindow(false, orvana.root()));
    CancelAndEnd(patcher, main);
    const std::vector<std::string> lines = e2e::RunLogLines(runLog);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Patch " + e2e::Utf8(e2e::ProductExe()) + ", read from " + e2e::Utf8(patch.path()));
}

TEST(PatcherStart, StartUpFailures) {
    {
        SCOPED_TRACE("no Strings element: the failure comes before any text can be looked up");
        e2e::Descriptor d;
        d.Strings.reset();
        PatchFile patch(d);
        Program patcher;
        ASSERT_TRUE(patcher.Start(patch.path(), L"", kFrench));
        AnswerBox(patcher, L"CantUpdate", L"", IDOK);
        EXPECT_TRUE(patcher.WaitEnded());
    }
    {
        SCOPED_TRACE("the user's block of the update information is never closed");
        e2e::Descriptor d;
        d.UpdateInfo = L"<FR>Ce texte ne se ferme pas\r\n<EN>Closed</EN>";
        PatchFile patch(d);
        Program patcher;
        ASSERT_TRUE(patcher.Start(patch.path(), L"", kFrench));
        AnswerTypical(patcher, L"CantUpdate", true, IDOK);
        EXPECT_TRUE(patcher.WaitEnded());
    }
}

TEST(PatcherStart, NoBlockForTheUserNorEnglish) {
    // Every text is empty, yet every box still comes with its buttons.
    e2e::Descriptor d;
    d.Strings = L"\r\n" + e2e::LanguageBlock(L"IT", e2e::TypicalTexts(false));
    PatchFile patch(d);
    Program patcher;
    ASSERT_TRUE(patcher.Start(patch.path(), L"", kFrench));
    AnswerBox(patcher, L"OrvNotRunning", L"", IDNO);
    EXPECT_TRUE(patcher.WaitEnded());
}

TEST(PatcherStart, NoRunningMenu) {
    Installation orvana;
    PatchFile patch(e2e::Descriptor{});
    {
        SCOPED_TRACE("No: the program ends without showing its window");
        Program patcher;
        ASSERT_TRUE(patcher.Start(patch.path(), L"", kEnglish));
        AnswerTypical(patcher, L"OrvNotRunning", false, IDNO);
        EXPECT_TRUE(patcher.WaitEnded());
    }
    {
        SCOPED_TRACE("Yes, then the picker cancelled");
        Program patcher;
        ASSERT_TRUE(patcher.Start(patch.path(), L"", kFrench));
        AnswerTypical(patcher, L"OrvNotRunning", true, IDYES);
        HWND picker = patcher.WaitForFolderPicker();
        ASSERT_TRUE(picker);
        bool titled = false;
        for (const e2e::Control& c : e2e::ChildControls(picker))
            titled = titled || c.text == Typical(L"SelectFolderTitle", true);
        EXPECT_TRUE(titled) << "the picker does not show the SelectFolderTitle text";
        e2e::Press(picker, IDCANCEL);
        EXPECT_TRUE(patcher.WaitEnded());
    }
    {
        SCOPED_TRACE("Yes, a folder without Orvana.exe, then the installation");
        Program patcher;
        ASSERT_TRUE(patcher.Start(patch.path(), L"", kFrench));
        AnswerTypical(patcher, L"OrvNotRunning", true, IDYES);
        HWND picker = patcher.WaitForFolderPicker();
        ASSERT_TRUE(picker);
        e2e::PickFolder(picker, patcher.pid(), orvana.Path(L"OrvanaTools"));
        AnswerTypical(patcher, L"OrvNotFound", true, IDOK);
        picker = patcher.WaitForFolderPicker();
        ASSERT_TRUE(picker);
        e2e::PickFolder(picker, patcher.pid(), orvana.root());
        HWND main = patcher.WaitForDialogWith(IDC_CMDAPPLY);
        ExpectWindow(main, TypicalWindow(true, orvana.root()));
        CancelAndEnd(patcher, main);
    }
}

TEST(PatcherStart, MenuOutsideAnInstallationIsIgnored) {
    Installation orvana;
    // The menu runs, but not three levels below the folder that holds Orvana.exe.
    orvana.StartFake(L"fake_menu", L"OrvanaTools\\OrvanaMenu.exe");
    PatchFile patch(e2e::Descriptor{});
    Program patcher;
    ASSERT_TRUE(patcher.Start(patch.path(), L"", kEnglish));
    AnswerTypical(patcher, L"OrvNotRunning", false, IDNO);
    EXPECT_TRUE(patcher.WaitEnded());
}

TEST(PatcherStart, TwoRunningMenus) {
    Installation first;
    Installation::Options other;
    other.folderName = L"Second Orvana";
    Installation second(other);
    first.StartMenu();
    second.StartMenu();
    PatchFile patch(e2e::Descriptor{});
    Program patcher;
    ASSERT_TRUE(patcher.Start(patch.path(), L"", kFrench));
    AnswerTypical(patcher, L"MultipleOrvFound", true, IDOK);
    EXPECT_TRUE(patcher.WaitEnded());
}

TEST(PatcherStart, TwoMenusOfOneInstallationCountAsTwo) {
    Installation orvana;
    orvana.StartMenu();
    orvana.StartMenu();
    PatchFile patch(e2e::Descriptor{});
    Program patcher;
    ASSERT_TRUE(patcher.Start(patch.path(), L"", kEnglish));
    AnswerTypical(patcher, L"MultipleOrvFound", false, IDOK);
    EXPECT_TRUE(patcher.WaitEnded());
}

// Checks that leave the window open with cmdApply disabled after one message.
TEST(PatcherStart, InstallationCannotTakeThePatch) {
    struct Case {
        const char* what;
        std::function<void(Installation&)> prepare;
        std::function<void(e2e::Descriptor&)> describe;
        const wchar_t* key;
        std::wstring text;
        DWORD exitCode;
    };
    const bool french = true;
    const Case cases[] = {
        {"archiver missing", [](Installation& o) { o.Remove(L"OrvanaTools\\Installer\\7z.dll"); }, nullptr,
         L"CantUpdate", Typical(L"CantUpdate", french), 5},
        {"version file missing", [](Installation& o) { o.Remove(L"OrvanaTools\\version.ver"); }, nullptr, L"CantUpdate",
         Typical(L"CantUpdate", french), 5},
        {"version file root differs in letter case",
         [](Installation& o) {
             o.WriteText(L"OrvanaTools\\version.ver",
                         Installation::VersionFileText(L"5.8", L"20141104134857", L"fr", L"orvanaVersion"));
         },
         nullptr, L"CantUpdate", Typical(L"CantUpdate", french), 5},
        // The patch is also already installed: the language check alone speaks.
        {"language mismatch",
         [](Installation& o) {
             o.WriteText(L"OrvanaTools\\version.ver", Installation::VersionFileText(L"5.8", L"20141114055922", L"en"));
         },
         [](e2e::Descriptor& d) { d.ORVLang = L"FR"; }, L"LangMismatch", L"This update applies only to a Orvana FR",
         6},
        {"prerequisite missing",
         [](Installation& o) {
             o.WriteText(L"OrvanaTools\\version.ver", Installation::VersionFileText(L"5.8", L"20141104134856"));
         },
         nullptr, L"VersionMismatch", Typical(L"VersionMismatch", french), 7},
        {"no Patch element, prerequisite set",
         [](Installation& o) {
             o.WriteText(L"OrvanaTools\\version.ver",
                         L"<OrvanaVersion>\r\n\t<Version>5.8</Version>\r\n\t<Lang>fr</Lang>\r\n</OrvanaVersion>\r\n");
         },
         nullptr, L"VersionMismatch", Typical(L"VersionMismatch", french), 7},
        {"installation newer",
         [](Installation& o) {
             o.WriteText(L"OrvanaTools\\version.ver", Installation::VersionFileText(L"5.9", L"20150101000000"));
         },
         nullptr, L"NoUpdateNeeded", Typical(L"NoUpdateNeeded", french), 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation orvana;
        if (c.prepare)
            c.prepare(orvana);
        orvana.StartMenu();
        e2e::Descriptor d;
        if (c.describe)
            c.describe(d);
        PatchFile patch(d);
        Program patcher;
        ASSERT_TRUE(patcher.Start(patch.path(), L"", kFrench));
        AnswerBox(patcher, c.key, c.text, IDOK);
        HWND main = patcher.WaitForDialogWith(IDC_CMDAPPLY);
        WindowTexts expected = TypicalWindow(french, orvana.root());
        expected.applyEnabled = false;
        ExpectWindow(main, expected);
        CancelAndEnd(patcher, main);
        EXPECT_EQ(patcher.ExitCode(), c.exitCode);
        // Without a window the refusal is the exit code alone.
        Program silent;
        ASSERT_TRUE(silent.Start(patch.path(), L"/silent"));
        EXPECT_TRUE(silent.WaitEnded());
        EXPECT_EQ(silent.ExitCode(), c.exitCode);
    }
}

TEST(PatcherStart, AlreadyApplied) {
    Installation orvana;
    orvana.WriteText(L"OrvanaTools\\version.ver", Installation::VersionFileText(L"5.8", L"20141114055922"));
    orvana.StartMenu();
    PatchFile patch(e2e::Descriptor{});
    {
        SCOPED_TRACE("Yes: the update may be applied again");
        Program patcher;
        ASSERT_TRUE(patcher.Start(patch.path(), L"", kEnglish));
        AnswerTypical(patcher, L"UpdateAlreadyDone", false, IDYES);
        HWND main = patcher.WaitForDialogWith(IDC_CMDAPPLY);
        ExpectWindow(main, TypicalWindow(false, orvana.root()));
        CancelAndEnd(patcher, main);
    }
    {
        SCOPED_TRACE("No: the program ends");
        Program patcher;
        ASSERT_TRUE(patcher.Start(patch.path(), L"", kEnglish));
        AnswerTypical(patcher, L"UpdateAlreadyDone", false, IDNO);
        EXPECT_TRUE(patcher.WaitEnded());
        EXPECT_EQ(patcher.ExitCode(), 9u);
    }
    {
        SCOPED_TRACE("silent: answered No, and the account says so");
        e2e::TempDir out;
        const std::wstring runLog = out.Path(L"run.log");
        Program patcher;
        ASSERT_TRUE(patcher.Start(patch.path(), L"/silent /log=\"" + runLog + L"\""));
        EXPECT_TRUE(patcher.WaitEnded());
        EXPECT_EQ(patcher.ExitCode(), 9u);
        EXPECT_EQ(e2e::RunLogLines(runLog),
                  (std::vector<std::string>{
                      "Patch " + e2e::Utf8(patch.path()) + ", silent",
                      "Box UpdateAlreadyDone: This update has already been applied to your Orvana. Install it again? -> No",
                      "Outcome: 9 (already applied)"}));
    }
    {
        SCOPED_TRACE("a log that is a link or no file on a disk is refused, and nothing is written through it");
        e2e::TempDir out;
        const std::wstring target = out.Path(L"elsewhere.txt");
        ASSERT_TRUE(e2e::WriteFileBytes(target, "kept"));
        const std::wstring linked = out.Path(L"run.log");
        ASSERT_TRUE(CreateHardLinkW(linked.c_str(), target.c_str(), nullptr));
        for (const std::wstring& log : {linked, std::wstring(L"NUL")}) {
            Program patcher;
            ASSERT_TRUE(patcher.Start(patch.path(), L"/silent /log=\"" + log + L"\""));
            EXPECT_TRUE(patcher.WaitEnded());
            EXPECT_EQ(patcher.ExitCode(), 2u) << e2e::Utf8(log);
        }
        EXPECT_EQ(e2e::ReadFileBytes(target), "kept");
    }
}

}  // namespace

// Not a test: holds the window open for scripts/screenshots.sh, which photographs it. The user's language
// comes from LC_ALL as usual; OV_SHOT_DIR is where the "ready" and "done" files meet, and the installation
// is OV_SHOT_PARENT\Orvana, a path as a user's would read. OV_SHOT_STATUS shows that status line over
// the idle window, to see that the longest one of a language fits.
TEST(PatcherStart, DISABLED_HoldWindowForScreenshot) {
    const std::wstring shots = fakes::Env(L"OV_SHOT_DIR");
    ASSERT_FALSE(shots.empty());
    Installation::Options sample;
    sample.folderName = L"Orvana";
    sample.parent = fakes::Env(L"OV_SHOT_PARENT");
    Installation orvana(sample);
    e2e::ProgramsEnder ender(orvana.root());
    orvana.StartMenu();
    e2e::TempDir dir{L"ov patch"};
    // With OV_SHOT_SKIPPED the picture is the box that ends an apply whose post-install command could not
    // start and was skipped.
    if (!fakes::Env(L"OV_SHOT_SKIPPED").empty()) {
        e2e::Descriptor d;
        d.RunAfter = L"\"%ORV%\\OrvanaTools\\post_install.exe\" /from=5.8|";
        const std::wstring patchPath =
            e2e::WritePatch(dir.Path(L"orv_patch.exe"), e2e::MakeArchive({{L"readme.txt", "new"}}), d.Text());
        Program patcher;
        ASSERT_TRUE(patcher.Start(patchPath));
        HWND main = patcher.WaitForDialogWith(IDC_CMDAPPLY);
        ASSERT_TRUE(main);
        e2e::Press(main, IDC_CMDAPPLY);
        const MessageBoxInfo failed = patcher.WaitForMessageBox(60000);
        patcher.Answer(failed, IDCANCEL);
        const MessageBoxInfo done = patcher.WaitForMessageBox(60000);
        ASSERT_TRUE(e2e::WriteFileBytes(shots + L"\\ready", e2e::Utf8(done.caption)));
        EXPECT_TRUE(patcher.WaitUntil([&] { return fakes::Exists(shots + L"\\done"); }, "the screenshot", 60000));
        patcher.Answer(done, IDOK);
        EXPECT_TRUE(patcher.WaitEnded());
        return;
    }
    // With OV_SHOT_APPLYING the window is taken while it stages a large archive, held up half way.
    const bool applying = !fakes::Env(L"OV_SHOT_APPLYING").empty();
    const std::wstring patchPath = e2e::WritePatch(
        dir.Path(L"orv_patch.exe"), applying ? e2e::MakeArchive(e2e::ManyFiles(3000), L"-mx0") : std::string("7z stand-in"),
        e2e::Descriptor{}.Text());
    Program patcher;
    ASSERT_TRUE(patcher.Start(patchPath));
    HWND main = patcher.WaitForDialogWith(IDC_CMDAPPLY);
    ASSERT_TRUE(main);
    if (applying) {
        e2e::Press(main, IDC_CMDAPPLY);
        ASSERT_FALSE(e2e::StagedPercentages(patcher, main, patchPath, 30).empty());
    }
    const std::wstring status = fakes::Env(L"OV_SHOT_STATUS");
    if (!status.empty()) {
        e2e::SetText(main, IDC_LBLSTATUS, status);
        ShowWindow(e2e::Item(main, IDC_LBLSTATUS), SW_SHOWNA);
    }
    ASSERT_TRUE(e2e::WriteFileBytes(shots + L"\\ready", e2e::Utf8(e2e::WindowText(main))));
    EXPECT_TRUE(patcher.WaitUntil([&] { return fakes::Exists(shots + L"\\done"); }, "the screenshot", 60000));
    if (applying) {
        e2e::Press(main, IDCANCEL);
        patcher.WaitUntil([&] { return e2e::Enabled(main, IDC_CMDAPPLY); }, "the cancelled apply", 60000);
    }
    CancelAndEnd(patcher, main);
}
