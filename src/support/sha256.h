// SHA-256 for the native side (ovpatch, the tests, the fuzzer). The program itself hashes with the system's
// cryptography library and never links this in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace mHash {

using Digest = std::array<uint8_t, 32>;

class Sha256 {
  public:
    Sha256();
    void Add(const void* data, size_t size);
    Digest Finish();

  private:
    void Block(const uint8_t* block);
    uint32_t state_[8];
    uint8_t pending_[64];
    size_t pendingSize_ = 0;
    uint64_t total_ = 0;
};

Digest Sha256Of(const void* data, size_t size);
inline Digest Sha256Of(const std::string& bytes) {
    return Sha256Of(bytes.data(), bytes.size());
}
// 64 lower-case hexadecimal digits.
std::string HexOf(const Digest& digest);

}  // namespace mHash
