#include "tecctl/options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace tecctl {

const char* const kUsage =
    "usage: tecctl [--port N|DEVICE] [--address A] [--baud B] [--simulate] [--json] COMMAND ...\n"
    "\n"
    "Drives one temperature controller from scripts and terminals: one command, then exit.\n"
    "\n"
    "commands:\n"
    "  identify                         model code and identity low byte\n"
    "  read                             every parameter of the read-all pass\n"
    "  get NAME...                      single parameters (sv, alarm-high, pid2.p, unit, ...)\n"
    "  set NAME=VALUE...                write single parameters (only those named)\n"
    "  save FILE.prm                    read all parameters and save them to a parameter file\n"
    "  load FILE.prm                    check the file, write all of it, read everything back\n"
    "  program get [FILE.srp]           read the step program (and save it)\n"
    "  program put FILE.srp             write a step-program file to the controller\n"
    "  program run | stop | status      start, stop or look at the step program\n"
    "  function off|autotune|manual|pid switch the control function\n"
    "  output LEVEL                     manual output level in percent\n"
    "  watch [--interval S] [--count N] [--log FILE.dat [--append]]\n"
    "                                   SV and PV, one line per tick, in the data-log format\n"
    "  raw HEX...                       one raw frame (6 bytes; the CRC is added), like the debug panel\n"
    "\n"
    "options:\n"
    "  --port N|DEVICE   port number (as the program numbers them) or device path;\n"
    "                    without it, port, baud rate and address come from DftCom.prm\n"
    "  --address A       controller address, 1 to 255 (default 1, or DftCom.prm's)\n"
    "  --baud B          baud rate (default 19200, or DftCom.prm's)\n"
    "  --simulate        use the built-in simulated controller\n"
    "  --json            one JSON document on standard output\n"
    "  --help, --version\n"
    "\n"
    "names for get and set: decimal-point sv alarm-high alarm-low output function\n"
    "  pidN.p pidN.i pidN.d pidN.t4 pidN.t5 (N 1..4) pidN.bound (N 1..3) sensor reg30 reg31\n"
    "  direction unit range-low range-high filter alarm-switch keypad band\n"
    "\n"
    "exit status: 0 done, 2 usage, 3 port cannot be opened, 4 no answer or identification\n"
    "refused, 5 the controller refused a value, 6 a file is malformed or outside the controller's\n"
    "limits (nothing sent), 7 a signal stopped a step-program write part way\n";

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

} // namespace

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
            long n = 0;
            if (!value(a, &v))
                return false;
            if (!ParseLong(v, 1, 255, &n)) {
                *error = "--address wants a controller address from 1 to 255, not \"" + v + "\"";
                return false;
            }
            o.address = static_cast<int>(n);
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
        if (o.command == "watch" && (a == "--interval" || a == "--count" || a == "--log" || a == "--append")) {
            std::string v;
            if (a == "--append") {
                o.append = true;
                continue;
            }
            if (!value(a, &v))
                return false;
            if (a == "--interval") {
                if (!ParseReal(v, &o.interval) || o.interval < 0 || o.interval > 86400) {
                    *error = "watch: --interval wants seconds from 0 to 86400, not \"" + v + "\"";
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
    if (c == "identify" || c == "read" || c == "watch")
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
    if (o.append && o.logPath.empty()) {
        *error = "watch: --append needs --log FILE";
        return false;
    }
    if (c == "get")
        for (const std::string& name : o.args)
            if (!tecreg::FindParameter(name)) {
                *error = "get: unknown parameter \"" + name + "\"";
                return false;
            }
    *out = o;
    return true;
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
    const tecreg::NamedParameter* p = tecreg::FindParameter(name);
    if (!p) {
        *error = "unknown parameter \"" + name + "\"";
        return false;
    }
    double value = 0;
    if (!ParseReal(v, &value)) {
        *error = name + ": \"" + v + "\" is not a number";
        return false;
    }
    if ((p->cls == tecreg::EncClass::I || p->cls == tecreg::EncClass::B) && value != std::floor(value)) {
        *error = name + ": wants a whole number, not " + v;
        return false;
    }
    if (p->cls == tecreg::EncClass::B && (value < 0 || value > 255)) {
        *error = name + ": wants a code from 0 to 255, not " + v;
        return false;
    }
    out->param = p;
    out->value = value;
    return true;
}

bool ParseFunction(const std::string& text, int* code)
{
    struct Named {
        const char* name;
        int code;
    };
    static const Named kNames[] = {{"off", 0}, {"autotune", 1}, {"manual", 3}, {"pid", 4}};
    for (const Named& n : kNames)
        if (text == n.name) {
            *code = n.code;
            return true;
        }
    return false;
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
