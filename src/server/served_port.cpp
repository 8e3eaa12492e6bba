#include "server/served_port.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace server {

namespace {

// Notes are a few hundred bytes; anything much larger is not one.
constexpr off_t kNoteLimit = 4096;

// A folder the user owns and nobody else may write, not a link.
bool Trusted(const std::string& folder, std::string* error)
{
    struct stat st{};
    if (::lstat(folder.c_str(), &st) != 0) {
        if (error)
            *error = folder + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        if (error)
            *error = folder + " is not a folder of this user's that only this user may write";
        return false;
    }
    return true;
}

bool Alive(long pid)
{
    return pid > 0 && pid <= INT_MAX && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

bool ReadNote(const std::string& path, std::string* text)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st{};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid() &&
              !(st.st_mode & (S_IWGRP | S_IWOTH)) && st.st_size <= kNoteLimit;
    if (ok) {
        text->resize(static_cast<std::size_t>(st.st_size));
        ok = ::read(fd, text->data(), text->size()) == static_cast<ssize_t>(text->size());
    }
    ::close(fd);
    return ok;
}

} // namespace

std::string ServedPortFolder(bool make, std::string* error)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder;
    if (runtime && runtime[0] == '/' && Trusted(runtime, nullptr))
        folder = std::string(runtime) + "/tecontrol";
    else
        folder = "/tmp/tecontrol-" + std::to_string(::getuid());
    if (make && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error)
            *error = folder + " cannot be made: " + std::strerror(errno);
        return {};
    }
    if (!Trusted(folder, error))
        return {};
    return folder;
}

std::string ResolvedDevice(const std::string& device)
{
    char real[PATH_MAX];
    return !device.empty() && ::realpath(device.c_str(), real) ? std::string(real) : device;
}

std::string ServedPortPath(const std::string& device, bool make)
{
    const std::string folder = ServedPortFolder(make);
    if (folder.empty())
        return {};
    const std::string resolved = ResolvedDevice(device);
    std::string name = resolved.rfind("/dev/", 0) == 0 ? resolved.substr(5) : resolved.substr(resolved.rfind('/') + 1);
    std::replace(name.begin(), name.end(), '/', '_');
    return folder + "/serve-" + name + ".json";
}

std::string WriteServedPort(const std::string& device, const std::string& url, std::string* error)
{
    std::string why;
    if (ServedPortFolder(true, &why).empty()) {
        *error = why;
        return {};
    }
    const std::string path = ServedPortPath(device);
    QJsonObject o;
    o["device"] = QString::fromStdString(ResolvedDevice(device));
    o["url"] = QString::fromStdString(url);
    o["pid"] = static_cast<qint64>(::getpid());
    const QByteArray text = QJsonDocument(o).toJson(QJsonDocument::Compact) + "\n";
    const std::string temp = path + "." + std::to_string(::getpid()) + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = temp + " cannot be made: " + std::strerror(errno);
        return {};
    }
    const bool written = ::write(fd, text.constData(), static_cast<std::size_t>(text.size())) == text.size();
    if (::close(fd) != 0 || !written || ::rename(temp.c_str(), path.c_str()) != 0) {
        *error = path + " cannot be written: " + std::strerror(errno);
        ::unlink(temp.c_str());
        return {};
    }
    return path;
}

void RemoveServedPort(const std::string& path)
{
    std::string text;
    ServedPort note;
    if (!path.empty() && ReadNote(path, &text) && ParseServedPort(text, &note) && note.pid == ::getpid())
        ::unlink(path.c_str());
}

bool ParseServedPort(const std::string& text, ServedPort* out)
{
    QJsonParseError e;
    const QJsonDocument d = QJsonDocument::fromJson(QByteArray::fromStdString(text), &e);
    if (e.error != QJsonParseError::NoError || !d.isObject())
        return false;
    const QJsonObject o = d.object();
    if (!o["device"].isString() || !o["url"].isString() || !o["pid"].isDouble())
        return false;
    const double pid = o["pid"].toDouble();
    const QString url = o["url"].toString();
    if (pid < 1 || pid > INT_MAX || pid != static_cast<double>(static_cast<long>(pid)) ||
        !(url.startsWith("http://") || url.startsWith("https://")))
        return false;
    out->device = o["device"].toString().toStdString();
    out->url = url.toStdString();
    out->pid = static_cast<long>(pid);
    return true;
}

bool FindServedPort(const std::string& device, ServedPort* out)
{
    const std::string path = ServedPortPath(device);
    std::string text;
    ServedPort note;
    if (path.empty() || !ReadNote(path, &text) || !ParseServedPort(text, &note))
        return false;
    if (!Alive(note.pid)) {
        // Left by a process that was killed: nobody serves this port.
        ::unlink(path.c_str());
        return false;
    }
    if (note.device != ResolvedDevice(device))
        return false;
    *out = note;
    return true;
}

} // namespace server
