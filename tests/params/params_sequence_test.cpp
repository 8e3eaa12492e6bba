// The parameter operations as the port sees them: flushes, waits, the order
// of writes and reads, and controller answers the simulator does not give by
// itself (a status word with chosen bytes, silence from a chosen request on).
#include "support/line_double.h"
#include "support/rig.h"

#include "params/params.h"
#include "protocol/modbus.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Event {
    double t;
    std::string what;  // "FO", "FI", "W 002A 1" / "W 001C 0008", "R 8"
    int ledsLit;       // PID indicators lit when a request went out
};

// What the recording device shares with the test.
struct Recorder {
    TestRig* rig = nullptr;
    std::vector<Event> events;
    int requests = 0;
    int silentFrom = 0;                         // 0: never; else the controller falls silent at this request
    bool fakeStatus = false;                    // answer reads of 0x1003 with `status`
    std::pair<std::uint8_t, std::uint8_t> status{0, 0};

    void log(const std::string& what)
    {
        int lit = 0;
        for (int n = 1; n <= 4; ++n)
            lit += rig->intValue(rig->parm(), PARM_PID_LED(n)) != 0 ? 1 : 0;
        events.push_back({rig->clock.now(), what, lit});
    }
};

std::string Summary(const std::uint8_t* rq)
{
    char buf[32];
    const unsigned reg = static_cast<unsigned>(rq[2] << 8 | rq[3]);
    const unsigned word = static_cast<unsigned>(rq[4] << 8 | rq[5]);
    if (rq[1] == 0x03)
        std::snprintf(buf, sizeof buf, "W %04X %u", reg, word);  // a read request going out
    else
        std::snprintf(buf, sizeof buf, "W %04X %04X", reg, word);
    return buf;
}

// The simulated controller behind the line double's tap: every call logged;
// silence from a chosen request on; status words with chosen bytes.
struct Recorded : ::testing::Test {
    TestRig rig;
    std::shared_ptr<Recorder> rec = std::make_shared<Recorder>();
    LineDouble tap{rig.clock};

    void SetUp() override
    {
        rec->rig = &rig;
        auto controller = rig.sim;
        io::Clock* clock = &rig.clock;
        tap.inner = [controller, clock] { return sim::MakeSimDevice(controller, *clock); };
        Recorder* r = rec.get();
        tap.onEvent = [r](const LineDouble::Event& e) {
            switch (e.kind) {
            case LineDouble::Event::Write:
                r->log(Summary(e.bytes.data()));
                ++r->requests;
                if (r->silentFrom > 0 && r->requests >= r->silentFrom)
                    r->rig->sim->faults().silent = true;
                break;
            case LineDouble::Event::Read:
                r->log("R " + std::to_string(e.got));
                break;
            case LineDouble::Event::FlushIn:
                r->log("FI");
                break;
            case LineDouble::Event::FlushOut:
                r->log("FO");
                break;
            }
        };
        tap.substitute = [r](const std::uint8_t* rq, int, std::vector<std::uint8_t>* answer) {
            if (!r->fakeStatus || rq[1] != 0x03 || rq[2] != 0x10 || rq[3] != 0x03)
                return false;
            *answer = LineDouble::Sealed({rq[0], 0x03, 0x00, 0x02, r->status.first, r->status.second});
            return true;
        };
        rig.rt.ports().bind(1, "COM1  recorded", tap.factory());
        ASSERT_GE(rig.connect(), 0);
        ASSERT_EQ(rig.app.bus.portOpen, 1);
        rig.sim->setReg(0x002A, 31);
        rig.sim->setReg(0x001C, 7);
        rig.sim->setReg(0x1000, 250);
        ASSERT_TRUE(params::ReadAllParameters(rig.app));
        restart();
    }
    // Forget what went before: events, request count, popups, faults.
    void restart()
    {
        rec->events.clear();
        rec->requests = 0;
        rec->silentFrom = 0;
        rig.sim->faults() = sim::Faults{};
        rig.op.clear();
    }
    int parm() { return rig.parm(); }
    // Index of the first event at or after `from` whose text starts with `prefix`; -1 if none.
    int find(const std::string& prefix, int from = 0) const
    {
        for (int i = from; i < static_cast<int>(rec->events.size()); ++i)
            if (rec->events[static_cast<std::size_t>(i)].what.rfind(prefix, 0) == 0)
                return i;
        return -1;
    }
    const Event& at(int i) const { return rec->events[static_cast<std::size_t>(i)]; }
    std::vector<std::string> requestsSent() const
    {
        std::vector<std::string> out;
        for (const Event& e : rec->events)
            if (e.what[0] == 'W')
                out.push_back(e.what);
        return out;
    }
    std::vector<std::string> messageTitles() const
    {
        std::vector<std::string> out;
        for (const auto& s : rig.op.shown())
            if (s.kind != "file")
                out.push_back(s.title);
        return out;
    }
};

