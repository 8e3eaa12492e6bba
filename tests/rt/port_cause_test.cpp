// Why a port does not open: missing devices, permissions, lock files and
// other holders, on temporary files and folders.
#include "io/serial_qt.h"
#include "rt/runtime.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <functional>
#include <string>

#ifdef Q_OS_LINUX
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string In(const QTemporaryDir& dir, const char* name)
{
    return dir.filePath(QString::fromUtf8(name)).toStdString();
}

void Write(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Runs the check as an ordinary user: as root every permission check passes.
// Returns what the check printed.
std::string AsOrdinaryUser(const std::function<std::string()>& check)
{
    int out[2];
    if (::pipe(out) != 0)
        return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        const std::string r = check();
        [[maybe_unused]] const ssize_t n = ::write(out[1], r.data(), r.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string r;
    char buf[512];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0)
        r.append(buf, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return r;
}

TEST(PortOpenCause, MissingDeviceIsNotPresent)
{
    QTemporaryDir dir;
    const std::string path = In(dir, "ttyUSB7");
    const rt::PortOpenCause c = rt::FindPortOpenCause(path);
    EXPECT_EQ(c.kind, rt::PortOpenCause::NotPresent);
    EXPECT_NE(rt::DescribePortOpenCause(c, path).find(path + " is not present"), std::string::npos);
    EXPECT_EQ(rt::FindPortOpenCause("").kind, rt::PortOpenCause::NotPresent);
    EXPECT_FALSE(rt::PortAccessDenied(path)) << "a missing device is not a permission problem";
}

TEST(PortOpenCause, PermissionDeniedNamesTheGroupAndLoggingInAgain)
{
    QTemporaryDir dir;
    ASSERT_EQ(::chmod(dir.path().toLocal8Bit().constData(), 0755), 0);
    const std::string path = In(dir, "ttyS4");
    Write(path, "");
    ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
    const gid_t dialout = ::getgrnam("dialout") ? ::getgrnam("dialout")->gr_gid : ::getgid();
    if (::getuid() == 0) {
        ASSERT_EQ(::chown(path.c_str(), 0, dialout), 0);
    }
    const std::string group = ::getgrgid(dialout) ? ::getgrgid(dialout)->gr_name : "";

    const std::string seen = AsOrdinaryUser([&] {
        const rt::PortOpenCause c = rt::FindPortOpenCause(path);
        return std::to_string(c.kind) + "|" + c.group + "|" + (rt::PortAccessDenied(path) ? "denied" : "allowed") +
               "|" + rt::DescribePortOpenCause(c, path);
    });
    if (::getuid() != 0 && ::getgid() == dialout)
        GTEST_SKIP() << "this user may open the file";
    EXPECT_EQ(seen.substr(0, seen.find('|')), std::to_string(rt::PortOpenCause::PermissionDenied)) << seen;
    EXPECT_NE(seen.find("|" + group + "|denied|"), std::string::npos) << seen;
    EXPECT_NE(seen.find("belongs to the group \"" + group + "\""), std::string::npos) << seen;
    EXPECT_NE(seen.find("Log out and in again"), std::string::npos) << seen;
    EXPECT_FALSE(rt::PortAccessDenied(path)) << "the owner here may open it";
}

TEST(PortOpenCause, LockFileOfALivingProcessNamesTheHolder)
{
    QTemporaryDir dir, locks;
    const std::string path = In(dir, "ttyUSB0");
    Write(path, "");
    rt::PortProbePlaces places;
    places.lockDirs = {locks.path().toStdString()};
    const pid_t holder = ::getppid();  // alive, and not this process
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(holder));
    Write(In(locks, "LCK..ttyUSB0"), text);
    rt::PortOpenCause c = rt::FindPortOpenCause(path, places);
    EXPECT_EQ(c.kind, rt::PortOpenCause::Busy);
    EXPECT_NE(c.holder.find("(pid " + std::to_string(holder) + ")"), std::string::npos) << c.holder;
    EXPECT_NE(rt::DescribePortOpenCause(c, path).find("is busy, held by " + c.holder), std::string::npos);

    // A stale lock (its process gone) and this process's own lock hold nothing.
    for (long pid : {999999999L, static_cast<long>(::getpid())}) {
        Write(In(locks, "LCK..ttyUSB0"), std::to_string(pid) + "\n");
        c = rt::FindPortOpenCause(path, places);
        EXPECT_NE(c.kind, rt::PortOpenCause::Busy) << pid;
    }
    // A FIFO planted in a lock folder all may write to names nobody and
    // does not hold the look-up (it would block for ever if it were read).
    ::unlink(In(locks, "LCK..ttyUSB0").c_str());
    ASSERT_EQ(::mkfifo(In(locks, "LCK..ttyUSB0").c_str(), 0666), 0);
    ::alarm(30);
    c = rt::FindPortOpenCause(path, places);
    ::alarm(0);
    EXPECT_NE(c.kind, rt::PortOpenCause::Busy);
}

TEST(PortOpenCause, ExclusiveLockOfAnotherProcessIsBusyAndNamedFromProc)
{
    QTemporaryDir dir, locks;
    const std::string path = In(dir, "ttyACM0");
    Write(path, "");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(path.c_str(), O_RDWR);
        if (fd >= 0 && ::flock(fd, LOCK_EX) == 0)
            [[maybe_unused]] const ssize_t n = ::write(ready[1], "x", 1);
        ::pause();
        ::_exit(0);
    }
    char c1 = 0;
    ASSERT_EQ(::read(ready[0], &c1, 1), 1);
    rt::PortProbePlaces places;
    places.lockDirs = {locks.path().toStdString()};
    const rt::PortOpenCause c = rt::FindPortOpenCause(path, places);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(c.kind, rt::PortOpenCause::Busy);
    EXPECT_NE(c.holder.find("(pid " + std::to_string(child) + ")"), std::string::npos) << c.holder;
}

