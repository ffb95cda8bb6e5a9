#include "support/version_info.h"

#include "support/encoding.h"

namespace {

uint16_t Word(const std::string& b, size_t at) {
    return at + 1 < b.size() ? static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8))
                             : 0;
}

uint32_t Dword(const std::string& b, size_t at) {
    return Word(b, at) | (static_cast<uint32_t>(Word(b, at + 2)) << 16);
}

size_t Align4(size_t v) {
    return (v + 3) & ~static_cast<size_t>(3);
}

// Reads the zero-terminated UTF-16 string at `at`; `end` receives the offset after its terminator.
std::wstring Utf16Z(const std::string& b, size_t at, size_t limit, size_t& end) {
    size_t i = at;
    while (i + 1 < limit && Word(b, i) != 0)
        i += 2;
    end = i + 2;
    return mStringTools::Utf16BytesToText(b.substr(at, i - at));
}

// Walks one node (wLength, wValueLength, wType, key, value, children) and those below it.
void Walk(const std::string& b, size_t at, size_t limit, int depth, VersionInfo& info) {
    if (depth > 8 || at + 6 > limit)
        return;
    const size_t length = Word(b, at);
    if (length < 6 || at + length > limit)
        return;
    const size_t nodeEnd = at + length;
    const size_t valueLength = Word(b, at + 2);
    const uint16_t type = Word(b, at + 4);
    size_t keyEnd = 0;
    const std::wstring key = Utf16Z(b, at + 6, nodeEnd, keyEnd);
    size_t value = Align4(keyEnd);
    if (key == L"VS_VERSION_INFO" && valueLength >= 52 && Dword(b, value) == 0xFEEF04BD) {
        const uint32_t ms = Dword(b, value + 8), ls = Dword(b, value + 12);
        info.major = static_cast<uint16_t>(ms >> 16);
        info.minor = static_cast<uint16_t>(ms & 0xFFFF);
        info.build = static_cast<uint16_t>(ls >> 16);
        info.revision = static_cast<uint16_t>(ls & 0xFFFF);
        info.valid = true;
    }
    // Text values count their length in characters, binary ones in bytes.
    const size_t valueBytes = type == 1 ? valueLength * 2 : valueLength;
    if (type == 1 && valueLength > 0 && value < nodeEnd) {
        size_t end = 0;
        const std::wstring text = Utf16Z(b, value, nodeEnd, end);
        if (key == L"ProductName")
            info.productName = text;
        else if (key == L"FileDescription")
            info.fileDescription = text;
    }
    size_t child = Align4(value + valueBytes);
    while (child + 6 <= nodeEnd) {
        const size_t childLength = Word(b, child);
        if (childLength < 6)
            break;
        Walk(b, child, nodeEnd, depth + 1, info);
        child = Align4(child + childLength);
    }
}

}  // namespace

VersionInfo ParseVersionResource(const std::string& bytes) {
    VersionInfo info;
    Walk(bytes, 0, bytes.size(), 0, info);
    return info;
}
