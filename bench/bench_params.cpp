// The read-all, write-all and PID update passes against tecsim with wire-time emulation
// over a pseudo-terminal, measured against the protocol floor: each
// transaction costs its post-write delay or its wire time, whichever is longer.
#include "formats/param_format.h"
#include "link/transact.h"
#include "params/params.h"
#include "support/bench_support.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication qtApp(argc, argv);
    constexpr int kBaud = 19200;

    bench::SimProcess sim;
    std::string error;
    if (!sim.start({"--wire-time", "--baud", std::to_string(kBaud)}, &error)) {
        std::fprintf(stderr, "bench_params: %s\n", error.c_str());
        return 1;
    }
    bench::BenchApp b(1, sim.device(), true);
    App& app = b.app;
    if (!b.openLink(kBaud)) {
        std::fprintf(stderr, "bench_params: cannot open %s\n", sim.device().c_str());
        return 1;
    }
    std::printf("bench_params: tecsim --wire-time --baud %d on %s\n", kBaud, sim.device().c_str());

    auto tx = [](int answerBytes) { return bench::TransactionFloor(comlink::kPostWriteDelay, answerBytes, kBaud); };
    // The alarm switch adds a status read (after a 0.01 s wait) when it is on.
    auto switchFloor = [&](bool on) {
        return 4 * tx(8) + (on ? comlink::kShortPreambleDelay + tx(8) : 0.0);
    };

    bool readOk = false;
    const double tRead = bench::TimeIt([&] { readOk = params::ReadAllParameters(app); });
    const double readFloor = comlink::kPreambleDelay + 16 * tx(8) + 3 * tx(18) + tx(16) +
                             switchFloor(app.params.alarmWatch != 0);
    const double rRead = bench::Report("read-all pass (20 reads + alarm switch)", tRead, readFloor);

    bool writeOk = false;
    const double tWrite = bench::TimeIt([&] { writeOk = params::WriteAllParameters(app); });
    const double writeFloor = comlink::kPreambleDelay + 33 * tx(8) + switchFloor(app.params.alarmWatch != 0);
    const double rWrite = bench::Report("write-all pass (33 writes + alarm switch)", tWrite, writeFloor);

    // The PID update: preamble, 23 writes, and the closing flush and wait.
    const double tPid = bench::TimeIt(
        [&] { updatePID(app, app.panels.parm, PARM_PID_UPDATE, rt::EVENT_COMMIT, nullptr, 0, 0); });
    const double pidFloor = comlink::kPreambleDelay + 23 * tx(8) + comlink::kPreambleDelay;
    const double rPid = bench::Report("PID update (23 writes)", tPid, pidFloor);

    b.rt.CloseCom(1);
    sim.stop();

    // The file text form: format and parse, no floor (pure computation).
    constexpr int kRounds = 20000;
    std::string line;
    ParameterSet parsed;
    int bad = 0;
    const double tFile = bench::TimeIt([&] {
        for (int i = 0; i < kRounds; ++i) {
            line = params::FormatParameterFile(app.params);
            params::ParseParameterFile(line, app.params, &parsed, &bad, nullptr);
        }
    });
    std::printf("parameter file format + parse: %.2f us each\n", tFile / kRounds * 1e6);

    if (!readOk || !writeOk)
        std::printf("bench_params: a pass did not complete (read %d, write %d)\n", readOk, writeOk);
    return (rRead <= 1.03 && rWrite <= 1.03 && rPid <= 1.03 && readOk && writeOk) ? 0 : 2;
}
