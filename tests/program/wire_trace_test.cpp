// What the script panel does on the line, seen from the port: the flushes,
// the waits between request and read, the answer lengths asked for, and the
// run watch's handling of status words the simulated controller never sends.
#include "program/program.h"
#include "protocol/modbus.h"
#include "protocol/step_codec.h"
#include "sim/controller.h"
#include "support/line_double.h"
#include "support/rig.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

struct PortEvent {
    enum Kind { FlushOut, FlushIn, Write, Read } kind;
    double at = 0;
    int count = 0;            // bytes written, or bytes asked for
    std::uint16_t reg = 0;    // register of a written request
    bool waitPopup = false;   // the wait popup was up when the request went out
};

struct Trace {
    std::vector<PortEvent> events;
    std::function<bool()> waitPopupUp;
    // When set, a read of the status word answers with these two bytes.
    std::optional<std::pair<std::uint8_t, std::uint8_t>> status;
};

// The simulated controller behind the line double's tap, every call recorded.
struct TraceRig : TestRig {
    std::shared_ptr<Trace> trace = std::make_shared<Trace>();
    LineDouble tap{clock};

    TraceRig()
    {
        auto controller = sim;
        io::Clock* c = &clock;
        tap.inner = [controller, c] { return sim::MakeSimDevice(controller, *c); };
        Trace* t = trace.get();
        tap.onEvent = [t](const LineDouble::Event& e) {
            PortEvent p{static_cast<PortEvent::Kind>(e.kind), e.at, e.count};
            if (e.kind == LineDouble::Event::Write) {
                if (e.count >= 4)
                    p.reg = static_cast<std::uint16_t>(e.bytes[2] << 8 | e.bytes[3]);
                p.waitPopup = t->waitPopupUp && t->waitPopupUp();
            }
            t->events.push_back(p);
        };
        tap.rewrite = [t](const std::vector<std::uint8_t>& rq, std::uint8_t* buf, int n) {
            const bool statusRead = rq.size() == 8 && rq[1] == comlink::FN_READ &&
                                    (rq[2] << 8 | rq[3]) == program::kStatusRegister;
            if (n != 8 || !statusRead || !t->status)
                return;
            buf[4] = t->status->first;
            buf[5] = t->status->second;
            const comlink::Crc crc = comlink::CalcCRC16(buf, 6);
            buf[6] = crc.lo;
            buf[7] = crc.hi;
        };
        rt.ports().bind(2, "COM2  traced", tap.factory());
        EXPECT_GE(connect(2), 0);
        trace->waitPopupUp = [this] { return rt.IsPopupInstalled(app.panels.wait); };
        op.clear();
        trace->events.clear();
    }
    int script() const { return app.panels.script; }
    std::vector<PortEvent> events() const { return trace->events; }
    void clear() { trace->events.clear(); }
};

// Writes and reads only, with the flushes dropped that every exchange makes
// on its own to discard late answers.
std::vector<PortEvent> Exchanges(const std::vector<PortEvent>& all)
{
    std::vector<PortEvent> out;
    for (const PortEvent& e : all)
        if (e.kind == PortEvent::Write || e.kind == PortEvent::Read)
            out.push_back(e);
    return out;
}

void ExpectExchange(const std::vector<PortEvent>& ex, std::size_t i, std::uint16_t reg, double wait, int answerBytes)
{
    ASSERT_LT(i + 1, ex.size());
    EXPECT_EQ(ex[i].kind, PortEvent::Write) << "exchange at " << i;
    EXPECT_EQ(ex[i].count, 8);
    EXPECT_EQ(ex[i].reg, reg) << "exchange at " << i;
    EXPECT_EQ(ex[i + 1].kind, PortEvent::Read) << "exchange at " << i;
    EXPECT_NEAR(ex[i + 1].at - ex[i].at, wait, 1e-9) << "register " << reg;
    EXPECT_EQ(ex[i + 1].count, answerBytes) << "register " << reg;
}

} // namespace

