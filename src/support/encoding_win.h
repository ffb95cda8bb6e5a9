// Conversions between text and bytes that need the platform: code pages, the UTF-16 test, UTF-8.
#pragma once

#include <string>

namespace mStringTools {

enum Encoding : int { kDetect = 0, kUtf16Le = 1, kUtf8 = 2, kCodePage = 3 };

std::wstring StrCodePageToUnicode(const std::string& bytes, unsigned codePage);
std::string StrUnicodeToCodePage(const std::wstring& text, unsigned codePage);
// True when the bytes read as UTF-16LE text (the platform's statistical and signature tests).
bool IsUnicode(const std::string& data);
// Decodes raw bytes; `encoding` 0 is replaced by the detected code.
std::wstring StrDataToUnicode(const std::string& data, int& encoding, unsigned codePage, bool keepBom,
                              bool& bomChanged);
std::string StrToAnsiBytes(const std::wstring& text);
std::wstring AnsiBytesToStr(const std::string& bytes);

}  // namespace mStringTools

namespace mUTF8 {
// mode 0 detects; 2 takes the data as text whose code units each carry one byte; others use it raw.
std::wstring UTF8_Decode(const std::string& data, int mode);
// The UTF-8 bytes of the text.
std::string UTF8_Encode(const std::wstring& text);
}  // namespace mUTF8
