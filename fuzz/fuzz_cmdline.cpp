// The bytes are an option name, a line feed, then a command-line text (UTF-8). The splitter and the
// option lookup must end on every input, and what they return must come from the input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/cmdline.h"

namespace {

std::wstring Decode(const uint8_t* data, size_t size) {
    // A simple UTF-8 reading is enough here: the splitter sees every code unit value.
    std::wstring text;
    for (size_t i = 0; i < size; ++i)
        text.push_back(static_cast<wchar_t>(data[i] < 0x80 ? data[i] : 0x80 + (data[i] & 0x3F) * 37));
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t split = 0;
    while (split < size && data[split] != '\n')
        ++split;
    const std::wstring name = Decode(data, split);
    const std::wstring text = split < size ? Decode(data + split + 1, size - split - 1) : std::wstring();

    for (bool strip : {true, false}) {
        size_t total = 0;
        for (const std::wstring& item : mCmdLine::SplitStrings(text, strip)) {
            total += item.size();
            if (strip && item.find(L'"') != std::wstring::npos)
                std::abort();  // stripped quotes never reach an item
        }
        if (total > text.size())
            std::abort();
        const std::wstring value = mCmdLine::GetCmdValIn(name, strip, text);
        if (value.size() > text.size())
            std::abort();
        if (!strip && !value.empty() && value.front() == L' ')
            std::abort();  // the value is trimmed of blanks before it is split; only quotes keep one
    }
    mCmdLine::ArgsAfterProgramPath(text, name);
    mCmdLine::IsMakerMode(text, name);
    return 0;
}
