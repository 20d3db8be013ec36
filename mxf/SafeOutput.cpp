#include "mxf/SafeOutput.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace vorn::mxf {

namespace {
std::mutex g_hookMutex;
WriteFaultHook g_hook;
std::atomic<unsigned> g_sequence{0};

const char kTempPrefix[] = ".vorn-";
const char kTempSuffix[] = ".tmp";
const char kJournalSuffix[] = ".commit";
const char kJournalHeading[] = "vorn commit journal 1";

long currentProcessId()
{
#if defined(_WIN32)
    return long(GetCurrentProcessId());
#else
    return long(getpid());
#endif
}

bool processAlive(long pid)
{
    if (pid <= 0) return false;
#if defined(_WIN32)
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!h) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    bool alive = GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
    CloseHandle(h);
    return alive;
#else
    return kill(pid_t(pid), 0) == 0 || errno == EPERM;
#endif
}

#if defined(_WIN32)
FileIdentity identityOfHandle(HANDLE h)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) return {};
    return {uint64_t(info.dwVolumeSerialNumber) + 1,
            (uint64_t(info.nFileIndexHigh) << 32) | uint64_t(info.nFileIndexLow)};
}
FileIdentity identityOfFd(int fd) { return identityOfHandle(HANDLE(_get_osfhandle(fd))); }
#else
FileIdentity identityOfFd(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0) return {};
    return {uint64_t(st.st_dev), uint64_t(st.st_ino)};
}
#endif

// 64-bit FNV-1a of a text, for shortened temporary names.
uint64_t hashOf(const std::string& text)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
    return h;
}

// ".vorn-<pid>-<seq>-<name><suffix>", within the file-name limit.
std::string temporaryName(const std::string& name, const char* suffix)
{
    const unsigned seq = ++g_sequence;
    const std::string head = kTempPrefix + std::to_string(currentProcessId()) + "-" + std::to_string(seq) + "-";
    std::string middle = name;
    if (head.size() + middle.size() + std::strlen(suffix) > kMaxFileNameBytes) {
        char tail[20];
        std::snprintf(tail, sizeof tail, "~%016llx", (unsigned long long)hashOf(name));
        size_t keep = kMaxFileNameBytes - head.size() - std::strlen(suffix) - std::strlen(tail);
        // Not inside a UTF-8 sequence.
        while (keep > 0 && keep < middle.size() && (static_cast<unsigned char>(middle[keep]) & 0xC0) == 0x80) --keep;
        middle = middle.substr(0, keep) + tail;
    }
    return head + middle + suffix;
}

bool parseName(const std::string& fileName, const char* suffixText, long& pid, std::string& finalName)
{
    const size_t prefix = sizeof kTempPrefix - 1, suffix = std::strlen(suffixText);
    if (fileName.size() <= prefix + suffix || fileName.compare(0, prefix, kTempPrefix) != 0 ||
        fileName.compare(fileName.size() - suffix, suffix, suffixText) != 0)
        return false;
    size_t p = prefix;
    long value = 0;
    size_t digits = 0;
    while (p < fileName.size() && fileName[p] >= '0' && fileName[p] <= '9' && digits < 10) {
        value = value * 10 + (fileName[p++] - '0');
        ++digits;
    }
    if (!digits || p >= fileName.size() || fileName[p] != '-') return false;
    ++p;
    size_t seqDigits = 0;
    while (p < fileName.size() && fileName[p] >= '0' && fileName[p] <= '9') ++p, ++seqDigits;
    if (!seqDigits || p >= fileName.size() || fileName[p] != '-') return false;
    ++p;
    if (p >= fileName.size() - suffix) return false;
    pid = value;
    finalName = fileName.substr(p, fileName.size() - suffix - p);
    return true;
}

bool writeFaultFor(const fs::path& finalPath)
{
    WriteFaultHook hook;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        hook = g_hook;
    }
    return hook && hook(finalPath);
}
} // namespace

// A buffered stream buffer over a file descriptor, with seeking for writing.
class TempOutputFile::FdBuf : public std::streambuf {
public:
    FdBuf(int fd, fs::path finalPath) : m_fd(fd), m_finalPath(std::move(finalPath)), m_buffer(1 << 18)
    {
        setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
    }
    ~FdBuf() override { close(); }

