// Several controllers on one line in the real window: the rounds that read
// them all, one silenced while the others plot and log, and a controller
// added while plotting.
#include "app/overview.h"
#include "core/poller.h"
#include "formats/log_format.h"
#include "protocol/modbus.h"
#include "protocol/registers.h"
#include "rt/table.h"
#include "support/rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> ReadLines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The comma-separated fields of a log line, blanks trimmed.
std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> out;
    std::string field;
    auto push = [&] {
        const auto a = field.find_first_not_of(' ');
        out.push_back(a == std::string::npos ? "" : field.substr(a, field.find_last_not_of(' ') - a + 1));
        field.clear();
    };
    for (char c : line) {
        if (c == ',')
            push();
        else
            field += c;
    }
    push();
    return out;
}

std::vector<std::uint8_t> Read(int address, std::uint16_t reg)
{
    const comlink::ModbusFrame f = comlink::ReadFrame(static_cast<std::uint16_t>(address), reg, 1);
    return {f.b, f.b + 8};
}

// Three simulated controllers (addresses 1, 2 and 3) on one line behind port
// 2; the window connected to address 1, the others added in the overview.
class Several : public ::testing::Test {
protected:
    void SetUp() override
    {
        line = sim::MakeControllers(rig.clock, {1, 2, 3});
        auto controllers = line;
        io::Clock* clock = &rig.clock;
        rig.rt.ports().bind(2, "COM2  three simulated controllers",
                            [controllers, clock] { return sim::MakeSimDevice(controllers, *clock); });
        rig.app.settingsFile = rig.path("tecontrol.conf");
        // Address 3 holds whole degrees: its 40 is 40.0 where the others' 250 is 25.0.
        line[2]->setReg(tecreg::kDecimalPnt, 30);
        line[2]->setReg(tecreg::kSetValue, 40);
        ASSERT_GE(rig.connect(2, 1), 0);
        rig.rt.Commit(rig.parm(), PARM_OPEN_OVERVIEW);
        add(2, "Stage B");
    }
    int ov() const { return rig.app.panels.overview; }
    int chart() const { return rig.app.panels.chart; }
    std::string cell(int row, int column) const { return rt::GetTableCell(rig.rt, ov(), OVERVIEW_TABLE, row, column); }
    void add(int address, const std::string& name)
    {
        rig.rt.SetCtrlVal(ov(), OVERVIEW_PORT, 2);
        rig.rt.SetCtrlVal(ov(), OVERVIEW_ADDRESS, address);
        rig.rt.SetCtrlVal(ov(), OVERVIEW_NAME, name);
        rig.rt.Commit(ov(), OVERVIEW_ADD);
    }
    // Opens the chart, logs to run.dat and plots, as the operator does.
    void plotAndLog()
    {
        rig.rt.Commit(rig.parm(), PARM_OPEN_CHART);
        rig.op.queueFile(2, logPath);
        rig.rt.Commit(rig.app.panels.logset, LOGSET_LOG_SW, 1);
        ASSERT_EQ(rig.app.log.logging, 1);
        rig.rt.Commit(chart(), CHART_PLOT, 1);
    }
    // One chart tick a second.
    void tick()
    {
        rig.clock.sleepUntil(next);
        next = rig.clock.now() + 1.0;
        rig.rt.Tick(chart(), CHART_TIMER);
    }
    const std::vector<std::vector<std::uint8_t>>& wire() const { return line[0]->requests(); }

    TestRig rig;
    std::vector<std::shared_ptr<sim::Controller>> line;
    std::string logPath = rig.path("run.dat");
    double next = 0;
};

