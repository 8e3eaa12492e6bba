#include "rt/files.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace rt {

namespace {
QString qpath(const std::string& path)
{
    return QString::fromStdString(path);
}

void setError(std::string* error, const QString& what)
{
    if (error)
        *error = what.toStdString();
}
} // namespace

const char* TextLineEnd()
{
#ifdef Q_OS_WIN
    return "\r\n";
#else
    return "\n";
#endif
}

bool FileExists(const std::string& path)
{
    return !path.empty() && QFileInfo::exists(qpath(path));
}

bool ReadWholeFile(const std::string& path, std::string* contents, std::string* error)
{
#ifndef Q_OS_WIN
    // Opened without blocking and checked before anything is read: a FIFO or
    // a device under the name would otherwise hold start-up or the chart
    // until a writer came, deaf to everything but SIGKILL.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        setError(error, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        setError(error, QStringLiteral("Not a regular file"));
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    QFile f;
    if (!f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        setError(error, f.errorString());
        return false;
    }
#else
    QFile f(qpath(path));
    if (!QFileInfo(f).isFile()) {
        setError(error, QStringLiteral("Not a regular file"));
        return false;
    }
    if (!f.open(QIODevice::ReadOnly)) {
        setError(error, f.errorString());
        return false;
    }
#endif
    const QByteArray bytes = f.readAll();
    if (f.error() != QFileDevice::NoError) {
        setError(error, f.errorString());
        return false;
    }
    if (contents)
        contents->assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& contents, std::string* error)
{
    QSaveFile f(qpath(path));
    if (!f.open(QIODevice::WriteOnly)) {
        setError(error, f.errorString());
        return false;
    }
    const qint64 n = f.write(contents.data(), static_cast<qint64>(contents.size()));
    if (n != static_cast<qint64>(contents.size())) {
        setError(error, f.errorString());
        f.cancelWriting();
        return false;
    }
    if (!f.commit()) {
        setError(error, f.errorString());
        return false;
    }
    return true;
}

struct TextLog::Impl {
    QFile file;
};

TextLog::TextLog() : m_impl(std::make_unique<Impl>()) {}

TextLog::~TextLog()
{
    close();
}

bool TextLog::open(const std::string& path, bool append, std::string* error)
{
    close();
    m_impl->file.setFileName(qpath(path));
    // Binary mode: the line end is written as TextLineEnd() gives it.
    // Unbuffered: each line goes straight to the operating system, so no
    // bytes of a failed line can linger in a buffer for a later close to
    // write out.
    const QIODevice::OpenMode mode =
        QIODevice::WriteOnly | QIODevice::Unbuffered | (append ? QIODevice::Append : QIODevice::Truncate);
    if (!m_impl->file.open(mode)) {
        setError(error, m_impl->file.errorString());
        return false;
    }
    return true;
}

bool TextLog::writeLine(const std::string& line, std::string* error)
{
    QFile& f = m_impl->file;
    if (!f.isOpen()) {
        setError(error, QStringLiteral("The log file is not open"));
        return false;
    }
    QByteArray bytes(line.data(), static_cast<qsizetype>(line.size()));
    bytes.append(TextLineEnd());
    const qint64 before = f.size();
    if (f.write(bytes) != bytes.size() || !f.flush()) {
        setError(error, f.errorString());
        // A line cut off part way (a full disk, a size limit) is taken back,
        // so the file holds whole lines only and a later line does not run
        // on from a fragment. A device that cannot be cut keeps what it has.
        if (f.size() > before && f.resize(before) && !(f.openMode() & QIODevice::Append))
            f.seek(before);
        f.unsetError();
        return false;
    }
    return true;
}

void TextLog::close()
{
    if (m_impl && m_impl->file.isOpen())
        m_impl->file.close();
}

bool TextLog::isOpen() const
{
    return m_impl->file.isOpen();
}

} // namespace rt
