// A path and its parts (drive, directory, folder, name, extension), with
// operations that rebuild it and create its folder. The separator is the
// platform's ("\" on Windows, "/" elsewhere); the drive is empty off Windows.
#pragma once

#include "foundation/QelString.h"

#include <string_view>

class FilePath : public QelObj {
public:
    // Splits the path: drive ("C:" on Windows), directory (up to and including
    // the last separator), file name (up to its last dot) and extension (with
    // its dot). With stripTrailing, the folder text has no trailing separator.
    explicit FilePath(std::string_view path = {}, bool stripTrailing = false);
    // The running executable's own file.
    static FilePath ofModule(bool stripTrailing = false);

    const QelString& drive() const { return m_drive; }
    const QelString& directory() const { return m_directory; }
    const QelString& folder() const { return m_folder; }
    const QelString& fullPath() const { return m_fullPath; }
    const QelString& name() const { return m_name; }
    const QelString& extension() const { return m_extension; }

    // Adds a directory level below the current directory; rebuilds folder and path.
    void appendFolder(std::string_view name);
    // Replaces name and extension. Without an extension argument the name is
    // taken up to its first dot and the rest (with the dot) is the extension.
    void setName(std::string_view name, const char* extension = nullptr);
    // Moves the directory up by `levels` (never above the root). Without
    // keepName the name and extension are cleared; with rebuild the folder and
    // full path are rebuilt.
    void up(int levels, bool keepName = false, bool rebuild = true);
    // Creates the folder and every missing level above it, however many.
    // True when the folder exists afterwards.
    bool createFolders() const;

private:
    void rebuild();

    QelString m_drive;
    QelString m_directory;
    QelString m_folder;
    QelString m_fullPath;
    QelString m_name;
    QelString m_extension;
    bool m_stripTrailing = false;
};
