#include "tecctl/options.h"

#include "core/controller.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tecctl {

const char* const kUsage =
    "Usage: tecctl [--port N|DEVICE] [--address A[,B...]] [--name A=NAME] [--baud B] [--simulate] [--json] [--round] COMMAND ...\n"
    "\n"
    "Drives temperature controllers from scripts and terminals: one command, then exit.\n"
    "\n"
    "Commands:\n"
    "  identify                         model code and identity low byte\n"
    "  scan [--range A-B]               look for controllers at addresses A to B (default 1-247):\n"
    "                                   reads each one's identity once, writes nothing\n"
    "  read                             the process value and every parameter of the read-all pass\n"
    "  get NAME...                      single values (pv, sv, alarm-high, pid2.p, unit, ...)\n"
    "  set NAME=VALUE...                write single parameters (only those named)\n"
    "  save FILE.prm                    read all parameters and save them to a parameter file\n"
    "  load FILE.prm                    check the file, write all of it, read everything back\n"
    "  program get [FILE.srp]           read the step program (and save it)\n"
    "  program put FILE.srp             write a step-program file to the controller\n"
    "  program run | stop | status      start, stop or look at the step program\n"
    "  function off|autotune|manual|pid switch the control function\n"
    "  output LEVEL                     manual output level in percent, -100 to 100\n"
    "  watch [--interval S] [--count N] [--log FILE.dat [--append|--overwrite]]\n"
    "                                   SV and PV, one line per tick, in the data-log format;\n"
    "                                   an existing non-empty log needs --append or --overwrite\n"
    "  raw HEX...                       one raw frame (6 bytes; the CRC is added), like the debug panel\n"
    "  serve [--http [ADDR:]PORT] [--mqtt HOST[:PORT]] [--log FILE.dat [--append|--overwrite]]\n"
    "        [--interval S]             poll, log and serve with no window until SIGINT or SIGTERM:\n"
    "                                   the web page and JSON API (127.0.0.1 unless ADDR is named),\n"
    "                                   MQTT state, availability and Home Assistant discovery\n"
    "\n"
    "names for get and set (pv only for get: the process value, read-only):\n"
    "  decimal-point sv alarm-high alarm-low output function\n"
    "  pidN.p pidN.i pidN.d pidN.t4 pidN.t5 (N 1..4) pidN.bound (N 1..3) sensor reg30 reg31\n"
    "  direction unit range-low range-high filter alarm-switch keypad band\n"
    "words for coded values (or their codes): function off|autotune|manual|pid (0 1 3 4),\n"
    "  unit C|F (0 1), direction normal|reversed (0 1), sensor thermocouple|pt100|thermistor (0 1 2)\n"
    "\n"
    "exit status: 0 done, 2 usage (also a value out of range: nothing written), 3 port cannot be\n"
    "opened (missing, not permitted, busy), 4 no answer, a short, garbled (bad CRC) or wrong\n"
    "answer, or another model code, 5 the controller refused (an exception answer), 6 a file\n"
    "is malformed or outside the controller's limits (nothing sent) or cannot be written,\n"
    "7 a signal stopped a step-program write part way (or a scan, or a command over several\n"
    "addresses before the last); scan: 0 found a controller, 4 none answered\n"
    "\n"
    "Options:\n"
    "  --port N|DEVICE   port number (as the program numbers them) or device path;\n"
    "                    without it, port, baud rate and address come from DftCom.prm\n"
    "  --address A       controller address, 1 to 255 (default 1, or DftCom.prm's); for identify,\n"
    "                    read, get and watch also several: a list and ranges of 1 to 247 (1,2,5 or 1-4)\n"
    "  --name A=NAME     a name for the controller at address A, shown beside its address\n"
    "                    (repeat for each; A must be among --address)\n"
    "  --baud B          baud rate (default 19200, or DftCom.prm's)\n"
    "  --simulate        use the built-in simulated controller\n"
    "  --json            one JSON document on standard output\n"
    "  --direct          never go through the server of a program that holds the port\n"
    "                    (without it, a port held by `tecctl serve` or the window program's\n"
    "                    server is reached through that server, and stderr says so)\n"
    "  --round           send a value finer than the decimal point allows rounded to the\n"
    "                    nearest it allows (without it such a value is refused)\n"
    "  --help, --version\n";

const char* const kProcessValueName = "pv";

