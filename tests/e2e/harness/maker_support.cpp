#include "e2e/harness/maker_support.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include "container/patch_container.h"
#include "maker/frm_maker_ids.h"
#include "support/encoding_win.h"
#include "support/file_io_win.h"

namespace e2e {

MakerFolder::MakerFolder(const std::string& image, const std::wstring& exeName)
    : dir_(L"ov maker \u00e9t\u00e9"), exeName_(exeName) {
    const std::wstring product = ProductExe();
    const std::wstring build = product.substr(0, product.find_last_of(L'\\'));
    EXPECT_TRUE(WriteFileBytes(Exe(), image.empty() ? ReadFileBytes(product) : image));
    EXPECT_TRUE(WriteFileBytes(Path(L"PatchLang.xml"), ReadFileBytes(build + L"\\PatchLang.xml")));
}

std::wstring MakerFolder::LangFileText() const {
    return mStringTools::LoadTextFile(Path(L"PatchLang.xml"));
}

HWND StartMaker(Program& maker, const std::wstring& exe, const std::wstring& args, const EnvVars& env) {
    if (!maker.Start(exe, args, env)) {
        ADD_FAILURE() << "cannot start " << Utf8(exe);
        return nullptr;
    }
    return maker.WaitForDialogWith(IDC_CMDMAKE);
}

namespace {
void SetCheck(HWND window, int id, bool on) {
    SendMessageW(Item(window, id), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}
}  // namespace

void FillMaker(HWND window,
               const frmMaker::MakerSettings& s,
               const std::wstring& archivePath,
               const std::wstring& langFileText) {
    EXPECT_TRUE(SetText(window, IDC_TXTEXTRACTPATH, s.ExtractPath));
    EXPECT_TRUE(SetText(window, IDC_TXTUPDATEINFO, s.UpdateInfo));
    EXPECT_TRUE(SetText(window, IDC_TXTORVVERSION, s.ORVVersion));
    HWND list = Item(window, IDC_CMBLANGID);
    // The list holds the language file's blocks in their order.
    const int32_t entry = frmMaker::FindLanguageEntry(frmMaker::ListLanguages(langFileText), s.LangName);
    EXPECT_GE(entry, 0) << Utf8(s.LangName);
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(entry), 0);
    SetCheck(window, IDC_CHKLANGCHECK, s.LangCheck);
    EXPECT_TRUE(SetText(window, IDC_TXTMINPATCHNEEDED, s.MinPatchNeeded));
    EXPECT_TRUE(SetText(window, IDC_TXTPATCHVERSION, s.PatchVersion));
    EXPECT_TRUE(SetText(window, IDC_TXTRUNATEND, s.RunAtEnd));
    EXPECT_TRUE(SetText(window, IDC_TXTDELATEND, s.DelAtEnd));
    EXPECT_TRUE(SetText(window, IDC_TXTFILEFLAGS, s.FileFlags));
    SetCheck(window, IDC_CHKFORCEMENURESTART, s.ForceMenuRestart);
    // Last, so that the make button is judged with the version already in place.
    EXPECT_TRUE(SetText(window, IDC_TXTDATAFILE, archivePath));
}

std::string ExpectedPatch(const std::string& image,
                          const std::string& archive,
                          const frmMaker::MakerSettings& s,
                          const std::wstring& langFileText) {
    return mGlobal::BuildPatch(image, archive, mUTF8::UTF8_Encode(frmMaker::BuildDescriptor(s, langFileText)));
}

bool MakeAndWait(Program& maker, HWND window, const std::wstring& folder, const std::wstring& output, size_t size) {
    if (!maker.WaitUntil([&] { return Enabled(window, IDC_CMDMAKE); }, "the make button enabled"))
        return false;
    Press(window, IDC_CMDMAKE);
    return maker.WaitUntil(
        [&] {
            WIN32_FILE_ATTRIBUTE_DATA data{};
            if (!GetFileAttributesExW(output.c_str(), GetFileExInfoStandard, &data))
                return false;
            return data.nFileSizeLow == size &&
                   GetFileAttributesW((folder + L"\\xml.tmp").c_str()) == INVALID_FILE_ATTRIBUTES &&
                   GetFileAttributesW((folder + L"\\data.tmp").c_str()) == INVALID_FILE_ATTRIBUTES;
        },
        "the patch written");
}

namespace {
// One "name = value" line per line of the field.
std::string SettingLines(const char* name, const std::wstring& value) {
    std::string lines;
    for (const std::wstring& line : frmMaker::SplitCrLf(value))
        lines += std::string(name) + " = " + Utf8(line) + "\n";
    return value.empty() ? std::string() : lines;
}
}  // namespace

void KeepForCommandLine(const MakerFolder& folder, const std::wstring& output, const frmMaker::MakerSettings& s) {
    const std::wstring keep = fakes::Env(L"OV_BUILD_DIR") + L"\\ovpatch_same";
    SHFILEOPSTRUCTW remove{};
    const std::wstring from = keep + L'\0';
    remove.wFunc = FO_DELETE;
    remove.pFrom = from.c_str();
    remove.fFlags = FOF_NO_UI;
    SHFileOperationW(&remove);
    CreateDirectoryW(keep.c_str(), nullptr);
    CreateDirectoryW((keep + L"\\maker").c_str(), nullptr);
    EXPECT_TRUE(WriteFileBytes(keep + L"\\OVPatchMaker.exe", folder.ExeBytes()));
    for (const wchar_t* name : {L"data.7z", L"PatchLang.xml"})
        EXPECT_TRUE(WriteFileBytes(keep + L"\\" + name, ReadFileBytes(folder.Path(name)))) << Utf8(name);
    EXPECT_TRUE(
        WriteFileBytes(keep + L"\\maker\\" + output.substr(output.find_last_of(L'\\') + 1), ReadFileBytes(output)));
    const std::string settings =
        SettingLines("extract-path", s.ExtractPath) + SettingLines("suite-version", s.ORVVersion) +
        SettingLines("min-patch", s.MinPatchNeeded) + SettingLines("patch-version", s.PatchVersion) +
        SettingLines("lang", s.LangName) + "lang-check = " + (s.LangCheck ? "yes" : "no") + "\n" +
        SettingLines("update-info", s.UpdateInfo) + SettingLines("run-after", s.RunAtEnd) +
        SettingLines("delete-after", s.DelAtEnd) + SettingLines("file-flag", s.FileFlags) +
        "force-menu-restart = " + (s.ForceMenuRestart ? "yes" : "no") + "\n";
    EXPECT_TRUE(WriteFileBytes(keep + L"\\settings.conf", settings));
}

}  // namespace e2e