TEST(PortOpenCause, AFileThatOpensButIsNoTerminalIsNotSerialAndATerminalIsUnknown)
{
    QTemporaryDir dir;
    const std::string path = In(dir, "ttyS0");
    Write(path, "");
    EXPECT_EQ(rt::FindPortOpenCause(path).kind, rt::PortOpenCause::NotSerial);
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    EXPECT_EQ(rt::FindPortOpenCause(name).kind, rt::PortOpenCause::Unknown);
    ::close(slave);
    ::close(master);
}

TEST(PortOpenCause, TheRuntimeKeepsTheCauseOfTheLastFailedOpenPerPort)
{
    QTemporaryDir dir;
    io::VirtualClock clock;
    rt::ScriptedOperator op;
    rt::Runtime runtime(clock, op);
    runtime.ports().bindDevice(7, In(dir, "ttyUSB9"));
    EXPECT_LT(runtime.OpenComConfig(7, "", 19200, 0, 8, 1, 255, 255), 0);
    EXPECT_NE(runtime.ComOpenProblem(7).find("ttyUSB9 is not present"), std::string::npos) << runtime.ComOpenProblem(7);
    EXPECT_EQ(runtime.ComOpenProblem(8), "");
    // A device of the map without a file (a double) that refuses says nothing.
    runtime.ports().bind(8, "COM8  refusing", [] { return rt::MakeQtSerialDevice(""); });
    EXPECT_LT(runtime.OpenComConfig(8, "", 19200, 0, 8, 1, 255, 255), 0);
    EXPECT_EQ(runtime.ComOpenProblem(8), "");
    // A later success forgets the cause.
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    runtime.ports().bindDevice(7, name);
    EXPECT_EQ(runtime.OpenComConfig(7, "", 19200, 0, 8, 1, 255, 255), 0);
    EXPECT_EQ(runtime.ComOpenProblem(7), "");
    runtime.CloseCom(7);
    ::close(slave);
    ::close(master);
}

// ---- one program per port

// A pseudo-terminal whose master end is the line: every byte any program
// sends on it can be read here.
struct Pty {
    Pty()
    {
        char name[256];
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0)
            path = name;
        // Only our descriptor keeps the terminal alive; the slave end is
        // the programs' to open.
        ::close(slave);
        slave = -1;
    }
    ~Pty()
    {
        if (master >= 0)
            ::close(master);
    }
    // The bytes sent on the line so far.
    std::string sent() const
    {
        std::string out;
        pollfd p{master, POLLIN, 0};
        char buf[256];
        while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }
    int master = -1, slave = -1;
    std::string path;
};

// A process that opens `path` as our programs do and holds it until killed.
// Returns its pid once the device is open, or -1.
pid_t HoldInChild(const std::string& path, const rt::PortProbePlaces& places = {})
{
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        ::sigprocmask(SIG_BLOCK, &term, nullptr);
        auto device = rt::MakeQtSerialDevice(path, places);
        const char ok = device->open(19200) ? '1' : '0';
        [[maybe_unused]] const ssize_t n = ::write(ready[1], &ok, 1);
        // Held until told to end, then closed as a program closes it.
        int sig = 0;
        ::sigwait(&term, &sig);
        device->close();
        ::_exit(0);
    }
    ::close(ready[1]);
    char ok = 0;
    const bool opened = ::read(ready[0], &ok, 1) == 1 && ok == '1';
    ::close(ready[0]);
    if (!opened) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        return -1;
    }
    return child;
}

void End(pid_t child)
{
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
}

std::string TheLockFile(const std::string& dir, const std::string& device)
{
    std::string name = device.substr(5);  // below /dev/
    std::replace(name.begin(), name.end(), '/', '_');
    return dir + "/LCK.." + name;
}

