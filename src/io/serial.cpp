// Serial devices on Qt SerialPort, the port map, and hex dumps of the frames.
// Qt Core and SerialPort only: the command-line program links it too.
#include "io/end_request.h"
#include "io/file_io.h"
#include "io/port_map.h"
#include "io/serial_qt.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTimer>

#include <algorithm>
#include <cmath>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#endif

// Hex dumps of every frame written and read, off by default; a technician
// switches them on without a rebuild:
//   QT_LOGGING_RULES="tecontrol.wire.debug=true" tecontrol ...
Q_LOGGING_CATEGORY(lcWire, "tecontrol.wire", QtWarningMsg)

namespace rt {

namespace {

QString HexBytes(const unsigned char* bytes, int count)
{
    return QByteArray(reinterpret_cast<const char*>(bytes), std::max(count, 0)).toHex(' ').toUpper();
}

} // namespace

io::PortTable::Trace WireTrace()
{
    return [](int port, bool tx, const std::uint8_t* bytes, int count, int asked) {
        if (tx)
            qCDebug(lcWire).noquote() << "port" << port << "TX" << HexBytes(bytes, count);
        else if (asked == 0)
            qCDebug(lcWire).noquote() << "port" << port << "RX" << HexBytes(bytes, count) << "(late, dropped)";
        else
            qCDebug(lcWire).noquote() << "port" << port << "RX" << HexBytes(bytes, count)
                                      << QStringLiteral("(%1 of %2)").arg(std::max(count, 0)).arg(asked);
    };
}

// ---------------------------------------------------------------- lock files

#ifndef Q_OS_WIN
namespace {

// The device itself, whatever symbolic links name it; the path as given when
// it does not resolve (a missing device says so when it is opened).
std::string ResolvedPath(const std::string& path)
{
    char real[PATH_MAX];
    return !path.empty() && ::realpath(path.c_str(), real) ? std::string(real) : path;
}

// The UUCP lock file's name for a resolved device: the path below /dev with
// '/' as '_' ("LCK..ttyUSB0", "LCK..pts_3", as Qt names its own), or the
// file's name for a device elsewhere.
std::string LockFileName(const std::string& resolved)
{
    std::string name = resolved.rfind("/dev/", 0) == 0 ? resolved.substr(5) : resolved.substr(resolved.rfind('/') + 1);
    std::replace(name.begin(), name.end(), '/', '_');
    return "LCK.." + name;
}

std::string ProcessName(const std::string& procDir, long pid)
{
    std::ifstream f(procDir + "/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(f, name);
    return name.empty() ? "pid " + std::to_string(pid) : name + " (pid " + std::to_string(pid) + ")";
}

bool ProcessAlive(const std::string& procDir, long pid)
{
    struct stat st {};
    return pid > 0 && ::stat((procDir + "/" + std::to_string(pid)).c_str(), &st) == 0;
}

// The process named by a lock file: ten ASCII digits as a rule (Qt's own
// lock files start with the pid too), or a binary int from older programs.
// 0 when there is none or it says nothing.
long LockFilePid(const std::string& file, bool* exists = nullptr)
{
    // The lock folder is often writable by all: only a regular file is read,
    // so a FIFO planted under the name cannot hold the port's opening.
    io::FileReader f;
    const bool opened = f.open(file, 4096, nullptr);
    if (exists)
        *exists = opened;
    if (!opened)
        return 0;
    char buf[32] = {};
    const long long n = std::max(0LL, f.read(buf, sizeof buf - 1, nullptr));
    char* end = nullptr;
    const long pid = std::strtol(buf, &end, 10);
    if (end != buf && pid > 0)
        return pid;
    if (n == static_cast<long long>(sizeof(int))) {
        int binary = 0;
        std::memcpy(&binary, buf, sizeof binary);
        return binary > 0 ? binary : 0;
    }
    return 0;
}

// The living process other than this one whose lock file holds the resolved
// device, or 0. With removeStale, lock files of processes that are gone (or
// that name none) are removed on the way, as every program honouring the
// convention does.
long LockHolder(const std::string& resolved, const PortProbePlaces& places, bool removeStale)
{
    const std::string name = LockFileName(resolved);
    for (const std::string& dir : places.lockDirs) {
        const std::string file = dir + "/" + name;
        bool exists = false;
        const long pid = LockFilePid(file, &exists);
        if (!exists || pid == static_cast<long>(::getpid()))
            continue;
        if (ProcessAlive(places.procDir, pid))
            return pid;
        if (removeStale)
            ::unlink(file.c_str());
    }
    return 0;
}

// What a device holds while open: the kernel's exclusive mode, an flock on
// its descriptor and a lock file in the first writable lock folder.
class PortLock {
public:
    explicit PortLock(PortProbePlaces places) : m_places(std::move(places)) {}
    ~PortLock() { release(); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    // Before the device is opened: false while another living process's lock
    // file holds it. Qt would take such a file for stale and replace it.
    bool free(const std::string& resolved) const { return LockHolder(resolved, m_places, true) == 0; }

    // Once the device is open on fd. False when another program holds it
    // after all (its flock, or a lock file made meanwhile).
    bool take(const std::string& resolved, int fd)
    {
#ifdef TIOCEXCL
        ::ioctl(fd, TIOCEXCL);  // no harm where the descriptor is not a terminal
#endif
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
            return false;
        const std::string name = LockFileName(resolved);
        char text[16];
        std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(::getpid()));
        for (const std::string& dir : m_places.lockDirs) {
            const std::string file = dir + "/" + name;
            for (int attempt = 0; attempt < 2; ++attempt) {
                const int lock = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
                if (lock >= 0) {
                    const bool written = ::write(lock, text, 11) == 11;
                    ::close(lock);
                    if (!written) {
                        ::unlink(file.c_str());
                        break;
                    }
                    m_file = file;
                    return true;
                }
                if (errno != EEXIST)
                    break;  // this folder is not ours to write: try the next
                const long pid = LockFilePid(file);
                // Qt's own lock file, made as the port opened.
                if (pid == static_cast<long>(::getpid()))
                    return true;
                if (ProcessAlive(m_places.procDir, pid))
                    return false;
                ::unlink(file.c_str());
            }
        }
        // No writable lock folder: the flock alone keeps our own programs
        // apart.
        return true;
    }

    void release()
    {
        if (m_file.empty())
            return;
        if (LockFilePid(m_file) == static_cast<long>(::getpid()))
            ::unlink(m_file.c_str());
        m_file.clear();
    }

private:
    PortProbePlaces m_places;
    std::string m_file;  // the lock file this device made
};

} // namespace
#endif

// ---------------------------------------------------------------- QSerialPort device

namespace {

class QtSerialDevice final : public SerialDevice {
public:
    QtSerialDevice(std::string path, const PortProbePlaces& places)
        : m_path(std::move(path))
#ifndef Q_OS_WIN
        , m_lock(places)
#endif
    {
        QObject::connect(&m_port, &QSerialPort::errorOccurred, &m_context,
                         [this](QSerialPort::SerialPortError e) { onError(e); });
    }
    ~QtSerialDevice() override { close(); }

