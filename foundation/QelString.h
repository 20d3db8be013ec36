// Root object and the owned 8-bit text used for every stored text.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

class QelObj {
public:
    virtual ~QelObj() = default;
};

// An owned, growable 8-bit text. Backed by std::string; positions and lengths
// are 32-bit counts of bytes.
class QelString : public QelObj {
public:
    QelString() = default;
    QelString(const char* text) : m_text(text ? text : "") {}
    QelString(std::string text) : m_text(std::move(text)) {}
    QelString(std::string_view text) : m_text(text) {}

    QelString& operator=(const char* text) { m_text = text ? text : ""; return *this; }
    QelString& operator=(std::string text) { m_text = std::move(text); return *this; }

    uint32_t length() const { return static_cast<uint32_t>(m_text.size()); }
    bool isEmpty() const { return m_text.empty(); }
    const char* c_str() const { return m_text.c_str(); }
    const std::string& str() const { return m_text; }
    std::string& str() { return m_text; }
    operator std::string_view() const { return m_text; }

    QelString& append(std::string_view text) { m_text.append(text); return *this; }
    QelString& operator+=(std::string_view text) { return append(text); }

    // Replaces the value with printf-style formatted text (no length limit).
    QelString& format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    QelString& vformat(const char* fmt, va_list args);

    bool operator==(const QelString& other) const { return m_text == other.m_text; }
    bool operator==(std::string_view other) const { return m_text == other; }

private:
    std::string m_text;
};

// printf-style formatting into a std::string, without a length limit.
std::string qelFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string qelVFormat(const char* fmt, va_list args);
