#include "support/encoding_win.h"

#include <windows.h>

#include <vector>

#include "support/encoding.h"
#include "support/file_system_win.h"
#include "support/trace.h"

namespace {
void TraceLastError(const wchar_t* label) {
    const DWORD code = GetLastError();
    TraceError(ErrorTraceLine(static_cast<int32_t>(code), mGlobal::SystemErrorText(code), label));
}
}  // namespace

namespace mStringTools {

std::wstring StrCodePageToUnicode(const std::string& bytes, unsigned codePage) {
    if (bytes.empty())
        return std::wstring();
    // The input is taken as zero-terminated: conversion stops at the first zero byte.
    const std::string z = bytes.c_str();
    if (z.empty())
        return std::wstring();
    const int needed = MultiByteToWideChar(codePage, 0, z.c_str(), -1, nullptr, 0);
    if (needed <= 0) {
        if (GetLastError() != ERROR_NO_UNICODE_TRANSLATION)
            TraceLastError(L"Function mStringTools.StrCodePageToUnicode");
        return std::wstring();
    }
    std::vector<wchar_t> buf(static_cast<size_t>(needed));
    const int got = MultiByteToWideChar(codePage, 0, z.c_str(), -1, buf.data(), needed);
    if (got <= 0)
        return std::wstring();
    return std::wstring(buf.data(), static_cast<size_t>(got - 1));
}

std::string StrUnicodeToCodePage(const std::wstring& text, unsigned codePage) {
    if (text.empty())
        return std::string();
    const std::wstring z = text.c_str();  // conversion stops at the first U+0000
    const int needed = WideCharToMultiByte(codePage, 0, z.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        TraceLastError(L"Function mStringTools.StrUnicodeToCodePage");
        return std::string();
    }
    std::vector<char> buf(static_cast<size_t>(needed) + 1);
    const int got = WideCharToMultiByte(codePage, 0, z.c_str(), -1, buf.data(), needed, nullptr, nullptr);
    if (got <= 0)
        return std::string();
    return std::string(buf.data(), static_cast<size_t>(got - 1));
}

bool IsUnicode(const std::string& data) {
    if (data.size() < 2)
        return false;
    INT tests = IS_TEXT_UNICODE_STATISTICS | IS_TEXT_UNICODE_SIGNATURE;
    return IsTextUnicode(data.data(), static_cast<int>(data.size()), &tests) != FALSE;
}

std::wstring StrDataToUnicode(const std::string& data, int& encoding, unsigned codePage, bool keepBom,
                              bool& bomChanged) {
    if (data.empty())
        return std::wstring();
    if (encoding == kDetect) {
        if (IsUnicode(data))
            encoding = kUtf16Le;
        else if (IsUTF8(data))
            encoding = kUtf8;
        else
            encoding = kCodePage;
    }
    std::string utf16;
    if (encoding == kUtf16Le)
        utf16 = data;
    else if (encoding == kUtf8)
        utf16 = TextToUtf16Bytes(StrCodePageToUnicode(data, CP_UTF8));
    else
        utf16 = TextToUtf16Bytes(StrCodePageToUnicode(data, codePage));
    const bool hasBom = utf16.size() >= 2 && static_cast<uint8_t>(utf16[0]) == 0xFF &&
                        static_cast<uint8_t>(utf16[1]) == 0xFE;
    if (hasBom && !keepBom) {
        utf16.erase(0, 2);
        bomChanged = true;
    } else if (!hasBom && keepBom) {
        utf16.insert(0, "\xFF\xFE");
        bomChanged = true;
    }
    return Utf16BytesToText(utf16);
}

std::string StrToAnsiBytes(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int needed = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    if (needed <= 0)
        return std::string();
    std::string out(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), needed, nullptr, nullptr);
    return out;
}

std::wstring AnsiBytesToStr(const std::string& bytes) {
    if (bytes.empty())
        return std::wstring();
    const int needed = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (needed <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), needed);
    return out;
}

}  // namespace mStringTools

namespace mUTF8 {

std::wstring UTF8_Decode(const std::string& data, int mode) {
    if (mode == 0)
        mode = mStringTools::IsUnicode(data) ? 2 : 1;
    std::string bytes = data;
    if (mode == 2)
        bytes = mStringTools::StrToAnsiBytes(mStringTools::Utf16BytesToText(data));
    return mStringTools::StrCodePageToUnicode(bytes, CP_UTF8);
}

std::string UTF8_Encode(const std::wstring& text) {
    return mStringTools::StrUnicodeToCodePage(text, CP_UTF8);
}

}  // namespace mUTF8
