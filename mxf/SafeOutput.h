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

// What tells one file from another on its disk (device and file number), so
// that a file can be recognised under another name after a rename.
struct FileIdentity {
    uint64_t device = 0, file = 0;
    bool valid() const { return device != 0 || file != 0; }
    bool operator==(const FileIdentity&) const = default;
};
// The identity of the entry at `path` (a symlink itself, not its target);
// invalid when there is none.
FileIdentity IdentityOf(const std::filesystem::path& path);

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
    // Creates a new temporary file for `finalPath` in its folder; a temporary
    // name already in use (left by an earlier process of the same number) is
    // passed over for the next one.
    static std::unique_ptr<TempOutputFile> CreateFor(const std::filesystem::path& finalPath, std::string& error);

    std::ostream& stream() { return m_stream; }
    // Flushes, syncs to the disk and closes; false when any of it failed.
    bool Finish();
    bool isOpen() const;
    bool failed() const;
    // Why the first write, seek or close failed (the system's text); "" when none did.
    std::string errorText() const;
    const std::filesystem::path& tempPath() const { return m_tempPath; }
    const std::filesystem::path& finalPath() const { return m_finalPath; }
    // The file is to go to another final name (its folder stays the same).
    void SetFinalPath(const std::filesystem::path& path) { m_finalPath = path; }
    // The identity of the file made, whatever name it has later.
    const FileIdentity& identity() const { return m_identity; }

private:
    class FdBuf;
    TempOutputFile(int fd, std::filesystem::path tempPath, std::filesystem::path finalPath);
    std::unique_ptr<FdBuf> m_buf;
    std::ostream m_stream;
    std::filesystem::path m_tempPath, m_finalPath;
    FileIdentity m_identity;
};

// Called with the final path of a file before every write to it; returning
// true makes that write fail as a full disk would. Tests install it to
// interrupt an export at a chosen file; an empty function removes it.
using WriteFaultHook = std::function<bool(const std::filesystem::path& finalPath)>;
WriteFaultHook SetWriteFaultHook(WriteFaultHook hook);

// Moves `from` to `to` unless an entry named `to` exists (then EEXIST).
bool RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to, std::error_code& ec);

// Longest file name, in bytes, the file systems written to accept.
constexpr size_t kMaxFileNameBytes = 255;

// The temporary name of a file in its folder: ".vorn-<pid>-<seq>-<name>.tmp".
// A name too long for the file-name limit keeps the start of the final name
// and ends it with "~" and a hash of the whole final name.
std::filesystem::path TemporaryPathFor(const std::filesystem::path& finalPath);
// When `fileName` is a temporary name: the writing process and the final name
// (as far as the temporary name holds it).
bool ParseTemporaryName(const std::string& fileName, long& pid, std::string& finalName);
// Removes the temporary files in a folder whose writing process has ended
// (a killed export), and finishes the commit journals such a process left
// there (see WriteCommitJournal). Returns how many files were removed.
int RemoveStaleTemporaries(const std::filesystem::path& folder);

// Writes `bytes` at `offset` into a temporary file this process made, after
// checking that the entry at `tempPath` is still that file; synced. False
// when it is not or the write fails.
bool PatchTemporary(const std::filesystem::path& tempPath, const FileIdentity& identity, uint64_t offset,
                    const void* bytes, size_t size);

// Makes the entries of a folder (new names, renames, removals) durable.
bool SyncFolder(const std::filesystem::path& folder);

// A commit moves a group of files to their final names one by one; the
// journal lists them so that the group can be taken back when the process
// dies part way. Written (and synced) into `folder` before the first move,
// as ".vorn-<pid>-<seq>-<label>.commit"; the entries are in the order of the
// moves, the last one being the file whose final name completes the group.
// The final paths must lie below `folder`. Empty path on failure.
struct CommitEntry {
    std::filesystem::path finalPath;
    FileIdentity identity;
};
std::filesystem::path WriteCommitJournal(const std::filesystem::path& folder, const std::string& label,
                                         const std::vector<CommitEntry>& entries, std::string& error);
// Finishes the journal of a process that died: when the last entry's file is
// at its final name the group is complete and stays; otherwise every listed
// file still found at its final name (the same file, by identity) is
// removed. The journal is removed in both cases; returns the files removed.
int RecoverCommitJournal(const std::filesystem::path& journal);

} // namespace vorn::mxf
