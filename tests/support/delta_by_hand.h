// Deltas written by hand, for tests of the decoder on either side.
#pragma once

#include <cstdint>
#include <string>

#include "install/delta.h"
#include "support/sha256.h"

namespace testdata {

inline std::string Le64(uint64_t value) {
    std::string bytes;
    for (int i = 0; i < 8; ++i)
        bytes += static_cast<char>(value >> (8 * i));
    return bytes;
}

inline std::string HashBytes(const std::string& bytes) {
    const mHash::Digest d = mHash::Sha256Of(bytes);
    return std::string(d.begin(), d.end());
}

// The header for `old` and `now`, then `instructions` as written.
inline std::string Delta(const std::string& old, const std::string& now, const std::string& instructions) {
    return std::string(mDelta::kMagic, 8) + Le64(old.size()) + HashBytes(old) + Le64(now.size()) + HashBytes(now) +
           instructions;
}

// "0123456789" to "0123ab6789": copy 4 from 0, insert "ab", copy 4 from 6 (seek +2).
inline const std::string kSmallOld = "0123456789";
inline const std::string kSmallNew = "0123ab6789";
inline const std::string kSmallInstructions = std::string("\x01\x04\x00", 3) +
                                              "\x03\x02"
                                              "ab" +
                                              std::string("\x01\x04\x04", 3);

}  // namespace testdata