    void setLostHandler(std::function<void()> handler) override { m_onLost = std::move(handler); }

    bool open(int baudRate) override
    {
        close();
#ifndef Q_OS_WIN
        // The device by its own name, so that every name of it takes the
        // same locks (Qt's own lock file among them).
        const std::string device = ResolvedPath(m_path);
        if (!m_lock.free(device))
            return false;
        m_port.setPortName(QString::fromStdString(device));
        if (!m_port.open(QIODevice::ReadWrite))
            return false;
        if (!m_lock.take(device, static_cast<int>(m_port.handle()))) {
            close();
            return false;
        }
#else
        m_port.setPortName(QString::fromStdString(m_path));
        if (!m_port.open(QIODevice::ReadWrite))
            return false;
#endif
        const bool ok = m_port.setBaudRate(baudRate) && m_port.setDataBits(QSerialPort::Data8) &&
                        m_port.setParity(QSerialPort::NoParity) && m_port.setStopBits(QSerialPort::OneStop) &&
                        m_port.setFlowControl(QSerialPort::NoFlowControl);
        if (!ok) {
            close();
            return false;
        }
        m_lost = false;
        return true;
    }

    void close() override
    {
        if (m_port.isOpen())
            m_port.close();
#ifndef Q_OS_WIN
        m_lock.release();
#endif
    }

