#include "container/patch_container.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "patcher/typical_descriptor.h"

namespace {

using namespace mGlobal;

// Bytes that never form the marker, different at every offset so a wrong offset shows.
std::string Filler(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) % 251);
    }
    return bytes;
}

uint32_t LengthAt(const std::string& bytes, int64_t offset) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int32_t ErrorOf(const std::string& patch, int32_t blockIndex) {
    MemoryPatchSource source(patch);
    try {
        LocatePatchBlock(source, blockIndex);
    } catch (const SysError& e) {
        return e.number;
    }
    return 0;
}

TEST(PatchContainer, WorkedExampleLayout) {
    const std::string image = Filler(208896, 1);
    const std::string archive = Filler(35673, 2);
    const std::string descriptor = typical::Utf8(typical::Descriptor());
    ASSERT_EQ(descriptor.size(), 3454u);

    const PatchLayout layout = ComputePatchLayout(208896, 35673, 3454);
    EXPECT_EQ(layout.archiveOffset, 208896);
    EXPECT_EQ(layout.archiveLengthOffset, 244569);
    EXPECT_EQ(layout.descriptorOffset, 244573);
    EXPECT_EQ(layout.descriptorLengthOffset, 248027);
    EXPECT_EQ(layout.markerOffset, 248031);
    EXPECT_EQ(layout.fileSize, 248041);

    const std::string patch = BuildPatch(image, archive, descriptor);
    ASSERT_EQ(static_cast<int64_t>(patch.size()), layout.fileSize);
    EXPECT_EQ(LengthAt(patch, 244569), 35673u);
    EXPECT_EQ(patch.substr(244573, 3454), descriptor);
    EXPECT_EQ(patch.substr(248027, 4), std::string("\x7E\x0D\x00\x00", 4));
    EXPECT_EQ(patch.substr(248031), "OVPATCHEND");

    MemoryPatchSource source(patch);
    EXPECT_EQ(FindPatchMarker(source), std::optional<int64_t>(248027));
    const PatchBlock block1 = LocatePatchBlock(source, 1);
    EXPECT_EQ(block1.offset, 208896);
    EXPECT_EQ(block1.length, 35673);
    EXPECT_EQ(ReadPatchBlock(source, 1, 1 << 20), archive);
    EXPECT_EQ(ReadPatchBlock(source, 0, 1 << 20), descriptor);
}

TEST(PatchContainer, MarkerSearchWindow) {
    const std::string patch = BuildPatch(Filler(20000, 3), Filler(500, 4), "<ORVPatch></ORVPatch>\r\n");
    const int64_t field = static_cast<int64_t>(patch.size()) - 14;
    struct Case {
        const char* what;
        std::string bytes;
        std::optional<int64_t> field;
    };
    const Case cases[] = {
        {"ends with the marker", patch, field},
        {"signature of 10,230 bytes", patch + Filler(10230, 5), field},
        {"signature of 10,231 bytes", patch + Filler(10231, 5), std::nullopt},
        {"file shorter than the window", BuildPatch("MZ", "7z", "<ORVPatch/>"), 2 + 2 + 4 + 11},
        {"nothing but a length and the marker", std::string("\x01\0\0\0OVPATCHEND", 14), 0},
        {"marker with no room for its length", "xyzOVPATCHEND", std::nullopt},
        {"marker in other letter case", patch.substr(0, patch.size() - 10) + "OVPatchEnd", std::nullopt},
        {"marker cut short", patch.substr(0, patch.size() - 1), std::nullopt},
        {"shorter than the marker", "OVPATCH", std::nullopt},
        {"empty file", "", std::nullopt},
    };
    for (const Case& c : cases) {
        MemoryPatchSource source(c.bytes);
        EXPECT_EQ(FindPatchMarker(source), c.field) << c.what;
    }
}

