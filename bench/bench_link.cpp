// The link against tecsim with wire-time emulation over a pseudo-terminal:
// identification and a run of one-register reads, measured against the
// protocol floor; and the program's time to show its main panel.
#include "link/transact.h"
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
    constexpr int kReads = 20;

    bench::SimProcess sim;
    std::string error;
    if (!sim.start({"--wire-time", "--baud", std::to_string(kBaud)}, &error)) {
        std::fprintf(stderr, "bench_link: %s\n", error.c_str());
        return 1;
    }
    bench::BenchApp b(1, sim.device(), false);
    App& app = b.app;
    if (!b.openLink(kBaud)) {
        std::fprintf(stderr, "bench_link: cannot open %s\n", sim.device().c_str());
        return 1;
    }
    std::printf("bench_link: tecsim --wire-time --baud %d on %s\n", kBaud, sim.device().c_str());

    const double txFloor = bench::TransactionFloor(comlink::kPostWriteDelay, 8, kBaud);
    int failures = 0;
    comlink::Answer ident;
    const double tIdent = bench::TimeIt([&] {
        comlink::SequencePreamble(app.bus);
        ident = comlink::Transact(app.bus, comlink::ReadFrame(1, 0x1F00, 1), 8);
    });
    failures += ident.good() ? 0 : 1;
    const double rIdent = bench::Report("identification (preamble + 1 read)", tIdent, comlink::kPreambleDelay + txFloor);

    const double tReads = bench::TimeIt([&] {
        comlink::SequencePreamble(app.bus);
        for (int i = 0; i < kReads; ++i)
            failures += comlink::Transact(app.bus, comlink::ReadFrame(1, 0x1000, 1), 8).good() ? 0 : 1;
    });
    const double rReads = bench::Report("20 one-register reads (preamble + 20)", tReads,
                                        comlink::kPreambleDelay + kReads * txFloor);
    b.rt.CloseCom(1);
    sim.stop();

    // Start-up time of the real program, offscreen.
    const std::string cmd = "QT_QPA_PLATFORM=offscreen '" + bench::BinDir() + "/tecontrol' --startup-probe 2>&1";
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, p))
            std::printf("tecontrol %s", line);
        ::pclose(p);
    }
    if (failures)
        std::printf("bench_link: %d answers were not good\n", failures);
    return (rIdent <= 1.03 && rReads <= 1.03 && failures == 0) ? 0 : 2;
}
