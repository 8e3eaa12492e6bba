#include "server/mqtt.h"

#include "io/text_escape.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unistd.h>

namespace server {

namespace {

// The broker hears from us at least this often, or drops the connection
// and publishes the last will.
constexpr int kKeepAliveSeconds = 30;
// A connection attempt that has not been accepted by then is given up.
constexpr int kConnectTimeoutMs = 10000;
// Between attempts: 1 s, doubling to at most 30 s.
constexpr int kFirstRetryMs = 1000;
constexpr int kLastRetryMs = 30000;

const char* const kOnline = "online";
const char* const kOffline = "offline";

std::string JsonText(const std::string& s)
{
    // Names arrive as the operator typed them: escaped to printable UTF-8
    // first, so the document is always valid.
    std::string out = "\"";
    for (unsigned char c : io::EscapeText(s)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Number(double v, int decimals)
{
    if (!std::isfinite(v))
        return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", std::clamp(decimals, 0, 6), v);
    return buf;
}

std::string Basename(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Only [A-Za-z0-9_-]: what discovery topics and unique ids may hold.
std::string Slug(const std::string& s)
{
    std::string out;
    for (unsigned char c : s)
        out += (std::isalnum(c) && c < 0x80) || c == '-' || c == '_' ? static_cast<char>(c) : '_';
    return out;
}

void InitLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

} // namespace

bool ParseMqttBroker(const std::string& text, MqttBroker* out, std::string* error)
{
    MqttBroker b;
    std::string host = text, port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) {
            *error = "--mqtt " + text + ": no closing ] after the IPv6 address";
            return false;
        }
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') {
                *error = "--mqtt " + text + ": HOST or HOST:PORT expected";
                return false;
            }
            port = text.substr(close + 2);
            if (port.empty()) {
                *error = "--mqtt " + text + ": no port after the colon";
                return false;
            }
        }
    } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        if (text.find(':') != colon) {
            *error = "--mqtt " + text + ": write an IPv6 address in brackets ([::1]:1883)";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (port.empty()) {
            *error = "--mqtt " + text + ": no port after the colon";
            return false;
        }
    }
    if (host.empty()) {
        *error = "--mqtt " + text + ": no broker host";
        return false;
    }
    for (unsigned char c : host) {
        if (c <= ' ' || c >= 0x7f) {
            *error = "--mqtt: the broker host holds a space or control character";
            return false;
        }
    }
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(port) < 1 || std::stoi(port) > 65535) {
            *error = "--mqtt " + text + ": the port must be 1 to 65535";
            return false;
        }
        b.port = std::stoi(port);
    }
    b.host = host;
    *out = b;
    return true;
}

std::string MqttTopicName(const MqttController& c)
{
    std::string out;
    bool meaningful = false;
    for (unsigned char ch : c.name) {
        if (ch == '/' || ch == '+' || ch == '#' || ch < 0x20 || ch == 0x7f) {
            out += '_';
        } else {
            out += static_cast<char>(ch);
            meaningful = meaningful || ch != ' ';
        }
    }
    if (meaningful)
        return out;
    // The device as its lock file names it: below /dev, '/' as '_'
    // ("ttyUSB0", "pts_3").
    std::string port = c.port.rfind("/dev/", 0) == 0 ? c.port.substr(5) : Basename(c.port);
    for (char& ch : port)
        if (ch == '/' || ch == '+' || ch == '#' || static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f)
            ch = '_';
    return (port.empty() ? std::string("controller") : port) + "-" + std::to_string(c.address);
}

std::string MqttStateTopic(const MqttController& c)
{
    return "tecontrol/" + MqttTopicName(c) + "/state";
}

std::string MqttAvailabilityTopic(const MqttController& c)
{
    return "tecontrol/" + MqttTopicName(c) + "/availability";
}

