#include "maker/frm_maker_win.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "container/patch_container.h"
#include "container/patch_file_win.h"
#include "maker/descriptor_builder.h"
#include "maker/frm_maker_ids.h"
#include "maker/maker_test_support_win.h"
#include "support/archive_like.h"
#include "support/encoding_win.h"
#include "support/file_system_win.h"
#include "support/pump_win.h"

namespace frmMaker {
namespace {

using makertest::FileListData;

std::wstring Text(HWND dialog, int id) {
    wchar_t buffer[4096] = {};
    GetDlgItemTextW(dialog, id, buffer, 4096);
    return buffer;
}

bool Checked(HWND dialog, int id) {
    return IsDlgButtonChecked(dialog, id) == BST_CHECKED;
}

std::wstring SelectedLanguage(HWND dialog) {
    HWND list = GetDlgItem(dialog, IDC_CMBLANGID);
    const LRESULT i = SendMessageW(list, CB_GETCURSEL, 0, 0);
    wchar_t buffer[64] = {};
    if (i >= 0)
        SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

// The middle of control `id` on the screen, where the system would report a drop on it; the labels are
// the window's own surface.
POINTL OverControl(HWND dialog, int id) {
    RECT r{};
    GetWindowRect(GetDlgItem(dialog, id), &r);
    return POINTL{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// A visible message box of this process (EnumWindows callback: the system calls it stdcall).
BOOL CALLBACK FindOwnBox(HWND w, LPARAM found) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    wchar_t cls[16] = {};
    GetClassNameW(w, cls, 16);
    if (pid == GetCurrentProcessId() && std::wstring(cls) == L"#32770" && IsWindowVisible(w) && GetDlgItem(w, 0xFFFF)) {
        *reinterpret_cast<HWND*>(found) = w;
        return FALSE;
    }
    return TRUE;
}

// Answers the next message box of this process with `button` and records its text.
class BoxAnswerer {
  public:
    explicit BoxAnswerer(int button)
        : thread_([this, button] {
              const DWORD deadline = GetTickCount() + 10000;
              while (!done_ && GetTickCount() < deadline) {
                  HWND box = nullptr;
                  EnumWindows(FindOwnBox, reinterpret_cast<LPARAM>(&box));
                  if (box) {
                      wchar_t text[512] = {};
                      GetDlgItemTextW(box, 0xFFFF, text, 512);
                      text_ = text;
                      PostMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
                      return;
                  }
                  Sleep(20);
              }
          }) {}
    ~BoxAnswerer() {
        done_ = true;
        thread_.join();
    }
    std::wstring Finish() {
        done_ = true;
        thread_.join();
        thread_ = std::thread([] {});
        return text_;
    }

  private:
    std::atomic<bool> done_{false};
    std::wstring text_;
    std::thread thread_;
};

// Closes the window, answering Yes to the question about changed fields, and drops the quit request that
// its unload posts, which would end the next message box at once.
void CloseMaker(HWND hwnd) {
    if (IsWindow(hwnd)) {
        BoxAnswerer yes(IDYES);  // a window whose fields were changed asks first
        SendMessageW(hwnd, WM_CLOSE, 0, 0);
    }
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message != WM_QUIT)
            DispatchMessageW(&msg);
    }
}

// The maker window of this process, open for one test. The language file beside the test program is
// the one the build ships (FR then EN).
class MakerWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        hwnd = Show();
        ASSERT_TRUE(hwnd);
        ASSERT_TRUE(FormDropTarget());
        ASSERT_TRUE(DataFileDropTarget());
    }
    void TearDown() override { CloseMaker(hwnd); }

    // A patch file whose descriptor the maker would have written for `s`.
    std::wstring MakePatch(const std::wstring& name, const MakerSettings& s) {
        const std::wstring path = dir / name;
        const std::string descriptor = mUTF8::UTF8_Encode(BuildDescriptor(s, L"<messages><FR/></messages>"));
        WriteBytes(path, mGlobal::BuildPatch(makertest::BinaryBytes(2048, 7), "7z-bytes", descriptor));
        return path;
    }

