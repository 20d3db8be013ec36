// The XML document model: writing layout, escaping, entities, encodings,
// clear sections and parse errors.
#include "support/TestSupport.h"
#include "mxf/MxfClip.h"
#include "mxf/XmlNode.h"

#include <gtest/gtest.h>

using namespace vorn::mxf;

namespace {
const std::string kBom = "\xEF\xBB\xBF";
}

TEST(XmlDocument, WritesIndentedTreeWithDeclaration)
{
    XmlDocument doc;
    XmlNode decl = XmlNode::declaration("xml");
    decl.addAttribute("version", "1.0");
    doc.nodes.push_back({XmlNode::ChildKind::Element, decl, {}});
    XmlNode top = decl.addChild("Top");
    top.addAttribute("flag", std::nullopt);
    top.addTextChild("A", "x");
    XmlNode b = top.addChild("B");
    b.addAttribute("k", "v");
    b.addTextChild("C", "y");
    top.addChild("Empty");
    EXPECT_EQ(doc.serialize(), kBom +
                                   "<?xml version=\"1.0\"?>\n"
                                   "<Top flag>\n"
                                   "\t<A>x</A>\n"
                                   "\t<B k=\"v\">\n"
                                   "\t\t<C>y</C>\n"
                                   "\t</B>\n"
                                   "\t<Empty>\n"
                                   "\t</Empty>\n"
                                   "</Top>\n");
    // Without a declaration node the default declaration line is written.
    XmlDocument bare;
    XmlNode t = XmlNode::element("T");
    bare.nodes.push_back({XmlNode::ChildKind::Element, t, {}});
    EXPECT_EQ(bare.serialize(), kBom + "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<T>\n</T>\n");
}

TEST(XmlDocument, EscapesAndReadsBack)
{
    const std::string nasty = "a & b < c > d \"e\" 'f'";
    XmlDocument doc;
    XmlNode top = XmlNode::element("Top");
    doc.nodes.push_back({XmlNode::ChildKind::Element, top, {}});
    top.addTextChild("T", nasty).addAttribute("at", nasty);
    const std::string text = doc.serialize();
    EXPECT_NE(text.find("<T at=\"a &amp; b &lt; c &gt; d &quot;e&quot; &apos;f&apos;\">"
                        "a &amp; b &lt; c &gt; d &quot;e&quot; &apos;f&apos;</T>"),
              std::string::npos);
    XmlDocument back;
    ASSERT_EQ(back.parse(text, "Top"), kXmlOk);
    XmlNode t = back.topElement().child("T");
    EXPECT_EQ(t.text(), nasty);
    EXPECT_EQ(t.attribute("at").value_or(""), nasty);
}

