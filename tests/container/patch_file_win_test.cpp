#include "container/patch_file_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "patcher/typical_descriptor.h"
#include "support/file_io_win.h"
#include "support/file_system_win.h"
#include "support/trace.h"

namespace {

using namespace mGlobal;

std::string Filler(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) % 251);
    }
    return bytes;
}

class PatchFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static int serial = 0;
        folder_ = GetTempFolder() + L"ov_patch_file_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                  std::to_wstring(++serial);
        ASSERT_TRUE(MakePath(folder_));
    }
    void TearDown() override { KillFolder(folder_, true, nullptr, false); }

    std::wstring Write(const std::wstring& name, const std::string& bytes) {
        const std::wstring path = folder_ + L"\\" + name;
        EXPECT_TRUE(mStringTools::SaveFileBytes(path, bytes, false));
        return path;
    }
    static std::string Read(const std::wstring& path) { return mStringTools::LoadFileBinary(path); }

    std::wstring folder_;
};

TEST_F(PatchFileTest, ReadsTheDescriptorOfAPatch) {
    const std::string descriptor = typical::Utf8(typical::Descriptor());
    // Paths often hold characters outside the ANSI code page.
    std::wstring path =
        Write(L"orv_\u03a9\u0436_MultiLng.exe", BuildPatch(Filler(208896, 1), Filler(35673, 2), descriptor));
    const std::wstring given = path;
    TraceCapture trace;
    const std::optional<cXmlNode> node = ExtractPatchXML(0, path);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->Name(), L"ORVPatch");
    EXPECT_EQ(node->XmlData, typical::Descriptor());
    EXPECT_EQ(node->ChildValue(L"PatchVersion"), L"20141114055922");
    EXPECT_EQ(path, given);
    EXPECT_TRUE(trace.errors().empty());
}

TEST_F(PatchFileTest, DescriptorFailures) {
    const std::string good = BuildPatch("MZ", "7z", "<ORVPatch></ORVPatch>\r\n");
    std::string badLength = good;
    badLength[badLength.size() - 14] = 'x';
    badLength[badLength.size() - 13] = 'x';
    struct Case {
        const char* what;
        std::wstring path;
        std::wstring traced;  // empty: nothing traced
    };
    const Case cases[] = {
        {"missing file", folder_ + L"\\missing.exe", L""},
        {"folder", folder_, L""},
        {"not a patch", Write(L"plain.exe", Filler(50000, 3)),
         L"Erreur -2147221503 (Patch marker not found) dans Function mGlobal.ExtractPatchXML"},
        {"damaged length", Write(L"damaged.exe", badLength),
         L"Erreur -2147221502 (Invalid patch block length) dans Function mGlobal.ExtractPatchXML"},
    };
    for (const Case& c : cases) {
        TraceCapture trace;
        std::wstring path = c.path;
        EXPECT_FALSE(ExtractPatchXML(0, path).has_value()) << c.what;
        if (c.traced.empty()) {
            EXPECT_TRUE(trace.errors().empty()) << c.what;
        } else {
            EXPECT_EQ(trace.errors(), std::vector<std::wstring>{c.traced}) << c.what;
        }
    }
}

TEST_F(PatchFileTest, EmptyPathMeansTheProgramsOwnFile) {
    // This test program carries no patch, so there is no node, but the caller learns which file was read.
    TraceCapture trace;
    std::wstring path;
    EXPECT_FALSE(ExtractPatchXML(0, path).has_value());
    EXPECT_EQ(path, AppPath() + L"\\" + AppExeName() + L".exe");
    EXPECT_EQ(CompareStringOrdinal(path.c_str(), -1, AppExePath().c_str(), -1, TRUE), CSTR_EQUAL);
    ASSERT_EQ(trace.errors().size(), 1u);
}