    bool isOpen() const override { return m_port.isOpen(); }

    int write(const std::uint8_t* data, int count) override
    {
        const InCall inCall(m_inCall);
        if (!m_port.isOpen() || m_lost || lostNow() || hungUp())
            return -1;
        const qint64 n = m_port.write(reinterpret_cast<const char*>(data), count);
        if (n < 0 || lostNow())
            return -1;
        // Hand the bytes to the driver before returning; waiting here runs
        // only the port's own notifier, never the user interface.
        QElapsedTimer t;
        t.start();
        while (m_port.bytesToWrite() > 0) {
            const qint64 remaining = 2000 - t.elapsed();
            if (remaining <= 0)
                break;
            const Wait w = pump(static_cast<int>(remaining), true);
            if (w == Wait::Lost)
                return -1;
            if (w == Wait::TimedOut)
                break;  // the bytes stay queued for the driver
        }
        return static_cast<int>(n);
    }

    int read(std::uint8_t* buf, int max, double timeout, const AnswerComplete& done) override
    {
        const InCall inCall(m_inCall);
        if (!m_port.isOpen() || m_lost)
            return -1;
        if (max <= 0)
            return 0;
        QElapsedTimer t;
        t.start();
        const qint64 limitMs = static_cast<qint64>(std::llround(std::max(0.0, timeout) * 1000.0));
        int n = 0;
        for (;;) {
            // Bytes Qt has already taken from the driver come first.
            const qint64 got = m_port.read(reinterpret_cast<char*>(buf) + n, max - n);
            if (got < 0 || lostNow())
                return -1;
            n += static_cast<int>(got);
            if (n >= max || (n > 0 && done && done(buf, n)))
                return n;
            const qint64 remaining = limitMs - t.elapsed();
            if (remaining <= 0)
                return n;
            switch (pump(static_cast<int>(remaining), false)) {
            case Wait::Lost:
                return -1;
            case Wait::TimedOut:
                return n;
            case Wait::Ready:
                break;
            }
        }
    }

    void flushInput() override
    {
        if (m_port.isOpen()) {
            m_port.clear(QSerialPort::Input);
            m_port.readAll();
        }
    }

    void flushOutput() override
    {
        if (m_port.isOpen())
            m_port.clear(QSerialPort::Output);
    }

    std::string description() const override { return m_path; }

private:
    // Marks a call of the interface as running: a loss seen meanwhile is the
    // call's to report.
    struct InCall {
        explicit InCall(bool& flag) : m_flag(flag), m_was(flag) { m_flag = true; }
        ~InCall() { m_flag = m_was; }
        bool& m_flag;
        bool m_was;
    };

    // An idle port whose adapter was pulled or whose other end hung up keeps
    // waking the event loop: every read returns nothing and the port reports
    // a read error, over and over. The first such report closes the port
    // (from the event loop, outside the port's own notification) and tells
    // the owner once; a closed port costs nothing more.
    void onError(QSerialPort::SerialPortError e)
    {
        if (m_inCall || m_lostPosted || !m_port.isOpen())
            return;
        bool lost = e == QSerialPort::ResourceError || e == QSerialPort::DeviceNotFoundError ||
                    e == QSerialPort::PermissionError || e == QSerialPort::WriteError;
        if (e == QSerialPort::ReadError)
            lost = hangUpOrError();
        if (!lost) {
            m_port.clearError();
            return;
        }
        m_lost = true;
        m_lostPosted = true;
        QTimer::singleShot(0, &m_context, [this] { closeLost(); });
    }

    void closeLost()
    {
        m_lostPosted = false;
        close();
        // Last: the handler may destroy this device.
        if (const std::function<void()> onLost = m_onLost)
            onLost();
    }

