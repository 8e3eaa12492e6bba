#include "tecctl/serve.h"

#include "core/operations.h"
#include "io/file_io.h"
#include "io/text_escape.h"
#include "monitor/log_format.h"
#include "params/encoding.h"
#include "server/hub.h"
#include "server/mqtt.h"
#include "server/served_port.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <unistd.h>

namespace tecctl {

namespace {

using params::EncClass;

void Say(const std::string& text)
{
    std::fprintf(stderr, "tecctl serve: %s\n", io::EscapeText(text).c_str());
}

int TemperatureDecimals(float tempScale)
{
    return tempScale == 1.0f ? 0 : 1;
}

const char* UnitWord(int cfUnit)
{
    return cfUnit == 1 ? "\u00B0F" : "\u00B0C";
}

// A value the controller took, into the record the server shows; the
// scale follows the decimal point.
void Store(ParameterSet& p, const std::string& name, double v)
{
    struct Real {
        const char* name;
        float ParameterSet::*field;
    };
    static const Real kReals[] = {
        {"sv", &ParameterSet::setValue},       {"alarm-high", &ParameterSet::alarmHigh},
        {"alarm-low", &ParameterSet::alarmLow}, {"output", &ParameterSet::outputLevel},
        {"reg30", &ParameterSet::reg30},       {"reg31", &ParameterSet::reg31},
        {"range-low", &ParameterSet::rangeLow}, {"range-high", &ParameterSet::rangeHigh},
        {"filter", &ParameterSet::swFilter},
    };
    for (const Real& f : kReals)
        if (name == f.name) {
            p.*f.field = static_cast<float>(v);
            return;
        }
    const auto i16 = static_cast<std::int16_t>(v);
    if (name.rfind("pid", 0) == 0 && name.size() >= 6) {
        const int i = name[3] - '1';
        const std::string term = name.substr(5);
        if (i < 0 || i > 3)
            return;
        if (term == "p") p.pidP[i] = static_cast<float>(v);
        else if (term == "i") p.pidI[i] = i16;
        else if (term == "d") p.pidD[i] = i16;
        else if (term == "t4") p.pidT4[i] = static_cast<float>(v);
        else if (term == "t5") p.pidT5[i] = static_cast<float>(v);
        else if (term == "bound" && i < 3) p.pidBound[i] = static_cast<float>(v);
        return;
    }
    if (name == "decimal-point") {
        p.decimalPnt = i16;
        p.tempScale = params::TempScaleFor(p.decimalPnt);
    } else if (name == "sensor") p.sensorType = i16;
    else if (name == "direction") p.dirRev = i16;
    else if (name == "unit") p.cfUnit = i16;
    else if (name == "alarm-switch") p.alarmWatch = v != 0 ? 1 : 0;
    else if (name == "keypad") p.keypadValue = i16;
}

server::WriteResult::Status StatusFor(int exit)
{
    switch (exit) {
    case EXIT_OK:
        return server::WriteResult::Status::Done;
    case EXIT_USAGE:
    case EXIT_FILE:
        return server::WriteResult::Status::BadInput;
    case EXIT_REFUSED:
        return server::WriteResult::Status::Refused;
    default:
        return server::WriteResult::Status::NoAnswer;
    }
}

// One served controller and what the rounds keep of it.
struct Served {
    core::Controller record;
    server::MqttController mqtt;
};

class Service {
public:
    Service(Session& s, const ServePort& port) : m_s(s), m_port(port) {}

    int run();

private:
    bool start();
    void round();
    void scheduleNext();
    void execute(const server::WriteRequest& request, server::WriteDone done);
    void logLine(const Served& c);
    void finish();

