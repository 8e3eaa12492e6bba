// Plotting and logging at one second go on in real time while the operator
// leaves popups and dialogs open: a child process runs the system with the
// desktop's own dialogs (offscreen) against tecsim on a pseudo-terminal and
// opens About, the connection history, a refused set value's "Parameter
// Error", a file dialog and the export's question in turn, each left open
// for several ticks; the popup log on its standard error names each as it
// opens. The chart ticks are read off tecsim's traffic log and the data log:
// no gap over 2 s in either.
//
// TEC_SCHEDULE_HOLD=60 keeps each open for a minute (a measurement run).
#include "app/connection.h"
#include "app/shell.h"
#include "rt/operators.h"
#include "support/rig.h"
#include "support/wait_for.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace {

constexpr const char* kPortEnv = "TEC_SCHEDULE_PORT";
constexpr const char* kHoldEnv = "TEC_SCHEDULE_HOLD";
constexpr const char* kLogFile = "run.dat";
constexpr const char* kLogDialog = "Select Filename to log data";

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double HoldSeconds()
{
    const char* v = std::getenv(kHoldEnv);
    const double s = v ? std::atof(v) : 0.0;
    return s > 0 ? s : 4.0;
}

// The operator at the desk: answers the log's file dialog at once (a name in
// the folder it opens in, the working directory), leaves
// every other popup or dialog open for `hold` seconds, then closes it as
// Escape would (the export's file dialog is given a name, so its question
// follows).
class Desk : public QObject {
public:
    Desk(double hold, QString logPath, QString exportPath)
        : m_hold(hold), m_log(std::move(logPath)), m_export(std::move(exportPath))
    {
        connect(&m_timer, &QTimer::timeout, this, [this] { look(); });
        m_timer.start(20);
    }

private:
    void look()
    {
        QWidget* w = QApplication::activeModalWidget();
        if (w != m_seen) {
            m_seen = w;
            m_since = Now();
        }
        if (!w)
            return;
        auto* files = qobject_cast<QFileDialog*>(w);
        const bool quick = files && (w->windowTitle() == kLogDialog || w->windowTitle().startsWith("Export"));
        if (Now() - m_since < (quick ? 0.3 : m_hold))
            return;
        if (files && quick) {
            // Typed into its name field, as the operator would.
            if (auto* name = files->findChild<QLineEdit*>("fileNameEdit"))
                name->setText(w->windowTitle() == kLogDialog ? m_log : m_export);
            static_cast<QDialog*>(files)->accept();  // the file dialog's own check runs
        } else if (auto* d = qobject_cast<QDialog*>(w)) {
            d->reject();
        } else {
            w->close();
        }
    }

    double m_hold;
    QString m_log, m_export;
    QTimer m_timer;
    QPointer<QWidget> m_seen;
    double m_since = 0;
};

} // namespace

// The child: runs only when started by the test below.
TEST(PopupSchedule, Child)
{
    const char* port = std::getenv(kPortEnv);
    if (!port)
        GTEST_SKIP() << "runs only as the child process of PopupSchedule.ChartAndLogKeepTheirSchedule";
    io::RealClock clock;
    std::unique_ptr<rt::Operator> desk = rt::makeDesktopOperator();
    rt::Runtime runtime(clock, *desk);
    App app(runtime);
    runtime.setPanelSearchPath({TEC_UI_DIR});
    runtime.ports().bindDevice(1, port);
    shell::BindCallbacks(app);
    ASSERT_TRUE(shell::LoadPanels(app));
    shell::StartUp(app, 1);
    ASSERT_EQ(app.bus.portOpen, 1);
    const double hold = HoldSeconds();
    Desk operatorAtDesk(hold, kLogFile, "chart.csv");

    const int parm = app.panels.parm;
    const int chart = app.panels.chart;
    runtime.Commit(parm, PARM_OPEN_CHART);
    runtime.Commit(app.panels.logset, LOGSET_LOG_SW, 1);
    ASSERT_EQ(app.log.logging, 1);
    runtime.Commit(chart, CHART_PLOT, 1);

    // Each as the operator's click would start it, a second after the last has closed.
    const std::vector<std::function<void()>> steps = {
        [&] { runtime.Commit(parm, PARM_INFO); },
        [&] { runtime.Commit(parm, PARM_LINK_HISTORY); },
        [&] {
            runtime.SetCtrlVal(parm, PARM_SV, 999.0);
            runtime.Commit(parm, PARM_SV_SEND);
        },
        [&] { runtime.Commit(parm, PARM_SAVE_FILE); },
        [&] { runtime.Commit(chart, CHART_EXPORT); },
        [&] { runtime.QuitUserInterface(0); },
    };
    std::size_t at = 0;
    std::function<void()> next = [&] {
        if (at < steps.size())
            steps[at++]();
        if (at < steps.size())
            QTimer::singleShot(1000, next);
    };
    QTimer::singleShot(2000, next);
    runtime.RunUserInterface();
    EXPECT_EQ(at, steps.size());
    Quit(app, parm, PARM_QUIT, rt::EVENT_COMMIT, nullptr, 0, 0);
}

