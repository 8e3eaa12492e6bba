#include "sim/pty_server.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

PtyServer::PtyServer(Multidrop& line, io::Clock& clock, const ServeOptions& options)
    : m_line(line), m_clock(clock), m_options(options)
{
}

PtyServer::~PtyServer()
{
    if (m_log)
        std::fclose(m_log);
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

bool PtyServer::open(std::string* error)
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ::ptsname(m_master);
    if (!name) {
        *error = "cannot name the pseudo-terminal";
        return false;
    }
    m_slavePath = name;
    m_slave = ::open(name, O_RDWR | O_NOCTTY);
    if (m_slave < 0) {
        *error = "cannot open " + m_slavePath + ": " + std::strerror(errno);
        return false;
    }
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B19200);
    ::cfsetospeed(&tio, B19200);
    ::tcsetattr(m_slave, TCSANOW, &tio);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    if (!m_options.logPath.empty()) {
        m_log = std::fopen(m_options.logPath.c_str(), "w");
        if (!m_log) {
            *error = "cannot open the log " + m_options.logPath + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

void PtyServer::log(const char* direction, const std::uint8_t* bytes, std::size_t count)
{
    if (!m_log)
        return;
    std::fprintf(m_log, "%.3f %s", m_clock.now(), direction);
    for (std::size_t i = 0; i < count; ++i)
        std::fprintf(m_log, " %02X", bytes[i]);
    std::fputc('\n', m_log);
    std::fflush(m_log);
}

void PtyServer::receive()
{
    std::uint8_t buf[256];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            break;
        m_lastReceived = m_clock.now();
        m_framer.push(buf, static_cast<int>(n), m_lastReceived);
    }
    std::uint8_t frame[8];
    double first = 0;
    while (m_framer.next(frame, &first)) {
        log("rx", frame, 8);
        m_line.request(frame, 8, m_clock.now(), first);
    }
}

// A serial line does not hold bytes back for a listener that is not there:
// when the terminal's input queue is full (a client that went away with
// answers unread) the rest of the answer is lost, and serving goes on.
void PtyServer::sendDue()
{
    Multidrop::Transmission t;
    while (m_line.takeDue(m_clock.now(), &t)) {
        std::size_t done = 0;
        while (done < t.bytes.size()) {
            const ssize_t n = ::write(m_master, t.bytes.data() + done, t.bytes.size() - done);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else
                break;
        }
        log(done < t.bytes.size() ? "lost" : t.source == Multidrop::kEcho ? "echo" : "tx", t.bytes.data(),
            t.bytes.size());
    }
}

// A client that dies without closing its port leaves the terminal in
// exclusive mode (QSerialPort sets it while open), and with our descriptor
// keeping the terminal alive nobody but root could open it again. Once the
// line has been quiet for a while the mode is cleared, unless a client still
// holds the terminal's flock (an idle client that is still there).
void PtyServer::releaseExclusive()
{
#if defined(TIOCGEXCL) && defined(TIOCNXCL)
    if (m_clock.now() - m_lastReceived < EXCLUSIVE_IDLE)
        return;
    int exclusive = 0;
    if (::ioctl(m_slave, TIOCGEXCL, &exclusive) != 0 || !exclusive)
        return;
    if (::flock(m_slave, LOCK_SH | LOCK_NB) != 0)
        return;
    ::flock(m_slave, LOCK_UN);
    ::ioctl(m_slave, TIOCNXCL);
#endif
}

void PtyServer::readCommands()
{
    char buf[512];
    const ssize_t n = ::read(m_options.commandFd, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        m_options.commandFd = -1;  // the commands ended; the line is still served
        return;
    }
    m_commandText.append(buf, static_cast<std::size_t>(n));
    for (std::size_t end = m_commandText.find('\n'); end != std::string::npos; end = m_commandText.find('\n')) {
        std::string line = m_commandText.substr(0, end);
        m_commandText.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (m_options.onCommand)
            m_options.onCommand(line);
    }
    // A line without an end that grows past any command is thrown away.
    if (m_commandText.size() > 4096)
        m_commandText.clear();
}

int PtyServer::serve(volatile std::sig_atomic_t* stop)
{
    sigset_t waitMask;
    sigemptyset(&waitMask);
    while (!*stop) {
        timespec wait{0, 200 * 1000 * 1000};
        if (!m_line.empty()) {
            const double d = std::max(0.0, m_line.nextDue() - m_clock.now());
            wait.tv_sec = static_cast<time_t>(d);
            wait.tv_nsec = static_cast<long>((d - std::floor(d)) * 1e9);
        }
        pollfd fds[2] = {{m_master, POLLIN, 0}, {m_options.commandFd, POLLIN, 0}};
        const pollfd& p = fds[0];
        const int r = ::ppoll(fds, m_options.commandFd >= 0 ? 2 : 1, &wait, &waitMask);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (r > 0 && m_options.commandFd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            readCommands();
        if (r > 0 && (p.revents & POLLIN))
            receive();
        else if (r > 0 && (p.revents & (POLLHUP | POLLERR)))
            ::usleep(20000);  // nobody on the line; the master must not spin
        sendDue();
        releaseExclusive();
        m_line.advanceTo(m_clock.now());
    }
    return 0;
}

} // namespace sim