    DWORD DragEnter(IDropTarget* target, FileListData& data, DWORD allowed) {
        DWORD effect = allowed;
        EXPECT_EQ(target->DragEnter(&data, MK_LBUTTON, Over(IDC_LABEL1), &effect), S_OK);
        return effect;
    }

    POINTL Over(int id) { return OverControl(hwnd, id); }

    // By default on a label: the window's own surface.
    void Drop(IDropTarget* target,
              std::vector<std::wstring> paths,
              int over = IDC_LABEL1,
              DWORD expected = DROPEFFECT_COPY) {
        FileListData data(std::move(paths), false);
        DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
        target->DragEnter(&data, MK_LBUTTON, Over(over), &effect);
        effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
        EXPECT_EQ(target->Drop(&data, 0, Over(over), &effect), S_OK);
        EXPECT_EQ(effect, expected) << over;
    }

    TestFolder dir{L"window"};
    HWND hwnd = nullptr;
};

TEST_F(MakerWindow, LoadsItsDefaults) {
    wchar_t title[256] = {};
    GetWindowTextW(hwnd, title, 256);
    EXPECT_EQ(std::wstring(title).rfind(L"Orvana Patch Maker v1.0.12 - ", 0), 0u) << title;
    EXPECT_EQ(Text(hwnd, IDC_TXTORVVERSION), L"2.5");  // no installation runs here
    const std::wstring id = Text(hwnd, IDC_TXTPATCHVERSION);
    EXPECT_EQ(id.size(), 14u);
    EXPECT_EQ(id.find_first_not_of(L"0123456789"), std::wstring::npos);
    EXPECT_EQ(SendDlgItemMessageW(hwnd, IDC_CMBLANGID, CB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(SelectedLanguage(hwnd), L"FR");
    EXPECT_TRUE(Checked(hwnd, IDC_CHKLANGCHECK));
    EXPECT_FALSE(Checked(hwnd, IDC_CHKFORCEMENURESTART));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hwnd, IDC_CMDMAKE)));
}

TEST_F(MakerWindow, MakeButtonFollowsTheArchivePathOnly) {
    const std::wstring archive = dir / L"data.7z";
    WriteBytes(archive, "7z");
    HWND make = GetDlgItem(hwnd, IDC_CMDMAKE);
    SetDlgItemTextW(hwnd, IDC_TXTDATAFILE, dir.path().c_str());  // a folder is not an archive
    EXPECT_FALSE(IsWindowEnabled(make));
    SetDlgItemTextW(hwnd, IDC_TXTDATAFILE, archive.c_str());
    EXPECT_TRUE(IsWindowEnabled(make));

    SetDlgItemTextW(hwnd, IDC_TXTDATAFILE, L"");
    SetDlgItemTextW(hwnd, IDC_TXTORVVERSION, L"");
    SetDlgItemTextW(hwnd, IDC_TXTDATAFILE, archive.c_str());
    EXPECT_FALSE(IsWindowEnabled(make));
    SetDlgItemTextW(hwnd, IDC_TXTORVVERSION, L"5.8");  // not looked at until the archive path changes
    EXPECT_FALSE(IsWindowEnabled(make));
    SetDlgItemTextW(hwnd, IDC_TXTDATAFILE, (dir.path() + L"\\.\\data.7z").c_str());
    EXPECT_TRUE(IsWindowEnabled(make));
}

