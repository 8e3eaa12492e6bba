#include "server/token.h"

#include <cerrno>
#include <cstdlib>
#include <cctype>
#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace server {

namespace {

std::string Folder(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Makes each missing folder of path with mode 0700.
bool MakeFolders(const std::string& folder, std::string* error)
{
    if (folder.empty())
        return true;
    for (std::size_t pos = 1; pos <= folder.size(); ++pos) {
        if (pos != folder.size() && folder[pos] != '/')
            continue;
        const std::string part = folder.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = part + " cannot be made: " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool Trimmed(std::string* s)
{
    while (!s->empty() && (s->back() == '\n' || s->back() == '\r' || s->back() == ' ' || s->back() == '\t'))
        s->pop_back();
    return true;
}

} // namespace

std::string TokenPath()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        return std::string(xdg) + "/tecontrol/server-token";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.config/tecontrol/server-token";
    return "";
}

bool LoadOrCreateToken(const std::string& path, std::string* token, std::string* error)
{
    if (path.empty()) {
        *error = "no configuration folder is known (neither XDG_CONFIG_HOME nor HOME is set)";
        return false;
    }
    if (!MakeFolders(Folder(path), error))
        return false;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        unsigned char bytes[32];
        std::size_t got = 0;
        while (got < sizeof bytes) {
            const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                *error = std::string("no random bytes for the token: ") + std::strerror(errno);
                return false;
            }
            got += static_cast<std::size_t>(n);
        }
        static const char kHex[] = "0123456789abcdef";
        std::string made;
        for (unsigned char b : bytes) {
            made += kHex[b >> 4];
            made += kHex[b & 15];
        }
        // A new file only: another process making it at the same moment wins,
        // and its token is read below.
        const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (out >= 0) {
            const std::string text = made + "\n";
            const bool ok = ::write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            const bool closed = ::close(out) == 0;
            if (!ok || !closed) {
                ::unlink(path.c_str());
                *error = path + " cannot be written";
                return false;
            }
            *token = made;
            return true;
        }
        if (errno != EEXIST) {
            *error = path + " cannot be made: " + std::strerror(errno);
            return false;
        }
        fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd < 0) {
        *error = path + " cannot be read: " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_size > 4096) {
        ::close(fd);
        *error = path + " is not a token file of this user";
        return false;
    }
    if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0) {
        ::close(fd);
        *error = path + " can be read by others and cannot be made private: " + std::strerror(errno);
        return false;
    }
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    const ssize_t n = ::read(fd, text.data(), text.size());
    ::close(fd);
    if (n < 0) {
        *error = path + " cannot be read";
        return false;
    }
    text.resize(static_cast<std::size_t>(n));
    Trimmed(&text);
    if (text.size() < 16 || text.find_first_of(" \t\r\n") != std::string::npos) {
        *error = path + " holds no usable token (16 or more characters, no spaces)";
        return false;
    }
    *token = text;
    return true;
}

bool BearerMatches(std::string_view authorization, std::string_view token)
{
    constexpr std::string_view kScheme = "Bearer ";
    if (token.empty() || authorization.size() < kScheme.size())
        return false;
    // The scheme is case-insensitive.
    for (std::size_t i = 0; i < kScheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(authorization[i])) != std::tolower(static_cast<unsigned char>(kScheme[i])))
            return false;
    std::string_view given = authorization.substr(kScheme.size());
    while (!given.empty() && given.back() == ' ')
        given.remove_suffix(1);
    // Every byte of the token is compared whatever the given value holds.
    unsigned diff = given.size() == token.size() ? 0u : 1u;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        diff |= g ^ static_cast<unsigned char>(token[i]);
    }
    return diff == 0;
}

} // namespace server