// ---- preambles and waits ----

TEST_F(Recorded, StatusReadWaitsOneHundredthWithoutFlushingTheOutput)
{
    rig.rt.Commit(parm(), PARM_ALARM_SW, 1);
    const int lastSwitchWrite = find("W 0027");
    const int status = find("W 1003", lastSwitchWrite);
    ASSERT_GT(lastSwitchWrite, 0);
    ASSERT_GT(status, lastSwitchWrite);
    const int answerOfLastWrite = lastSwitchWrite + 1;
    ASSERT_EQ(at(answerOfLastWrite).what.substr(0, 1), "R");
    for (int i = answerOfLastWrite; i < status; ++i)
        EXPECT_NE(at(i).what, "FO") << "a flush before the status read";
    EXPECT_NEAR(at(status).t - at(answerOfLastWrite).t, 0.01, 1e-9);
    EXPECT_EQ(rig.app.bus.linkBusy, 0);
}

TEST_F(Recorded, FlushedSequencesStartWithBothFlushesAndAWait)
{
    struct Op {
        const char* name;
        int panel;
        int control;
        bool timer;
        const char* firstWrite;
    };
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 1);  // starts the tune watch
    const Op ops[] = {
        {"keypad", rig.app.panels.debug, DEBUG_KEYPAD, false, "W 005F"},
        {"sensor", parm(), PARM_SENSOR_UPDATE, false, "W 002D"},
        {"pid", parm(), PARM_PID_UPDATE, false, "W 0008"},
        {"read all", parm(), PARM_READ_ALL, false, "W 002A"},
        {"tune watch", parm(), PARM_TUNE_TIMER, true, "W 0002"},
    };
    for (const Op& op : ops) {
        restart();
        if (op.timer)
            rig.rt.Tick(op.panel, op.control);
        else
            rig.rt.Commit(op.panel, op.control);
        ASSERT_GE(rec->events.size(), 3u) << op.name;
        EXPECT_EQ(at(0).what, "FO") << op.name;
        EXPECT_EQ(at(1).what, "FI") << op.name;
        const int w = find("W ");
        ASSERT_GT(w, 1) << op.name;
        EXPECT_EQ(at(w).what.substr(0, 6), op.firstWrite) << op.name;
        EXPECT_NEAR(at(w).t - at(0).t, 0.05, 1e-9) << op.name;
    }
}

TEST_F(Recorded, SingleSettingsAndTheSwitchSendWithoutPreamble)
{
    rig.rt.Commit(parm(), PARM_CF_UNIT, 1);
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 4);
    rig.rt.SetCtrlVal(parm(), PARM_SV, 25.0);
    rig.rt.Commit(parm(), PARM_SV_SEND);
    ASSERT_EQ(requestsSent().size(), 3u);
    for (const Event& e : rec->events)
        EXPECT_NE(e.what, "FO");
}

