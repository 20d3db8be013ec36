// The XML document model: writing layout, escaping, entities, encodings,
// clear sections and parse errors.
#include "support/TestSupport.h"
#include "mxf/MxfClip.h"
#include "mxf/XmlNode.h"

#include <gtest/gtest.h>

#include <cctype>

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

TEST(XmlDocument, NodeCountIsBounded)
{
    // Elements, texts, sections and attributes all count; a clip XML holds a
    // few hundred, a file of millions of empty elements is refused.
    auto elements = [](size_t n) {
        std::string t = "<R>";
        for (size_t i = 0; i < n; ++i) t += "<a/>";
        return t + "</R>";
    };
    auto attributes = [](size_t n) {
        std::string t = "<R";
        for (size_t i = 0; i < n; ++i) t += " a=\"\"";
        return t + "/>";
    };
    auto comments = [](size_t n) {
        std::string t = "<R>";
        for (size_t i = 0; i < n; ++i) t += "<!---->";
        return t + "</R>";
    };
    struct Case { const char* name; std::string in; int rc; };
    const Case cases[] = {
        {"just within", elements(kXmlMaxNodes - 1), kXmlOk},
        {"one element too many", elements(kXmlMaxNodes), kXmlTooManyNodes},
        {"attributes", attributes(kXmlMaxNodes), kXmlTooManyNodes},
        {"comments", comments(kXmlMaxNodes), kXmlTooManyNodes},
        {"16 MB of empty elements", elements((kXmlMaxFileBytes - 9) / 4), kXmlTooManyNodes},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        XmlDocument doc;
        EXPECT_EQ(doc.parse(c.in, "R"), c.rc);
        EXPECT_EQ(doc.topElement().isNull(), c.rc != kXmlOk);
    }
}

TEST(XmlDocument, WritesOnlyTextXmlCanHold)
{
    // Bytes that are not UTF-8 and control characters become U+FFFD; the
    // output is read back by the reader and by xmllint.
    struct Case { std::string in, out; };
    const std::string r = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"0001AB", "0001AB"},
        {"clip\xFF", "clip" + r},
        {"\xC3\xA9t\xC3", "\xC3\xA9t" + r},              // a cut sequence
        {"\xC0\xAF", r + r},                              // an overlong form
        {"\xED\xA0\x80", r + r + r},                      // a surrogate
        {"a\x01" "b\tc", "a" + r + "b\tc"},
        {"\xE6\x97\xA5 & <", "\xE6\x97\xA5 &amp; &lt;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(xmlEscape(c.in), c.out);
        EXPECT_EQ(isXmlSafeText(c.in), c.in == c.out || c.in.find_first_of("&<") != std::string::npos);
        XmlDocument doc;
        XmlNode decl = XmlNode::declaration("xml");
        decl.addAttribute("version", "1.0");
        decl.addAttribute("encoding", "UTF-8");
        doc.nodes.push_back({XmlNode::ChildKind::Element, decl, {}});
        decl.addChild("R").addTextChild("N", c.in).addAttribute("v", c.in);
        const auto file = vorn::test::scratchDir("xml_safe") / "t.xml";
        ASSERT_EQ(doc.save(file), kXmlOk);
        XmlDocument back;
        ASSERT_EQ(back.load(file, "R"), kXmlOk);
        EXPECT_EQ(back.sourceEncoding, XmlEncoding::Utf8);
        if (vorn::test::haveTool("xmllint")) {
            const auto lint = vorn::test::runCommand("xmllint --noout " + vorn::test::shellQuote(file.string()));
            EXPECT_EQ(lint.exitCode, 0) << lint.err;
        }
    }
}

namespace {
// Reads \xHH escapes back into bytes.
std::string unescapeBytes(const std::string& t)
{
    std::string out;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '\\' && i + 3 < t.size() && t[i + 1] == 'x' && std::isxdigit(static_cast<unsigned char>(t[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(t[i + 3]))) {
            out += char(std::stoi(t.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += t[i];
        }
    }
    return out;
}
} // namespace

TEST(XmlDocument, EscapedBytesAreLossless)
{
    struct Case { std::string in, out; };
    const Case cases[] = {
        {"/cards/CONTENTS/VIDEO/0001AB.MXF", "/cards/CONTENTS/VIDEO/0001AB.MXF"},
        {"/c/\xE6\x97\xA5.MXF", "/c/\xE6\x97\xA5.MXF"},
        {"/c/clip\xFF\xFE.MXF", "/c/clip\\xFF\\xFE.MXF"},
        {"/c/a\\b", "/c/a\\b"},
        {"/c/\\xFF", "/c/\\x5CxFF"},       // a name that reads like an escape
        {"/c/\\x5C\xC3", "/c/\\x5Cx5C\\xC3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        const std::string e = escapeInvalidUtf8(c.in);
        EXPECT_EQ(e, c.out);
        EXPECT_TRUE(isXmlSafeText(e));
        EXPECT_EQ(unescapeBytes(e), c.in);
    }
}
