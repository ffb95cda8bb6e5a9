// Reading the blocks of a patch file: the descriptor for the patcher's start-up and the maker's import,
// the archive for the patcher's apply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "container/patch_container.h"
#include "container/xml_node.h"
#include "support/handles_win.h"

namespace mGlobal {

// A patch file opened for reading (shared, so a running program can read its own file).
class FilePatchSource final : public PatchSource {
  public:
    // Throws SysError when the file cannot be opened.
    explicit FilePatchSource(const std::wstring& path);
    int64_t Size() override { return size_; }
    void ReadAt(int64_t offset, char* buffer, size_t count) override;

  private:
    UniqueFile file_;
    int64_t size_ = 0;
};

// The archive is copied through a buffer of this size, never held whole. Small enough to stay in the
// processor's cache: a 1 MiB buffer made the copy half as fast as the system's own file copy.
inline constexpr size_t kCopyChunkSize = 256 << 10;

// The program's own file: its folder, its name without extension, ".exe".
std::wstring OwnPatchPath();

// Node whose XmlData is block `blockIndex` of the file at `path` decoded from UTF-8, or nothing. An empty
// `path` is replaced by the program's own file, in the caller's variable too. Failures other than a
// missing file are traced.
std::optional<cXmlNode> ExtractPatchXML(int32_t blockIndex, std::wstring& path);

// Copies block `blockIndex` of `source` (empty: the program's own file) into `destination`. Throws SysError
// when the source is missing, is not a patch, or cannot be read; nothing is written then. Failures to
// create or write the destination are returned: what could not be done and the system's reason; empty when
// the block was written.
std::wstring ExtractPatchData(const std::wstring& destination, int32_t blockIndex, const std::wstring& source);

// The copying half of ExtractPatchData, for a block already located in `source`. A partial destination is
// deleted; a read error is then thrown, a write error returned as ExtractPatchData returns it.
std::wstring WritePatchBlockToFile(PatchSource& source, const PatchBlock& block, const std::wstring& destination);

}  // namespace mGlobal
