#include "install/delta.h"

#include <algorithm>
#include <cstring>

#include "install/install_plan.h"
#include "support/encoding.h"

namespace mDelta {
namespace {

uint64_t Le64(const uint8_t* p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | p[i];
    return value;
}

// The delta read through a small buffer, byte by byte or in runs; a failure sticks.
class Reader {
  public:
    explicit Reader(Io& io) : io_(io) {}
    // False at the end or on a read error (failed() tells which).
    bool Byte(uint8_t& b) {
        if (pos_ == end_ && !Fill())
            return false;
        b = buffer_[pos_++];
        return true;
    }
    bool Number(uint64_t& value) {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            uint8_t b;
            if (!Byte(b))
                return false;
            // The tenth byte may bring only the top bit.
            if (shift == 63 && b > 1)
                return false;
            value |= uint64_t(b & 0x7F) << shift;
            if (!(b & 0x80))
                return true;
        }
        return false;
    }
    // Up to `size` bytes already read into the buffer (refilled when empty); null at the end.
    const uint8_t* Run(size_t& size) {
        if (pos_ == end_ && !Fill())
            return nullptr;
        size = std::min(size, end_ - pos_);
        pos_ += size;
        return buffer_ + pos_ - size;
    }
    bool AtEnd() { return pos_ == end_ && !Fill() && !failed_; }
    bool failed() const { return failed_; }

  private:
    bool Fill() {
        if (failed_)
            return false;
        const int64_t got = io_.ReadDelta(buffer_, sizeof buffer_);
        failed_ = got < 0 || got > static_cast<int64_t>(sizeof buffer_);
        pos_ = 0;
        end_ = failed_ || got < 0 ? 0 : static_cast<size_t>(got);
        return end_ > 0;
    }
    Io& io_;
    uint8_t buffer_[4096];
    size_t pos_ = 0, end_ = 0;
    bool failed_ = false;
};

}  // namespace

bool ReadHeader(const uint8_t* bytes, size_t size, Header& header) {
    if (size < kHeaderSize || std::memcmp(bytes, kMagic, sizeof kMagic) != 0)
        return false;
    header.oldSize = Le64(bytes + 8);
    std::memcpy(header.oldHash, bytes + 16, 32);
    header.newSize = Le64(bytes + 48);
    std::memcpy(header.newHash, bytes + 56, 32);
    return true;
}

std::wstring TargetOfEntry(const std::wstring& archivePath) {
    const size_t prefix = std::char_traits<wchar_t>::length(kArchiveFolder);
    if (archivePath.size() <= prefix)
        return L"";
    if (!mStringTools::HasAsciiNoCase(archivePath, 0, kArchiveFolder))
        return L"";
    // Only a plain relative path: the rebuilt file goes there below the staging folder.
    const std::wstring target = archivePath.substr(prefix);
    return mInstall::PathInside(target, L"X:").empty() ? L"" : target;
}

Result Rebuild(Io& io, Header* headerOut) {
    Reader in(io);
    Header header;
    uint8_t head[kHeaderSize];
    for (size_t i = 0; i < kHeaderSize; ++i) {
        if (!in.Byte(head[i]))
            return in.failed() ? Result::ReadFailed : Result::NotADelta;
    }
    if (!ReadHeader(head, sizeof head, header))
        return Result::NotADelta;
    if (headerOut)
        *headerOut = header;

    uint8_t work[16384];
    uint64_t cursor = 0, written = 0;
    while (written < header.newSize) {
        uint8_t op;
        uint64_t length, seek = 0;
        if (!in.Byte(op) || !in.Number(length))
            break;
        if (length == 0 || length > header.newSize - written || op < kCopy || op > kInsert)
            return Result::Damaged;
        if (op != kInsert) {
            if (!in.Number(seek))
                break;
            // Zigzag: the low bit is the sign. The target is checked before the cursor moves, without overflow.
            const uint64_t distance = (seek >> 1) + (seek & 1);
            if ((seek & 1) ? distance > cursor : distance > header.oldSize - cursor)
                return Result::Damaged;
            cursor = (seek & 1) ? cursor - distance : cursor + distance;
            if (length > header.oldSize - cursor)
                return Result::Damaged;
        }
        while (length > 0) {
            size_t size = length < sizeof work ? static_cast<size_t>(length) : sizeof work;
            const uint8_t* out = work;
            if (op == kInsert) {
                if (!(out = in.Run(size)))
                    return in.failed() ? Result::ReadFailed : Result::Damaged;
            } else {
                if (!io.ReadOld(cursor, work, size))
                    return Result::ReadFailed;
                for (size_t i = 0; op == kAdd && i < size; ++i) {
                    uint8_t difference;
                    if (!in.Byte(difference))
                        return in.failed() ? Result::ReadFailed : Result::Damaged;
                    work[i] = static_cast<uint8_t>(work[i] + difference);
                }
                cursor += size;
            }
            io.Hash(out, size);
            if (!io.WriteNew(out, size))
                return Result::WriteFailed;
            length -= size;
            written += size;
        }
    }
    if (in.failed())
        return Result::ReadFailed;
    if (written < header.newSize || !in.AtEnd())
        return in.failed() ? Result::ReadFailed : Result::Damaged;
    uint8_t digest[32];
    if (!io.HashResult(digest) || std::memcmp(digest, header.newHash, sizeof digest) != 0)
        return Result::WrongResult;
    return Result::Done;
}

}  // namespace mDelta
