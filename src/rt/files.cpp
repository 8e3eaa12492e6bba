#include "rt/files.h"

#include "io/file_io.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace rt {

namespace {
QString qpath(const std::string& path)
{
    return QString::fromStdString(path);
}

void closeDescriptor(int fd)
{
#ifdef Q_OS_WIN
    ::_close(fd);
#else
    ::close(fd);
#endif
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

bool ReadWholeFile(const std::string& path, std::string* contents, std::string* error, std::uint64_t limit)
{
    return io::ReadRegularFile(path, limit, contents, error);
}

bool WriteFileAtomically(const std::string& path, const std::string& contents, std::string* error)
{
    return io::WriteFileReplacing(path, contents, error);
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
    const int fd = io::OpenForLines(path, append, error);
    if (fd < 0)
        return false;
    // Binary mode: the line end is written as TextLineEnd() gives it.
    // Unbuffered: each line goes straight to the operating system, so no
    // bytes of a failed line can linger in a buffer for a later close to
    // write out. Append: the descriptor writes at the end whatever the offset.
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered | QIODevice::Append;
    if (!m_impl->file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        setError(error, m_impl->file.errorString());
        closeDescriptor(fd);
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
