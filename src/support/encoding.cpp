#include "support/encoding.h"

namespace mStringTools {

long ByteCount(const ByteBuffer& buffer) {
    return static_cast<long>(buffer.size());
}

ByteBuffer UnicodeBOM() {
    return ByteBuffer{0xFF, 0xFE};
}

void BytePrepend(ByteBuffer& target, const ByteBuffer& source, long limit) {
    if (source.empty())
        return;
    size_t n = source.size();
    if (limit > 0 && static_cast<size_t>(limit) < n)
        n = static_cast<size_t>(limit);
    target.insert(target.begin(), source.begin(), source.begin() + static_cast<std::ptrdiff_t>(n));
}

long ByteRemoveLeft(ByteBuffer& buffer, long count, ByteBuffer& out) {
    size_t n = count < 0 ? 0 : static_cast<size_t>(count);
    if (n > buffer.size())
        n = buffer.size();
    if (n == 0)
        return 0;
    out.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<long>(n);
}

std::string TextToUtf16Bytes(const std::wstring& text) {
    std::string out;
    out.reserve(text.size() * 2);
    auto put = [&out](uint32_t unit) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>((unit >> 8) & 0xFF));
    };
    for (wchar_t wc : text) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c > 0xFFFF && c <= 0x10FFFF) {
            c -= 0x10000;
            put(0xD800 + (c >> 10));
            put(0xDC00 + (c & 0x3FF));
        } else {
            put(c & 0xFFFF);
        }
    }
    return out;
}

std::wstring Utf16BytesToText(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t unit = static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8);
        if constexpr (sizeof(wchar_t) == 4) {
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
                uint32_t low = static_cast<uint8_t>(bytes[i + 2]) | (static_cast<uint8_t>(bytes[i + 3]) << 8);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    out.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
                    i += 2;
                    continue;
                }
            }
        }
        out.push_back(static_cast<wchar_t>(unit));
    }
    return out;
}

bool IsUTF8(const std::string& bytes) {
    if (bytes.empty())
        return false;
    struct Lead {
        uint8_t mask;
        long value;
        size_t follow;
    };
    static const Lead kLeads[] = {{0xE0, 6, 1}, {0xF0, 14, 2}, {0xF8, 30, 3}, {0xFC, 62, 4}, {0xFE, 126, 5}};
    size_t n = 0;
    size_t i = 0;
    const size_t last = bytes.size() - 1;
    while (i <= last) {
        const uint8_t b = static_cast<uint8_t>(bytes[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        long bits = 0;
        size_t follow = 0;
        for (const Lead& lead : kLeads) {
            if (mUTF8::ReadByteBits(b, lead.mask, bits) == lead.value) {
                follow = lead.follow;
                break;
            }
        }
        if (follow == 0)
            return false;
        n = follow;
        if (i + n > last)
            return false;
        for (size_t k = 1; k <= n; ++k) {
            if (mUTF8::ReadByteBits(static_cast<uint8_t>(bytes[i + k]), 0xC0, bits) != 2)
                return false;
        }
        i += n + 1;
    }
    return n > 0;
}

std::wstring TrimBlanks(const std::wstring& s) {
    size_t b = s.find_first_not_of(L' ');
    if (b == std::wstring::npos)
        return std::wstring();
    size_t e = s.find_last_not_of(L' ');
    return s.substr(b, e - b + 1);
}

namespace {
wchar_t FoldChar(wchar_t c) {
    if (c >= L'A' && c <= L'Z')
        return static_cast<wchar_t>(c + 32);
    // Latin-1 capitals, except the multiplication sign.
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return static_cast<wchar_t>(c + 32);
    return c;
}
}  // namespace

std::wstring DecimalText(int64_t value, int minDigits) {
    // The magnitude as unsigned, so that the most negative value has one too.
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    wchar_t digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0 || (n < minDigits && n < 20));
    std::wstring text = value < 0 ? L"-" : L"";
    while (n > 0)
        text += digits[--n];
    return text;
}

std::wstring AsciiLower(std::wstring text) {
    for (wchar_t& c : text)
        c = AsciiLower(c);
    return text;
}

bool HasAsciiNoCase(std::wstring_view text, size_t at, std::wstring_view part) {
    if (at > text.size() || text.size() - at < part.size())
        return false;
    for (size_t i = 0; i < part.size(); ++i) {
        if (AsciiLower(text[at + i]) != AsciiLower(part[i]))
            return false;
    }
    return true;
}

bool EqualsAsciiNoCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && HasAsciiNoCase(a, 0, b);
}

std::wstring ReplaceAll(std::wstring text, const std::wstring& from, const std::wstring& to) {
    if (from.empty())
        return text;
    for (size_t at = 0; (at = text.find(from, at)) != std::wstring::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

std::vector<std::wstring> SplitAt(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> pieces;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        pieces.push_back(text.substr(start, at == std::wstring::npos ? std::wstring::npos : at - start));
        if (at == std::wstring::npos)
            return pieces;
        start = at + 1;
    }
}

size_t FindNoCase(const std::wstring& hay, const std::wstring& needle, size_t from) {
    if (needle.empty())
        return from <= hay.size() ? from : std::wstring::npos;
    if (needle.size() > hay.size())
        return std::wstring::npos;
    for (size_t i = from; i + needle.size() <= hay.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && FoldChar(hay[i + k]) == FoldChar(needle[k]))
            ++k;
        if (k == needle.size())
            return i;
    }
    return std::wstring::npos;
}

}  // namespace mStringTools

namespace mUTF8 {

long ReadByteBits(uint8_t value, uint8_t mask, long& bitCount) {
    long result = 0;
    bitCount = 0;
    for (int pos = 0; pos < 8; ++pos) {
        if (mask & (1u << pos)) {
            if (value & (1u << pos))
                result |= 1L << bitCount;
            ++bitCount;
        }
    }
    return result;
}

}  // namespace mUTF8
