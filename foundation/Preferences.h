// The key/value settings store and its text file ("key = value" lines).
#pragma once

#include "foundation/QelContainers.h"
#include "foundation/QelString.h"

#include <cstdint>
#include <string>
#include <string_view>

class Preferences {
public:
    virtual ~Preferences() = default;

    // Remembers the path and applies every "key = value" line of the file to the
    // registered keys. Returns false (values unchanged) when the file cannot be opened.
    virtual bool load(const QelString& path);

    // Appends (key, default) unless the key is already present.
    void registerDefault(std::string_view key, std::string_view value);
    // Replaces the value of a registered key; an unregistered key is logged
    // (ERROR "Preferences::update") and dropped.
    void update(std::string_view key, std::string_view value);

    // Writes every entry in registration order with "%s = %s\n". With a path,
    // remembers it first; with no remembered path does nothing. Creates the
    // file's folder when missing. Returns true when the file was written.
    // The first file of this store that cannot be written leaves a notice for
    // the user (see takeSaveFailureNotice).
    bool save(const char* path = nullptr);

    // The text of the message box that tells of the first failed save of this
    // store ("Unable to save options file. Check permissions of folder:\n..."),
    // once: empty when no save has failed, and after it has been taken. The
    // program shows it (titled "Quintell").
    std::string takeSaveFailureNotice();

    // The value, or an empty text for a missing key.
    const QelString& getString(std::string_view key) const;
    // Replaces the value of an existing key; a missing key is ignored.
    void setString(std::string_view key, std::string_view value);
    // True unless the value is exactly "0"; a missing key is false.
    bool getBool(std::string_view key) const;
    void setBool(std::string_view key, bool value);
    // The leading decimal number of the value; 0 (also empty, non-numeric or
    // non-finite) yields the fallback; a missing key yields 0.
    float getFloat(std::string_view key, float fallback) const;
    // The leading unsigned decimal number of the value; 0 when there is none or
    // the key is missing. Saturates at the largest value.
    uint64_t getUInt64(std::string_view key) const;

    bool has(std::string_view key) const { return m_entries.list().contains(key); }
    const QelMap& entries() const { return m_entries; }
    // The path given to the last load or save that named one.
    const QelString& path() const { return m_path; }

    // Applies one line of an options file (exposed for tests).
    void applyLine(std::string_view line);

private:
    QelString m_empty;
    QelString m_path;
    QelMap m_entries;
    bool m_saveFailed = false;          // a save has failed (its notice is made once)
    std::string m_saveFailureNotice;    // not yet taken
};
