// tecctl on several controllers of one line: each address identified and
// asked in turn, a silent one said on standard error while the others go on,
// and watch's round with the several-controller data log. In process, on the
// virtual clock, over one line shared by simulated controllers.
#include "link/bus.h"
#include "link/transact.h"
#include "formats/log_reader.h"
#include "sim/controller.h"
#include "tecctl/commands.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

// The simulated line, with a look at each request before the controllers get it.
class Tapped final : public io::SerialDevice {
public:
    explicit Tapped(std::unique_ptr<io::SerialDevice> device) : m_device(std::move(device)) {}
    std::function<void(const std::uint8_t*)> onRequest;

    bool open(int baud) override { return m_device->open(baud); }
    void close() override { m_device->close(); }
    bool isOpen() const override { return m_device->isOpen(); }
    int write(const std::uint8_t* data, int count) override
    {
        if (onRequest && count == 8)
            onRequest(data);
        return m_device->write(data, count);
    }
    int read(std::uint8_t* buf, int max, double timeout, const io::AnswerComplete& done) override
    {
        return m_device->read(buf, max, timeout, done);
    }
    void flushInput() override { m_device->flushInput(); }
    void flushOutput() override { m_device->flushOutput(); }
    std::string description() const override { return m_device->description(); }

private:
    std::unique_ptr<io::SerialDevice> m_device;
};

struct Output {
    int status = -1;
    std::string out, err, error;
};

class TecctlSeveral : public ::testing::Test {
protected:
    // Controllers at addresses 1, 2 and 3; 2 silent unless told otherwise.
    void SetUp() override
    {
        controllers = sim::MakeControllers(clock, {1, 2, 3});
        for (int a = 1; a <= 3; ++a)  // set values 10.0, 20.0, 30.0
            controllers[static_cast<std::size_t>(a - 1)]->setReg(tecreg::kSetValue, static_cast<std::uint16_t>(100 * a));
        controllers[1]->faults().silent = true;
        auto device = std::make_unique<Tapped>(sim::MakeSimDevice(controllers, clock));
        drop = device.get();
        ASSERT_EQ(ports.open(1, std::move(device), 19200), 0);
        ports.setTimeout(1, comlink::kReadTimeout);
        bus.comPort = 1;
        bus.portOpen = 1;
    }

    Output Run(const std::vector<std::string>& args)
    {
        tecctl::Options o;
        std::string error;
        Output r;
        if (!tecctl::ParseOptions(args, &o, &error)) {
            r.error = error;
            return r;
        }
        tecctl::Session s(bus, static_cast<core::Address>(o.address), o);
        s.interrupted = &interrupted;
        bus.portLost = [&s] { s.portLost = true; };
        if ((r.status = tecctl::Prepare(s)) != tecctl::EXIT_OK) {
            r.error = s.error;
            return r;
        }
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        r.status = tecctl::RunSeveral(s, "the line", 1);
        r.out = testing::internal::GetCapturedStdout();
        r.err = testing::internal::GetCapturedStderr();
        r.error = s.error;
        bus.portLost = nullptr;
        return r;
    }

    // The registers each controller was asked for, in order.
    static std::vector<std::uint16_t> Asked(const sim::Controller& c)
    {
        std::vector<std::uint16_t> regs;
        for (const auto& r : c.requests())
            if (r.size() == 8 && r[0] == c.config().address)
                regs.push_back(static_cast<std::uint16_t>(r[2] << 8 | r[3]));
        return regs;
    }

    io::VirtualClock clock;
    io::PortTable ports;
    comlink::Bus bus{ports, clock};
    std::vector<std::shared_ptr<sim::Controller>> controllers;
    Tapped* drop = nullptr;
    std::atomic<bool> interrupted{false};
};

