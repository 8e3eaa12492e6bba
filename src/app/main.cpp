// The entry routine of tecontrol: options, the run-time, the panels, start-up,
// the event loop.
#include "app/app.h"
#include "app/data_folder.h"
#include "app/screenshots.h"
#include "app/shell.h"
#include "link/connection.h"
#include "rt/clock.h"
#include "rt/runtime.h"
#include "sim/controller.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPalette>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

// Ending by SIGINT/SIGTERM uses a self-pipe, which is POSIX; on Windows the
// program ends through its own Quit and Exit only.
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#define TEC_POSIX_SIGNALS 1
#endif

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
    "  --data-folder       work in the per-user folder $XDG_DATA_HOME/tecontrol\n"
    "                      (~/.local/share/tecontrol), as the menu entry does\n"
    "  --ui-dir DIR        folder of the panel files; without it TECONTROL_UI_DIR,\n"
    "                      else the program's folder and ../share/tecontrol/ui\n"
    "  --screenshots DIR   with --simulate: save pictures of the main panel, the\n"
    "                      chart after a run and a step program into DIR, then exit\n"
    "  --startup-probe     print the time from process start until the main panel\n"
    "                      is shown, then exit (for benchmarks)\n"
    "  -h, --help          show this help and exit\n"
    "  --version           show the version and exit\n\n"
    "DftCom.prm (port, baud rate, address) and XYscale.txt (chart scale) are kept\n"
    "in the working directory, where the file dialogs also start. Window positions\n"
    "and sizes are kept in ~/.config/tecontrol/tecontrol.conf. SIGINT and SIGTERM end the program as Quit does.\n"
    "Port numbers and the devices behind them: see docs/ports.md.\n";

constexpr int kSimulatedPort = 1;

struct Options {
    bool simulate = false;
    double speed = 1.0;
    bool startupProbe = false;
    bool dataFolder = false;
    std::string uiDir;
    std::string screenshots;
    std::vector<std::pair<int, std::string>> ports;
};

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
        } else if (a == "--data-folder") {
            o->dataFolder = true;
        } else if (a == "--screenshots" || a.rfind("--screenshots=", 0) == 0) {
            const char* v = value("--screenshots");
            if (!v || !*v) {
                std::fprintf(stderr, "tecontrol: --screenshots needs a folder\n");
                return 2;
            }
            o->screenshots = v;
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
            const std::string binding = v ? v : "";
            const auto eq = binding.find('=');
            char* end = nullptr;
            const long n = eq == std::string::npos ? 0 : std::strtol(binding.substr(0, eq).c_str(), &end, 10);
            if (eq == std::string::npos || eq == 0 || *end != '\0' || n < 1 || n > 65535 || eq + 1 >= binding.size()) {
                std::fprintf(stderr, "tecontrol: --port wants N=DEVICE with N from 1 to 65535, e.g. --port 1=/dev/pts/3\n");
                return 2;
            }
            o->ports.emplace_back(static_cast<int>(n), binding.substr(eq + 1));
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

std::vector<std::string> PanelFolders(const Options& o)
{
    if (!o.uiDir.empty())
        return {o.uiDir};
    if (const char* env = std::getenv("TECONTROL_UI_DIR"); env && *env)
        return {env};
    const QString exeDir = QCoreApplication::applicationDirPath();
    return {exeDir.toStdString(), QDir::cleanPath(exeDir + "/../share/tecontrol/ui").toStdString()};
}

// Seconds since the process was started by the kernel (Linux); since main
// was entered elsewhere.
double SecondsSinceProcessStart(std::chrono::steady_clock::time_point mainEntered)
{
#ifdef __linux__
    if (FILE* f = std::fopen("/proc/self/stat", "r")) {
        char buf[1024] = {};
        const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = '\0';
        // Field 22 (starttime, clock ticks since boot) follows the ')' of the command name.
        const char* p = std::strrchr(buf, ')');
        unsigned long long start = 0;
        int field = 2;
        for (; p && *p && field < 22; ++p) {
            if (*p == ' ')
                ++field;
        }
        if (p && std::sscanf(p, "%llu", &start) == 1) {
            timespec boot{};
            clock_gettime(CLOCK_BOOTTIME, &boot);
            const double sinceBoot = boot.tv_sec + boot.tv_nsec / 1e9;
            return sinceBoot - static_cast<double>(start) / static_cast<double>(sysconf(_SC_CLK_TCK));
        }
    }
#endif
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - mainEntered).count();
}

void ApplyInstrumentStyle(QApplication& qtApp)
{
    qtApp.setStyle(QStyleFactory::create("Fusion"));
    QPalette p;
    p.setColor(QPalette::Window, QColor(0xEC, 0xEF, 0xF2));
    p.setColor(QPalette::WindowText, QColor(0x1E, 0x29, 0x33));
    p.setColor(QPalette::Base, QColor(0xFF, 0xFF, 0xFF));
    p.setColor(QPalette::AlternateBase, QColor(0xF4, 0xF6, 0xF8));
    p.setColor(QPalette::Text, QColor(0x1E, 0x29, 0x33));
    p.setColor(QPalette::Button, QColor(0xE1, 0xE6, 0xEB));
    p.setColor(QPalette::ButtonText, QColor(0x1E, 0x29, 0x33));
    p.setColor(QPalette::Highlight, QColor(0x2F, 0x6F, 0x9F));
    p.setColor(QPalette::HighlightedText, QColor(0xFF, 0xFF, 0xFF));
    p.setColor(QPalette::ToolTipBase, QColor(0xFF, 0xFF, 0xE8));
    p.setColor(QPalette::ToolTipText, QColor(0x1E, 0x29, 0x33));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x9A, 0xA4, 0xAE));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x9A, 0xA4, 0xAE));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x9A, 0xA4, 0xAE));
    qtApp.setPalette(p);
}