TEST(ScriptLine, ReadFlushesOnceThenNineTimedReadsUnderTheWaitPopup)
{
    TraceRig rig;
    rig.rt.FireEvent(rig.script(), SCRIPT_LOAD_CTRL, rt::EVENT_COMMIT);
    const auto all = rig.events();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[0].kind, PortEvent::FlushOut);
    EXPECT_EQ(all[1].kind, PortEvent::FlushIn);
    const auto ex = Exchanges(all);
    ASSERT_EQ(ex.size(), 18u);
    EXPECT_NEAR(ex[0].at - all[1].at, 0.02, 1e-9);
    for (int k = 1; k <= 8; ++k)
        ExpectExchange(ex, 2 * (k - 1), program::StepBlockRegister(k), 0.03, 16);
    ExpectExchange(ex, 16, program::kBandRegister, 0.05, 8);
    for (const PortEvent& e : ex) {
        if (e.kind == PortEvent::Write) {
            EXPECT_TRUE(e.waitPopup) << "register " << e.reg;
        }
    }
    EXPECT_FALSE(rig.rt.IsPopupInstalled(rig.app.panels.wait));
    EXPECT_EQ(rig.app.waitShown, 0);
    EXPECT_TRUE(rig.op.shown().empty());
}

TEST(ScriptLine, ReadLeavesAWaitPopupAloneThatIsAlreadyCountedAsShown)
{
    TraceRig rig;
    rig.app.waitShown = 1;  // someone else's wait is on record
    rig.rt.FireEvent(rig.script(), SCRIPT_LOAD_CTRL, rt::EVENT_COMMIT);
    const auto ex = Exchanges(rig.events());
    ASSERT_EQ(ex.size(), 18u);
    for (const PortEvent& e : ex) {
        if (e.kind == PortEvent::Write) {
            EXPECT_FALSE(e.waitPopup) << "installed again for register " << e.reg;
        }
    }
    EXPECT_EQ(rig.app.waitShown, 0);
}

TEST(ScriptLine, WriteFlushesOnceThenFortyOneWritesInRegisterOrder)
{
    TraceRig rig;
    rig.rt.FireEvent(rig.script(), SCRIPT_SAVE_CTRL, rt::EVENT_COMMIT);
    const auto all = rig.events();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0].kind, PortEvent::FlushOut);
    EXPECT_EQ(all[1].kind, PortEvent::FlushIn);
    const auto ex = Exchanges(all);
    ASSERT_EQ(ex.size(), 82u);
    EXPECT_NEAR(ex[0].at - all[1].at, 0.05, 1e-9);
    for (int i = 0; i < 40; ++i)
        ExpectExchange(ex, 2 * static_cast<std::size_t>(i), static_cast<std::uint16_t>(0x0037 + i), 0.05, 8);
    ExpectExchange(ex, 80, program::kBandRegister, 0.05, 8);
    for (const PortEvent& e : ex)
        EXPECT_FALSE(e.waitPopup);
    EXPECT_TRUE(rig.op.shown().empty());
}

// A port that goes away in the middle of a transfer is told once, by the
// link; the transfer adds no popup of its own.
TEST(ScriptLine, PortLostDuringTransferIsToldOnce)
{
    for (const int control : {SCRIPT_LOAD_CTRL, SCRIPT_SAVE_CTRL}) {
        TraceRig rig;
        rig.tap.lostFromWrite = static_cast<int>(rig.tap.writes.size()) + 4;
        rig.rt.FireEvent(rig.script(), control, rt::EVENT_COMMIT);
        EXPECT_EQ(rig.op.titles(), std::vector<std::string>{"Connection Lost"}) << control;
        EXPECT_EQ(rig.app.bus.portOpen, 0);
        EXPECT_FALSE(rig.rt.IsPopupInstalled(rig.app.panels.wait));
    }
}