TEST_F(TecctlSeveral, EachAddressIsAskedInTurnAndASilentOneIsSaidWhileTheOthersGoOn)
{
    Output r = Run({"--address", "1-3", "--name", "3=stage, C", "get", "sv"});
    EXPECT_EQ(r.status, tecctl::EXIT_OK) << r.err;
    EXPECT_EQ(r.out, "  1            sv                   10.0 \u00B0C\n"
                     "  3  stage, C  sv                   30.0 \u00B0C\n");
    EXPECT_NE(r.err.find("tecctl get: no answer from address 2 on the line"), std::string::npos) << r.err;
    // Each controller was asked only for itself: identification, the
    // decimal point, the unit, the value.
    const std::vector<std::uint16_t> expected{tecreg::kIdentity, tecreg::kDecimalPnt, tecreg::kCfUnit,
                                              tecreg::kSetValue};
    EXPECT_EQ(Asked(*controllers[0]), expected);
    EXPECT_EQ(Asked(*controllers[2]), expected);
    EXPECT_EQ(Asked(*controllers[1]), std::vector<std::uint16_t>{tecreg::kIdentity});

    // read: one block per controller, headed by its address and name.
    r = Run({"--address", "3,1", "--name", "3=stage-A", "read"});
    EXPECT_EQ(r.status, tecctl::EXIT_OK);
    const std::size_t three = r.out.find("address 3 (stage-A)\npv "), one = r.out.find("\n\naddress 1\npv ");
    EXPECT_NE(three, std::string::npos) << r.out;
    EXPECT_NE(one, std::string::npos) << r.out;
    EXPECT_LT(three, one);

    // Only when nobody answers is it a silence.
    controllers[0]->faults().silent = controllers[2]->faults().silent = true;
    r = Run({"--address", "1,2,3", "identify"});
    EXPECT_EQ(r.status, tecctl::EXIT_SILENT);
    EXPECT_EQ(r.error, "no controller answered");
    EXPECT_EQ(r.out, "");
}

TEST_F(TecctlSeveral, JsonCarriesEachControllersAddressAndName)
{
    controllers[1]->faults().silent = false;
    controllers[1]->faults().exceptionCode = 2;  // refuses even identification
    const Output r = Run({"--json", "--address", "1-3", "--name", "1=a \"b\"", "identify"});
    EXPECT_EQ(r.status, tecctl::EXIT_REFUSED);  // a refusal is an answer, and a failure of its own
    EXPECT_EQ(r.out, "{\"command\": \"identify\", \"port\": 1, \"device\": \"the line\", \"status\": 5, "
                     "\"controllers\": [{\"address\": 1, \"name\": \"a \\\"b\\\"\", \"model\": 241, \"identity\": 35, "
                     "\"status\": 0}, {\"address\": 2, \"status\": 5, \"error\": \"identification refused by "
                     "address 2 on the line (exception code 2)\"}, {\"address\": 3, \"model\": 241, \"identity\": "
                     "35, \"status\": 0}]}\n");
}

TEST_F(TecctlSeveral, WatchLogsOneLinePerRoundWithGapsAndAsksAMissingControllerOnceARead)
{
    char dir[] = "/tmp/tecctl-several-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string log = std::string(dir) + "/w.dat";
    // Controller 2 answers at first and falls silent at its first SV poll.
    controllers[1]->faults().silent = false;
    drop->onRequest = [this](const std::uint8_t* f) {
        if (f[0] == 2 && (f[2] << 8 | f[3]) == tecreg::kWorkingSv)
            controllers[1]->faults().silent = true;
    };
    const Output r =
        Run({"--address", "1-3", "--name", "2=b,ox", "watch", "--count", "3", "--interval", "0", "--log", log});
    EXPECT_EQ(r.status, tecctl::EXIT_OK) << r.error;
    for (int tick = 1; tick <= 3; ++tick)
        EXPECT_NE(r.err.find("no answer from address 2 at tick " + std::to_string(tick)), std::string::npos);
    // Standard output: one line per controller per round.
    std::istringstream out(r.out);
    std::vector<std::string> lines;
    for (std::string l; std::getline(out, l);)
        lines.push_back(l);
    ASSERT_EQ(lines.size(), 7u) << r.out;
    EXPECT_NE(lines[1].find(", [1],  10.0, "), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(", [3],  30.0, "), std::string::npos) << lines[2];

    // The verified poll's two attempts (all its budget allows a silent
    // controller) in the first round, then one attempt a round.
    int svPolls = 0;
    for (std::uint16_t reg : Asked(*controllers[1]))
        svPolls += reg == tecreg::kWorkingSv;
    EXPECT_EQ(svPolls, 2 + 1 + 1);

    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    std::istringstream logLines(text.str());
    std::string header, first;
    std::getline(logLines, header);
    std::getline(logLines, first);
    EXPECT_EQ(header, "  Date,       Time,     SV [1], PV [1], SV b ox [2], PV b ox [2], SV [3], PV [3]");
    EXPECT_NE(first.find(",  10.0, "), std::string::npos) << first;
    EXPECT_NE(first.find(",,,  30.0, "), std::string::npos) << first;  // two empty fields for address 2
    const monitor::LogReadResult read = monitor::ReadDataLog(text.str());
    EXPECT_EQ(read.skipped, 0u);
    ASSERT_EQ(read.series.size(), 3u);
    EXPECT_EQ(read.series[1].label, "b ox");
    EXPECT_EQ(read.series[1].points.size(), 0u);  // never 0: no reading at all
    EXPECT_EQ(read.series[2].points.size(), 3u);
    EXPECT_DOUBLE_EQ(read.series[2].points[0].sv, 30.0);
    EXPECT_EQ(read.points.size(), 3u);  // the viewer's: the first controller's
    std::remove(log.c_str());
    ::rmdir(dir);
}

} // namespace