namespace {

bool ParseLong(const std::string& s, long lo, long hi, long* out)
{
    if (s.empty() || s.size() > 12)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    errno = 0;
    const long v = std::strtol(s.c_str(), nullptr, 10);
    if (errno != 0 || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

bool ParseReal(const std::string& s, double* out)
{
    if (s.empty() || s.size() > 64)
        return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno == ERANGE || end != s.c_str() + s.size() || !std::isfinite(v))
        return false;
    // Hexadecimal floats, "inf" and "nan" are no operator's numbers.
    for (char c : s)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E'))
            return false;
    *out = v;
    return true;
}

constexpr std::size_t kMaxNameBytes = 64;

} // namespace

bool ParseAddressList(const std::string& text, std::vector<int>* out, std::string* error)
{
    const std::string usage = "--address wants a controller address from 1 to 255, or a list of addresses and "
                              "ranges from 1 to 247 (1,2,5 or 1-4), not \"" + text + "\"";
    long single = 0;
    if (ParseLong(text, 1, 255, &single)) {
        *out = {static_cast<int>(single)};
        return true;
    }
    std::vector<int> list;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::size_t dash = item.find('-');
        long lo = 0, hi = 0;
        const bool read = dash == std::string::npos
                              ? ParseLong(item, core::kFirstAddress, core::kLastAddress, &lo) && (hi = lo, true)
                              : ParseLong(item.substr(0, dash), core::kFirstAddress, core::kLastAddress, &lo) &&
                                    ParseLong(item.substr(dash + 1), core::kFirstAddress, core::kLastAddress, &hi);
        if (!read) {
            *error = usage;
            return false;
        }
        if (hi < lo) {
            *error = "--address: the range " + item + " runs backwards (" + std::to_string(hi) + "-" +
                     std::to_string(lo) + ")";
            return false;
        }
        for (long a = lo; a <= hi; ++a) {
            if (std::find(list.begin(), list.end(), a) != list.end()) {
                *error = "--address: address " + std::to_string(a) + " is given twice in \"" + text + "\"";
                return false;
            }
            list.push_back(static_cast<int>(a));
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    *out = std::move(list);
    return true;
}

std::string NameOf(const Options& o, int address)
{
    for (const auto& given : o.names)
        if (given.first == address)
            return given.second;
    return {};
}

bool ParseOptions(const std::vector<std::string>& args, Options* out, std::string* error)
{
    Options o;
    std::size_t i = 0;
    auto value = [&](const std::string& name, std::string* v) {
        if (i + 1 >= args.size()) {
            *error = name + " needs a value";
            return false;
        }
        *v = args[++i];
        return true;
    };
    // Options before the command.
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string v;
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--simulate") {
            o.simulate = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--round") {
            o.round = true;
        } else if (a == "--direct") {
            o.direct = true;
        } else if (a == "--port") {
            if (!value(a, &v))
                return false;
            long n = 0;
            if (ParseLong(v, 1, 65535, &n)) {
                o.portNumber = static_cast<int>(n);
            } else if (!v.empty() && v.find('/') != std::string::npos) {
                o.portDevice = v;
            } else {
                *error = "--port wants a port number (1 to 65535) or a device path, not \"" + v + "\"";
                return false;
            }
        } else if (a == "--address") {
            if (!value(a, &v))
                return false;
            // Given again, the last one counts, as for every option.
            if (!ParseAddressList(v, &o.addresses, error))
                return false;
            o.address = o.addresses.front();
        } else if (a == "--name") {
            if (!value(a, &v))
                return false;
            const std::size_t eq = v.find('=');
            long n = 0;
            if (eq == std::string::npos || !ParseLong(v.substr(0, eq), 1, 255, &n)) {
                *error = "--name wants ADDRESS=NAME (1=stage-A), not \"" + v + "\"";
                return false;
            }
            const std::string name = v.substr(eq + 1);
            if (name.empty() || name.size() > kMaxNameBytes) {
                *error = "--name " + v + ": a name is 1 to " + std::to_string(kMaxNameBytes) + " bytes";
                return false;
            }
            for (const auto& given : o.names)
                if (given.first == n) {
                    *error = "--name: address " + std::to_string(n) + " is named twice";
                    return false;
                }
            o.names.emplace_back(static_cast<int>(n), name);
        } else if (a == "--baud") {
            long n = 0;
            if (!value(a, &v))
                return false;
            if (!ParseLong(v, 50, 4000000, &n)) {
                *error = "--baud wants a baud rate from 50 to 4000000, not \"" + v + "\"";
                return false;
            }
            o.baud = n;
        } else if (a.rfind("-", 0) == 0) {
            *error = "unknown option " + a;
            return false;
        } else {
            break;
        }
    }
    if (o.help || o.version) {
        *out = o;
        return true;
    }
    for (const auto& given : o.names)
        if (std::find(o.addresses.begin(), o.addresses.end(), given.first) == o.addresses.end()) {
            *error = "--name " + std::to_string(given.first) + "=...: address " + std::to_string(given.first) +
                     (o.addresses.empty() ? " needs --address" : " is not among --address");
            return false;
        }
    if (i >= args.size()) {
        *error = "no command given";
        return false;
    }
    if (o.simulate && (o.portNumber || !o.portDevice.empty())) {
        *error = "--simulate and --port exclude each other";
        return false;
    }
    o.command = args[i++];
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if ((o.command == "set" || o.command == "output") && a == "--round") {
            o.round = true;
            continue;
        }
        if (o.command == "scan" && a == "--range") {
            std::string v;
            if (!value(a, &v))
                return false;
            const std::size_t dash = v.find('-');
            long lo = 0, hi = 0;
            if (!ParseLong(v.substr(0, dash), 1, 255, &lo) ||
                !ParseLong(dash == std::string::npos ? v : v.substr(dash + 1), 1, 255, &hi) || hi < lo) {
                *error = "scan: --range wants addresses A-B from 1 to 255, A not above B, not \"" + v + "\"";
                return false;
            }
            o.scanFirst = static_cast<int>(lo);
            o.scanLast = static_cast<int>(hi);
            continue;
        }
        if (o.command == "serve" && (a == "--http" || a == "--mqtt")) {
            std::string v;
            if (!value(a, &v))
                return false;
            (a == "--http" ? o.httpListen : o.mqttBroker) = v;
            continue;
        }
        if ((o.command == "watch" || (o.command == "serve" && a != "--count")) &&
            (a == "--interval" || a == "--count" || a == "--log" || a == "--append" || a == "--overwrite")) {
            std::string v;
            if (a == "--append") {
                o.append = true;
                continue;
            }
            if (a == "--overwrite") {
                o.overwrite = true;
                continue;
            }
            if (!value(a, &v))
                return false;
            if (a == "--interval") {
                if (!ParseReal(v, &o.interval) || o.interval < 0 || o.interval > 86400) {
                    *error = o.command + ": --interval wants seconds from 0 to 86400, not \"" + v + "\"";
                    return false;
                }
            } else if (a == "--count") {
                if (!ParseLong(v, 1, 1000000000, &o.count)) {
                    *error = "watch: --count wants a number of ticks from 1, not \"" + v + "\"";
                    return false;
                }
            } else {
                o.logPath = v;
            }
            continue;
        }
        o.args.push_back(a);
    }

    const std::string& c = o.command;
    const std::size_t n = o.args.size();
    bool ok = true;
    if (c == "identify" || c == "read" || c == "watch" || c == "scan" || c == "serve")
        ok = n == 0;
    else if (c == "get" || c == "set" || c == "raw")
        ok = n >= 1;
    else if (c == "save" || c == "load" || c == "function" || c == "output")
        ok = n == 1;
    else if (c == "program")
        ok = (n == 1 && (o.args[0] == "get" || o.args[0] == "run" || o.args[0] == "stop" || o.args[0] == "status")) ||
             (n == 2 && (o.args[0] == "get" || o.args[0] == "put"));
    else {
        *error = "unknown command \"" + c + "\"";
        return false;
    }
    if (!ok) {
        *error = c + ": wrong arguments";
        return false;
    }
    if (c == "serve" && o.httpListen.empty() && o.mqttBroker.empty() && o.logPath.empty()) {
        *error = "serve: give --http [ADDR:]PORT, --mqtt HOST[:PORT] or --log FILE.dat";
        return false;
    }
    if (SeveralControllers(o) && c != "identify" && c != "read" && c != "get" && c != "watch" && c != "serve") {
        *error = c + ": one controller at a time (several addresses are for identify, read, get, watch and serve)";
        return false;
    }
    if (o.append && o.logPath.empty()) {
        *error = c + ": --append needs --log FILE";
        return false;
    }
    if (o.overwrite && (o.logPath.empty() || o.append)) {
        *error = c + (o.append ? ": --append and --overwrite exclude each other" : ": --overwrite needs --log FILE");
        return false;
    }
    if (c == "get")
        for (const std::string& name : o.args)
            if (name != kProcessValueName && !tecreg::FindParameter(name)) {
                *error = "get: unknown parameter \"" + name + "\"";
                return false;
            }
    *out = o;
    return true;
}

