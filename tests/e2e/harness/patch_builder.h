// Patch files for end-to-end tests, made the way the maker makes them: the OVPatcher.exe under test, a 7z
// archive packed by the real 7z.exe, the descriptor, the marker.
//
//     e2e::Descriptor d;                                  // the typical multilingual patch (FR then EN)
//     d.ORVLang = L"FR";
//     d.Strings = e2e::TypicalStrings({{L"Title", L"Mon titre"}}, {});   // French override only
//     const std::string archive = e2e::MakeArchive({{L"OrvanaTools\\readme.txt", "new"}});
//     e2e::TempDir out;
//     const std::wstring patch = e2e::WritePatch(out.Path(L"orv patch.exe"), archive, d.Text());
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_launch_win.h"
#include "support/noise.h"

namespace e2e {

// Folder with the real 7z.exe and 7z.dll (OV_7Z_DIR).
std::wstring SevenZipFolder();
// The OVPatcher.exe under test: OV_PRODUCT_EXE (the shipped file where the tests are 32-bit), else
// the one in OV_BUILD_DIR.
std::wstring ProductExe();

// Message texts by key, as stored ("\n" as two characters).
using Texts = std::map<std::wstring, std::wstring>;

// The texts of the typical patch in one language.
Texts TypicalTexts(bool french);
// One TAB-indented language block: "\t<code>\r\n", "\t\t<Key>text</Key>\r\n" per key, "\t</code>\r\n".
std::wstring LanguageBlock(const std::wstring& code, const Texts& texts);
// Content of the typical Strings element: the FR block, then the EN block, each with `overrides` applied
// (an override with an empty key list changes nothing).
std::wstring TypicalStrings(const Texts& frOverrides = {}, const Texts& enOverrides = {});
// The typical update information: "<EN>...</EN>\r\n<FR>...</FR>".
std::wstring TypicalUpdateInfo();
std::wstring UpdateInfoEN();
std::wstring UpdateInfoFR();

// The descriptor's elements; the defaults are the typical patch's. Optional elements that are empty are
// not written, as the maker does.
struct Descriptor {
    std::wstring ExtractPath;
    std::wstring ORVVersion = L"5.8";
    std::wstring ORVPatchNeeded = L"20141104134857";
    std::wstring PatchVersion = L"20141114055922";
    std::wstring PatchLang;  // empty: "<PatchLang/>"
    std::wstring UpdateInfo = TypicalUpdateInfo();
    std::wstring ORVLang;
    bool ForceMenuRestart = false;
    std::wstring FileFlags;
    std::wstring RunAfter;
    std::wstring DelAfter;
    std::optional<std::wstring> Strings = TypicalStrings();  // nothing: no Strings element at all

    // The document as the maker writes it.
    std::wstring Text() const;
};

struct ArchiveFile {
    std::wstring path;  // relative, "\"-separated; an empty folder ends with "\"
    std::string bytes;
    DWORD attributes = 0;  // read-only, hidden, system: given to the file before the archiver adds it
};

// A 7z archive of `files`, packed by the real 7z.exe (OV_7Z_DIR); fails the test when it cannot.
// `switches` go to the archiver as they are (e.g. L"-pSecret -mhe=on").
std::string MakeArchive(const std::vector<ArchiveFile>& files, const std::wstring& switches = L"");
// `size` bytes that do not compress, the same in every run.
using testdata::Noise;

// Writes image + archive + descriptor (UTF-8) + marker to `patchPath` and returns that path. The image is
// the OVPatcher.exe under test unless `image` is given.
std::wstring WritePatch(const std::wstring& patchPath,
                        const std::string& archive,
                        const std::wstring& descriptor,
                        const std::optional<std::string>& image = std::nullopt);

// A fresh folder in the temporary folder, deleted with its content at the end.
class TempDir {
  public:
    explicit TempDir(const std::wstring& name = L"ov e2e");
    std::wstring Path(const std::wstring& relative) const { return folder_.path() + L"\\" + relative; }
    const std::wstring& path() const { return folder_.path(); }

  private:
    fakes::TempFolder folder_;
};

std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);

}  // namespace e2e