namespace {

struct Opened {
    double at;  // steady clock, seconds
    std::string what;
};

std::vector<std::string> Lines(const QString& path)
{
    std::ifstream in(path.toStdString());
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

} // namespace

TEST(PopupSchedule, ChartAndLogKeepTheirSchedule)
{
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const double hold = HoldSeconds();

    // tecsim on a pseudo-terminal, every frame in its traffic log.
    QProcess sim;
    const QString inSim = QString(TEC_BIN_DIR) + "/sim/tecsim";
    sim.setProgram(QFile::exists(inSim) ? inSim : QString(TEC_BIN_DIR) + "/tecsim");
    sim.setArguments({"--log", work.filePath("traffic.log")});
    const double simStarted = Now();
    sim.start();
    ASSERT_TRUE(sim.waitForStarted(5000));
    QString simOut;
    std::string pty;
    WaitFor(
        [&] {
            sim.waitForReadyRead(10);
            simOut += QString::fromLocal8Bit(sim.readAllStandardOutput());
            const int from = simOut.indexOf("tecsim: /");
            const int end = simOut.indexOf('\n', from);
            if (from < 0 || end < 0)
                return false;
            pty = simOut.mid(from + 8, end - from - 8).trimmed().toStdString();
            return true;
        },
        10);
    ASSERT_FALSE(pty.empty()) << simOut.toStdString();

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kPortEnv, QString::fromStdString(pty));
    env.insert(kHoldEnv, QString::number(hold));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QT_LOGGING_RULES", "tecontrol.popup.debug=true");
    env.insert("XDG_CONFIG_HOME", work.filePath("config"));
    child.setProcessEnvironment(env);
    child.setWorkingDirectory(work.path());
    child.setProgram("/proc/self/exe");
    child.setArguments({"--gtest_filter=PopupSchedule.Child"});
    child.start();
    ASSERT_TRUE(child.waitForStarted(5000));

    // Each popup as its name arrives on the child's standard error.
    std::vector<Opened> opened;
    QByteArray err;
    const double deadline = Now() + 40 + 7 * hold;
    const std::regex popupLine(R"((message|question|file dialog): (.*)$)");
    while (child.state() != QProcess::NotRunning && Now() < deadline) {
        child.waitForReadyRead(20);
        err += child.readAllStandardError();
        for (int nl = err.indexOf('\n'); nl >= 0; nl = err.indexOf('\n')) {
            const std::string line = err.left(nl).toStdString();
            err.remove(0, nl + 1);
            std::smatch m;
            if (std::regex_search(line, m, popupLine))
                opened.push_back({Now(), m[0].str()});
        }
    }
    ASSERT_TRUE(child.state() == QProcess::NotRunning || child.waitForFinished(5000)) << "the child is still running";
    err += child.readAllStandardError();
    EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardOutput().toStdString() << err.toStdString();
    sim.terminate();
    sim.waitForFinished(5000);

    std::vector<std::string> names;
    for (const Opened& o : opened)
        names.push_back(o.what);
    for (const char* expected : {"message: TE Temperature Controller", "message: Connection History",
                                 "message: Parameter Error", "file dialog: Load Parameter File",
                                 "question: Export Chart"})
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;

    // The chart's set-value reads on the wire, in tecsim's seconds.
    std::vector<double> ticks;
    for (const std::string& line : Lines(work.filePath("traffic.log")))
        if (line.find(" rx 01 03 10 01 00 01") != std::string::npos)
            ticks.push_back(std::atof(line.c_str()));
    ASSERT_GE(ticks.size(), static_cast<std::size_t>(5 * hold));
    double largest = 0;
    for (std::size_t i = 1; i < ticks.size(); ++i)
        largest = std::max(largest, ticks[i] - ticks[i - 1]);
    EXPECT_LE(largest, 2.0) << "largest gap between chart ticks on the wire";
    // What each popup saw, for the record (tecsim's clock started with it).
    for (std::size_t k = 0; k < opened.size(); ++k) {
        const double from = opened[k].at - simStarted;
        const double to = k + 1 < opened.size() ? opened[k + 1].at - simStarted : ticks.back();
        double gap = 0;
        int n = 0;
        for (std::size_t i = 1; i < ticks.size(); ++i) {
            if (ticks[i] < from || ticks[i - 1] > to)
                continue;
            gap = std::max(gap, ticks[i] - ticks[i - 1]);
            ++n;
        }
        std::printf("[measure] %s: %.1f s until the next, %d chart ticks, largest gap on the wire %.2f s\n",
                    opened[k].what.c_str(), to - from, n, gap);
    }

    // The data log: a line for every tick, none more than 2 s after the last.
    std::vector<int> times;
    const std::regex form(R"(^\d{1,2}/\d{1,2}/\d{4}, (\d\d):(\d\d):(\d\d),)");
    for (const std::string& line : Lines(work.filePath(kLogFile))) {
        std::smatch m;
        if (std::regex_search(line, m, form))
            times.push_back(std::stoi(m[1]) * 3600 + std::stoi(m[2]) * 60 + std::stoi(m[3]));
    }
    ASSERT_GE(times.size(), static_cast<std::size_t>(5 * hold));
    EXPECT_GE(times.size() + 1, ticks.size()) << "a log line for every tick";
    int logGap = 0;
    for (std::size_t i = 1; i < times.size(); ++i)
        logGap = std::max(logGap, (times[i] - times[i - 1] + 86400) % 86400);
    EXPECT_LE(logGap, 2) << "largest gap between log lines";
    std::printf("[measure] %zu chart ticks, %zu log lines; largest gap: %.2f s on the wire, %d s in the log\n",
                ticks.size(), times.size(), largest, logGap);
}