namespace {

struct CodeWord {
    const char* word;
    int code;
};
struct WordList {
    const char* name;
    std::vector<CodeWord> words;
};

// The words the panel's selectors show, as scripts type them.
const std::vector<WordList>& Words()
{
    static const std::vector<WordList> kWords = {
        {"function", {{"off", 0}, {"autotune", 1}, {"manual", 3}, {"pid", 4}, {"program", 5}}},
        {"unit", {{"C", 0}, {"F", 1}}},
        {"direction", {{"normal", 0}, {"reversed", 1}}},
        {"sensor", {{"thermocouple", 0}, {"pt100", 1}, {"thermistor", 2}}},
    };
    return kWords;
}

const WordList* WordsOf(const std::string& name)
{
    for (const WordList& w : Words())
        if (name == w.name)
            return &w;
    return nullptr;
}

bool SameWord(const std::string& a, const char* b)
{
    const std::size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string Fixed(double v, int decimals)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

} // namespace

const char* WordForCode(const std::string& name, int code)
{
    if (const WordList* w = WordsOf(name))
        for (const CodeWord& cw : w->words)
            if (cw.code == code)
                return cw.word;
    return nullptr;
}

ValueRange RangeOf(const tecreg::NamedParameter& p)
{
    using tecreg::EncClass;
    ValueRange r;
    const std::string& n = p.name;
    if (n == "function")
        r.codes = {0, 1, 3, 4};  // 5 is the step program: `program run` starts it
    else if (n == "unit" || n == "direction" || n == "alarm-switch" || n == "keypad")
        r.codes = {0, 1};
    else if (n == "sensor")
        r.codes = {0, 1, 2};
    else if (n == "decimal-point")
        r.codes = {30, 31};
    else if (n == "output")
        r.lo = -100, r.hi = 100;  // the panel's output field: cooling to heating
    else if (n == "filter")
        r.lo = 0, r.hi = 9.9;
    else if (p.cls == EncClass::D)
        r.lo = -3276.8, r.hi = 3276.7;
    else if (p.cls == EncClass::B)
        r.lo = 0, r.hi = 255;
    else
        r.lo = -32768, r.hi = 32767;  // integers; temperatures also fit their register at the scale
    return r;
}

std::string DescribeRange(const tecreg::NamedParameter& p)
{
    const ValueRange r = RangeOf(p);
    if (r.codes.empty()) {
        const int decimals = p.cls == tecreg::EncClass::D ? 1 : 0;
        const std::string unit = std::string(p.unit) == "temperature" ? "" : p.unit;
        return Fixed(r.lo, decimals) + " to " + Fixed(r.hi, decimals) + (unit.empty() ? "" : " " + unit);
    }
    std::string text;
    for (std::size_t i = 0; i < r.codes.size(); ++i) {
        if (i)
            text += i + 1 == r.codes.size() ? " or " : ", ";
        const char* word = WordForCode(p.name, r.codes[i]);
        if (word)
            text += std::string(word) + " (" + std::to_string(r.codes[i]) + ")";
        else if (p.name == "decimal-point")
            text += std::to_string(r.codes[i]) + (r.codes[i] == 30 ? " (whole units)" : " (tenths)");
        else
            text += std::to_string(r.codes[i]);
    }
    return text;
}

bool ParseAssignment(const std::string& text, Assignment* out, std::string* error)
{
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos) {
        *error = "\"" + text + "\" is not NAME=VALUE";
        return false;
    }
    const std::string name = text.substr(0, eq);
    const std::string v = text.substr(eq + 1);
    if (name == kProcessValueName) {
        *error = "pv is the process value the controller measures: it can be read, not set";
        return false;
    }
    const tecreg::NamedParameter* p = tecreg::FindParameter(name);
    if (!p) {
        *error = "unknown parameter \"" + name + "\"";
        return false;
    }
    double value = 0;
    bool named = false;
    if (const WordList* w = WordsOf(name))
        for (const CodeWord& cw : w->words)
            if (SameWord(v, cw.word)) {
                value = cw.code;
                named = true;
            }
    if (!named && !ParseReal(v, &value)) {
        *error = WordsOf(name) ? text + ": " + name + " takes " + DescribeRange(*p)
                               : name + ": \"" + v + "\" is not a number";
        return false;
    }
    if ((p->cls == tecreg::EncClass::I || p->cls == tecreg::EncClass::B) && value != std::floor(value)) {
        *error = name + ": wants a whole number, not " + v;
        return false;
    }
    const ValueRange r = RangeOf(*p);
    const bool inRange = r.codes.empty()
                             ? value >= r.lo && value <= r.hi
                             : std::fabs(value) <= 32767 &&
                                   std::find(r.codes.begin(), r.codes.end(), static_cast<int>(value)) != r.codes.end();
    if (!inRange) {
        *error = text + ": " + (name == "function" && value == 5 ? "the step program is started with \"program run\"; "
                                                                 : "out of range; ") +
                 name + " takes " + DescribeRange(*p);
        return false;
    }
    out->param = p;
    out->value = value;
    out->text = text;
    return true;
}

