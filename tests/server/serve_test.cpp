// tecctl serve against tecsim on a pseudo-terminal: MQTT to a real broker
// (state, availability, discovery, the last will when killed), the note
// naming the held port, and tecctl going through the running server with
// exactly the frames `tecctl set` sends.
#include "server/broker.h"
#include "server/programs.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

namespace {

using testmqtt::Broker;
using testmqtt::Subscriber;
using testprog::Program;
using testprog::Sim;

QJsonObject Json(const std::string& text)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

// The topic segment of the unnamed controller 1 on the simulator's device.
std::string TopicName(const std::string& device)
{
    char real[PATH_MAX];
    std::string d = ::realpath(device.c_str(), real) ? real : device;
    d = d.substr(5);
    std::replace(d.begin(), d.end(), '/', '_');
    return d + "-1";
}

class ServeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = testprog::TempDir();
        ::mkdir((dir + "/run").c_str(), 0700);
        ::mkdir((dir + "/config").c_str(), 0700);
        env = {{"XDG_RUNTIME_DIR", dir + "/run"}, {"XDG_CONFIG_HOME", dir + "/config"}};
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    std::unique_ptr<Program> tecctl(const std::vector<std::string>& args, const std::string& tag)
    {
        return std::make_unique<Program>(TECCTL_PATH, args, dir, tag, env);
    }
    // The serving process's note, once it is there.
    std::string notePath(const std::string& device)
    {
        char real[PATH_MAX];
        std::string d = ::realpath(device.c_str(), real) ? real : device;
        d = d.substr(5);
        std::replace(d.begin(), d.end(), '/', '_');
        return dir + "/run/tecontrol/serve-" + d + ".json";
    }

    std::string dir;
    std::vector<std::pair<std::string, std::string>> env;
};

TEST_F(ServeTest, MqttGetsStateAvailabilityAndDiscoveryAndTheWillWhenKilled)
{
    Broker broker(dir);
    ASSERT_TRUE(broker.running());
    Sim sim(dir);
    ASSERT_FALSE(sim.device.empty());
    const std::string name = TopicName(sim.device);
    // What the controller holds, set on the port before it is served.
    ASSERT_EQ(tecctl({"--port", sim.device, "set", "sv=37.5"}, "set")->wait(20), 0);
    Subscriber sub(broker.port, "#");
    auto serve = tecctl({"--port", sim.device, "serve", "--mqtt", "127.0.0.1:" + std::to_string(broker.port),
                         "--interval", "0.2"},
                        "serve");
    ASSERT_TRUE(WaitFor([&] { return sub.count("tecontrol/" + name + "/state") >= 2; }, 20)) << serve->err();
    const QJsonObject state = Json(sub.last("tecontrol/" + name + "/state").payload);
    EXPECT_EQ(state["sv"].toDouble(), 37.5);
    EXPECT_TRUE(state["pv"].isDouble());
    EXPECT_EQ(state["address"].toInt(), 1);
    EXPECT_TRUE(state["date"].isString() && state["time"].isString());
    EXPECT_EQ(sub.last("tecontrol/" + name + "/availability").payload, "online");
    const std::string id = "tecontrol_" + name;
    for (const char* topic : {"sensor/%s/pv/config", "sensor/%s/sv/config", "binary_sensor/%s/connectivity/config"}) {
        char t[256];
        std::snprintf(t, sizeof t, topic, id.c_str());
        const testmqtt::Message m = sub.last(std::string("homeassistant/") + t);
        EXPECT_FALSE(m.payload.empty()) << t;
        EXPECT_EQ(Json(m.payload)["device"].toObject()["model"].toString().contains("0xF"), true) << m.payload;
    }

    serve->signal(SIGKILL);
    EXPECT_EQ(serve->wait(10), 128 + SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return sub.last("tecontrol/" + name + "/availability").payload == "offline"; }, 10));
}

