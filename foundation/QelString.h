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
// are 32-bit counts of bytes. A position beyond the end raises
// std::out_of_range("invalid string position"); a length beyond kMaxLength
// raises std::length_error("string too long").
class QelString : public QelObj {
public:
    static constexpr uint32_t npos = 0xFFFFFFFFu;
    static constexpr uint32_t kMaxLength = 0xFFFFFFFEu;

    QelString() = default;
    QelString(const char* text) : m_text(text ? text : "") {}
    QelString(std::string text) : m_text(std::move(text)) { checkLength(m_text.size()); }
    QelString(std::string_view text) : m_text((checkLength(text.size()), text)) {}

    QelString& operator=(const char* text) { m_text = text ? text : ""; return *this; }
    QelString& operator=(std::string text) { checkLength(text.size()); m_text = std::move(text); return *this; }

    uint32_t length() const { return static_cast<uint32_t>(m_text.size()); }
    bool isEmpty() const { return m_text.empty(); }
    const char* c_str() const { return m_text.c_str(); }
    const std::string& str() const { return m_text; }
    std::string& str() { return m_text; }
    operator std::string_view() const { return m_text; }

    QelString& append(std::string_view text);
    QelString& operator+=(std::string_view text) { return append(text); }
    void clear() { m_text.clear(); }
    // Makes room for `capacity` bytes (the length error when it is too many).
    void reserve(uint64_t capacity);

    // The byte at pos (< length).
    char at(uint32_t pos) const;
    // Up to `count` bytes from pos (pos <= length).
    QelString substr(uint32_t pos, uint32_t count = npos) const;
    // Inserts text before pos (pos <= length).
    QelString& insert(uint32_t pos, std::string_view text);
    // Removes up to `count` bytes from pos (pos <= length).
    QelString& erase(uint32_t pos, uint32_t count = npos);
    // Position of the first occurrence of text at or after pos, or npos.
    uint32_t find(std::string_view text, uint32_t pos = 0) const;
    // Position of the last occurrence of c, or npos.
    uint32_t rfind(char c) const;

    // Replaces the value with printf-style formatted text (no length limit).
    QelString& format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    QelString& vformat(const char* fmt, va_list args);

    bool operator==(const QelString& other) const { return m_text == other.m_text; }
    bool operator==(std::string_view other) const { return m_text == other; }
    bool operator==(const char* other) const { return m_text == std::string_view(other ? other : ""); }

private:
    static void checkLength(uint64_t length);
    void checkPosition(uint32_t pos) const;

    std::string m_text;
};

// printf-style formatting into a std::string, without a length limit.
std::string qelFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string qelVFormat(const char* fmt, va_list args);