    bool close()
    {
        if (m_fd < 0) return !m_failed;
        if (!flushBuffer()) m_failed = true;
        // On the disk before the file is given its final name: a power cut
        // must not leave a renamed but empty file.
#if defined(_WIN32)
        if (!m_failed && ::_commit(m_fd) != 0) fail(errno);
        if (::_close(m_fd) != 0) fail(errno);
#else
        if (!m_failed && ::fsync(m_fd) != 0 && errno != EINVAL && errno != ENOTSUP) fail(errno);
        if (::close(m_fd) != 0) fail(errno);
#endif
        m_fd = -1;
        return !m_failed;
    }
    bool isOpen() const { return m_fd >= 0; }
    bool failed() const { return m_failed; }
    int error() const { return m_errno; }

protected:
    int_type overflow(int_type ch) override
    {
        if (!flushBuffer()) return traits_type::eof();
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(ch);
            pbump(1);
        }
        return traits_type::not_eof(ch);
    }
    int sync() override { return flushBuffer() ? 0 : -1; }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override
    {
        if (!(which & std::ios_base::out) || !flushBuffer()) return pos_type(off_type(-1));
        int whence = dir == std::ios_base::beg ? SEEK_SET : dir == std::ios_base::cur ? SEEK_CUR : SEEK_END;
#if defined(_WIN32)
        long long at = ::_lseeki64(m_fd, off, whence);
#else
        off_t at = ::lseek(m_fd, off_t(off), whence);
#endif
        if (at < 0) {
            fail(errno);
            return pos_type(off_type(-1));
        }
        return pos_type(off_type(at));
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override
    {
        return seekoff(off_type(pos), std::ios_base::beg, which);
    }

private:
    // The first failure's cause is kept.
    void fail(int error)
    {
        if (!m_errno) m_errno = error;
        m_failed = true;
    }
    bool flushBuffer()
    {
        if (m_fd < 0 || m_failed) return false;
        const char* p = pbase();
        size_t left = size_t(pptr() - pbase());
        if (left && writeFaultFor(m_finalPath)) {
            fail(ENOSPC);
            return false;
        }
        while (left) {
#if defined(_WIN32)
            int n = ::_write(m_fd, p, unsigned(std::min<size_t>(left, 1u << 30)));
#else
            ssize_t n = ::write(m_fd, p, left);
#endif
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fail(n < 0 ? errno : ENOSPC);   // no byte taken: the device is full
                return false;
            }
            p += n;
            left -= size_t(n);
        }
        setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
        return true;
    }

    int m_fd;
    fs::path m_finalPath;
    std::vector<char> m_buffer;
    bool m_failed = false;
    int m_errno = 0;
};

TempOutputFile::TempOutputFile(int fd, fs::path tempPath, fs::path finalPath)
    : m_buf(std::make_unique<FdBuf>(fd, finalPath)), m_stream(m_buf.get()), m_tempPath(std::move(tempPath)),
      m_finalPath(std::move(finalPath)), m_identity(identityOfFd(fd))
{
}

TempOutputFile::~TempOutputFile() { m_buf->close(); }

std::unique_ptr<TempOutputFile> TempOutputFile::Create(const fs::path& tempPath, const fs::path& finalPath,
                                                       std::string& error)
{
#if defined(_WIN32)
    // _O_EXCL refuses any existing entry; a symlink counts as one.
    int fd = -1;
    errno_t e = ::_wsopen_s(&fd, tempPath.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                            _SH_DENYWR, _S_IREAD | _S_IWRITE);
    if (e != 0) fd = -1;
#else
    // O_EXCL with O_CREAT fails on any existing entry, a symlink (even a
    // dangling one) included; O_NOFOLLOW says the same once more.
    int fd;
    do {
        fd = ::open(tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
#endif
    if (fd < 0) {
        const int e = errno;
        error = std::strerror(e);
        errno = e;
        return nullptr;
    }
    return std::unique_ptr<TempOutputFile>(new TempOutputFile(fd, tempPath, finalPath));
}

std::unique_ptr<TempOutputFile> TempOutputFile::CreateFor(const fs::path& finalPath, std::string& error)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto file = Create(TemporaryPathFor(finalPath), finalPath, error);
        if (file || errno != EEXIST) return file;
    }
    return nullptr;
}

