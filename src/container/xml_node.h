// A piece of XML held as text and queried by searching for tag strings. The XML this program handles is
// small, written by itself or by hand, and uses elements and text only, so no tree is built.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mStringTools {

// Value of the first element `name` at or after the 1-based `position` (less than 1 means the start). The
// opening tag is matched by its beginning ("<" + name) without regard to case; the closing tag
// "</" + name + ">" must match exactly. On success `position` moves to the ">" that ends the closing tag;
// otherwise the result is empty and `position` is left at least 1.
std::wstring GetTagValue(const std::wstring& text, const std::wstring& name, int32_t& position);

}  // namespace mStringTools

class cXmlNode {
  public:
    cXmlNode() = default;
    explicit cXmlNode(std::wstring xml) : XmlData(std::move(xml)) {}

    // The node's text; queries scan it as it stands.
    std::wstring XmlData;

    // Value of the first element `name` anywhere in the text at or after `position` (1-based, 0 means
    // the start); an empty name gives empty text and sets `position` to 0.
    std::wstring ChildValue(const std::wstring& name, int32_t& position) const;
    std::wstring ChildValue(const std::wstring& name) const;

    // Text inside the first pair of angle brackets.
    std::wstring Name() const;

    // "<name>value</name>" and CR LF; nothing is escaped.
    static std::wstring XmlCode(const std::wstring& name, const std::wstring& value);

    // Number of child elements of the first element.
    int32_t ChildCount() const;

    // Independent copy of child `index` (from 1), or nothing.
    std::optional<cXmlNode> Child(int32_t index) const;

  private:
    std::wstring NextTag(int32_t& position) const;
    int32_t ScanChildren(int32_t wanted, std::optional<cXmlNode>* found) const;
};
