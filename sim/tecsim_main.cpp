// tecsim: simulated TE controllers on a pseudo-terminal. Prints
// "tecsim: <slave path>" and serves requests until SIGINT or SIGTERM.
#include "sim/controller.h"
#include "sim/multidrop.h"
#include "sim/pty_server.h"
#include "sim/steady_clock.h"

#include <algorithm>
#include <csignal>
#include <sstream>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <functional>
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
    "Serves simulated TE controllers on a pseudo-terminal and prints its path.\n"
    "Several addresses share the terminal as controllers share an RS-485 line:\n"
    "each answers only requests to its address; requests to others go unanswered.\n"
    "\n"
    "Options:\n"
    "  --address LIST      controller addresses, 1..255 (default 1)\n"
    "  --addresses LIST    the same: addresses and ranges, e.g. 1,2,5 or 1-4\n"
    "  --model [A:]CODE    model code, high byte of register 0x1F00 (default 0xF1)\n"
    "  --ident-low [A:]N   low byte of register 0x1F00 (default 0x23)\n"
    "  --speed X           plant time runs X times faster than real time, up to 1000\n"
    "                      (default 1)\n"
    "  --baud N            baud rate for --wire-time (default 19200)\n"
    "  --wire-time         answer only after the wire time of request and answer;\n"
    "                      the line is shared: answers take it one after another\n"
    "  --fault [A:]KIND    a fault of the controllers at A (all without A), one of\n"
    "                      silent, late=S, short=N, bad-crc, exception=CODE,\n"
    "                      five-byte-exception, standard-read, address=N (answers\n"
    "                      carry address N), none (clears A's faults); or echo, a\n"
    "                      fault of the line (no A): the adapter echoes each\n"
    "                      request before the answer. Repeatable\n"
    "  --silent            never answer (every address)\n"
    "  --bad-crc           answer with a wrong CRC (every address)\n"
    "  --short N           answer N bytes short (every address)\n"
    "  --standard-read     answer reads in the standard Modbus form, without the\n"
    "                      two extra bytes (7 bytes for one register; every address)\n"
    "  --delay S           answer S seconds late (every address)\n"
    "  --exception CODE    refuse every request with this code (every address)\n"
    "  --five-byte-exception  refusals in the standard 5-byte form (every address)\n"
    "  --seed N            sensor noise seed (the next address gets N+1, ...)\n"
    "  --set [A:]REG=VALUE set a register before serving (0x... hex or decimal,\n"
    "                      negative allowed; repeatable); 0x1000 moves the process value\n"
    "  --link PATH         make PATH a symbolic link to the terminal (removed at exit)\n"
    "  --log FILE          traffic log, one frame a line: seconds, rx, tx, echo or lost\n"
    "                      (an answer nobody took), hex bytes\n"
    "  --commands          read commands from standard input while serving, one a\n"
    "                      line: fault [A:]KIND (as --fault; none clears), e.g.\n"
    "                      \"fault 2:silent\" then \"fault 2:none\"\n"
    "  --help              this text\n"
    "A is an address or a list of them as for --addresses; each must be served.\n"
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

bool ParseLong(const std::string& text, long lo, long hi, long* out)
{
    return ParseLong(text.c_str(), out) && *out >= lo && *out <= hi;
}

bool ParseDouble(const char* text, double* out)
{
    if (!text || !*text)
        return false;
    char* end = nullptr;
    *out = std::strtod(text, &end);
    return *end == '\0';
}

// "1,2,5", "1-4", "1-3,7": addresses 1..255, each once, in rising order.
bool ParseAddresses(const std::string& text, std::vector<std::uint8_t>* out)
{
    std::vector<std::uint8_t> list;
    std::size_t from = 0;
    while (from <= text.size()) {
        std::size_t comma = text.find(',', from);
        if (comma == std::string::npos)
            comma = text.size();
        const std::string item = text.substr(from, comma - from);
        const std::size_t dash = item.find('-', 1);
        long lo = 0, hi = 0;
        if (dash == std::string::npos) {
            if (!ParseLong(item, 1, 255, &lo))
                return false;
            hi = lo;
        } else if (!ParseLong(item.substr(0, dash), 1, 255, &lo) || !ParseLong(item.substr(dash + 1), 1, 255, &hi) ||
                   hi < lo) {
            return false;
        }
        for (long a = lo; a <= hi; ++a)
            list.push_back(static_cast<std::uint8_t>(a));
        from = comma + 1;
    }
    std::sort(list.begin(), list.end());
    if (list.empty() || std::adjacent_find(list.begin(), list.end()) != list.end())
        return false;
    *out = std::move(list);
    return true;
}

