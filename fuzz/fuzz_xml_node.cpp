// The bytes are a query name, a line feed, then the XML text (one character per byte). Every query of the
// element reader runs over it, and the patcher's language choice and string lookups on top of them.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "container/xml_node.h"
#include "patcher/strings.h"
#include "support/sys_error.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::wstring Widen(const uint8_t* data, size_t size) {
    std::wstring text(size, L'\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<wchar_t>(data[i]);
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t split = 0;
    while (split < size && data[split] != '\n') {
        ++split;
    }
    const std::wstring name = Widen(data, split);
    const cXmlNode node(split < size ? Widen(data + split + 1, size - split - 1) : std::wstring());
    const int32_t length = static_cast<int32_t>(node.XmlData.size());

    node.Name();

    int32_t position = 0;
    const std::wstring value = node.ChildValue(name, position);
    if (!value.empty()) {
        Check(position >= 1 && position <= length && node.XmlData[position - 1] == L'>');
    }
    // Walk every element of that name, as a reader of repeated elements would.
    for (int guard = 0; guard <= length && position > 0; ++guard) {
        const int32_t before = position;
        node.ChildValue(name, position);
        if (position == before) {
            break;
        }
        Check(position > before && position <= length);
    }

    const int32_t count = node.ChildCount();
    Check(count >= 0 && count <= length);
    // Each Child scans from the start; checking a few keeps every input fast enough to fuzz.
    for (const int32_t i : {1, 2, count / 2, count - 1, count}) {
        if (i < 1 || i > count) {
            continue;
        }
        const std::optional<cXmlNode> child = node.Child(i);
        Check(child.has_value());
        Check(!child->XmlData.empty());
        child->ChildCount();
    }
    Check(!node.Child(count + 1).has_value());
    Check(!node.Child(0).has_value());

    try {
        const mPatchStrings::LanguageChoice choice = mPatchStrings::ChooseLanguage(node.XmlData, name);
        Check(choice.StringsPos >= 0 && choice.StringsPos <= length);
        Check(!choice.LangCode.empty() || name.empty());
        mPatchStrings::GetString(node, choice.StringsPos, name);
        mPatchStrings::GetString(node, choice.StringsPos, L"Title");
        mPatchStrings::UpdateInfoText(node, choice.LangCode);
    } catch (const SysError& e) {
        Check(e.number == mPatchStrings::kErrInvalidCall);
    }
    return 0;
}
