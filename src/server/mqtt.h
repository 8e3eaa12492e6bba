// MQTT for the served controllers: each round's state, a retained
// availability with a last will, and Home Assistant discovery configs.
// libmosquitto driven from Qt's event loop (its socket under a
// QSocketNotifier, a timer for its keep-alive): nothing here ever waits on
// the broker, so a broker that is down, slow or gone never delays a round.
// Publishes only; there is no command topic.
#pragma once

#include <QObject>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QSocketNotifier;
class QTimer;
struct mosquitto;

namespace server {

// A broker address from "HOST" or "HOST:PORT" ("[::1]:1884" for IPv6).
// False with a reason for an empty host or a port outside 1..65535.
struct MqttBroker {
    std::string host;
    int port = 1883;
};
bool ParseMqttBroker(const std::string& text, MqttBroker* out, std::string* error);

// One controller as MQTT names it.
struct MqttController {
    std::string name;       // the operator's name; empty: none given
    int address = 1;
    std::string port;       // the device it is on ("/dev/ttyUSB0")
    std::string unit = "°C";  // the temperature unit the controller shows
    int model = 0;          // identity model code, 0 when not known
};

// The topic segment of a controller: its name with the characters MQTT
// gives a meaning to ('/', '+', '#') and control characters replaced by
// '_'; without a name (or a name of nothing but spaces), the device below
// /dev with '/' as '_', a dash and the address ("ttyUSB0-1", "pts_3-1").
std::string MqttTopicName(const MqttController& c);
// tecontrol/<topic name>/state and .../availability.
std::string MqttStateTopic(const MqttController& c);
std::string MqttAvailabilityTopic(const MqttController& c);

// The retained discovery configs (topic, JSON payload): sensors for PV and
// SV reading the state topic, and a connectivity binary sensor reading the
// availability topic. Identifiers hold only [A-Za-z0-9_-], as Home
// Assistant asks.
std::vector<std::pair<std::string, std::string>> MqttDiscoveryConfigs(const MqttController& c);

// One round's reading of a controller, as the state topic carries it: the
// same fields as `tecctl watch --json` (date M/D/YYYY, time HH:MM:SS, sv,
// pv with the controller's decimals) plus "address" and, when one is
// configured, "name".
struct MqttReading {
    bool valid = false;      // both SV and PV came this round
    bool online = true;      // the controller's link state is not offline
    std::int64_t wallMillis = 0;
    double sv = 0, pv = 0;
    int decimals = 1;
};
std::string MqttStateJson(const MqttController& c, const MqttReading& r);

// The publisher: one broker connection per controller, each with its own
// last will ("offline" retained on the controller's availability topic), so
// a killed program leaves every controller it served offline.
class MqttPublisher : public QObject {
    Q_OBJECT
public:
    MqttPublisher(const MqttBroker& broker, QObject* parent = nullptr);
    ~MqttPublisher() override;

    // Replaces the controllers (in the order readings are given). Their
    // connections start at once, in the background.
    void setControllers(const std::vector<MqttController>& controllers);
    // A controller's description changed (its unit, its model): the
    // discovery configs are published again.
    void updateController(std::size_t index, const MqttController& c);
    // Publishes one round: for each controller, its availability when it
    // changed, and its state when the reading is valid. A connection that is
    // not up, or still has the last round's state unsent, skips the state
    // (it is not queued); the retained topics are sent again on reconnect.
    void publishRound(const std::vector<MqttReading>& readings);
    // Says "offline" on every availability topic and disconnects, waiting
    // at most `seconds` for the broker to take it. For the program's end.
    void stop(double seconds = 1.0);

    // Connections up now (for tests and the status line).
    int connectedCount() const;
    // How many states were skipped because a connection was down or behind.
    std::uint64_t skippedStates() const { return m_skipped; }

signals:
    // A connection came up or went down; the text says which and why.
    void connectionChanged(const QString& text);

private:
    class Link;
    friend class Link;
    MqttBroker m_broker;
    std::vector<std::unique_ptr<Link>> m_links;
    std::uint64_t m_skipped = 0;
    bool m_stopped = false;
};

} // namespace server