    // A read that gave nothing is a loss only when the descriptor says so;
    // a read that merely found no byte yet is not.
    bool hangUpOrError()
    {
#ifndef Q_OS_WIN
        pollfd p{static_cast<int>(m_port.handle()), POLLIN, 0};
        return p.fd < 0 || (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)));
#else
        return true;
#endif
    }

    bool lostNow()
    {
        const auto e = m_port.error();
        if (e == QSerialPort::ResourceError || e == QSerialPort::PermissionError || e == QSerialPort::ReadError ||
            e == QSerialPort::WriteError || e == QSerialPort::DeviceNotFoundError)
            m_lost = true;
        return m_lost;
    }

    enum class Wait { Ready, TimedOut, Lost };

    // Waits up to ms, blocked in the operating system, until bytes arrive
    // (or queued bytes leave), and lets the port move them. Every outcome
    // ends the wait: Ready when bytes moved, TimedOut when the time passed,
    // Lost for a hang-up or any failure the port does not call a time-out,
    // so no error, recognised or not, can make a caller spin.
    Wait pump(int ms, bool forWrite)
    {
#ifndef Q_OS_WIN
        const int fd = static_cast<int>(m_port.handle());
        if (fd < 0) {
            m_lost = true;
            return Wait::Lost;
        }
        const short want = forWrite ? POLLOUT : POLLIN;
        QElapsedTimer t;
        t.start();
        for (;;) {
            // A request to end the program cuts the wait short: the answer
            // then counts as missing and the operation winds down at once.
            if (io::EndRequested())
                return Wait::TimedOut;
            pollfd p{fd, want, 0};
            const int left = std::max(0, ms - static_cast<int>(t.elapsed()));
            const int r = ::poll(&p, 1, std::min(left, 100));
            if (r < 0 && errno == EINTR)
                continue;  // a signal, not the port: wait on for what is left
            if (r == 0 && left > 100)
                continue;
            if (r < 0 || (p.revents & (POLLERR | POLLNVAL))) {
                m_lost = true;
                return Wait::Lost;
            }
            if (r == 0)
                return Wait::TimedOut;
            if (!(p.revents & want)) {
                // A hang-up with nothing left to read: the other end is gone.
                m_lost = true;
                return Wait::Lost;
            }
            break;
        }
        // The descriptor is ready, so Qt's own wait returns at once.
        ms = 0;
#endif
        m_port.clearError();
        if (forWrite ? m_port.waitForBytesWritten(ms) : m_port.waitForReadyRead(ms))
            return Wait::Ready;
        if (lostNow())
            return Wait::Lost;
        if (m_port.error() == QSerialPort::TimeoutError || m_port.error() == QSerialPort::NoError) {
            m_port.clearError();
            return Wait::TimedOut;
        }
        m_lost = true;
        return Wait::Lost;
    }

    // A pseudo-terminal whose other end has closed, or an unplugged adapter,
    // shows as a hang-up without any byte or error.
    bool hungUp()
    {
#ifndef Q_OS_WIN
        pollfd p{static_cast<int>(m_port.handle()), POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && ((p.revents & (POLLERR | POLLNVAL)) ||
                                     ((p.revents & POLLHUP) && !(p.revents & POLLIN))))
            m_lost = true;
#endif
        return m_lost;
    }

    std::string m_path;
#ifndef Q_OS_WIN
    PortLock m_lock;  // before the port: released after it closed
#endif
    QSerialPort m_port;
    bool m_lost = false;
    bool m_inCall = false;
    bool m_lostPosted = false;
    std::function<void()> m_onLost;
    QObject m_context;  // a pending report dies with the device
};

std::string portLabel(int number, const std::string& path)
{
    const std::string com = "COM" + std::to_string(number);
    // On Windows the device is the COM name itself ("COM7", or "\\.\COM7"
    // as the system lists it): saying it twice helps no one.
    std::string bare = path;
    if (bare.rfind("\\\\.\\", 0) == 0)
        bare.erase(0, 4);
    if (QString::fromStdString(bare).compare(QString::fromStdString(com), Qt::CaseInsensitive) == 0)
        return com;
    return com + "  " + path;
}

} // namespace