bool ParseFunction(const std::string& text, int* code, std::string* error)
{
    Assignment a;
    std::string why;
    if (!ParseAssignment("function=" + text, &a, &why)) {
        if (error)
            *error = why;
        return false;
    }
    *code = static_cast<int>(a.value);
    return true;
}

bool CheckResolution(const Assignment& a, float tempScale, bool round, double* sent, std::string* error)
{
    using tecreg::EncClass;
    const EncClass cls = a.param->cls;
    const double steps = cls == EncClass::T ? tempScale : cls == EncClass::D ? 10.0 : 1.0;
    const double x = a.value * steps;
    const double nearest = std::round(x);
    // Within a hair of a step is on it: 37.5 * 10 need not be exactly 375.0.
    if (std::fabs(x - nearest) <= 1e-6 * std::max(1.0, std::fabs(x))) {
        *sent = nearest / steps;
        return true;
    }
    if (round) {
        *sent = nearest / steps;  // std::round: halves away from zero
        return true;
    }
    const int decimals = steps == 1.0 ? 0 : 1;
    *error = a.text + ": finer than " + (cls == EncClass::T ? "the decimal point allows" : "tenths allow") +
             "; nearest " + Fixed(std::floor(x) / steps, decimals) + " or " + Fixed(std::ceil(x) / steps, decimals);
    return false;
}

