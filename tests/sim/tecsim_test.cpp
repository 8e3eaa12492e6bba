// The tecsim program on a real pseudo-terminal: started, asked for its
// identity over POSIX termios, and stopped again.
#include "protocol/modbus.h"
#include "support/tecsim_child.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// tecsim without a traffic log, its usage text on bad options kept out of
// the test's output; ended (only it) when the test is done.
struct Tecsim : testsupport::TecsimChild {
    explicit Tecsim(std::vector<std::string> args) : TecsimChild(Start{TECSIM_PATH, std::move(args), "", true, 5.0}) {}
    // Everything it printed until it ended (or `seconds` passed).
    std::string allOutput(double seconds) { return firstLine.empty() ? rest(seconds) : firstLine + "\n" + rest(seconds); }
};

int OpenRaw(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return fd;
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B19200);
    ::cfsetospeed(&tio, B19200);
    ::tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

// Reads until `n` bytes arrived or `seconds` passed.
std::vector<std::uint8_t> ReadAnswer(int fd, std::size_t n, double seconds)
{
    std::vector<std::uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        std::uint8_t buf[64];
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r > 0)
            got.insert(got.end(), buf, buf + r);
    }
    return got;
}

const std::uint8_t IDENTITY[8] = {0x01, 0x03, 0x1F, 0x00, 0x00, 0x01, 0x83, 0xDE};

} // namespace

TEST(Tecsim, AnswersTheIdentityRequestOnItsTerminal)
{
    char linkTemplate[] = "/tmp/tecsim-link-XXXXXX";
    const int tmp = ::mkstemp(linkTemplate);
    ASSERT_GE(tmp, 0);
    ::close(tmp);
    const std::string link = linkTemplate;

    // A leading zero is decimal, not octal.
    Tecsim sim({"--link", link, "--set", "0x0000=0x1F4", "--set", "0x0036=010", "--ident-low", "9"});
    const std::string line = sim.firstLine;
    ASSERT_EQ(line.rfind("tecsim: /dev/", 0), 0u) << line;
    const std::string path = line.substr(8);

    const int fd = OpenRaw(link);  // through the symbolic link
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, IDENTITY, 8), 8);
    const auto a = ReadAnswer(fd, 8, 3.0);
    ASSERT_EQ(a.size(), 8u);
    EXPECT_TRUE(comlink::AnswerIsGood(a.data(), 8, 8));
    EXPECT_EQ(a[4], 0xF1);
    EXPECT_EQ(a[5], 9);

    // A stray byte before a request is skipped; --set took effect.
    const comlink::ModbusFrame sv = comlink::ReadFrame(1, 0x0000, 1);
    const std::uint8_t junk = 0x55;
    ASSERT_EQ(::write(fd, &junk, 1), 1);
    ASSERT_EQ(::write(fd, sv.b, 8), 8);
    const auto b = ReadAnswer(fd, 8, 3.0);
    ASSERT_EQ(b.size(), 8u);
    EXPECT_EQ(comlink::RegisterValue(b.data(), 0), 500);
    const comlink::ModbusFrame band = comlink::ReadFrame(1, 0x0036, 1);
    ASSERT_EQ(::write(fd, band.b, 8), 8);
    const auto c = ReadAnswer(fd, 8, 3.0);
    ASSERT_EQ(c.size(), 8u);
    EXPECT_EQ(comlink::RegisterValue(c.data(), 0), 10);
    ::close(fd);

    // A second client after the first has gone is served too.
    const int again = OpenRaw(path);
    ASSERT_GE(again, 0);
    ASSERT_EQ(::write(again, IDENTITY, 8), 8);
    EXPECT_EQ(ReadAnswer(again, 8, 3.0).size(), 8u);
    ::close(again);

    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(::access(link.c_str(), F_OK), 0) << "the link is removed at exit";
}

TEST(Tecsim, WireTimeAndSilence)
{
    Tecsim slow({"--wire-time", "--baud", "1200"});
    const std::string line = slow.firstLine;
    ASSERT_EQ(line.rfind("tecsim: ", 0), 0u);
    const int fd = OpenRaw(line.substr(8));
    ASSERT_GE(fd, 0);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(::write(fd, IDENTITY, 8), 8);
    EXPECT_EQ(ReadAnswer(fd, 8, 3.0).size(), 8u);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GT(took, 16 * 10.0 / 1200 - 0.01) << "16 bytes at 1200 baud";
    ::close(fd);
    EXPECT_EQ(slow.stop(), 0);

    Tecsim silent({"--silent"});
    const std::string s = silent.firstLine;
    const int sfd = OpenRaw(s.substr(8));
    ASSERT_GE(sfd, 0);
    ASSERT_EQ(::write(sfd, IDENTITY, 8), 8);
    EXPECT_TRUE(ReadAnswer(sfd, 8, 0.3).empty());
    ::close(sfd);
    EXPECT_EQ(silent.stop(), 0);
}

