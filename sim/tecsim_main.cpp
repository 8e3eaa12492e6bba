// tecsim: the simulated TE controller on a pseudo-terminal. Prints
// "tecsim: <slave path>" and serves requests until SIGINT or SIGTERM.
#include "sim/controller.h"
#include "sim/pty_server.h"
#include "sim/steady_clock.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int)
{
    g_stop = 1;
}

const char* USAGE =
    "Usage: tecsim [options]\n"
    "Serves a simulated TE controller on a pseudo-terminal and prints its path.\n"
    "\n"
    "Options:\n"
    "  --address N         controller address, 1..255 (default 1)\n"
    "  --model CODE        model code, high byte of register 0x1F00 (default 0xF1)\n"
    "  --ident-low N       low byte of register 0x1F00 (default 0x23)\n"
    "  --speed X           plant time runs X times faster than real time, up to 1000\n"
    "                      (default 1)\n"
    "  --baud N            baud rate for --wire-time (default 19200)\n"
    "  --wire-time         answer only after the wire time of request and answer\n"
    "  --silent            never answer\n"
    "  --bad-crc           answer with a wrong CRC\n"
    "  --short N           answer N bytes short\n"
    "  --standard-read     answer reads in the standard Modbus form, without the\n"
    "                      two extra bytes (7 bytes for one register)\n"
    "  --delay S           answer S seconds late\n"
    "  --exception CODE    refuse every request with this exception code\n"
    "  --five-byte-exception  refusals in the standard 5-byte form\n"
    "  --seed N            sensor noise seed\n"
    "  --set REG=VALUE     set a register before serving (0x... hex or decimal,\n"
    "                      negative allowed; repeatable); 0x1000 moves the process value\n"
    "  --link PATH         make PATH a symbolic link to the terminal (removed at exit)\n"
    "  --log FILE          traffic log, one frame a line: seconds, rx, tx or lost\n"
    "                      (an answer nobody took), hex bytes\n"
    "  --help              this text\n"
    "Exit status: 0 after SIGINT or SIGTERM, 1 when the terminal cannot be made,\n"
    "2 for a bad option.\n";

constexpr double MAX_SPEED = 1000.0;

// Hexadecimal with 0x, decimal otherwise: a leading zero does not make octal.
bool ParseLong(const char* text, long* out)
{
    if (!text || !*text)
        return false;
    const char* digits = (*text == '-' || *text == '+') ? text + 1 : text;
    const int base = (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) ? 16 : 10;
    char* end = nullptr;
    errno = 0;
    *out = std::strtol(text, &end, base);
    return end != text && *end == '\0' && errno == 0;
}

bool ParseDouble(const char* text, double* out)
{
    if (!text || !*text)
        return false;
    char* end = nullptr;
    *out = std::strtod(text, &end);
    return *end == '\0';
}

int Fail(const std::string& message)
{
    std::fprintf(stderr, "tecsim: %s\n%s", message.c_str(), USAGE);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    sim::Config config;
    sim::Faults faults;
    sim::ServeOptions serve;
    std::string linkPath;
    std::vector<std::pair<long, long>> sets;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        long n = 0;
        double x = 0;
        auto needLong = [&](long lo, long hi) {
            if (!ParseLong(v, &n) || n < lo || n > hi)
                return false;
            ++i;
            return true;
        };
        if (a == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (a == "--address") {
            if (!needLong(1, 255))  // 0 is the broadcast address, never answered
                return Fail("--address needs 1..255");
            config.address = static_cast<std::uint8_t>(n);
        } else if (a == "--model") {
            if (!needLong(0, 255))
                return Fail("--model needs 0..255");
            config.modelCode = static_cast<std::uint8_t>(n);
        } else if (a == "--ident-low") {
            if (!needLong(0, 255))
                return Fail("--ident-low needs 0..255");
            config.identLow = static_cast<std::uint8_t>(n);
        } else if (a == "--speed") {
            // Plant time is stepped in tenths of a second: a factor without bound
            // (or inf) would keep the server stepping for ever.
            if (!ParseDouble(v, &x) || !(x > 0 && x <= MAX_SPEED))
                return Fail("--speed needs a number above 0, at most 1000");
            config.speed = x;
            ++i;
        } else if (a == "--baud") {
            if (!needLong(1, 4000000))
                return Fail("--baud needs a positive number");
            config.baudRate = static_cast<int>(n);
        } else if (a == "--wire-time") {
            serve.wireTime = true;
        } else if (a == "--silent") {
            faults.silent = true;
        } else if (a == "--bad-crc") {
            faults.badCrc = true;
        } else if (a == "--short") {
            if (!needLong(0, 255))
                return Fail("--short needs 0..255");
            faults.shortBy = static_cast<int>(n);
        } else if (a == "--standard-read") {
            faults.standardReadAnswer = true;
        } else if (a == "--delay") {
            if (!ParseDouble(v, &x) || !(x >= 0 && x <= 3600))
                return Fail("--delay needs seconds, 0..3600");
            faults.extraDelay = x;
            ++i;
        } else if (a == "--exception") {
            if (!needLong(1, 255))
                return Fail("--exception needs 1..255");
            faults.exceptionCode = static_cast<int>(n);
        } else if (a == "--five-byte-exception") {
            faults.fiveByteException = true;
        } else if (a == "--seed") {
            if (!needLong(0, 0x7FFFFFFF))
                return Fail("--seed needs a number");
            config.seed = static_cast<std::uint32_t>(n);
        } else if (a == "--set") {
            const char* eq = v ? std::strchr(v, '=') : nullptr;
            long r = 0, value = 0;
            if (!eq || !ParseLong(std::string(v, eq).c_str(), &r) || !ParseLong(eq + 1, &value) || r < 0 || r > 0xFFFF
                || value < -32768 || value > 0xFFFF)
                return Fail("--set needs REG=VALUE");
            sets.emplace_back(r, value);
            ++i;
        } else if (a == "--link") {
            if (!v)
                return Fail("--link needs a path");
            linkPath = v;
            ++i;
        } else if (a == "--log") {
            if (!v)
                return Fail("--log needs a file");
            serve.logPath = v;
            ++i;
        } else {
            return Fail("unknown option " + a);
        }
    }
    serve.baudRate = config.baudRate;

    sim::SteadyClock clock;
    // tecsim times the wire itself, from the first byte of each request.
    config.emulateWireTime = false;
    config.requestRecordLimit = 0;  // nobody asks; the traffic log is --log
    sim::Controller controller(clock, config);
    for (const auto& [r, value] : sets)
        controller.setReg(static_cast<std::uint16_t>(r), static_cast<std::uint16_t>(value & 0xFFFF));
    controller.faults() = faults;

    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, nullptr);
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    sim::PtyServer server(controller, clock, serve);
    std::string error;
    if (!server.open(&error)) {
        std::fprintf(stderr, "tecsim: %s\n", error.c_str());
        return 1;
    }
    if (!linkPath.empty()) {
        ::unlink(linkPath.c_str());
        if (::symlink(server.slavePath().c_str(), linkPath.c_str()) != 0) {
            std::fprintf(stderr, "tecsim: cannot link %s: %s\n", linkPath.c_str(), std::strerror(errno));
            return 1;
        }
    }
    std::printf("tecsim: %s\n", server.slavePath().c_str());
    std::fflush(stdout);

    const int rc = server.serve(&g_stop);
    if (!linkPath.empty())
        ::unlink(linkPath.c_str());
    return rc;
}
