#include "container/xml_node.h"

#include <gtest/gtest.h>

#include <vector>

#include "patcher/typical_descriptor.h"

namespace {

using mStringTools::GetTagValue;

struct TagCase {
    const wchar_t* text;
    const wchar_t* name;
    int32_t start;
    const wchar_t* value;
    int32_t endPosition;
};

TEST(GetTagValue, FindsElementsByOpeningPrefixAndExactClosingTag) {
    const TagCase cases[] = {
        // The position ends on the ">" of the closing tag, counted from 1.
        {L"<a>x</a>", L"a", 0, L"x", 8},
        {L"<a>x</a><a>y</a>", L"a", 8, L"y", 16},
        {L"<PatchVersion>20141114055922</PatchVersion>", L"PatchVersion", 0, L"20141114055922", 43},
        // Opening tag without regard to case, closing tag exactly as asked.
        {L"<PatchVersion>20141114055922</PatchVersion>", L"PATCHVERSION", 0, L"", 1},
        {L"<PatchVersion>20141114055922</PatchVersion>", L"patchversion", 0, L"", 1},
        {L"<patchversion>7</PatchVersion>", L"PatchVersion", 0, L"7", 30},
        // The first tag that begins with the name wins, so the value runs up to the name's closing tag.
        {L"<PatchVersion>1</PatchVersion><Patch>2</Patch>", L"Patch", 0, L"1</PatchVersion><Patch>2", 46},
        // A self-closing element has no closing tag.
        {L"<PatchLang/><UpdateInfo>u</UpdateInfo>", L"PatchLang", 0, L"", 1},
        // Values come back exactly as stored.
        {L"<v>a\r\n\tb & <c> > d</v>", L"v", 0, L"a\r\n\tb & <c> > d", 22},
        {L"<v></v>", L"v", -5, L"", 7},
        // Nothing at or after the start.
        {L"<a>x</a>", L"a", 2, L"", 2},
        {L"<a>x</a>", L"a", 100, L"", 100},
        // Incomplete markup.
        {L"<a", L"a", 0, L"", 1},
        {L"<a>x", L"a", 0, L"", 1},
    };
    for (const TagCase& c : cases) {
        int32_t position = c.start;
        EXPECT_EQ(GetTagValue(c.text, c.name, position), c.value) << c.text << " / " << c.name;
        EXPECT_EQ(position, c.endPosition) << c.text << " / " << c.name;
    }
}

TEST(GetTagValue, CountsPositionsInCharacters) {
    // Accented letters before the element are one position each, whatever their UTF-8 length.
    std::wstring text = L"<r>\u00e9\u00e8\u00ea<k>v</k></r>";
    int32_t position = 0;
    EXPECT_EQ(GetTagValue(text, L"k", position), L"v");
    EXPECT_EQ(position, 14);
    EXPECT_EQ(text[position - 1], L'>');
}

TEST(CXmlNode, ChildValueOnDescriptor) {
    const cXmlNode descriptor(typical::Descriptor());
    EXPECT_EQ(descriptor.ChildValue(L"PatchVersion"), L"20141114055922");
    EXPECT_EQ(descriptor.ChildValue(L"ORVPatchNeeded"), L"20141104134857");
    EXPECT_EQ(descriptor.ChildValue(L"PatchLang"), L"");
    EXPECT_EQ(descriptor.ChildValue(L"ORVLang"), L"");
    EXPECT_EQ(descriptor.ChildValue(L"ExtractPath"), L"");
    // The update information's EN block comes before the one in the string table.
    EXPECT_EQ(descriptor.ChildValue(L"EN"), typical::UpdateInfoEN());

    int32_t position = 17;
    EXPECT_EQ(descriptor.ChildValue(L"", position), L"");
    EXPECT_EQ(position, 0);
}

TEST(CXmlNode, NameIsTheFirstTag) {
    EXPECT_EQ(cXmlNode(typical::Descriptor()).Name(), L"ORVPatch");
    EXPECT_EQ(cXmlNode(L"just text").Name(), L"");
    EXPECT_EQ(cXmlNode(L"").Name(), L"");
    EXPECT_EQ(cXmlNode(L"text <unclosed").Name(), L"");
    EXPECT_EQ(cXmlNode(L"<?xml version=\"1.0\"?><r/>").Name(), L"?xml version=\"1.0\"?");
}

TEST(CXmlNode, XmlCodeEndsWithLineBreak) {
    EXPECT_EQ(cXmlNode::XmlCode(L"ForceMenuRestart", L"1"), L"<ForceMenuRestart>1</ForceMenuRestart>\r\n");
    EXPECT_EQ(cXmlNode::XmlCode(L"UpdateInfo", L"<EN>a & b</EN>"), L"<UpdateInfo><EN>a & b</EN></UpdateInfo>\r\n");
}

struct ChildrenCase {
    const wchar_t* xml;
    std::vector<std::wstring> children;
};

TEST(CXmlNode, ChildCountAndChild) {
    const ChildrenCase cases[] = {
        // The messages element of a language file.
        {L"<messages>\r\n\t<FR>\r\n\t\t<Title>Mise \u00e0 jour</Title>\r\n\t</FR>\r\n"
         L"\t<EN>\r\n\t\t<Title>Update</Title>\r\n\t</EN>\r\n</messages>",
         {L"<FR>\r\n\t\t<Title>Mise \u00e0 jour</Title>\r\n\t</FR>", L"<EN>\r\n\t\t<Title>Update</Title>\r\n\t</EN>"}},
        // An installation's version file; text between children is ignored.
        {L"<OrvanaVersion>\r\n<Version>5.8</Version>\r\n<Patch>20141104134857</Patch> x <Lang>FR</Lang>\r\n"
         L"</OrvanaVersion>\r\n",
         {L"<Version>5.8</Version>", L"<Patch>20141104134857</Patch>", L"<Lang>FR</Lang>"}},
        // A child nested in a child of the same kind is skipped with it.
        {L"<r><a><b>1</b></a><b>2</b></r>", {L"<a><b>1</b></a>", L"<b>2</b>"}},
        {L"<Title>Update</Title>", {}},
        {L"<r></r>", {}},
        {L"<r>", {}},
        {L"no tags at all", {}},
        {L"", {}},
        // Children the search cannot skip by an exact closing tag: each counts as one element and the
        // walk goes on after it.
        {L"<ORVPatch><PatchLang/><UpdateInfo>u</UpdateInfo></ORVPatch>",
         {L"<PatchLang/>", L"<UpdateInfo>u</UpdateInfo>"}},
        {L"<r><a id=\"1\">x</a><b lang='fr'/><c>z</c></r>", {L"<a id=\"1\">x</a>", L"<b lang='fr'/>", L"<c>z</c>"}},
        {L"<r><!-- note --><?pi x?><a>1</a></r>", {L"<a>1</a>"}},
        {L"<r><open><a>1</a></r>", {L"<open>", L"<a>1</a>"}},
        // Closed in other letter case, or never closed: the child keeps its text, the later ones are found.
        {L"<r><Build>77</build><Lang src=\"setup\">fr</Lang><n>5 <c>z</c></r>",
         {L"<Build>77</build>", L"<Lang src=\"setup\">fr</Lang>", L"<n>5", L"<c>z</c>"}},
        {L"<r><a>1</a><>tail", {L"<a>1</a>"}},
        {L"<r><a/><a/><a/></r>", {L"<a/>", L"<a/>", L"<a/>"}},
        {L"<r>< a><b \t>2</b></r>", {L"< a>", L"<b \t>2</b>"}},
    };
    for (const ChildrenCase& c : cases) {
        const cXmlNode node(c.xml);
        EXPECT_EQ(node.ChildCount(), static_cast<int32_t>(c.children.size())) << c.xml;
        for (size_t i = 0; i < c.children.size(); ++i) {
            const std::optional<cXmlNode> child = node.Child(static_cast<int32_t>(i + 1));
            ASSERT_TRUE(child.has_value()) << c.xml << " #" << i + 1;
            EXPECT_EQ(child->XmlData, c.children[i]) << c.xml << " #" << i + 1;
        }
        EXPECT_FALSE(node.Child(static_cast<int32_t>(c.children.size() + 1)).has_value()) << c.xml;
        EXPECT_FALSE(node.Child(0).has_value()) << c.xml;
        EXPECT_FALSE(node.Child(-1).has_value()) << c.xml;
    }
}

TEST(CXmlNode, ChildIsIndependentOfItsParent) {
    cXmlNode parent(L"<messages><FR><Title>Titre</Title></FR><EN><Title>Title</Title></EN></messages>");
    std::optional<cXmlNode> english = parent.Child(2);
    ASSERT_TRUE(english.has_value());
    EXPECT_EQ(english->Name(), L"EN");
    parent.XmlData = L"<gone/>";
    EXPECT_EQ(english->ChildValue(L"Title"), L"Title");
    EXPECT_EQ(english->ChildCount(), 1);
}

}  // namespace