// SIGINT and SIGTERM end the program as Quit does. The handler only writes a
// byte to a pipe; the event loop reads it and stops, and the entry routine
// then runs Quit on the UI thread.
#ifdef TEC_POSIX_SIGNALS
int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}
#endif

} // namespace

int main(int argc, char** argv)
{
    const auto mainEntered = std::chrono::steady_clock::now();
    Options options;
    if (const int code = ParseOptions(argc, argv, &options); code >= 0)
        return code;

    QApplication qtApp(argc, argv);
    QApplication::setApplicationName("tecontrol");
    QApplication::setApplicationVersion(TEC_VERSION);
    QGuiApplication::setDesktopFileName("io.github.tecontrol.tecontrol");
    ApplyInstrumentStyle(qtApp);
    if (options.dataFolder) {
        if (const std::string why = shell::EnterFolder(shell::UserDataFolder()); !why.empty())
            std::fprintf(stderr, "tecontrol: %s; working in %s\n", why.c_str(), QDir::currentPath().toLocal8Bit().constData());
    }

    rt::RealClock clock;
    std::unique_ptr<rt::Operator> desk = rt::makeDesktopOperator();
    rt::Runtime runtime(clock, *desk);
    if (!options.startupProbe && options.screenshots.empty())
        runtime.setWindowMemory(rt::Runtime::DefaultWindowMemoryFile());
    App app(runtime);
    app.link.linkBusy = 0;

    for (const auto& [number, device] : options.ports)
        runtime.ports().bindDevice(number, device);
    std::shared_ptr<sim::Controller> simulated;
    if (options.simulate) {
        // The simulated controller is made when the port is first opened, so it
        // answers at the address that start-up restored (1 on a fresh machine).
        App* a = &app;
        rt::Clock* c = &clock;
        const double speed = options.speed;
        runtime.ports().bind(kSimulatedPort, "COM1  simulated controller", [a, c, speed, &simulated] {
            if (!simulated) {
                sim::Config config;
                config.speed = speed;
                const int id = a->link.ctrlID & 0xFF;
                config.address = static_cast<std::uint8_t>(id ? id : 1);
                simulated = std::make_shared<sim::Controller>(*c, config);
                // A first look worth watching: the controller holds 40.0 degrees
                // under PID control, so PV climbs from ambient towards SV.
                simulated->setReg(0x0000, 400);
                simulated->setReg(0x0002, 4);
            }
            return sim::MakeSimDevice(simulated, *c);
        });
    }
    runtime.ports().addPlatformPorts();

    const std::vector<std::string> folders = PanelFolders(options);
    runtime.setPanelSearchPath(folders);
    shell::BindCallbacks(app);
    if (!shell::LoadPanels(app)) {
        std::string searched;
        for (const std::string& f : folders)
            searched += "\n  " + f;
        std::fprintf(stderr, "tecontrol: cannot load the main panel \"%s\"; searched:%s\n", panelfiles::kParm,
                     searched.c_str());
        return -1;
    }
    shell::InstallCloseHandlers(app);

    if (options.startupProbe) {
        runtime.DisplayPanel(app.panels.parm);
        QCoreApplication::processEvents();
        std::printf("startup-probe: main panel shown %.1f ms after process start (%.1f ms after main)\n",
                    SecondsSinceProcessStart(mainEntered) * 1000.0,
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - mainEntered).count());
        std::fflush(stdout);
        runtime.DiscardPanel(app.panels.parm);
        return 0;
    }

    bool signalled = false;
    std::unique_ptr<QSocketNotifier> signalNotifier;
#ifdef TEC_POSIX_SIGNALS
    if (::pipe(g_signalPipe) == 0) {
        ::fcntl(g_signalPipe[0], F_SETFL, O_NONBLOCK);
        ::fcntl(g_signalPipe[1], F_SETFL, O_NONBLOCK);
        signalNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        // The notifier can fire inside a modal popup or while the wait popup
        // paints, in the middle of a callback and its transactions. Closing the
        // port there would pull it from under that callback, so the signal only
        // asks the loop to stop; Quit runs once the callback has finished.
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&runtime, &signalled] {
            char buf[16];
            while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
            }
            signalled = true;
            runtime.QuitUserInterface(0);
        });
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }
#endif

    shell::StartUp(app, options.simulate ? kSimulatedPort : 0);
    if (!options.screenshots.empty()) {
        const int code = shell::TakeScreenshots(app, options.screenshots, 60.0);
        runtime.DiscardPanel(app.panels.parm);
        return code;
    }
    // A signal that came during start-up has already asked to end.
    if (!runtime.quitRequested())
        runtime.RunUserInterface();
    if (signalled)
        Quit(app, app.panels.parm, PARM_QUIT, rt::EVENT_COMMIT, nullptr, 0, 0);
    runtime.DiscardPanel(app.panels.parm);
    return 0;
}
