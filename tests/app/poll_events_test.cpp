// The window on the real clock while its chart reads the controller: the
// tick only asks for a round and returns; the operator's events are handled
// while the round waits for its answers; a setting sent meanwhile goes out
// after the exchange in flight, and the round's point is the controller's.
#include "app/app.h"
#include "app/shell.h"
#include "rt/runtime.h"
#include "support/line_double.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <functional>

#include <gtest/gtest.h>

namespace {

// Runs the event loop until `done` holds or `seconds` passed.
bool LoopUntil(const std::function<bool()>& done, double seconds)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < seconds * 1000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

TEST(PollEvents, ChartRoundLetsTheWindowWorkWhileItWaits)
{
    io::RealClock clock;
    rt::ScriptedOperator op;
    rt::Runtime runtime(clock, op);
    App app(runtime);
    runtime.setPanelSearchPath({TEC_UI_DIR});
    shell::BindCallbacks(app);
    ASSERT_TRUE(shell::LoadPanels(app));
    LineDouble line(clock);
    line.serve = true;
    line.regs[0x1001] = 425;
    line.regs[0x1000] = 250;
    runtime.ports().bind(4, "line double", line.factory());
    ASSERT_EQ(runtime.OpenComConfig(4, "", 19200, 0, 8, 1, 255, 255), 0);
    runtime.SetComTime(4, 1.0);
    app.bus.comPort = 4;
    app.controller.address = 1;
    app.bus.portOpen = 1;
    app.params.tempScale = 10.0f;
    runtime.Commit(app.panels.parm, PARM_OPEN_CHART);
    const int chart = app.panels.chart;
    const int points = runtime.StripChartPointCount(chart, CHART_STRIPCHART);

    QElapsedTimer t;
    t.start();
    runtime.Tick(chart, CHART_TIMER);
    EXPECT_LT(t.elapsed(), 30) << "the tick waited for the round";
    EXPECT_FALSE(app.poller.idle());
    EXPECT_EQ(runtime.StripChartPointCount(chart, CHART_STRIPCHART), points);

    // An event posted now runs while the round waits between its requests.
    bool handledDuringRound = false;
    QTimer::singleShot(0, [&] { handledDuringRound = !app.poller.idle(); });
    // The alarm watch's read of the status word, ticking in the middle of
    // the round's SV exchange: it goes out after that exchange, never inside.
    bool cameInside = false;
    line.onWrite = [&](int index) {
        if (index == 0)
            QTimer::singleShot(0, [&] {
                cameInside = app.poller.busy();
                runtime.Tick(app.panels.parm, PARM_ALARM_TIMER);
            });
    };
    ASSERT_TRUE(LoopUntil([&] { return app.poller.idle(); }, 5.0));
    EXPECT_TRUE(handledDuringRound);
    EXPECT_EQ(runtime.StripChartPointCount(chart, CHART_STRIPCHART), points + 1);
    EXPECT_FLOAT_EQ(app.live.sv, 42.5f);
    EXPECT_FLOAT_EQ(app.live.pv, 25.0f);
    ASSERT_GE(line.writes.size(), 3u);
    // SV read, the status read, then the PV read after its preamble.
    ASSERT_EQ(line.writes.size(), 3u);
    EXPECT_EQ(line.writes[0][3], 0x01);
    EXPECT_EQ(line.writes[1][3], 0x03);
    EXPECT_EQ(line.writes[2][3], 0x00);
    EXPECT_GE(line.writeTimes[1] - line.writeTimes[0], 0.03 - 1e-3) << "inside the SV exchange";
    EXPECT_TRUE(cameInside) << "the tick came while the exchange was in flight";
    EXPECT_EQ(app.misses.poll, 0);
    EXPECT_EQ(app.misses.alarm, 0);
    runtime.CloseCom(4);
}

} // namespace