bool TempOutputFile::Finish()
{
    m_stream.flush();
    const bool ok = m_buf->close() && !m_stream.fail();
    return ok;
}

bool TempOutputFile::isOpen() const { return m_buf->isOpen(); }
bool TempOutputFile::failed() const { return m_buf->failed() || m_stream.fail(); }

std::string TempOutputFile::errorText() const
{
    if (m_buf->error()) return std::strerror(m_buf->error());
    return failed() ? "write failed" : "";
}

WriteFaultHook SetWriteFaultHook(WriteFaultHook hook)
{
    std::lock_guard<std::mutex> lock(g_hookMutex);
    std::swap(g_hook, hook);
    return hook;
}

bool RenameNoReplace(const fs::path& from, const fs::path& to, std::error_code& ec)
{
    ec.clear();
#if defined(_WIN32)
    // Without MOVEFILE_REPLACE_EXISTING an existing target makes the move fail.
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    ec = std::error_code(int(GetLastError()), std::system_category());
    return false;
#else
#if defined(SYS_renameat2)
    // RENAME_NOREPLACE (1): atomic where the file system supports it.
    if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 1u) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP) {
        ec = std::error_code(errno, std::generic_category());
        return false;
    }
#endif
    // A hard link fails on an existing target; then drop the temporary name.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST) {
        ec = std::error_code(errno, std::generic_category());
        return false;
    }
    // File systems without hard links (FAT and exFAT cards): check, then move.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0 || errno != ENOENT) {
        ec = std::error_code(EEXIST, std::generic_category());
        return false;
    }
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    ec = std::error_code(errno, std::generic_category());
    return false;
#endif
}

fs::path TemporaryPathFor(const fs::path& finalPath)
{
    return finalPath.parent_path() / temporaryName(finalPath.filename().string(), kTempSuffix);
}

bool ParseTemporaryName(const std::string& fileName, long& pid, std::string& finalName)
{
    return parseName(fileName, kTempSuffix, pid, finalName);
}

int RemoveStaleTemporaries(const fs::path& folder)
{
    int removed = 0;
    std::error_code ec;
    std::vector<fs::path> stale, journals;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        long pid = 0;
        std::string finalName;
        const std::string name = it->path().filename().string();
        const bool journal = parseName(name, kJournalSuffix, pid, finalName);
        if (!journal && !ParseTemporaryName(name, pid, finalName)) continue;
        std::error_code e2;
        if (!it->is_regular_file(e2) || it->is_symlink(e2)) continue;   // only files this program makes
        if (pid == currentProcessId() || processAlive(pid)) continue;
        (journal ? journals : stale).push_back(it->path());
    }
    for (const auto& j : journals) removed += RecoverCommitJournal(j);
    for (const auto& p : stale) {
        std::error_code e2;
        if (fs::remove(p, e2)) ++removed;
    }
    return removed;
}

FileIdentity IdentityOf(const fs::path& path)
{
#if defined(_WIN32)
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    FileIdentity id = identityOfHandle(h);
    CloseHandle(h);
    return id;
#else
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return {};
    return {uint64_t(st.st_dev), uint64_t(st.st_ino)};
#endif
}

