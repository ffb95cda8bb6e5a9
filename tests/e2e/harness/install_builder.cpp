#include "e2e/harness/install_builder.h"

#include <gtest/gtest.h>

#include "e2e/harness/window_driver.h"

namespace e2e {

Installation::Installation() : Installation(Options()) {}

Installation::Installation(const Options& options) : folder_(options.folderName, options.parent) {
    if (options.orvanaExe)
        WriteBytes(L"Orvana.exe", "MZ stand-in for the suite's start program");
    fakes::MakeFolders(Path(L"OrvanaTools\\Installer"));
    if (options.archiver) {
        for (const wchar_t* name : {L"7z.exe", L"7z.dll"}) {
            EXPECT_TRUE(CopyFileW((SevenZipFolder() + L"\\" + name).c_str(),
                                  Path(std::wstring(L"OrvanaTools\\Installer\\") + name).c_str(), FALSE))
                << "cannot copy " << Utf8(name) << " from OV_7Z_DIR=" << Utf8(SevenZipFolder());
        }
    }
    if (options.versionFile)
        WriteText(L"OrvanaTools\\version.ver", *options.versionFile);
}

Installation::~Installation() {
    processes_.clear();
}

std::wstring Installation::VersionFileText(const std::wstring& version,
                                           const std::wstring& patch,
                                           const std::wstring& lang,
                                           const std::wstring& rootName) {
    return L"<" + rootName + L">\r\n\t<Version>" + version + L"</Version>\r\n\t<Patch>" + patch +
           L"</Patch>\r\n\t<Lang>" + lang + L"</Lang>\r\n</" + rootName + L">\r\n";
}

std::wstring Installation::Path(const std::wstring& relative) const {
    return relative.empty() ? root() : root() + L"\\" + relative;
}

bool Installation::Exists(const std::wstring& relative) const {
    return fakes::Exists(Path(relative));
}

void Installation::WriteBytes(const std::wstring& relative, const std::string& bytes) const {
    const std::wstring path = Path(relative);
    fakes::MakeFolders(fakes::ParentOf(path));
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot write " << Utf8(path);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    EXPECT_EQ(written, bytes.size());
}

void Installation::WriteText(const std::wstring& relative, const std::wstring& text) const {
    WriteBytes(relative, Utf8(text));
}

std::string Installation::ReadBytes(const std::wstring& relative) const {
    return ReadFileBytes(Path(relative));
}

std::wstring Installation::ReadText(const std::wstring& relative) const {
    return Wide(ReadBytes(relative));
}

void Installation::Remove(const std::wstring& relative) const {
    const std::wstring path = Path(relative);
    if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
        fakes::DeleteTree(path);
    else
        DeleteFileW(path.c_str());
}

fakes::FakeProcess& Installation::StartMenu(const std::wstring& args) {
    return StartFake(L"fake_menu", L"OrvanaTools\\OrvanaMenu\\OrvanaMenu.exe", args);
}

fakes::FakeProcess& Installation::StartFake(const std::wstring& fakeName,
                                            const std::wstring& relative,
                                            const std::wstring& args) {
    const std::wstring path = Path(relative);
    const std::wstring placed = fakes::PlaceFake(fakeName, fakes::ParentOf(path), path.substr(path.rfind(L'\\') + 1));
    EXPECT_TRUE(fakes::Exists(placed)) << "cannot place " << Utf8(fakeName) << " from " << Utf8(fakes::FakesFolder());
    processes_.push_back(std::make_unique<fakes::FakeProcess>());
    EXPECT_TRUE(processes_.back()->Start(placed, args)) << "cannot start " << Utf8(placed);
    return *processes_.back();
}

}  // namespace e2e
