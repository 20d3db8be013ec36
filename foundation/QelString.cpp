#include "foundation/QelString.h"

#include <cstdio>

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
