// Soak: a week on the virtual clock with the chart plotting and the data log
// on, against the in-process simulated controller, with faults injected at
// random (silence, late answers, short answers, bad CRCs, refusals, the
// adapter pulled and put back). After every chart tick the values the system
// keeps, shows, plots and logs are checked against what the controller held
// for the request that was answered; no value may come from a bad answer,
// every log line must be whole and in time order, the link must
// come back within 5 s of each replug, and memory must stay bounded.
//
//   bench_soak [--days N] [--seed S]
#include "support/bench_support.h"
#include "app/app.h"
#include "app/connection.h"
#include "app/shell.h"
#include "io/clock.h"
#include "monitor/monitor.h"
#include "rt/runtime.h"
#include "rt/widgets.h"
#include "sim/controller.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using bench::RssKiB;

constexpr int kPort = 1;
constexpr double kReadTimeout = 1.0;

double Seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

enum Fault { Silent, Late, Short, BadCrc, Refusal, Unplug, kFaultKinds };
const char* const kFaultNames[kFaultKinds] = {"silence", "late answer", "short answer", "bad CRC", "refusal",
                                              "unplug and replug"};

bool FaultSet(const sim::Faults& f)
{
    return f.remaining != 0 && (f.silent || f.badCrc || f.shortBy > 0 || f.exceptionCode != 0 || f.extraDelay > 0);
}

// The adapter socket and a tap on the line: for each register read it keeps
// what the controller held when it answered and whether that answer was
// spoiled by an injected fault. A spoiled answer's data are garbled too, so
// a value taken from it cannot pass for the controller's.
struct Socket {
    std::shared_ptr<sim::Controller> controller;
    bool plugged = true;
    struct Served {
        std::uint16_t value = 0;
        bool bad = false;
    };
    std::map<std::uint16_t, Served> served;
    bool lastBad = false;
};

class TapDevice final : public io::SerialDevice {
public:
    TapDevice(std::shared_ptr<Socket> s, io::Clock& clock)
        : m_s(std::move(s)), m_inner(sim::MakeSimDevice(m_s->controller, clock))
    {
    }
    bool open(int baud) override { return m_s->plugged && m_inner->open(baud); }
    void close() override { m_inner->close(); }
    bool isOpen() const override { return m_inner->isOpen(); }
    int write(const std::uint8_t* d, int n) override
    {
        if (!m_s->plugged)
            return -1;
        const sim::Faults f = m_s->controller->faults();
        const bool bad = FaultSet(f) && (f.silent || f.badCrc || f.shortBy > 0 || f.exceptionCode != 0 ||
                                    f.extraDelay >= kReadTimeout);
        m_s->lastBad = bad;
        const int r = m_inner->write(d, n);
        if (n == 8 && d[1] == 0x03) {
            const std::uint16_t reg = static_cast<std::uint16_t>(d[2] << 8 | d[3]);
            m_s->served[reg] = {m_s->controller->reg(reg), bad};
        }
        return r;
    }
    int read(std::uint8_t* b, int max, double timeout, const io::AnswerComplete& done) override
    {
        if (!m_s->plugged)
            return -1;
        const int n = m_inner->read(b, max, timeout, done);
        if (m_s->lastBad && n >= 6)
            b[4] ^= 0x5A;
        return n;
    }
    void flushInput() override { m_inner->flushInput(); }
    void flushOutput() override { m_inner->flushOutput(); }
    std::string description() const override { return "simulated controller on a socket"; }

private:
    std::shared_ptr<Socket> m_s;
    std::unique_ptr<io::SerialDevice> m_inner;
};

struct Soak {
    io::VirtualClock clock;
    rt::ScriptedOperator op;
    rt::Runtime rt{clock, op};
    App app{rt};
    std::shared_ptr<Socket> socket = std::make_shared<Socket>();
    std::ifstream log;
    std::string logPath;
    std::tuple<int, int, int, int, int, int> lastStamp{};
    long checks = 0, failures = 0;

    void fail(const std::string& what)
    {
        if (++failures <= 10)
            std::printf("  FAULT TAKEN at %.0f s: %s\n", clock.now(), what.c_str());
    }
    bool running(int panel, int timer) const
    {
        int v = 0;
        rt.GetCtrlAttribute(panel, timer, rt::ATTR_ENABLED, &v);
        return v != 0;
    }