// Every option the help names is taken (--help after it ends the program
// before a terminal is made); values that would stop the controller from
// answering, or the server from serving, are refused.
TEST(Tecsim, TakesEveryOptionItsHelpNamesAndRefusesBadValues)
{
    Tecsim help({"--help"});
    const std::string text = help.allOutput(3.0);
    EXPECT_EQ(help.stop(), 0);
    ASSERT_EQ(text.rfind("Usage: tecsim", 0), 0u) << text;

    const std::map<std::string, std::string> sample{
        {"--address", "5"}, {"--addresses", "1-3,7"}, {"--fault", "1:late=0.5"}, {"--model", "0xF0"}, {"--ident-low", "7"}, {"--speed", "10"}, {"--baud", "9600"},
        {"--wire-time", ""}, {"--silent", ""}, {"--bad-crc", ""}, {"--short", "2"}, {"--standard-read", ""},
        {"--delay", "0.5"}, {"--exception", "2"}, {"--five-byte-exception", ""}, {"--seed", "3"},
        {"--set", "0x0000=-50"}, {"--link", "/tmp/tecsim-never-made"}, {"--commands", ""}, {"--log", "/tmp/tecsim-never-made.log"},
        {"--help", ""}};
    std::set<std::string> named;
    for (std::size_t at = text.find("  --"); at != std::string::npos; at = text.find("\n  --", at + 1)) {
        const std::size_t from = text.find("--", at);
        named.insert(text.substr(from, text.find_first_of(" \n", from) - from));
    }
    EXPECT_EQ(named.size(), sample.size());
    for (const std::string& option : named) {
        const auto s = sample.find(option);
        ASSERT_NE(s, sample.end()) << option << " is in the help but not in this test";
        std::vector<std::string> args{option};
        if (!s->second.empty())
            args.push_back(s->second);
        args.push_back("--help");
        Tecsim t(args);
        EXPECT_EQ(t.allOutput(3.0), text) << option;
        EXPECT_EQ(t.stop(), 0) << option;
    }

    const std::vector<std::vector<std::string>> bad{
        {"--no-such-option"}, {"--address", "0"}, {"--address", "256"}, {"--speed", "0"},
        {"--speed", "inf"},   {"--speed", "nan"}, {"--delay", "nan"},    {"--delay", "-1"},
        {"--set", "0x0000"},  {"--set", "1=x"},   {"--baud", "fast"},    {"--short"},
        {"--addresses", "1,1"}, {"--addresses", "3-2"}, {"--addresses", "1,"}, {"--fault", "loud"},
        {"--fault", "2:silent"}, {"--fault", "1:late=-1"}, {"--set", "2:0x0000=5"}, {"--model", "1-2:0xF0"}};
    for (const auto& args : bad) {
        Tecsim t(args);
        EXPECT_EQ(t.firstLine, "") << args[0];
        EXPECT_EQ(t.stop(), 2) << args[0] << (args.size() > 1 ? " " + args[1] : "");
    }
}

// A client may die with answers unread and the port held exclusively; the
// next one still gets the port and an answer, and the server still stops.
TEST(Tecsim, ServesTheNextClientAfterOneThatDiedHoldingThePort)
{
    Tecsim sim({});
    const std::string line = sim.firstLine;
    ASSERT_EQ(line.rfind("tecsim: ", 0), 0u);
    const std::string path = line.substr(8);

    int fd = OpenRaw(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ioctl(fd, TIOCEXCL), 0);  // as a serial port library does while open
    // Far more answer bytes than the terminal holds, none of them read.
    const comlink::ModbusFrame block = comlink::ReadFrame(1, 0x0000, 96);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(::write(fd, block.b, 8), 8);
    ::usleep(300000);
    ::close(fd);  // without giving up exclusive mode

    // Root may open an exclusive terminal, others may not: wait until the
    // mode is gone either way.
    fd = -1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    while (std::chrono::steady_clock::now() < end) {
        fd = OpenRaw(path);
        int exclusive = 1;
        if (fd >= 0 && ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && !exclusive)
            break;
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        ::usleep(100000);
    }
    ASSERT_GE(fd, 0) << "the terminal stayed exclusive";
    ::tcflush(fd, TCIFLUSH);
    ASSERT_EQ(::write(fd, IDENTITY, 8), 8);
    const auto a = ReadAnswer(fd, 8, 3.0);
    ASSERT_EQ(a.size(), 8u);
    EXPECT_TRUE(comlink::AnswerIsGood(a.data(), 8, 8));
    ::close(fd);
    EXPECT_EQ(sim.stop(), 0);
}