bool PatchTemporary(const fs::path& tempPath, const FileIdentity& identity, uint64_t offset, const void* bytes,
                    size_t size)
{
    if (!identity.valid()) return false;
#if defined(_WIN32)
    int fd = -1;
    if (::_wsopen_s(&fd, tempPath.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYWR, 0) != 0) return false;
    bool ok = identityOfFd(fd) == identity && ::_lseeki64(fd, (long long)offset, SEEK_SET) >= 0 &&
              ::_write(fd, bytes, unsigned(size)) == int(size) && ::_commit(fd) == 0;
    ok = ::_close(fd) == 0 && ok;
    return ok;
#else
    int fd;
    do {
        fd = ::open(tempPath.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    bool ok = identityOfFd(fd) == identity;
    const char* p = static_cast<const char*>(bytes);
    size_t left = size;
    off_t at = off_t(offset);
    while (ok && left) {
        ssize_t n = ::pwrite(fd, p, left, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else p += n, left -= size_t(n), at += n;
    }
    if (ok && ::fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP) ok = false;
    ok = ::close(fd) == 0 && ok;
    return ok;
#endif
}

bool SyncFolder(const fs::path& folder)
{
#if defined(_WIN32)
    (void)folder;   // the moves are written through (MOVEFILE_WRITE_THROUGH)
    return true;
#else
    int fd;
    do {
        fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    // Some file systems cannot sync a folder; their entries are as durable as they get.
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
    ::close(fd);
    return ok;
#endif
}

namespace {
std::string toHex(const std::string& text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) out += digits[c >> 4], out += digits[c & 15];
    return out;
}

bool fromHex(const std::string& hex, std::string& out)
{
    if (hex.size() % 2) return false;
    out.clear();
    auto value = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = value(hex[i]), lo = value(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out += char(hi * 16 + lo);
    }
    return true;
}

// A path below the journal's folder: relative, without "..".
bool safeRelative(const fs::path& rel)
{
    if (rel.empty() || rel.is_absolute() || rel.has_root_name() || rel.has_root_directory()) return false;
    for (const auto& part : rel)
        if (part == ".." || part == ".") return false;
    return true;
}
} // namespace

fs::path WriteCommitJournal(const fs::path& folder, const std::string& label, const std::vector<CommitEntry>& entries,
                            std::string& error)
{
    std::string text = std::string(kJournalHeading) + "\n";
    for (const auto& e : entries) {
        const fs::path rel = e.finalPath.lexically_relative(folder);
        if (!safeRelative(rel)) {
            error = "not below the journal's folder: " + e.finalPath.string();
            return {};
        }
        text += std::to_string(e.identity.device) + " " + std::to_string(e.identity.file) + " " +
                toHex(rel.generic_string()) + "\n";
    }
    std::unique_ptr<TempOutputFile> file;
    for (int attempt = 0; attempt < 100 && !file; ++attempt) {
        const fs::path path = folder / temporaryName(label, kJournalSuffix);
        file = TempOutputFile::Create(path, path, error);
        if (!file && errno != EEXIST) break;
    }
    if (!file) return {};
    file->stream().write(text.data(), std::streamsize(text.size()));
    const fs::path path = file->tempPath();
    std::error_code ec;
    if (!file->Finish() || !SyncFolder(folder)) {
        error = "the journal could not be written";
        fs::remove(path, ec);
        return {};
    }
    return path;
}

int RecoverCommitJournal(const fs::path& journal)
{
    const fs::path folder = journal.parent_path();
    std::vector<CommitEntry> entries;
    {
        std::ifstream in(journal, std::ios::binary);
        std::string line;
        bool headed = false;
        // A journal lists a few files; anything much longer is no journal of ours.
        for (int n = 0; n < 1000 && std::getline(in, line); ++n) {
            if (!headed) {
                if (line != kJournalHeading) break;
                headed = true;
                continue;
            }
            std::istringstream fields(line);
            unsigned long long device = 0, file = 0;
            std::string hex, rel;
            if (!(fields >> device >> file >> hex) || !fromHex(hex, rel) || !safeRelative(fs::path(rel))) {
                entries.clear();
                break;
            }
            entries.push_back({folder / fs::path(rel), FileIdentity{device, file}});
        }
    }
    int removed = 0;
    std::error_code ec;
    // The last file at its final name completes the group: it stays.
    if (!entries.empty() && !(IdentityOf(entries.back().finalPath) == entries.back().identity &&
                              entries.back().identity.valid())) {
        for (const auto& e : entries) {
            if (!e.identity.valid() || !(IdentityOf(e.finalPath) == e.identity)) continue;
            if (fs::remove(e.finalPath, ec)) ++removed;
            SyncFolder(e.finalPath.parent_path());
        }
    }
    fs::remove(journal, ec);
    return removed;
}

} // namespace vorn::mxf
