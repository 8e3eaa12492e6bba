// Files, time, rounding and control names.
#include "rt/controls.h"
#include "rt/files.h"
#include "rt/runtime.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <csignal>
#include <ctime>
#include <limits>
#include <string>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#endif

namespace {
std::string in(const QTemporaryDir& dir, const char* name)
{
    return dir.filePath(QString::fromUtf8(name)).toStdString();
}
} // namespace

TEST(Files, ExactBytesRoundTripWithAwkwardNames)
{
    QTemporaryDir dir;
    const std::string path = in(dir, "Parm Set Ä 1.prm");
    const std::string bytes = std::string("25.0\r\n-3\n", 10) + std::string(1, '\0') + "end";
    std::string error;
    ASSERT_TRUE(rt::WriteFileAtomically(path, bytes, &error)) << error;
    EXPECT_TRUE(rt::FileExists(path));
    std::string back;
    ASSERT_TRUE(rt::ReadWholeFile(path, &back));
    EXPECT_EQ(back, bytes);
    ASSERT_TRUE(rt::WriteFileAtomically(path, "short"));
    rt::ReadWholeFile(path, &back);
    EXPECT_EQ(back, "short");

    EXPECT_FALSE(rt::FileExists(in(dir, "missing.prm")));
    EXPECT_FALSE(rt::ReadWholeFile(in(dir, "missing.prm"), &back, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(rt::WriteFileAtomically(in(dir, "no such folder/x.prm"), "x", &error));
}

#ifdef Q_OS_UNIX
TEST(Files, FailedAtomicWriteLeavesTargetIntact)
{
    QTemporaryDir dir;
    const std::string path = in(dir, "DftCom.prm");
    ASSERT_TRUE(rt::WriteFileAtomically(path, "old"));
    // A file size limit makes the write fail part way, as a full disk would.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string error;
    const bool ok = rt::WriteFileAtomically(path, std::string(100000, 'x'), &error);
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(error.empty());
    std::string back;
    ASSERT_TRUE(rt::ReadWholeFile(path, &back));
    EXPECT_EQ(back, "old");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"DftCom.prm"});
}
#endif

#ifdef Q_OS_UNIX
TEST(Files, ReadingRefusesWhatIsNotARegularFileWithoutBlocking)
{
    QTemporaryDir dir;
    const std::string fifo = in(dir, "DftCom.prm");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, dir.path().toStdString(), std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        auto reading = std::async(std::launch::async, [path] {
            std::string text = "kept", error;
            const bool ok = rt::ReadWholeFile(path, &text, &error);
            return std::make_pair(ok, text + "|" + error);
        });
        if (reading.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
            // Release the blocked reader so the test can end, then fail.
            const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (w >= 0)
                ::close(w);
            reading.wait();
            FAIL() << "reading blocked";
        }
        const auto [ok, what] = reading.get();
        EXPECT_FALSE(ok);
        EXPECT_EQ(what.substr(0, 5), "kept|");
        EXPECT_NE(what.find(", not a regular file"), std::string::npos) << what;
    }
}
#endif

TEST(Files, TextLogAppendsTruncatesAndReportsAFullDisk)
{
    QTemporaryDir dir;
    const std::string path = in(dir, "log 1.dat");
    const std::string end = rt::TextLineEnd();
    rt::TextLog log;
    EXPECT_FALSE(log.writeLine("not open"));
    ASSERT_TRUE(log.open(path, false));
    ASSERT_TRUE(log.writeLine("header"));
    ASSERT_TRUE(log.writeLine("1/2/2024\t10:00:00\t25.0\t24.9"));
    // Each line is with the operating system at once, before any close.
    std::string back;
    rt::ReadWholeFile(path, &back);
    EXPECT_EQ(back, "header" + end + "1/2/2024\t10:00:00\t25.0\t24.9" + end);
    log.close();
    EXPECT_FALSE(log.isOpen());

    ASSERT_TRUE(log.open(path, true));
    log.writeLine("more");
    log.close();
    rt::ReadWholeFile(path, &back);
    EXPECT_EQ(back, "header" + end + "1/2/2024\t10:00:00\t25.0\t24.9" + end + "more" + end);
    ASSERT_TRUE(log.open(path, false));
    log.writeLine("fresh");
    log.close();
    rt::ReadWholeFile(path, &back);
    EXPECT_EQ(back, "fresh" + end);

    std::string error;
    EXPECT_FALSE(log.open(in(dir, "no such folder/log.dat"), false, &error));
    EXPECT_FALSE(error.empty());
#ifdef Q_OS_LINUX
    // Only a regular file is a log: a device is refused before it is opened.
    EXPECT_FALSE(log.open("/dev/full", true, &error));
    EXPECT_EQ(error, "it is a character device, not a regular file");
    EXPECT_FALSE(log.isOpen());
#endif
}

#ifdef Q_OS_UNIX
// A line the disk cannot take whole leaves nothing behind: no fragment in the
// file, and nothing kept back for a later line or the close to write out.
TEST(Files, TextLogLineThatFailsPartWayLeavesNoFragment)
{
    QTemporaryDir dir;
    const std::string end = rt::TextLineEnd();
    std::signal(SIGXFSZ, SIG_IGN);
    for (const bool append : {false, true}) {
        const std::string path = in(dir, append ? "append log.dat" : "new log.dat");
        rt::TextLog log;
        ASSERT_TRUE(log.open(path, append));
        ASSERT_TRUE(log.writeLine("header"));
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = static_cast<rlim_t>(6 + end.size() + 5);  // room for five more bytes
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        std::string error;
        const bool wrote = log.writeLine("11/02/2024\t10:00:01\t25.0\t24.9", &error);
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_FALSE(wrote) << append;
        EXPECT_FALSE(error.empty());
        std::string back;
        ASSERT_TRUE(rt::ReadWholeFile(path, &back));
        EXPECT_EQ(back, "header" + end) << append;

        // The disk has room again: the next line follows the last whole one.
        ASSERT_TRUE(log.writeLine("11/02/2024\t10:00:02\t25.0\t25.0"));
        log.close();
        ASSERT_TRUE(rt::ReadWholeFile(path, &back));
        EXPECT_EQ(back, "header" + end + "11/02/2024\t10:00:02\t25.0\t25.0" + end) << append;
    }
}
#endif

