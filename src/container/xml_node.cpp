#include "container/xml_node.h"

#include "support/encoding.h"

namespace mStringTools {

std::wstring GetTagValue(const std::wstring& text, const std::wstring& name, int32_t& position) {
    if (position < 1) {
        position = 1;
    }
    const size_t from = static_cast<size_t>(position) - 1;
    const size_t open = FindNoCase(text, L"<" + name, from);
    if (open == std::wstring::npos) {
        return {};
    }
    const size_t valueEnd = text.find(L'>', open);
    if (valueEnd == std::wstring::npos) {
        return {};
    }
    const std::wstring closing = L"</" + name + L">";
    const size_t close = text.find(closing, valueEnd);
    if (close == std::wstring::npos) {
        return {};
    }
    // 1-based position of the closing tag's ">".
    position = static_cast<int32_t>(close + closing.size());
    return text.substr(valueEnd + 1, close - valueEnd - 1);
}

}  // namespace mStringTools

std::wstring cXmlNode::ChildValue(const std::wstring& name, int32_t& position) const {
    if (name.empty()) {
        position = 0;
        return {};
    }
    return mStringTools::GetTagValue(XmlData, name, position);
}

std::wstring cXmlNode::ChildValue(const std::wstring& name) const {
    int32_t position = 0;
    return ChildValue(name, position);
}

std::wstring cXmlNode::Name() const {
    int32_t position = 1;
    return NextTag(position);
}

std::wstring cXmlNode::XmlCode(const std::wstring& name, const std::wstring& value) {
    return L"<" + name + L">" + value + L"</" + name + L">\r\n";
}

int32_t cXmlNode::ChildCount() const {
    return ScanChildren(0, nullptr);
}

std::optional<cXmlNode> cXmlNode::Child(int32_t index) const {
    std::optional<cXmlNode> found;
    if (index >= 1) {
        ScanChildren(index, &found);
    }
    return found;
}

std::wstring cXmlNode::NextTag(int32_t& position) const {
    const size_t from = position < 1 ? 0 : static_cast<size_t>(position) - 1;
    const size_t open = from < XmlData.size() ? XmlData.find(L'<', from) : std::wstring::npos;
    if (open == std::wstring::npos) {
        position = 0;
        return {};
    }
    const size_t close = XmlData.find(L'>', open + 1);
    if (close == std::wstring::npos) {
        position = 0;
        return {};
    }
    position = static_cast<int32_t>(close + 2);
    return XmlData.substr(open + 1, close - open - 1);
}

namespace {

bool IsTagSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

// Index just past `closing` found from `from`, or npos.
size_t ClosingTagEnd(const std::wstring& text, const std::wstring& closing, size_t from, bool anyCase) {
    const size_t at = anyCase ? mStringTools::FindNoCase(text, closing, from) : text.find(closing, from);
    return at == std::wstring::npos ? at : at + closing.size();
}

}  // namespace

// Walks the children of the first element, skipping each child's content by the closing tag that
// matches it exactly. A child without such a closing tag (closed in other letter case, carrying
// attributes, self-closing, never closed) is delimited as well as its text allows, so that the walk always
// moves forward, ends, and loses none of the children after it. Each child comes back as its text
// exactly as it stands in XmlData.
int32_t cXmlNode::ScanChildren(int32_t wanted, std::optional<cXmlNode>* found) const {
    int32_t position = 1;
    NextTag(position);  // the node's own opening tag
    if (position == 0) {
        return 0;
    }
    int32_t count = 0;
    for (;;) {
        const std::wstring tag = NextTag(position);
        if (tag.empty() || tag[0] == L'/') {
            return count;
        }
        // Comments and declarations are not children.
        if (tag[0] == L'!' || tag[0] == L'?') {
            continue;
        }
        const size_t open = static_cast<size_t>(position) - tag.size() - 3;
        const size_t afterTag = static_cast<size_t>(position) - 1;
        size_t end = std::wstring::npos;
        if (tag.back() != L'/') {
            size_t nameLength = 0;
            while (nameLength < tag.size() && !IsTagSpace(tag[nameLength])) {
                ++nameLength;
            }
            // The exact closing tag of the whole tag text first, as the element search asks for it; then
            // that of the bare name, exactly, then in any letter case.
            end = ClosingTagEnd(XmlData, L"</" + tag + L">", afterTag, false);
            if (end == std::wstring::npos && nameLength > 0) {
                const std::wstring closing = L"</" + tag.substr(0, nameLength) + L">";
                end = ClosingTagEnd(XmlData, closing, afterTag, false);
                if (end == std::wstring::npos) {
                    end = ClosingTagEnd(XmlData, closing, afterTag, true);
                }
            }
        }
        if (end == std::wstring::npos) {
            // Self-closing or never closed: the tag and the text up to the next tag.
            end = XmlData.find(L'<', afterTag);
            if (end == std::wstring::npos) {
                end = XmlData.size();
            }
            while (end > afterTag && IsTagSpace(XmlData[end - 1])) {
                --end;
            }
        }
        position = static_cast<int32_t>(end + 1);
        ++count;
        if (count == wanted) {
            *found = cXmlNode(XmlData.substr(open, end - open));
            return count;
        }
    }
}
