// The chart and the data log keep their schedule while popups and dialogs
// are open, on the virtual clock: timer ticks arrive as the toolkit delivers
// them (the timer's signal) while the scripted operator leaves each popup up,
// and run there; only an operation between its requests makes them wait, and
// then the timer ticks once.
#include "app/help_texts.h"
#include "rt/files.h"
#include "support/line_double.h"
#include "support/rig.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

// Requests on the wire that read the set value: one per chart tick.
int SvPolls(const TestRig& rig)
{
    int n = 0;
    for (const auto& r : rig.wire())
        n += r.size() == 8 && r[1] == 0x03 && r[2] == 0x10 && r[3] == 0x01 ? 1 : 0;
    return n;
}

// The time of day of each line of a data log, in seconds.
std::vector<int> LogTimes(const std::string& path)
{
    std::ifstream in(path);
    std::vector<int> out;
    const std::regex form(R"(^\d{1,2}/\d{1,2}/\d{4}, (\d\d):(\d\d):(\d\d),)");
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, form))
            out.push_back(std::stoi(m[1]) * 3600 + std::stoi(m[2]) * 60 + std::stoi(m[3]));
    }
    return out;
}

int LargestGap(const std::vector<int>& t, std::size_t from)
{
    int gap = 0;
    for (std::size_t i = std::max<std::size_t>(from, 1); i < t.size(); ++i)
        gap = std::max(gap, t[i] - t[i - 1]);
    return gap;
}

void RunEventLoopBriefly()
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 30)
        QCoreApplication::processEvents();
}

class RunSchedule : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_GE(rig.connect(), 0);
        const int chart = rig.app.panels.chart;
        rig.rt.Commit(rig.parm(), PARM_OPEN_CHART);
        rig.op.queueFile(2, logPath);
        rig.rt.Commit(rig.app.panels.logset, LOGSET_LOG_SW, 1);
        ASSERT_EQ(rig.app.log.logging, 1);
        rig.rt.Commit(chart, CHART_PLOT, 1);
        // The real timer stays out of it: every tick here is one this test gives.
        rig.rt.SetCtrlAttribute(chart, CHART_TIMER, rt::ATTR_INTERVAL, 3600.0);
        next = rig.clock.now() + 1.0;
        rig.clearWire();
        rig.op.clear();
    }
    // One second on, then the chart timer's tick as the toolkit delivers it.
    void tickOnTime()
    {
        rig.clock.sleepUntil(next);
        next += 1.0;
        QMetaObject::invokeMethod(rig.rt.controlWidget(rig.app.panels.chart, CHART_TIMER), "tick", Qt::DirectConnection);
    }

    TestRig rig;
    std::string logPath = rig.path("run.dat");
    double next = 0;
};

// Each kind of popup or dialog left open for a minute with the chart ticking
// every second: every tick reaches the wire and the log while it is up.
TEST_F(RunSchedule, ChartAndLogGoOnWhilePopupsAndDialogsAreOpen)
{
    struct Kind {
        const char* name;
        std::function<void()> open;
    };
    const int parm = rig.parm();
    const Kind kinds[] = {
        {shell::text::kInfoTitle, [&] { rig.rt.Commit(parm, PARM_INFO); }},
        {"Connection History", [&] { rig.rt.Commit(parm, PARM_LINK_HISTORY); }},
        // The refusal of a single set-value write comes after its only request.
        {"Parameter Error", [&] {
             rig.rt.SetCtrlVal(parm, PARM_SV, 999.0);
             rig.rt.Commit(parm, PARM_SV_SEND);
         }},
        {"Load Parameter File", [&] { rig.rt.Commit(parm, PARM_SAVE_FILE); }},
        {"Export Chart", [&] {
             rig.op.queueFile(2, rig.path("chart.csv"));
             rig.rt.Commit(rig.app.panels.chart, CHART_EXPORT);
         }},
    };
    constexpr int kSeconds = 60;
    for (const Kind& k : kinds) {
        const std::size_t linesBefore = LogTimes(logPath).size();
        const int pollsBefore = SvPolls(rig);
        int ticksWhileOpen = 0;
        rig.op.setWhileShown([&](const rt::ScriptedOperator::Shown& s) {
            if (s.title != k.name || ticksWhileOpen > 0)
                return;
            for (int i = 0; i < kSeconds; ++i, ++ticksWhileOpen)
                tickOnTime();
        });
        k.open();
        rig.op.setWhileShown({});
        ASSERT_EQ(ticksWhileOpen, kSeconds) << k.name << " was not shown";
        EXPECT_EQ(SvPolls(rig) - pollsBefore, kSeconds) << k.name;
        const std::vector<int> times = LogTimes(logPath);
        EXPECT_EQ(times.size() - linesBefore, static_cast<std::size_t>(kSeconds)) << k.name;
        const int gap = LargestGap(times, linesBefore);
        EXPECT_LE(gap, 1) << k.name;
        std::printf("[measure] %s open %d s (virtual clock): largest gap between log lines %d s\n", k.name, kSeconds,
                    gap);
        tickOnTime();  // the run goes on after it as before
    }
    // The export's question was one of them: its file dialog led to it.
    EXPECT_GE(rig.op.count("Export Chart"), 1);
}

