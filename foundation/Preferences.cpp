#include "foundation/Preferences.h"

#include "foundation/Log.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <utility>

namespace {

bool isSpaceChar(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

} // namespace

std::string Preferences::takeSaveFailureNotice()
{
    return std::exchange(m_saveFailureNotice, std::string());
}

void Preferences::registerDefault(std::string_view key, std::string_view value)
{
    if (!m_entries.list().contains(key))
        m_entries.list().append(QelString(key), QelString(value));
}

void Preferences::update(std::string_view key, std::string_view value)
{
    if (QelString* v = m_entries.list().find(key)) {
        *v = std::string(value);
        return;
    }
    log(LOG_ERROR, "Preferences::update", "");
}

void Preferences::applyLine(std::string_view line)
{
    size_t i = 0;
    while (i < line.size() && isSpaceChar(line[i]))
        ++i;
    size_t keyStart = i;
    while (i < line.size() && line[i] != '=' && line[i] != '\n')
        ++i;
    size_t keyEnd = i;
    while (keyEnd > keyStart && isSpaceChar(line[keyEnd - 1]))
        --keyEnd;
    if (keyEnd == keyStart)
        return;
    while (i < line.size() && (line[i] == '=' || line[i] == ' '))
        ++i;
    size_t valueStart = i;
    while (i < line.size() && line[i] != '\n')
        ++i;
    size_t valueEnd = i;
    while (valueEnd > valueStart && line[valueEnd - 1] == ' ')
        --valueEnd;
    update(line.substr(keyStart, keyEnd - keyStart), line.substr(valueStart, valueEnd - valueStart));
}

bool Preferences::load(const QelString& path)
{
    m_path = path;
    std::error_code ec;
    if (std::filesystem::is_directory(path.str(), ec))
        return false; // a folder opens for reading here but is no options file
    std::ifstream in(path.str(), std::ios::binary);
    if (!in)
        return false;
    // Lines are read whole, however long. A carriage return before the line
    // feed is dropped, as text-mode reading does for files written on Windows.
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        applyLine(line);
    }
    return true;
}

bool Preferences::save(const char* path)
{
    if (path)
        m_path = path;
    if (m_path.isEmpty())
        return false;
    std::filesystem::path file(m_path.str());
    if (file.has_parent_path()) {
        std::error_code ec;
        std::filesystem::create_directories(file.parent_path(), ec);
    }
    std::ofstream out(m_path.str(), std::ios::binary | std::ios::trunc);
    if (out) {
        for (const auto& [key, value] : m_entries)
            out << key.str() << " = " << value.str() << '\n';
        out.flush();
        if (out)
            return true;
    }
    if (!m_saveFailed) {
        m_saveFailed = true;
        std::string folder = file.parent_path().string();
        if (!folder.empty() && folder.back() != std::filesystem::path::preferred_separator)
            folder += std::filesystem::path::preferred_separator;
        m_saveFailureNotice = qelFormat("Unable to save %s file. Check permissions of folder:\n%s",
                                        file.stem().string().c_str(), folder.c_str());
    }
    return false;
}

const QelString& Preferences::getString(std::string_view key) const
{
    const QelString* v = m_entries.list().find(key);
    return v ? *v : m_empty;
}

void Preferences::setString(std::string_view key, std::string_view value)
{
    if (QelString* v = m_entries.list().find(key))
        *v = std::string(value);
}

bool Preferences::getBool(std::string_view key) const
{
    const QelString* v = m_entries.list().find(key);
    return v && !(*v == std::string_view("0"));
}

void Preferences::setBool(std::string_view key, bool value)
{
    setString(key, value ? "1" : "0");
}

float Preferences::getFloat(std::string_view key, float fallback) const
{
    const QelString* v = m_entries.list().find(key);
    if (!v)
        return 0.0f;
    double d = std::strtod(v->c_str(), nullptr);
    float f = static_cast<float>(d);
    if (f == 0.0f || !std::isfinite(f))
        return fallback;
    return f;
}

uint64_t Preferences::getUInt64(std::string_view key) const
{
    const QelString* v = m_entries.list().find(key);
    if (!v)
        return 0;
    const char* p = v->c_str();
    while (isSpaceChar(*p))
        ++p;
    if (*p == '+')
        ++p;
    uint64_t n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (n > (std::numeric_limits<uint64_t>::max() - digit) / 10)
            return std::numeric_limits<uint64_t>::max();
        n = n * 10 + digit;
    }
    return n;
}