// A value with an optional address qualifier "A:" in front.
struct Qualified {
    std::vector<std::uint8_t> addresses;  // empty: every address
    std::string value;
};

bool SplitQualifier(const char* text, Qualified* out)
{
    if (!text)
        return false;
    const std::string s = text;
    const std::size_t colon = s.find(':');
    out->addresses.clear();
    out->value = s;
    if (colon == std::string::npos)
        return true;
    out->value = s.substr(colon + 1);
    return ParseAddresses(s.substr(0, colon), &out->addresses);
}

// Applies one --fault KIND to a controller's faults. False for a kind or
// value it does not know.
bool ApplyFault(const std::string& spec, sim::Faults* f)
{
    const std::size_t eq = spec.find('=');
    const std::string kind = spec.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : spec.substr(eq + 1);
    const bool hasValue = eq != std::string::npos;
    long n = 0;
    double x = 0;
    if (kind == "silent" && !hasValue)
        f->silent = true;
    else if (kind == "bad-crc" && !hasValue)
        f->badCrc = true;
    else if (kind == "five-byte-exception" && !hasValue)
        f->fiveByteException = true;
    else if (kind == "standard-read" && !hasValue)
        f->standardReadAnswer = true;
    else if (kind == "none" && !hasValue)
        *f = sim::Faults{};
    else if (kind == "short" && ParseLong(value, 0, 255, &n))
        f->shortBy = static_cast<int>(n);
    else if (kind == "exception" && ParseLong(value, 1, 255, &n))
        f->exceptionCode = static_cast<int>(n);
    else if (kind == "address" && ParseLong(value, 0, 255, &n))
        f->answerAddress = static_cast<int>(n);
    else if (kind == "late" && ParseDouble(value.c_str(), &x) && x >= 0 && x <= 3600)
        f->extraDelay = x;
    else
        return false;
    return true;
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
    sim::ServeOptions serve;
    bool wireTime = false;
    bool commands = false;
    auto line = std::make_shared<sim::LineFaults>();
    std::vector<std::uint8_t> addresses{1};
    std::string linkPath;
    // What is given per address is applied once the addresses are known, in
    // the order given: to the configuration before the controllers are made,
    // then to the controllers.
    using ConfigStep = std::pair<std::vector<std::uint8_t>, std::function<void(sim::Config&)>>;
    using ControllerStep = std::pair<std::vector<std::uint8_t>, std::function<void(sim::Controller&)>>;
    std::vector<ConfigStep> configSteps;
    std::vector<ControllerStep> steps;
    auto everyAddress = [&steps](std::function<void(sim::Faults&)> change) {
        steps.push_back({{}, [change](sim::Controller& c) { change(c.faults()); }});
    };

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
        Qualified q;
        if (a == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (a == "--address" || a == "--addresses") {
            // 0 is the broadcast address, never answered
            if (!v || !ParseAddresses(v, &addresses))
                return Fail(a + " needs addresses 1..255, each once (e.g. 1,2,5 or 1-4)");
            ++i;
        } else if (a == "--model" || a == "--ident-low") {
            if (!SplitQualifier(v, &q) || !ParseLong(q.value, 0, 255, &n))
                return Fail(a + " needs [A:]0..255");
            const auto byte = static_cast<std::uint8_t>(n);
            if (a == "--model")
                configSteps.push_back({q.addresses, [byte](sim::Config& c) { c.modelCode = byte; }});
            else
                configSteps.push_back({q.addresses, [byte](sim::Config& c) { c.identLow = byte; }});
            ++i;
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
        } else if (a == "--commands") {
            commands = true;
        } else if (a == "--wire-time") {
            wireTime = true;
        } else if (a == "--fault") {
            if (v && std::string(v) == "echo") {
                line->echo = true;
            } else {
                sim::Faults probe;
                if (!SplitQualifier(v, &q) || !ApplyFault(q.value, &probe))
                    return Fail("--fault needs [A:]KIND: silent, late=S, short=N, bad-crc, exception=CODE, "
                                "five-byte-exception, standard-read, address=N, none; or echo");
                const std::string spec = q.value;
                steps.push_back({q.addresses, [spec](sim::Controller& c) { ApplyFault(spec, &c.faults()); }});
            }
            ++i;
        } else if (a == "--silent") {
            everyAddress([](sim::Faults& f) { f.silent = true; });
        } else if (a == "--bad-crc") {
            everyAddress([](sim::Faults& f) { f.badCrc = true; });
        } else if (a == "--short") {
            if (!needLong(0, 255))
                return Fail("--short needs 0..255");
            everyAddress([n](sim::Faults& f) { f.shortBy = static_cast<int>(n); });
        } else if (a == "--standard-read") {
            everyAddress([](sim::Faults& f) { f.standardReadAnswer = true; });
        } else if (a == "--delay") {
            if (!ParseDouble(v, &x) || !(x >= 0 && x <= 3600))
                return Fail("--delay needs seconds, 0..3600");
            everyAddress([x](sim::Faults& f) { f.extraDelay = x; });
            ++i;
        } else if (a == "--exception") {
            if (!needLong(1, 255))
                return Fail("--exception needs 1..255");
            everyAddress([n](sim::Faults& f) { f.exceptionCode = static_cast<int>(n); });
        } else if (a == "--five-byte-exception") {
            everyAddress([](sim::Faults& f) { f.fiveByteException = true; });
        } else if (a == "--seed") {
            if (!needLong(0, 0x7FFFFFFF))
                return Fail("--seed needs a number");
            config.seed = static_cast<std::uint32_t>(n);
        } else if (a == "--set") {
            const bool qualified = SplitQualifier(v, &q);
            const std::size_t eq = q.value.find('=');
            long r = 0, value = 0;
            if (!qualified || eq == std::string::npos || !ParseLong(q.value.substr(0, eq).c_str(), &r) ||
                !ParseLong(q.value.substr(eq + 1).c_str(), &value) || r < 0 || r > 0xFFFF || value < -32768 ||
                value > 0xFFFF)
                return Fail("--set needs [A:]REG=VALUE");
            steps.push_back({q.addresses, [r, value](sim::Controller& c) {
                                 c.setReg(static_cast<std::uint16_t>(r), static_cast<std::uint16_t>(value & 0xFFFF));
                             }});
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
    auto applies = [](const std::vector<std::uint8_t>& targets, std::uint8_t address) {
        return targets.empty() || std::find(targets.begin(), targets.end(), address) != targets.end();
    };
    auto unserved = [&addresses](const std::vector<std::uint8_t>& targets) -> int {
        for (std::uint8_t t : targets)
            if (std::find(addresses.begin(), addresses.end(), t) == addresses.end())
                return t;
        return 0;
    };
    for (const auto& step : configSteps)
        if (const int t = unserved(step.first))
            return Fail("address " + std::to_string(t) + " is named but not served (see --addresses)");
    for (const auto& step : steps)
        if (const int t = unserved(step.first))
            return Fail("address " + std::to_string(t) + " is named but not served (see --addresses)");

    sim::SteadyClock clock;
    // tecsim times the wire itself, from the first byte of each request.
    config.emulateWireTime = false;
    config.requestRecordLimit = 0;  // nobody asks; the traffic log is --log
    std::vector<std::shared_ptr<sim::Controller>> controllers;
    for (std::size_t k = 0; k < addresses.size(); ++k) {
        sim::Config own = config;
        own.address = addresses[k];
        own.seed = config.seed + static_cast<std::uint32_t>(k);
        for (const auto& [targets, step] : configSteps)
            if (applies(targets, own.address))
                step(own);
        controllers.push_back(std::make_shared<sim::Controller>(clock, own));
    }
    for (const auto& [targets, step] : steps)
        for (const auto& c : controllers)
            if (applies(targets, c->config().address))
                step(*c);
    sim::Multidrop bus(controllers, line, wireTime ? config.baudRate : 0);

    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, nullptr);
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    if (commands) {
        // "fault [A:]KIND" while serving: a controller's answers pulled and
        // given back while a client polls.
        serve.commandFd = 0;
        serve.onCommand = [&](const std::string& text) {
            std::istringstream in(text);
            std::string word, spec, extra;
            in >> word >> spec >> extra;
            if (word.empty())
                return;
            Qualified q;
            sim::Faults probe;
            if (word != "fault" || spec.empty() || !extra.empty()) {
                std::fprintf(stderr, "tecsim: not a command: %s (fault [A:]KIND)\n", text.c_str());
            } else if (spec == "echo" || spec == "no-echo") {
                line->echo = spec == "echo";
                std::fprintf(stderr, "tecsim: fault %s taken\n", spec.c_str());
            } else if (!SplitQualifier(spec.c_str(), &q) || !ApplyFault(q.value, &probe)) {
                std::fprintf(stderr, "tecsim: not a fault: %s\n", spec.c_str());
            } else if (const int t = unserved(q.addresses)) {
                std::fprintf(stderr, "tecsim: address %d is not served\n", t);
            } else {
                for (const auto& c : controllers)
                    if (applies(q.addresses, c->config().address))
                        ApplyFault(q.value, &c->faults());
                if (q.value == "none" && q.addresses.empty())
                    line->echo = false;
                std::fprintf(stderr, "tecsim: fault %s taken\n", spec.c_str());
            }
            std::fflush(stderr);
        };
    }
    sim::PtyServer server(bus, clock, serve);
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