std::unique_ptr<SerialDevice> MakeQtSerialDevice(const std::string& path, const PortProbePlaces& places)
{
    return std::make_unique<QtSerialDevice>(path, places);
}

// ---------------------------------------------------------------- why a port does not open

#ifndef Q_OS_WIN
namespace {

// Another process that has the device open, found among its descriptors.
std::string HolderFromProc(const std::string& procDir, const std::string& devicePath)
{
    const std::string target = ResolvedPath(devicePath);
    DIR* proc = ::opendir(procDir.c_str());
    if (!proc)
        return {};
    std::string found;
    const long self = static_cast<long>(::getpid());
    while (const dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self)
            continue;
        const std::string fdDir = procDir + "/" + e->d_name + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds)
            continue;  // another user's process: not ours to look into
        while (const dirent* fd = ::readdir(fds)) {
            char link[PATH_MAX];
            const ssize_t n = ::readlink((fdDir + "/" + fd->d_name).c_str(), link, sizeof link - 1);
            if (n > 0 && std::string(link, static_cast<std::size_t>(n)) == target) {
                found = ProcessName(procDir, pid);
                break;
            }
        }
        ::closedir(fds);
        if (!found.empty())
            break;
    }
    ::closedir(proc);
    return found;
}

std::string GroupName(gid_t gid)
{
    if (const group* g = ::getgrgid(gid))
        return g->gr_name;
    return "group " + std::to_string(gid);
}

} // namespace
#endif

bool PortAccessDenied(const std::string& devicePath)
{
#ifndef Q_OS_WIN
    struct stat st {};
    if (devicePath.empty() || ::stat(devicePath.c_str(), &st) != 0)
        return false;
    return ::access(devicePath.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM);
#else
    return false;
#endif
}

PortOpenCause FindPortOpenCause(const std::string& devicePath, const PortProbePlaces& places)
{
    PortOpenCause c;
    if (devicePath.empty()) {
        c.kind = PortOpenCause::NotPresent;
        return c;
    }
#ifndef Q_OS_WIN
    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0) {
        c.kind = (errno == ENOENT || errno == ENOTDIR) ? PortOpenCause::NotPresent : PortOpenCause::Other;
        c.detail = std::strerror(errno);
        return c;
    }
    if (PortAccessDenied(devicePath)) {
        c.kind = PortOpenCause::PermissionDenied;
        c.group = GroupName(st.st_gid);
        return c;
    }
    if (const long pid = LockHolder(ResolvedPath(devicePath), places, false); pid > 0) {
        c.kind = PortOpenCause::Busy;
        c.holder = ProcessName(places.procDir, pid);
        return c;
    }
    // Nothing on disk tells: try the device itself, without waiting for a
    // carrier and without making it our controlling terminal.
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        c.detail = std::strerror(e);
        if (e == EBUSY) {
            c.kind = PortOpenCause::Busy;
            c.holder = HolderFromProc(places.procDir, devicePath);
        } else if (e == ENXIO || e == ENODEV || e == ENOENT) {
            c.kind = PortOpenCause::NotPresent;
        } else if (e == EACCES || e == EPERM) {
            c.kind = PortOpenCause::PermissionDenied;
            c.group = GroupName(st.st_gid);
        } else {
            c.kind = PortOpenCause::Other;
        }
        return c;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        c.kind = PortOpenCause::Busy;
        c.holder = HolderFromProc(places.procDir, devicePath);
    } else if (!::isatty(fd)) {
        c.kind = PortOpenCause::NotSerial;
    }
    ::close(fd);
#endif
    return c;
}