TEST_F(Recorded, PidUpdateLightsEachSetBeforeItsWritesAndEndsFlushed)
{
    rig.rt.Commit(parm(), PARM_PID_UPDATE);
    const double end = rig.clock.now();
    std::vector<int> litAtWrite;
    for (const Event& e : rec->events)
        if (e.what[0] == 'W')
            litAtWrite.push_back(e.ledsLit);
    ASSERT_EQ(litAtWrite.size(), 23u);
    // Set 1: 6 writes with one indicator lit, set 2: 6 with two, set 3: 6 with three, set 4: 5 with four.
    const std::vector<int> expected = {1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 4};
    EXPECT_EQ(litAtWrite, expected);
    // After the last answer: both flushes, then a wait of 0.05 s, all indicators off.
    const std::size_t n = rec->events.size();
    ASSERT_GE(n, 3u);
    EXPECT_EQ(rec->events[n - 2].what, "FO");
    EXPECT_EQ(rec->events[n - 1].what, "FI");
    EXPECT_EQ(rec->events[n - 1].ledsLit, 0);
    EXPECT_NEAR(end - rec->events[n - 1].t, 0.05, 1e-9);
}

TEST_F(Recorded, ReadAllTakesEachAnswerAtItsOwnLength)
{
    rig.rt.Commit(parm(), PARM_READ_ALL);
    std::vector<std::string> reads;  // "0015 5 -> 16"
    for (std::size_t i = 0; i + 1 < rec->events.size(); ++i) {
        const std::string& w = rec->events[i].what;
        if (w[0] == 'W' && w.size() < 11 && rec->events[i + 1].what[0] == 'R')
            reads.push_back(w.substr(2) + " -> " + rec->events[i + 1].what.substr(2));
    }
    const std::vector<std::string> expected = {
        "002A 1 -> 8", "0000 1 -> 8", "001A 1 -> 8", "0021 1 -> 8", "0001 1 -> 8", "0002 1 -> 8", "0003 6 -> 18",
        "0009 6 -> 18", "000F 6 -> 18", "0015 5 -> 16", "0028 1 -> 8", "0030 1 -> 8", "0031 1 -> 8", "002B 1 -> 8",
        "0029 1 -> 8", "002C 1 -> 8", "002D 1 -> 8", "0032 1 -> 8", "001C 1 -> 8", "005F 1 -> 8"};
    EXPECT_EQ(reads, expected);
    EXPECT_LT(rig.clock.now() - rec->events.front().t, 2.0);  // no read waited out its time-out
}

// ---- the status word ----

TEST_F(Recorded, AlarmBitsLightTheIndicatorOnlyWhenSet)
{
    rec->fakeStatus = true;
    struct Case {
        std::uint8_t lo;
        int ledBefore;
        int status;
        int ledAfter;
    };
    // 0x52 AND 0x0F = 2 lights it; 0x50 leaves it as it was, lit or not.
    const Case cases[] = {{0x52, 0, 2, 1}, {0x50, 1, 0, 1}, {0x50, 0, 0, 0}, {0x0F, 0, 15, 1}};
    for (const Case& c : cases) {
        rig.rt.SetCtrlVal(parm(), PARM_ALARM_LED, c.ledBefore);
        rec->status = {0x00, c.lo};
        ASSERT_TRUE(params::ReadAlarmStatus(rig.app));
        EXPECT_EQ(rig.app.alarmStatus, c.status) << int(c.lo);
        EXPECT_EQ(rig.intValue(parm(), PARM_ALARM_LED), c.ledAfter) << int(c.lo);
    }
}

TEST_F(Recorded, AlarmWatchDoesNotTakeARunningSegmentForAnAlarm)
{
    rig.rt.Commit(parm(), PARM_ALARM_SW, 1);
    rig.rt.Commit(parm(), PARM_CTRL_FUNC, 4);
    rec->fakeStatus = true;
    rig.rt.SetCtrlVal(parm(), PARM_ALARM_LED, 0);
    // Segment 1 of a run: 15 = 0x0F in the low byte, run mode 5 in the high byte.
    for (std::uint8_t seg : {15, 30, 45, 240}) {
        rec->status = {0x05, seg};
        rig.rt.Tick(parm(), PARM_ALARM_TIMER);
        EXPECT_EQ(rig.app.alarmStatus, 0) << int(seg);
    }
    EXPECT_EQ(rig.intValue(parm(), PARM_ALARM_LED), 0);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 4);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_LED), 1);
    int enabled = 0;
    rig.rt.GetCtrlAttribute(parm(), PARM_ALARM_TIMER, rt::ATTR_ENABLED, &enabled);
    EXPECT_EQ(enabled, 1);
    // The run has ended and the alarm shows: the panel follows.
    rec->status = {0x00, 0x02};
    rig.rt.Tick(parm(), PARM_ALARM_TIMER);
    EXPECT_EQ(rig.intValue(parm(), PARM_ALARM_LED), 1);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 0);
    rig.rt.GetCtrlAttribute(parm(), PARM_ALARM_TIMER, rt::ATTR_ENABLED, &enabled);
    EXPECT_EQ(enabled, 0);
}

