// RS-232 calls on a fake device and on a pseudo-terminal; the port numbering.
#include "rt/runtime.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {

struct FakeState {
    std::deque<std::uint8_t> incoming;
    std::vector<std::uint8_t> written;
    bool lost = false;
    bool failOpen = false;
    int baud = 0;
    int opens = 0;
    int closes = 0;
    int inputFlushes = 0;
    double lastTimeout = -1;
};

class FakeDevice final : public io::SerialDevice {
public:
    explicit FakeDevice(std::shared_ptr<FakeState> s) : m_s(std::move(s)) {}
    bool open(int baudRate) override
    {
        if (m_s->failOpen)
            return false;
        m_s->baud = baudRate;
        ++m_s->opens;
        m_open = true;
        return true;
    }
    void close() override
    {
        if (m_open)
            ++m_s->closes;
        m_open = false;
    }
    bool isOpen() const override { return m_open; }
    int write(const std::uint8_t* data, int count) override
    {
        if (m_s->lost)
            return -1;
        m_s->written.insert(m_s->written.end(), data, data + count);
        return count;
    }
    // Hands over what has "arrived"; fewer than max means the time-out passed.
    int read(std::uint8_t* buf, int max, double timeout, const io::AnswerComplete& done) override
    {
        m_s->lastTimeout = timeout;
        if (m_s->lost)
            return -1;
        int n = 0;
        while (n < max && !m_s->incoming.empty()) {
            buf[n++] = m_s->incoming.front();
            m_s->incoming.pop_front();
            if (done && done(buf, n))
                break;
        }
        return n;
    }
    void flushInput() override
    {
        ++m_s->inputFlushes;
        m_s->incoming.clear();
    }
    void flushOutput() override {}
    std::string description() const override { return "fake"; }

private:
    std::shared_ptr<FakeState> m_s;
    bool m_open = false;
};

class SerialFixture : public ::testing::Test {
protected:
    io::VirtualClock clock;
    rt::ScriptedOperator op;
    rt::Runtime rt{clock, op};
    std::shared_ptr<FakeState> state = std::make_shared<FakeState>();

    void SetUp() override
    {
        auto s = state;
        rt.ports().bind(3, "COM3  fake", [s] { return std::make_unique<FakeDevice>(s); });
    }
};

} // namespace

TEST_F(SerialFixture, CallsOnAPortNotOpenAreRefused)
{
    unsigned char buf[8] = {};
    EXPECT_FALSE(rt.IsComOpen(3));
    EXPECT_EQ(rt.ComWrt(3, buf, 8), rt::RT_ERR_PORT_CLOSED);
    EXPECT_EQ(rt.ComRd(3, buf, 8), rt::RT_ERR_PORT_CLOSED);
    EXPECT_EQ(rt.FlushInQ(3), rt::RT_ERR_PORT_CLOSED);
    EXPECT_EQ(rt.FlushOutQ(3), rt::RT_ERR_PORT_CLOSED);
    EXPECT_EQ(rt.SetComTime(3, 1.0), rt::RT_ERR_PORT_CLOSED);
    EXPECT_EQ(rt.CloseCom(3), rt::RT_ERR_PORT_CLOSED);
    // A number with no device behind it, and a device that will not open.
    EXPECT_EQ(rt.OpenComConfig(299, "", 19200, 0, 8, 1, 512, 512), rt::RT_ERR_PORT_OPEN);
    state->failOpen = true;
    EXPECT_EQ(rt.OpenComConfig(3, "", 19200, 0, 8, 1, 512, 512), rt::RT_ERR_PORT_OPEN);
    EXPECT_FALSE(rt.IsComOpen(3));
}

