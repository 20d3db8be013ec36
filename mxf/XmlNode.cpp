#include "mxf/XmlNode.h"

#include "mxf/SafeOutput.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace vorn::mxf {

extern const uint16_t kShiftJisTable[11340];

struct XmlNode::Data {
    std::string name;
    bool declaration = false;
    std::vector<std::pair<std::string, std::optional<std::string>>> attributes;
    std::vector<Child> children;
};

namespace {
const std::string kEmpty;
const std::vector<std::pair<std::string, std::optional<std::string>>> kNoAttributes;
const std::vector<XmlNode::Child> kNoChildren;

bool iequals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

void appendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

// Byte length of the UTF-8 sequence starting at s[i], 0 when invalid. A
// sequence cut off by the end of the text counts as valid when `cutOk`.
size_t utf8Length(std::string_view s, size_t i, bool cutOk)
{
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) n = 3;
    else if (c >= 0xF0 && c <= 0xF4) n = 4;
    else return 0;
    for (size_t k = 1; k < n; ++k) {
        if (i + k >= s.size()) return cutOk ? s.size() - i : 0;
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    }
    return n;
}

bool validUtf8(std::string_view s, bool cutOk)
{
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8Length(s, i, cutOk);
        if (!n) return false;
        i += n;
    }
    return true;
}

