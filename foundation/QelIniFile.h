// A reader of sectioned key/value files:
//   [Section]
//   Key=Value
// Names and values cannot contain spaces, "=", "[" or "]".
#pragma once

#include "foundation/QelContainers.h"
#include "foundation/QelString.h"

class QelIniFile : public Associative_List<QelString, Associative_List<QelString, QelString>> {
public:
    using Section = Associative_List<QelString, QelString>;

    // Reads the whole file, replacing what was read before. False when the file
    // cannot be opened or read.
    bool read(const QelString& path);
    // Parses text as read() does with a file's contents (exposed for tests).
    void parse(std::string_view text);

    // The value of key in section: throws this list's KeyNotFound for a missing
    // section, the section's Section::KeyNotFound for a missing key.
    const QelString& value(std::string_view section, std::string_view key) const
    {
        return lookup(section).lookup(key);
    }

    const QelString& path() const { return m_path; }

private:
    QelString m_path;
};