TEST_F(SerialFixture, WriteAndReadWithTimeOutAndEarlyEnd)
{
    ASSERT_EQ(rt.OpenComConfig(3, "", 19200, 0, 8, 1, 512, 512), 0);
    EXPECT_TRUE(rt.IsComOpen(3));
    EXPECT_EQ(state->baud, 19200);
    EXPECT_EQ(rt.PortLabel(3), "COM3  fake");
    EXPECT_EQ(rt.SetXMode(3, 0), 0);
    EXPECT_EQ(rt.SetCTSMode(3, 0), 0);

    const unsigned char req[8] = {0x01, 0x03, 0x10, 0x00, 0x00, 0x01, 0x80, 0xCA};
    EXPECT_EQ(rt.ComWrt(3, req, 8), 8);
    EXPECT_EQ(state->written, std::vector<std::uint8_t>(req, req + 8));

    unsigned char buf[8] = {};
    state->incoming = {1, 3, 2, 0, 0xFA};
    EXPECT_EQ(rt.ComRd(3, buf, 8), 5);  // only five came before the time-out
    EXPECT_DOUBLE_EQ(state->lastTimeout, 1.0);
    ASSERT_EQ(rt.SetComTime(3, 0.25), 0);
    EXPECT_EQ(rt.SetComTime(3, -1), rt::RT_ERR_BAD_ARGUMENT);

    // An exception answer is complete at five bytes; the rest stays queued.
    state->incoming = {1, 0x83, 2, 0xC0, 0xF1, 9, 9, 9};
    auto exception = [](const std::uint8_t* b, int n) { return n >= 5 && (b[1] & 0x80); };
    EXPECT_EQ(rt.ComRdAnswer(3, buf, 8, exception), 5);
    EXPECT_DOUBLE_EQ(state->lastTimeout, 0.25);
    EXPECT_EQ(buf[1], 0x83);
    EXPECT_EQ(state->incoming.size(), 3u);
    EXPECT_EQ(rt.FlushInQ(3), 0);
    EXPECT_TRUE(state->incoming.empty());

    EXPECT_EQ(rt.CloseCom(3), 0);
    EXPECT_FALSE(rt.IsComOpen(3));
    EXPECT_EQ(state->closes, 1);
}

TEST_F(SerialFixture, ReopeningClosesTheOldDevice)
{
    ASSERT_EQ(rt.OpenComConfig(3, "", 9600, 0, 8, 1, 512, 512), 0);
    ASSERT_EQ(rt.OpenComConfig(3, "", 19200, 0, 8, 1, 512, 512), 0);
    EXPECT_EQ(state->opens, 2);
    EXPECT_EQ(state->closes, 1);
    EXPECT_EQ(state->baud, 19200);
}

TEST_F(SerialFixture, LostDeviceStaysLostUntilClosed)
{
    ASSERT_EQ(rt.OpenComConfig(3, "", 19200, 0, 8, 1, 512, 512), 0);
    unsigned char buf[8] = {};
    state->lost = true;
    EXPECT_EQ(rt.ComRd(3, buf, 8), rt::RT_ERR_PORT_LOST);
    EXPECT_TRUE(rt.IsComOpen(3));
    state->lost = false;  // even if the device seems back, the port is lost
    EXPECT_EQ(rt.ComWrt(3, buf, 8), rt::RT_ERR_PORT_LOST);
    EXPECT_EQ(rt.FlushInQ(3), rt::RT_ERR_PORT_LOST);
    EXPECT_EQ(rt.CloseCom(3), 0);
    ASSERT_EQ(rt.OpenComConfig(3, "", 19200, 0, 8, 1, 512, 512), 0);
    EXPECT_EQ(rt.ComWrt(3, buf, 8), 8);

    state->lost = true;
    EXPECT_EQ(rt.ComWrt(3, buf, 8), rt::RT_ERR_PORT_LOST);
    EXPECT_EQ(rt.ComRd(3, buf, 8), rt::RT_ERR_PORT_LOST);
}