std::string DescribePortOpenCause(const PortOpenCause& cause, const std::string& devicePath)
{
    const std::string name = devicePath.empty() ? std::string("The port") : devicePath;
    switch (cause.kind) {
    case PortOpenCause::NotPresent:
        return devicePath.empty() ? "Cause: no device is behind this port number on this computer."
                                  : "Cause: " + devicePath +
                                        " is not present. Check that the cable or USB adapter is plugged in, or "
                                        "choose another port.";
    case PortOpenCause::PermissionDenied:
        return "Cause: permission denied. " + name + " belongs to the group \"" + cause.group +
               "\", and your user must be a member of it (on Debian: sudo adduser $USER " + cause.group +
               "). Log out and in again afterwards for the membership to take effect.";
    case PortOpenCause::Busy:
        return "Cause: " + name + " is busy, held by " +
               (cause.holder.empty() ? std::string("another program") : cause.holder) +
               ". Close that program, or choose another port.";
    case PortOpenCause::NotSerial:
        return "Cause: " + name + " is not a serial port.";
    case PortOpenCause::Other:
        return "Cause: " + name + " could not be opened" + (cause.detail.empty() ? "" : ": " + cause.detail) + ".";
    case PortOpenCause::Unknown:
        break;
    }
    return {};
}

// ---------------------------------------------------------------- PortMap

void PortMap::bindDevice(int number, const std::string& devicePath)
{
    bind(number, portLabel(number, devicePath), [devicePath] { return MakeQtSerialDevice(devicePath); });
    m_ports[number].devicePath = devicePath;
}

void PortMap::bind(int number, const std::string& label, SerialDeviceFactory factory)
{
    m_ports[number] = PortEntry{number, label, std::move(factory), {}};
}

void PortMap::unbind(int number)
{
    m_ports.erase(number);
}

void PortMap::addPlatformPorts()
{
    std::vector<std::string> paths;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        paths.push_back(info.systemLocation().toStdString());
    std::sort(paths.begin(), paths.end());
#ifdef Q_OS_MACOS
    int next = 1;
    for (const std::string& p : paths) {
        if (p.rfind("/dev/cu.", 0) != 0)
            continue;
        while (m_ports.count(next))
            ++next;
        bindDevice(next++, p);
    }
#else
    for (const std::string& p : paths) {
        const int n = numberForDevice(p);
        if (n > 0 && !m_ports.count(n))
            bindDevice(n, p);
    }
#endif
}

const PortEntry* PortMap::find(int number) const
{
    const auto it = m_ports.find(number);
    return it == m_ports.end() ? nullptr : &it->second;
}

std::vector<PortEntry> PortMap::entries() const
{
    std::vector<PortEntry> out;
    for (const auto& [n, e] : m_ports)
        out.push_back(e);
    return out;
}

int PortMap::numberForDevice(const std::string& devicePath)
{
    static const QRegularExpression linux(QStringLiteral("^/dev/tty(S|USB|ACM)(\\d{1,3})$"));
    static const QRegularExpression windows(QStringLiteral("^(?:\\\\\\\\\\.\\\\)?COM(\\d{1,3})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QString p = QString::fromStdString(devicePath);
    if (const auto m = linux.match(p); m.hasMatch()) {
        const int k = m.captured(2).toInt();
        if (k > 99)
            return 0;
        const QString kind = m.captured(1);
        return kind == QLatin1String("S") ? k + 1 : kind == QLatin1String("USB") ? 101 + k : 201 + k;
    }
    if (const auto m = windows.match(p); m.hasMatch()) {
        const int n = m.captured(1).toInt();
        return n > 0 ? n : 0;
    }
    return 0;
}

std::string PortMap::deviceForNumber(int number)
{
#if defined(Q_OS_WIN)
    return number > 0 ? "COM" + std::to_string(number) : std::string();
#elif defined(Q_OS_MACOS)
    std::vector<std::string> paths;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const std::string p = info.systemLocation().toStdString();
        if (p.rfind("/dev/cu.", 0) == 0)
            paths.push_back(p);
    }
    std::sort(paths.begin(), paths.end());
    return number >= 1 && number <= static_cast<int>(paths.size()) ? paths[number - 1] : std::string();
#else
    if (number >= 1 && number <= 100)
        return "/dev/ttyS" + std::to_string(number - 1);
    if (number >= 101 && number <= 200)
        return "/dev/ttyUSB" + std::to_string(number - 101);
    if (number >= 201 && number <= 300)
        return "/dev/ttyACM" + std::to_string(number - 201);
    return {};
#endif
}

} // namespace rt