TEST(PatchContainer, LastMarkerWins) {
    // The update information mentions the marker text.
    const std::wstring text = L"<ORVPatch><UpdateInfo>Ends with OVPATCHEND</UpdateInfo></ORVPatch>\r\n";
    const std::string descriptor = typical::Utf8(text);
    const std::string patch = BuildPatch(Filler(4000, 6), Filler(3000, 7), descriptor);
    MemoryPatchSource source(patch);
    EXPECT_EQ(ReadPatchBlock(source, 0, 1 << 20), descriptor);

    // A maker started from a patch carries the earlier payload and trailer inside its image.
    const std::string oldPatch = BuildPatch(Filler(9000, 8), Filler(2000, 9), "<ORVPatch>old</ORVPatch>\r\n");
    const std::string newArchive = Filler(1234, 10);
    const std::string newPatch = BuildPatch(oldPatch, newArchive, "<ORVPatch>new</ORVPatch>\r\n");
    MemoryPatchSource nested(newPatch);
    EXPECT_EQ(ReadPatchBlock(nested, 0, 1 << 20), "<ORVPatch>new</ORVPatch>\r\n");
    EXPECT_EQ(ReadPatchBlock(nested, 1, 1 << 20), newArchive);
    EXPECT_EQ(LocatePatchBlock(nested, 1).offset, static_cast<int64_t>(oldPatch.size()));
}

// A PE32 or PE32+ header whose security directory names `tableSize` bytes at `tableOffset`, then filler.
std::string PeImage(size_t size, bool pe32Plus, uint32_t tableOffset, uint32_t tableSize) {
    std::string image = Filler(size, 16);
    const size_t pe = 0x80;
    const size_t optional = pe + 24;
    const size_t directories = optional + (pe32Plus ? 112 : 96);
    image.replace(0, 2, "MZ");
    image.replace(0x3C, 4, LengthField(pe));
    image.replace(pe, 4, std::string("PE\0\0", 4));
    image.replace(pe + 20, 2, std::string(pe32Plus ? "\xF0\x00" : "\xE0\x00", 2));
    image.replace(optional, 2, std::string(pe32Plus ? "\x0B\x02" : "\x0B\x01", 2));
    image.replace(directories - 4, 4, LengthField(16));
    image.replace(directories + 4 * 8, 4, LengthField(tableOffset));
    image.replace(directories + 4 * 8 + 4, 4, LengthField(tableSize));
    return image;
}

TEST(PatchContainer, CertificateTableThatEndsTheFileIsNotSearched) {
    const std::string descriptor = "<ORVPatch>signed</ORVPatch>\r\n";
    const std::string archive = Filler(700, 17);
    // What someone could hide in the table's padding after signing: a trailer of its own.
    const std::string hidden = BuildPatch("", "bad", "<bad>");
    for (const bool pe32Plus : {false, true}) {
        for (const size_t padding : {0, 4}) {
            SCOPED_TRACE(std::string(pe32Plus ? "PE32+" : "PE32") + " with " + std::to_string(padding));
            const size_t unsignedSize = BuildPatch(PeImage(4096, pe32Plus, 0, 0), archive, descriptor).size();
            const std::string table = Filler(1000, 18) + hidden;
            const std::string patch = BuildPatch(PeImage(4096, pe32Plus, static_cast<uint32_t>(unsignedSize),
                                                         static_cast<uint32_t>(table.size())),
                                                 archive, descriptor) +
                                      table + std::string(padding, '\0');
            MemoryPatchSource source(patch);
            EXPECT_EQ(MarkerSearchEnd(source), static_cast<int64_t>(unsignedSize));
            EXPECT_EQ(ReadPatchBlock(source, 0, 1 << 20), descriptor);
            EXPECT_EQ(ReadPatchBlock(source, 1, 1 << 20), archive);
        }
    }

    // The maker copies a signed program whole: its table lies inside the image, and the trailer behind it
    // is found from the file's end as always.
    const std::string signedImage = PeImage(6000, false, 5000, 1000);
    const std::string built = BuildPatch(signedImage, archive, descriptor);
    MemoryPatchSource fromSigned(built);
    EXPECT_EQ(MarkerSearchEnd(fromSigned), static_cast<int64_t>(built.size()));
    EXPECT_EQ(ReadPatchBlock(fromSigned, 0, 1 << 20), descriptor);

    // A table that stops more than its alignment short of the end, or runs past it, is not the signature's.
    for (const int64_t shortBy : {8, -1}) {
        const std::string other = BuildPatch(PeImage(4096, false, 0, 0), archive, descriptor) + hidden;
        const std::string patch =
            PeImage(4096, false, 100, static_cast<uint32_t>(other.size() - 100 - shortBy)) + other.substr(4096);
        MemoryPatchSource source(patch);
        EXPECT_EQ(MarkerSearchEnd(source), static_cast<int64_t>(patch.size())) << shortBy;
    }
}

// Sets the 4-byte field at `offset` of `patch`.
std::string WithLength(std::string patch, int64_t offset, uint32_t value) {
    patch.replace(static_cast<size_t>(offset), 4, LengthField(value));
    return patch;
}