std::vector<std::pair<std::string, std::string>> MqttDiscoveryConfigs(const MqttController& c)
{
    const std::string id = "tecontrol_" + Slug(MqttTopicName(c));
    const std::string label = c.name.empty() ? "address " + std::to_string(c.address) : c.name;
    std::string model = "TEC controller";
    if (c.model) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "TEC controller (model 0x%02X)", c.model);
        model = buf;
    }
    const std::string device = "{\"identifiers\": [" + JsonText(id) + "], \"name\": " + JsonText(label) +
                               ", \"model\": " + JsonText(model) + ", \"manufacturer\": \"tecontrol\"}";
    const std::string state = JsonText(MqttStateTopic(c));
    const std::string avail = JsonText(MqttAvailabilityTopic(c));
    auto sensor = [&](const char* key, const char* title) {
        return std::make_pair(
            "homeassistant/sensor/" + id + "/" + key + "/config",
            "{\"name\": " + JsonText(label + " " + title) + ", \"unique_id\": " + JsonText(id + "_" + key) +
                ", \"state_topic\": " + state + ", \"value_template\": \"{{ value_json." + key + " }}\"" +
                ", \"unit_of_measurement\": " + JsonText(c.unit) +
                ", \"device_class\": \"temperature\", \"state_class\": \"measurement\"" +
                ", \"availability_topic\": " + avail +
                ", \"payload_available\": \"online\", \"payload_not_available\": \"offline\"" +
                ", \"device\": " + device + "}");
    };
    std::vector<std::pair<std::string, std::string>> out;
    out.push_back(sensor("pv", "PV"));
    out.push_back(sensor("sv", "SV"));
    // The link itself: on while the controller answers, off when it went
    // offline or the program serving it ended (the last will).
    out.emplace_back("homeassistant/binary_sensor/" + id + "/connectivity/config",
                     "{\"name\": " + JsonText(label + " link") + ", \"unique_id\": " +
                         JsonText(id + "_connectivity") + ", \"state_topic\": " + avail +
                         ", \"payload_on\": \"online\", \"payload_off\": \"offline\"" +
                         ", \"device_class\": \"connectivity\", \"device\": " + device + "}");
    return out;
}

