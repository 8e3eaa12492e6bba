#include "io/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
// Windows has no FIFOs, no sticky folders and no symbolic links a user can
// make without privilege; the fallback below follows links with
// std::filesystem, checks the type the same way, writes through an
// exclusively created file ("x" mode) renamed over the target, and opens the
// data log with the C run-time. Permissions there are the folder's inherited
// access lists, which a renamed file also gets.
#include <filesystem>
#include <io.h>
#include <share.h>
#endif

namespace io {

std::string DescribeSize(std::uint64_t bytes)
{
    char buf[48];
    if (bytes < 10 * 1024)
        std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
    else if (bytes < 10ull * 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%llu KiB", static_cast<unsigned long long>(bytes / 1024));
    else if (bytes < 1024ull * 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%llu MB", static_cast<unsigned long long>(bytes / (1024 * 1024)));
    else
        std::snprintf(buf, sizeof buf, "%.1f GB", static_cast<double>(bytes) / (1024.0 * 1024 * 1024));
    return buf;
}

namespace {

void Say(std::string* error, const std::string& what)
{
    if (error)
        *error = what;
}

std::string TooLarge(std::uint64_t size, std::uint64_t limit)
{
    return "it is " + DescribeSize(size) + ", more than the " + DescribeSize(limit) + " a file of its kind may have";
}

// The file a link led to, for a message: "it" when no link was followed.
std::string Subject(const std::string& asked, const std::string& resolved)
{
    return resolved == asked ? std::string("it") : "it leads to " + resolved + ", which";
}

std::string Folder(const std::string& p)
{
    const std::size_t slash = p.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : p.substr(0, slash);
}

std::string LastName(const std::string& p)
{
    const std::size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string UniqueSuffix()
{
    static std::mt19937_64 random{std::random_device{}() ^ (static_cast<std::uint64_t>(std::random_device{}()) << 32)};
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(random()));
    return buf;
}

} // namespace

#ifndef _WIN32

namespace {

std::string Reason(int e)
{
    return std::strerror(e);
}

const char* KindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO (named pipe)";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    return "something other than a file";
}

// What a path leads to once the symbolic links of its last part are followed.
struct Target {
    std::string path;  // the path with no link left at its end
    bool exists = false;
    struct stat st {};
};

std::string NotRegular(const std::string& asked, const Target& t)
{
    return Subject(asked, t.path) + " is " + KindOf(t.st.st_mode) + ", not a regular file";
}

// Follows the links at the end of `path` (links in the folders above are
// the system's to follow). A link is followed only where the kernel's rule
// for shared folders (fs.protected_symlinks) would follow it too: in a sticky
// folder anyone may write to, it must belong to the folder's owner or to this
// user. The kernel cannot apply that rule here, as the last step is opened
// with O_NOFOLLOW on the resolved name.
bool Resolve(const std::string& path, Target* t, std::string* error)
{
    if (path.empty()) {
        Say(error, "no file name was given");
        return false;
    }
    std::string current = path;
    for (int hops = 0; hops <= 40; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                Say(error, Reason(errno));
                return false;
            }
            t->path = current;
            t->exists = false;
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            t->path = current;
            t->exists = true;
            t->st = st;
            return true;
        }
        const std::string folder = Folder(current);
        struct stat dir {};
        if (::stat(folder.c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH) &&
            st.st_uid != ::geteuid() && st.st_uid != dir.st_uid) {
            Say(error, current + " is a link in a shared folder owned by another user; it is not followed");
            return false;
        }
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
            Say(error, n < 0 ? Reason(errno) : "the link " + current + " cannot be followed");
            return false;
        }
        target.resize(static_cast<std::size_t>(n));
        current = (target.front() == '/' || folder == ".") ? target : folder + "/" + target;
    }
    Say(error, "it leads through too many symbolic links");
    return false;
}

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