TEST(PatchContainer, DamagedLengthFieldsFailCleanly) {
    const std::string image = Filler(100, 11);
    const std::string patch = BuildPatch(image, Filler(50, 12), "<ORVPatch/>");
    const int64_t descriptorField = static_cast<int64_t>(patch.size()) - 14;
    const int64_t archiveField = descriptorField - 11 - 4;
    struct Case {
        const char* what;
        std::string bytes;
        int32_t blockIndex;
        int32_t error;
    };
    const Case cases[] = {
        {"descriptor length 0", WithLength(patch, descriptorField, 0), 0, kErrBadBlockLength},
        {"descriptor length negative", WithLength(patch, descriptorField, 0xFFFFFFFF), 0, kErrBadBlockLength},
        {"descriptor length of 2 GiB", WithLength(patch, descriptorField, 0x80000000), 0, kErrBadBlockLength},
        {"descriptor length near 2 GiB", WithLength(patch, descriptorField, 0x7FFFFFFF), 0, kErrBadBlockLength},
        {"descriptor one byte longer than the file before it",
         WithLength(patch, descriptorField, static_cast<uint32_t>(descriptorField + 1)), 0, kErrBadBlockLength},
        {"archive length 0", WithLength(patch, archiveField, 0), 1, kErrBadBlockLength},
        {"archive length past the file start", WithLength(patch, archiveField, 151), 1, kErrBadBlockLength},
        {"archive length field before the file start",
         WithLength(patch, descriptorField, static_cast<uint32_t>(descriptorField - 2)), 1, kErrBadBlockLength},
        {"negative block index", patch, -1, kErrBadBlockLength},
        {"no marker", patch.substr(0, patch.size() - 10), 0, kErrNoPatchMarker},
        // The whole file before the descriptor field is one block: valid, and so is an archive that
        // takes all of the image.
        {"descriptor spanning the file", WithLength(patch, descriptorField, static_cast<uint32_t>(descriptorField)), 0,
         0},
        {"archive spanning the image", WithLength(patch, archiveField, 150), 1, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf(c.bytes, c.blockIndex), c.error) << c.what;
    }
}

// A file of any size that holds zeros except for the bytes placed at its end.
class SparseSource final : public PatchSource {
  public:
    SparseSource(int64_t size, std::string tail) : size_(size), tail_(std::move(tail)) {}
    int64_t Size() override { return size_; }
    void ReadAt(int64_t offset, char* buffer, size_t count) override {
        ++reads;
        largestRead = std::max(largestRead, count);
        if (offset < 0 || offset + static_cast<int64_t>(count) > size_) {
            throw SysError{38, L"Reached the end of the file."};
        }
        const int64_t tailStart = size_ - static_cast<int64_t>(tail_.size());
        for (size_t i = 0; i < count; ++i) {
            const int64_t at = offset + static_cast<int64_t>(i);
            buffer[i] = at >= tailStart ? tail_[static_cast<size_t>(at - tailStart)] : '\0';
        }
        if (failAfterReads >= 0 && reads > failAfterReads) {
            throw SysError{23, L"Data error (cyclic redundancy check)."};
        }
    }
    int reads = 0;
    int failAfterReads = -1;
    size_t largestRead = 0;

  private:
    int64_t size_;
    std::string tail_;
};

TEST(PatchContainer, HugeClaimedLengthsAllocateNothing) {
    // A 3 GiB file whose descriptor claims 2 GiB - 16 bytes: the chain is consistent, but reading it into
    // memory is refused before any allocation.
    const int64_t size = int64_t{3} << 30;
    SparseSource source(size, LengthField(0x7FFFFFF0) + "OVPATCHEND");
    const PatchBlock block = LocatePatchBlock(source, 0);
    EXPECT_EQ(block.length, 0x7FFFFFF0);
    try {
        ReadPatchBlock(source, 0, 64 << 20);
        ADD_FAILURE() << "a 2 GiB descriptor was read";
    } catch (const SysError& e) {
        EXPECT_EQ(e.number, kErrBlockTooLarge);
    }
    EXPECT_LE(source.largestRead, static_cast<size_t>(kMarkerSearchWindow));
}