TEST(Tecsim, SpeedRunsThePlantFaster)
{
    // Full manual heating: 1 s of real time at speed 100 is 100 s of plant.
    Tecsim fast({"--speed", "100", "--set", "0x0001=1000", "--set", "0x0002=3"});
    const std::string line = fast.firstLine;
    ASSERT_EQ(line.rfind("tecsim: ", 0), 0u);
    const int fd = OpenRaw(line.substr(8));
    ASSERT_GE(fd, 0);
    ::usleep(1000000);
    const comlink::ModbusFrame pv = comlink::ReadFrame(1, 0x1000, 1);
    ASSERT_EQ(::write(fd, pv.b, 8), 8);
    const auto a = ReadAnswer(fd, 8, 3.0);
    ASSERT_EQ(a.size(), 8u);
    const int raw = static_cast<std::int16_t>(comlink::RegisterValue(a.data(), 0));
    EXPECT_GT(raw, 800) << "PV " << raw / 10.0 << " after some 100 s of full heating";
    ::close(fd);
    EXPECT_EQ(fast.stop(), 0);
}

namespace {

std::vector<std::uint8_t> Sealed(std::vector<std::uint8_t> bytes)
{
    const comlink::Crc crc = comlink::CalcCRC16(bytes.data(), static_cast<int>(bytes.size()));
    bytes.push_back(crc.lo);
    bytes.push_back(crc.hi);
    return bytes;
}

// What comes back for the identity request to `address`, waiting `seconds`.
std::vector<std::uint8_t> AskIdentity(int fd, int address, double seconds, std::size_t expect = 8)
{
    ::tcflush(fd, TCIFLUSH);
    const comlink::ModbusFrame f = comlink::ReadFrame(static_cast<std::uint16_t>(address), 0x1F00, 1);
    if (::write(fd, f.b, 8) != 8)
        return {};
    return ReadAnswer(fd, expect, seconds);
}

} // namespace