ProgramState DescribeRunStatus(int runMode, int segmentCode)
{
    ProgramState ps;
    char line[160];
    if (runMode == 0) {
        ps.state = "idle";
        ps.text = "step program not running";
        return ps;
    }
    if (runMode != 5) {
        ps.state = "unknown";
        std::snprintf(line, sizeof line, "step program state unknown (run mode %d, segment code %d)", runMode,
                      segmentCode);
        ps.text = line;
        return ps;
    }
    ps.running = true;
    ps.state = "running";
    const int index = segmentCode / 15;  // as the script panel's indicators take it
    if (segmentCode < 0 || index >= 16) {
        std::snprintf(line, sizeof line, "step program running (segment code %d names no step)", segmentCode);
        ps.text = line;
        return ps;
    }
    ps.segment = index + 1;
    ps.step = index / 2 + 1;
    ps.half = index % 2 + 1;
    std::snprintf(line, sizeof line, "step program running: step %d of 8, segment %d of 16 (%s half of the step)",
                  ps.step, ps.segment, ps.half == 1 ? "first" : "second");
    ps.text = line;
    return ps;
}

bool ParseRawFrame(const std::vector<std::string>& words, std::uint8_t frame[6], std::string* error)
{
    std::vector<std::uint8_t> bytes;
    for (std::string w : words) {
        if (w.rfind("0x", 0) == 0 || w.rfind("0X", 0) == 0)
            w = w.substr(2);
        if (w.size() != 2 || !std::isxdigit(static_cast<unsigned char>(w[0])) ||
            !std::isxdigit(static_cast<unsigned char>(w[1]))) {
            *error = "raw: \"" + w + "\" is not a byte in hex";
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(std::strtoul(w.c_str(), nullptr, 16)));
    }
    if (bytes.size() != 6 && bytes.size() != 8) {
        *error = "raw: a frame is 6 bytes (address, function, register, value) or 8 with its CRC";
        return false;
    }
    for (int k = 0; k < 6; ++k)
        frame[k] = bytes[static_cast<std::size_t>(k)];
    return true;
}

} // namespace tecctl