// Folders and files named with blanks and letters beyond ASCII, as operators
// name them, for every kind of file access.
TEST(Files, AwkwardFolderNamesForEveryKindOfAccess)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QString::fromUtf8("Mes données  °C/Прогон 1"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const std::string base = folder.toStdString();
    const std::string prm = base + "/Réglage été.prm";
    ASSERT_TRUE(rt::WriteFileAtomically(prm, "25.0 1\n"));
    EXPECT_TRUE(rt::FileExists(prm));
    std::string back;
    ASSERT_TRUE(rt::ReadWholeFile(prm, &back));
    EXPECT_EQ(back, "25.0 1\n");
    // The name on disk is the one given, not a mangled one.
    EXPECT_EQ(QDir(folder).entryList(QDir::Files), QStringList{QString::fromUtf8("Réglage été.prm")});

    const std::string dat = base + "/Journal 温度.dat";
    rt::TextLog log;
    ASSERT_TRUE(log.open(dat, false));
    ASSERT_TRUE(log.writeLine("Date\tTime"));
    log.close();
    ASSERT_TRUE(rt::ReadWholeFile(dat, &back));
    EXPECT_EQ(back, "Date\tTime" + std::string(rt::TextLineEnd()));
}

TEST(TimeAndNumbers, DelayMovesOnlyTheClockAndTimeIsLocal)
{
    const std::int64_t start = 1700000000000LL + 12345;
    io::VirtualClock clock(start);
    rt::ScriptedOperator op;
    rt::Runtime rt(clock, op);
    rt.Delay(2.5);
    rt.Delay(-1);
    EXPECT_DOUBLE_EQ(clock.now(), 2.5);

    const std::time_t secs = static_cast<std::time_t>((start + 2500) / 1000);
    std::tm local{};
#ifdef Q_OS_WIN
    localtime_s(&local, &secs);
#else
    localtime_r(&secs, &local);
#endif
    char expected[16];
    std::strftime(expected, sizeof expected, "%H:%M:%S", &local);
    EXPECT_EQ(rt.TimeStr(), expected);
    int m = 0, d = 0, y = 0;
    rt.GetSystemDate(&m, &d, &y);
    EXPECT_EQ(m, local.tm_mon + 1);
    EXPECT_EQ(d, local.tm_mday);
    EXPECT_EQ(y, local.tm_year + 1900);

    struct Case {
        double in;
        long out;
    } cases[] = {{0.5, 0}, {1.5, 2}, {2.5, 2}, {-0.5, 0}, {-1.5, -2}, {2.6, 3}, {-2.4, -2}, {249.5, 250}, {12.0, 12}};
    for (const Case& c : cases)
        EXPECT_EQ(rt::Runtime::RoundRealToNearestInteger(c.in), c.out) << c.in;
    // Beyond a long: the limits, not a wrapped or undefined number.
    constexpr long kMax = std::numeric_limits<long>::max();
    constexpr long kMin = std::numeric_limits<long>::min();
    EXPECT_EQ(rt::Runtime::RoundRealToNearestInteger(1e30), kMax);
    EXPECT_EQ(rt::Runtime::RoundRealToNearestInteger(-1e30), kMin);
    EXPECT_EQ(rt::Runtime::RoundRealToNearestInteger(std::numeric_limits<double>::infinity()), kMax);
    EXPECT_EQ(rt::Runtime::RoundRealToNearestInteger(std::nan("")), 0);
    // Halves stay even whatever rounding mode some library left behind.
    std::fesetround(FE_UPWARD);
    const long up = rt::Runtime::RoundRealToNearestInteger(2.5);
    const long down = rt::Runtime::RoundRealToNearestInteger(-2.4);
    std::fesetround(FE_TONEAREST);
    EXPECT_EQ(up, 2);
    EXPECT_EQ(down, -2);

    io::RealClock real;
    const double t0 = real.now();
    real.sleep(0.02);
    EXPECT_GE(real.now() - t0, 0.019);
    EXPECT_GT(real.wallMillis(), 1600000000000LL);
}

TEST(ControlNames, EveryIdentifierRoundTrips)
{
    EXPECT_EQ(rt::controlIdByName("PARM_SV"), PARM_SV);
    EXPECT_EQ(rt::controlIdByName("SCRIPT_STEP_LED_12"), SCRIPT_STEP_LED(12));
    EXPECT_EQ(rt::controlIdByName("LOGSET_CLOSE"), LOGSET_CLOSE);
    EXPECT_EQ(rt::controlIdByName("PARM_sv"), CTRL_NONE);
    EXPECT_EQ(rt::controlIdByName(""), CTRL_NONE);
    EXPECT_EQ(rt::controlName(CTRL_NONE), "");
    EXPECT_EQ(rt::controlName(CTRL_COUNT), "");
    for (int id = 1; id < CTRL_COUNT; ++id)
        EXPECT_EQ(rt::controlIdByName(rt::controlName(id)), id) << id;
}
