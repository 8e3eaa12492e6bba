// MQTT: the topic names and payloads, and the publisher against a real
// mosquitto broker (state, retained availability and discovery, "offline"
// at the end, a broker that is down or goes away never holding a round up).
#include "server/mqtt.h"
#include "server/broker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <dirent.h>
#include <set>

namespace {

using namespace server;
using testmqtt::Broker;
using testmqtt::Subscriber;

std::string TempDir()
{
    char name[] = "/tmp/tec-mqtt-test-XXXXXX";
    const char* d = ::mkdtemp(name);
    return d ? d : "/tmp";
}

// Runs Qt's event loop until `done` holds or `seconds` passed.
bool Pump(const std::function<bool()>& done, double seconds)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > seconds * 1000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

QJsonObject Json(const std::string& text)
{
    QJsonParseError e;
    const QJsonDocument d = QJsonDocument::fromJson(QByteArray::fromStdString(text), &e);
    EXPECT_EQ(e.error, QJsonParseError::NoError) << text;
    return d.object();
}

int OpenDescriptors()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

MqttController Stage()
{
    MqttController c;
    c.name = "stage";
    c.address = 1;
    c.port = "/dev/ttyUSB0";
    c.model = 0xF1;
    return c;
}

MqttReading Reading(double sv, double pv, bool online = true)
{
    MqttReading r;
    r.valid = true;
    r.online = online;
    r.wallMillis = 1765200000000;  // whole seconds; the time is local
    r.sv = sv;
    r.pv = pv;
    r.decimals = 1;
    return r;
}

TEST(MqttNames, BrokerAddressesAndTheirMistakes)
{
    struct Row {
        const char* text;
        bool ok;
        const char* host;
        int port;
    } rows[] = {
        {"127.0.0.1", true, "127.0.0.1", 1883},      {"broker.lab:1884", true, "broker.lab", 1884},
        {"[::1]:8883", true, "::1", 8883},           {"[::1]", true, "::1", 1883},
        {"host:", false, "", 0},                     {":1883", false, "", 0},
        {"host:0", false, "", 0},                    {"host:65536", false, "", 0},
        {"host:12x", false, "", 0},                  {"::1", false, "", 0},
        {"", false, "", 0},                          {"ho st", false, "", 0},
        {"host:99999999999999999999", false, "", 0},
    };
    for (const Row& r : rows) {
        MqttBroker b;
        std::string why;
        EXPECT_EQ(ParseMqttBroker(r.text, &b, &why), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(b.host, r.host);
            EXPECT_EQ(b.port, r.port);
        } else {
            EXPECT_FALSE(why.empty()) << r.text;
        }
    }
}

TEST(MqttNames, TopicsNeverHoldWildcardsOrLevelsFromAName)
{
    MqttController c = Stage();
    EXPECT_EQ(MqttStateTopic(c), "tecontrol/stage/state");
    EXPECT_EQ(MqttAvailabilityTopic(c), "tecontrol/stage/availability");
    c.name = "oven/2 #a+b\n";
    EXPECT_EQ(MqttTopicName(c), "oven_2 _a_b_");
    // Without a usable name: the port and the address, so two ports'
    // address 1 stay apart.
    c.name = "";
    EXPECT_EQ(MqttTopicName(c), "ttyUSB0-1");
    c.name = "   ";
    c.address = 7;
    EXPECT_EQ(MqttTopicName(c), "ttyUSB0-7");
    c.port = "/dev/pts/3";
    EXPECT_EQ(MqttTopicName(c), "pts_3-7");
}

TEST(MqttNames, DiscoveryConfigsAreValidJsonWithUniqueIdsAndTheirTopics)
{
    MqttController c = Stage();
    c.name = "Stage \"A\"/1";
    c.unit = "°F";
    const auto configs = MqttDiscoveryConfigs(c);
    ASSERT_EQ(configs.size(), 3u);
    std::set<QString> ids;
    for (const auto& [topic, payload] : configs) {
        const QJsonObject o = Json(payload);
        // Discovery topics: homeassistant/<component>/<node>/<object>/config,
        // node and object of [A-Za-z0-9_-] only.
        EXPECT_TRUE(QString::fromStdString(topic).contains(QRegularExpression(
            "^homeassistant/(sensor|binary_sensor)/[A-Za-z0-9_-]+/[A-Za-z0-9_-]+/config$")))
            << topic;
        ids.insert(o["unique_id"].toString());
        EXPECT_EQ(o["device"].toObject()["name"].toString(), QString::fromUtf8("Stage \"A\"/1"));
    }
    EXPECT_EQ(ids.size(), 3u);
    const QJsonObject pv = Json(configs[0].second);
    EXPECT_EQ(configs[0].first, "homeassistant/sensor/tecontrol_Stage__A__1/pv/config");
    EXPECT_EQ(pv["state_topic"].toString(), "tecontrol/Stage \"A\"_1/state");
    EXPECT_EQ(pv["value_template"].toString(), "{{ value_json.pv }}");
    EXPECT_EQ(pv["unit_of_measurement"].toString(), QString::fromUtf8("°F"));
    EXPECT_EQ(pv["availability_topic"].toString(), "tecontrol/Stage \"A\"_1/availability");
    EXPECT_EQ(Json(configs[1].second)["value_template"].toString(), "{{ value_json.sv }}");
    const QJsonObject link = Json(configs[2].second);
    EXPECT_EQ(configs[2].first, "homeassistant/binary_sensor/tecontrol_Stage__A__1/connectivity/config");
    EXPECT_EQ(link["device_class"].toString(), "connectivity");
    EXPECT_EQ(link["state_topic"].toString(), "tecontrol/Stage \"A\"_1/availability");
    EXPECT_EQ(link["payload_on"].toString(), "online");
    EXPECT_EQ(link["payload_off"].toString(), "offline");
}

TEST(MqttNames, StateCarriesWatchFieldsAddressAndNameAtTheControllersDecimals)
{
    MqttController c = Stage();
    MqttReading r = Reading(37.5, 37.46);
    QJsonObject o = Json(MqttStateJson(c, r));
    EXPECT_EQ(o.keys(), (QStringList{"address", "date", "name", "pv", "sv", "time"}));
    EXPECT_EQ(o["address"].toInt(), 1);
    EXPECT_EQ(o["name"].toString(), "stage");
    EXPECT_NE(MqttStateJson(c, r).find("\"pv\": 37.5,"), std::string::npos);
    EXPECT_TRUE(o["date"].toString().contains(QRegularExpression("^\\d{1,2}/\\d{1,2}/\\d{4}$")));
    EXPECT_TRUE(o["time"].toString().contains(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$")));
    r.decimals = 2;
    EXPECT_NE(MqttStateJson(c, r).find("\"pv\": 37.46,"), std::string::npos);
    c.name = "";
    EXPECT_FALSE(Json(MqttStateJson(c, r)).contains("name"));
}

class MqttBrokerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = TempDir();
        broker = std::make_unique<Broker>(dir);
        ASSERT_TRUE(broker->running()) << "mosquitto did not start";
    }
    MqttBroker address() const { return {"127.0.0.1", broker->port}; }
    std::string dir;
    std::unique_ptr<Broker> broker;
};

TEST_F(MqttBrokerTest, RoundsPublishStateAvailabilityAndDiscoveryThenOfflineAtTheEnd)
{
    Subscriber sub(broker->port, "#");
    ASSERT_TRUE(sub.subscribed());
    MqttPublisher pub(address());
    pub.setControllers({Stage()});
    ASSERT_TRUE(Pump([&] { return pub.connectedCount() == 1; }, 10));
    pub.publishRound({Reading(30.0, 25.3)});
    ASSERT_TRUE(Pump([&] { return sub.count("tecontrol/stage/state") == 1; }, 10));
    const QJsonObject state = Json(sub.last("tecontrol/stage/state").payload);
    EXPECT_EQ(state["sv"].toDouble(), 30.0);
    EXPECT_EQ(state["pv"].toDouble(), 25.3);
    EXPECT_EQ(sub.last("tecontrol/stage/availability").payload, "online");
    for (const auto& [topic, payload] : MqttDiscoveryConfigs(Stage()))
        EXPECT_EQ(sub.last(topic).payload, payload) << topic;

    // A round without a reading sends no state; the controller going
    // offline says so once, retained.
    MqttReading missed;
    missed.online = false;
    pub.publishRound({missed});
    pub.publishRound({missed});
    ASSERT_TRUE(Pump([&] { return sub.last("tecontrol/stage/availability").payload == "offline"; }, 10));
    pub.publishRound({Reading(30.0, 25.4)});
    ASSERT_TRUE(Pump([&] { return sub.count("tecontrol/stage/state") == 2; }, 10));
    EXPECT_EQ(sub.count("tecontrol/stage/availability"), 3);
    EXPECT_EQ(sub.last("tecontrol/stage/availability").payload, "online");

    pub.stop();
    EXPECT_TRUE(WaitFor([&] { return sub.last("tecontrol/stage/availability").payload == "offline"; }, 5));
    // What a newcomer finds kept: the availability and the configs.
    Subscriber late(broker->port, "tecontrol/stage/availability");
    EXPECT_TRUE(WaitFor([&] { return late.last("tecontrol/stage/availability").retained; }, 5));
    EXPECT_EQ(late.last("tecontrol/stage/availability").payload, "offline");
}

TEST_F(MqttBrokerTest, EachControllerHasItsOwnTopicsAndConnection)
{
    Subscriber sub(broker->port, "tecontrol/#");
    MqttController a = Stage(), b = Stage();
    b.name = "";
    b.address = 2;
    MqttPublisher pub(address());
    pub.setControllers({a, b});
    ASSERT_TRUE(Pump([&] { return pub.connectedCount() == 2; }, 10));
    pub.publishRound({Reading(30, 25), Reading(40, 41, false)});
    ASSERT_TRUE(Pump([&] { return sub.count("tecontrol/ttyUSB0-2/state") == 1; }, 10));
    ASSERT_TRUE(Pump([&] { return sub.last("tecontrol/ttyUSB0-2/availability").payload == "offline"; }, 10));
    EXPECT_EQ(sub.last("tecontrol/stage/availability").payload, "online");
    EXPECT_EQ(Json(sub.last("tecontrol/ttyUSB0-2/state").payload)["address"].toInt(), 2);
}

TEST_F(MqttBrokerTest, ABrokerDownNeverDelaysARoundAndIsReachedWhenItComesBack)
{
    const int port = broker->port;
    broker->stop();
    MqttPublisher pub(address());
    pub.setControllers({Stage()});
    QElapsedTimer t;
    t.start();
    for (int k = 0; k < 20; ++k) {
        pub.publishRound({Reading(30, 25)});
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    EXPECT_LT(t.elapsed(), 500);
    EXPECT_EQ(pub.connectedCount(), 0);
    EXPECT_GT(pub.skippedStates(), 0u);

    // Back: the retained topics and the latest state go out on their own.
    broker = std::make_unique<Broker>(dir, port);
    ASSERT_TRUE(broker->running());
    Subscriber sub(port, "tecontrol/#");
    ASSERT_TRUE(Pump([&] { return pub.connectedCount() == 1; }, 15));
    ASSERT_TRUE(Pump([&] { return sub.last("tecontrol/stage/availability").payload == "online"; }, 10));
    ASSERT_TRUE(Pump([&] { return sub.count("tecontrol/stage/state") == 1; }, 10));

    // Gone again while connected: rounds stay quick, the publisher notices
    // and tries again in the background without piling up sockets.
    broker->stop();
    ASSERT_TRUE(Pump([&] { return pub.connectedCount() == 0; }, 10));
    const int before = OpenDescriptors();
    t.restart();
    for (int k = 0; k < 20; ++k)
        pub.publishRound({Reading(30, 25)});
    EXPECT_LT(t.elapsed(), 200);
    // Attempts after 1 and 2 s more: each one's socket replaces the last.
    Pump([] { return false; }, 3.5);
    EXPECT_LE(OpenDescriptors(), before + 1);
    broker = std::make_unique<Broker>(dir, port);
    ASSERT_TRUE(broker->running());
    ASSERT_TRUE(Pump([&] { return pub.connectedCount() == 1; }, 20));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
