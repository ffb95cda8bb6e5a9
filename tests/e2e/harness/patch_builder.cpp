#include "e2e/harness/patch_builder.h"

#include <gtest/gtest.h>

#include "container/patch_container.h"
#include "e2e/harness/window_driver.h"
#include "patcher/typical_descriptor.h"

namespace e2e {

namespace {

std::wstring XmlCode(const std::wstring& name, const std::wstring& value) {
    return L"<" + name + L">" + value + L"</" + name + L">\r\n";
}

}  // namespace

std::wstring SevenZipFolder() {
    return fakes::Env(L"OV_7Z_DIR");
}

std::wstring ProductExe() {
    const std::wstring product = fakes::Env(L"OV_PRODUCT_EXE");
    return product.empty() ? fakes::Env(L"OV_BUILD_DIR") + L"\\OVPatcher.exe" : product;
}

Texts TypicalTexts(bool french) {
    Texts texts;
    for (const typical::Message& m : typical::Messages())
        texts[m.key] = french ? m.fr : m.en;
    return texts;
}

std::wstring LanguageBlock(const std::wstring& code, const Texts& texts) {
    // In the order of the typical table, then any extra keys.
    std::wstring block = L"\t<" + code + L">\r\n";
    Texts rest = texts;
    for (const typical::Message& m : typical::Messages()) {
        const auto it = rest.find(m.key);
        if (it == rest.end())
            continue;
        block += L"\t\t" + XmlCode(it->first, it->second);
        rest.erase(it);
    }
    for (const auto& [key, text] : rest)
        block += L"\t\t" + XmlCode(key, text);
    return block + L"\t</" + code + L">\r\n";
}

std::wstring TypicalStrings(const Texts& frOverrides, const Texts& enOverrides) {
    Texts fr = TypicalTexts(true);
    Texts en = TypicalTexts(false);
    for (const auto& [key, text] : frOverrides)
        fr[key] = text;
    for (const auto& [key, text] : enOverrides)
        en[key] = text;
    return L"\r\n" + LanguageBlock(L"FR", fr) + LanguageBlock(L"EN", en);
}

std::wstring UpdateInfoEN() {
    return typical::UpdateInfoEN();
}

std::wstring UpdateInfoFR() {
    return typical::UpdateInfoFR();
}

std::wstring TypicalUpdateInfo() {
    return L"<EN>" + UpdateInfoEN() + L"</EN>\r\n<FR>" + UpdateInfoFR() + L"</FR>";
}

std::wstring Descriptor::Text() const {
    std::wstring body = XmlCode(L"ExtractPath", ExtractPath) + XmlCode(L"ORVVersion", ORVVersion) +
                        XmlCode(L"ORVPatchNeeded", ORVPatchNeeded) + XmlCode(L"PatchVersion", PatchVersion);
    body += PatchLang.empty() ? L"<PatchLang/>" : XmlCode(L"PatchLang", PatchLang);
    body += XmlCode(L"UpdateInfo", UpdateInfo);
    if (!ORVLang.empty())
        body += XmlCode(L"ORVLang", ORVLang);
    if (ForceMenuRestart)
        body += XmlCode(L"ForceMenuRestart", L"1");
    if (!FileFlags.empty())
        body += XmlCode(L"FileFlags", FileFlags);
    if (!RunAfter.empty())
        body += XmlCode(L"RunAfter", RunAfter);
    if (!DelAfter.empty())
        body += XmlCode(L"DelAfter", DelAfter);
    if (Strings)
        body += XmlCode(L"Strings", *Strings);
    return L"<ORVPatch>" + body + L"</ORVPatch>\r\n";
}

TempDir::TempDir(const std::wstring& name) : folder_(name) {}

std::string ReadFileBytes(const std::wstring& path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    fakes::MakeFolders(fakes::ParentOf(path));
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

std::string MakeArchive(const std::vector<ArchiveFile>& files, const std::wstring& switches) {
    TempDir work(L"ov archive");
    const std::wstring staging = work.Path(L"files");
    fakes::MakeFolders(staging);
    for (const ArchiveFile& f : files) {
        if (!f.path.empty() && f.path.back() == L'\\')
            fakes::MakeFolders(staging + L"\\" + f.path.substr(0, f.path.size() - 1));
        else
            EXPECT_TRUE(WriteFileBytes(staging + L"\\" + f.path, f.bytes)) << "cannot stage " << Utf8(f.path);
        if (f.attributes) {
            EXPECT_TRUE(SetFileAttributesW((staging + L"\\" + f.path).c_str(), f.attributes)) << Utf8(f.path);
        }
    }
    const std::wstring archive = work.Path(L"patch.7z");
    const std::wstring exe = SevenZipFolder() + L"\\7z.exe";
    std::wstring commandLine = L"\"" + exe + L"\" a -t7z -y -bd -bso0 -bsp0 " + switches + L" \"" + archive + L"\" *";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        staging.c_str(), &si, &pi)) {
        ADD_FAILURE() << "cannot start " << Utf8(exe) << ": error " << GetLastError();
        return {};
    }
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    EXPECT_EQ(code, 0u) << "7z.exe could not pack the archive";
    const std::string bytes = ReadFileBytes(archive);
    EXPECT_FALSE(bytes.empty()) << "no archive written";
    return bytes;
}

std::wstring WritePatch(const std::wstring& patchPath,
                        const std::string& archive,
                        const std::wstring& descriptor,
                        const std::optional<std::string>& image) {
    const std::string program = image ? *image : ReadFileBytes(ProductExe());
    EXPECT_FALSE(program.empty()) << "no program image at " << Utf8(ProductExe());
    EXPECT_TRUE(WriteFileBytes(patchPath, mGlobal::BuildPatch(program, archive, Utf8(descriptor))))
        << "cannot write " << Utf8(patchPath);
    return patchPath;
}

}  // namespace e2e
