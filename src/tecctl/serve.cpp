#include "tecctl/serve.h"

#include "io/file_io.h"
#include "io/text_escape.h"
#include "formats/log_format.h"
#include "server/http_server.h"
#include "server/hub.h"
#include "server/line_owner.h"
#include "server/mqtt.h"
#include "server/served_port.h"
#include "server/token.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <unistd.h>

namespace tecctl {

namespace {

void Say(const std::string& text)
{
    std::fprintf(stderr, "tecctl serve: %s\n", io::EscapeText(text).c_str());
}

// "[ADDR:]PORT" as the server takes it, and port 0 (any free one, named in
// the note and on standard error) besides.
bool ParseListen(const std::string& text, QHostAddress* address, quint16* port, std::string* error)
{
    if (server::ParseListenText(text, address, port, error))
        return true;
    *error = "--http " + *error;
    return false;
}

const char* UnitWord(int cfUnit)
{
    return cfUnit == 1 ? "\u00B0F" : "\u00B0C";
}

class Service {
public:
    Service(const Options& o, const std::string& device, long baud, const std::vector<int>& addresses,
            std::atomic<bool>* interrupted)
        : m_o(o), m_device(device), m_baud(baud), m_addresses(addresses), m_interrupted(interrupted)
    {
    }
    ~Service() { finish(); }

    int run(std::string* error);

private:
    bool start(std::string* error);
    void roundEnded();
    void logRound();
    void finish();

    const Options& m_o;
    std::string m_device;
    long m_baud;
    std::vector<int> m_addresses;
    std::atomic<bool>* m_interrupted;