// The code point of the strict UTF-8 sequence at s[i] (no overlong forms,
// surrogates or values above U+10FFFF) and its length; length 0 when invalid.
size_t strictUtf8(std::string_view s, size_t i, uint32_t& cp)
{
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF) { n = 2; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { n = 3; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { n = 4; cp = c & 0x07; }
    else return 0;
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        const unsigned char t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (t & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

// Characters XML 1.0 text may hold.
bool xmlChar(uint32_t cp)
{
    return cp == 0x09 || cp == 0x0A || cp == 0x0D || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
           cp >= 0x10000;
}

bool isSjisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

bool validShiftJis(std::string_view s)
{
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (isSjisLead(c)) {
            if (i + 1 >= s.size()) return false;
            unsigned char t = static_cast<unsigned char>(s[++i]);
            if (t < 0x40 || t > 0xFC || t == 0x7F) return false;
        } else if (c >= 0x80 && !(c >= 0xA1 && c <= 0xDF)) {
            return false;
        }
    }
    return true;
}

bool isNameChar(char c)
{
    unsigned char u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '_' || c == ':' || c == '-' || c == '.' || u >= 0x80;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Clear sections: kept verbatim, neither parsed nor entity-decoded.
struct ClearSection { std::string_view open, close; bool caseless; };
constexpr ClearSection kClearSections[] = {
    {"<![CDATA[", "]]>", false},
    {"<!DOCTYPE", ">", false},
    {"<PRE>", "</PRE>", true},
    {"<Script>", "</Script>", true},
    {"<!--", "-->", false},
};

bool startsWith(std::string_view s, size_t pos, std::string_view prefix, bool caseless)
{
    if (s.size() - pos < prefix.size()) return false;
    std::string_view part = s.substr(pos, prefix.size());
    return caseless ? iequals(part, prefix) : part == prefix;
}

size_t findFrom(std::string_view s, size_t pos, std::string_view needle, bool caseless)
{
    if (!caseless) return s.find(needle, pos);
    for (size_t i = pos; i + needle.size() <= s.size(); ++i)
        if (iequals(s.substr(i, needle.size()), needle)) return i;
    return std::string_view::npos;
}

class Parser {
public:
    explicit Parser(std::string_view text) : s(text) {}

    int run(std::vector<XmlNode::Child>& top)
    {
        std::vector<XmlNode> stack;
        XmlNode declaration;
        auto add = [&](XmlNode::Child child) {
            ++nodes;
            if (!stack.empty()) {
                XmlNode& parent = stack.back();
                if (child.kind == XmlNode::ChildKind::Element) parent.addNode(child.node);
                else if (child.kind == XmlNode::ChildKind::Text) parent.addText(std::move(child.text));
                else parent.addVerbatim(std::move(child.text));
            } else if (!declaration.isNull()) {
                if (child.kind == XmlNode::ChildKind::Element) declaration.addNode(child.node);
                else if (child.kind == XmlNode::ChildKind::Verbatim) declaration.addVerbatim(std::move(child.text));
            } else if (child.kind != XmlNode::ChildKind::Text) {
                top.push_back(std::move(child));
            }
        };
        bool sawTop = false;
        while (p < s.size()) {
            // Every node costs far more memory than its bytes: a bounded number.
            if (nodes > kXmlMaxNodes) return kXmlTooManyNodes;
            if (s[p] != '<') {
                size_t end = s.find('<', p);
                if (end == std::string_view::npos) end = s.size();
                std::string_view raw = s.substr(p, end - p);
                p = end;
                if (std::all_of(raw.begin(), raw.end(), isSpace)) continue;
                if (stack.empty()) return kXmlSyntax;   // text outside the top element
                std::string text;
                if (!xmlUnescape(raw, text)) return kXmlUnknownEntity;
                add({XmlNode::ChildKind::Text, {}, std::move(text)});
                continue;
            }
            // Clear sections.
            bool clear = false;
            for (const auto& cs : kClearSections) {
                if (!startsWith(s, p, cs.open, cs.caseless)) continue;
                size_t end = findFrom(s, p + cs.open.size(), cs.close, cs.caseless);
                if (end == std::string_view::npos) return kXmlUnexpectedEnd;
                end += cs.close.size();
                add({XmlNode::ChildKind::Verbatim, {}, std::string(s.substr(p, end - p))});
                p = end;
                clear = true;
                break;
            }
            if (clear) continue;
            if (startsWith(s, p, "<?", false)) {
                size_t end = s.find("?>", p + 2);
                if (end == std::string_view::npos) return kXmlUnexpectedEnd;
                std::string_view inner = s.substr(p + 2, end - p - 2);
                p = end + 2;
                size_t n = 0;
                while (n < inner.size() && isNameChar(inner[n])) ++n;
                if (n == 0) return kXmlSyntax;
                if (inner.substr(0, n) == "xml" && stack.empty() && declaration.isNull() && top.empty()) {
                    declaration = XmlNode::declaration("xml");
                    Parser attrs(inner);
                    attrs.p = n;
                    int rc = attrs.attributes(declaration, inner.size(), true);
                    if (rc) return rc;
                    top.push_back({XmlNode::ChildKind::Element, declaration, {}});
                }
                continue;   // other processing instructions are dropped
            }
            if (startsWith(s, p, "</", false)) {
                size_t q = p + 2;
                size_t n = q;
                while (n < s.size() && isNameChar(s[n])) ++n;
                std::string_view name = s.substr(q, n - q);
                while (n < s.size() && isSpace(s[n])) ++n;
                if (n >= s.size()) return kXmlUnexpectedEnd;
                if (s[n] != '>') return kXmlSyntax;
                if (stack.empty() || stack.back().name() != name) return kXmlMismatchedTag;
                stack.back().trimMixedText();
                stack.pop_back();
                p = n + 1;
                continue;
            }
            if (startsWith(s, p, "<!", false)) return kXmlSyntax;
            // Start tag.
            size_t n = p + 1;
            while (n < s.size() && isNameChar(s[n])) ++n;
            if (n == p + 1) return n >= s.size() ? kXmlUnexpectedEnd : kXmlSyntax;
            XmlNode node = XmlNode::element(std::string(s.substr(p + 1, n - p - 1)));
            p = n;
            int rc = attributes(node, s.size(), false);
            if (rc) return rc;
            bool empty = false;
            if (p < s.size() && s[p] == '/') {
                empty = true;
                ++p;
            }
            if (p >= s.size()) return kXmlUnexpectedEnd;
            if (s[p] != '>') return kXmlSyntax;
            ++p;
            if (stack.empty()) {
                if (sawTop) return kXmlSyntax;   // a second top element
                sawTop = true;
            }
            add({XmlNode::ChildKind::Element, node, {}});
            if (!empty) {
                if (stack.size() >= kXmlMaxDepth) return kXmlTooDeep;
                stack.push_back(node);
            }
        }
        if (!stack.empty()) return kXmlUnexpectedEnd;
        return nodes > kXmlMaxNodes ? kXmlTooManyNodes : kXmlOk;
    }

private:
    // Attributes from p up to '>' or "/>"; reaching `limit` is the end of a
    // declaration's attributes when `endIsOk`, else an unexpected end.
    int attributes(XmlNode& node, size_t limit, bool endIsOk)
    {
        for (;;) {
            while (p < limit && isSpace(s[p])) ++p;
            if (p >= limit) return endIsOk ? kXmlOk : kXmlUnexpectedEnd;
            if (s[p] == '>' || s[p] == '/' || s[p] == '?') return kXmlOk;
            size_t n = p;
            while (n < limit && isNameChar(s[n])) ++n;
            if (n == p) return kXmlSyntax;
            std::string name(s.substr(p, n - p));
            p = n;
            while (p < limit && isSpace(s[p])) ++p;
            if (p < limit && s[p] == '=') {
                ++p;
                while (p < limit && isSpace(s[p])) ++p;
                if (p >= limit) return kXmlUnexpectedEnd;
                char quote = s[p];
                if (quote != '"' && quote != '\'') return kXmlSyntax;
                size_t end = s.find(quote, p + 1);
                if (end == std::string_view::npos || end >= limit) return kXmlUnexpectedEnd;
                std::string value;
                if (!xmlUnescape(s.substr(p + 1, end - p - 1), value)) return kXmlUnknownEntity;
                node.addAttribute(std::move(name), std::move(value));
                p = end + 1;
            } else {
                node.addAttribute(std::move(name), std::nullopt);
            }
            if (++nodes > kXmlMaxNodes) return kXmlTooManyNodes;
        }
    }

    std::string_view s;
    size_t p = 0;
    size_t nodes = 0;   // elements, texts, sections and attributes read
};

void writeNode(std::string& out, const XmlNode& node, int depth);

void indent(std::string& out, int depth) { out.append(size_t(std::max(depth, 0)), '\t'); }

void writeChild(std::string& out, const XmlNode::Child& c, int depth)
{
    switch (c.kind) {
    case XmlNode::ChildKind::Element:
        writeNode(out, c.node, depth);
        break;
    case XmlNode::ChildKind::Text:
        indent(out, depth);
        out += xmlEscape(c.text);
        out += '\n';
        break;
    case XmlNode::ChildKind::Verbatim:
        indent(out, depth);
        out += c.text;
        out += '\n';
        break;
    }
}

void writeNode(std::string& out, const XmlNode& node, int depth)
{
    indent(out, depth);
    out += node.isDeclaration() ? "<?" : "<";
    out += node.name();
    for (const auto& [name, value] : node.attributes()) {
        out += ' ';
        out += name;
        if (value) {
            out += "=\"";
            out += xmlEscape(*value);
            out += '"';
        }
    }
    if (node.isDeclaration()) {
        out += "?>\n";
        // A declaration's children are written at its own level.
        for (const auto& c : node.children()) writeChild(out, c, depth);
        return;
    }
    out += '>';
    const auto& kids = node.children();
    if (kids.size() == 1 && kids[0].kind == XmlNode::ChildKind::Text) {
        out += xmlEscape(kids[0].text);
    } else {
        out += '\n';
        for (const auto& c : kids) writeChild(out, c, depth + 1);
        indent(out, depth);
    }
    out += "</";
    out += node.name();
    out += ">\n";
}

} // namespace

// ---- XmlNode ----

XmlNode XmlNode::element(std::string name)
{
    auto d = std::make_shared<Data>();
    d->name = std::move(name);
    return XmlNode(std::move(d));
}

XmlNode XmlNode::declaration(std::string name)
{
    XmlNode n = element(std::move(name));
    n.m_node->declaration = true;
    return n;
}

bool XmlNode::isDeclaration() const { return m_node && m_node->declaration; }
const std::string& XmlNode::name() const { return m_node ? m_node->name : kEmpty; }

const std::vector<std::pair<std::string, std::optional<std::string>>>& XmlNode::attributes() const
{
    return m_node ? m_node->attributes : kNoAttributes;
}

void XmlNode::addAttribute(std::string name, std::optional<std::string> value)
{
    if (m_node) m_node->attributes.emplace_back(std::move(name), std::move(value));
}

std::optional<std::string> XmlNode::attribute(std::string_view name) const
{
    for (const auto& [n, v] : attributes())
        if (n == name) return v ? v : std::optional<std::string>(std::string());
    return std::nullopt;
}

void XmlNode::setAttribute(std::string_view name, std::string value)
{
    if (!m_node) return;
    for (auto& [n, v] : m_node->attributes)
        if (n == name) {
            v = std::move(value);
            return;
        }
    addAttribute(std::string(name), std::move(value));
}

const std::vector<XmlNode::Child>& XmlNode::children() const { return m_node ? m_node->children : kNoChildren; }

XmlNode XmlNode::child(std::string_view name) const
{
    for (const auto& c : children())
        if (c.kind == ChildKind::Element && c.node.name() == name) return c.node;
    return XmlNode();
}

XmlNode XmlNode::addChild(std::string name)
{
    XmlNode n = element(std::move(name));
    addNode(n);
    return n;
}

XmlNode XmlNode::addTextChild(std::string name, std::string text)
{
    XmlNode n = addChild(std::move(name));
    n.addText(std::move(text));
    return n;
}

void XmlNode::addText(std::string text)
{
    if (m_node) m_node->children.push_back({ChildKind::Text, XmlNode(), std::move(text)});
}

void XmlNode::addVerbatim(std::string text)
{
    if (m_node) m_node->children.push_back({ChildKind::Verbatim, XmlNode(), std::move(text)});
}

void XmlNode::addNode(const XmlNode& node)
{
    if (m_node && node.m_node) m_node->children.push_back({ChildKind::Element, node, {}});
}

XmlNode XmlNode::clone() const
{
    if (!m_node) return XmlNode();
    // Iterative deep copy (no recursion on hostile depth).
    XmlNode root = element(m_node->name);
    root.m_node->declaration = m_node->declaration;
    root.m_node->attributes = m_node->attributes;
    std::vector<std::pair<const Data*, Data*>> work{{m_node.get(), root.m_node.get()}};
    while (!work.empty()) {
        auto [from, to] = work.back();
        work.pop_back();
        to->children.reserve(from->children.size());
        for (const auto& c : from->children) {
            if (c.kind != ChildKind::Element) {
                to->children.push_back({c.kind, XmlNode(), c.text});
                continue;
            }
            XmlNode copy = element(c.node.m_node->name);
            copy.m_node->declaration = c.node.m_node->declaration;
            copy.m_node->attributes = c.node.m_node->attributes;
            to->children.push_back({ChildKind::Element, copy, {}});
            work.emplace_back(c.node.m_node.get(), copy.m_node.get());
        }
    }
    return root;
}

XmlNode XmlNode::addCopy(const XmlNode& node)
{
    XmlNode copy = node.clone();
    addNode(copy);
    return copy;
}

std::string XmlNode::text() const
{
    std::string t;
    for (const auto& c : children())
        if (c.kind == ChildKind::Text) t += c.text;
    return t;
}

void XmlNode::trimMixedText()
{
    if (!m_node || m_node->children.size() < 2) return;
    auto& kids = m_node->children;
    for (auto& c : kids) {
        if (c.kind != ChildKind::Text) continue;
        size_t b = 0, e = c.text.size();
        while (b < e && isSpace(c.text[b])) ++b;
        while (e > b && isSpace(c.text[e - 1])) --e;
        c.text = c.text.substr(b, e - b);
    }
    kids.erase(std::remove_if(kids.begin(), kids.end(),
                              [](const Child& c) { return c.kind == ChildKind::Text && c.text.empty(); }),
               kids.end());
}

size_t XmlNode::elementCount() const
{
    size_t n = 0;
    for (const auto& c : children()) n += c.kind == ChildKind::Element;
    return n;
}

// ---- entities ----

std::string xmlEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        const size_t n = strictUtf8(text, i, cp);
        if (n == 0 || !xmlChar(cp)) {
            appendUtf8(out, 0xFFFD);
            i += n ? n : 1;
            continue;
        }
        switch (text[i]) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out.append(text.substr(i, n));
        }
        i += n;
    }
    return out;
}

