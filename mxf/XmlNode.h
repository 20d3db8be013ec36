// A small XML document model for the P2 clip metadata files: elements with
// ordered attributes and ordered children (elements, texts and clear sections
// kept verbatim), reference-counted so that copies share the tree.
//
// Reading detects the file's encoding (UTF-8 with or without BOM, Shift-JIS,
// ISO-8859-1) and holds all text as UTF-8; writing always produces UTF-8.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::mxf {

enum class XmlEncoding { Utf8, ShiftJis, Latin1 };

// Result codes of parsing, loading and saving (0 = success).
enum XmlError : int {
    kXmlOk = 0,
    kXmlCannotRead = 1,        // the file cannot be opened or read
    kXmlTooLarge = 2,          // longer than kXmlMaxFileBytes
    kXmlUnexpectedEnd = 3,     // the text ends inside a construct
    kXmlSyntax = 4,            // malformed tag, attribute or name
    kXmlMismatchedTag = 5,     // end tag does not match the open element
    kXmlWrongTopElement = 6,   // no top element, or not the expected one
    kXmlTooDeep = 7,           // nesting deeper than kXmlMaxDepth
    kXmlTooManyNodes = 8,      // more than kXmlMaxNodes elements, texts, sections and attributes
    kXmlUnknownEntity = 12,    // unknown character entity
    kXmlCannotOpenForWrite = 14,
    kXmlWriteFailed = 15,
};

constexpr size_t kXmlMaxFileBytes = 16u << 20;
constexpr size_t kXmlMaxDepth = 256;
// A clip XML holds a few hundred nodes; far more is no clip XML (and would
// take far more memory than the file's size).
constexpr size_t kXmlMaxNodes = 100000;

class XmlNode {
public:
    enum class ChildKind { Element, Text, Verbatim };
    struct Child;

    XmlNode() = default;   // the null node
    static XmlNode element(std::string name);
    static XmlNode declaration(std::string name = "xml");

    bool isNull() const { return !m_node; }
    explicit operator bool() const { return !isNull(); }
    bool isDeclaration() const;
    const std::string& name() const;

    const std::vector<std::pair<std::string, std::optional<std::string>>>& attributes() const;
    // Adds an attribute; a missing value is written as the name alone.
    void addAttribute(std::string name, std::optional<std::string> value);
    std::optional<std::string> attribute(std::string_view name) const;
    void setAttribute(std::string_view name, std::string value);

    const std::vector<Child>& children() const;
    // First child element with the name (a path step); null when absent.
    XmlNode child(std::string_view name) const;
    XmlNode addChild(std::string name);
    // Adds a child element holding one text.
    XmlNode addTextChild(std::string name, std::string text);
    void addText(std::string text);
    void addVerbatim(std::string text);
    // Adds a deep copy of another node as a child and returns the copy.
    XmlNode addCopy(const XmlNode& node);
    void addNode(const XmlNode& node);   // shares the node (no copy)
    XmlNode clone() const;
    // The concatenated text children.
    std::string text() const;
    size_t elementCount() const;
    // In an element with more than one child, trims the white space around
    // its texts (that is layout, rewritten on output) and drops empty ones.
    void trimMixedText();

    bool sameNode(const XmlNode& other) const { return m_node == other.m_node; }

private:
    struct Data;
    explicit XmlNode(std::shared_ptr<Data> d) : m_node(std::move(d)) {}
    std::shared_ptr<Data> m_node;
};

struct XmlNode::Child {
    ChildKind kind = ChildKind::Text;
    XmlNode node;        // elements
    std::string text;    // texts (unescaped) and verbatim sections (as written)
};

class XmlDocument {
public:
    // Top-level nodes: usually the declaration, holding the top element as its child.
    std::vector<XmlNode::Child> nodes;
    XmlEncoding sourceEncoding = XmlEncoding::Utf8;

    // The first element at top level or inside a top-level declaration.
    XmlNode topElement() const;

    // Parses text. With a non-empty expected name the top element must have it.
    int parse(std::string_view bytes, std::string_view expectedTop = {});
    int load(const std::filesystem::path& path, std::string_view expectedTop = {});

    std::string serialize() const;
    int save(const std::filesystem::path& path) const;

    // Encoding decision: byte order mark or declaration in the first 200
    // bytes, UTF-8 only when the whole text is valid UTF-8 (exposed for tests).
    static XmlEncoding detectEncoding(std::string_view bytes);
    // Converts bytes of an encoding to UTF-8.
    static std::string toUtf8(std::string_view bytes, XmlEncoding encoding);
};

// Escapes & < > " ' as entities. Whatever XML text cannot hold (bytes that
// are not UTF-8, control characters other than tab, line feed and carriage
// return) becomes U+FFFD, so the output is always well-formed UTF-8.
std::string xmlEscape(std::string_view text);
// True when the text is UTF-8 that XML text can hold as it is.
bool isXmlSafeText(std::string_view text);
// The text with whatever XML text cannot hold replaced by U+FFFD.
std::string xmlSafeText(std::string_view text);
// Lossless printable form of bytes that may not be UTF-8: every byte that is
// not part of a valid UTF-8 character is written \xHH, and a backslash that
// would read as such an escape is written \x5C. Valid UTF-8 without such a
// backslash comes back unchanged.
std::string escapeInvalidUtf8(std::string_view bytes);
// Decodes the five named entities and numeric references; false on an unknown entity.
bool xmlUnescape(std::string_view text, std::string& out);

} // namespace vorn::mxf