    server::Hub m_hub;
    std::unique_ptr<server::LineOwner> m_owner;
    std::unique_ptr<server::HttpServer> m_http;
    std::unique_ptr<server::MqttPublisher> m_mqtt;
    std::vector<server::MqttController> m_mqttControllers;
    QString m_localUrl;
    std::string m_notePath;
    bool m_noteTried = false;
    std::FILE* m_log = nullptr;
    bool m_logFailed = false;
    bool m_finished = false;
    int m_status = EXIT_OK;
    std::string m_error;
};

bool Service::start(std::string* error)
{
    // The log first: nothing is served when it cannot be kept.
    if (!m_o.logPath.empty()) {
        std::string why;
        const int fd = io::OpenForLines(m_o.logPath, m_o.append, &why);
        m_log = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
        if (fd >= 0 && !m_log)
            ::close(fd);
        // Several controllers: every start of the log names its columns,
        // appended or not, as tecctl watch writes it.
        const bool several = m_addresses.size() > 1;
        std::vector<monitor::LogController> columns;
        for (int a : m_addresses)
            columns.push_back({NameOf(m_o, a), a});
        const std::string header = several ? monitor::FormatSeveralLogHeader(columns) : monitor::kLogHeader;
        if (!m_log || ((several || !m_o.append) && std::fprintf(m_log, "%s\n", header.c_str()) < 0) ||
            std::fflush(m_log) != 0) {
            *error = m_o.logPath + " cannot be opened for writing" + (why.empty() ? "" : ": " + why);
            m_status = EXIT_FILE;
            return false;
        }
    }

    std::string token;
    if (!m_o.httpListen.empty()) {
        std::string why;
        if (!server::LoadOrCreateToken(server::TokenPath(), &token, &why)) {
            *error = "the server's token: " + why;
            m_status = EXIT_FILE;
            return false;
        }
    }

    // The port, every controller identified and read once, then the rounds
    // on the line's own thread: nothing served here waits for an exchange.
    server::LineOwner::Setup setup;
    setup.device = m_device;
    setup.baud = m_baud;
    setup.interval = m_o.interval;
    setup.addresses.clear();
    for (int a : m_addresses) {
        setup.addresses.push_back(static_cast<core::Address>(a));
        setup.names.push_back(NameOf(m_o, a));
    }
    m_owner = std::make_unique<server::LineOwner>(m_hub, setup);
    QString why;
    if (!m_owner->start(&why)) {
        *error = why.toStdString();
        m_status = why.contains("cannot open") ? EXIT_PORT : EXIT_SILENT;
        return false;
    }
    for (const auto& c : m_owner->controllers())
        if (!c->identity.known)
            Say("no answer from address " + std::to_string(c->address) + " on " + m_device +
                "; it is served as offline until it answers");

    if (!m_o.httpListen.empty()) {
        QHostAddress address;
        quint16 port = 0;
        std::string bad;
        ParseListen(m_o.httpListen, &address, &port, &bad);
        m_http = std::make_unique<server::HttpServer>(m_hub, token);
        QString failed;
        if (!m_http->start(address, port, &failed)) {
            *error = failed.toStdString();
            m_status = EXIT_PORT;
            return false;
        }
        if (!server::IsLoopback(address))
            Say("warning: listening on " + address.toString().toStdString() +
                ": everyone who can reach this computer there can read the controllers (writes need the token)");
        // Programs on this computer reach it on the loopback address, whatever
        // else it listens on.
        m_localUrl = m_http->url();
        if (address == QHostAddress::Any || address == QHostAddress::AnyIPv4)
            m_localUrl = "http://127.0.0.1:" + QString::number(m_http->port()) + "/";
        else if (address == QHostAddress::AnyIPv6)
            m_localUrl = "http://[::1]:" + QString::number(m_http->port()) + "/";
        Say("serving " + m_device + " at " + m_http->url().toStdString());
    }

    if (!m_o.mqttBroker.empty()) {
        server::MqttBroker broker;
        std::string bad;
        server::ParseMqttBroker(m_o.mqttBroker, &broker, &bad);
        m_mqtt = std::make_unique<server::MqttPublisher>(broker);
        QObject::connect(m_mqtt.get(), &server::MqttPublisher::connectionChanged,
                         [](const QString& text) { Say(text.toStdString()); });
        const std::string resolved = server::ResolvedDevice(m_device);
        for (const auto& c : m_owner->controllers()) {
            server::MqttController m;
            m.name = c->name;
            m.address = c->address;
            m.port = resolved;
            m.unit = UnitWord(c->params.cfUnit);
            m.model = c->identity.known ? c->identity.model : 0;
            m_mqttControllers.push_back(m);
        }
        m_mqtt->setControllers(m_mqttControllers);
    }

    m_hub.subscribe([this](const server::RoundNote&) { roundEnded(); });
    m_hub.subscribeWrites([](const server::WriteRequest& request, const server::WriteResult& result) {
        std::string what;
        for (const auto& [name, value] : request.values)
            what += (what.empty() ? "" : " ") + name + "=" + value;
        if (request.kind == server::WriteRequest::Kind::ProgramRun)
            what = "program run";
        else if (request.kind == server::WriteRequest::Kind::ProgramStop)
            what = "program stop";
        Say("write from " + request.client + " to address " + std::to_string(request.address) + ": " + what + ": " +
            (result.status == server::WriteResult::Status::Done ? std::string("done") : result.message));
    });
    return true;
}

void Service::roundEnded()
{
    // Other programs are sent here once there is something to give them:
    // the parameters and a first round.
    if (m_http && !m_noteTried) {
        m_noteTried = true;
        std::string why;
        m_notePath = server::WriteServedPort(m_device, m_localUrl.toStdString(), &why);
        if (m_notePath.empty())
            Say("other programs will not find this server: " + why);
    }
    logRound();
    if (!m_mqtt)
        return;
    const auto& controllers = m_owner->controllers();
    std::vector<server::MqttReading> readings;
    for (std::size_t k = 0; k < controllers.size(); ++k) {
        const core::Controller& c = *controllers[k];
        // The unit the sensors show follows the controller's; the model
        // once it is known.
        server::MqttController& m = m_mqttControllers[k];
        const int model = c.identity.known ? c.identity.model : 0;
        if (m.unit != UnitWord(c.params.cfUnit) || m.model != model) {
            m.unit = UnitWord(c.params.cfUnit);
            m.model = model;
            m_mqtt->updateController(k, m);
        }
        server::MqttReading r;
        r.valid = c.last.valid;
        r.online = c.state != core::LinkState::Offline;
        r.wallMillis = c.last.wallMillis;
        r.sv = c.last.sv;
        r.pv = c.last.pv;
        r.decimals = c.params.tempScale == 1.0f ? 0 : 1;
        readings.push_back(r);
    }
    m_mqtt->publishRound(readings);
}

void Service::logRound()
{
    if (!m_log || m_logFailed)
        return;
    // As tecctl watch: a round without any reading writes no line; with
    // several controllers one that did not answer leaves its fields empty.
    const auto& controllers = m_owner->controllers();
    std::vector<monitor::LogReading> readings;
    std::int64_t wallMillis = 0;
    for (const auto& k : controllers) {
        readings.push_back({k->last.valid, k->last.sv, k->last.pv});
        if (k->last.valid)
            wallMillis = std::max(wallMillis, k->last.wallMillis);
    }
    if (wallMillis == 0)
        return;
    const core::Controller& c = *controllers.front();
    const std::time_t t = static_cast<std::time_t>(wallMillis / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char time[16];
    std::strftime(time, sizeof time, "%H:%M:%S", &tm);
    const std::string line =
        controllers.size() > 1
            ? monitor::FormatSeveralLogLine(tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900, time, readings)
            : monitor::FormatLogLine(tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900, time, c.last.sv, c.last.pv);
    if (std::fprintf(m_log, "%s\n", line.c_str()) < 0 || std::fflush(m_log) != 0) {
        m_logFailed = true;
        Say("writing " + m_o.logPath + " failed; logging stopped");
    }
}

void Service::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    // The last will is for a killed program; one that ends says it itself.
    if (m_mqtt)
        m_mqtt->stop(1.0);
    server::RemoveServedPort(m_notePath);
    m_http.reset();
    m_owner.reset();
    if (m_log && std::fclose(m_log) != 0 && !m_logFailed && m_status == EXIT_OK) {
        m_error = m_o.logPath + " could not be completed";
        m_status = EXIT_FILE;
    }
    m_log = nullptr;
    if (m_logFailed && m_status == EXIT_OK) {
        m_error = "writing " + m_o.logPath + " failed";
        m_status = EXIT_FILE;
    }
}

int Service::run(std::string* error)
{
    // A client or broker gone mid-write is an error of that write, never
    // the end of the program.
    std::signal(SIGPIPE, SIG_IGN);
    if (!start(error)) {
        finish();
        return m_status;
    }
    // Signals only set a flag; this looks at it between events.
    QTimer watchSignals;
    QObject::connect(&watchSignals, &QTimer::timeout, [this] {
        if (m_interrupted && *m_interrupted)
            QCoreApplication::exit(0);
    });
    watchSignals.start(50);
    QCoreApplication::exec();
    finish();
    *error = m_error;
    return m_status;
}

} // namespace

int PrepareServe(const Options& o, std::string* error)
{
    if (o.simulate) {
        *error = "--simulate has no port to serve; start tecsim and give its device with --port";
        return EXIT_USAGE;
    }
    if (!o.httpListen.empty()) {
        QHostAddress address;
        quint16 port = 0;
        if (!ParseListen(o.httpListen, &address, &port, error))
            return EXIT_USAGE;
    }
    if (!o.mqttBroker.empty()) {
        server::MqttBroker broker;
        if (!server::ParseMqttBroker(o.mqttBroker, &broker, error))
            return EXIT_USAGE;
    }
    return EXIT_OK;
}

int Serve(const Options& o, const std::string& device, long baud, const std::vector<int>& addresses,
          std::atomic<bool>* interrupted, std::string* error)
{
    Service service(o, device, baud, addresses, interrupted);
    return service.run(error);
}

} // namespace tecctl
