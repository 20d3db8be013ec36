// Output files that never damage what is already on disk: each file is
// created exclusively under a temporary name in its final folder (an existing
// entry, a symlink included, makes the creation fail) and moved to its final
// name only when everything it belongs to has been written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

namespace vorn::mxf {

// A new file created exclusively, written through a std::iostream with seeking.
// Destroying it closes the descriptor but leaves the file where it is.
class TempOutputFile {
public:
    ~TempOutputFile();
    TempOutputFile(const TempOutputFile&) = delete;
    TempOutputFile& operator=(const TempOutputFile&) = delete;

    // Creates `tempPath`; fails when any entry of that name exists. `finalPath`
    // is where the file will go (used for messages and the write-fault hook).
    static std::unique_ptr<TempOutputFile> Create(const std::filesystem::path& tempPath,
                                                  const std::filesystem::path& finalPath, std::string& error);

    std::ostream& stream() { return m_stream; }
    // Flushes and closes; false when any write failed or the close failed.
    bool Finish();
    bool isOpen() const;
    bool failed() const;
    // Why the first write, seek or close failed (the system's text); "" when none did.
    std::string errorText() const;
    const std::filesystem::path& tempPath() const { return m_tempPath; }
    const std::filesystem::path& finalPath() const { return m_finalPath; }

private:
    class FdBuf;
    TempOutputFile(int fd, std::filesystem::path tempPath, std::filesystem::path finalPath);
    std::unique_ptr<FdBuf> m_buf;
    std::ostream m_stream;
    std::filesystem::path m_tempPath, m_finalPath;
};

// Called with the final path of a file before every write to it; returning
// true makes that write fail as a full disk would. Tests install it to
// interrupt an export at a chosen file; an empty function removes it.
using WriteFaultHook = std::function<bool(const std::filesystem::path& finalPath)>;
WriteFaultHook SetWriteFaultHook(WriteFaultHook hook);

// Moves `from` to `to` unless an entry named `to` exists (then EEXIST).
bool RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to, std::error_code& ec);

// The temporary name of a file in its folder: ".vorn-<pid>-<seq>-<name>.tmp".
std::filesystem::path TemporaryPathFor(const std::filesystem::path& finalPath);
// When `fileName` is a temporary name: the writing process and the final name.
bool ParseTemporaryName(const std::string& fileName, long& pid, std::string& finalName);
// Removes the temporary files in a folder whose writing process has ended
// (a killed export). Returns how many were removed.
int RemoveStaleTemporaries(const std::filesystem::path& folder);

} // namespace vorn::mxf