std::string MqttStateJson(const MqttController& c, const MqttReading& r)
{
    const std::time_t t = static_cast<std::time_t>(r.wallMillis / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char date[32], time[16];
    std::snprintf(date, sizeof date, "%d/%d/%d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
    std::strftime(time, sizeof time, "%H:%M:%S", &tm);
    std::string out = "{\"date\": " + JsonText(date) + ", \"time\": " + JsonText(time) +
                      ", \"sv\": " + Number(r.sv, r.decimals) + ", \"pv\": " + Number(r.pv, r.decimals) +
                      ", \"address\": " + std::to_string(c.address);
    if (!c.name.empty())
        out += ", \"name\": " + JsonText(c.name);
    return out + "}";
}

// ------------------------------------------------------------------ Link

// One broker connection for one controller: its will, its retained topics,
// its socket under Qt's event loop.
class MqttPublisher::Link {
public:
    Link(MqttPublisher& owner, const MqttController& c) : m_owner(owner), m_c(c)
    {
        InitLibrary();
        const std::string clientId =
            "tecontrol-" + std::to_string(::getpid()) + "-" + Slug(MqttTopicName(c)).substr(0, 40);
        m_mosq = mosquitto_new(clientId.c_str(), true, this);
        if (!m_mosq)
            return;
        mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_connect_callback_set(m_mosq, [](mosquitto*, void* self, int rc) {
            static_cast<Link*>(self)->onConnect(rc);
        });
        mosquitto_disconnect_callback_set(m_mosq, [](mosquitto*, void* self, int rc) {
            static_cast<Link*>(self)->m_lost = true;
        });
        setWill();
        m_misc = new QTimer(&m_owner);
        m_misc->setInterval(1000);
        QObject::connect(m_misc, &QTimer::timeout, &m_owner, [this] { misc(); });
        m_misc->start();
        m_retry = new QTimer(&m_owner);
        m_retry->setSingleShot(true);
        QObject::connect(m_retry, &QTimer::timeout, &m_owner, [this] { attempt(); });
        attempt();
    }

    ~Link()
    {
        dropNotifiers();
        delete m_misc;
        delete m_retry;
        if (m_mosq)
            mosquitto_destroy(m_mosq);
    }

    bool connected() const { return m_connected; }

    void update(const MqttController& c)
    {
        const bool renamed = MqttTopicName(c) != MqttTopicName(m_c);
        if (renamed && m_connected) {
            // The old topics are left saying the truth: that name is gone.
            publish(MqttAvailabilityTopic(m_c), kOffline, 1, true);
            for (const auto& config : MqttDiscoveryConfigs(m_c))
                publish(config.first, "", 1, true);
        }
        m_c = c;
        if (renamed && m_mosq) {
            // The will names the topic; a new one takes a new connection.
            setWill();
            if (m_connected)
                mosquitto_disconnect(m_mosq);
            afterCall();
            return;
        }
        if (m_connected)
            announce();
        afterCall();
    }

    // Returns false when the state was skipped.
    bool round(const MqttReading& r)
    {
        const bool availabilityChanged = r.online != m_online;
        m_online = r.online;
        if (r.valid) {
            m_lastState = MqttStateJson(m_c, r);
            m_stateFresh = true;
        }
        if (!m_connected)
            return !r.valid;
        if (availabilityChanged)
            publish(MqttAvailabilityTopic(m_c), m_online ? kOnline : kOffline, 1, true);
        bool sent = !r.valid;
        // A connection that has not written out the last round yet is
        // behind (a stalled broker): the state is dropped, never queued.
        if (r.valid && !mosquitto_want_write(m_mosq)) {
            publish(MqttStateTopic(m_c), m_lastState, 0, false);
            m_stateFresh = false;
            sent = true;
        }
        afterCall();
        return sent;
    }

    // At the end: "offline" retained, then the disconnect, within `deadline`.
    void stop(const QElapsedTimer& clock, double seconds)
    {
        m_stopping = true;
        m_retry->stop();
        m_misc->stop();
        dropNotifiers();
        if (!m_mosq || !m_connected)
            return;
        m_offlineMid = -1;
        mosquitto_publish_callback_set(m_mosq, [](mosquitto*, void* self, int mid) {
            Link* l = static_cast<Link*>(self);
            if (mid == l->m_offlineMid)
                l->m_offlineDone = true;
        });
        mosquitto_publish(m_mosq, &m_offlineMid, MqttAvailabilityTopic(m_c).c_str(), 7, kOffline, 1, true);
        // QoS 1: the broker's acknowledgement says it holds the retained
        // "offline"; only then the clean disconnect (which drops the will).
        while (!m_offlineDone && mosquitto_socket(m_mosq) >= 0 && clock.elapsed() < seconds * 1000) {
            if (mosquitto_loop(m_mosq, 20, 1) != MOSQ_ERR_SUCCESS)
                break;
        }
        mosquitto_disconnect(m_mosq);
        while (mosquitto_socket(m_mosq) >= 0 && clock.elapsed() < seconds * 1000) {
            if (mosquitto_loop(m_mosq, 20, 1) != MOSQ_ERR_SUCCESS)
                break;
        }
        m_connected = false;
    }

private:
    void setWill()
    {
        const std::string topic = MqttAvailabilityTopic(m_c);
        mosquitto_will_set(m_mosq, topic.c_str(), 7, kOffline, 1, true);
    }

    void attempt()
    {
        if (!m_mosq || m_stopping)
            return;
        dropNotifiers();
        m_lost = false;
        m_connected = false;
        const QString host = QString::fromStdString(m_owner.m_broker.host);
        QHostAddress numeric;
        if (numeric.setAddress(host)) {
            connectTo(host.toStdString());
            return;
        }
        // A name is looked up without waiting for it: the answer comes as
        // an event, and the attempt goes on from there.
        ++m_lookup;
        const int lookup = m_lookup;
        QHostInfo::lookupHost(host, &m_owner, [this, lookup](const QHostInfo& info) {
            if (lookup != m_lookup || m_stopping)
                return;
            if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
                report("MQTT broker " + m_owner.m_broker.host + " not found: " + info.errorString().toStdString());
                scheduleRetry();
                return;
            }
            connectTo(info.addresses().front().toString().toStdString());
        });
    }

    void connectTo(const std::string& address)
    {
        m_started.start();
        // A numeric address: the socket is made and the connect started
        // without waiting; its outcome arrives on the socket.
        const int rc = mosquitto_connect_async(m_mosq, address.c_str(), m_owner.m_broker.port, kKeepAliveSeconds);
        if (rc != MOSQ_ERR_SUCCESS) {
            report("MQTT broker " + m_owner.m_broker.host + ":" + std::to_string(m_owner.m_broker.port) +
                   " cannot be reached: " + (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)));
            scheduleRetry();
            return;
        }
        afterCall();
    }

    void onConnect(int rc)
    {
        if (rc != 0) {
            m_lost = true;
            report(std::string("MQTT broker refused the connection: ") + mosquitto_connack_string(rc));
            return;
        }
        m_connected = true;
        m_retryMs = kFirstRetryMs;
        report("MQTT connected to " + m_owner.m_broker.host + ":" + std::to_string(m_owner.m_broker.port));
        announce();
    }

    // What a new connection says first: the availability, the discovery
    // configs, and the last state when one is not yet sent.
    void announce()
    {
        publish(MqttAvailabilityTopic(m_c), m_online ? kOnline : kOffline, 1, true);
        for (const auto& config : MqttDiscoveryConfigs(m_c))
            publish(config.first, config.second, 1, true);
        if (m_stateFresh && !m_lastState.empty()) {
            publish(MqttStateTopic(m_c), m_lastState, 0, false);
            m_stateFresh = false;
        }
    }

    void publish(const std::string& topic, const std::string& payload, int qos, bool retain)
    {
        mosquitto_publish(m_mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                          retain);
    }

    void onReadable()
    {
        if (mosquitto_loop_read(m_mosq, 1) != MOSQ_ERR_SUCCESS)
            m_lost = true;
        afterCall();
    }

    void onWritable()
    {
        if (mosquitto_loop_write(m_mosq, 1) != MOSQ_ERR_SUCCESS)
            m_lost = true;
        afterCall();
    }

    void misc()
    {
        if (m_stopping || !m_mosq || m_retry->isActive() || mosquitto_socket(m_mosq) < 0)
            return;
        if (!m_connected && m_started.isValid() && m_started.elapsed() > kConnectTimeoutMs) {
            report("MQTT broker " + m_owner.m_broker.host + " did not accept the connection in time");
            m_lost = true;
        } else if (mosquitto_loop_misc(m_mosq) != MOSQ_ERR_SUCCESS) {
            m_lost = true;
        }
        afterCall();
    }

    // After every call into the library: a lost connection is retried
    // later; otherwise the notifiers follow its socket, and the write side
    // is watched only while something waits to go out.
    void afterCall()
    {
        if (m_stopping)
            return;
        if (m_lost) {
            const bool was = m_connected;
            m_connected = false;
            m_lost = false;
            if (was)
                report("MQTT connection to " + m_owner.m_broker.host + " lost; trying again in the background");
            scheduleRetry();
            return;
        }
        const int fd = mosquitto_socket(m_mosq);
        if (fd != m_fd) {
            dropNotifiers();
            if (fd >= 0) {
                m_fd = fd;
                m_read = new QSocketNotifier(fd, QSocketNotifier::Read);
                QObject::connect(m_read, &QSocketNotifier::activated, &m_owner, [this] { onReadable(); });
                m_write = new QSocketNotifier(fd, QSocketNotifier::Write);
                QObject::connect(m_write, &QSocketNotifier::activated, &m_owner, [this] { onWritable(); });
            }
        }
        if (m_write)
            m_write->setEnabled(mosquitto_want_write(m_mosq));
    }

    void scheduleRetry()
    {
        dropNotifiers();
        if (m_stopping)
            return;
        m_retry->start(m_retryMs);
        m_retryMs = std::min(m_retryMs * 2, kLastRetryMs);
    }

    void dropNotifiers()
    {
        // Deleted later: this may run inside one of their own signals.
        if (m_read)
            m_read->setEnabled(false), m_read->deleteLater();
        if (m_write)
            m_write->setEnabled(false), m_write->deleteLater();
        m_read = m_write = nullptr;
        m_fd = -1;
    }

    void report(const std::string& text)
    {
        if (text != m_lastReport) {
            m_lastReport = text;
            emit m_owner.connectionChanged(QString::fromStdString(text));
        }
    }

    MqttPublisher& m_owner;
    MqttController m_c;
    mosquitto* m_mosq = nullptr;
    QSocketNotifier* m_read = nullptr;
    QSocketNotifier* m_write = nullptr;
    QTimer* m_misc = nullptr;
    QTimer* m_retry = nullptr;
    QElapsedTimer m_started;
    int m_fd = -1;
    int m_lookup = 0;
    int m_retryMs = kFirstRetryMs;
    bool m_connected = false;
    bool m_lost = false;
    bool m_stopping = false;
    bool m_online = true;
    bool m_stateFresh = false;
    std::string m_lastState;
    std::string m_lastReport;
    int m_offlineMid = -1;
    bool m_offlineDone = false;
};