TEST_F(Several, EachRoundReadsEveryControllerInListOrderInItsOwnScale)
{
    add(3, "");
    plotAndLog();
    // The others are identified, their decimal points read, once, before their first readings.
    tick();
    EXPECT_EQ(std::count(wire().begin(), wire().end(), Read(2, tecreg::kDecimalPnt)), 1);
    EXPECT_EQ(std::count(wire().begin(), wire().end(), Read(3, tecreg::kDecimalPnt)), 1);
    tick();
    line[0]->clearRequests();
    tick();
    const std::vector<std::vector<std::uint8_t>> expected = {
        Read(1, tecreg::kWorkingSv), Read(1, tecreg::kPv), Read(2, tecreg::kWorkingSv),
        Read(2, tecreg::kPv),        Read(3, tecreg::kWorkingSv), Read(3, tecreg::kPv),
    };
    EXPECT_EQ(wire(), expected);

    const std::vector<std::string> log = ReadLines(logPath);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], monitor::FormatSeveralLogHeader({{"", 1}, {"Stage B", 2}, {"", 3}}));
    EXPECT_EQ(Fields(log[1])[6], "40.0") << "its scale is known before its first reading: " << log[1];
    const std::vector<std::string> f = Fields(log[3]);
    ASSERT_EQ(f.size(), 8u) << log[2];
    EXPECT_EQ(f[2], "25.0");
    EXPECT_EQ(f[4], "25.0");
    EXPECT_EQ(f[6], "40.0") << "address 3 in its own scale";
    // The chart's readouts and the main panel show the selected controller.
    EXPECT_DOUBLE_EQ(rig.value(chart(), CHART_SV), 25.0);
    EXPECT_NEAR(rig.value(rig.parm(), PARM_PV), std::stod(f[3]), 0.05);
    // The selected entry carries the window's own record.
    const core::Controller& entry = *rig.app.controllers.at(0);
    EXPECT_EQ(entry.counters.answered, rig.app.controller.counters.answered);
    EXPECT_EQ(entry.last.pv, rig.app.controller.last.pv);
    EXPECT_TRUE(entry.identity.known);
    EXPECT_TRUE(entry.params.fromController());
}

TEST_F(Several, OneSilencedGoesOfflineWhileTheOthersPlotAndLog)
{
    add(3, "Stage C");
    plotAndLog();
    for (int i = 0; i < 3; ++i)
        tick();
    line[1]->faults().silent = true;
    const std::size_t linesBefore = ReadLines(logPath).size();
    const std::vector<std::string> lastHeard = Fields(ReadLines(logPath).back());
    constexpr int kTicks = 8;
    for (int i = 0; i < kTicks; ++i)
        tick();
    overview::Refresh(rig.app);
    EXPECT_EQ(cell(1, 7).rfind("offline", 0), 0u) << cell(1, 7);
    EXPECT_EQ(rt::GetTableRowMark(rig.rt, ov(), OVERVIEW_TABLE, 1), rt::RowMark::Offline);
    // Its row keeps what it last said, with that sample's age.
    ASSERT_EQ(lastHeard.size(), 8u);
    EXPECT_EQ(cell(1, 4), lastHeard[5]);
    EXPECT_EQ(cell(1, 5), lastHeard[4]);
    EXPECT_EQ(cell(1, 7).find(", 0 s ago"), std::string::npos) << cell(1, 7);
    EXPECT_EQ(cell(0, 7).rfind("online", 0), 0u) << cell(0, 7);
    EXPECT_EQ(cell(2, 7).rfind("online", 0), 0u) << cell(2, 7);
    // The selected controller answers: the chart says nothing is missing.
    EXPECT_FALSE(rig.visible(chart(), CHART_NO_ANSWER));

    // A line each tick; the silent one's fields empty, the others' there.
    const std::vector<std::string> log = ReadLines(logPath);
    ASSERT_EQ(log.size(), linesBefore + kTicks);
    for (std::size_t i = linesBefore; i < log.size(); ++i) {
        const std::vector<std::string> f = Fields(log[i]);
        ASSERT_EQ(f.size(), 8u) << log[i];
        EXPECT_FALSE(f[2].empty() || f[3].empty()) << log[i];
        EXPECT_TRUE(f[4].empty() && f[5].empty()) << log[i];
        EXPECT_FALSE(f[6].empty() || f[7].empty()) << log[i];
    }

    // The chart: a pair of traces each, the silent one's with a gap where the
    // others go on (its whole run, exported as the chart holds it).
    ASSERT_EQ(rig.rt.GetStripChartTraceCount(chart(), CHART_STRIPCHART), 6);
    const std::string exported = rig.path("chart.csv");
    rig.op.queueFile(1, exported);
    rig.op.queueButton(2);
    rig.rt.Commit(chart(), CHART_EXPORT);
    const std::vector<std::string> points = ReadLines(exported);
    ASSERT_GE(points.size(), static_cast<std::size_t>(kTicks + 3));
    EXPECT_EQ(points[0], monitor::FormatSeveralLogHeader({{"", 1}, {"Stage B", 2}, {"Stage C", 3}}));
    for (std::size_t i = points.size() - kTicks; i < points.size(); ++i) {
        const std::vector<std::string> f = Fields(points[i]);
        ASSERT_EQ(f.size(), 8u) << points[i];
        EXPECT_TRUE(f[4].empty() && f[5].empty()) << points[i];
        EXPECT_EQ(f[2], "25.0") << points[i];
        EXPECT_EQ(f[6], "40.0") << points[i];
    }
    EXPECT_FALSE(Fields(points[points.size() - kTicks - 1])[4].empty()) << "read before it fell silent";

    // Back: once its back-off has passed it is read again and logged.
    line[1]->faults().silent = false;
    next = rig.clock.now() + core::Poller::kMaxBackoff;
    tick();
    const std::vector<std::string> f = Fields(ReadLines(logPath).back());
    ASSERT_EQ(f.size(), 8u);
    EXPECT_EQ(f[4], "25.0");
    overview::Refresh(rig.app);
    EXPECT_EQ(cell(1, 7).rfind("online", 0), 0u) << cell(1, 7);
}