TEST_F(PatchFileTest, CopiesTheArchiveExactly) {
    struct Case {
        const char* what;
        size_t archiveSize;
    };
    // The worked example's archive, and one that takes several chunks with a short last one.
    const Case cases[] = {{"35,673 bytes", 35673}, {"several chunks", 2 * kCopyChunkSize + 12345}};
    for (const Case& c : cases) {
        const std::string archive = Filler(c.archiveSize, 4);
        const std::wstring patch = Write(L"patch.exe", BuildPatch(Filler(208896, 5), archive, "<ORVPatch/>"));
        // An older, longer file in the way is replaced, not overwritten in place.
        const std::wstring destination = Write(L"patch.dat", Filler(c.archiveSize + 5000, 6));
        ExtractPatchData(destination, 1, patch);
        EXPECT_EQ(Read(destination), archive) << c.what;
    }
}

TEST_F(PatchFileTest, SourceFailuresLeaveTheDestinationAlone) {
    std::string badLength = BuildPatch("MZ", Filler(100, 7), "<ORVPatch/>");
    badLength.replace(badLength.size() - 14, 4, LengthField(0x7FFFFFFF));
    struct Case {
        const char* what;
        std::wstring source;
        int32_t error;
    };
    const Case cases[] = {
        {"missing source", folder_ + L"\\missing.exe", ERROR_FILE_NOT_FOUND},
        {"not a patch", Write(L"plain.exe", Filler(3000, 8)), kErrNoPatchMarker},
        {"length of 2 GiB", Write(L"claims.exe", badLength), kErrBadBlockLength},
    };
    for (const Case& c : cases) {
        const std::wstring destination = Write(L"patch.dat", "previous content");
        try {
            ExtractPatchData(destination, 1, c.source);
            ADD_FAILURE() << c.what << ": no error";
        } catch (const SysError& e) {
            EXPECT_EQ(e.number, c.error) << c.what;
        }
        EXPECT_EQ(Read(destination), "previous content") << c.what;
    }
}

// Gives out the bytes of a patch, then fails like a drive pulled out in the middle of the copy.
class FailingSource final : public PatchSource {
  public:
    explicit FailingSource(std::string bytes) : bytes_(std::move(bytes)), inner_(bytes_) {}
    int64_t Size() override { return inner_.Size(); }
    void ReadAt(int64_t offset, char* buffer, size_t count) override {
        if (count >= kCopyChunkSize && ++bigReads_ > 1) {
            throw SysError{ERROR_DEV_NOT_EXIST, L"The specified network resource or device is no longer available."};
        }
        inner_.ReadAt(offset, buffer, count);
    }

  private:
    std::string bytes_;
    MemoryPatchSource inner_;
    int bigReads_ = 0;
};

TEST_F(PatchFileTest, ReadFailureDuringCopyIsAnErrorAndLeavesNoHalfArchive) {
    std::string patch = BuildPatch("MZ", Filler(3 * kCopyChunkSize, 9), "<ORVPatch/>");
    FailingSource source(patch);
    const PatchBlock block = LocatePatchBlock(source, 1);
    const std::wstring destination = folder_ + L"\\patch.dat";
    try {
        WritePatchBlockToFile(source, block, destination);
        ADD_FAILURE() << "the read failure was lost";
    } catch (const SysError& e) {
        EXPECT_EQ(e.number, ERROR_DEV_NOT_EXIST);
    }
    EXPECT_FALSE(FileExists(destination));
}

// A destination that cannot be written is no read error: the caller hears what and why.
TEST_F(PatchFileTest, DestinationFailuresAreReturnedWithTheirReason) {
    const std::wstring patch = Write(L"patch.exe", BuildPatch("MZ", Filler(1000, 10), "<ORVPatch/>"));
    const std::wstring destination = folder_ + L"\\no such folder\\patch.dat";
    std::wstring problem;
    EXPECT_NO_THROW(problem = ExtractPatchData(destination, 1, patch));
    EXPECT_EQ(problem.rfind(L"cannot create " + destination + L": ", 0), 0u) << problem.c_str();
    EXPECT_GT(problem.size(), destination.size() + 16);
    EXPECT_EQ(ExtractPatchData(folder_ + L"\\patch.dat", 1, patch), L"");
}

}  // namespace