TEST(PatchContainer, CopyGoesInBoundedChunks) {
    const std::string archive = Filler(10000, 13);
    const std::string patch = BuildPatch(Filler(300, 14), archive, "<ORVPatch/>");
    MemoryPatchSource source(patch);
    const PatchBlock block = LocatePatchBlock(source, 1);

    std::vector<char> buffer(4096);
    std::string copied;
    size_t chunks = 0;
    EXPECT_TRUE(CopyPatchBlock(source, block, buffer.data(), buffer.size(), [&](const char* data, size_t count) {
        EXPECT_LE(count, 4096u);
        copied.append(data, count);
        ++chunks;
        return true;
    }));
    EXPECT_EQ(copied, archive);
    EXPECT_EQ(chunks, 3u);

    // A writer that gives up stops the copy.
    size_t calls = 0;
    EXPECT_FALSE(CopyPatchBlock(source, block, buffer.data(), buffer.size(), [&](const char*, size_t) {
        ++calls;
        return false;
    }));
    EXPECT_EQ(calls, 1u);
}

TEST(PatchContainer, ReadErrorDuringCopyReachesTheCaller) {
    SparseSource source(1 << 20, LengthField(100000) + Filler(20, 15) + LengthField(20) + "OVPATCHEND");
    const PatchBlock block = LocatePatchBlock(source, 1);
    source.failAfterReads = source.reads + 2;
    std::vector<char> buffer(16384);
    size_t written = 0;
    try {
        CopyPatchBlock(source, block, buffer.data(), buffer.size(), [&](const char*, size_t count) {
            written += count;
            return true;
        });
        ADD_FAILURE() << "the read error was lost";
    } catch (const SysError& e) {
        EXPECT_EQ(e.number, 23);
    }
    EXPECT_EQ(written, 2 * buffer.size());
}

// An output in memory that fails at the call it is told to, and says what was asked of it.
class ScriptedOutput final : public PatchOutput {
  public:
    std::string image = "MZ image", archive = "7z archive";
    int64_t archiveCount = -1;  // what CopyIn says it copied of the archive; -1: its real size
    std::string failAt;         // "create", "image", "archive", "append", "replace"
    std::string written, output = "older patch";
    std::vector<std::string> calls;

    void Create() override { Call("create"); }
    int64_t CopyIn(Step what) override {
        const bool isImage = what == Step::Image;
        Call(isImage ? "image" : "archive");
        written += isImage ? image : archive;
        return isImage || archiveCount < 0 ? static_cast<int64_t>((isImage ? image : archive).size()) : archiveCount;
    }
    void Append(std::string_view bytes) override {
        Call("append");
        written += bytes;
    }
    void Replace() override {
        Call("replace");
        output = written;
    }
    void Discard() noexcept override { calls.push_back("discard"); }

  private:
    void Call(const std::string& what) {
        calls.push_back(what);
        if (what == failAt)
            throw SysError{5, L"denied"};
    }
};

// The patch is written whole under a new name and only then takes the output's place; a failure at any step
// removes the new file and leaves the older patch as it was, saying where it stopped.
TEST(PatchContainer, WrittenBesideThenRenamedOverTheOutput) {
    using Step = PatchOutput::Step;
    ScriptedOutput whole;
    Step step = Step::Replace;
    ASSERT_TRUE(WritePatchFile(whole, "<ORVPatch/>", step));
    EXPECT_EQ(whole.output, BuildPatch(whole.image, whole.archive, "<ORVPatch/>"));
    EXPECT_EQ(whole.calls, (std::vector<std::string>{"create", "image", "archive", "append", "append", "replace"}));

    const struct {
        const char* failAt;
        Step step;
    } failures[] = {
        {"create", Step::Image},      {"image", Step::Image},     {"archive", Step::Archive},
        {"append", Step::Descriptor}, {"replace", Step::Replace},
    };
    for (const auto& f : failures) {
        ScriptedOutput out;
        out.failAt = f.failAt;
        EXPECT_THROW(WritePatchFile(out, "<ORVPatch/>", step), SysError) << f.failAt;
        EXPECT_EQ(step, f.step) << f.failAt;
        EXPECT_EQ(out.calls.back(), "discard") << f.failAt;
        EXPECT_EQ(out.output, "older patch") << f.failAt;
    }
    // An archive that grew past what its length field can say since it was checked.
    ScriptedOutput grown;
    grown.archiveCount = int64_t{INT32_MAX} + 1;
    EXPECT_FALSE(WritePatchFile(grown, "<ORVPatch/>", step));
    EXPECT_EQ(step, Step::Archive);
    EXPECT_EQ(grown.calls, (std::vector<std::string>{"create", "image", "archive", "discard"}));
    EXPECT_EQ(grown.output, "older patch");
}

}  // namespace
