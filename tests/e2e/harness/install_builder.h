// A throw-away Orvana installation in the temporary folder, removed with everything in it (after its
// running fakes are ended) when the object goes:
//
//     <root>\Orvana.exe
//     <root>\OrvanaTools\Installer\7z.exe, 7z.dll      the real archiver, from OV_7Z_DIR
//     <root>\OrvanaTools\version.ver                   VersionFileText(...) unless told otherwise
//     <root>\OrvanaTools\OrvanaMenu\OrvanaMenu.exe     the fake menu, copied by StartMenu()
//
//     e2e::Installation orvana;                         // folder name with a blank and non-ANSI letters
//     orvana.WriteText(L"OrvanaTools\\version.ver", e2e::Installation::VersionFileText(L"5.8", L"2014...", L"en"));
//     fakes::FakeProcess& menu = orvana.StartMenu();    // runs from the installation, logs beside itself
//     ...
//     EXPECT_TRUE(orvana.Exists(L"OrvanaTools\\OrvanaMenu\\data\\patch_close"));
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e/harness/patch_builder.h"
#include "fakes/fake_launch_win.h"

namespace e2e {

class Installation {
  public:
    struct Options {
        // Last component of the root folder; the blank and the letters outside the ANSI code page catch
        // paths that lose characters or split at blanks.
        std::wstring folderName = L"Orvana \u00e9t\u00e9 \u0416";
        // The folder that holds it (such as "E:" for pictures); empty for a temporary one.
        std::wstring parent;
        bool orvanaExe = true;
        bool archiver = true;
        // Content of version.ver; nothing means no file.
        std::optional<std::wstring> versionFile = VersionFileText();
    };

    Installation();
    explicit Installation(const Options& options);
    ~Installation();
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    // A version file as the suite writes it (UTF-8, CR LF, TAB-indented children).
    static std::wstring VersionFileText(const std::wstring& version = L"5.8",
                                        const std::wstring& patch = L"20141104134857",
                                        const std::wstring& lang = L"fr",
                                        const std::wstring& rootName = L"OrvanaVersion");

    // The root folder, no trailing backslash.
    const std::wstring& root() const { return folder_.path(); }
    // root + "\" + relative
    std::wstring Path(const std::wstring& relative) const;

    bool Exists(const std::wstring& relative) const;
    void WriteBytes(const std::wstring& relative, const std::string& bytes) const;
    // Written as UTF-8 without byte-order mark.
    void WriteText(const std::wstring& relative, const std::wstring& text) const;
    std::string ReadBytes(const std::wstring& relative) const;
    std::wstring ReadText(const std::wstring& relative) const;
    void Remove(const std::wstring& relative) const;

    // Copies the fake menu to OrvanaTools\OrvanaMenu\OrvanaMenu.exe and starts it from there.
    fakes::FakeProcess& StartMenu(const std::wstring& args = L"");
    // Copies fake `fakeName` (e.g. L"fake_wrapper") to `relative` (e.g.
    // L"OrvanaTools\\OrvanaWrapper\\OrvanaWrapper.exe") and starts it.
    fakes::FakeProcess& StartFake(const std::wstring& fakeName,
                                  const std::wstring& relative,
                                  const std::wstring& args = L"");

  private:
    fakes::TempFolder folder_;
    // Declared after the folder: ended before it is deleted.
    std::vector<std::unique_ptr<fakes::FakeProcess>> processes_;
};

}  // namespace e2e