TEST(XmlDocument, EntitiesAndTheirErrors)
{
    struct Case { std::string in; int rc; std::string text; };
    const Case cases[] = {
        {"&amp;&lt;&gt;&quot;&apos;", kXmlOk, "&<>\"'"},
        {"&#65;&#x42;&#X43;&#x3042;", kXmlOk, "ABC\xE3\x81\x82"},
        {"&#128512;", kXmlOk, "\xF0\x9F\x98\x80"},
        {"&nbsp;", kXmlUnknownEntity, ""},
        {"&amp", kXmlUnknownEntity, ""},
        {"&#x;", kXmlUnknownEntity, ""},
        {"&#12a;", kXmlUnknownEntity, ""},
        {"&#xG1;", kXmlUnknownEntity, ""},
        {"&#0;", kXmlUnknownEntity, ""},
        {"&#x110000;", kXmlUnknownEntity, ""},
        {"&#99999999999;", kXmlUnknownEntity, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        XmlDocument doc;
        EXPECT_EQ(doc.parse("<R><T>" + c.in + "</T></R>", "R"), c.rc);
        if (c.rc == kXmlOk) {
            EXPECT_EQ(doc.topElement().child("T").text(), c.text);
        }
        XmlDocument attr;
        EXPECT_EQ(attr.parse("<R a=\"" + c.in + "\"/>", "R"), c.rc);
    }
}

TEST(XmlDocument, ReadsEncodings)
{
    struct Case { const char* name; std::string bytes; XmlEncoding enc; std::string text; };
    const Case cases[] = {
        {"utf-8 with BOM", kBom + "<?xml version=\"1.0\"?><R><T>\xE6\x97\xA5\xE6\x9C\xAC</T></R>", XmlEncoding::Utf8,
         "\xE6\x97\xA5\xE6\x9C\xAC"},
        {"utf-8 without BOM or declaration", "<R><T>caf\xC3\xA9</T></R>", XmlEncoding::Utf8, "caf\xC3\xA9"},
        {"utf8 declared", "<?xml version=\"1.0\" encoding=\"utf8\"?><R><T>\xC3\xA9</T></R>", XmlEncoding::Utf8, "\xC3\xA9"},
        {"Shift-JIS declared", "<?xml version=\"1.0\" encoding=\"Shift-JIS\"?><R><T>\x93\xFA\x96\x7B abc \xB1</T></R>",
         XmlEncoding::ShiftJis, "\xE6\x97\xA5\xE6\x9C\xAC abc \xEF\xBD\xB1"},
        {"sjis declared", "<?xml version='1.0' encoding='SJIS'?><R><T>\x82\xA0</T></R>", XmlEncoding::ShiftJis,
         "\xE3\x81\x82"},
        {"ISO-8859-1 declared", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><R><T>caf\xE9</T></R>",
         XmlEncoding::Latin1, "caf\xC3\xA9"},
        {"undeclared legacy bytes", "<R><T>caf\xE9 \xFF</T></R>", XmlEncoding::Latin1, "caf\xC3\xA9 \xC3\xBF"},
        // The whole text decides, not its ASCII start.
        {"Shift-JIS after 200 ASCII bytes", "<R><A>" + std::string(250, 'a') + "</A><T>\x93\xFA\x96\x7B</T></R>",
         XmlEncoding::ShiftJis, "\xE6\x97\xA5\xE6\x9C\xAC"},
        {"declared utf-8 but Shift-JIS", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><R><T>\x93\xFA\x96\x7B</T></R>",
         XmlEncoding::ShiftJis, "\xE6\x97\xA5\xE6\x9C\xAC"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        XmlDocument doc;
        ASSERT_EQ(doc.parse(c.bytes, "R"), kXmlOk);
        EXPECT_EQ(doc.sourceEncoding, c.enc);
        EXPECT_EQ(doc.topElement().child("T").text(), c.text);
        // Written back as UTF-8, and what is written says so.
        const std::string out = doc.serialize();
        EXPECT_EQ(XmlDocument::detectEncoding(out.substr(3)), XmlEncoding::Utf8) << out;
        XmlDocument again;
        ASSERT_EQ(again.parse(out, "R"), kXmlOk);
        EXPECT_EQ(again.topElement().child("T").text(), c.text);
    }
}

TEST(XmlDocument, ClearSectionsKeptVerbatim)
{
    const std::string in =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE R SYSTEM \"r&.dtd\">\n<!-- a <b> & c -->\n"
        "<R><T><![CDATA[if (a < b && c) &bogus;]]></T><PRE><x>&raw;</PRE><Script>a<b</Script></R>";
    XmlDocument doc;
    ASSERT_EQ(doc.parse(in, "R"), kXmlOk);
    const std::string out = doc.serialize();
    for (const char* section : {"<!DOCTYPE R SYSTEM \"r&.dtd\">", "<!-- a <b> & c -->", "<![CDATA[if (a < b && c) &bogus;]]>",
                                "<PRE><x>&raw;</PRE>", "<Script>a<b</Script>"})
        EXPECT_NE(out.find(section), std::string::npos) << section << "\n" << out;
    // And the output reads again.
    XmlDocument again;
    EXPECT_EQ(again.parse(out, "R"), kXmlOk);
}

TEST(XmlDocument, MalformedInputIsAnError)
{
    struct Case { std::string in; int rc; };
    const Case cases[] = {
        {"", kXmlWrongTopElement},
        {"<Other/>", kXmlWrongTopElement},
        {"<R>", kXmlUnexpectedEnd},
        {"<R><T></R>", kXmlMismatchedTag},
        {"<R></T>", kXmlMismatchedTag},
        {"<R a=\"1></R>", kXmlUnexpectedEnd},
        {"<R a=1></R>", kXmlSyntax},
        {"<R><!-- never closed </R>", kXmlUnexpectedEnd},
        {"<R><![CDATA[ x </R>", kXmlUnexpectedEnd},
        {"<R/><R/>", kXmlSyntax},
        {"text<R/>", kXmlSyntax},
        {"<R><", kXmlUnexpectedEnd},
        {"<R></", kXmlUnexpectedEnd},
        {"<?xml version=\"1.0\"", kXmlUnexpectedEnd},
        {"<R", kXmlUnexpectedEnd},
        {std::string(1000, '<'), kXmlSyntax},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in.substr(0, 40));
        XmlDocument doc;
        EXPECT_EQ(doc.parse(c.in, "R"), c.rc);
        EXPECT_TRUE(doc.topElement().isNull());
    }
    std::string deep;
    for (int i = 0; i < 10000; ++i) deep += "<R>";
    XmlDocument doc;
    EXPECT_EQ(doc.parse(deep, "R"), kXmlTooDeep);
    EXPECT_EQ(doc.parse(std::string(kXmlMaxFileBytes + 1, ' '), "R"), kXmlTooLarge);
}

TEST(XmlDocument, FileErrors)
{
    auto dir = vorn::test::scratchDir("xml_files");
    XmlDocument doc;
    EXPECT_EQ(doc.load(dir / "missing.xml", "R"), kXmlCannotRead);
    doc.nodes.push_back({XmlNode::ChildKind::Element, XmlNode::element("R"), {}});
    EXPECT_EQ(doc.save(dir / "no" / "such" / "folder.xml"), kXmlCannotOpenForWrite);
    ASSERT_EQ(doc.save(dir / "ok.xml"), kXmlOk);
    // Saving over a symlink replaces the link; its target is not written.
    vorn::test::writeText(dir / "target.txt", "keep");
    std::filesystem::create_symlink(dir / "target.txt", dir / "link.xml");
    ASSERT_EQ(doc.save(dir / "link.xml"), kXmlOk);
    EXPECT_EQ(vorn::test::readText(dir / "target.txt"), "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "link.xml"));
    XmlDocument back;
    EXPECT_EQ(back.load(dir / "ok.xml", "R"), kXmlOk);
    // Copies share the tree; clone does not.
    XmlNode a = back.topElement();
    XmlNode shared = a;
    XmlNode copy = a.clone();
    a.addTextChild("N", "1");
    EXPECT_EQ(shared.elementCount(), 1u);
    EXPECT_EQ(copy.elementCount(), 0u);
}

TEST(XmlClipTexts, FrameRateAndEditUnit)
{
    struct Case { int code; uint32_t num, den; const char* rate; const char* unit; bool family; };
    const Case cases[] = {
        {1, 30000, 1001, "59.94i", "1001/30000", true},
        {2, 60000, 1001, "59.94p", "1001/60000", true},
        {3, 25, 1, "50i", "1/25", false},
        {4, 50, 1, "50p", "1/50", false},
        {9, 25, 1, "50i", "1/25", false},
        {10, 30000, 1001, "59.94i", "1001/30000", true},
        {5, 24000, 1001, "23.98p", "1001/24000", false},
        {34, 30000, 1001, "29.97p", "1001/30000", true},
        {35, 25, 1, "25p", "1/25", false},
        {37, 50, 1, "50p", "1/50", false},
        {42, 60000, 1001, "59.94p", "1001/60000", true},
        {39, 25, 1, "50i", "1/25", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        bool family = !c.family;
        EXPECT_EQ(frameRateText(c.code, c.num, c.den, &family), c.rate);
        EXPECT_EQ(family, c.family);
        EXPECT_EQ(editUnitText(c.num, c.den), c.unit);
    }
}