    Session& m_s;
    ServePort m_port;
    std::vector<std::unique_ptr<Served>> m_served;
    server::Hub m_hub;
    std::unique_ptr<server::MqttPublisher> m_mqtt;
    std::string m_notePath;
    std::string m_url;
    std::FILE* m_log = nullptr;
    bool m_logFailed = false;
    QTimer m_roundTimer;
    QTimer m_signalTimer;
    double m_nextRound = 0;
    int m_status = EXIT_OK;
};

bool Service::start()
{
    const Options& o = m_s.o;
    // The log first: nothing is served when it cannot be kept.
    if (!o.logPath.empty()) {
        std::string why;
        const int fd = io::OpenForLines(o.logPath, o.append, &why);
        m_log = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
        if (fd >= 0 && !m_log)
            ::close(fd);
        if (!m_log || (!o.append && std::fprintf(m_log, "%s\n", monitor::kLogHeader) < 0) || std::fflush(m_log) != 0) {
            m_s.error = o.logPath + " cannot be opened for writing" + (why.empty() ? "" : ": " + why);
            m_status = EXIT_FILE;
            return false;
        }
    }

    auto served = std::make_unique<Served>();
    core::Controller& c = served->record;
    c.address = static_cast<core::Address>(m_s.line.link.ctrlID);
    c.port = m_port.number;
    c.identity.known = true;
    c.identity.model = static_cast<std::uint8_t>(m_s.model);
    c.identity.identLo = static_cast<std::uint8_t>(m_s.identLo);
    // What the server shows from the start: the whole read-all pass, as the
    // panel's Read All sends it.
    comlink::SequencePreamble(m_s.line);
    const core::ReadAllResult all = core::ReadAll(m_s.line, c.params);
    if (!all.op.ok()) {
        m_s.error = "the first read of the parameters failed";
        m_status = all.op.stopped ? EXIT_SILENT : EXIT_REFUSED;
        return false;
    }
    server::ControllerExtra& extra = m_hub.extra(c.address);
    extra.functionKnown = all.ctrlFuncRead;
    extra.function = all.ctrlFunc;
    extra.paramsWallMillis = QDateTime::currentMSecsSinceEpoch();
    served->mqtt.name = c.name;
    served->mqtt.address = c.address;
    served->mqtt.port = m_port.simulated ? std::string("simulated") : server::ResolvedDevice(m_port.device);
    served->mqtt.unit = UnitWord(c.params.cfUnit);
    served->mqtt.model = m_s.model;
    m_served.push_back(std::move(served));

    std::vector<const core::Controller*> records;
    for (const auto& s : m_served)
        records.push_back(&s->record);
    m_hub.setControllers(records);
    m_hub.setPortName(m_port.number, m_port.device);
    m_hub.setExecutor([this](const server::WriteRequest& r, server::WriteDone done) { execute(r, std::move(done)); });

    if (!o.httpListen.empty()) {
        // TODO(merge): the HTTP server on the hub.
    }
    if (!m_url.empty() && !m_port.simulated) {
        std::string why;
        m_notePath = server::WriteServedPort(m_port.device, m_url, &why);
        if (m_notePath.empty())
            Say("other programs will not find this server: " + why);
    }
    if (!o.mqttBroker.empty()) {
        server::MqttBroker broker;
        std::string why;
        server::ParseMqttBroker(o.mqttBroker, &broker, &why);
        m_mqtt = std::make_unique<server::MqttPublisher>(broker);
        QObject::connect(m_mqtt.get(), &server::MqttPublisher::connectionChanged,
                         [](const QString& text) { Say(text.toStdString()); });
        std::vector<server::MqttController> list;
        for (const auto& s : m_served)
            list.push_back(s->mqtt);
        m_mqtt->setControllers(list);
    }
    return true;
}

void Service::round()
{
    const double started = m_s.line.clock.now();
    const std::int64_t wall = QDateTime::currentMSecsSinceEpoch();
    std::vector<server::MqttReading> readings;
    for (const auto& served : m_served) {
        core::Controller& c = served->record;
        m_s.line.link.ctrlID = c.address;
        float sv = 0, pv = 0;
        // The chart tick's order: SV, then PV; a round without both answers
        // is a miss.
        const bool ok = core::PollSV(m_s.line, c.params.tempScale, &sv) &&
                        core::PollPV(m_s.line, c.params.tempScale, &pv);
        ++c.counters.rounds;
        c.last.time = started;
        c.last.wallMillis = wall;
        c.last.valid = ok;
        if (ok) {
            c.last.sv = sv;
            c.last.pv = pv;
            c.last.fault = {};
            if (c.state == core::LinkState::Offline)
                ++c.counters.reconnections;
            c.state = core::LinkState::Online;
            c.counters.missedInRow = 0;
            ++c.counters.answered;
        } else {
            c.last.fault.kind = m_s.portLost ? comlink::FaultKind::PortGone : comlink::FaultKind::Silent;
            ++c.counters.misses[static_cast<int>(c.last.fault.kind) - static_cast<int>(comlink::FaultKind::Silent)];
            ++c.counters.missedInRow;
            c.state = c.counters.missedInRow >= core::kOfflineAfterMisses ? core::LinkState::Offline
                                                                          : core::LinkState::Suspect;
        }
        server::MqttReading r;
        r.valid = ok;
        r.online = c.state != core::LinkState::Offline;
        r.wallMillis = wall;
        r.sv = sv;
        r.pv = pv;
        r.decimals = TemperatureDecimals(c.params.tempScale);
        readings.push_back(r);
        if (ok)
            logLine(*served);
    }
    m_hub.roundEnded(started, wall);
    if (m_mqtt)
        m_mqtt->publishRound(readings);
    if (m_s.portLost) {
        m_s.error = "the serial port went away";
        m_status = EXIT_SILENT;
        QCoreApplication::exit(0);
        return;
    }
    scheduleNext();
}

void Service::scheduleNext()
{
    // A round starts every interval, counted from the last one's start; a
    // round that ran long is followed at once, never by a burst.
    m_nextRound += m_s.o.interval;
    const double now = m_s.line.clock.now();
    if (m_nextRound < now)
        m_nextRound = now;
    m_roundTimer.start(static_cast<int>((m_nextRound - now) * 1000.0 + 0.5));
}

void Service::logLine(const Served& c)
{
    if (!m_log || m_logFailed)
        return;
    const std::time_t t = static_cast<std::time_t>(c.record.last.wallMillis / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char time[16];
    std::strftime(time, sizeof time, "%H:%M:%S", &tm);
    const std::string line =
        monitor::FormatLogLine(tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900, time, c.record.last.sv, c.record.last.pv);
    if (std::fprintf(m_log, "%s\n", line.c_str()) < 0 || std::fflush(m_log) != 0) {
        m_logFailed = true;
        Say("writing " + m_s.o.logPath + " failed; logging stopped");
    }
}

// A client's write, between two rounds: exactly what `tecctl set`,
// `function` or `program run|stop` send, through the same commands.
void Service::execute(const server::WriteRequest& request, server::WriteDone done)
{
    Served* served = nullptr;
    for (const auto& s : m_served)
        if (s->record.address == request.address)
            served = s.get();
    server::WriteResult result;
    if (!served) {
        result.status = server::WriteResult::Status::NotFound;
        result.message = "no controller at address " + std::to_string(request.address);
        done(result);
        return;
    }
    Options o = m_s.o;
    o.json = false;
    o.round = request.round;
    o.args.clear();
    switch (request.kind) {
    case server::WriteRequest::Kind::Set:
        o.command = "set";
        for (const auto& [name, value] : request.values)
            o.args.push_back(name + "=" + value);
        break;
    case server::WriteRequest::Kind::Function:
        o.command = "function";
        o.args.push_back(request.values.empty() ? std::string() : request.values.front().second);
        break;
    case server::WriteRequest::Kind::ProgramRun:
    case server::WriteRequest::Kind::ProgramStop:
        o.command = "program";
        o.args.push_back(request.kind == server::WriteRequest::Kind::ProgramRun ? "run" : "stop");
        break;
    }
    if (o.args.empty() || (o.command == "set" && request.values.empty())) {
        result.status = server::WriteResult::Status::BadInput;
        result.message = "nothing to write";
        done(result);
        return;
    }
    m_s.line.link.ctrlID = served->record.address;
    Session ws(m_s.line, o);
    ws.interrupted = m_s.interrupted;
    ws.model = m_s.model;
    ws.identLo = m_s.identLo;
    // What the controller took, for the record the server shows.
    std::vector<std::pair<std::string, double>> taken;
    ws.onValue = [&taken](const tecreg::NamedParameter& p, double value, int, const std::string&, const char*) {
        taken.emplace_back(p.name, value);
    };
    int status = Prepare(ws);
    if (status == EXIT_OK)
        status = RunCommand(ws);
    result.status = StatusFor(status);
    result.message = ws.error;
    // As `tecctl --json` prints it: "written", or "function" and "word",
    // or "program".
    result.document = ws.json.text();
    core::Controller& c = served->record;
    server::ControllerExtra& extra = m_hub.extra(c.address);
    const int unitBefore = c.params.cfUnit;
    for (const auto& [name, value] : taken) {
        Store(c.params, name, value);
        if (name == "function") {
            extra.functionKnown = true;
            extra.function = static_cast<int>(value);
        }
    }
    if (request.kind == server::WriteRequest::Kind::Function && status == EXIT_OK) {
        extra.functionKnown = true;
        extra.function = ws.function;
    }
    if (c.params.cfUnit != unitBefore && m_mqtt) {
        served->mqtt.unit = UnitWord(c.params.cfUnit);
        for (std::size_t k = 0; k < m_served.size(); ++k)
            if (m_served[k].get() == served)
                m_mqtt->updateController(k, served->mqtt);
    }
    Say("write from " + request.client + ": " + o.command + " " + [&] {
        std::string args;
        for (const std::string& a : o.args)
            args += (args.empty() ? "" : " ") + a;
        return args;
    }() + (status == EXIT_OK ? std::string(": done") : ": " + ws.error));
    done(result);
}

void Service::finish()
{
    m_roundTimer.stop();
    m_signalTimer.stop();
    if (m_mqtt)
        m_mqtt->stop(1.0);
    server::RemoveServedPort(m_notePath);
    m_notePath.clear();
    if (m_log && std::fclose(m_log) != 0 && !m_logFailed && m_status == EXIT_OK) {
        m_s.error = m_s.o.logPath + " could not be completed";
        m_status = EXIT_FILE;
    }
    m_log = nullptr;
    if (m_logFailed && m_status == EXIT_OK) {
        m_s.error = "writing " + m_s.o.logPath + " failed";
        m_status = EXIT_FILE;
    }
}

int Service::run()
{
    if (!start()) {
        if (m_log)
            std::fclose(m_log);
        m_log = nullptr;
        return m_status;
    }
    // A client or broker gone mid-write is an error of that write, never
    // the end of the program.
    std::signal(SIGPIPE, SIG_IGN);
    m_roundTimer.setSingleShot(true);
    m_roundTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_roundTimer, &QTimer::timeout, [this] { round(); });
    // Signals only set a flag; this looks at it between events.
    QObject::connect(&m_signalTimer, &QTimer::timeout, [this] {
        if (m_s.interrupted && *m_s.interrupted)
            QCoreApplication::exit(0);
    });
    m_signalTimer.start(50);
    m_nextRound = m_s.line.clock.now();
    m_roundTimer.start(0);
    QCoreApplication::exec();
    finish();
    return m_status;
}

} // namespace

int PrepareServe(Session& s)
{
    if (!s.o.mqttBroker.empty()) {
        server::MqttBroker broker;
        if (!server::ParseMqttBroker(s.o.mqttBroker, &broker, &s.error))
            return EXIT_USAGE;
    }
    return EXIT_OK;
}

int Serve(Session& s, const ServePort& port)
{
    Service service(s, port);
    return service.run();
}

} // namespace tecctl