// ------------------------------------------------------------- Publisher

MqttPublisher::MqttPublisher(const MqttBroker& broker, QObject* parent) : QObject(parent), m_broker(broker) {}

MqttPublisher::~MqttPublisher()
{
    if (!m_stopped)
        stop(0.5);
    m_links.clear();
}

void MqttPublisher::setControllers(const std::vector<MqttController>& controllers)
{
    // The controllers replaced say so before their connections close.
    if (!m_stopped) {
        QElapsedTimer clock;
        clock.start();
        for (auto& l : m_links)
            l->stop(clock, 0.2);
    }
    m_links.clear();
    m_stopped = false;
    for (const MqttController& c : controllers)
        m_links.push_back(std::make_unique<Link>(*this, c));
}

void MqttPublisher::updateController(std::size_t index, const MqttController& c)
{
    if (index < m_links.size())
        m_links[index]->update(c);
}

void MqttPublisher::publishRound(const std::vector<MqttReading>& readings)
{
    if (m_stopped)
        return;
    for (std::size_t k = 0; k < readings.size() && k < m_links.size(); ++k)
        if (!m_links[k]->round(readings[k]))
            ++m_skipped;
}

void MqttPublisher::stop(double seconds)
{
    if (m_stopped)
        return;
    m_stopped = true;
    QElapsedTimer clock;
    clock.start();
    for (auto& l : m_links)
        l->stop(clock, seconds);
}

int MqttPublisher::connectedCount() const
{
    return static_cast<int>(std::count_if(m_links.begin(), m_links.end(), [](const auto& l) { return l->connected(); }));
}

} // namespace server