// One terminal, several controllers: each answers its own address only, with
// its own identity, and the faults given for an address shape only its
// answers.
TEST(Tecsim, SeveralAddressesOnOneLineEachWithItsOwnFaults)
{
    Tecsim sim({"--addresses", "1-3,5-8", "--ident-low", "2:0x42", "--model", "3:0xF0", "--fault", "3:silent",
                "--fault", "5:short=3", "--fault", "6:bad-crc", "--fault", "7:exception=2", "--fault",
                "8:address=9", "--set", "2:0x0000=333"});
    const std::string line = sim.firstLine;
    ASSERT_EQ(line.rfind("tecsim: ", 0), 0u) << line;
    const int fd = OpenRaw(line.substr(8));
    ASSERT_GE(fd, 0);

    EXPECT_EQ(AskIdentity(fd, 1, 3.0), Sealed({0x01, 0x03, 0x00, 0x02, 0xF1, 0x23}));
    EXPECT_EQ(AskIdentity(fd, 2, 3.0), Sealed({0x02, 0x03, 0x00, 0x02, 0xF1, 0x42}));
    EXPECT_TRUE(AskIdentity(fd, 3, 0.3).empty()) << "silenced";
    EXPECT_TRUE(AskIdentity(fd, 4, 0.3).empty()) << "nobody at 4";
    const auto shortened = Sealed({0x05, 0x03, 0x00, 0x02, 0xF1, 0x23});
    EXPECT_EQ(AskIdentity(fd, 5, 0.5), std::vector<std::uint8_t>(shortened.begin(), shortened.begin() + 5));
    auto bad = Sealed({0x06, 0x03, 0x00, 0x02, 0xF1, 0x23});
    bad.back() ^= 0xFF;
    EXPECT_EQ(AskIdentity(fd, 6, 3.0), bad);
    EXPECT_EQ(AskIdentity(fd, 7, 3.0), Sealed({0x07, 0x83, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(AskIdentity(fd, 8, 3.0), Sealed({0x09, 0x03, 0x00, 0x02, 0xF1, 0x23})) << "another's address";

    // Each has its own registers: only 2 took the set value, and a write to
    // 1 leaves 2 alone.
    const comlink::ModbusFrame write = comlink::WriteFrame(1, 0x0000, 444);
    ::tcflush(fd, TCIFLUSH);
    ASSERT_EQ(::write(fd, write.b, 8), 8);
    EXPECT_EQ(ReadAnswer(fd, 8, 3.0), std::vector<std::uint8_t>(write.b, write.b + 8));
    for (const auto& [address, sv] : std::vector<std::pair<int, int>>{{1, 444}, {2, 333}}) {
        const comlink::ModbusFrame read = comlink::ReadFrame(static_cast<std::uint16_t>(address), 0x0000, 1);
        ::tcflush(fd, TCIFLUSH);
        ASSERT_EQ(::write(fd, read.b, 8), 8);
        const auto a = ReadAnswer(fd, 8, 3.0);
        ASSERT_EQ(a.size(), 8u);
        EXPECT_EQ(comlink::RegisterValue(a.data(), 0), sv) << "address " << address;
    }
    ::close(fd);
    EXPECT_EQ(sim.stop(), 0);
}

// The line's faults and timing: an adapter that echoes puts the request
// back before the answer, also for an address nobody answers; and with wire
// time two answers never share the wire, the second waits for the first.
TEST(Tecsim, EchoingAdapterAndASharedWire)
{
    Tecsim echo({"--addresses", "1,2", "--fault", "echo"});
    const std::string e = echo.firstLine;
    ASSERT_EQ(e.rfind("tecsim: ", 0), 0u) << e;
    const int efd = OpenRaw(e.substr(8));
    ASSERT_GE(efd, 0);
    const comlink::ModbusFrame id2 = comlink::ReadFrame(2, 0x1F00, 1);
    std::vector<std::uint8_t> expected(id2.b, id2.b + 8);
    const auto answer = Sealed({0x02, 0x03, 0x00, 0x02, 0xF1, 0x23});
    expected.insert(expected.end(), answer.begin(), answer.end());
    EXPECT_EQ(AskIdentity(efd, 2, 3.0, 16), expected);
    const comlink::ModbusFrame id4 = comlink::ReadFrame(4, 0x1F00, 1);
    EXPECT_EQ(AskIdentity(efd, 4, 0.5, 16), std::vector<std::uint8_t>(id4.b, id4.b + 8));
    ::close(efd);
    EXPECT_EQ(echo.stop(), 0);

    Tecsim slow({"--addresses", "1,2", "--wire-time", "--baud", "1200"});
    const std::string s = slow.firstLine;
    ASSERT_EQ(s.rfind("tecsim: ", 0), 0u) << s;
    const int fd = OpenRaw(s.substr(8));
    ASSERT_GE(fd, 0);
    // Both requests in one go (the terminal hands them over at once): the
    // first answer is on the wire 16 x 10 / 1200 s after the first request
    // byte, the second one answer's wire time after it, not at the same time.
    const comlink::ModbusFrame id1 = comlink::ReadFrame(1, 0x1F00, 1);
    std::uint8_t both[16];
    std::copy(id1.b, id1.b + 8, both);
    std::copy(id2.b, id2.b + 8, both + 8);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(::write(fd, both, 16), 16);
    const auto got = ReadAnswer(fd, 16, 5.0);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    auto two = Sealed({0x01, 0x03, 0x00, 0x02, 0xF1, 0x23});
    two.insert(two.end(), answer.begin(), answer.end());
    EXPECT_EQ(got, two);
    EXPECT_GT(took, (8 + 8 + 8) * 10.0 / 1200 - 0.01) << "the second answer waited for the first";
    ::close(fd);
    EXPECT_EQ(slow.stop(), 0);
}

// Faults changed while serving: a controller's answers pulled and given back
// with the others untouched; a command it cannot take changes nothing.
TEST(Tecsim, CommandsChangeFaultsWhileServing)
{
    testsupport::TecsimChild sim(
        testsupport::TecsimChild::Start{TECSIM_PATH, {"--addresses", "1,2", "--commands"}, "", true, 5.0, true});
    ASSERT_FALSE(sim.device.empty()) << sim.firstLine;
    const int fd = OpenRaw(sim.device);
    ASSERT_GE(fd, 0);
    const auto answers = [fd](int address) { return !AskIdentity(fd, address, 0.5).empty(); };
    // Waits, with a deadline, until the address answers (or stays silent) as wanted.
    const auto becomes = [&](int address, bool answering) {
        for (int i = 0; i < 20; ++i)
            if (answers(address) == answering)
                return true;
        return false;
    };
    EXPECT_TRUE(answers(1));
    EXPECT_TRUE(answers(2));

    ASSERT_TRUE(sim.command("fault 2:silent"));
    EXPECT_TRUE(becomes(2, false));
    EXPECT_TRUE(answers(1)) << "only 2 was pulled";

    ASSERT_TRUE(sim.command("fault 3:silent"));  // not served: refused
    ASSERT_TRUE(sim.command("fault 1:loud"));    // no such fault: refused
    ASSERT_TRUE(sim.command("nonsense"));
    ASSERT_TRUE(sim.command("fault 2:none"));
    EXPECT_TRUE(becomes(2, true));
    EXPECT_TRUE(answers(1)) << "the refused commands changed nothing";
    ::close(fd);
    EXPECT_EQ(sim.stop(), 0);
}
