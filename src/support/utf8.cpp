// UTF-8 without the platform, for the native tools. A file of its own: the program converts through the
// system, and its linker keeps every function of an object file it pulls in.
#include <cstdint>

#include "support/encoding.h"

namespace mStringTools {

std::string TextToUtf8Bytes(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = static_cast<uint32_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            const uint32_t low = static_cast<uint32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            c = 0xFFFD;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::wstring Utf8BytesToText(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    auto put = [&out](uint32_t c) {
        if (sizeof(wchar_t) == 2 && c > 0xFFFF) {
            c -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(c));
        }
    };
    size_t i = 0;
    while (i < bytes.size()) {
        const uint8_t b = static_cast<uint8_t>(bytes[i]);
        const size_t follow = b < 0x80                   ? 0
                              : (b >= 0xC2 && b <= 0xDF) ? 1
                              : (b >= 0xE0 && b <= 0xEF) ? 2
                              : (b >= 0xF0 && b <= 0xF4) ? 3
                                                         : 4;
        if (follow == 4 || i + follow >= bytes.size() + (follow == 0 ? 1 : 0)) {
            put(0xFFFD);
            ++i;
            continue;
        }
        uint32_t c = follow == 0 ? b : b & (0x3F >> follow);
        bool ok = true;
        for (size_t k = 1; k <= follow && ok; ++k) {
            const uint8_t next = static_cast<uint8_t>(bytes[i + k]);
            ok = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values beyond the last plane are not characters.
        if (ok && ((follow == 2 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
                   (follow == 3 && (c < 0x10000 || c > 0x10FFFF))))
            ok = false;
        if (!ok) {
            put(0xFFFD);
            ++i;
            continue;
        }
        put(c);
        i += follow + 1;
    }
    return out;
}

}  // namespace mStringTools
