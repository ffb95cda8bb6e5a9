#include "container/patch_container.h"

#include <algorithm>
#include <cstring>

namespace mGlobal {

namespace {

constexpr int64_t kLengthFieldSize = 4;

[[noreturn]] void ThrowBadBlock() {
    throw SysError{kErrBadBlockLength, L"Invalid patch block length"};
}

int32_t ReadLengthField(PatchSource& source, int64_t offset) {
    unsigned char bytes[kLengthFieldSize];
    source.ReadAt(offset, reinterpret_cast<char*>(bytes), sizeof bytes);
    const uint32_t value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    // Lengths are signed; 2 GiB and more comes out negative and is refused by the caller.
    return static_cast<int32_t>(value);
}

}  // namespace

void MemoryPatchSource::ReadAt(int64_t offset, char* buffer, size_t count) {
    if (offset < 0 || static_cast<uint64_t>(offset) > bytes_.size() ||
        count > bytes_.size() - static_cast<uint64_t>(offset)) {
        throw SysError{38, L"Reached the end of the file."};
    }
    if (count != 0) {
        std::memcpy(buffer, bytes_.data() + offset, count);
    }
}

std::optional<int64_t> FindMarkerInWindow(std::string_view window, int64_t fileSize) {
    // rfind scans from the end, so the last marker wins: a patch made from a patch keeps the old trailer
    // inside its image, and a descriptor may mention the marker text.
    const size_t at = window.rfind(kPatchMarker);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const int64_t fieldOffset =
        fileSize - static_cast<int64_t>(window.size()) + static_cast<int64_t>(at) - kLengthFieldSize;
    if (fieldOffset < 0) {
        return std::nullopt;
    }
    return fieldOffset;
}

std::optional<int64_t> FindPatchMarker(PatchSource& source) {
    const int64_t size = source.Size();
    const int64_t windowSize = std::min(size, kMarkerSearchWindow);
    std::string window(static_cast<size_t>(windowSize), '\0');
    source.ReadAt(size - windowSize, window.data(), window.size());
    return FindMarkerInWindow(window, size);
}

PatchBlock LocatePatchBlock(PatchSource& source, int32_t blockIndex) {
    const std::optional<int64_t> marker = FindPatchMarker(source);
    if (!marker) {
        throw SysError{kErrNoPatchMarker, L"Patch marker not found"};
    }
    if (blockIndex < 0) {
        ThrowBadBlock();
    }
    int64_t field = *marker;
    for (int32_t j = 0;; ++j) {
        if (field < 0) {
            ThrowBadBlock();
        }
        const int32_t length = ReadLengthField(source, field);
        if (length <= 0) {
            ThrowBadBlock();
        }
        const int64_t start = field - length;
        if (start < 0) {
            ThrowBadBlock();
        }
        if (j == blockIndex) {
            return PatchBlock{start, length};
        }
        field = start - kLengthFieldSize;
    }
}

std::string ReadPatchBlock(PatchSource& source, int32_t blockIndex, int64_t maxLength) {
    const PatchBlock block = LocatePatchBlock(source, blockIndex);
    if (block.length > maxLength) {
        throw SysError{kErrBlockTooLarge, L"Patch block too large"};
    }
    std::string bytes(static_cast<size_t>(block.length), '\0');
    source.ReadAt(block.offset, bytes.data(), bytes.size());
    return bytes;
}

bool CopyPatchBlock(PatchSource& source,
                    const PatchBlock& block,
                    char* buffer,
                    size_t bufferSize,
                    const std::function<bool(const char* data, size_t count)>& write) {
    int64_t done = 0;
    while (done < block.length) {
        const size_t count = static_cast<size_t>(std::min<int64_t>(block.length - done, bufferSize));
        source.ReadAt(block.offset + done, buffer, count);
        if (!write(buffer, count)) {
            return false;
        }
        done += static_cast<int64_t>(count);
    }
    return true;
}

std::string LengthField(uint32_t length) {
    std::string field(kLengthFieldSize, '\0');
    for (int i = 0; i < kLengthFieldSize; ++i) {
        field[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    }
    return field;
}

void AppendBlock(std::string& out, std::string_view block) {
    out.append(block);
    out.append(LengthField(static_cast<uint32_t>(block.size())));
}

std::string BuildPatch(std::string_view image, std::string_view archive, std::string_view descriptor) {
    std::string patch;
    patch.reserve(image.size() + archive.size() + descriptor.size() + 2 * kLengthFieldSize + kPatchMarker.size());
    patch.append(image);
    AppendBlock(patch, archive);
    AppendBlock(patch, descriptor);
    patch.append(kPatchMarker);
    return patch;
}

PatchLayout ComputePatchLayout(int64_t imageSize, int64_t archiveSize, int64_t descriptorSize) {
    PatchLayout layout;
    layout.archiveOffset = imageSize;
    layout.archiveLengthOffset = layout.archiveOffset + archiveSize;
    layout.descriptorOffset = layout.archiveLengthOffset + kLengthFieldSize;
    layout.descriptorLengthOffset = layout.descriptorOffset + descriptorSize;
    layout.markerOffset = layout.descriptorLengthOffset + kLengthFieldSize;
    layout.fileSize = layout.markerOffset + static_cast<int64_t>(kPatchMarker.size());
    return layout;
}

}  // namespace mGlobal