// A popup that an operation raises between its requests (Exit's question,
// between its status read and its stop request) holds the ticks that fall
// due; the timer ticks once after the operation, not once per tick missed.
TEST(RunScheduleUnderExit, TickDuringTheQuestionWaitsForItsEndAndRunsOnce)
{
    TestRig rig;
    LineDouble line(rig.clock);
    line.serve = true;
    line.regs[0x1003] = 0x0500;  // a step program runs: Exit asks first
    rig.rt.ports().bind(2, "scripted", line.factory());
    ASSERT_EQ(rig.rt.OpenComConfig(2, "", 19200, 0, 8, 1, 255, 255), 0);
    rig.rt.SetComTime(2, 1.0);
    rig.app.bus.comPort = 2;
    rig.app.bus.portOpen = 1;
    rig.app.controller.address = 1;
    const int chart = rig.app.panels.chart;
    rig.rt.SetCtrlAttribute(chart, CHART_TIMER, rt::ATTR_INTERVAL, 3600.0);
    rig.rt.SetCtrlAttribute(chart, CHART_TIMER, rt::ATTR_ENABLED, 1);
    auto svReads = [&line] {
        return static_cast<int>(std::count_if(line.writes.begin(), line.writes.end(), [](const auto& w) {
            return w.size() == 8 && w[1] == 0x03 && w[2] == 0x10 && w[3] == 0x01;
        }));
    };
    auto tick = [&] {
        rig.clock.sleep(1.0);
        QMetaObject::invokeMethod(rig.rt.controlWidget(chart, CHART_TIMER), "tick", Qt::DirectConnection);
    };
    int readsWhileOpen = -1;
    rig.op.setWhileShown([&](const rt::ScriptedOperator::Shown& s) {
        if (s.title != shell::text::kEndingTitle)
            return;
        const int before = svReads();
        for (int i = 0; i < 5; ++i)
            tick();
        readsWhileOpen = svReads() - before;
    });
    rig.op.queueButton(2);  // Cancel: the program goes on
    rig.rt.FireEvent(rig.parm(), PARM_EXIT, rt::EVENT_COMMIT);
    ASSERT_EQ(rig.op.count(shell::text::kEndingTitle), 1);
    EXPECT_EQ(readsWhileOpen, 0) << "no tick between the status read and the stop request";
    EXPECT_EQ(svReads(), 0);
    RunEventLoopBriefly();
    EXPECT_EQ(svReads(), 1) << "once after the operation";
    RunEventLoopBriefly();
    EXPECT_EQ(svReads(), 1) << "and only once";

    // A popup once the operation is over holds nothing.
    rig.op.setWhileShown([&](const rt::ScriptedOperator::Shown& s) {
        if (s.title == shell::text::kInfoTitle)
            tick();
    });
    rig.rt.Commit(rig.parm(), PARM_INFO);
    EXPECT_EQ(svReads(), 2);
    rig.rt.CloseCom(2);
}

} // namespace
