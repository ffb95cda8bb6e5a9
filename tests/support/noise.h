// Test data that does not compress, the same in every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testdata {

// `size` bytes from a xorshift generator with a fixed seed.
inline std::string Noise(size_t size) {
    std::string bytes(size, '\0');
    uint32_t x = 2463534242u;
    for (char& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<char>(x);
    }
    return bytes;
}

}  // namespace testdata
