// Whole-file reading and writing on top of the encodings.
#pragma once

#include <string>

#include "support/encoding.h"

namespace mStringTools {

// Reads the whole file into `bytes`; returns its length, 0 for a missing, empty or unreadable file
// (and then `bytes` is left alone).
long LoadFileBytes(const std::wstring& path, std::string& bytes);
// The file's bytes ("binary" loading); empty when LoadFileBytes gives 0.
std::string LoadFileBinary(const std::wstring& path);
// The file as text. With `decode` the encoding is detected (and reported through `encoding`);
// without it the bytes are read in the ANSI code page.
std::wstring LoadFile(const std::wstring& path, bool decode, int& encoding, bool keepBom, bool& bomChanged);
// Convenience: detect and decode, no BOM kept.
std::wstring LoadTextFile(const std::wstring& path);

// Writes text. encoding 1 = UTF-16LE, 2 = UTF-8, 3 = the code page; keepBom adds the byte-order mark.
bool SaveFile(const std::wstring& path, const std::wstring& content, bool convert, int encoding, bool keepBom,
              unsigned codePage, bool append);
// Writes bytes as they are.
bool SaveFileBytes(const std::wstring& path, const std::string& bytes, bool append);

}  // namespace mStringTools
