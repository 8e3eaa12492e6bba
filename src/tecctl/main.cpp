// tecctl: the controller from the command line. One command line, one job,
// then exit; see kUsage and the README.
#include "core/operations.h"
#include "formats/com_settings.h"
#include "io/clock.h"
#include "io/file_io.h"
#include "io/port_map.h"
#include "io/port_table.h"
#include "core/connect.h"
#include "io/serial_qt.h"
#include "io/text_escape.h"
#include "link/transact.h"
#include "protocol/registers.h"
#include "server/served_port.h"
#include "sim/controller.h"
#include "tecctl/commands.h"
#include "tecctl/options.h"
#include "tecctl/scan.h"
#include "tecctl/remote.h"
#include "tecctl/serve.h"

#include <QCoreApplication>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>


namespace {

using namespace tecctl;

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int)
{
    g_interrupted = true;
}

// Every message is escaped: file text, file names and arguments reach the
// terminal as printable text, never as control sequences, and a NUL in them
// cannot cut the message short.
int Fail(const std::string& command, int status, const std::string& cause)
{
    std::fprintf(stderr, "tecctl %s: %s\n", io::EscapeText(command).c_str(), io::EscapeText(cause).c_str());
    return status;
}

// Why a device does not open (not there, not ours, or held by another
// program), as the window program says it, without its "Cause: ".
std::string OpenFailureCause(const std::string& device)
{
    std::string cause = rt::DescribePortOpenCause(rt::FindPortOpenCause(device), device);
    if (cause.rfind("Cause: ", 0) == 0)
        cause.erase(0, 7);
    return cause.empty() ? device + " cannot be opened" : cause;
}

} // namespace

namespace {
int Finish(tecctl::Session& session, int port, const std::string& device, int address, int status);
}