    bool start()
    {
        rt.setPanelSearchPath({TEC_UI_DIR});
        shell::BindCallbacks(app);
        if (!shell::LoadPanels(app))
            return false;
        sim::Config config;
        config.requestRecordLimit = 0;  // the simulator's own record is no part of what is measured
        config.speed = 1.0;
        socket->controller = std::make_shared<sim::Controller>(clock, config);
        // The controller holds 40.0 degrees under PID control: PV climbs from
        // ambient and then wanders with the sensor noise.
        socket->controller->setReg(0x0000, 400);
        socket->controller->setReg(0x0002, 4);
        auto s = socket;
        io::Clock* c = &clock;
        rt.ports().bind(kPort, "COM1  simulated controller", [s, c] { return std::make_unique<TapDevice>(s, *c); });
        comlink::FillPortSelector(app);
        const int parm = app.panels.parm;
        rt.SetCtrlVal(parm, PARM_COMPORT, kPort);
        rt.SetCtrlVal(parm, PARM_CTRL_ID, 1);
        rt.FireEvent(parm, PARM_COMPORT, rt::EVENT_COMMIT);
        if (app.bus.openStatus < 0)
            return false;
        rt.Commit(parm, PARM_OPEN_CHART);
        logPath = QDir::current().filePath("soak.dat").toStdString();
        op.queueFile(2, logPath);
        rt.Commit(app.panels.logset, LOGSET_LOG_SW, 1);
        rt.Commit(app.panels.chart, CHART_PLOT, 1);
        log.open(logPath, std::ios::binary);
        std::string header;
        std::getline(log, header);
        return app.log.logging == 1 && running(app.panels.chart, CHART_TIMER) && header.rfind("  Date,", 0) == 0;
    }

    // What the log gained since the last look: "" or whole lines.
    std::string newLogText()
    {
        std::string text, line;
        log.clear();
        while (std::getline(log, line)) {
            if (log.eof()) {
                fail("a log line without its end: '" + line + "'");
                break;
            }
            text += line + "\n";
        }
        log.clear();
        return text;
    }

    float expected(std::uint16_t reg, bool* ok)
    {
        const auto it = socket->served.find(reg);
        if (it == socket->served.end() || it->second.bad) {
            *ok = false;
            return 0;
        }
        return monitor::RawToDisplay(it->second.value, app.params.tempScale);
    }

    // One chart tick and its checks; true when it gave a point.
    bool chartTick()
    {
        const LiveSample before = app.live;
        rt.Tick(app.panels.chart, CHART_TIMER);
        ++checks;
        const std::string added = newLogText();
        if (app.misses.poll != 0 || !app.bus.portOpen) {
            if (!added.empty())
                fail("a log line for a tick without an answer: " + added);
            if (app.live.sv != before.sv || app.live.pv != before.pv)
                fail("a value kept from a tick without an answer");
            return false;
        }
        bool svOk = true, pvOk = true;
        const float sv = expected(monitor::kSvRegister, &svOk);
        const float pv = expected(monitor::kPvRegister, &pvOk);
        if (!svOk || !pvOk) {
            fail("a point taken although the last answer read was spoiled");
            return true;
        }
        if (app.live.sv != sv || app.live.pv != pv || app.params.setValue != sv)
            fail("kept SV/PV " + std::to_string(app.live.sv) + "/" + std::to_string(app.live.pv) +
                 " but the controller held " + std::to_string(sv) + "/" + std::to_string(pv));
        double shownSv = 0, shownPv = 0;
        rt.GetCtrlVal(app.panels.chart, CHART_SV, &shownSv);
        rt.GetCtrlVal(app.panels.chart, CHART_PV, &shownPv);
        // The indicators hold the value at their precision (tenths), as the raw value is.
        if (std::fabs(shownSv - sv) > 1e-4 || std::fabs(shownPv - pv) > 1e-4)
            fail("shown SV/PV differ from the controller's");
        auto* chart = qobject_cast<rt::StripChart*>(rt.controlWidget(app.panels.chart, CHART_STRIPCHART));
        if (!chart || chart->values(0).empty() || chart->values(0).back() != static_cast<double>(sv) ||
            chart->values(1).back() != static_cast<double>(pv))
            fail("the plotted point differs from the controller's");
        int mo = 0, d = 0, y = 0, h = 0, mi = 0, s = 0;
        float lsv = 0, lpv = 0;
        char time[16];
        if (std::count(added.begin(), added.end(), '\n') != 1 ||
            std::sscanf(added.c_str(), "%d/%d/%d, %d:%d:%d, %f, %f", &mo, &d, &y, &h, &mi, &s, &lsv, &lpv) != 8) {
            fail("not one whole log line: '" + added + "'");
            return true;
        }
        std::snprintf(time, sizeof time, "%02d:%02d:%02d", h, mi, s);
        std::string line = added.substr(0, added.size() - 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line != monitor::FormatLogLine(mo, d, y, time, sv, pv))
            fail("the logged line '" + line + "' is not the controller's values");
        const auto stamp = std::make_tuple(y, mo, d, h, mi, s);
        // A tick that took several seconds is followed at once by the next
        // one, as a timer that fell behind does, so two lines may share a second.
        if (stamp < lastStamp)
            fail("a log line earlier than the one before: " + line);
        lastStamp = stamp;
        return true;
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qapp(argc, argv);
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());