bool isXmlSafeText(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        const size_t n = strictUtf8(text, i, cp);
        if (n == 0 || !xmlChar(cp)) return false;
        i += n;
    }
    return true;
}

std::string xmlSafeText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        const size_t n = strictUtf8(text, i, cp);
        if (n == 0 || !xmlChar(cp)) {
            appendUtf8(out, 0xFFFD);
            i += n ? n : 1;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string escapeInvalidUtf8(std::string_view bytes)
{
    static const char kHex[] = "0123456789ABCDEF";
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        uint32_t cp = 0;
        const size_t n = strictUtf8(bytes, i, cp);
        const bool looksEscaped = bytes[i] == '\\' && i + 3 < bytes.size() && (bytes[i + 1] == 'x') &&
                                  hex(bytes[i + 2]) && hex(bytes[i + 3]);
        if (n == 0 || looksEscaped) {
            const unsigned char b = static_cast<unsigned char>(bytes[i]);
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
            ++i;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

bool xmlUnescape(std::string_view text, std::string& out)
{
    out.clear();
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        size_t semi = text.find(';', i + 1);
        if (semi == std::string_view::npos) return false;
        std::string_view ent = text.substr(i + 1, semi - i - 1);
        if (ent == "amp") out += '&';
        else if (ent == "lt") out += '<';
        else if (ent == "gt") out += '>';
        else if (ent == "quot") out += '"';
        else if (ent == "apos") out += '\'';
        else if (ent.size() >= 2 && ent[0] == '#') {
            bool hex = ent[1] == 'x' || ent[1] == 'X';
            std::string_view digits = ent.substr(hex ? 2 : 1);
            if (digits.empty() || digits.size() > 8) return false;
            uint32_t cp = 0;
            for (char c : digits) {
                int v;
                if (c >= '0' && c <= '9') v = c - '0';
                else if (hex && c >= 'a' && c <= 'f') v = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F') v = c - 'A' + 10;
                else return false;
                cp = cp * (hex ? 16 : 10) + uint32_t(v);
            }
            if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
            appendUtf8(out, cp);
        } else {
            return false;
        }
        i = semi;
    }
    return true;
}

// ---- document ----

XmlNode XmlDocument::topElement() const
{
    for (const auto& c : nodes) {
        if (c.kind != XmlNode::ChildKind::Element) continue;
        if (!c.node.isDeclaration()) return c.node;
        for (const auto& k : c.node.children())
            if (k.kind == XmlNode::ChildKind::Element) return k.node;
    }
    return XmlNode();
}

XmlEncoding XmlDocument::detectEncoding(std::string_view bytes)
{
    // UTF-8 (by byte order mark, declaration or guess) only when the whole
    // text is valid UTF-8: the output is declared UTF-8 and copies it as is.
    std::string_view head = bytes.substr(0, std::min<size_t>(bytes.size(), 200));
    std::string_view body = bytes;
    if (head.size() >= 3 && static_cast<unsigned char>(head[0]) == 0xEF && static_cast<unsigned char>(head[1]) == 0xBB &&
        static_cast<unsigned char>(head[2]) == 0xBF) {
        body.remove_prefix(3);
        if (validUtf8(body, false)) return XmlEncoding::Utf8;
    }
    size_t decl = head.find("<?xml");
    if (decl != std::string_view::npos) {
        size_t end = head.find("?>", decl);
        std::string_view d = head.substr(decl, end == std::string_view::npos ? std::string_view::npos : end - decl);
        size_t enc = d.find("encoding");
        if (enc != std::string_view::npos) {
            size_t q = d.find_first_of("\"'", enc);
            if (q != std::string_view::npos) {
                size_t q2 = d.find(d[q], q + 1);
                std::string_view value = d.substr(q + 1, q2 == std::string_view::npos ? std::string_view::npos : q2 - q - 1);
                if ((iequals(value, "utf-8") || iequals(value, "utf8")) && validUtf8(body, false))
                    return XmlEncoding::Utf8;
                if (iequals(value, "shiftjis") || iequals(value, "shift-jis") || iequals(value, "sjis") ||
                    iequals(value, "shift_jis"))
                    return XmlEncoding::ShiftJis;
                if (iequals(value, "iso-8859-1") || iequals(value, "latin1") || iequals(value, "latin-1"))
                    return XmlEncoding::Latin1;
            }
        }
    }
    if (validUtf8(body, false)) return XmlEncoding::Utf8;
    return validShiftJis(body) ? XmlEncoding::ShiftJis : XmlEncoding::Latin1;
}

std::string XmlDocument::toUtf8(std::string_view bytes, XmlEncoding encoding)
{
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    switch (encoding) {
    case XmlEncoding::Utf8:
        out.assign(bytes);
        break;
    case XmlEncoding::Latin1:
        for (char c : bytes) appendUtf8(out, static_cast<unsigned char>(c));
        break;
    case XmlEncoding::ShiftJis:
        for (size_t i = 0; i < bytes.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(bytes[i]);
            if (c < 0x80) {
                out.push_back(char(c));
            } else if (c >= 0xA1 && c <= 0xDF) {
                appendUtf8(out, 0xFF61 + (c - 0xA1));   // half-width katakana
            } else if (isSjisLead(c) && i + 1 < bytes.size()) {
                unsigned char t = static_cast<unsigned char>(bytes[++i]);
                uint32_t cp = 0;
                if (t >= 0x40 && t <= 0xFC) {
                    size_t row = c <= 0x9F ? c - 0x81 : c - 0xE0 + 31;
                    cp = kShiftJisTable[row * 189 + (t - 0x40)];
                }
                appendUtf8(out, cp ? cp : 0xFFFD);
            } else {
                appendUtf8(out, 0xFFFD);
            }
        }
        break;
    }
    return out;
}

int XmlDocument::parse(std::string_view bytes, std::string_view expectedTop)
{
    nodes.clear();
    if (bytes.size() > kXmlMaxFileBytes) return kXmlTooLarge;
    sourceEncoding = detectEncoding(bytes);
    if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF && static_cast<unsigned char>(bytes[1]) == 0xBB &&
        static_cast<unsigned char>(bytes[2]) == 0xBF)
        bytes.remove_prefix(3);
    std::string text = toUtf8(bytes, sourceEncoding);
    Parser parser(text);
    std::vector<XmlNode::Child> parsed;
    int rc = parser.run(parsed);
    if (rc) return rc;
    nodes = std::move(parsed);
    // Text converted to UTF-8: say so in the declaration.
    if (sourceEncoding != XmlEncoding::Utf8)
        for (auto& c : nodes)
            if (c.kind == XmlNode::ChildKind::Element && c.node.isDeclaration() && c.node.attribute("encoding"))
                c.node.setAttribute("encoding", "UTF-8");
    XmlNode top = topElement();
    if (top.isNull() || (!expectedTop.empty() && top.name() != expectedTop)) {
        nodes.clear();
        return kXmlWrongTopElement;
    }
    return kXmlOk;
}

int XmlDocument::load(const std::filesystem::path& path, std::string_view expectedTop)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return kXmlCannotRead;
    std::string bytes;
    char buf[65536];
    while (in) {
        in.read(buf, sizeof buf);
        bytes.append(buf, size_t(in.gcount()));
        if (bytes.size() > kXmlMaxFileBytes) return kXmlTooLarge;
    }
    if (in.bad()) return kXmlCannotRead;
    return parse(bytes, expectedTop);
}

std::string XmlDocument::serialize() const
{
    std::string out = "\xEF\xBB\xBF";
    bool declFirst = !nodes.empty() && nodes[0].kind == XmlNode::ChildKind::Element && nodes[0].node.isDeclaration();
    if (!declFirst) out += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    for (const auto& c : nodes) writeChild(out, c, 0);
    return out;
}

int XmlDocument::save(const std::filesystem::path& path) const
{
    // Written beside the target and moved over it: an existing file is
    // replaced whole, never truncated in place, and a symlink is replaced
    // instead of written through.
    std::string text = serialize();
    std::string error;
    auto file = TempOutputFile::Create(TemporaryPathFor(path), path, error);
    if (!file) return kXmlCannotOpenForWrite;
    file->stream().write(text.data(), std::streamsize(text.size()));
    std::error_code ec;
    if (file->Finish()) std::filesystem::rename(file->tempPath(), path, ec);
    else ec = std::make_error_code(std::errc::io_error);
    if (ec) {
        std::filesystem::remove(file->tempPath(), ec);
        return kXmlWriteFailed;
    }
    return kXmlOk;
}

} // namespace vorn::mxf
