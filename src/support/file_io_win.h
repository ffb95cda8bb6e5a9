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

// SaveFile's switches by name.
constexpr bool kConvertText = true;  // else the text's UTF-16 bytes as they stand, whatever `encoding` says
constexpr bool kWithBom = true;
constexpr bool kWithoutBom = false;
constexpr bool kAppendToFile = true;
constexpr bool kReplaceFile = false;
constexpr unsigned kWesternCodePage = 1252;

// Writes text. `encoding` is one of Encoding (encoding_win.h) but kDetect; keepBom adds the byte-order mark.
bool SaveFile(const std::wstring& path, const std::wstring& content, bool convert, int encoding, bool keepBom,
              unsigned codePage, bool append);
// The text as UTF-8 without a byte-order mark, in place of what the file held: the form of every text file
// the patcher writes for itself or for the suite's programs.
bool SaveUtf8Text(const std::wstring& path, const std::wstring& content);
// Writes bytes as they are.
bool SaveFileBytes(const std::wstring& path, const std::string& bytes, bool append);

}  // namespace mStringTools