bool FileExists(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

FileReader::~FileReader()
{
    close();
}

void FileReader::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool FileReader::open(const std::string& path, std::uint64_t limit, std::string* error)
{
    close();
    Target t;
    if (!Resolve(path, &t, error))
        return false;
    if (!t.exists) {
        Say(error, Subject(path, t.path) + " does not exist");
        return false;
    }
    // Checked before opening too: opening a device can have effects of its own.
    if (!S_ISREG(t.st.st_mode)) {
        Say(error, NotRegular(path, t));
        return false;
    }
    const int fd = ::open(t.path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        Say(error, errno == ELOOP ? std::string("it was replaced by a link while it was opened") : Reason(errno));
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        t.st = st;
        Say(error, NotRegular(path, t));
        ::close(fd);
        return false;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    if (size > limit) {
        Say(error, TooLarge(size, limit));
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_fd = fd;
    m_size = size;
    m_limit = limit;
    m_done = 0;
    return true;
}

long long FileReader::read(char* buffer, std::size_t n, std::string* error)
{
    if (m_fd < 0) {
        Say(error, "the file is not open");
        return -1;
    }
    ssize_t got;
    do
        got = ::read(m_fd, buffer, n);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        Say(error, Reason(errno));
        return -1;
    }
    m_done += static_cast<std::uint64_t>(got);
    if (m_done > m_limit) {
        Say(error, "it grew past " + DescribeSize(m_limit) + " while it was read");
        return -1;
    }
    return got;
}

bool WriteFileReplacing(const std::string& path, std::string_view contents, std::string* error)
{
    Target t;
    if (!Resolve(path, &t, error))
        return false;
    if (t.exists && !S_ISREG(t.st.st_mode)) {
        Say(error, NotRegular(path, t) + "; nothing was written");
        return false;
    }
    // A file the user may not write stays as it is, as it would if it were
    // written in place, though the folder would let the rename replace it.
    if (t.exists && ::access(t.path.c_str(), W_OK) != 0) {
        Say(error, Reason(errno) + " (the file is read-only for this user); nothing was written");
        return false;
    }
    // A dot name beside the target, on the same file system so the rename is
    // atomic; cut short so a long target name still leaves a legal one.
    const std::string folder = Folder(t.path);
    const std::string stem = "." + LastName(t.path).substr(0, 100) + ".";
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 32 && fd < 0; ++attempt) {
        temp = (folder == "." ? std::string() : folder + "/") + stem + UniqueSuffix() + ".tmp";
        // A file that was there keeps its permissions, set below before any
        // byte is written; until then the new file is the user's alone. A
        // new target gets 0666 less the umask from the system itself.
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                    t.exists ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) {
            Say(error, "no new file can be made beside it: " + Reason(errno));
            return false;
        }
    }
    if (fd < 0) {
        Say(error, "no unused temporary name was found beside it");
        return false;
    }
    bool ok = true;
    std::string why;
    if (t.exists) {
        // Only root can give a file away; elsewhere the owner is already us.
        if (t.st.st_uid != ::geteuid() || t.st.st_gid != ::getegid())
            (void)::fchown(fd, t.st.st_uid, t.st.st_gid);
        if (::fchmod(fd, t.st.st_mode & 07777) != 0) {
            ok = false;
            why = "its permissions could not be kept: " + Reason(errno);
        }
    }
    if (ok && !WriteAll(fd, contents)) {
        ok = false;
        why = "it could not be written: " + Reason(errno);
    }
    if (ok && ::fsync(fd) != 0) {
        ok = false;
        why = "it could not be written to the disk: " + Reason(errno);
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        why = "it could not be written: " + Reason(errno);
    }
    if (ok && ::rename(temp.c_str(), t.path.c_str()) != 0) {
        ok = false;
        why = "the new contents could not replace it: " + Reason(errno);
    }
    if (!ok) {
        ::unlink(temp.c_str());
        Say(error, why);
        return false;
    }
    // The rename itself is on the disk once the folder is.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return true;
}