int main(int argc, char** argv)
{
    QCoreApplication qtApp(argc, argv);
    // Numbers on the wire of files and output are the C locale's, whatever
    // the user's language.
    std::setlocale(LC_NUMERIC, "C");

    std::vector<std::string> args(argv + 1, argv + argc);
    Options o;
    std::string error;
    if (!ParseOptions(args, &o, &error)) {
        std::fprintf(stderr, "tecctl: %s\nTry \"tecctl --help\".\n", io::EscapeText(error).c_str());
        return EXIT_USAGE;
    }
    if (o.help) {
        std::fputs(kUsage, stdout);
        return EXIT_OK;
    }
    if (o.version) {
        std::printf("tecctl %s\n", TEC_VERSION);
        return EXIT_OK;
    }

    // Where to connect.
    int port = 1;
    std::string device;
    long baud = 19200;
    int address = 1;
    if (!o.simulate && o.portNumber == 0 && o.portDevice.empty()) {
        std::string text, why;
        if (!io::ReadRegularFile(comlink::kSettingsFile, io::kSmallFileLimit, &text, &why)) {
            if (!io::FileExists(comlink::kSettingsFile))
                return Fail(o.command, EXIT_USAGE,
                            "no --port given and no DftCom.prm in the working directory (or use --simulate)");
            return Fail(o.command, EXIT_FILE,
                        std::string(comlink::kSettingsFile) + " cannot be read: " + why +
                            "; give --port and --address instead");
        }
        std::uint16_t p = 0, id = 0;
        std::uint32_t b = 0;
        // Port 0 and addresses past 255 (the low byte would be another
        // controller, or the broadcast address) are no settings to use.
        if (text.size() > 256 || !comlink::ParseComSettings(text, &p, &b, &id) || p == 0 || id == 0 || id > 255)
            return Fail(o.command, EXIT_FILE, "DftCom.prm is malformed; give --port and --address instead");
        port = p;
        baud = static_cast<long>(b);
        address = id;
    }
    if (o.portNumber)
        port = o.portNumber;
    if (!o.portDevice.empty()) {
        device = o.portDevice;
        const int n = rt::PortMap::numberForDevice(device);
        port = n > 0 ? n : 1;
    } else if (!o.simulate) {
        device = rt::PortMap::deviceForNumber(port);
        if (device.empty())
            return Fail(o.command, EXIT_PORT, "port " + std::to_string(port) + " has no device on this system");
    }
    if (o.baud)
        baud = o.baud;
    if (o.address > 0)
        address = o.address;

    io::RealClock clock;
    io::PortTable ports;
    comlink::Bus bus(ports, clock);
    Session session(bus, static_cast<core::Address>(address), o);
    session.interrupted = &g_interrupted;

    // Arguments and files first: nothing is opened or sent for a bad one.
    if (const int status = Prepare(session); status != EXIT_OK)
        return Fail(o.command, status, session.error);
    if (o.command == "serve") {
        if (const int status = PrepareServe(o, &session.error); status != EXIT_OK)
            return Fail(o.command, status, session.error);
        // serve holds the port for as long as it runs, on a line of its own.
        std::signal(SIGINT, OnInterrupt);
        std::signal(SIGTERM, OnInterrupt);
        std::signal(SIGHUP, OnInterrupt);
        if (const int status = Serve(o, device, baud, SeveralControllers(o) ? o.addresses : std::vector<int>{address}, &g_interrupted,
                                      &session.error); status != EXIT_OK)
            return Fail(o.command, status, session.error);
        return EXIT_OK;
    }

    std::unique_ptr<io::SerialDevice> dev;
    std::shared_ptr<sim::Controller> simulated;
    if (o.simulate && SeveralControllers(o)) {
        // One simulated line with a controller at each address, each with
        // the same first look.
        std::vector<std::uint8_t> addresses(o.addresses.begin(), o.addresses.end());
        std::vector<std::shared_ptr<sim::Controller>> controllers = sim::MakeControllers(clock, addresses);
        for (const auto& c : controllers) {
            c->setReg(tecreg::kSetValue, 400);
            c->setReg(tecreg::kCtrlFunc, 4);
        }
        dev = sim::MakeSimDevice(std::move(controllers), clock);
        device = "the simulated line";
    } else if (o.simulate) {
        sim::Config config;
        config.address = static_cast<std::uint8_t>(address);
        simulated = std::make_shared<sim::Controller>(clock, config);
        // The same first look as the window program's: 40.0 degrees under PID control.
        simulated->setReg(tecreg::kSetValue, 400);
        simulated->setReg(tecreg::kCtrlFunc, 4);
        dev = sim::MakeSimDevice(simulated, clock);
        device = "the simulated controller";
    } else {
        dev = rt::MakeQtSerialDevice(device);
    }
    ports.setTrace(rt::WireTrace());
    // A port given by its path is named by it; a number by both.
    const std::string portName = !o.portDevice.empty() ? device
                                 : o.simulate           ? device
                                                        : "port " + std::to_string(port) + " (" + device + ")";
    bus.comPort = static_cast<std::uint16_t>(port);
    bus.baudRate = static_cast<std::uint32_t>(baud);
    bus.portLost = [&session] { session.portLost = true; };

    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    // A closed terminal ends a command the same way: a write in progress
    // stops between two requests and says what went out.
    std::signal(SIGHUP, OnInterrupt);

    int opening = 0;
    core::Controller controller;
    controller.address = session.address;
    core::ConnectOptions how;
    how.open = [&] { return opening = ports.open(port, std::move(dev), baud); };
    how.settle = 0;
    // A raw exchange addresses whatever it names; a scan and a command on
    // several controllers identify each address themselves.
    how.identify = o.command != "raw" && o.command != "scan" && !SeveralControllers(o);
    // What was asked for and not answered arrives before the port closes,
    // not for the next program on the port.
    how.settleBeforeClosing = true;
    comlink::Identity id;
    how.identification = &id;
    const comlink::Fault fault = core::Connect(bus, controller, how);
    if (opening < 0) {
        const rt::PortOpenCause cause = rt::FindPortOpenCause(device);
        // A port held by a program that serves it is reached through its
        // server, unless --direct asks for the port itself.
        if (cause.kind == rt::PortOpenCause::Busy && !o.direct) {
            server::ServedPort held;
            if (server::FindServedPort(device, &held)) {
                const int status = RunThroughServer(session, held, address);
                return Finish(session, port, device, address, status);
            }
        }
        return Fail(o.command, EXIT_PORT, "cannot open " + portName + ": " + OpenFailureCause(device));
    }
    if (fault) {
        ports.closeAll();
        return Fail(o.command, fault.kind == comlink::FaultKind::Refused ? EXIT_REFUSED : EXIT_SILENT,
                    IdentificationFailure(id, address, device));
    }
    if (SeveralControllers(o)) {
        const int status = RunSeveral(session, device, port);
        comlink::SettleLine(bus);
        ports.closeAll();
        if (status != EXIT_OK && !session.error.empty())
            return Fail(o.command, status, session.error);
        return status;
    }
    if (o.command == "scan") {
        // Each address once; nobody is identified first.
        const int status = RunScan(session, ports, port, clock, baud, device);
        ports.closeAll();
        return status == EXIT_OK ? EXIT_OK : Fail(o.command, status, session.error);
    }
    session.model = controller.identity.model;
    session.identLo = controller.identity.identLo;
    int status = RunCommand(session);
    // What was asked for and not answered arrives now, not for the next
    // program on the port.
    comlink::SettleLine(bus);
    ports.closeAll();
    return Finish(session, port, device, address, status);
}

namespace {

// The command's output (the document, or the text) and its exit status.
int Finish(tecctl::Session& session, int port, const std::string& device, int address, int status)
{
    using namespace tecctl;
    const Options& o = session.o;
    if (o.json && o.command != "watch") {
        JsonWriter doc;
        std::string out = "{\"command\": " + JsonEscape(o.command) + ", \"port\": " + std::to_string(port) +
                          ", \"device\": " + JsonEscape(device) + ", \"address\": " + std::to_string(address) +
                          (NameOf(o, address).empty() ? "" : ", \"name\": " + JsonEscape(NameOf(o, address))) +
                          ", \"model\": " + std::to_string(session.model) +
                          ", \"identity\": " + std::to_string(session.identLo) +
                          ", \"status\": " + std::to_string(status);
        if (status != EXIT_OK)
            out += ", \"error\": " + JsonEscape(session.error);
        if (!session.json.text().empty())
            out += ", " + session.json.text();
        out += "}\n";
        std::fputs(out.c_str(), stdout);
    } else {
        std::fputs(io::EscapeText(session.text, true).c_str(), stdout);
    }
    std::fflush(stdout);
    if (status != EXIT_OK)
        return Fail(o.command, status, session.error);
    return EXIT_OK;
}

} // namespace