TEST_F(MakerWindow, DragOverOffersCopyForFileListsOnly) {
    FileListData files({L"C:\\x.exe"}, false);
    FileListData text({L"C:\\x.exe"}, true);
    for (IDropTarget* target : {FormDropTarget(), DataFileDropTarget()}) {
        EXPECT_EQ(DragEnter(target, files, DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK),
                  static_cast<DWORD>(DROPEFFECT_COPY));
        DWORD effect = DROPEFFECT_MOVE;  // a source that cannot be copied from
        target->DragOver(0, POINTL{1, 1}, &effect);
        EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
        target->DragLeave();
        EXPECT_EQ(DragEnter(target, text, DROPEFFECT_COPY), static_cast<DWORD>(DROPEFFECT_NONE));
        DWORD dropEffect = DROPEFFECT_COPY;
        EXPECT_EQ(target->Drop(&text, 0, POINTL{1, 1}, &dropEffect), S_OK);
        EXPECT_EQ(dropEffect, static_cast<DWORD>(DROPEFFECT_NONE));
    }
    EXPECT_EQ(Text(hwnd, IDC_TXTDATAFILE), L"");
}

TEST_F(MakerWindow, DroppingPatchesImportsTheFirstExe) {
    MakerSettings old;
    old.ORVVersion = L"5.8";
    old.MinPatchNeeded = L"20141104134857";
    old.PatchVersion = L"20141114055922";
    old.LangName = L"EN";
    old.LangCheck = true;
    old.ForceMenuRestart = true;
    old.UpdateInfo = L"<EN>one\\ntwo</EN>\r\n<FR>un</FR>";
    old.RunAtEnd = L"a.exe\r\n  \r\nb.exe";
    old.DelAtEnd = L"%ORV%\\old.txt";
    old.FileFlags = L"ifexists;x.dll";
    const std::wstring first = MakePatch(L"OLD.EXE", old);
    MakerSettings other = old;
    other.PatchVersion = L"20990101000000";
    const std::wstring second = MakePatch(L"second.exe", other);
    const std::wstring notes = dir / L"notes.txt";
    WriteBytes(notes, "text");
    SetDlgItemTextW(hwnd, IDC_TXTEXTRACTPATH, L"kept");

    Drop(FormDropTarget(), {notes, first, second});
    EXPECT_EQ(Text(hwnd, IDC_TXTORVVERSION), L"5.8");
    EXPECT_EQ(Text(hwnd, IDC_TXTMINPATCHNEEDED), L"20141104134857");
    EXPECT_EQ(Text(hwnd, IDC_TXTPATCHVERSION), L"20141114055922");
    EXPECT_TRUE(Checked(hwnd, IDC_CHKFORCEMENURESTART));
    EXPECT_TRUE(Checked(hwnd, IDC_CHKLANGCHECK));
    EXPECT_EQ(SelectedLanguage(hwnd), L"EN");
    EXPECT_EQ(Text(hwnd, IDC_TXTUPDATEINFO), L"<EN>one\r\ntwo</EN>\r\n<FR>un</FR>");
    EXPECT_EQ(Text(hwnd, IDC_TXTRUNATEND), L"a.exe\r\nb.exe");
    EXPECT_EQ(Text(hwnd, IDC_TXTDELATEND), L"%ORV%\\old.txt");
    EXPECT_EQ(Text(hwnd, IDC_TXTFILEFLAGS), L"ifexists;x.dll");
    EXPECT_EQ(Text(hwnd, IDC_TXTEXTRACTPATH), L"kept");

    // Restriction off: the box is cleared and the language stays; an unknown language keeps it too.
    MakerSettings multi = old;
    multi.LangCheck = false;
    multi.ForceMenuRestart = false;
    multi.RunAtEnd.clear();
    Drop(FormDropTarget(), {MakePatch(L"multi.exe", multi)});
    EXPECT_FALSE(Checked(hwnd, IDC_CHKLANGCHECK));
    EXPECT_FALSE(Checked(hwnd, IDC_CHKFORCEMENURESTART));
    EXPECT_EQ(SelectedLanguage(hwnd), L"EN");
    EXPECT_EQ(Text(hwnd, IDC_TXTRUNATEND), L"");
    MakerSettings german = old;
    german.LangName = L"DE";
    Drop(FormDropTarget(), {MakePatch(L"de.exe", german)});
    EXPECT_TRUE(Checked(hwnd, IDC_CHKLANGCHECK));
    EXPECT_EQ(SelectedLanguage(hwnd), L"EN");

    // The system hands the window drops on any control that takes none itself; only its surface imports.
    for (int field : {IDC_TXTUPDATEINFO, IDC_TXTPATCHVERSION, IDC_CMDMAKE})
        Drop(FormDropTarget(), {second}, field, DROPEFFECT_NONE);
    EXPECT_EQ(Text(hwnd, IDC_TXTPATCHVERSION), L"20141114055922");

    // Not a patch: nothing changes.
    const std::wstring plain = dir / L"plain.exe";
    WriteBytes(plain, makertest::BinaryBytes(5000, 3));
    Drop(FormDropTarget(), {plain});
    EXPECT_EQ(Text(hwnd, IDC_TXTPATCHVERSION), L"20141114055922");
    EXPECT_TRUE(Checked(hwnd, IDC_CHKLANGCHECK));
}