TEST(PortMap, NumberingRule)
{
    struct Case {
        const char* path;
        int number;
    } cases[] = {{"/dev/ttyS0", 1},     {"/dev/ttyS3", 4},   {"/dev/ttyUSB0", 101}, {"/dev/ttyUSB7", 108},
                 {"/dev/ttyACM2", 203}, {"COM7", 7},         {"com12", 12},         {"/dev/pts/3", 0},
                 {"/dev/ttyUSB", 0},    {"/dev/ttyS100", 0}, {"COM0", 0},           {"", 0}};
    for (const Case& c : cases)
        EXPECT_EQ(rt::PortMap::numberForDevice(c.path), c.number) << c.path;
#ifdef Q_OS_LINUX
    EXPECT_EQ(rt::PortMap::deviceForNumber(1), "/dev/ttyS0");
    EXPECT_EQ(rt::PortMap::deviceForNumber(101), "/dev/ttyUSB0");
    EXPECT_EQ(rt::PortMap::deviceForNumber(203), "/dev/ttyACM2");
    EXPECT_EQ(rt::PortMap::deviceForNumber(0), "");
    for (int n : {1, 57, 101, 150, 201, 300})
        EXPECT_EQ(rt::PortMap::numberForDevice(rt::PortMap::deviceForNumber(n)), n);
#endif

    rt::PortMap map;
    map.bind(1, "COM1  simulated controller", [] { return std::unique_ptr<io::SerialDevice>(); });
    map.bindDevice(150, "/dev/pts/9");
    map.addPlatformPorts();
    ASSERT_NE(map.find(1), nullptr);
    EXPECT_EQ(map.find(1)->label, "COM1  simulated controller");  // existing bindings win
    EXPECT_EQ(map.find(150)->label, "COM150  /dev/pts/9");
    const auto entries = map.entries();
    for (std::size_t i = 1; i < entries.size(); ++i)
        EXPECT_LT(entries[i - 1].number, entries[i].number);
    map.unbind(150);
    EXPECT_EQ(map.find(150), nullptr);

    // Labels: the number, then the device; a Windows COM name is not repeated.
    map.bindDevice(101, "/dev/ttyUSB0");
    EXPECT_EQ(map.find(101)->label, "COM101  /dev/ttyUSB0");
    map.bindDevice(7, "\\\\.\\COM7");
    EXPECT_EQ(map.find(7)->label, "COM7");
    map.bindDevice(12, "com12");
    EXPECT_EQ(map.find(12)->label, "COM12");
    map.bindDevice(3, "COM5");
    EXPECT_EQ(map.find(3)->label, "COM3  COM5");
}

#ifdef Q_OS_LINUX
namespace {
// The controller's end of a pseudo-terminal pair.
struct PtyMaster {
    int fd = -1;
    std::string slave;
    PtyMaster()
    {
        fd = posix_openpt(O_RDWR | O_NOCTTY);
        if (fd >= 0 && grantpt(fd) == 0 && unlockpt(fd) == 0)
            slave = ptsname(fd);
    }
    ~PtyMaster() { closeIt(); }
    void closeIt()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    void send(const std::vector<std::uint8_t>& bytes)
    {
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::vector<std::uint8_t> receive(std::size_t count, int timeoutMs = 2000)
    {
        std::vector<std::uint8_t> out;
        QElapsedTimer t;
        t.start();
        while (out.size() < count && t.elapsed() < timeoutMs) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && (p.revents & POLLIN)) {
                std::uint8_t b[64];
                const ssize_t n = ::read(fd, b, sizeof b);
                if (n > 0)
                    out.insert(out.end(), b, b + n);
            }
        }
        return out;
    }
};
} // namespace

