// The data log survives the program being killed: a child process logs
// through the real callbacks against the simulated controller, one tick a
// (virtual) second, and is ended with SIGKILL while the log file is open.
// The child reports each finished tick through a side file written straight
// to the operating system; every one of those ticks must have its line on
// disk, whole, well formed and in sequence. Only the line of a tick still
// under way at the kill may be incomplete.
#include "support/rig.h"

#include "monitor/monitor.h"
#include "rt/files.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kLogEnv = "TEC_KILL_TEST_LOG";
constexpr const char* kTicksEnv = "TEC_KILL_TEST_TICKS";
constexpr int kLinesBeforeKill = 60;

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The number of finished ticks the child last reported, or -1.
long ReportedTicks(const std::string& path)
{
    const std::string text = ReadAll(path);
    return text.size() == 10 ? std::strtol(text.c_str(), nullptr, 10) : -1;
}

} // namespace

// The child: runs only when started by the test below.
TEST(LogUntilKilled, Child)
{
    const char* path = std::getenv(kLogEnv);
    const char* ticksPath = std::getenv(kTicksEnv);
    if (!path || !ticksPath)
        GTEST_SKIP() << "runs only as the child process of LogSurvivesKill";
    const int ticksFd = open(ticksPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(ticksFd, 0);
    TestRig rig;
    // The controller holds 40.0 degrees under PID control (set value register
    // 0x0000, control function register 0x0002), so PV climbs from ambient.
    rig.sim->setReg(0x0000, 400);
    rig.sim->setReg(0x0002, 4);
    ASSERT_GE(rig.connect(), 0);
    App& app = rig.app;
    rig.rt.Commit(app.panels.parm, PARM_OPEN_CHART);
    rig.op.queueFile(2, path);
    rig.rt.Commit(app.panels.logset, LOGSET_LOG_SW, 1);
    ASSERT_EQ(app.log.logging, 1);
    rig.rt.Commit(app.panels.chart, CHART_PLOT, 1);
    // Ticks read the clock half-way through a second, well clear of the
    // boundary, so consecutive lines are exactly one second apart.
    double next = std::floor(rig.clock.now()) + 1.32;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (long ticks = 1; std::chrono::steady_clock::now() < deadline; ++ticks) {
        rig.clock.sleepUntil(next);
        rig.rt.Tick(app.panels.chart, CHART_TIMER);
        ASSERT_EQ(app.log.logging, 1);
        char count[24];
        std::snprintf(count, sizeof count, "%010ld", ticks);
        ASSERT_EQ(pwrite(ticksFd, count, 10, 0), 10);
        next += 1.0;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    FAIL() << "not killed within a minute";
}

TEST(LogSurvivesKill, EveryCompleteLineIsIntact)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.filePath("killed run.dat").toStdString();
    const std::string ticksPath = dir.filePath("ticks").toStdString();

    // Everything the child needs is prepared before the fork.
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "TEC_KILL_TEST_", 14) != 0)
            envText.emplace_back(*e);
    envText.push_back(std::string(kLogEnv) + "=" + path);
    envText.push_back(std::string(kTicksEnv) + "=" + ticksPath);
    std::vector<char*> envp;
    for (auto& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::string filter = "--gtest_filter=LogUntilKilled.Child";
    char* argv[] = {self.data(), filter.data(), nullptr};

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        execve("/proc/self/exe", argv, envp.data());
        _exit(127);
    }

    bool exitedEarly = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ReportedTicks(ticksPath) >= kLinesBeforeKill)
            break;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exitedEarly = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_FALSE(exitedEarly) << "the logging process ended by itself";
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    const long ticks = ReportedTicks(ticksPath);
    const std::string end = rt::TextLineEnd();
    const std::string text = ReadAll(path);
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at = text.find(end); at != std::string::npos; at = text.find(end, from)) {
        lines.push_back(text.substr(from, at - from));
        from = at + end.size();
    }
    const std::string partial = text.substr(from);
    ASSERT_GE(ticks, kLinesBeforeKill);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], monitor::kLogHeader);
    // Every finished tick has its line; at most the tick under way at the
    // kill may have added one more.
    const long written = static_cast<long>(lines.size()) - 1;
    EXPECT_GE(written, ticks);
    EXPECT_LE(written, ticks + 1);
    EXPECT_LT(partial.size(), 41u) << "more than one line unterminated";

    const std::regex form(R"(^(\d{1,2})/(\d{1,2})/(\d{4}), (\d\d):(\d\d):(\d\d), +(-?\d+\.\d), +(-?\d+\.\d)$)");
    double previous = 0;
    float firstPv = 0, lastPv = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, form)) << "line " << i << ": \"" << lines[i] << "\"";
        const int month = std::stoi(m[1]), day = std::stoi(m[2]), year = std::stoi(m[3]);
        const std::string time = m[4].str() + ":" + m[5].str() + ":" + m[6].str();
        const float sv = std::stof(m[7]), pv = std::stof(m[8]);
        EXPECT_FLOAT_EQ(sv, 40.0f) << "line " << i;
        if (i == 1)
            firstPv = pv;
        lastPv = pv;
        // Written exactly as the formatter writes it: nothing missing, nothing extra.
        EXPECT_EQ(lines[i], monitor::FormatLogLine(month, day, year, time, sv, pv)) << "line " << i;
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = std::stoi(m[4]);
        t.tm_min = std::stoi(m[5]);
        t.tm_sec = std::stoi(m[6]);
        t.tm_isdst = -1;
        const double at = static_cast<double>(std::mktime(&t));
        // One line per tick: none lost, none repeated.
        if (i > 1) {
            EXPECT_EQ(at - previous, 1.0) << "between lines " << i - 1 << " and " << i;
        }
        previous = at;
    }
    // The simulated controller heats towards its set value: PV moves up.
    EXPECT_GT(lastPv, firstPv + 0.5f);
}
