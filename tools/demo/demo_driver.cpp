// The demo: a sample Orvana installation with its programs running, a patch built through the maker's
// window from an archive made on the spot, and that patch applied the way a user applies it. Prints what
// happened at each step and saves a picture of every window met.
//
// Environment: OV_DEMO_DIR (the demo folder, emptied first), plus what the tests get: OV_7Z_DIR and
// OV_BUILD_DIR (OVPatcher.exe, PatchLang.xml and fakes\ of the build whose programs run here).
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/harness/apply_support.h"
#include "e2e/harness/patch_builder.h"
#include "e2e/harness/window_driver.h"
#include "fakes/fake_launch_win.h"
#include "maker/frm_maker_ids.h"
#include "patcher/frm_main_ids.h"

namespace {

using e2e::Utf8;
using e2e::Wide;

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void Step(int n, const std::string& title) {
    Say("");
    Say(std::to_string(n) + ". " + title);
}

void Detail(const std::string& line) {
    Say("   " + line);
}

// Lines of a text for the account, indented, line ends dropped.
void Quote(std::wstring text, const std::string& indent = "     | ") {
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
        text.pop_back();
    std::wstring line;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == L'\n') {
            if (!line.empty() && line.back() == L'\r')
                line.pop_back();
            Say(indent + Utf8(line));
            line.clear();
        } else {
            line += text[i];
        }
    }
}

// ---------------------------------------------------------------------------------------------------------
// Pictures: the screen under the window, as the user sees it, saved as a BMP (the demo script turns them
// into PNG files).

bool SaveScreenshot(HWND window, const std::wstring& path) {
    if (!window || !IsWindow(window))
        return false;
    SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    Sleep(400);
    RECT r{};
    GetWindowRect(window, &r);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    if (width <= 0 || height <= 0)
        return false;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER header{};
    header.biSize = sizeof(header);
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    const DWORD stride = ((width * 3 + 3) / 4) * 4;
    std::string pixels(stride * height, '\0');
    GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(header);
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    std::string bytes(reinterpret_cast<const char*>(&file), sizeof(file));
    bytes.append(reinterpret_cast<const char*>(&header), sizeof(header));
    bytes += pixels;
    return e2e::WriteFileBytes(path, bytes);
}

// ---------------------------------------------------------------------------------------------------------
// The fakes' shared log.

struct Event {
    std::string exe;
    std::string pid;
    std::string what;
};

std::vector<Event> ReadEvents(const std::wstring& log) {
    std::vector<Event> events;
    for (const std::string& line : fakes::ReadLog(log)) {
        const size_t a = line.find(' ');
        const size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        if (b == std::string::npos)
            continue;
        events.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
    }
    return events;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// ---------------------------------------------------------------------------------------------------------
// Programs of the sample installation, restarted ones included, end with the demo.

void EndProgramsUnder(const std::wstring& folder) {
    std::vector<DWORD> ids(4096);
    DWORD bytes = 0;
    if (!EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes))
        return;
    ids.resize(bytes / sizeof(DWORD));
    const std::wstring prefix = folder + L"\\";
    for (DWORD id : ids) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (!process)
            continue;
        wchar_t path[32768];
        DWORD size = 32768;
        if (QueryFullProcessImageNameW(process, 0, path, &size) && size >= prefix.size() &&
            CompareStringOrdinal(path, static_cast<int>(prefix.size()), prefix.c_str(),
                                 static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL) {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, 5000);
        }
        CloseHandle(process);
    }
}

// ---------------------------------------------------------------------------------------------------------

struct Demo {
    std::wstring dir;    // the demo folder
    std::wstring root;   // the sample installation
    std::wstring makerDir;
    std::wstring log;
    int pictures = 0;

    std::wstring Path(const std::wstring& relative) const { return root + L"\\" + relative; }

