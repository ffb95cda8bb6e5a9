#include "maker/patch_writer_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "container/patch_container.h"
#include "container/patch_file_win.h"
#include "maker/maker_test_support_win.h"
#include "support/archive_like.h"
#include "support/encoding_win.h"

namespace frmMaker {
namespace {

using makertest::BinaryBytes;
using makertest::Exists;

const std::wstring kLangFile = L"<messages>\r\n\t<FR>\r\n\t\t<Title>Mise à jour</Title>\r\n\t</FR>\r\n</messages>\r\n";

struct Bench {
    TestFolder dir{L"writer"};
    PatchJob job;
    std::string image;
    std::string archive;

    Bench() {
        // A maker started from a patch: the older payload rides inside the image.
        image = mGlobal::BuildPatch(BinaryBytes(4096, 1), BinaryBytes(700, 2),
                                    "<ORVPatch><PatchVersion>1</PatchVersion></ORVPatch>");
        archive = testdata::ArchiveLike(BinaryBytes(300000, 3));  // more than one copy chunk
        job.makerFolder = dir.path();
        job.imagePath = dir / L"OVPatchMaker.exe";
        job.archivePath = dir / L"data.7z";
        job.langFileText = kLangFile;
        job.settings.ORVVersion = L"5.8";
        job.settings.PatchVersion = L"20141114055922";
        job.settings.LangName = L"FR";
        job.settings.UpdateInfo = L"Corrigé\r\n<b>markup</b> stays";
        job.settings.RunAtEnd = L"%ORV%\\a.exe\r\n   \r\n%TMPFLD%\\b.exe";
        WriteBytes(job.imagePath, image);
        WriteBytes(job.archivePath, archive);
    }
    std::string Expected() const {
        return mGlobal::BuildPatch(image, archive, mUTF8::UTF8_Encode(BuildDescriptor(job.settings, kLangFile)));
    }
};

TEST(PatchWriter, WritesImageArchiveDescriptorAndMarkerAndNothingElse) {
    Bench b;
    // Files of the user's that happen to bear the names of the old work files.
    WriteBytes(b.dir / L"xml.tmp", "mine");
    WriteBytes(b.dir / L"data.tmp", "mine too");
    // And one with the name the new patch is first written under: passed by, never written over.
    WriteBytes(b.dir / L"orv_20141114055922_FR.exe.0.tmp", "mine as well");
    const PatchResult r = WritePatch(b.job);
    ASSERT_TRUE(r.ok) << std::string(r.message.begin(), r.message.end());
    EXPECT_EQ(ReadBytes(b.dir / L"orv_20141114055922_FR.exe.0.tmp"), "mine as well");
    EXPECT_EQ(r.outputPath, b.dir / L"orv_20141114055922_FR.exe");
    const std::string out = ReadBytes(r.outputPath);
    EXPECT_TRUE(out == b.Expected()) << out.size() << " vs " << b.Expected().size();
    EXPECT_EQ(out.substr(out.size() - 10), "OVPATCHEND");
    EXPECT_EQ(ReadBytes(b.dir / L"xml.tmp"), "mine");
    EXPECT_EQ(ReadBytes(b.dir / L"data.tmp"), "mine too");
    EXPECT_FALSE(r.signStarted);

    // The new blocks are found, not the older ones inside the image.
    std::wstring path = r.outputPath;
    auto node = mGlobal::ExtractPatchXML(0, path);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->ChildValue(L"PatchVersion"), L"20141114055922");
    EXPECT_EQ(node->ChildValue(L"RunAfter"), L"%ORV%\\a.exe|%TMPFLD%\\b.exe");
    EXPECT_EQ(node->ChildValue(L"UpdateInfo"), L"Corrigé\r\n<b>markup</b> stays");
    mGlobal::ExtractPatchData(b.dir / L"back.7z", 1, r.outputPath);
    EXPECT_TRUE(ReadBytes(b.dir / L"back.7z") == b.archive);
}

TEST(PatchWriter, BuildingAgainOverwritesTheEarlierOutput) {
    Bench b;
    b.job.settings.LangCheck = false;
    ASSERT_TRUE(WritePatch(b.job).ok);
    b.archive = testdata::ArchiveLike(BinaryBytes(1000, 9));
    WriteBytes(b.job.archivePath, b.archive);
    const PatchResult r = WritePatch(b.job);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.outputPath, b.dir / L"orv_20141114055922_MultiLng.exe");
    EXPECT_TRUE(ReadBytes(r.outputPath) == b.Expected());
}

