// Deltas on Windows: the new file rebuilt from the installed one, both checked by their SHA-256, hashed by the
// system's cryptography provider.
#pragma once

#include <cstdint>
#include <string>

#include "install/delta.h"

namespace mDelta {

// False when the file cannot be read or the system cannot hash.
bool FileSha256(const std::wstring& path, uint8_t digest[32]);

// Writes `outPath` from `oldPath` and the delta at `deltaPath`: OtherOldFile when the old file is not the one
// the delta names, before anything is written. On any failure `outPath` is deleted again.
Result RebuildFromDelta(const std::wstring& oldPath, const std::wstring& deltaPath, const std::wstring& outPath);

}  // namespace mDelta
