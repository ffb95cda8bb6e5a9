// Deltas: a changed file shipped as the instructions that turn the installed copy into the new one.
//
// A delta is a header and a list of instructions, all stored uncompressed (the archive compresses them):
//
//   offset  size  field
//        0     8  "OVDelta1"
//        8     8  size of the old file, unsigned, little-endian
//       16    32  SHA-256 of the old file
//       48     8  size of the new file, unsigned, little-endian
//       56    32  SHA-256 of the new file
//       88        instructions, until the new file is whole; nothing may follow the last one
//
// Each instruction is one byte naming it, then numbers as unsigned LEB128 (7 bits a byte, low bits first,
// at most 10 bytes), a seek as a zigzag-coded signed number (0, -1, 1, -2 ... as 0, 1, 2, 3 ...):
//
//   1 copy    length, seek          the old cursor moves by seek; length bytes of the old file from it
//   2 add     length, seek, bytes   as copy, each byte added (modulo 256) to the one of the length bytes that follow
//   3 insert  length, bytes         the length bytes that follow
//
// The old cursor starts at 0 and ends each copy or add after the bytes it read. A length is never 0 and never
// runs past the new file's size, nor a read past the old file's end. The new file is checked against its
// SHA-256 once written: a delta applied to another old file than its own gives a wrong file, caught there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mDelta {

inline constexpr char kMagic[8] = {'O', 'V', 'D', 'e', 'l', 't', 'a', '1'};
inline constexpr size_t kHeaderSize = 88;
enum Op : uint8_t { kCopy = 1, kAdd = 2, kInsert = 3 };

struct Header {
    uint64_t oldSize = 0;
    uint8_t oldHash[32] = {};
    uint64_t newSize = 0;
    uint8_t newHash[32] = {};
};
// False when the bytes (at least kHeaderSize of them) do not start a delta.
bool ReadHeader(const uint8_t* bytes, size_t size, Header& header);

// Where the deltas travel in a patch's archive: under the folder the patcher keeps for its own work, which no
// file of an installation can be, each at the relative path of the file it rebuilds.
inline constexpr wchar_t kArchiveFolder[] = L"OVPatcher.tmp\\delta\\";
// The relative path a delta entry rebuilds, or empty when the entry is no delta.
std::wstring TargetOfEntry(const std::wstring& archivePath);

// What the decoder asks of the files. Every call is for a bounded piece: the decoder's own buffers are fixed.
class Io {
  public:
    // Exactly `size` bytes of the old file from `offset`; false when they cannot be read.
    virtual bool ReadOld(uint64_t offset, uint8_t* buffer, size_t size) = 0;
    // Up to `size` bytes of the delta, in order; 0 at its end, -1 on a read error.
    virtual int64_t ReadDelta(uint8_t* buffer, size_t size) = 0;
    // The next bytes of the new file.
    virtual bool WriteNew(const uint8_t* bytes, size_t size) = 0;
    // The new file's hash: fed every byte written, then its digest.
    virtual void Hash(const uint8_t* bytes, size_t size) = 0;
    virtual bool HashResult(uint8_t digest[32]) = 0;

  protected:
    ~Io() = default;
};

enum class Result {
    Done,
    NotADelta,     // no header
    Damaged,       // cut short, an unknown instruction, a length or seek out of bounds, bytes after the end
    ReadFailed,    // the old file or the delta could not be read
    WriteFailed,   // the new file could not be written
    WrongResult,   // the file made is not the one the delta names: applied to another old file
    OtherOldFile,  // the installed file is not the one the delta was made from (its size or hash differs)
};

// Writes the new file from the old one and the delta. `header` receives the delta's header once read.
Result Rebuild(Io& io, Header* header = nullptr);

}  // namespace mDelta

namespace mDelta {

// The new file from an old file and a delta held in memory, hashed with the native SHA-256: for ovpatch, which
// checks every delta it makes, and for the tests. `limit` caps the bytes written (a fuzzer's memory).
Result RebuildBytes(const std::string& old, const std::string& delta, std::string& out, size_t limit = SIZE_MAX);

}  // namespace mDelta
