// The UTF-8 test over arbitrary bytes, checked against a plain decoder written for the purpose.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/encoding.h"

namespace {

// True when the bytes hold at least one multi-byte sequence (lead 110x..1111110x followed by the
// right count of 10xxxxxx bytes) and nothing else that is not ASCII.
bool Reference(const std::string& s) {
    bool multi = false;
    for (size_t i = 0; i < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        int follow = -1;
        if (b < 0x80)
            follow = 0;
        else if ((b & 0xE0) == 0xC0)
            follow = 1;
        else if ((b & 0xF0) == 0xE0)
            follow = 2;
        else if ((b & 0xF8) == 0xF0)
            follow = 3;
        else if ((b & 0xFC) == 0xF8)
            follow = 4;
        else if ((b & 0xFE) == 0xFC)
            follow = 5;
        if (follow < 0 || i + follow >= s.size() + (follow == 0 ? 1 : 0))
            return false;
        for (int k = 1; k <= follow; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        }
        multi = multi || follow > 0;
        i += follow + 1;
    }
    return multi;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (mStringTools::IsUTF8(bytes) != Reference(bytes))
        std::abort();
    return 0;
}
