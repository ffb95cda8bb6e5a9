// The delta decoder over arbitrary deltas against one fixed old file: it never reads or writes outside its
// buffers (the sanitizers watch), never writes more than the size the delta names, and never says a file is
// done whose hash is not the one the delta names.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "install/delta.h"
#include "support/sha256.h"

namespace {

// The seeds in corpus/delta are made against this file.
std::string OldFile() {
    std::string old(4096, '\0');
    for (size_t i = 0; i < old.size(); ++i)
        old[i] = static_cast<char>(i * 131 + (i >> 8));
    return old;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string old = OldFile();
    const std::string delta(reinterpret_cast<const char*>(data), size);
    std::string out;
    const mDelta::Result result = mDelta::RebuildBytes(old, delta, out, 1 << 20);
    mDelta::Header header;
    const bool parsed = mDelta::ReadHeader(data, size, header);
    if (parsed && out.size() > header.newSize)
        std::abort();
    if (result == mDelta::Result::Done &&
        (!parsed || out.size() != header.newSize || std::memcmp(mHash::Sha256Of(out).data(), header.newHash, 32) != 0))
        std::abort();
    return 0;
}
