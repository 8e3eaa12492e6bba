// tecsim on a pseudo-terminal, started by a test or a benchmark and ended
// (only it) when the object goes. The one way the tests and the benchmarks
// start tecsim: with a traffic log in a folder (the tests' usual way, the
// including file defining TECSIM_PATH), or with a Start saying which tecsim,
// whether to log and whether its standard error is kept.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

class TecsimChild {
public:
    struct Start {
        std::string program;            // the tecsim executable
        std::vector<std::string> args;
        std::string log;                // its traffic log; empty: none
        bool quietErrors = false;       // its standard error to /dev/null (a usage text on bad options)
        double seconds = 10;            // how long its first line is waited for
        bool commandPipe = false;       // its standard input a pipe that command() writes to
    };

    explicit TecsimChild(const Start& start) : m_log(start.log) { launch(start); }
#ifdef TECSIM_PATH
    // tecsim with `args`, logging its traffic to dir/logName; device is its
    // pseudo-terminal (empty when it did not start).
    explicit TecsimChild(const std::string& dir, std::vector<std::string> args = {},
                         const std::string& logName = "traffic.log")
        : m_log(dir + "/" + logName)
    {
        launch({TECSIM_PATH, std::move(args), m_log, false, 10});
    }
#endif
    ~TecsimChild()
    {
        if (m_in >= 0)
            ::close(m_in);
        stop();
        if (m_out >= 0)
            ::close(m_out);
    }
    TecsimChild(const TecsimChild&) = delete;
    TecsimChild& operator=(const TecsimChild&) = delete;

    // The requests tecsim received so far, as hex.
    std::vector<std::string> requests() const
    {
        std::ifstream file(m_log, std::ios::binary);
        std::vector<std::string> out;
        std::string line;
        while (std::getline(file, line)) {
            const auto at = line.find(" rx ");
            if (at != std::string::npos)
                out.push_back(line.substr(at + 4));
        }
        return out;
    }
    // Everything it printed after its first line until it ended (or
    // `seconds` passed).
    std::string rest(double seconds)
    {
        std::string text;
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (m_out >= 0 && std::chrono::steady_clock::now() < end) {
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buf[512];
            const ssize_t n = ::read(m_out, buf, sizeof buf);
            if (n <= 0)
                break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        return text;
    }
    // Hands it one command line (started with commandPipe). False when
    // there is no pipe or it did not take the whole line.
    bool command(const std::string& line)
    {
        const std::string text = line + "\n";
        return m_in >= 0 && ::write(m_in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    // Ends it (SIGTERM; SIGKILL when it is still there after two seconds)
    // and returns its exit status; -1 when it was killed, did not run or
    // was stopped before.
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

    std::string device;     // its pseudo-terminal; empty when it did not start
    std::string firstLine;  // what it printed first ("tecsim: /dev/pts/3", a usage text, ...)

private:
    void launch(const Start& start)
    {
        int out[2];
        if (::pipe(out) != 0)
            return;
        int in[2] = {-1, -1};
        if (start.commandPipe && ::pipe(in) != 0) {
            ::close(out[0]);
            ::close(out[1]);
            return;
        }
        std::vector<std::string> args = start.args;
        if (!start.log.empty())
            args.insert(args.begin(), {"--log", start.log});
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            if (in[0] >= 0) {
                ::dup2(in[0], 0);
                ::close(in[0]);
                ::close(in[1]);
            }
            if (start.quietErrors) {
                const int quiet = ::open("/dev/null", O_WRONLY);
                if (quiet >= 0)
                    ::dup2(quiet, 2);
            }
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv{const_cast<char*>(start.program.c_str())};
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(start.program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        m_out = out[0];
        if (in[0] >= 0) {
            ::close(in[0]);
            m_in = in[1];
        }
        // Its first line, within the time given: a tecsim that hangs does not
        // hang the caller.
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(start.seconds);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char c;
            if (::read(m_out, &c, 1) != 1 || c == '\n')
                break;
            firstLine += c;
        }
        if (firstLine.rfind("tecsim: ", 0) == 0)
            device = firstLine.substr(8);
    }

    std::string m_log;
    pid_t m_pid = -1;
    int m_out = -1;
    int m_in = -1;
};

} // namespace testsupport
