// The tecsim program on a real pseudo-terminal: started, asked for its
// identity over POSIX termios, and stopped again.
#include "link/modbus.h"

#include <gtest/gtest.h>

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

// One tecsim process, ended (only it) when the test is done.
class Tecsim {
public:
    explicit Tecsim(std::vector<std::string> args)
    {
        int out[2];
        if (::pipe(out) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv{const_cast<char*>(TECSIM_PATH)};
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(TECSIM_PATH, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        m_out = out[0];
    }
    ~Tecsim()
    {
        stop();
        if (m_out >= 0)
            ::close(m_out);
    }
    // The first line the program prints, waiting up to `seconds`.
    std::string firstLine(double seconds)
    {
        std::string line;
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char c;
            if (::read(m_out, &c, 1) != 1)
                break;
            if (c == '\n')
                return line;
            line += c;
        }
        return line;
    }
    // Sends SIGTERM and returns the exit status (-1 if it did not end).
    int stop()
    {
        if (m_pid <= 0)
            return -1;
        ::kill(m_pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 200; ++i) {
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            ::usleep(10000);
        }
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return -1;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
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

    Tecsim sim({"--link", link, "--set", "0x0000=0x1F4", "--ident-low", "9"});
    const std::string line = sim.firstLine(5.0);
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
    const std::string line = slow.firstLine(5.0);
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
    const std::string s = silent.firstLine(5.0);
    const int sfd = OpenRaw(s.substr(8));
    ASSERT_GE(sfd, 0);
    ASSERT_EQ(::write(sfd, IDENTITY, 8), 8);
    EXPECT_TRUE(ReadAnswer(sfd, 8, 0.3).empty());
    ::close(sfd);
    EXPECT_EQ(silent.stop(), 0);
}

TEST(Tecsim, RejectsUnknownOptions)
{
    Tecsim bad({"--no-such-option"});
    EXPECT_EQ(bad.firstLine(2.0), "");
    EXPECT_EQ(bad.stop(), 2);
}