TEST(SerialPty, RealPortPathOverPseudoTerminal)
{
    PtyMaster master;
    ASSERT_FALSE(master.slave.empty());
    io::VirtualClock clock;
    rt::ScriptedOperator op;
    rt::Runtime rt(clock, op);
    rt.ports().bindDevice(9, master.slave);
    ASSERT_EQ(rt.OpenComConfig(9, "", 9600, 0, 8, 1, 512, 512), 0);
    // Opening it again (a new baud rate) closes it first, or the device
    // would still be held and the second open refused.
    ASSERT_EQ(rt.OpenComConfig(9, "", 19200, 0, 8, 1, 512, 512), 0);

    const unsigned char req[8] = {0x01, 0x03, 0x1F, 0x00, 0x00, 0x01, 0x83, 0xDE};
    EXPECT_EQ(rt.ComWrt(9, req, 8), 8);
    EXPECT_EQ(master.receive(8), std::vector<std::uint8_t>(req, req + 8));

    // A full answer, including bytes a terminal would otherwise translate.
    const std::vector<std::uint8_t> answer = {0x01, 0x03, 0x02, 0x0D, 0x0A, 0x03, 0x11};
    master.send(answer);
    unsigned char buf[16] = {};
    ASSERT_EQ(rt.SetComTime(9, 2.0), 0);
    ASSERT_EQ(rt.ComRd(9, buf, 7), 7);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 7), answer);

    // Short answer: the time-out ends the read with what came.
    ASSERT_EQ(rt.SetComTime(9, 0.1), 0);
    master.send({0xAA, 0xBB});
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(rt.ComRd(9, buf, 4), 2);
    EXPECT_GE(t.elapsed(), 80);
    EXPECT_LT(t.elapsed(), 1000);

    // `done` ends the read early, long before the time-out.
    ASSERT_EQ(rt.SetComTime(9, 3.0), 0);
    master.send({0x01, 0x83, 0x02, 0xC0, 0xF1});
    auto exception = [](const std::uint8_t* b, int n) { return n >= 5 && (b[1] & 0x80); };
    t.restart();
    EXPECT_EQ(rt.ComRdAnswer(9, buf, 7, exception), 5);
    EXPECT_LT(t.elapsed(), 1500);

    // Stale input is dropped by a flush.
    master.send({1, 2, 3});
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 50) {
    }
    ASSERT_EQ(rt.FlushInQ(9), 0);
    ASSERT_EQ(rt.SetComTime(9, 0.05), 0);
    EXPECT_EQ(rt.ComRd(9, buf, 3), 0);

    // The other end goes away: the port is lost, not merely silent.
    master.closeIt();
    ASSERT_EQ(rt.SetComTime(9, 0.5), 0);
    EXPECT_EQ(rt.ComRd(9, buf, 8), rt::RT_ERR_PORT_LOST);
    EXPECT_TRUE(rt.IsComOpen(9));
    EXPECT_EQ(rt.CloseCom(9), 0);
}

namespace {
// CPU time of the calling thread, in milliseconds.
double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct PtyPort {
    PtyMaster master;
    io::VirtualClock clock;
    rt::ScriptedOperator op;
    rt::Runtime rt{clock, op};
    bool open()
    {
        if (master.slave.empty())
            return false;
        rt.ports().bindDevice(9, master.slave);
        return rt.OpenComConfig(9, "", 19200, 0, 8, 1, 512, 512) == 0 && rt.SetComTime(9, 1.0) == 0;
    }
};
} // namespace

