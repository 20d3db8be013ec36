// A recursive file finder: collects the files of a folder tree whose names end
// in one of a list of patterns, with optional callbacks that can stop the search.
#pragma once

#include "foundation/QelContainers.h"
#include "foundation/QelString.h"

#include <memory>
#include <string_view>
#include <vector>

class CTevFindFiles : public QelArray {
public:
    // Mode 1 visits folders only and collects no files; mode 2 also calls the
    // folder callback; mode 0 collects files only.
    enum Mode { kFiles = 0, kFoldersOnly = 1, kFilesAndFolders = 2 };
    // The value passed to the file callback for a file.
    static constexpr int kFileEntry = 2;

    // Called for each matching file (path, kFileEntry, argument); false ends the search.
    using FileCallback = bool (*)(const QelString& path, int type, void* argument);
    // Called for each sub-folder in modes 1 and 2 (path, argument); false ends the search.
    using FolderCallback = bool (*)(const QelString& path, void* argument);

    // patterns: file-name endings separated by commas (".MXF"), or null.
    explicit CTevFindFiles(int mode = kFiles, const char* patterns = nullptr);

    // Searches the folder; with recurse, sub-folders depth first, each one before
    // the entries that follow it. Matching is by exact, case-sensitive name
    // ending. Entries of a folder are visited in byte order of their names
    // (directory listing order is arbitrary on most systems, so the order is
    // fixed here for reproducible results). A folder that cannot be read adds
    // nothing. Returns false when a callback ended the search.
    bool find(std::string_view folder, bool recurse, FileCallback onFile = nullptr,
              FolderCallback onFolder = nullptr, void* argument = nullptr);

    // The i-th path found (results are also the QelArray's items).
    const QelString& path(size_t index) const { return *static_cast<const QelString*>(at(index)); }
    const std::vector<QelString>& patterns() const { return m_patterns; }

private:
    bool matches(std::string_view path) const;
    bool search(const std::string& folder, bool recurse, FileCallback onFile, FolderCallback onFolder,
                void* argument, std::vector<std::string>& visited);

    int m_mode;
    std::vector<QelString> m_patterns;
    std::vector<std::unique_ptr<QelString>> m_owned;
};