TEST_F(MakerWindow, DroppingOnTheArchiveFieldTakesTheFirst7z) {
    const std::wstring zip = dir / L"data.zip";
    const std::wstring archive = dir / L"data.7Z";
    WriteBytes(zip, "zip");
    WriteBytes(archive, "7z");
    Drop(DataFileDropTarget(), {zip}, IDC_TXTDATAFILE);
    EXPECT_EQ(Text(hwnd, IDC_TXTDATAFILE), L"");
    Drop(DataFileDropTarget(), {zip, archive}, IDC_TXTDATAFILE);
    EXPECT_EQ(Text(hwnd, IDC_TXTDATAFILE), archive);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hwnd, IDC_CMDMAKE)));
    // A patch dropped on the field is not imported.
    Drop(DataFileDropTarget(), {MakePatch(L"p.exe", MakerSettings{})}, IDC_TXTDATAFILE);
    EXPECT_EQ(Text(hwnd, IDC_TXTORVVERSION), L"2.5");
}

// Hundreds of kilobytes on one line, imported and then added to as a user pastes: nothing is cut.
TEST_F(MakerWindow, AVeryLongUpdateTextIsTakenWhole) {
    MakerSettings old;
    old.ORVVersion = L"5.8";
    old.UpdateInfo = std::wstring(400000, L'x');
    Drop(FormDropTarget(), {MakePatch(L"long.exe", old)});
    HWND info = GetDlgItem(hwnd, IDC_TXTUPDATEINFO);
    EXPECT_EQ(GetWindowTextLengthW(info), 400000);
    SendMessageW(info, EM_SETSEL, 400000, 400000);
    SendMessageW(info, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(L"\r\npasted"));
    EXPECT_EQ(GetWindowTextLengthW(info), 400008);
    std::wstring commands;
    for (int i = 0; i < 4000; ++i)
        commands += L"run " + std::to_wstring(1000 + i) + L"\r\n";
    HWND run = GetDlgItem(hwnd, IDC_TXTRUNATEND);
    SetWindowTextW(run, commands.c_str());
    SendMessageW(run, EM_SETSEL, commands.size(), commands.size());
    SendMessageW(run, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(L"x"));
    EXPECT_EQ(GetWindowTextLengthW(run), static_cast<int>(commands.size()) + 1);
}

TEST_F(MakerWindow, DoubleClickOnTheIdentifierAsksBeforeRenewingIt) {
    SetDlgItemTextW(hwnd, IDC_TXTPATCHVERSION, L"20141114055922");
    HWND field = GetDlgItem(hwnd, IDC_TXTPATCHVERSION);
    {
        BoxAnswerer no(IDNO);
        SendMessageW(field, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(2, 2));
        DoEvents();  // the question is asked once the click is over
        EXPECT_EQ(no.Finish(), L"Nouvel ID de patch ?");
    }
    EXPECT_EQ(Text(hwnd, IDC_TXTPATCHVERSION), L"20141114055922");
    {
        BoxAnswerer yes(IDYES);
        SendMessageW(field, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(2, 2));
        DoEvents();
        EXPECT_EQ(yes.Finish(), L"Nouvel ID de patch ?");
    }
    const std::wstring renewed = Text(hwnd, IDC_TXTPATCHVERSION);
    EXPECT_EQ(renewed.size(), 14u);
    EXPECT_GT(renewed, L"20141114055922");
}