TEST(ScriptLine, StartWritesWithoutPreambleAndTheWatchReadsUnderIt)
{
    TraceRig rig;
    rig.rt.Commit(rig.script(), SCRIPT_RUN_SW, 1);
    auto all = rig.events();
    for (const PortEvent& e : all)
        EXPECT_NE(e.kind, PortEvent::FlushOut);
    auto ex = Exchanges(all);
    ASSERT_EQ(ex.size(), 2u);
    ExpectExchange(ex, 0, program::kControlFunctionRegister, 0.05, 8);

    rig.clear();
    rig.clock.advance(1.0);
    rig.rt.Tick(rig.script(), SCRIPT_RUN_TIMER);
    all = rig.events();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0].kind, PortEvent::FlushOut);
    EXPECT_EQ(all[1].kind, PortEvent::FlushIn);
    ex = Exchanges(all);
    ASSERT_EQ(ex.size(), 2u);
    EXPECT_NEAR(ex[0].at - all[1].at, 0.05, 1e-9);
    ExpectExchange(ex, 0, program::kStatusRegister, 0.05, 8);
}

TEST(ScriptLine, WatchShowsOnlyWhatTheStatusWordAllows)
{
    TraceRig rig;
    rig.rt.Commit(rig.script(), SCRIPT_RUN_SW, 1);
    auto lit = [&rig] {
        std::vector<int> on;
        for (int i = 0; i < program::kStepIndicators; ++i)
            if (rig.intValue(rig.script(), SCRIPT_STEP_LED(i)) != 0)
                on.push_back(i);
        return on;
    };
    auto timerOn = [&rig] {
        int on = 0;
        rig.rt.GetCtrlAttribute(rig.script(), SCRIPT_RUN_TIMER, rt::ATTR_ENABLED, &on);
        return on != 0;
    };
    auto tick = [&rig](std::uint8_t runMode, std::uint8_t segment) {
        rig.trace->status = std::make_pair(runMode, segment);
        rig.clock.advance(1.0);
        rig.rt.Tick(rig.script(), SCRIPT_RUN_TIMER);
    };

    const struct {
        std::uint8_t segment;
        std::vector<int> lit;
    } running[] = {{0, {0}}, {15, {1}}, {44, {2}}, {225, {15}}, {239, {15}}, {240, {}}, {241, {}}, {255, {}}};
    for (const auto& c : running) {
        tick(5, 225);  // something lit before, so a dark result is a real clearing
        tick(5, c.segment);
        EXPECT_EQ(lit(), c.lit) << "segment code " << int(c.segment);
        EXPECT_TRUE(timerOn());
        EXPECT_EQ(rig.intValue(rig.script(), SCRIPT_RUN_SW), 1);
    }

    // Another function on the controller: all dark, still watching.
    tick(5, 30);
    tick(3, 30);
    EXPECT_TRUE(lit().empty());
    EXPECT_TRUE(timerOn());
    EXPECT_EQ(rig.intValue(rig.script(), SCRIPT_RUN_SW), 1);
    EXPECT_TRUE(rig.dimmed(rig.parm(), PARM_CTRL_FUNC));

    // Idle: the run is over on the panel.
    rig.app.ctrlMode = 3;
    rig.rt.SetCtrlVal(rig.parm(), PARM_CTRL_LED, 1);
    tick(0, 30);
    EXPECT_TRUE(lit().empty());
    EXPECT_FALSE(timerOn());
    EXPECT_EQ(rig.intValue(rig.script(), SCRIPT_RUN_SW), 0);
    EXPECT_EQ(rig.app.ctrlMode, 0);
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_CTRL_LED), 0);
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_CTRL_FUNC), 0);
    EXPECT_FALSE(rig.dimmed(rig.parm(), PARM_CTRL_FUNC));
    EXPECT_FALSE(rig.dimmed(rig.parm(), PARM_ALARM_SW));
    EXPECT_TRUE(rig.dimmed(rig.parm(), PARM_OUTPUT_LEVEL));
    EXPECT_TRUE(rig.op.shown().empty());
}
