#include "mxf/SafeOutput.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
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
#if defined(_WIN32)
        if (::_close(m_fd) != 0) fail(errno);
#else
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
      m_finalPath(std::move(finalPath))
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
        error = std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<TempOutputFile>(new TempOutputFile(fd, tempPath, finalPath));
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
    const unsigned seq = ++g_sequence;
    std::string name = kTempPrefix + std::to_string(currentProcessId()) + "-" + std::to_string(seq) + "-" +
                       finalPath.filename().string() + kTempSuffix;
    return finalPath.parent_path() / name;
}

bool ParseTemporaryName(const std::string& fileName, long& pid, std::string& finalName)
{
    const size_t prefix = sizeof kTempPrefix - 1, suffix = sizeof kTempSuffix - 1;
    if (fileName.size() <= prefix + suffix || fileName.compare(0, prefix, kTempPrefix) != 0 ||
        fileName.compare(fileName.size() - suffix, suffix, kTempSuffix) != 0)
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

int RemoveStaleTemporaries(const fs::path& folder)
{
    int removed = 0;
    std::error_code ec;
    std::vector<fs::path> stale;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        long pid = 0;
        std::string finalName;
        if (!ParseTemporaryName(it->path().filename().string(), pid, finalName)) continue;
        std::error_code e2;
        if (!it->is_regular_file(e2) || it->is_symlink(e2)) continue;   // only files this program makes
        if (pid == currentProcessId() || processAlive(pid)) continue;
        stale.push_back(it->path());
    }
    for (const auto& p : stale) {
        std::error_code e2;
        if (fs::remove(p, e2)) ++removed;
    }
    return removed;
}

} // namespace vorn::mxf