// Build, import the built patch into a fresh window, build again: the same descriptor, except what the
// import leaves alone (the extraction folder) and the "\n" pairs that it turns into line breaks.
TEST(MakerImportRoundTrip, RebuildingAnImportedPatchGivesTheSameDescriptor) {
    TestFolder dir(L"roundtrip");
    const std::wstring archive = dir / L"data.7z";
    WriteBytes(archive, testdata::ArchiveLike(makertest::BinaryBytes(3000, 11)));
    const std::wstring output = mGlobal::AppPath() + L"\\orv_20991231235959_FR.exe";
    struct Cleanup {
        std::wstring path;
        ~Cleanup() { DeleteFileW(path.c_str()); }
    } cleanup{output};

    auto build = [&](HWND window) -> std::wstring {
        DeleteFileW(output.c_str());
        SetDlgItemTextW(window, IDC_TXTDATAFILE, L"");
        SetDlgItemTextW(window, IDC_TXTDATAFILE, archive.c_str());
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDC_CMDMAKE)));
        SendDlgItemMessageW(window, IDC_CMDMAKE, BM_CLICK, 0, 0);
        std::wstring path = output;
        auto node = mGlobal::ExtractPatchXML(0, path);
        return node ? node->XmlData : L"<no patch>";
    };

    HWND first = Show();
    ASSERT_TRUE(first);
    SetDlgItemTextW(first, IDC_TXTEXTRACTPATH, L"OrvanaTools");
    SetDlgItemTextW(first, IDC_TXTORVVERSION, L"5.8");
    SetDlgItemTextW(first, IDC_TXTMINPATCHNEEDED, L"20141104134857");
    SetDlgItemTextW(first, IDC_TXTPATCHVERSION, L"20991231235959");
    SetDlgItemTextW(first, IDC_TXTUPDATEINFO, L"<EN>one\\ntwo</EN>\r\n<FR>un\\ndeux</FR>");
    SetDlgItemTextW(first, IDC_TXTRUNATEND, L"a.exe\r\n   \r\n b.exe ");
    SetDlgItemTextW(first, IDC_TXTDELATEND, L"%ORV%\\old.txt");
    SetDlgItemTextW(first, IDC_TXTFILEFLAGS, L"ifexists;x.dll\r\nifexists;y.dll");
    CheckDlgButton(first, IDC_CHKFORCEMENURESTART, BST_CHECKED);
    const std::wstring built = build(first);
    ASSERT_NE(built, L"<no patch>");
    CloseMaker(first);

    HWND fresh = Show();
    ASSERT_TRUE(fresh);
    FileListData data({output}, false);
    DWORD effect = DROPEFFECT_COPY;
    FormDropTarget()->DragEnter(&data, MK_LBUTTON, OverControl(fresh, IDC_LABEL1), &effect);
    FormDropTarget()->Drop(&data, 0, OverControl(fresh, IDC_LABEL1), &effect);
    EXPECT_EQ(Text(fresh, IDC_TXTEXTRACTPATH), L"");
    const std::wstring rebuilt = build(fresh);
    CloseMaker(fresh);

    std::wstring expected = built;
    expected.replace(expected.find(L"<ExtractPath>OrvanaTools</ExtractPath>"), 38, L"<ExtractPath></ExtractPath>");
    // Only the update text is imported; the message table keeps its "\n" pairs.
    const size_t infoEnd = expected.find(L"</UpdateInfo>");
    for (size_t at = expected.find(L"<UpdateInfo>"); (at = expected.find(L"\\n", at)) < infoEnd;)
        expected.replace(at, 2, L"\r\n");
    EXPECT_EQ(rebuilt, expected);
    EXPECT_NE(rebuilt.find(L"<RunAfter>a.exe|b.exe</RunAfter>"), std::wstring::npos);
}

}  // namespace
}  // namespace frmMaker
