#include "foundation/QelString.h"

#include <cstdio>
#include <stdexcept>

void QelString::checkLength(uint64_t length)
{
    if (length > kMaxLength)
        throw std::length_error("string too long");
}

void QelString::checkPosition(uint32_t pos) const
{
    if (pos > m_text.size())
        throw std::out_of_range("invalid string position");
}

QelString& QelString::append(std::string_view text)
{
    checkLength(uint64_t{m_text.size()} + text.size());
    m_text.append(text);
    return *this;
}

void QelString::reserve(uint64_t capacity)
{
    checkLength(capacity);
    m_text.reserve(static_cast<size_t>(capacity));
}

char QelString::at(uint32_t pos) const
{
    if (pos >= m_text.size())
        throw std::out_of_range("invalid string position");
    return m_text[pos];
}

QelString QelString::substr(uint32_t pos, uint32_t count) const
{
    checkPosition(pos);
    return QelString(m_text.substr(pos, count));
}

QelString& QelString::insert(uint32_t pos, std::string_view text)
{
    checkPosition(pos);
    checkLength(uint64_t{m_text.size()} + text.size());
    m_text.insert(pos, text);
    return *this;
}

QelString& QelString::erase(uint32_t pos, uint32_t count)
{
    checkPosition(pos);
    m_text.erase(pos, count);
    return *this;
}

uint32_t QelString::find(std::string_view text, uint32_t pos) const
{
    size_t at = m_text.find(text, pos);
    return at == std::string::npos ? npos : static_cast<uint32_t>(at);
}

uint32_t QelString::rfind(char c) const
{
    size_t at = m_text.rfind(c);
    return at == std::string::npos ? npos : static_cast<uint32_t>(at);
}

std::string qelVFormat(const char* fmt, va_list args)
{
    char small[256];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0)
        return {};
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string qelFormat(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string out = qelVFormat(fmt, args);
    va_end(args);
    return out;
}

QelString& QelString::vformat(const char* fmt, va_list args)
{
    m_text = qelVFormat(fmt, args);
    return *this;
}

QelString& QelString::format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vformat(fmt, args);
    va_end(args);
    return *this;
}
