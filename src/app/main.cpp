// The entry routine of tecontrol: options, the run-time, the panels, start-up,
// the event loop.
#include "app/app.h"
#include "app/options.h"
#include "app/data_folder.h"
#include "app/screenshots.h"
#include "app/shell.h"
#include "app/connection.h"
#include "io/clock.h"
#include "rt/end_request.h"
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
#include <clocale>
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

constexpr int kSimulatedPort = 1;

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

// SIGINT, SIGTERM and SIGHUP end the program as Quit does. The handler only writes a
// byte to a pipe; the event loop reads it and stops, and the entry routine
// then runs Quit on the UI thread.
#ifdef TEC_POSIX_SIGNALS
int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    // Waits in progress see the request at once; the pipe wakes the event
    // loop, or the loop of an open popup, which then closes the popup.
    rt::RequestEnd();
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
    // The toolkit took the desktop's locale for the C library too. Panels show
    // numbers through the toolkit's own locale; the C library keeps the C
    // decimal point, so nothing written with it to a file can get a comma.
    std::setlocale(LC_NUMERIC, "C");
    QApplication::setApplicationName("tecontrol");
    QApplication::setApplicationVersion(TEC_VERSION);
    QGuiApplication::setDesktopFileName("io.github.tecontrol.tecontrol");
    ApplyInstrumentStyle(qtApp);
    if (options.dataFolder) {
        if (const std::string why = shell::EnterFolder(shell::UserDataFolder()); !why.empty())
            std::fprintf(stderr, "tecontrol: %s; working in %s\n", why.c_str(), QDir::currentPath().toLocal8Bit().constData());
    }

    io::RealClock clock;
    std::unique_ptr<rt::Operator> desk = rt::makeDesktopOperator();
    rt::Runtime runtime(clock, *desk);
    if (!options.startupProbe && options.screenshots.empty())
        runtime.setWindowMemory(rt::Runtime::DefaultWindowMemoryFile());
    App app(runtime);
    // The configured controllers are kept beside the window positions.
    if (!options.startupProbe && options.screenshots.empty())
        app.settingsFile = rt::Runtime::DefaultWindowMemoryFile();
    app.bus.linkBusy = 0;

    for (const auto& [number, device] : options.ports)
        runtime.ports().bindDevice(number, device);
    std::shared_ptr<sim::Controller> simulated;
    if (options.simulate) {
        // The simulated controller is made when the port is first opened, so it
        // answers at the address that start-up restored (1 on a fresh machine).
        App* a = &app;
        io::Clock* c = &clock;
        const double speed = options.speed;
        runtime.ports().bind(kSimulatedPort, "COM1  simulated controller", [a, c, speed, &simulated] {
            if (!simulated) {
                sim::Config config;
                config.speed = speed;
                const int id = a->controller.address;
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
    app.reconnect.enabled = options.reconnect;
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
        // port there would pull it from under that callback, so the signal
        // dismisses the open popup or dialog and asks the loop to stop; the
        // callback then winds down at once (its waits end early, later popups
        // are not shown) and Quit runs when it has returned.
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&runtime, &signalled] {
            char buf[16];
            while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
            }
            signalled = true;
            runtime.EndFromOutside(0);
        });
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        // A closed terminal or a desktop logout ends the program the same way.
        sigaction(SIGHUP, &sa, nullptr);
    }
#endif

    shell::StartUp(app, options.simulate ? kSimulatedPort : 0);
    if (!options.screenshots.empty()) {
        const int code = shell::TakeScreenshots(app, options.screenshots, 60.0);
        runtime.DiscardPanel(app.panels.parm);
        return code;
    }
    serve::StartAtLaunch(app, options.serve);
    // A signal that came during start-up has already asked to end.
    if (!runtime.quitRequested())
        runtime.RunUserInterface();
    if (signalled || rt::EndRequested())
        Quit(app, app.panels.parm, PARM_QUIT, rt::EVENT_COMMIT, nullptr, 0, 0);
    runtime.DiscardPanel(app.panels.parm);
    return 0;
}