TEST_F(ServeTest, ASignalEndsServingCleanlyAndABrokerThatIsDownDelaysNothing)
{
    const int deadPort = testmqtt::FreePort();
    Sim sim(dir);
    auto serve = tecctl({"--port", sim.device, "serve", "--mqtt", "127.0.0.1:" + std::to_string(deadPort),
                         "--interval", "0.2", "--log", dir + "/run.dat"},
                        "serve");
    // Rounds go on at their pace with no broker: one log line each.
    auto lines = [&] {
        const std::string log = testprog::ReadAll(dir + "/run.dat");
        return std::count(log.begin(), log.end(), '\n');
    };
    ASSERT_TRUE(WaitFor([&] { return lines() >= 11; }, 20)) << serve->err();
    const auto t0 = std::chrono::steady_clock::now();
    const long before = lines();
    WaitFor([&] { return lines() >= before + 10; }, 10);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(seconds, 10 * 0.2 * 2) << "ten rounds took " << seconds << " s";
    serve->signal(SIGTERM);
    EXPECT_EQ(serve->wait(10), 0) << serve->err();
    EXPECT_EQ(testprog::ReadAll(dir + "/run.dat").rfind("  Date,       Time,     SV,    PV\n", 0), 0u);
}

TEST_F(ServeTest, TecctlGoesThroughTheServerThatHoldsThePortWithTheSameFrames)
{
    // What `tecctl set sv=30` sends on a port of its own, after identifying.
    std::vector<std::string> direct;
    {
        Sim alone(dir, "alone");
        auto set = tecctl({"--port", alone.device, "set", "sv=30"}, "direct");
        ASSERT_EQ(set->wait(20), 0) << set->err();
        direct = alone.requests();
        ASSERT_GT(direct.size(), 1u);
        direct.erase(direct.begin());  // the identification
    }

    Sim sim(dir);
    auto serve = tecctl({"--port", sim.device, "serve", "--http", "127.0.0.1:0", "--interval", "0.2"}, "serve");
    const std::string note = notePath(sim.device);
    ASSERT_TRUE(WaitFor([&] { return ::access(note.c_str(), F_OK) == 0; }, 20)) << serve->err();
    const QJsonObject n = Json(testprog::ReadAll(note));
    EXPECT_EQ(n["pid"].toInt(), serve->pid());
    EXPECT_TRUE(n["url"].toString().startsWith("http://127.0.0.1:"));
    struct stat st{};
    ASSERT_EQ(::stat(note.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Reads: no token needed; stderr says where the answer came from.
    auto get = tecctl({"--port", sim.device, "get", "sv"}, "get");
    ASSERT_EQ(get->wait(20), 0) << get->err();
    EXPECT_NE(get->err().find("going through its server at " + n["url"].toString().toStdString()), std::string::npos)
        << get->err();
    EXPECT_EQ(get->out(), "sv                   25.0 \u00B0C\n");

    // --direct refuses as before: the port is busy.
    auto refused = tecctl({"--direct", "--port", sim.device, "get", "sv"}, "direct-get");
    EXPECT_EQ(refused->wait(20), 3);
    EXPECT_NE(refused->err().find("is busy, held by"), std::string::npos) << refused->err();

    // A write: exactly tecctl set's frames, between the rounds' polls.
    const std::vector<std::string> polls = {"01 03 10 00", "01 03 10 01", "01 03 10 02"};
    const std::size_t before = sim.requests().size();
    auto set = tecctl({"--port", sim.device, "set", "sv=30"}, "set");
    ASSERT_EQ(set->wait(20), 0) << set->err();
    EXPECT_NE(set->err().find("going through its server"), std::string::npos);
    EXPECT_EQ(set->out(), "sv                   30.0 \u00B0C\n");
    std::vector<std::string> through;
    const std::vector<std::string> all = sim.requests();
    std::vector<std::string> pollFrames;
    for (std::size_t k = before; k < all.size(); ++k) {
        const bool poll = std::any_of(polls.begin(), polls.end(), [&](const std::string& p) {
            return all[k].rfind(p, 0) == 0;
        });
        if (!poll)
            through.push_back(all[k]);
    }
    EXPECT_EQ(through, direct);
    auto after = tecctl({"--port", sim.device, "get", "sv"}, "get2");
    ASSERT_EQ(after->wait(20), 0);
    EXPECT_EQ(after->out(), "sv                   30.0 \u00B0C\n");

    // Without the token file, a write is refused and nothing is sent.
    std::remove((dir + "/config/tecontrol/server-token").c_str());
    const std::size_t count = sim.requests().size();
    auto anonymous = tecctl({"--port", sim.device, "set", "sv=31"}, "anon");
    EXPECT_EQ(anonymous->wait(20), 3);
    EXPECT_NE(anonymous->err().find("token"), std::string::npos) << anonymous->err();
    const std::vector<std::string> later = sim.requests();
    for (std::size_t k = count; k < later.size(); ++k)
        EXPECT_EQ(later[k].rfind("01 06", 0), std::string::npos) << later[k];

    serve->signal(SIGTERM);
    EXPECT_EQ(serve->wait(10), 0) << serve->err();
    EXPECT_NE(::access(note.c_str(), F_OK), 0) << "the note outlived the server";
    // Once nobody serves, the port is tecctl's own again.
    auto own = tecctl({"--port", sim.device, "get", "sv"}, "own");
    EXPECT_EQ(own->wait(20), 0) << own->err();
    EXPECT_EQ(own->err().find("server"), std::string::npos);
}

TEST_F(ServeTest, CommandsThroughTheServerSayWhatTheDirectOnesSay)
{
    Sim sim(dir);
    auto direct = tecctl({"--port", sim.device, "--json", "read"}, "direct-read");
    ASSERT_EQ(direct->wait(20), 0) << direct->err();
    auto identify = tecctl({"--port", sim.device, "identify"}, "direct-identify");
    ASSERT_EQ(identify->wait(20), 0);
    auto serve = tecctl({"--port", sim.device, "serve", "--http", "0", "--interval", "0.2"}, "serve");
    ASSERT_TRUE(WaitFor([&] { return ::access(notePath(sim.device).c_str(), F_OK) == 0; }, 20)) << serve->err();

    // The same document, from what the server read.
    auto read = tecctl({"--port", sim.device, "--json", "read"}, "read");
    ASSERT_EQ(read->wait(20), 0) << read->err();
    const QJsonObject a = Json(direct->out()), b = Json(read->out());
    ASSERT_GE(a["parameters"].toObject().size(), 30) << direct->out();
    for (const char* key : {"parameters", "decimalPoint", "tempScale", "model", "identity", "address", "status"})
        EXPECT_EQ(a[key], b[key]) << key;
    EXPECT_EQ(b["pv"].toObject()["unit"].toString(), QString::fromUtf8("\u00B0C"));
    auto same = tecctl({"--port", sim.device, "identify"}, "identify");
    ASSERT_EQ(same->wait(20), 0);
    EXPECT_EQ(same->out(), identify->out());

    auto watch = tecctl({"--port", sim.device, "watch", "--count", "2", "--interval", "0.1"}, "watch");
    ASSERT_EQ(watch->wait(20), 0) << watch->err();
    const std::string lines = watch->out();
    EXPECT_EQ(lines.rfind("  Date,       Time,     SV,    PV\n", 0), 0u);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3);

    auto function = tecctl({"--port", sim.device, "function", "manual"}, "function");
    ASSERT_EQ(function->wait(20), 0) << function->err();
    EXPECT_EQ(function->out(), "control function manual\n");
    auto get = tecctl({"--port", sim.device, "get", "function"}, "get");
    ASSERT_EQ(get->wait(20), 0);
    EXPECT_EQ(get->out(), "function           manual\n");
    auto output = tecctl({"--port", sim.device, "output", "12.5"}, "output");
    ASSERT_EQ(output->wait(20), 0) << output->err();
    EXPECT_EQ(output->out(), "output level 12.5 %\n");

    // What needs the port itself is refused, naming who holds it; nothing
    // reaches the line for it.
    const std::size_t before = sim.requests().size();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"save", dir + "/x.prm"}, {"raw", "01", "03", "00", "00", "00", "01"},
          {"program", "status"}}) {
        std::vector<std::string> full{"--port", sim.device};
        full.insert(full.end(), args.begin(), args.end());
        auto refused = tecctl(full, "refused");
        EXPECT_EQ(refused->wait(20), 3) << args[0];
        EXPECT_NE(refused->err().find("held by pid " + std::to_string(serve->pid())), std::string::npos)
            << refused->err();
    }
    EXPECT_NE(::access((dir + "/x.prm").c_str(), F_OK), 0);
    const std::vector<std::string> after = sim.requests();
    for (std::size_t k = before; k < after.size(); ++k)
        EXPECT_TRUE(after[k].rfind("01 03 10 0", 0) == 0) << "not a poll: " << after[k];
    serve->signal(SIGTERM);
    EXPECT_EQ(serve->wait(10), 0);
}

} // namespace
