// tecsim and tecctl started by a test: each with its own output files and
// the test's own runtime and configuration folders, ended (only they) by it.
#pragma once

#include "support/tecsim_child.h"
#include "support/wait_for.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testprog {

inline std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string TempDir()
{
    char name[] = "/tmp/tec-serve-test-XXXXXX";
    const char* d = ::mkdtemp(name);
    return d ? d : "/tmp";
}

// A child with stdout and stderr in files, in `dir`, with the environment
// given added to ours.
class Program {
public:
    Program(const std::string& exe, const std::vector<std::string>& args, const std::string& dir,
            const std::string& tag, const std::vector<std::pair<std::string, std::string>>& env = {})
        : m_out(dir + "/" + tag + ".out"), m_err(dir + "/" + tag + ".err")
    {
        m_pid = ::fork();
        if (m_pid == 0) {
            for (const auto& [k, v] : env)
                ::setenv(k.c_str(), v.c_str(), 1);
            if (::chdir(dir.c_str()) != 0)
                ::_exit(126);
            const int o = ::open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(o, 1);
            ::dup2(e, 2);
            std::vector<char*> argv{const_cast<char*>(exe.c_str())};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            ::_exit(127);
        }
    }
    ~Program()
    {
        if (running())
            signal(SIGKILL);
        wait(10);
    }
    bool running()
    {
        if (m_pid <= 0 || m_done)
            return false;
        int st = 0;
        if (::waitpid(m_pid, &st, WNOHANG) == m_pid) {
            m_done = true;
            m_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return false;
        }
        return true;
    }
    void signal(int sig)
    {
        if (running())
            ::kill(m_pid, sig);
    }
    // The exit status (128 + signal when killed); -1 when still running
    // after `seconds`.
    int wait(double seconds)
    {
        WaitFor([this] { return !running(); }, seconds);
        return m_done ? m_status : -1;
    }
    std::string out() const { return ReadAll(m_out); }
    std::string err() const { return ReadAll(m_err); }
    pid_t pid() const { return m_pid; }

private:
    std::string m_out, m_err;
    pid_t m_pid = -1;
    bool m_done = false;
    int m_status = -1;
};

// tecsim on a pseudo-terminal with its traffic in dir/<tag>.log.
struct Sim : testsupport::TecsimChild {
    explicit Sim(const std::string& dir, const std::string& tag = "sim") : TecsimChild(dir, {}, tag + ".log") {}
};

} // namespace testprog
