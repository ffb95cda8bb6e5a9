// What can be told of a 7z archive from its first 32 bytes, without the archiver: its mark, the checksum of
// its start header, and whether anything follows the header at all. The maker's window and ovpatch refuse
// the same files with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mArchiveHeader {

inline constexpr size_t kHeadSize = 32;

enum class Fault {
    None,
    NotSevenZip,  // no 7z mark: a text file, another kind of archive
    Damaged,      // the start header's checksum is wrong
    Empty,        // nothing follows the start header: an archive of no entries
};

// `head`: the file's first bytes, kHeadSize of them (fewer when the file is shorter).
Fault Check(const std::string& head);

uint32_t Crc32(const char* data, size_t size);

}  // namespace mArchiveHeader
