// The delta encoder: the instructions that turn one file into another, in the format the patcher reads
// (install/delta.h), made by suffix sorting the old file and extending each long match both ways over the
// bytes that differ a little, so that a program whose addresses all moved by a few bytes is mostly "add
// small differences", which the archive compresses to almost nothing.
#pragma once

#include <cstdint>
#include <string>

namespace ovpatch {

// The whole delta, header included.
std::string MakeDelta(const std::string& oldBytes, const std::string& newBytes);

// A changed file travels as a delta only when it is at least this large and its delta packs to at most
// kDeltaShare percent of what the file itself packs to; otherwise it travels whole.
inline constexpr uintmax_t kDeltaMinimumSize = 4096;
inline constexpr uintmax_t kDeltaShare = 75;
inline bool DeltaPays(uintmax_t newSize, uintmax_t packedWhole, uintmax_t packedDelta) {
    return newSize >= kDeltaMinimumSize && packedDelta * 100 <= packedWhole * kDeltaShare;
}

}  // namespace ovpatch