TEST(PatchWriter, RefusesBeforeWritingWhenTheNameCannotBeUsed) {
    struct Case {
        std::wstring patchVersion;
        std::wstring archiveName;
        const wchar_t* says;
    } cases[] = {
        {L"2014/11/14", L"data.7z", L"n'est pas un nom de fichier valide"},
        {L"id?", L"data.7z", L"n'est pas un nom de fichier valide"},
        {L"self", L"data.7z", L"est le fichier de ce programme"},
        {L"arch", L"orv_arch_FR.exe", L"est le fichier de données"},
        {L"arch", L"sub\\..\\orv_arch_FR.exe", L"est le fichier de données"},  // as the copy would find it
        {L"empty", L"data.7z", L"le fichier de données est vide"},
        {L"text", L"GUIDE.txt", L"n'est pas une archive 7zip"},
        {L"torn", L"data.7z", L"est endommagé"},
        {L"50%", L"data.7z", L"n'est pas un nom de fichier valide"},
    };
    for (const auto& c : cases) {
        Bench b;
        b.job.settings.PatchVersion = c.patchVersion;
        b.job.archivePath = c.archiveName;  // relative: from the maker's folder
        if (c.patchVersion == L"empty")
            b.archive.clear();
        if (c.patchVersion == L"text")
            b.archive = "How to install the suite on a stick.\r\n";
        if (c.patchVersion == L"torn")
            b.archive[12] ^= 1;
        WriteBytes(b.dir / c.archiveName, b.archive);
        if (c.patchVersion == L"self") {
            b.job.imagePath = b.dir / L"orv_self_FR.exe";
            WriteBytes(b.job.imagePath, b.image);
        }
        const PatchResult r = WritePatch(b.job);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.message.find(c.says), std::wstring::npos) << c.patchVersion;
        EXPECT_TRUE(ReadBytes(b.job.imagePath) == b.image) << c.patchVersion;
        EXPECT_TRUE(ReadBytes(b.dir / c.archiveName) == b.archive) << c.patchVersion;
        if (c.patchVersion != L"self" && c.patchVersion != L"arch") {
            EXPECT_FALSE(Exists(b.dir / OutputFileName(c.patchVersion, L"FR", true))) << c.patchVersion;
        }
        EXPECT_FALSE(Exists(b.dir / L"xml.tmp"));
    }
}

// The names in `folder`, sorted as the system lists them.
std::vector<std::wstring> NamesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (std::wstring(fd.cFileName) != L"." && std::wstring(fd.cFileName) != L"..")
            names.push_back(fd.cFileName);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

// A build that fails part-way leaves the folder as it found it: an earlier patch of that name whole, no
// part of the new one under any name.
TEST(PatchWriter, FailurePartWayRemovesWhatItWroteAndOnlyThat) {
    for (const bool earlier : {false, true}) {
        Bench b;
        WriteBytes(b.dir / L"xml.tmp", "mine");
        WriteBytes(b.dir / L"data.tmp", "mine too");
        const std::wstring output = b.dir / L"orv_20141114055922_FR.exe";
        if (earlier)
            WriteBytes(output, "older patch");
        const std::vector<std::wstring> before = NamesIn(b.dir.path());
        b.job.archivePath = b.dir / L"vanished.7z";
        const PatchResult r = WritePatch(b.job);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.message.find(L"Impossible d'ajouter le fichier de données"), std::wstring::npos);
        EXPECT_EQ(ReadBytes(output), earlier ? "older patch" : "<missing>") << earlier;
        EXPECT_EQ(NamesIn(b.dir.path()), before) << earlier;
        EXPECT_EQ(ReadBytes(b.dir / L"xml.tmp"), "mine");
        EXPECT_EQ(ReadBytes(b.dir / L"data.tmp"), "mine too");
    }
}

// The archive is read from the path that enabled the make button: relative to the maker's folder, with
// "/", "." and ".." as the system reads them.
TEST(PatchWriter, TheArchiveUsedIsTheArchiveChecked) {
    for (const std::wstring& typed : {std::wstring(L"data.7z"), std::wstring(L"./sub/../data.7z")}) {
        Bench b;
        b.job.archivePath = typed;
        const PatchResult r = WritePatch(b.job);
        ASSERT_TRUE(r.ok) << std::string(r.message.begin(), r.message.end());
        EXPECT_TRUE(ReadBytes(r.outputPath) == b.Expected());
    }
    Bench b;
    std::wstring slashed = b.dir / L"data.7z";
    for (auto& c : slashed)
        c = c == L'\\' ? L'/' : c;
    b.job.archivePath = slashed;
    EXPECT_TRUE(WritePatch(b.job).ok);
}

// A maker kept on a read-only medium, or extracted from a read-only zip: its copy must not stay read-only.
TEST(PatchWriter, AReadOnlyImageGivesAWritablePatchBuildAfterBuild) {
    Bench b;
    ASSERT_TRUE(SetFileAttributesW(b.job.imagePath.c_str(), FILE_ATTRIBUTE_READONLY));
    for (int build = 0; build < 2; ++build) {
        const PatchResult r = WritePatch(b.job);
        ASSERT_TRUE(r.ok) << build << ": " << std::string(r.message.begin(), r.message.end());
        EXPECT_TRUE(ReadBytes(r.outputPath) == b.Expected());
        EXPECT_EQ(GetFileAttributesW(r.outputPath.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    }
    SetFileAttributesW(b.job.imagePath.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(PatchWriter, AnOutputInUseIsLeftAsItWas) {
    Bench b;
    const std::wstring output = b.dir / L"orv_20141114055922_FR.exe";
    WriteBytes(output, "older patch");
    HANDLE held = CreateFileW(output.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const PatchResult r = WritePatch(b.job);
    CloseHandle(held);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.message.find(L"Impossible de copier le programme"), std::wstring::npos);
    EXPECT_EQ(ReadBytes(output), "older patch");
}

TEST(PatchWriter, AddFileToFileAppendsWithAndWithoutTheLength) {
    TestFolder dir(L"append");
    const std::wstring out = dir / L"out.bin";
    const std::wstring add = dir / L"add.bin";
    const std::string big = BinaryBytes((256 << 10) * 2 + 17, 5);
    WriteBytes(add, big);
    AddFileToFile(out, add, true);  // creates the output
    WriteBytes(add, "");
    AddFileToFile(out, add, true);  // an empty file still gets its length
    WriteBytes(add, "tail");
    AddFileToFile(out, add, false);
    EXPECT_TRUE(ReadBytes(out) ==
                big + mGlobal::LengthField(static_cast<uint32_t>(big.size())) + std::string(4, '\0') + "tail");
    EXPECT_THROW(AddFileToFile(out, dir / L"missing.bin", true), SysError);
}

}  // namespace
}  // namespace frmMaker
