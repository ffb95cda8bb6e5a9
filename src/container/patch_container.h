// Layout of a patch: the program image, then blocks read backwards from a marker near the end of the file.
//
//   image | block 1 (archive) | u32 length | block 0 (descriptor) | u32 length | "OVPATCHEND" | signature...
//
// Everything here works over bytes through PatchSource, so the shell supplies file reads and the tests
// and fuzz targets supply memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "support/sys_error.h"

namespace mGlobal {

inline constexpr std::string_view kPatchMarker = "OVPATCHEND";
// The marker must lie within this many bytes from the end; a signature appended later fits behind it.
inline constexpr int64_t kMarkerSearchWindow = 10240;

// The descriptor is read into memory whole; no real one comes near this.
inline constexpr int64_t kMaxInMemoryBlock = 64 << 20;

inline constexpr int32_t kErrNoPatchMarker = kErrOffset + 1;
inline constexpr int32_t kErrBadBlockLength = kErrOffset + 2;
inline constexpr int32_t kErrBlockTooLarge = kErrOffset + 3;

// Random access to the bytes of a patch file.
class PatchSource {
  public:
    virtual ~PatchSource() = default;
    virtual int64_t Size() = 0;
    // Fills `buffer` with exactly `count` bytes from `offset`; throws SysError when it cannot.
    virtual void ReadAt(int64_t offset, char* buffer, size_t count) = 0;
};

class MemoryPatchSource final : public PatchSource {
  public:
    explicit MemoryPatchSource(std::string_view bytes) : bytes_(bytes) {}
    int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }
    void ReadAt(int64_t offset, char* buffer, size_t count) override;

  private:
    std::string_view bytes_;
};

// `window` holds the min(windowEnd, kMarkerSearchWindow) bytes of the file that end at `windowEnd`. Returns
// the file offset of the descriptor length field (4 bytes before the last marker in the window), or
// nothing when there is no marker with room for that field before it.
std::optional<int64_t> FindMarkerInWindow(std::string_view window, int64_t windowEnd);

// Where the marker search window ends: the file's end, or, when the image's security directory names a
// certificate table that ends the file (up to its 8-byte alignment), the start of that table. A
// signature does not cover its own table, so anything found in there could have been put in after
// signing; a table inside the image (a patch made from a signed program) is covered and changes nothing.
int64_t MarkerSearchEnd(PatchSource& source);

// Reads the search window that ends at MarkerSearchEnd and looks for the marker in it. Every reader of
// a patch goes through here.
std::optional<int64_t> FindPatchMarker(PatchSource& source);

struct PatchBlock {
    int64_t offset = 0;
    int64_t length = 0;
};

// Follows the length fields back from the marker to block `blockIndex` (0 descriptor, 1 archive). Every
// length is checked against the bytes that lie before it, so nothing is ever sized from an unchecked
// field. Throws SysError (kErrNoPatchMarker, kErrBadBlockLength, or the source's read error).
PatchBlock LocatePatchBlock(PatchSource& source, int32_t blockIndex);

// Reads block `blockIndex` into memory in one piece; blocks longer than `maxLength` are refused
// (kErrBlockTooLarge) before anything is allocated.
std::string ReadPatchBlock(PatchSource& source, int32_t blockIndex, int64_t maxLength);

// Copies `block` through `buffer` in chunks of at most `bufferSize` bytes, handing each to `write`. A read
// error is thrown to the caller; when `write` returns false the copy stops and the result is false.
bool CopyPatchBlock(PatchSource& source,
                    const PatchBlock& block,
                    char* buffer,
                    size_t bufferSize,
                    const std::function<bool(const char* data, size_t count)>& write);

// Writer pieces.

// `length` as the 4-byte little-endian field that follows every block.
std::string LengthField(uint32_t length);

// Appends a block followed by its length field.
void AppendBlock(std::string& out, std::string_view block);

// What follows the archive block: the descriptor, its length field and the marker.
std::string DescriptorTrailer(std::string_view descriptor);

// A whole patch in memory: image, archive block, descriptor block, marker.
std::string BuildPatch(std::string_view image, std::string_view archive, std::string_view descriptor);

// A patch file is written under a new name beside the output and renamed over it only once it is whole, so
// that a build that fails or is cut short leaves no part of a patch and never costs one already there. The
// shell gives the file calls; each throws its own error.
class PatchOutput {
  public:
    // Where the writing is, for the words of a failure: the new file is made as the image goes in.
    enum class Step { Image, Archive, Descriptor, Replace };
    // A new, empty file of the writer's own beside the output.
    virtual void Create() = 0;
    // Appends the program image or the archive to the new file; the count of bytes copied.
    virtual int64_t CopyIn(Step what) = 0;
    virtual void Append(std::string_view bytes) = 0;
    // The new file written through to the disk and closed, then renamed over the output.
    virtual void Replace() = 0;
    // The new file removed, in whatever state it is.
    virtual void Discard() noexcept = 0;

  protected:
    ~PatchOutput() = default;  // never owned through this interface
};

// Image, archive, its length, the descriptor trailer, then the rename. A failure of `out` is thrown on to the
// caller, `step` saying where, once the new file is removed. False, the new file removed, when the archive
// came out longer than its length field can say (readers take it as signed): it may have grown since it was
// checked.
bool WritePatchFile(PatchOutput& out, std::string_view descriptor, PatchOutput::Step& step);

// Where the pieces of a patch fall, for a patch as the maker writes it (nothing after the marker).
struct PatchLayout {
    int64_t archiveOffset = 0;
    int64_t archiveLengthOffset = 0;
    int64_t descriptorOffset = 0;
    int64_t descriptorLengthOffset = 0;
    int64_t markerOffset = 0;
    int64_t fileSize = 0;
};
PatchLayout ComputePatchLayout(int64_t imageSize, int64_t archiveSize, int64_t descriptorSize);

}  // namespace mGlobal
