// The bytes are a whole file handed to the patch reader: marker search, block chain, reading and copying.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "container/patch_container.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    mGlobal::MemoryPatchSource source(file);

    // The search ends at the file's end or at the start of a certificate table that ends the file.
    const int64_t end = mGlobal::MarkerSearchEnd(source);
    Check(end >= 0 && end <= static_cast<int64_t>(size));
    Check(end == static_cast<int64_t>(size) || (size >= 64 && file.substr(0, 2) == "MZ" && end > 0));
    const std::optional<int64_t> marker = mGlobal::FindPatchMarker(source);
    if (marker) {
        Check(*marker >= 0 && *marker + 14 <= end);
        Check(file.substr(static_cast<size_t>(*marker) + 4, 10) == mGlobal::kPatchMarker);
        Check(end - (*marker + 14) <= mGlobal::kMarkerSearchWindow - 10);
    }

    int64_t previousOffset = marker.value_or(0);
    for (int32_t index = 0; index < 4; ++index) {
        mGlobal::PatchBlock block;
        try {
            block = mGlobal::LocatePatchBlock(source, index);
        } catch (const SysError&) {
            // Once a block is unreadable, so is every block further down the chain.
            for (int32_t later = index + 1; later < 4; ++later) {
                try {
                    mGlobal::LocatePatchBlock(source, later);
                    Check(false);
                } catch (const SysError&) {
                }
            }
            break;
        }
        Check(marker.has_value());
        Check(block.offset >= 0 && block.length > 0);
        Check(block.offset + block.length == previousOffset);
        previousOffset = block.offset - 4;

        const std::string bytes = mGlobal::ReadPatchBlock(source, index, 1 << 20);
        Check(bytes == file.substr(static_cast<size_t>(block.offset), static_cast<size_t>(block.length)));

        char buffer[7];
        std::string copied;
        Check(mGlobal::CopyPatchBlock(source, block, buffer, sizeof buffer, [&](const char* chunk, size_t count) {
            Check(count > 0 && count <= sizeof buffer);
            copied.append(chunk, count);
            return true;
        }));
        Check(copied == bytes);
    }
    return 0;
}