    double days = 7;
    unsigned seed = 12;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--days") == 0)
            days = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--seed") == 0)
            seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    }
    if (!(days > 0 && days <= 60)) {
        std::fprintf(stderr, "bench_soak: --days wants 0 to 60\n");
        return 2;
    }

    Soak soak;
    if (!soak.start()) {
        std::fprintf(stderr, "bench_soak: the logged chart run did not start\n");
        return 1;
    }
    App& app = soak.app;
    rt::Runtime& rt = soak.rt;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uni(0.0, 1.0);

    std::array<long, kFaultKinds> injected{}, survived{};
    std::vector<int> pending;  // faults not yet followed by a good point
    long ticks = 0, points = 0, resumeWorst = 0, resumeLate = 0;
    double unplugUntil = -1, replugAt = -1;
    bool lost = false;
    const long kSeconds = static_cast<long>(days * 86400);
    std::vector<long> rss{RssKiB()};
    const double t0 = Seconds();
    const double start = soak.clock.now();

    for (long sec = 1; sec <= kSeconds; ++sec) {
        soak.clock.sleepUntil(start + static_cast<double>(sec));
        const double now = soak.clock.now();
        sim::Faults& f = soak.socket->controller->faults();

        // The adapter goes back in.
        if (unplugUntil >= 0 && now >= unplugUntil) {
            soak.socket->plugged = true;
            unplugUntil = -1;
            replugAt = now;
        }
        // A new fault now and then, only while everything runs.
        if (unplugUntil < 0 && replugAt < 0 && !lost && !FaultSet(f) && uni(rng) < 1.0 / 240) {
            const int kind = uni(rng) < 0.02 ? Unplug : static_cast<int>(uni(rng) * static_cast<int>(Unplug));
            const int count = 1 + static_cast<int>(uni(rng) * 3);
            f = sim::Faults{};
            switch (kind) {
            case Silent: f.silent = true; break;
            case Late: f.extraDelay = uni(rng) < 0.5 ? 0.2 + 0.7 * uni(rng) : 1.2 + 1.3 * uni(rng); break;
            case Short: f.shortBy = 1 + static_cast<int>(uni(rng) * 4); break;
            case BadCrc: f.badCrc = true; break;
            case Refusal: f.exceptionCode = 1 + static_cast<int>(uni(rng) * 4); break;
            case Unplug:
                f = sim::Faults{};
                soak.socket->plugged = false;
                unplugUntil = now + 2 + uni(rng) * 600;
                break;
            }
            if (kind != Unplug)
                f.remaining = count;
            ++injected[kind];
            pending.push_back(kind);
        }

        const int chart = app.panels.chart;
        if (soak.running(chart, CHART_TIMER)) {
            ++ticks;
            if (soak.chartTick()) {
                ++points;
                for (int k : pending)
                    ++survived[k];
                pending.clear();
            }
        }
        if (soak.running(app.panels.parm, PARM_RECONNECT_TIMER)) {
            lost = true;
            rt.Tick(app.panels.parm, PARM_RECONNECT_TIMER);
        }
        if (lost && soak.running(chart, CHART_TIMER)) {
            lost = false;
            if (replugAt < 0) {
                soak.fail("resumed while the adapter was out");
            } else {
                const long took = static_cast<long>(soak.clock.now() - replugAt + 0.5);
                resumeWorst = std::max(resumeWorst, took);
                resumeLate += took > 5 ? 1 : 0;
                replugAt = -1;
            }
        }
        if (!lost && unplugUntil < 0 && replugAt >= 0 && soak.clock.now() - replugAt > 60) {
            soak.fail("no reconnection within a minute of a replug");
            replugAt = -1;
        }
        if (sec % 86400 == 0)
            rss.push_back(RssKiB());
    }
    const double elapsed = Seconds() - t0;
    if (rss.size() < 2)
        rss.push_back(RssKiB());

    std::printf("soak: %.1f simulated days on the virtual clock, chart plotting and data log on, seed %u\n", days, seed);
    std::printf("  run time %.1f s; %ld chart ticks, %ld points logged, %ld checks\n", elapsed, ticks, points,
                soak.checks);
    long all = 0;
    for (int k = 0; k < kFaultKinds; ++k) {
        std::printf("  %-18s injected %5ld, survived %5ld\n", kFaultNames[k], injected[k], survived[k]);
        all += injected[k];
    }
    std::printf("  reconnections: worst %ld s after the replug, %ld later than 5 s\n", resumeWorst, resumeLate);
    std::printf("  RSS KiB at start and after each day:");
    for (long r : rss)
        std::printf(" %ld", r);
    std::printf("\n");
    // The chart keeps the whole run (a week of points at most); what else
    // grows would show as growth well beyond it.
    const long growth = rss.back() - rss.front();
    const long lastDay = rss.back() - rss[rss.size() - 2];
    const bool memoryOk = growth <= 64 * 1024 && lastDay <= 12 * 1024;
    long notSurvived = 0;
    for (int k = 0; k < kFaultKinds; ++k)
        notSurvived += injected[k] - survived[k];
    notSurvived -= static_cast<long>(pending.size());  // the last ones may still await their point
    const bool ok = soak.failures == 0 && resumeLate == 0 && notSurvived == 0 && memoryOk && all > 0;
    std::printf("  values taken from bad answers or misplaced: %ld; memory growth %.1f MB (limit 64), last day %.1f MB "
                "(limit 12) %s\n",
                soak.failures, growth / 1024.0, lastDay / 1024.0, ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