int OpenForLines(const std::string& path, bool append, std::string* error)
{
    Target t;
    if (!Resolve(path, &t, error))
        return -1;
    if (t.exists && !S_ISREG(t.st.st_mode)) {
        Say(error, NotRegular(path, t));
        return -1;
    }
    // No O_TRUNC: the file is emptied only once it is known to be a file.
    const int fd = ::open(t.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                          0666);
    if (fd < 0) {
        Say(error, errno == ELOOP ? std::string("it was replaced by a link while it was opened") : Reason(errno));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        t.st = st;
        Say(error, NotRegular(path, t));
        ::close(fd);
        return -1;
    }
    if (!append && ::ftruncate(fd, 0) != 0) {
        Say(error, "it could not be emptied: " + Reason(errno));
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

#else  // _WIN32

namespace fs = std::filesystem;

namespace {

std::string Utf8(const fs::path& p)
{
    const auto s = p.u8string();  // std::u8string in C++20
    return std::string(s.begin(), s.end());
}

// The file a path leads to, or false with a reason.
bool ResolveWin(const std::string& path, fs::path* target, bool* exists, std::string* error)
{
    if (path.empty()) {
        Say(error, "no file name was given");
        return false;
    }
    std::error_code ec;
    fs::path current = fs::u8path(path);
    for (int hops = 0; hops <= 40; ++hops) {
        const fs::file_status s = fs::symlink_status(current, ec);
        if (!fs::is_symlink(s)) {
            *target = current;
            *exists = fs::exists(s);
            if (*exists && !fs::is_regular_file(s)) {
                Say(error, Subject(path, Utf8(current)) + " is not a regular file");
                return false;
            }
            return true;
        }
        const fs::path next = fs::read_symlink(current, ec);
        if (ec) {
            Say(error, ec.message());
            return false;
        }
        current = next.is_absolute() ? next : current.parent_path() / next;
    }
    Say(error, "it leads through too many symbolic links");
    return false;
}

} // namespace

bool FileExists(const std::string& path)
{
    std::error_code ec;
    return !path.empty() && fs::exists(fs::symlink_status(fs::u8path(path), ec));
}

FileReader::~FileReader()
{
    close();
}

void FileReader::close()
{
    if (m_fd >= 0)
        ::_close(m_fd);
    m_fd = -1;
}

bool FileReader::open(const std::string& path, std::uint64_t limit, std::string* error)
{
    close();
    fs::path target;
    bool exists = false;
    if (!ResolveWin(path, &target, &exists, error))
        return false;
    if (!exists) {
        Say(error, Subject(path, Utf8(target)) + " does not exist");
        return false;
    }
    std::error_code ec;
    const std::uint64_t size = fs::file_size(target, ec);
    if (ec) {
        Say(error, ec.message());
        return false;
    }
    if (size > limit) {
        Say(error, TooLarge(size, limit));
        return false;
    }
    const int fd = ::_wopen(target.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        Say(error, std::strerror(errno));
        return false;
    }
    m_fd = fd;
    m_size = size;
    m_limit = limit;
    m_done = 0;
    return true;
}

long long FileReader::read(char* buffer, std::size_t n, std::string* error)
{
    if (m_fd < 0) {
        Say(error, "the file is not open");
        return -1;
    }
    const int got = ::_read(m_fd, buffer, static_cast<unsigned>(n > (1u << 30) ? (1u << 30) : n));
    if (got < 0) {
        Say(error, std::strerror(errno));
        return -1;
    }
    m_done += static_cast<std::uint64_t>(got);
    if (m_done > m_limit) {
        Say(error, "it grew past " + DescribeSize(m_limit) + " while it was read");
        return -1;
    }
    return got;
}

bool WriteFileReplacing(const std::string& path, std::string_view contents, std::string* error)
{
    fs::path target;
    bool exists = false;
    if (!ResolveWin(path, &target, &exists, error))
        return false;
    fs::path temp;
    std::FILE* f = nullptr;
    for (int attempt = 0; attempt < 32 && !f; ++attempt) {
        temp = target.parent_path() / fs::u8path("." + Utf8(target.filename()).substr(0, 100) + "." + UniqueSuffix() +
                                                 ".tmp");
        f = ::_wfsopen(temp.c_str(), L"wbx", _SH_DENYRW);  // "x": created exclusively
        if (!f && errno != EEXIST)
            break;
    }
    if (!f) {
        Say(error, std::string("no new file can be made beside it: ") + std::strerror(errno));
        return false;
    }
    bool ok = std::fwrite(contents.data(), 1, contents.size(), f) == contents.size();
    ok = std::fflush(f) == 0 && ::_commit(::_fileno(f)) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    std::error_code ec;
    if (ok)
        fs::rename(temp, target, ec);  // MoveFileEx with MOVEFILE_REPLACE_EXISTING
    if (!ok || ec) {
        fs::remove(temp, ec);
        Say(error, "it could not be written");
        return false;
    }
    return true;
}

int OpenForLines(const std::string& path, bool append, std::string* error)
{
    fs::path target;
    bool exists = false;
    if (!ResolveWin(path, &target, &exists, error))
        return -1;
    const int fd = ::_wopen(target.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                            _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        Say(error, std::strerror(errno));
        return -1;
    }
    if (!append && ::_chsize_s(fd, 0) != 0) {
        Say(error, "it could not be emptied");
        ::_close(fd);
        return -1;
    }
    return fd;
}

#endif

bool ReadRegularFile(const std::string& path, std::uint64_t limit, std::string* contents, std::string* error)
{
    FileReader f;
    if (!f.open(path, limit, error))
        return false;
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(f.size()));
    char buffer[64 * 1024];
    for (;;) {
        const long long n = f.read(buffer, sizeof buffer, error);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    if (contents)
        *contents = std::move(bytes);
    return true;
}

} // namespace io
