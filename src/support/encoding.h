// Byte helpers and the UTF-8 test: everything about encodings that needs no platform call.
// Text is std::wstring (UTF-16 code units on Windows); byte strings are std::string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A resizable byte array; "unallocated" is simply empty.
using ByteBuffer = std::vector<uint8_t>;

namespace mStringTools {

long ByteCount(const ByteBuffer& buffer);
ByteBuffer UnicodeBOM();
// Puts the first `limit` bytes of `source` (all of it when limit <= 0 or >= its size) before `target`.
void BytePrepend(ByteBuffer& target, const ByteBuffer& source, long limit);
// Moves the first `count` bytes of `buffer` into `out`; returns how many moved.
long ByteRemoveLeft(ByteBuffer& buffer, long count, ByteBuffer& out);

// Text to and from its UTF-16 little-endian bytes. Where wchar_t is 32 bits wide, characters beyond
// the basic plane become surrogate pairs and pairs are joined back, so the bytes are always UTF-16.
std::string TextToUtf16Bytes(const std::wstring& text);
std::wstring Utf16BytesToText(const std::string& bytes);

bool IsUTF8(const std::string& bytes);

// Text to and from UTF-8 without the platform, for the native tools: UTF-16 surrogate pairs are joined,
// a lone surrogate becomes U+FFFD as the system's own conversion does, and so does each byte of an
// invalid sequence when decoding.
std::string TextToUtf8Bytes(const std::wstring& text);
std::wstring Utf8BytesToText(const std::string& bytes);

}  // namespace mStringTools

namespace mUTF8 {
// Gathers the bits of `value` selected by `mask` into the low bits of the result.
long ReadByteBits(uint8_t value, uint8_t mask, long& bitCount);
}  // namespace mUTF8

// Text helpers used throughout.
namespace mStringTools {
// Trims the blank (space) only, as the command-line and list handling expect.
std::wstring TrimBlanks(const std::wstring& s);
// A to Z only, whatever the user's locale: for names the program itself makes or looks for.
inline wchar_t AsciiLower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}
std::wstring AsciiLower(std::wstring text);
// Whether `text` holds `part` from `at` on, A to Z without regard to case.
bool HasAsciiNoCase(std::wstring_view text, size_t at, std::wstring_view part);
bool EqualsAsciiNoCase(std::wstring_view a, std::wstring_view b);
// Every `from` in `text` replaced by `to`, left to right; a `to` is never searched again.
std::wstring ReplaceAll(std::wstring text, const std::wstring& from, const std::wstring& to);
// Finds `needle` in `hay` from `from` (0-based), letters without regard to case; npos when absent.
size_t FindNoCase(const std::wstring& hay, const std::wstring& needle, size_t from = 0);
// Decimal digits of `value`, zero-padded to at least `minDigits`. Written out here because
// std::to_wstring and the printf family bring the C library's whole formatter into the program.
std::wstring DecimalText(int64_t value, int minDigits = 1);
// The pieces between the separators, empty ones too: "a||b" gives "a", "", "b"; "" gives one empty piece.
std::vector<std::wstring> SplitAt(const std::wstring& text, wchar_t separator);
}  // namespace mStringTools
