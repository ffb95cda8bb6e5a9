// What the maker tests need beside the common harness: a maker folder holding a copy of the program
// named OVPatchMaker.exe with the shipped language file, the maker started from it, and the bytes a
// build must produce.
//
//     e2e::MakerFolder folder;                       // OVPatchMaker.exe + PatchLang.xml
//     e2e::Program maker;
//     HWND window = e2e::StartMaker(maker, folder.Exe());
//     e2e::FillMaker(window, settings, folder.Path(L"data.7z"), folder.LangFileText());
//     e2e::Press(window, IDC_CMDMAKE);
#pragma once

#include <windows.h>

#include <string>

#include "e2e/harness/patch_builder.h"
#include "e2e/harness/window_driver.h"
#include "maker/descriptor_builder.h"

namespace e2e {

class MakerFolder {
  public:
    // `image`: the program file to put there (the OVPatcher.exe under test when empty).
    explicit MakerFolder(const std::string& image = {}, const std::wstring& exeName = L"OVPatchMaker.exe");
    std::wstring Path(const std::wstring& name) const { return dir_.Path(name); }
    const std::wstring& path() const { return dir_.path(); }
    std::wstring Exe() const { return Path(exeName_); }
    std::string ExeBytes() const { return ReadFileBytes(Exe()); }
    // The language file beside the program, as text.
    std::wstring LangFileText() const;

  private:
    TempDir dir_;
    std::wstring exeName_;
};

// Starts the maker and waits for its window.
HWND StartMaker(Program& maker, const std::wstring& exe, const std::wstring& args = L"", const EnvVars& env = {});

// Sets every field from `s` (the archive path too), as a person would type and tick them.
void FillMaker(HWND window,
               const frmMaker::MakerSettings& s,
               const std::wstring& archivePath,
               const std::wstring& langFileText);

// The patch the maker must write for these fields.
std::string ExpectedPatch(const std::string& image,
                          const std::string& archive,
                          const frmMaker::MakerSettings& s,
                          const std::wstring& langFileText);

// Presses "Créer le patch" and waits until `output` holds `size` bytes and the work files are gone.
bool MakeAndWait(Program& maker, HWND window, const std::wstring& folder, const std::wstring& output, size_t size);

// Leaves what the maker used and wrote in OV_BUILD_DIR\ovpatch_same (image, archive, language file, a
// settings file for ovpatch, and the maker's patch under maker\), for the native test that builds the same
// patch with ovpatch and compares the two.
void KeepForCommandLine(const MakerFolder& folder, const std::wstring& output, const frmMaker::MakerSettings& s);

}  // namespace e2e