namespace {

// A controller that falls silent makes one round long (its verified read),
// the next ones longer by one attempt; after that the rounds keep their
// interval again instead of catching up in a burst.
TEST_F(TecctlSeveral, AfterLongRoundsTheIntervalHoldsAgain)
{
    controllers[1]->faults().silent = false;
    std::vector<double> starts;
    bool silenced = false;
    drop->onRequest = [&](const std::uint8_t* f) {
        const int reg = f[2] << 8 | f[3];
        if (f[0] == 1 && reg == tecreg::kWorkingSv)
            starts.push_back(clock.now());
        if (f[0] == 2 && reg == tecreg::kWorkingSv && !silenced) {
            silenced = true;
            controllers[1]->faults().silent = true;
            controllers[1]->faults().remaining = 3;  // two attempts in the first round, one in the second
        }
    };
    const Output r = Run({"--address", "1-3", "watch", "--count", "6", "--interval", "1"});
    EXPECT_EQ(r.status, tecctl::EXIT_OK) << r.error;
    ASSERT_EQ(starts.size(), 6u);
    EXPECT_GT(starts[1] - starts[0], 1.5);  // the silent one's time-outs
    for (std::size_t k = 3; k < starts.size(); ++k)
        EXPECT_NEAR(starts[k] - starts[k - 1], 1.0, 0.01) << k;
    EXPECT_EQ(r.err.find("offline"), std::string::npos) << r.err;  // two misses: suspect, never offline
}

// Silent from the start: not identified, so polled as an offline controller:
// a short SV probe on the back-off (doubling up to 10 s), never a PV read or
// a retry, and the others' rounds keep their interval. Once a probe is
// answered it is identified, its decimal point read, and its readings come.
TEST_F(TecctlSeveral, ASilentControllerIsProbedOnItsBackOffWhileTheOthersKeepTheirRounds)
{
    std::vector<double> starts, probes;
    drop->onRequest = [&](const std::uint8_t* f) {
        const int reg = f[2] << 8 | f[3];
        if (f[0] == 1 && reg == tecreg::kWorkingSv)
            starts.push_back(clock.now());
        if (f[0] == 2 && reg == tecreg::kWorkingSv && controllers[1]->faults().silent)
            probes.push_back(clock.now());
        if (clock.now() > 20.0)
            controllers[1]->faults().silent = false;
    };
    const Output r = Run({"--address", "1-3", "watch", "--count", "40", "--interval", "1"});
    EXPECT_EQ(r.status, tecctl::EXIT_OK) << r.error;
    ASSERT_EQ(starts.size(), 40u);
    for (std::size_t k = 1; k < starts.size(); ++k)
        EXPECT_NEAR(starts[k] - starts[k - 1], 1.0, 0.001) << k;

    // Probed at the first round, then 2, 4 and 8 s apart, each wait ending
    // at the next round's start.
    ASSERT_EQ(probes.size(), 4u);
    const double gaps[] = {2, 4, 8};
    for (std::size_t k = 1; k < probes.size(); ++k) {
        EXPECT_GE(probes[k] - probes[k - 1], gaps[k - 1]) << k;
        EXPECT_LE(probes[k] - probes[k - 1], gaps[k - 1] + 1.0 + 1e-9) << k;
    }
    // What it was asked: identification at the start, the probes, then
    // (answering the first probe after 20 s) the probe's PV, identification
    // and the decimal point, and SV and PV every round from the next on.
    const std::vector<std::uint16_t> asked = Asked(*controllers[1]);
    std::vector<std::uint16_t> expected{tecreg::kIdentity};
    expected.insert(expected.end(), probes.size() + 1, tecreg::kWorkingSv);
    expected.insert(expected.end(), {tecreg::kPv, tecreg::kIdentity, tecreg::kDecimalPnt});
    ASSERT_GT(asked.size(), expected.size());
    EXPECT_EQ(std::vector<std::uint16_t>(asked.begin(), asked.begin() + static_cast<long>(expected.size())), expected);
    const std::size_t later = asked.size() - expected.size();
    EXPECT_EQ(later % 2, 0u);
    EXPECT_GE(later / 2, 10u);

    // Every round had 1 and 3; 2 once it was known, with its own scale.
    auto count = [&r](const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = r.out.find(what); at != std::string::npos; at = r.out.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count(", [1],  10.0, "), 40u);
    EXPECT_EQ(count(", [3],  30.0, "), 40u);
    EXPECT_EQ(count(", [2],  20.0, "), later / 2);
    EXPECT_NE(r.err.find("no answer from address 2 on the line; asked again now and then"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("address 2 answers at tick"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("no answer from address 2 at tick 2\n"), std::string::npos) << r.err;  // not asked then
}

// One that answered and then stops: suspect for two rounds (one attempt a
// read), offline at the third miss (said once), then only probed; back once
// a probe is answered.
TEST_F(TecctlSeveral, AControllerThatStopsAnsweringGoesOfflineAfterThreeRoundsAndComesBack)
{
    controllers[1]->faults().silent = false;
    double silencedAt = -1;
    drop->onRequest = [&](const std::uint8_t* f) {
        if (f[0] == 2 && (f[2] << 8 | f[3]) == tecreg::kPv && silencedAt < 0) {
            controllers[1]->faults().silent = true;  // from its first PV read on, for 12 s
            silencedAt = clock.now();
        }
        if (silencedAt >= 0 && clock.now() > silencedAt + 12)
            controllers[1]->faults().silent = false;
    };
    const Output r = Run({"--address", "1-3", "--json", "watch", "--count", "40", "--interval", "0"});
    EXPECT_EQ(r.status, tecctl::EXIT_OK) << r.error;
    std::vector<std::uint16_t> asked = Asked(*controllers[1]);
    asked.erase(asked.begin(), asked.begin() + 3);  // identification, the decimal point, the first SV
    // The verified PV read's two attempts, two single SV attempts, probes
    // 1, 2 and 4 s apart (rounds of about 0.4 s), the last one answered: its
    // PV at once, then SV and PV every round.
    const std::vector<std::uint16_t> expected{tecreg::kPv,        tecreg::kPv,        tecreg::kWorkingSv,
                                              tecreg::kWorkingSv, tecreg::kWorkingSv, tecreg::kWorkingSv,
                                              tecreg::kWorkingSv, tecreg::kPv,        tecreg::kWorkingSv};
    ASSERT_GT(asked.size(), expected.size());
    EXPECT_EQ(std::vector<std::uint16_t>(asked.begin(), asked.begin() + static_cast<long>(expected.size())), expected);
    const std::string said = "tecctl watch: address 2 offline after 3 ticks without an answer";
    ASSERT_NE(r.err.find(said), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(said, r.err.find(said) + 1), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("no answer from address 2 at tick 3\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("address 2 answers again at tick"), std::string::npos) << r.err;
    // JSON lines: one per answering controller per round.
    auto count = [&r](const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = r.out.find(what); at != std::string::npos; at = r.out.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("\"address\": 1,"), 40u);
    EXPECT_EQ(count("\"address\": 2,"), (asked.size() - 6) / 2);  // from the answered probe on
}

} // namespace
