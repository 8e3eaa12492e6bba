#include "app/options.h"
#include "app/serve.h"

#include <cstdio>
#include <cstdlib>

namespace {

const char* const kUsage =
    "Usage: tecontrol [options]\n"
    "Control program for a thermoelectric temperature controller on RS-232.\n\n"
    "Options:\n"
    "  --simulate          connect to the built-in simulated controller on port 1,\n"
    "                      whatever port DftCom.prm names\n"
    "  --speed X           with --simulate: the simulated plant runs X times faster\n"
    "                      than real time (1 to 1000; default 1)\n"
    "  --port N=DEVICE     bind port number N (1 to 65535) to a device path, e.g. a\n"
    "                      pseudo-terminal; may be given more than once\n"
    "  --no-reconnect      do not look for a lost controller to come back; by\n"
    "                      default the same device is looked for once a second\n"
    "                      and what ran resumes when the same controller answers\n"
    "  --data-folder       work in the per-user folder $XDG_DATA_HOME/tecontrol\n"
    "                      (~/.local/share/tecontrol), as the menu entry does\n"
    "  --ui-dir DIR        folder of the panel files; without it TECONTROL_UI_DIR,\n"
    "                      else the program's folder and ../share/tecontrol/ui\n"
    "  --screenshots DIR   with --simulate: save pictures of the main panel, the\n"
    "                      chart after a run and a step program into DIR, then exit\n"
    "  --serve [ADDR:]PORT serve the controllers over HTTP while the window runs: a\n"
    "                      live page, a JSON API (/api/v1/controllers) and metrics\n"
    "                      (/metrics); PORT alone (or --serve alone: 8080) listens\n"
    "                      on 127.0.0.1 only, another ADDR only when named, with a\n"
    "                      warning; writes need the token kept in\n"
    "                      ~/.config/tecontrol/server-token. The Server window's\n"
    "                      switch does the same and is kept in the settings\n"
    "  --startup-probe     print the time from process start until the main panel\n"
    "                      is shown, then exit (for benchmarks)\n"
    "  -h, --help          show this help and exit\n"
    "  --version           show the version and exit\n\n"
    "DftCom.prm (port, baud rate, address) and XYscale.txt (chart scale) are kept\n"
    "in the working directory, where the file dialogs also start. Window positions\n"
    "and sizes are kept in ~/.config/tecontrol/tecontrol.conf. SIGINT, SIGTERM and\n"
    "SIGHUP end the program as Quit does, whatever popup or dialog is open.\n"
    "Port numbers and the devices behind them: see docs/ports.md.\n";

} // namespace

bool ParsePortBinding(const std::string& binding, int* number, std::string* device)
{
    const auto eq = binding.find('=');
    if (eq == std::string::npos || eq == 0 || eq > 5 || eq + 1 >= binding.size())
        return false;
    // Digits only, read from the binding itself: no sign, no blanks, no
    // conversion whose end pointer could outlive the text it points into.
    long n = 0;
    for (std::size_t i = 0; i < eq; ++i) {
        const char c = binding[i];
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > 65535)
        return false;
    *number = static_cast<int>(n);
    *device = binding.substr(eq + 1);
    return true;
}

// Parses the command line. Returns -1 to go on, or the exit code to end with.
int ParseOptions(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const std::string& name) -> const char* {
            if (a.rfind(name + "=", 0) == 0)
                return argv[i] + name.size() + 1;
            if (a == name && i + 1 < argc)
                return argv[++i];
            return nullptr;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("tecontrol %s\n", TEC_VERSION);
            return 0;
        }
        if (a == "--simulate") {
            o->simulate = true;
        } else if (a == "--speed" || a.rfind("--speed=", 0) == 0) {
            const char* v = value("--speed");
            char* end = nullptr;
            const double x = v ? std::strtod(v, &end) : 0.0;
            if (!v || *end != '\0' || !(x >= 1.0 && x <= 1000.0)) {
                std::fprintf(stderr, "tecontrol: --speed wants a factor from 1 to 1000\n");
                return 2;
            }
            o->speed = x;
        } else if (a == "--no-reconnect") {
            o->reconnect = false;
        } else if (a == "--data-folder") {
            o->dataFolder = true;
        } else if (a == "--screenshots" || a.rfind("--screenshots=", 0) == 0) {
            const char* v = value("--screenshots");
            if (!v || !*v) {
                std::fprintf(stderr, "tecontrol: --screenshots needs a folder\n");
                return 2;
            }
            o->screenshots = v;
        } else if (a == "--serve" || a.rfind("--serve=", 0) == 0) {
            // The address is optional: a following word that is no option is it.
            std::string v = serve::kDefaultListen;
            if (a != "--serve")
                v = a.substr(8);
            else if (i + 1 < argc && argv[i + 1][0] != '-')
                v = argv[++i];
            std::string why;
            if (!serve::CheckListen(v, &why)) {
                std::fprintf(stderr, "tecontrol: --serve wants [ADDR:]PORT: %s\n", why.c_str());
                return 2;
            }
            o->serve = v;
        } else if (a == "--startup-probe") {
            o->startupProbe = true;
        } else if (a == "--ui-dir" || a.rfind("--ui-dir=", 0) == 0) {
            const char* v = value("--ui-dir");
            if (!v) {
                std::fprintf(stderr, "tecontrol: --ui-dir needs a folder\n");
                return 2;
            }
            o->uiDir = v;
        } else if (a == "--port" || a.rfind("--port=", 0) == 0) {
            const char* v = value("--port");
            int number = 0;
            std::string device;
            if (!v || !ParsePortBinding(v, &number, &device)) {
                std::fprintf(stderr, "tecontrol: --port wants N=DEVICE with N from 1 to 65535, e.g. --port 1=/dev/pts/3\n");
                return 2;
            }
            o->ports.emplace_back(number, device);
        } else {
            std::fprintf(stderr, "tecontrol: unknown option '%s' (see --help)\n", a.c_str());
            return 2;
        }
    }
    if (!o->screenshots.empty() && !o->simulate) {
        std::fprintf(stderr, "tecontrol: --screenshots works with --simulate only\n");
        return 2;
    }
    return -1;
}

