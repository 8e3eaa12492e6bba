// Serial devices on Qt SerialPort, the port map, and hex dumps of the frames.
// Qt Core and SerialPort only: the command-line program links it too.
#include "rt/end_request.h"
#include "rt/port_map.h"
#include "rt/serial_qt.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>

#include <algorithm>
#include <cmath>

#ifndef Q_OS_WIN
#include <cerrno>
#include <poll.h>
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
        else
            qCDebug(lcWire).noquote() << "port" << port << "RX" << HexBytes(bytes, count)
                                      << QStringLiteral("(%1 of %2)").arg(std::max(count, 0)).arg(asked);
    };
}

// ---------------------------------------------------------------- QSerialPort device

namespace {

class QtSerialDevice final : public SerialDevice {
public:
    explicit QtSerialDevice(std::string path) : m_path(std::move(path)) {}
    ~QtSerialDevice() override { close(); }

    bool open(int baudRate) override
    {
        close();
        m_port.setPortName(QString::fromStdString(m_path));
        if (!m_port.open(QIODevice::ReadWrite))
            return false;
        const bool ok = m_port.setBaudRate(baudRate) && m_port.setDataBits(QSerialPort::Data8) &&
                        m_port.setParity(QSerialPort::NoParity) && m_port.setStopBits(QSerialPort::OneStop) &&
                        m_port.setFlowControl(QSerialPort::NoFlowControl);
        if (!ok) {
            m_port.close();
            return false;
        }
        m_lost = false;
        return true;
    }

    void close() override
    {
        if (m_port.isOpen())
            m_port.close();
    }

    bool isOpen() const override { return m_port.isOpen(); }

    int write(const std::uint8_t* data, int count) override
    {
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
            if (EndRequested())
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
    QSerialPort m_port;
    bool m_lost = false;
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

std::unique_ptr<SerialDevice> MakeQtSerialDevice(const std::string& path)
{
    return std::make_unique<QtSerialDevice>(path);
}

// ---------------------------------------------------------------- PortMap

void PortMap::bindDevice(int number, const std::string& devicePath)
{
    bind(number, portLabel(number, devicePath), [devicePath] { return MakeQtSerialDevice(devicePath); });
}

void PortMap::bind(int number, const std::string& label, SerialDeviceFactory factory)
{
    m_ports[number] = PortEntry{number, label, std::move(factory)};
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