TEST_F(Several, AddingAControllerWhilePlottingBeginsANewLogSection)
{
    plotAndLog();
    tick();
    tick();
    EXPECT_EQ(rig.rt.GetStripChartTraceCount(chart(), CHART_STRIPCHART), 4);
    add(3, "Stage C");
    tick();
    EXPECT_EQ(rig.rt.GetStripChartTraceCount(chart(), CHART_STRIPCHART), 6);
    const std::vector<std::string> log = ReadLines(logPath);
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0], monitor::FormatSeveralLogHeader({{"", 1}, {"Stage B", 2}}));
    EXPECT_EQ(Fields(log[1]).size(), 6u);
    EXPECT_EQ(log[3], monitor::FormatSeveralLogHeader({{"", 1}, {"Stage B", 2}, {"Stage C", 3}}));
    const std::vector<std::string> f = Fields(log[4]);
    ASSERT_EQ(f.size(), 8u) << log[4];
    EXPECT_EQ(f[6], "40.0") << "its scale was read before its first reading";
}

TEST_F(Several, AControllerThatNeverAnswersStaysOutOfTheRoundsButNotOutOfTheLog)
{
    add(9, "absent");
    plotAndLog();
    for (int i = 0; i < 8; ++i)
        tick();
    overview::Refresh(rig.app);
    EXPECT_EQ(cell(2, 7).rfind("offline", 0), 0u) << cell(2, 7);
    // Its model is asked for once; the chart's rounds never read it (the
    // reconnection timer asks it again).
    int asked = 0;
    for (const auto& r : wire()) {
        if (r[0] != 9)
            continue;
        ++asked;
        EXPECT_TRUE(r == Read(9, tecreg::kIdentity)) << "only its identity is asked for";
    }
    EXPECT_EQ(asked, 1);
    const std::vector<std::string> f = Fields(ReadLines(logPath).back());
    ASSERT_EQ(f.size(), 8u);
    EXPECT_TRUE(f[6].empty() && f[7].empty());
    EXPECT_FALSE(f[2].empty());
}

TEST_F(Several, RemovingTheLastOtherControllerGoesBackToTodaysLog)
{
    plotAndLog();
    tick();
    rt::SetTableCurrentRow(rig.rt, ov(), OVERVIEW_TABLE, 1);
    rig.rt.Commit(ov(), OVERVIEW_REMOVE);
    ASSERT_EQ(rig.app.controllers.size(), 1);
    line[0]->clearRequests();
    tick();
    // One controller: its two reads alone, and today's log lines under today's header.
    EXPECT_EQ(wire(), (std::vector<std::vector<std::uint8_t>>{Read(1, tecreg::kWorkingSv), Read(1, tecreg::kPv)}));
    EXPECT_EQ(rig.rt.GetStripChartTraceCount(chart(), CHART_STRIPCHART), 2) << "the panel's own SV and PV";
    const std::vector<std::string> log = ReadLines(logPath);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[2], monitor::kLogHeader);
    EXPECT_EQ(Fields(log[3]).size(), 4u);
}

} // namespace
