// tecsim on a pseudo-terminal with a traffic log, started by a test and
// ended (only it) when the object goes. The including test defines
// TECSIM_PATH.
#pragma once

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

class TecsimChild {
public:
    // tecsim with `args`, logging its traffic to dir/logName; device is its
    // pseudo-terminal (empty when it did not start).
    explicit TecsimChild(const std::string& dir, std::vector<std::string> args = {},
                         const std::string& logName = "traffic.log")
        : m_log(dir + "/" + logName)
    {
        args.insert(args.begin(), {"--log", m_log});
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
        std::string line;
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(out[0]);
        if (line.rfind("tecsim: ", 0) == 0)
            device = line.substr(8);
    }
    ~TecsimChild()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
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
    std::string device;

private:
    std::string m_log;
    pid_t m_pid = -1;
};

} // namespace testsupport