// ---- stopping where the controller fell silent ----

TEST_F(Recorded, StoppedReadAllShowsTheSwitchHeldBeforeThePass)
{
    rig.app.params.alarmWatch = 1;
    rig.rt.SetCtrlVal(parm(), PARM_ALARM_SW, 0);
    const float p1 = rig.app.params.pidP[0];
    rig.sim->setReg(0x0000, 300);
    rig.sim->setReg(0x0003, 123);
    rig.sim->setReg(0x0002, 4);
    rec->silentFrom = 7;  // the read of PID set 1
    EXPECT_FALSE(params::ReadAllParameters(rig.app));
    EXPECT_EQ(requestsSent().size(), 7u);
    EXPECT_EQ(requestsSent().back(), "W 0003 6");
    // Read before the silence: taken; after it: kept.
    EXPECT_FLOAT_EQ(rig.app.params.setValue, 30.0f);
    EXPECT_EQ(rig.intValue(parm(), PARM_CTRL_FUNC), 4);
    EXPECT_FLOAT_EQ(rig.app.params.pidP[0], p1);
    // Shown from the switch held before the pass; nothing written to the controller.
    EXPECT_EQ(rig.intValue(parm(), PARM_ALARM_SW), 1);
    EXPECT_EQ(rig.app.params.alarmWatch, 1);
    ASSERT_EQ(rig.op.shown().size(), 1u);
    EXPECT_NE(rig.op.shown()[0].text.find("0x0003"), std::string::npos) << rig.op.shown()[0].text;
}

TEST_F(Recorded, SilentStatusReadStopsTheOperationThatAskedForIt)
{
    // Read all with the switch on: 19 reads, 4 switch writes, then the status read.
    rig.sim->setReg(0x001C, 8);
    rig.app.params.keypadValue = 77;
    rec->silentFrom = 24;
    EXPECT_FALSE(params::ReadAllParameters(rig.app));
    ASSERT_EQ(requestsSent().size(), 24u);
    EXPECT_EQ(requestsSent().back(), "W 1003 1");
    EXPECT_EQ(rig.app.params.keypadValue, 77);  // 0x005F was never asked
    EXPECT_EQ(messageTitles(), std::vector<std::string>{"Controller Not Answering"});
    EXPECT_NE(rig.op.shown()[0].text.find("0x1003"), std::string::npos) << rig.op.shown()[0].text;
    EXPECT_FALSE(rig.rt.IsPopupInstalled(rig.app.panels.wait));

    // The switch alone: the same one popup.
    restart();
    rec->silentFrom = 5;
    rig.rt.Commit(parm(), PARM_ALARM_SW, 1);
    EXPECT_EQ(requestsSent().size(), 5u);
    EXPECT_EQ(messageTitles(), std::vector<std::string>{"Controller Not Answering"});
    EXPECT_NE(rig.op.shown()[0].text.find("0x1003"), std::string::npos);
}

TEST_F(Recorded, WriteAllStopsAtTheSilentWriteAndSendsNothingAfter)
{
    ParameterSet& p = rig.app.params;
    p.decimalPnt = 31;
    p.alarmWatch = 0;
    rec->silentFrom = 10;  // the fifth of the PID writes after the switch: term 1 of set 1
    EXPECT_FALSE(params::WriteAllParameters(rig.app));
    const std::vector<std::string> w = requestsSent();
    ASSERT_EQ(w.size(), 10u);
    EXPECT_EQ(w[9].substr(0, 6), "W 0003");
    EXPECT_EQ(messageTitles(), std::vector<std::string>{"Controller Not Answering"});
    EXPECT_NE(rig.op.shown()[0].text.find("0x0003"), std::string::npos);
}

} // namespace
