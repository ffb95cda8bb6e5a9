#include "container/patch_container.h"

#include <algorithm>
#include <cstring>

namespace mGlobal {

namespace {

constexpr int64_t kLengthFieldSize = 4;

uint32_t Le16(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

uint32_t Le32(const unsigned char* p) {
    return Le16(p) | Le16(p + 2) << 16;
}

[[noreturn]] void ThrowBadBlock() {
    throw SysError{kErrBadBlockLength, L"Invalid patch block length"};
}

int32_t ReadLengthField(PatchSource& source, int64_t offset) {
    unsigned char bytes[kLengthFieldSize];
    source.ReadAt(offset, reinterpret_cast<char*>(bytes), sizeof bytes);
    const uint32_t value = Le32(bytes);
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

std::optional<int64_t> FindMarkerInWindow(std::string_view window, int64_t windowEnd) {
    // rfind scans from the end, so the last marker wins: a patch made from a patch keeps the old trailer
    // inside its image, and a descriptor may mention the marker text.
    const size_t at = window.rfind(kPatchMarker);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const int64_t fieldOffset =
        windowEnd - static_cast<int64_t>(window.size()) + static_cast<int64_t>(at) - kLengthFieldSize;
    if (fieldOffset < 0) {
        return std::nullopt;
    }
    return fieldOffset;
}

int64_t MarkerSearchEnd(PatchSource& source) {
    const int64_t size = source.Size();
    // DOS header, PE signature, file header, then the optional header whose data directories follow its
    // fixed part; entry 4 is the security directory, whose address is a file offset.
    unsigned char dos[64];
    if (size < static_cast<int64_t>(sizeof dos)) {
        return size;
    }
    source.ReadAt(0, reinterpret_cast<char*>(dos), sizeof dos);
    if (dos[0] != 'M' || dos[1] != 'Z') {
        return size;
    }
    const int64_t pe = Le32(dos + 0x3C);
    unsigned char headers[24 + 112 + 5 * 8];
    if (pe + static_cast<int64_t>(sizeof headers) > size) {
        return size;
    }
    source.ReadAt(pe, reinterpret_cast<char*>(headers), sizeof headers);
    if (std::memcmp(headers, "PE\0\0", 4) != 0) {
        return size;
    }
    const uint32_t optionalSize = Le16(headers + 20);
    const unsigned char* optional = headers + 24;
    size_t directories = 0;
    if (Le16(optional) == 0x10b) {
        directories = 96;
    } else if (Le16(optional) == 0x20b) {
        directories = 112;
    } else {
        return size;
    }
    const uint32_t directoryCount = Le32(optional + directories - 4);
    const size_t security = directories + 4 * 8;
    if (directoryCount <= 4 || optionalSize < security + 8) {
        return size;
    }
    const int64_t tableStart = Le32(optional + security);
    const int64_t tableEnd = tableStart + Le32(optional + security + 4);
    // Entries are padded to 8 bytes, and that padding may lie outside the size the directory states.
    if (tableStart == 0 || tableEnd == tableStart || tableEnd > size || size - tableEnd >= 8) {
        return size;
    }
    return tableStart;
}

std::optional<int64_t> FindPatchMarker(PatchSource& source) {
    const int64_t end = MarkerSearchEnd(source);
    const int64_t windowSize = std::min(end, kMarkerSearchWindow);
    std::string window(static_cast<size_t>(windowSize), '\0');
    source.ReadAt(end - windowSize, window.data(), window.size());
    return FindMarkerInWindow(window, end);
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

std::string DescriptorTrailer(std::string_view descriptor) {
    std::string trailer;
    AppendBlock(trailer, descriptor);
    trailer.append(kPatchMarker);
    return trailer;
}

std::string BuildPatch(std::string_view image, std::string_view archive, std::string_view descriptor) {
    std::string patch;
    patch.reserve(image.size() + archive.size() + descriptor.size() + 2 * kLengthFieldSize + kPatchMarker.size());
    patch.append(image);
    AppendBlock(patch, archive);
    patch.append(DescriptorTrailer(descriptor));
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

bool WritePatchFile(PatchOutput& out, std::string_view descriptor, PatchOutput::Step& step) {
    using Step = PatchOutput::Step;
    try {
        step = Step::Image;
        out.Create();
        out.CopyIn(Step::Image);
        step = Step::Archive;
        const int64_t archive = out.CopyIn(Step::Archive);
        if (archive > INT32_MAX) {
            out.Discard();
            return false;
        }
        step = Step::Descriptor;
        out.Append(LengthField(static_cast<uint32_t>(archive)));
        out.Append(DescriptorTrailer(descriptor));
        step = Step::Replace;
        out.Replace();
    } catch (...) {
        out.Discard();
        throw;
    }
    return true;
}

}  // namespace mGlobal
