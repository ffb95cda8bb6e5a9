#include "container/archive_header.h"

namespace mArchiveHeader {
namespace {

uint64_t LittleEndian(const std::string& bytes, size_t at, size_t count) {
    uint64_t value = 0;
    for (size_t i = count; i-- > 0;)
        value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

}  // namespace

uint32_t Crc32(const char* data, size_t size) {
    // Bit by bit: it only ever sees a header's few bytes, and a table would cost every patch its bytes.
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint8_t>(data[i]);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

Fault Check(const std::string& head) {
    if (head.size() < kHeadSize || head.compare(0, 6, std::string("7z\xBC\xAF\x27\x1C", 6)) != 0)
        return Fault::NotSevenZip;
    // The start header: where the next header lies (8 bytes), its size (8) and its checksum (4).
    if (Crc32(head.data() + 12, 20) != LittleEndian(head, 8, 4))
        return Fault::Damaged;
    return LittleEndian(head, 20, 8) == 0 ? Fault::Empty : Fault::None;
}

}  // namespace mArchiveHeader