TEST(OneProgramPerPort, ASecondProgramThroughASymbolicLinkIsToldBusyAndSendsNothing)
{
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    QTemporaryDir dir;
    const std::string link = In(dir, "ttyTEC");
    ASSERT_EQ(::symlink(pty.path.c_str(), link.c_str()), 0);

    // Held through the link, asked for by the device's own name; and the
    // other way round.
    for (const auto& [holderPath, secondPath] :
         {std::pair{link, pty.path}, std::pair{pty.path, link}}) {
        const pid_t holder = HoldInChild(holderPath);
        ASSERT_GT(holder, 0) << holderPath;
        auto second = rt::MakeQtSerialDevice(secondPath);
        EXPECT_FALSE(second->open(19200)) << secondPath;
        const std::uint8_t frame[8] = {0x01, 0x03, 0x10, 0x00, 0x00, 0x01, 0x80, 0xCA};
        EXPECT_LT(second->write(frame, 8), 0);
        EXPECT_EQ(pty.sent(), "") << "nothing of the second program reaches the line";

        const rt::PortOpenCause c = rt::FindPortOpenCause(secondPath);
        EXPECT_EQ(c.kind, rt::PortOpenCause::Busy) << secondPath;
        EXPECT_NE(c.holder.find("(pid " + std::to_string(holder) + ")"), std::string::npos) << c.holder;
        EXPECT_NE(rt::DescribePortOpenCause(c, secondPath).find(secondPath + " is busy, held by "), std::string::npos);

        // The window program says the same through its run-time.
        io::VirtualClock clock;
        rt::ScriptedOperator op;
        rt::Runtime runtime(clock, op);
        runtime.ports().bindDevice(7, secondPath);
        EXPECT_LT(runtime.OpenComConfig(7, "", 19200, 0, 8, 1, 255, 255), 0);
        EXPECT_NE(runtime.ComOpenProblem(7).find("held by " + c.holder), std::string::npos)
            << runtime.ComOpenProblem(7);

        End(holder);
        // Once the holder is gone the port is free again, by either name.
        auto later = rt::MakeQtSerialDevice(secondPath);
        EXPECT_TRUE(later->open(19200)) << secondPath;
        later->close();
    }
}

TEST(OneProgramPerPort, LockFilesOfTheConventionAreMadeHonouredAndCleanedUp)
{
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    QTemporaryDir locks, dir;
    rt::PortProbePlaces places;
    places.lockDirs = {locks.path().toStdString()};
    const std::string lockFile = TheLockFile(places.lockDirs[0], pty.path);
    const std::string link = In(dir, "by-id-link");
    ASSERT_EQ(::symlink(pty.path.c_str(), link.c_str()), 0);

    // Opened through the link, the device's own lock file holds this
    // process's pid as ten ASCII digits and a newline; closing removes it.
    auto device = rt::MakeQtSerialDevice(link, places);
    ASSERT_TRUE(device->open(19200));
    char mine[16];
    std::snprintf(mine, sizeof mine, "%10d\n", static_cast<int>(::getpid()));
    std::ifstream in(lockFile, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, mine);
    device->close();
    EXPECT_NE(::access(lockFile.c_str(), F_OK), 0) << "the lock file outlived the open port";

    // Another living program's lock file refuses the open and stays as it was.
    char other[16];
    std::snprintf(other, sizeof other, "%10d\n", static_cast<int>(::getppid()));
    Write(lockFile, other);
    EXPECT_FALSE(device->open(19200));
    std::ifstream again(lockFile, std::ios::binary);
    text.assign((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, other);
    const rt::PortOpenCause c = rt::FindPortOpenCause(link, places);
    EXPECT_EQ(c.kind, rt::PortOpenCause::Busy);
    EXPECT_NE(c.holder.find("(pid " + std::to_string(::getppid()) + ")"), std::string::npos) << c.holder;

    // A lock file of a process that is gone is stale: removed, and the port opens.
    Write(lockFile, "  999999999\n");
    ASSERT_TRUE(device->open(19200));
    std::ifstream third(lockFile, std::ios::binary);
    text.assign((std::istreambuf_iterator<char>(third)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, mine);
    device->close();
}

TEST(OneProgramPerPort, WithoutAWritableLockFolderTheDescriptorLockStillExcludes)
{
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    rt::PortProbePlaces nowhere;
    nowhere.lockDirs = {"/nonexistent-lock-folder"};
    // A program that locks only the descriptor (no lock file anywhere).
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
        if (fd >= 0 && ::flock(fd, LOCK_EX) == 0)
            [[maybe_unused]] const ssize_t n = ::write(ready[1], "x", 1);
        ::pause();
        ::_exit(0);
    }
    char c1 = 0;
    ASSERT_EQ(::read(ready[0], &c1, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    auto device = rt::MakeQtSerialDevice(pty.path, nowhere);
    EXPECT_FALSE(device->open(19200));
    const rt::PortOpenCause c = rt::FindPortOpenCause(pty.path, nowhere);
    EXPECT_EQ(c.kind, rt::PortOpenCause::Busy);
    EXPECT_NE(c.holder.find("(pid " + std::to_string(child) + ")"), std::string::npos) << c.holder;
    End(child);

    // Free again: it opens without any lock folder, and a second of our
    // programs is still kept out.
    ASSERT_TRUE(device->open(19200));
    EXPECT_EQ(HoldInChild(pty.path, nowhere), -1);
    device->close();
}

} // namespace
#endif
