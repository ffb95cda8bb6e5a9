// Bytes that pass for a 7z archive where only its start header is looked at, as the maker looks before it
// builds: the mark, a start header with its checksum, and `body` after it.
#pragma once

#include <cstdint>
#include <string>

#include "container/archive_header.h"

namespace testdata {

inline std::string ArchiveLike(const std::string& body, uint64_t nextHeaderSize = 0x20) {
    std::string bytes("7z\xBC\xAF\x27\x1C\x00\x04", 8);
    bytes += std::string(4, '\0');                  // the start header's checksum, below
    bytes += std::string("\x10\0\0\0\0\0\0\0", 8);  // where the next header lies
    for (int i = 0; i < 8; ++i)                     // its size
        bytes += static_cast<char>(nextHeaderSize >> (8 * i));
    bytes += std::string("\x55\x66\x77\x88", 4);  // its checksum
    const uint32_t crc = mArchiveHeader::Crc32(bytes.data() + 12, 20);
    for (int i = 0; i < 4; ++i)
        bytes[8 + i] = static_cast<char>(crc >> (8 * i));
    return bytes + body;
}

}  // namespace testdata
