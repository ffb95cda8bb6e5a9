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

}  // namespace

// Walks the children of the first element, skipping each child's content by the closing tag that
// matches it exactly. A child without such a closing tag (self-closing, carrying attributes, a comment
// or declaration) would leave nothing to skip to; those are handled below so that the walk always moves
// forward and ends.
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
        const int32_t tagStart = position - static_cast<int32_t>(tag.size() + 2);
        int32_t end = tagStart;
        std::wstring value = mStringTools::GetTagValue(XmlData, tag, end);
        std::wstring childXml;
        if (end != tagStart) {
            childXml = L"<" + tag + L">" + value + L"</" + tag + L">";
            position = end;
        } else {
            // Comments and declarations are not children.
            if (tag[0] == L'!' || tag[0] == L'?') {
                continue;
            }
            size_t nameLength = 0;
            while (nameLength < tag.size() && !IsTagSpace(tag[nameLength]) && tag[nameLength] != L'/') {
                ++nameLength;
            }
            const std::wstring name = tag.substr(0, nameLength);
            end = tagStart;
            if (tag.back() != L'/' && !name.empty() && name.size() < tag.size()) {
                // Attributes: the closing tag carries the bare name.
                value = mStringTools::GetTagValue(XmlData, name, end);
            }
            if (end != tagStart) {
                childXml = L"<" + tag + L">" + value + L"</" + name + L">";
                position = end;
            } else {
                // Self-closing or never closed: an element without content; the walk goes on after it.
                childXml = L"<" + tag + L">";
            }
        }
        ++count;
        if (count == wanted) {
            *found = cXmlNode(std::move(childXml));
            return count;
        }
    }
}