// A device that hangs up must be reported lost at once, and the waiting must
// sleep in the operating system: a loop around a wait that fails at once
// would burn a core until the time-out.
TEST(SerialPty, HangUpIsLostAtOnceWithoutSpinning)
{
    unsigned char buf[8] = {};
    {
        // Gone before the read starts.
        PtyPort p;
        ASSERT_TRUE(p.open());
        p.master.closeIt();
        QElapsedTimer t;
        t.start();
        const double cpu0 = threadCpuMs();
        EXPECT_EQ(p.rt.ComRd(9, buf, 8), rt::RT_ERR_PORT_LOST);
        EXPECT_LT(t.elapsed(), 300);
        EXPECT_LT(threadCpuMs() - cpu0, 100.0);
        // Once lost, every call says so without touching the device.
        EXPECT_EQ(p.rt.ComWrt(9, buf, 8), rt::RT_ERR_PORT_LOST);
    }
    {
        // Gone while the read waits: the read ends then, not at its time-out,
        // and the wait before it costs next to no processor time.
        PtyPort p;
        ASSERT_TRUE(p.open());
        std::thread unplug([&p] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            p.master.closeIt();
        });
        QElapsedTimer t;
        t.start();
        const double cpu0 = threadCpuMs();
        const int r = p.rt.ComRd(9, buf, 8);
        const qint64 took = t.elapsed();
        const double cpu = threadCpuMs() - cpu0;
        unplug.join();
        EXPECT_EQ(r, rt::RT_ERR_PORT_LOST);
        EXPECT_GE(took, 250);
        EXPECT_LT(took, 800);
        EXPECT_LT(cpu, 100.0) << "the read spun while it waited";
    }
    {
        // Part of an answer, then the hang-up: lost, not a short answer.
        PtyPort p;
        ASSERT_TRUE(p.open());
        p.master.send({0x01, 0x03, 0x02});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        p.master.closeIt();
        QElapsedTimer t;
        t.start();
        EXPECT_EQ(p.rt.ComRd(9, buf, 8), rt::RT_ERR_PORT_LOST);
        EXPECT_LT(t.elapsed(), 300);
    }
    {
        // A write to a device that has hung up.
        PtyPort p;
        ASSERT_TRUE(p.open());
        p.master.closeIt();
        QElapsedTimer t;
        t.start();
        const double cpu0 = threadCpuMs();
        EXPECT_EQ(p.rt.ComWrt(9, buf, 8), rt::RT_ERR_PORT_LOST);
        EXPECT_LT(t.elapsed(), 300);
        EXPECT_LT(threadCpuMs() - cpu0, 100.0);
        EXPECT_EQ(p.rt.ComRd(9, buf, 8), rt::RT_ERR_PORT_LOST);
    }
    {
        // A silent but present device is not lost: the read waits out its
        // time-out asleep and returns what came (nothing).
        PtyPort p;
        ASSERT_TRUE(p.open());
        ASSERT_EQ(p.rt.SetComTime(9, 0.4), 0);
        QElapsedTimer t;
        t.start();
        const double cpu0 = threadCpuMs();
        EXPECT_EQ(p.rt.ComRd(9, buf, 8), 0);
        EXPECT_GE(t.elapsed(), 390);
        EXPECT_LT(threadCpuMs() - cpu0, 100.0);
        EXPECT_EQ(p.rt.ComWrt(9, buf, 8), 8);
    }
}

// An idle open port whose other end goes away (an unplugged adapter) is
// closed and reported from the event loop within a second, once, and then
// costs no processor time; the event loop does not spin on it meanwhile.
// Runs the event loop, asleep between events, for a while.
void RunLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

TEST(SerialPty, IdleHangUpIsReportedOnceFromTheEventLoopAndThenCostsNothing)
{
    PtyPort p;
    ASSERT_TRUE(p.open());
    std::vector<int> lost;
    p.rt.SetComLostHandler([&lost](int port) { lost.push_back(port); });
    // Idle and healthy: nothing reported, nothing spent.
    QElapsedTimer t;
    t.start();
    double cpu0 = threadCpuMs();
    RunLoop(300);
    EXPECT_TRUE(lost.empty());
    EXPECT_LT(threadCpuMs() - cpu0, 60.0);

    p.master.closeIt();
    t.start();
    cpu0 = threadCpuMs();
    while (lost.empty() && t.elapsed() < 2000)
        RunLoop(20);
    ASSERT_EQ(lost, std::vector<int>{9});
    EXPECT_LT(t.elapsed(), 1000);
    unsigned char buf[8] = {};
    EXPECT_EQ(p.rt.ComWrt(9, buf, 8), rt::RT_ERR_PORT_LOST);
    EXPECT_TRUE(p.rt.IsComOpen(9)) << "released by its owner, not behind its back";

    // Lost and waiting for its owner: the loop sleeps.
    t.start();
    cpu0 = threadCpuMs();
    RunLoop(500);
    EXPECT_LT(threadCpuMs() - cpu0, 100.0) << "the event loop spun on the dead port";
    EXPECT_EQ(lost.size(), 1u) << "told once";
    EXPECT_EQ(p.rt.CloseCom(9), 0);
}
#endif