    void Picture(HWND window, const std::wstring& name, const std::string& what) {
        const std::wstring path = dir + L"\\" + std::to_wstring(++pictures) + L"-" + name + L".bmp";
        if (SaveScreenshot(window, path))
            Detail("picture of " + what + ": " + Utf8(path.substr(dir.size() + 1)));
        else
            Detail("(no picture of " + what + ")");
    }
};

bool WriteText(const std::wstring& path, const std::string& text) {
    return e2e::WriteFileBytes(path, text);
}

std::wstring Place(const std::wstring& fake, const std::wstring& relativePath, const Demo& demo) {
    const std::wstring path = demo.Path(relativePath);
    return fakes::PlaceFake(fake, fakes::ParentOf(path), path.substr(path.rfind(L'\\') + 1));
}

TEST(Demo, MakeAndApplyAPatch) {
    Say("OVPatcher demo: a sample Orvana installation gets a patch built with the maker and applied by a user.");
    Demo demo;
    demo.dir = fakes::Env(L"OV_DEMO_DIR");
    ASSERT_FALSE(demo.dir.empty()) << "OV_DEMO_DIR is not set";
    fakes::DeleteTree(demo.dir + L"\\Orvana");
    fakes::DeleteTree(demo.dir + L"\\maker");
    fakes::DeleteTree(demo.dir + L"\\archive");
    fakes::MakeFolders(demo.dir);
    demo.root = demo.dir + L"\\Orvana";
    demo.makerDir = demo.dir + L"\\maker";
    demo.log = demo.dir + L"\\suite.log";
    DeleteFileW(demo.log.c_str());
    // Every program of the suite (and those the patcher restarts) writes what happens to it here.
    SetEnvironmentVariableW(L"OV_FAKE_LOG", demo.log.c_str());
    SetEnvironmentVariableW(L"OV_FAKE_LIFETIME_S", L"600");

    // ---------------------------------------------------------------------------------------------------
    Step(1, "A sample Orvana installation");
    fakes::MakeFolders(demo.root);
    Place(L"fake_tool", L"Orvana.exe", demo);
    fakes::MakeFolders(demo.Path(L"OrvanaTools\\Installer"));
    for (const wchar_t* name : {L"7z.exe", L"7z.dll"}) {
        ASSERT_TRUE(CopyFileW((e2e::SevenZipFolder() + L"\\" + name).c_str(),
                              demo.Path(std::wstring(L"OrvanaTools\\Installer\\") + name).c_str(), FALSE))
            << "cannot copy " << Utf8(name) << " from " << Utf8(e2e::SevenZipFolder());
    }
    const std::string versionBefore =
        "<OrvanaVersion>\r\n\t<Version>5.8</Version>\r\n\t<Patch>20141104134857</Patch>\r\n\t<Lang>en</Lang>\r\n"
        "</OrvanaVersion>\r\n";
    WriteText(demo.Path(L"OrvanaTools\\version.ver"), versionBefore);
    WriteText(demo.Path(L"version.txt"), "Orvana\r\nportable suite\r\n5.8\r\n");
    WriteText(demo.Path(L"OrvanaTools\\old_notes.txt"), "left over from 5.7\r\n");
    const std::vector<std::pair<std::wstring, std::wstring>> programs = {
        {L"fake_menu", L"OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe"},
        {L"fake_wrapper", L"OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe"},
        {L"fake_assoc", L"OrvanaTools\\OrvanaAssoc\\OrvanaAssoc.exe"},
        {L"fake_zet", L"OrvanaTools\\zet.exe"},
        {L"fake_tool", L"OrvanaTools\\Notes\\Notes.exe"},
    };
    for (const auto& [fake, relative] : programs)
        Place(fake, relative, demo);
    Detail("root " + Utf8(demo.root));
    Detail("Orvana.exe, version.txt, OrvanaTools\\version.ver (suite 5.8, patch 20141104134857, language en)");
    Detail("OrvanaTools\\Installer\\7z.exe and 7z.dll: the real 7-Zip");
    for (const auto& [fake, relative] : programs)
        Detail(Utf8(relative) + " (stand-in: " + Utf8(fake) + ")");
    Detail("OrvanaTools\\old_notes.txt, a file the patch will delete");

    // ---------------------------------------------------------------------------------------------------
    Step(2, "The suite is started from its menu's folder");
    std::vector<std::unique_ptr<fakes::FakeProcess>> running;
    for (const auto& [fake, relative] : programs) {
        running.push_back(std::make_unique<fakes::FakeProcess>());
        ASSERT_TRUE(running.back()->Start(demo.Path(relative))) << Utf8(relative);
        ASSERT_TRUE(fakes::WaitUntil([&] { return running.back()->HasLogged("ready"); }, 15000)) << Utf8(relative);
        Detail("running: " + Utf8(relative) + " (process " + std::to_string(running.back()->pid()) + ")");
    }

    // ---------------------------------------------------------------------------------------------------
    Step(3, "A sample archive, packed now with the real 7-Zip");
    const std::wstring fakeDir = fakes::FakesFolder();
    const std::string menuExe = e2e::ReadFileBytes(fakeDir + L"\\fake_menu.exe");
    const std::vector<e2e::ArchiveFile> files = {
        {L"OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe", menuExe},
        {L"OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe", e2e::ReadFileBytes(fakeDir + L"\\fake_wrapper.exe")},
        {L"OrvanaTools\\OrvanaAssoc\\OrvanaAssoc.exe", e2e::ReadFileBytes(fakeDir + L"\\fake_assoc.exe")},
        {L"OrvanaTools\\Installer\\post_install.exe", e2e::ReadFileBytes(fakeDir + L"\\fake_post.exe")},
        {L"OrvanaTools\\readme.txt", "Orvana 5.9: what is new\r\n"},
        {L"OrvanaTools\\Notes\\notes.ini", "[notes]\r\nonly where it already exists\r\n"},
    };
    const std::string archive = e2e::MakeArchive(files);
    ASSERT_FALSE(archive.empty());
    fakes::MakeFolders(demo.makerDir);
    const std::wstring archivePath = demo.makerDir + L"\\sample update.7z";
    ASSERT_TRUE(e2e::WriteFileBytes(archivePath, archive));
    Detail(Utf8(archivePath.substr(demo.dir.size() + 1)) + ", " + std::to_string(archive.size()) + " bytes:");
    for (const e2e::ArchiveFile& f : files)
        Detail("  " + Utf8(f.path) + " (" + std::to_string(f.bytes.size()) + " bytes)");

    // ---------------------------------------------------------------------------------------------------
    Step(4, "The maker builds the patch through its window");
    const std::wstring makerExe = demo.makerDir + L"\\OVPatchMaker.exe";
    const std::wstring product = e2e::ProductExe();
    ASSERT_TRUE(CopyFileW(product.c_str(), makerExe.c_str(), FALSE)) << Utf8(product);
    CopyFileW((fakes::ParentOf(product) + L"\\PatchLang.xml").c_str(), (demo.makerDir + L"\\PatchLang.xml").c_str(),
              FALSE);
    const std::wstring updateInfo =
        L"<EN>Orvana 5.9\\n- a new menu\\n- the wrapper and the file associations updated</EN>\r\n"
        L"<FR>Orvana 5.9\\n- un nouveau menu\\n- le wrapper et les associations de fichiers mis à jour</FR>";
    const std::wstring runAfter = L"\"%ORV%\\OrvanaTools\\Installer\\post_install.exe\" /from=demo";
    const std::wstring delAfter = L"%ORV%\\OrvanaTools\\old_notes.txt";
    const std::wstring fileFlags = L"ifexists;OrvanaTools\\Notes\\notes.ini";
    std::wstring patchPath;
    std::string makerNote;
    {
        e2e::Program maker;
        HWND window = nullptr;
        if (maker.Start(makerExe))
            window = maker.WaitForDialogWith(IDC_CMDMAKE, 20000);
        if (!window) {
            makerNote = "the maker's window did not open";
        } else {
            Detail("window \"" + Utf8(e2e::WindowText(window)) + "\"");
            Detail("it read the running suite's version from version.txt: " +
                   Utf8(e2e::Text(window, IDC_TXTORVVERSION)) + "; fresh patch identifier " +
                   Utf8(e2e::Text(window, IDC_TXTPATCHVERSION)));
            e2e::SetText(window, IDC_TXTUPDATEINFO, updateInfo);
            e2e::SetText(window, IDC_TXTORVVERSION, L"5.9");
            e2e::SetText(window, IDC_TXTMINPATCHNEEDED, L"20141104134857");
            e2e::SetText(window, IDC_TXTRUNATEND, runAfter);
            e2e::SetText(window, IDC_TXTDELATEND, delAfter);
            e2e::SetText(window, IDC_TXTFILEFLAGS, fileFlags);
            // One patch for every language of the suite.
            SendMessageW(e2e::Item(window, IDC_CHKLANGCHECK), BM_SETCHECK, BST_UNCHECKED, 0);
            e2e::SetText(window, IDC_TXTDATAFILE, archivePath);
            const std::wstring id = e2e::Text(window, IDC_TXTPATCHVERSION);
            Detail("typed: the archive, suite version 5.9, at least patch 20141104134857, update information in EN "
                   "and FR,");
            Detail("  run after extraction " + Utf8(runAfter) + ", delete " + Utf8(delAfter) + ",");
            Detail("  file flag " + Utf8(fileFlags) + "; no language restriction");
            const std::wstring output = demo.makerDir + L"\\orv_" + id + L"_MultiLng.exe";
            DeleteFileW(output.c_str());
            demo.Picture(window, L"maker", "the maker");
            if (!maker.WaitUntil([&] { return e2e::Enabled(window, IDC_CMDMAKE); }, "\"Créer le patch\" enabled",
                                 10000)) {
                makerNote = "\"Créer le patch\" stayed disabled";
            } else {
                Detail("pressed \"" + Utf8(e2e::Text(window, IDC_CMDMAKE)) + "\"");
                e2e::Press(window, IDC_CMDMAKE);
                const bool made = maker.WaitUntil(
                    [&] {
                        const std::string bytes = e2e::ReadFileBytes(output);
                        return bytes.size() > archive.size() && bytes.compare(bytes.size() - 10, 10, "OVPATCHEND") == 0 &&
                               !fakes::Exists(demo.makerDir + L"\\xml.tmp") &&
                               !fakes::Exists(demo.makerDir + L"\\data.tmp");
                    },
                    "the patch written", 30000);
                if (made) {
                    patchPath = output;
                    Detail("wrote " + Utf8(output.substr(demo.dir.size() + 1)) + ", " +
                           std::to_string(e2e::ReadFileBytes(output).size()) + " bytes (the program, the archive, "
                           "the descriptor, the marker)");
                } else {
                    makerNote = "no patch appeared beside the maker";
                }
            }
            if (maker.Running() && IsWindow(window)) {
                PostMessageW(e2e::Item(window, IDCANCEL), BM_CLICK, 0, 0);
                maker.WaitEnded(10000);
            }
        }
    }
    if (patchPath.empty()) {
        // The rest of the demo still shows the patcher, with the same patch written the maker's way.
        Detail("NOT AVAILABLE YET: " + makerNote + "; the patch is written by the test harness instead");
        e2e::Descriptor d;
        d.ORVVersion = L"5.9";
        d.PatchVersion = L"20261208000000";
        d.UpdateInfo = updateInfo;
        d.RunAfter = runAfter;
        d.DelAfter = delAfter;
        d.FileFlags = fileFlags;
        d.Strings = L"\r\n" + e2e::LanguageBlock(L"FR", e2e::TypicalTexts(true)) +
                    e2e::LanguageBlock(L"EN", e2e::TypicalTexts(false));
        patchPath = e2e::WritePatch(demo.makerDir + L"\\orv_" + d.PatchVersion + L"_MultiLng.exe", archive, d.Text());
        Detail("wrote " + Utf8(patchPath.substr(demo.dir.size() + 1)));
    }

    // ---------------------------------------------------------------------------------------------------
    Step(5, "The user starts the patch");
    e2e::Program patcher;
    ASSERT_TRUE(patcher.Start(patchPath));
    HWND main = patcher.WaitForDialogWith(IDC_CMDAPPLY, 30000);
    ASSERT_TRUE(main) << "the patcher's window did not open";
    ASSERT_TRUE(patcher.WaitUntil([&] { return IsWindowVisible(main) && e2e::Enabled(main, IDC_CMDAPPLY); },
                                  "the apply button enabled", 20000));
    Detail("window \"" + Utf8(e2e::WindowText(main)) + "\", in the user's language");
    Detail(Utf8(e2e::Text(main, IDC_LBLTITLE)));
    Detail(Utf8(e2e::Text(main, IDC_LBLFOUND)) + " " + Utf8(e2e::Text(main, IDC_LBLORVPATH)));
    Detail("(it found the installation from the running OrvanaMenu.exe, three folders below its root, and checked");
    Detail(" 7-Zip, version.ver, the language, the required patch 20141104134857 and that this patch is newer)");
    Detail("update information shown:");
    Quote(e2e::Text(main, IDC_TXTINFO));
    demo.Picture(main, L"patcher", "the patcher");

    // ---------------------------------------------------------------------------------------------------
    Step(6, "The user presses \"" + Utf8(e2e::Text(main, IDC_CMDAPPLY)) + "\", then OK");
    const size_t eventsBefore = ReadEvents(demo.log).size();
    // The work folder exists only while the apply runs, under a name chosen then (<temp>\<patch name>_<hex>):
    // look for it meanwhile, so that the account can say whether it is gone afterwards.
    std::wstring workFolder;
    std::atomic<bool> applying{true};
    std::thread watcher([&] {
        while (applying && workFolder.empty()) {
            const std::vector<std::wstring> folders = e2e::WorkFoldersOf(patchPath);
            if (!folders.empty())
                workFolder = folders.front();
            else
                Sleep(5);
        }
    });
    const auto started = std::chrono::steady_clock::now();
    e2e::Press(main, IDC_CMDAPPLY);
    const e2e::MessageBoxInfo box = patcher.WaitForMessageBox(120000);
    applying = false;
    watcher.join();
    ASSERT_TRUE(box.hwnd);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char took[64];
    std::snprintf(took, sizeof(took), "%.1f s", seconds);
    Detail("after " + std::string(took) + " the patcher says: \"" + Utf8(box.text) + "\"");
    demo.Picture(box.hwnd, L"done", "its last message");
    patcher.Answer(box, IDOK);
    EXPECT_TRUE(patcher.WaitEnded(20000));
    Detail("pressed OK; the patcher ended");

    // ---------------------------------------------------------------------------------------------------
    Step(7, "What the patcher did");
    // Restarted programs log their start a moment after the patcher ends.
    fakes::WaitUntil(
        [&] {
            int starts = 0;
            const std::vector<Event> all = ReadEvents(demo.log);
            for (size_t i = eventsBefore; i < all.size(); ++i)
                starts += all[i].what == "ready";
            return starts >= 4;
        },
        5000);
    const std::vector<Event> all = ReadEvents(demo.log);
    const std::vector<Event> during(all.begin() + static_cast<std::ptrdiff_t>(std::min(eventsBefore, all.size())),
                                    all.end());
    std::set<std::string> firstPids;
    for (size_t i = 0; i < eventsBefore && i < all.size(); ++i)
        firstPids.insert(all[i].pid);

    Detail("stopped:");
    for (const Event& e : during) {
        if (!firstPids.count(e.pid))
            continue;
        if (StartsWith(e.what, "WM_CLOSE") || StartsWith(e.what, "WM_COPYDATA") || e.what == "WM_QUIT")
            Detail("  " + e.exe + " received " + e.what);
        else if (StartsWith(e.what, "exit"))
            Detail("  " + e.exe + " ended");
    }
    for (size_t i = 0; i < programs.size(); ++i) {
        if (running[i]->Running())
            Detail("  left running: " + Utf8(programs[i].second));
    }

    Detail("extracted over the installation:");
    for (const e2e::ArchiveFile& f : files) {
        const std::string now = e2e::ReadFileBytes(demo.Path(f.path));
        const bool same = now == f.bytes;
        Detail("  " + Utf8(f.path) + (same ? "  (new content in place)" : now.empty() ? "  (not extracted)" : "  (old content)"));
    }
    Detail("  OrvanaTools\\Notes\\notes.ini was flagged \"ifexists\" and did not exist before, so it was left out");

    Detail("ran after extraction:");
    bool ranPost = false;
    for (const Event& e : during) {
        if (e.exe == "post_install.exe" && (StartsWith(e.what, "args") || StartsWith(e.what, "exit"))) {
            Detail("  post_install.exe " + e.what);
            ranPost = true;
        }
    }
    if (!ranPost)
        Detail("  (nothing: post_install.exe left no trace)");
    Detail(std::string("deleted at the end: OrvanaTools\\old_notes.txt ") +
           (fakes::Exists(demo.Path(L"OrvanaTools\\old_notes.txt")) ? "(STILL THERE)" : "(gone)"));

    Detail("OrvanaTools\\version.ver before:");
    Quote(Wide(versionBefore));
    Detail("and after:");
    Quote(Wide(e2e::ReadFileBytes(demo.Path(L"OrvanaTools\\version.ver"))));

    Detail("restarted:");
    bool restarted = false;
    for (const Event& e : during) {
        if (firstPids.count(e.pid) || e.exe == "post_install.exe" || !StartsWith(e.what, "args"))
            continue;
        Detail("  " + e.exe + " with arguments: " + (e.what.size() > 5 ? e.what.substr(5) : "(none)"));
        restarted = true;
    }
    if (!restarted)
        Detail("  (nothing)");
    if (workFolder.empty())
        Detail("work folder: not seen during the apply (looked for <temp>\\" + Utf8(patchPath.substr(patchPath.rfind(L'\\') + 1)) + " without .exe, \"_\", hex)");
    else
        Detail("work folder " + Utf8(workFolder) + (fakes::Exists(workFolder) ? " STILL THERE" : " removed"));
    const size_t leftWork = e2e::WorkFoldersOf(patchPath).size();
    if (leftWork)
        Detail("work folders of this patch left in the temporary folder: " + std::to_string(leftWork));
    Detail("the suite's own log of these events: " + Utf8(demo.log.substr(demo.dir.size() + 1)));

    // The demo's programs end with it.
    running.clear();
    EndProgramsUnder(demo.root);
}

// Only failures are printed: the account is the demo's output.
class FailurePrinter : public ::testing::EmptyTestEventListener {
    void OnTestPartResult(const ::testing::TestPartResult& result) override {
        if (result.failed())
            std::printf("\nDEMO STEP FAILED at %s:%d\n%s\n", result.file_name() ? result.file_name() : "?",
                        result.line_number(), result.message());
        std::fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new FailurePrinter);
    const int result = RUN_ALL_TESTS();
    Say(result == 0 ? "\nThe demo ran to its end." : "\nThe demo stopped at a failed step.");
    return result;
}
