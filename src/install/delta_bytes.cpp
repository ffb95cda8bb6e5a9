#include <algorithm>
#include <cstring>

#include "install/delta.h"
#include "support/sha256.h"

namespace mDelta {
namespace {

class BytesIo final : public Io {
  public:
    BytesIo(const std::string& old, const std::string& delta, std::string& out, size_t limit)
        : old_(old), delta_(delta), out_(out), limit_(limit) {}
    bool ReadOld(uint64_t offset, uint8_t* buffer, size_t size) override {
        if (offset > old_.size() || size > old_.size() - offset)
            return false;
        std::memcpy(buffer, old_.data() + offset, size);
        return true;
    }
    int64_t ReadDelta(uint8_t* buffer, size_t size) override {
        const size_t take = std::min(size, delta_.size() - read_);
        std::memcpy(buffer, delta_.data() + read_, take);
        read_ += take;
        return static_cast<int64_t>(take);
    }
    bool WriteNew(const uint8_t* bytes, size_t size) override {
        if (size > limit_ - out_.size())
            return false;
        out_.append(reinterpret_cast<const char*>(bytes), size);
        return true;
    }
    void Hash(const uint8_t* bytes, size_t size) override { hash_.Add(bytes, size); }
    bool HashResult(uint8_t digest[32]) override {
        const mHash::Digest d = hash_.Finish();
        std::memcpy(digest, d.data(), d.size());
        return true;
    }

  private:
    const std::string& old_;
    const std::string& delta_;
    std::string& out_;
    size_t limit_;
    size_t read_ = 0;
    mHash::Sha256 hash_;
};

}  // namespace

Result RebuildBytes(const std::string& old, const std::string& delta, std::string& out, size_t limit) {
    out.clear();
    BytesIo io(old, delta, out, limit);
    return Rebuild(io);
}

}  // namespace mDelta
