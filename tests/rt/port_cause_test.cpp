// Why a port does not open: missing devices, permissions, lock files and
// other holders, on temporary files and folders.
#include "rt/runtime.h"
#include "rt/serial_qt.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

#ifdef Q_OS_LINUX
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <grp.h>
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
    EXPECT_NE(c.holder.find("(process " + std::to_string(holder) + ")"), std::string::npos) << c.holder;
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
    EXPECT_NE(c.holder.find("(process " + std::to_string(child) + ")"), std::string::npos) << c.holder;
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

} // namespace
#endif
