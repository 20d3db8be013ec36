#include "foundation/QelIniFile.h"

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Files larger than this are not version files; they are refused.
constexpr std::streamoff kMaxFileSize = 16 * 1024 * 1024;

struct Token {
    std::string_view text;
    char endedBy; // the delimiter after the token, or '\0' at the end of the text
};

bool isDelimiter(char c)
{
    return c == '[' || c == ']' || c == ' ' || c == '=' || c == '\n';
}

} // namespace

void QelIniFile::parse(std::string_view text)
{
    clear();
    std::vector<Token> tokens;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        char c = i < text.size() ? text[i] : '\0';
        if (i < text.size() && !isDelimiter(c))
            continue;
        if (i > start)
            tokens.push_back({text.substr(start, i - start), c});
        start = i + 1;
    }

    size_t i = 0;
    while (i < tokens.size()) {
        Section section;
        QelString name(tokens[i++].text);
        while (i < tokens.size()) {
            const Token& key = tokens[i];
            if (key.endedBy == ']')
                break; // the next section's name
            if (i + 1 >= tokens.size() || tokens[i + 1].endedBy == ']') {
                ++i; // a key without a value
                break;
            }
            section.append(QelString(key.text), QelString(tokens[i + 1].text));
            i += 2;
        }
        append(name, section);
    }
}

bool QelIniFile::read(const QelString& path)
{
    m_path = path;
    clear();
    std::ifstream in(path.str(), std::ios::binary);
    if (!in)
        return false;
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (size < 0 || size > kMaxFileSize)
        return false;
    in.seekg(0, std::ios::beg);
    std::string text(static_cast<size_t>(size), '\0');
    if (size > 0 && !in.read(text.data(), size))
        return false;
    // Text-mode reading: a carriage return before a line feed is dropped.
    std::string cleaned;
    cleaned.reserve(text.size());
    for (size_t k = 0; k < text.size(); ++k)
        if (!(text[k] == '\r' && k + 1 < text.size() && text[k + 1] == '\n'))
            cleaned += text[k];
    parse(cleaned);
    return true;
}
