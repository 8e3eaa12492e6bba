// The window as the server of its controllers: its own records served over
// real sockets, client writes on the window's queue (sent exactly as tecctl
// sends them, shown in the panels, a History line naming the client), the
// Server window, the kept switch, and tecctl going through the window that
// holds its port.
#include "app/controllers.h"
#include "app/options.h"
#include "app/overview.h"
#include "app/port_lines.h"
#include "app/serve.h"
#include "monitor/monitor.h"
#include "protocol/registers.h"
#include "rt/table.h"
#include "server/render.h"
#include "server/http_server.h"
#include "server/hub.h"
#include "server/line_writes.h"
#include "server/served_port.h"
#include "support/loopback.h"
#include "support/rig.h"
#include "support/tecsim_child.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QEventLoop>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The token and the served-port notes go to folders of this test alone.
class Folders : public ::testing::Environment {
public:
    void SetUp() override
    {
        ::chmod(m_dir.path().toLocal8Bit().constData(), 0700);
        ::setenv("XDG_CONFIG_HOME", m_dir.filePath("config").toLocal8Bit().constData(), 1);
        ::setenv("XDG_RUNTIME_DIR", m_dir.path().toLocal8Bit().constData(), 1);
    }

private:
    QTemporaryDir m_dir;
};
[[maybe_unused]] const auto* const kFolders = ::testing::AddGlobalTestEnvironment(new Folders);

struct Reply {
    int status = 0;
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// One request through a real socket; the event loop runs meanwhile, so the
// window's server (on this thread) answers it.
QNetworkReply* Send(QNetworkAccessManager& nam, const std::string& url, const char* path, const QByteArray& body,
                    const std::string& token, bool post)
{
    QNetworkRequest r(QUrl(QString::fromStdString(url) + QString(path).mid(1)));
    if (!token.empty())
        r.setRawHeader("Authorization", "Bearer " + QByteArray::fromStdString(token));
    r.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    return post ? nam.post(r, body) : nam.get(r);
}

Reply Wait(QNetworkReply* reply)
{
    QEventLoop loop;
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    Reply out;
    out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    out.body = reply->readAll();
    reply->deleteLater();
    return out;
}

bool Spin(const std::function<bool()>& done, int seconds = 20)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < seconds * 1000)
        QTest::qWait(5);
    return done();
}

bool HistoryHas(const App& app, const std::string& text)
{
    for (const std::string& line : app.reconnect.history)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

// A window connected to the simulated controller (SV 25.0), serving on a
// free loopback port.
class Serving : public ::testing::Test {
protected:
    Serving()
    {
        rig.sim->setReg(0x0000, 250);
        rig.app.settingsFile = rig.path("tecontrol.conf");
    }
    void SetUp() override
    {
        ASSERT_GE(rig.connect(), 0);
        ASSERT_EQ(serve::Start(rig.app, "127.0.0.1:0"), "");
        url = serve::Url(rig.app);
        token = serve::Token(rig.app);
        ASSERT_FALSE(url.empty());
        ASSERT_GE(token.size(), 16u);
    }
    Reply get(const char* path) { return Wait(Send(nam, url, path, {}, {}, false)); }
    Reply post(const char* path, const QByteArray& body, const std::string& withToken)
    {
        return Wait(Send(nam, url, path, body, withToken, true));
    }
    // One chart round of the window.
    void round() { monitor::AskRound(rig.app, false); }
    const server::Hub& hub() { return *serve::ServedHub(rig.app); }
    // The served sample of address 1, its ages on the window's own clock.
    QJsonObject sample()
    {
        const std::string json = server::ControllerJson(hub(), *hub().find(1), rig.clock.wallMillis());
        return QJsonDocument::fromJson(QByteArray::fromStdString(json)).object()["sample"].toObject();
    }
    // The PV the simulated controller answered last.
    double pvHeld() const { return static_cast<std::int16_t>(rig.sim->reg(tecreg::kPv)) / 10.0; }
    // A second of the window's clock; true once the served rounds went past
    // `rounds` (the server looks for a due round on the event loop).
    bool secondLater(std::uint64_t rounds)
    {
        rig.clock.advance(1.0);
        return Spin([&] { return hub().roundCount() > rounds; }, 5);
    }

    TestRig rig;
    QNetworkAccessManager nam;
    std::string url, token;
};

TEST_F(Serving, AnswersWithTheWindowsControllersAndTheirRounds)
{
    round();
    const Reply list = get("/api/v1/controllers");
    ASSERT_EQ(list.status, 200) << list.body.toStdString();
    const QJsonArray controllers = list.json()["controllers"].toArray();
    ASSERT_EQ(controllers.size(), 1);
    EXPECT_EQ(controllers[0].toObject()["address"].toInt(), 1);
    EXPECT_EQ(controllers[0].toObject()["state"].toString(), "online");

    const Reply one = get("/api/v1/controllers/1");
    ASSERT_EQ(one.status, 200);
    const QJsonObject sample = one.json()["sample"].toObject();
    EXPECT_TRUE(sample["valid"].toBool()) << one.body.toStdString();
    EXPECT_DOUBLE_EQ(sample["sv"].toDouble(), 25.0);
    // The window's read-all is what the parameters answer.
    const Reply params = get("/api/v1/controllers/1/parameters");
    EXPECT_EQ(params.status, 200) << params.body.toStdString();
    EXPECT_EQ(get("/api/v1/controllers/2").status, 404);

    // Several configured: every one is served by its name, and the list
    // follows a removal before anything reads the record that went.
    controllers::Add(rig.app.controllers, 1, 2, "Stage B");
    controllers::Rename(rig.app.controllers, 0, "Stage A");
    serve::ControllersChanged(rig.app);
    const QJsonArray two = get("/api/v1/controllers").json()["controllers"].toArray();
    ASSERT_EQ(two.size(), 2);
    EXPECT_EQ(two[0].toObject()["name"].toString(), "Stage A");
    EXPECT_EQ(two[1].toObject()["name"].toString(), "Stage B");
    overview::Refresh(rig.app);
    rt::SetTableCurrentRow(rig.rt, rig.app.panels.overview, OVERVIEW_TABLE, 1);
    rig.rt.Commit(rig.app.panels.overview, OVERVIEW_REMOVE);
    ASSERT_EQ(rig.app.controllers.size(), 1);
    EXPECT_EQ(serve::ServedHub(rig.app)->controllers().size(), 1u);
    EXPECT_EQ(get("/api/v1/controllers/2").status, 404);
}

TEST_F(Serving, AWriteWithTheTokenSendsTecctlsFramesAndShowsInTheWindow)
{
    // What tecctl's set sends for the same command, on a window of its own.
    TestRig other;
    other.sim->setReg(0x0000, 250);
    ASSERT_GE(other.connect(), 0);
    other.clearWire();
    server::WriteRequest same;
    same.values = {{"sv", "30"}};
    ASSERT_EQ(server::RunWrite(other.app.bus, same).status, server::WriteResult::Status::Done);
    ASSERT_FALSE(other.wire().empty());

    rig.clearWire();
    const Reply r = post("/api/v1/controllers/1/set", R"({"sv": 30})", token);
    ASSERT_EQ(r.status, 200) << r.body.toStdString();
    EXPECT_EQ(rig.wire(), other.wire());
    EXPECT_EQ(rig.sim->reg(0x0000), 300);
    EXPECT_DOUBLE_EQ(rig.value(rig.parm(), PARM_SV), 30.0);
    EXPECT_FLOAT_EQ(rig.app.params.setValue, 30.0f);
    // Served at once, with no round between: a script reading back what it
    // wrote gets it.
    const QJsonObject held = get("/api/v1/controllers/1/parameters").json()["parameters"].toObject();
    EXPECT_DOUBLE_EQ(held["sv"].toObject()["value"].toDouble(), 30.0);
    EXPECT_TRUE(HistoryHas(rig.app, "Client 127.0.0.1 set sv=30"));
    EXPECT_FALSE(HistoryHas(rig.app, " on ")) << "one controller: no name needed";

    // The control function and the step program show as the panels do.
    ASSERT_EQ(post("/api/v1/controllers/1/function", R"({"function": "manual"})", token).status, 200);
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_CTRL_FUNC), 3);
    EXPECT_FALSE(rig.dimmed(rig.parm(), PARM_OUTPUT_LEVEL)) << "manual: the level can be sent";
    ASSERT_EQ(post("/api/v1/controllers/1/program/run", "", token).status, 200);
    EXPECT_EQ(rig.intValue(rig.app.panels.script, SCRIPT_RUN_SW), 1);
    EXPECT_TRUE(rig.dimmed(rig.parm(), PARM_CTRL_FUNC));
    ASSERT_EQ(post("/api/v1/controllers/1/program/stop", "", token).status, 200);
    EXPECT_EQ(rig.intValue(rig.app.panels.script, SCRIPT_RUN_SW), 0);
    EXPECT_FALSE(rig.dimmed(rig.parm(), PARM_CTRL_FUNC));
    EXPECT_TRUE(HistoryHas(rig.app, "Client 127.0.0.1 started the step program"));
}

TEST_F(Serving, WithoutTheTokenOrWithTheControllerOfflineNothingIsSent)
{
    rig.clearWire();
    const std::size_t lines = rig.app.reconnect.history.size();
    EXPECT_EQ(post("/api/v1/controllers/1/set", R"({"sv": 30})", "").status, 401);
    EXPECT_EQ(post("/api/v1/controllers/1/set", R"({"sv": 30})", std::string(64, '0')).status, 401);
    // One bad name among good values: nothing at all is sent.
    EXPECT_EQ(post("/api/v1/controllers/1/set", R"({"sv": 30, "nosuch": 1})", token).status, 400);
    EXPECT_TRUE(rig.wire().empty());
    EXPECT_EQ(rig.sim->reg(0x0000), 250);
    EXPECT_DOUBLE_EQ(rig.value(rig.parm(), PARM_SV), 25.0);

    // The port closed under the window: the record may still say online,
    // but nothing can be sent.
    rig.rt.CloseCom(1);
    rig.app.bus.portOpen = 0;
    const Reply r = post("/api/v1/controllers/1/set", R"({"sv": 30})", token);
    EXPECT_EQ(r.status, 409) << r.body.toStdString();
    EXPECT_TRUE(rig.wire().empty());
    EXPECT_EQ(rig.app.reconnect.history.size(), lines + 2) << "the refused write and the offline one";
    EXPECT_TRUE(HistoryHas(rig.app, "Client 127.0.0.1 set sv=30: address 1 is offline; nothing was sent"));
}

TEST_F(Serving, AWriteWaitsForTheWindowsOperationToEnd)
{
    rig.clearWire();
    rig.app.bus.operations = 1;  // an operation of the window between its requests
    QNetworkReply* reply = Send(nam, url, "/api/v1/controllers/1/set", R"({"sv": 31})", token, true);
    ASSERT_TRUE(Spin([&] { return serve::PendingWrites(rig.app) == 1; }));
    QTest::qWait(100);
    EXPECT_TRUE(rig.wire().empty()) << "nothing comes between the operation's requests";
    EXPECT_FALSE(reply->isFinished());
    rig.app.bus.operations = 0;
    const Reply r = Wait(reply);
    EXPECT_EQ(r.status, 200) << r.body.toStdString();
    EXPECT_EQ(rig.sim->reg(0x0000), 310);
    EXPECT_EQ(serve::PendingWrites(rig.app), 0);
}

TEST_F(Serving, SeveralControllersNameTheOneWrittenToInTheHistory)
{
    controllers::Rename(rig.app.controllers, 0, "Stage A");
    controllers::Add(rig.app.controllers, 1, 2, "Stage B");
    serve::ControllersChanged(rig.app);
    ASSERT_EQ(post("/api/v1/controllers/1/set", R"({"sv": 27})", token).status, 200);
    EXPECT_TRUE(HistoryHas(rig.app, "  Client 127.0.0.1 set sv=27 on Stage A [1]"));
    // Nobody answers at address 2: the client and the History say so.
    const Reply silent = post("/api/v1/controllers/2/set", R"({"sv": 27})", token);
    EXPECT_EQ(silent.status, 502) << silent.body.toStdString();
    EXPECT_TRUE(HistoryHas(rig.app, "  Client 127.0.0.1 set sv=27 on Stage B [2]: "));
    EXPECT_DOUBLE_EQ(rig.value(rig.parm(), PARM_SV), 27.0) << "the panels act on Stage A";
}

TEST_F(Serving, TheServerWindowShowsTheUrlTokenClientsAndRequests)
{
    const int sp = rig.app.panels.server;
    ASSERT_GT(sp, 0);
    rig.rt.Commit(rig.parm(), PARM_OPEN_SERVER);
    EXPECT_TRUE(rig.rt.IsPanelVisible(sp));
    std::string shown;
    rig.rt.GetCtrlVal(sp, SERVER_URL, &shown);
    EXPECT_EQ(shown, url);
    rig.rt.GetCtrlVal(sp, SERVER_TOKEN, &shown);
    EXPECT_EQ(shown, token);
    EXPECT_EQ(rig.intValue(sp, SERVER_SWITCH), 1);

    ASSERT_EQ(get("/api/v1/controllers").status, 200);
    EXPECT_EQ(get("/nothing").status, 404);
    rig.rt.Tick(sp, SERVER_TIMER);
    ASSERT_EQ(rt::GetTableRowCount(rig.rt, sp, SERVER_REQUESTS), 2);
    // Newest first.
    EXPECT_EQ(rt::GetTableCell(rig.rt, sp, SERVER_REQUESTS, 0, 4), "/nothing");
    EXPECT_EQ(rt::GetTableCell(rig.rt, sp, SERVER_REQUESTS, 0, 3), "404");
    EXPECT_EQ(rt::GetTableCell(rig.rt, sp, SERVER_REQUESTS, 1, 1), "127.0.0.1");
    EXPECT_EQ(rt::GetTableCell(rig.rt, sp, SERVER_REQUESTS, 1, 2), "GET");
    EXPECT_EQ(rt::GetTableCell(rig.rt, sp, SERVER_REQUESTS, 1, 4), "/api/v1/controllers");
    rig.rt.GetCtrlVal(sp, SERVER_CLIENTS, &shown);
    EXPECT_NE(shown.find("connected"), std::string::npos) << shown;

    rig.rt.Commit(sp, SERVER_COPY);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), token);

    if (const char* shot = std::getenv("TEC_SERVE_SCREENSHOT")) {
        QTest::qWait(300);
        EXPECT_TRUE(rig.rt.panelWidget(sp)->grab().save(shot));
    }
    rig.rt.Commit(sp, SERVER_CLOSE);
    EXPECT_FALSE(rig.rt.IsPanelVisible(sp));
    EXPECT_TRUE(serve::Serving(rig.app)) << "closing the window does not stop serving";
}

TEST_F(Serving, WithNothingPollingTheServerAsksAFullRoundEachSecond)
{
    // The window's clock stands still: no round is due.
    const std::uint64_t first = hub().roundCount();
    QTest::qWait(300);
    EXPECT_EQ(hub().roundCount(), first);
    for (int k = 0; k < 3; ++k) {
        ASSERT_TRUE(secondLater(hub().roundCount())) << k;
        const QJsonObject s = sample();
        ASSERT_TRUE(s["valid"].toBool());
        EXPECT_DOUBLE_EQ(s["pv"].toDouble(), pvHeld());
        EXPECT_LT(s["age"].toDouble(), 1.0);
        EXPECT_DOUBLE_EQ(s["sv"].toDouble(), 25.0);
        EXPECT_TRUE(s["svRead"].toBool());
        EXPECT_EQ(s["svAge"].toDouble(), s["age"].toDouble());
    }
    // Its rounds are no chart point and no main-panel reading.
    EXPECT_DOUBLE_EQ(rig.value(rig.app.panels.chart, CHART_PV), 0.0);
    EXPECT_DOUBLE_EQ(rig.value(rig.parm(), PARM_PV), 0.0);

    // Never between an operation's requests, nor while the port is away.
    const std::uint64_t held = hub().roundCount();
    rig.app.bus.operations = 1;
    rig.clock.advance(2.0);
    QTest::qWait(300);
    EXPECT_EQ(hub().roundCount(), held);
    rig.app.bus.operations = 0;
    EXPECT_TRUE(Spin([&] { return hub().roundCount() > held; }, 5));
    rig.rt.CloseCom(1);
    rig.app.bus.portOpen = 0;
    rig.clearWire();
    rig.clock.advance(2.0);
    QTest::qWait(300);
    EXPECT_TRUE(rig.wire().empty());
}

TEST_F(Serving, AStreamWhoseClientWentIsForgottenAlsoWhileNoRoundComes)
{
    server::HttpServer* http = serve::Listener(rig.app);
    ASSERT_NE(http, nullptr);
    http->setMaxClients(2);
    std::vector<int> streams;
    for (int k = 0; k < 2; ++k) {
        const int fd = testsupport::ConnectLoopback(http->port());
        ASSERT_GE(fd, 0);
        const std::string request = "GET /api/v1/events HTTP/1.1\r\nHost: x\r\n\r\n";
        ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
        std::string got;
        ASSERT_TRUE(Spin([&] {
            char b[4096];
            const ssize_t n = ::recv(fd, b, sizeof b, MSG_DONTWAIT);
            if (n > 0)
                got.append(b, static_cast<std::size_t>(n));
            return got.find("data: ") != std::string::npos;
        }, 5)) << k;
        streams.push_back(fd);
    }
    EXPECT_EQ(http->streams(), 2);
    EXPECT_EQ(get("/api/v1/controllers").status, 503);
    for (int fd : streams)
        ::close(fd);
    // The window's clock stands still: no round comes to write to them.
    ASSERT_TRUE(Spin([&] { return http->clients() == 0; }, 3 * server::HttpServer::kBeatMs / 1000));
    EXPECT_EQ(http->streams(), 0);
    EXPECT_EQ(get("/api/v1/controllers").status, 200);
}

TEST_F(Serving, WithSeveralControllersTheOverviewsTimerPollsAndTheServerAsksNothing)
{
    const int ov = rig.app.panels.overview;
    rig.rt.SetCtrlAttribute(ov, OVERVIEW_TIMER, rt::ATTR_INTERVAL, 3600.0);  // ticked here alone
    rig.rt.SetCtrlAttribute(ov, OVERVIEW_TIMER, rt::ATTR_ENABLED, 1);
    // One controller: the overview asks no rounds, the server does.
    ASSERT_TRUE(secondLater(hub().roundCount()));
    controllers::Add(rig.app.controllers, 1, 2, "Stage B");
    serve::ControllersChanged(rig.app);
    const std::uint64_t before = hub().roundCount();
    rig.clock.advance(1.0);
    QTest::qWait(300);
    EXPECT_EQ(hub().roundCount(), before);
    rig.rt.Tick(ov, OVERVIEW_TIMER);
    EXPECT_EQ(hub().roundCount(), before + 1);
    // Closed, the server takes over.
    rig.rt.SetCtrlAttribute(ov, OVERVIEW_TIMER, rt::ATTR_ENABLED, 0);
    ASSERT_TRUE(secondLater(hub().roundCount()));
    EXPECT_TRUE(sample()["valid"].toBool());
}

TEST_F(Serving, ThePvReadAloneServesAFreshPvAndTheSvWithItsOwnAge)
{
    ASSERT_TRUE(secondLater(hub().roundCount()));
    ASSERT_DOUBLE_EQ(sample()["sv"].toDouble(), 25.0);
    const double svReadAt = rig.clock.now();
    // The controller takes another set value by itself; only PV is read now.
    rig.sim->setReg(tecreg::kSetValue, 300);
    // Its timer ticks here alone (not on the wall clock).
    rig.rt.SetCtrlAttribute(rig.parm(), PARM_PV_TIMER, rt::ATTR_INTERVAL, 3600.0);
    rig.rt.Commit(rig.parm(), PARM_PV_READ, 1);
    for (int k = 0; k < 3; ++k) {
        const std::uint64_t before = hub().roundCount();
        rig.clock.advance(1.0);
        QTest::qWait(250);
        ASSERT_EQ(hub().roundCount(), before) << "the PV read polls: the server asks nothing";
        rig.rt.Tick(rig.parm(), PARM_PV_TIMER);
        ASSERT_EQ(hub().roundCount(), before + 1) << "its round of PV alone is served";
        const QJsonObject s = sample();
        EXPECT_TRUE(s["valid"].toBool());
        EXPECT_DOUBLE_EQ(s["pv"].toDouble(), pvHeld());
        EXPECT_LT(s["age"].toDouble(), 0.5);
        EXPECT_DOUBLE_EQ(s["sv"].toDouble(), 25.0) << "not read since";
        EXPECT_FALSE(s["svRead"].toBool());
        EXPECT_GE(s["svAge"].toDouble(), rig.clock.now() - svReadAt - 0.5);
    }
    // The history's points of PV alone have no SV; the metrics give its age.
    const server::Hub& h = hub();
    const std::int64_t now = rig.clock.wallMillis();
    const std::string csv = server::HistoryCsv(h, *h.find(1), now - 10000, now);
    const std::string last = csv.substr(csv.rfind('\n', csv.size() - 2) + 1);
    EXPECT_NE(last.find(",,"), std::string::npos) << csv;
    const std::string history = server::HistoryJson(h, *h.find(1), now - 10000, now);
    const QJsonArray points = QJsonDocument::fromJson(QByteArray::fromStdString(history)).object()["points"].toArray();
    ASSERT_GE(points.size(), 4);
    EXPECT_TRUE(points.first().toObject().contains("sv"));
    EXPECT_FALSE(points.last().toObject().contains("sv"));
    EXPECT_TRUE(points.last().toObject()["valid"].toBool());
    const std::string metrics = server::MetricsText(h, now);
    const std::size_t sv = metrics.find("\ntecontrol_sv_celsius{");
    ASSERT_NE(sv, std::string::npos) << metrics;
    EXPECT_EQ(metrics.substr(metrics.find('}', sv), 9), "} 25.000\n") << metrics;
    const std::size_t svAge = metrics.find("\ntecontrol_sv_age_seconds{");
    const std::size_t age = metrics.find("\ntecontrol_sample_age_seconds{");
    ASSERT_NE(svAge, std::string::npos) << metrics;
    ASSERT_NE(age, std::string::npos) << metrics;
    EXPECT_GT(std::stod(metrics.substr(metrics.find("} ", svAge) + 2)),
              std::stod(metrics.substr(metrics.find("} ", age) + 2)) + 2.0);

    // A set value the window sends is served at once, with its time.
    rig.rt.SetCtrlVal(rig.parm(), PARM_SV, 28.0);
    rig.rt.Commit(rig.parm(), PARM_SV_SEND);
    ASSERT_EQ(rig.sim->reg(tecreg::kSetValue), 280);
    serve::ControllersChanged(rig.app);
    EXPECT_DOUBLE_EQ(sample()["sv"].toDouble(), 28.0);
    EXPECT_LT(sample()["svAge"].toDouble(), 0.5);
}

TEST_F(Serving, WhileTheChartPlotsTheWireIsTheWindowsAlone)
{
    TestRig alone;  // the same window, serving nothing
    alone.sim->setReg(0x0000, 250);
    ASSERT_GE(alone.connect(), 0);
    ASSERT_DOUBLE_EQ(alone.clock.now(), rig.clock.now());
    for (TestRig* r : {&rig, &alone}) {
        r->clearWire();
        r->rt.SetCtrlAttribute(r->app.panels.chart, CHART_TIMER, rt::ATTR_INTERVAL, 3600.0);  // ticked here alone
        r->rt.Commit(r->app.panels.chart, CHART_PLOT, 1);
    }
    const std::uint64_t before = hub().roundCount();
    for (int k = 0; k < 4; ++k)
        for (TestRig* r : {&rig, &alone}) {
            r->clock.advance(1.0);
            if (r == &rig)
                QTest::qWait(250);  // time for a round the server should not ask
            r->rt.Tick(r->app.panels.chart, CHART_TIMER);
        }
    EXPECT_EQ(hub().roundCount(), before + 4) << "the chart's rounds are served";
    EXPECT_EQ(rig.wire().size(), 8u) << "SV and PV of each tick";
    EXPECT_EQ(rig.wire(), alone.wire());
    EXPECT_DOUBLE_EQ(rig.clock.now(), alone.clock.now());
    EXPECT_DOUBLE_EQ(rig.value(rig.app.panels.chart, CHART_PV), alone.value(alone.app.panels.chart, CHART_PV));
}

TEST_F(Serving, AWriteRefusedPartWayShowsWhatTheControllerTook)
{
    rig.sim->setReg(tecreg::kRangeHigh, 500);  // the controller takes no set value above 50.0
    rig.clearWire();
    const Reply r = post("/api/v1/controllers/1/set", R"({"alarm-high": 60, "sv": 55})", token);
    EXPECT_EQ(r.status, 502) << r.body.toStdString();
    // The client is told what was written all the same.
    const QJsonObject written = r.json()["written"].toObject();
    EXPECT_TRUE(written.contains("alarm-high")) << r.body.toStdString();
    EXPECT_FALSE(written.contains("sv"));
    EXPECT_NE(r.json()["error"].toString().indexOf("refused"), -1);
    ASSERT_EQ(rig.sim->reg(tecreg::kAlarmHigh), 600);
    ASSERT_EQ(rig.sim->reg(tecreg::kSetValue), 250);

    EXPECT_DOUBLE_EQ(rig.value(rig.parm(), PARM_ALARM_HIGH), 60.0);
    EXPECT_DOUBLE_EQ(rig.value(rig.parm(), PARM_SV), 25.0);
    EXPECT_FLOAT_EQ(rig.app.params.alarmHigh, 60.0f);
    EXPECT_FLOAT_EQ(rig.app.params.setValue, 25.0f);
    const QJsonObject held = get("/api/v1/controllers/1/parameters").json()["parameters"].toObject();
    EXPECT_DOUBLE_EQ(held["alarm-high"].toObject()["value"].toDouble(), 60.0);
    EXPECT_DOUBLE_EQ(held["sv"].toObject()["value"].toDouble(), 25.0);
    EXPECT_TRUE(HistoryHas(rig.app, "Client 127.0.0.1 set alarm-high=60 sv=55: the controller refused set value 55.0"));
}

TEST(ServeSetting, TheSwitchIsKeptAndServesAtTheNextStart)
{
    TestRig rig;
    rig.app.settingsFile = rig.path("tecontrol.conf");
    ASSERT_GE(rig.connect(), 0);
    const int sp = rig.app.panels.server;
    rig.rt.Commit(rig.parm(), PARM_OPEN_SERVER);
    std::string address;
    rig.rt.GetCtrlVal(sp, SERVER_ADDRESS, &address);
    EXPECT_EQ(address, serve::kDefaultListen);

    // An address that cannot be listened on: nothing served, nothing kept.
    rig.rt.SetCtrlVal(sp, SERVER_ADDRESS, "127.0.0.1:99999");
    rig.rt.Commit(sp, SERVER_SWITCH, 1);
    EXPECT_FALSE(serve::Serving(rig.app));
    EXPECT_EQ(rig.intValue(sp, SERVER_SWITCH), 0);
    std::string status;
    rig.rt.GetCtrlVal(sp, SERVER_STATUS, &status);
    EXPECT_NE(status.find("Cannot serve"), std::string::npos) << status;
    EXPECT_FALSE(serve::LoadSetting(rig.app.settingsFile).on);

    rig.rt.SetCtrlVal(sp, SERVER_ADDRESS, "127.0.0.1:0");
    rig.rt.Commit(sp, SERVER_SWITCH, 1);
    ASSERT_TRUE(serve::Serving(rig.app));
    EXPECT_TRUE(serve::LoadSetting(rig.app.settingsFile).on);
    EXPECT_EQ(serve::LoadSetting(rig.app.settingsFile).listen, "127.0.0.1:0");

    TestRig next;
    next.app.settingsFile = rig.app.settingsFile;
    serve::StartAtLaunch(next.app, "");
    EXPECT_TRUE(serve::Serving(next.app));
    // The command line serves elsewhere without changing what is kept.
    TestRig named;
    named.app.settingsFile = rig.app.settingsFile;
    serve::StartAtLaunch(named.app, "127.0.0.2:0");
    EXPECT_EQ(serve::Url(named.app).rfind("http://127.0.0.2:", 0), 0u) << serve::Url(named.app);
    EXPECT_EQ(serve::LoadSetting(rig.app.settingsFile).listen, "127.0.0.1:0");

    rig.rt.Commit(sp, SERVER_SWITCH, 0);
    EXPECT_FALSE(serve::Serving(rig.app));
    EXPECT_FALSE(serve::LoadSetting(rig.app.settingsFile).on);
    TestRig off;
    off.app.settingsFile = rig.app.settingsFile;
    serve::StartAtLaunch(off.app, "");
    EXPECT_FALSE(serve::Serving(off.app));
}

TEST(ServeAddress, LoopbackByDefaultAndAnyOtherAddressOnlyWhenNamedWithAWarning)
{
    std::string why;
    for (const char* fine : {"8080", "127.0.0.1:8080", "[::1]:8080", "localhost:80", "0.0.0.0:8080", "0"})
        EXPECT_TRUE(serve::CheckListen(fine, &why)) << fine << ": " << why;
    for (const char* bad : {"", "http", "70000", "127.0.0.1:", "host.example:80", "1.2.3.4.5:80"})
        EXPECT_FALSE(serve::CheckListen(bad, &why)) << bad;
    for (const char* quiet : {"8080", "127.0.0.1:8080", "127.0.0.2:8080", "[::1]:8080", "localhost:80"})
        EXPECT_EQ(serve::ExposureWarning(quiet), "") << quiet;
    EXPECT_NE(serve::ExposureWarning("0.0.0.0:8080").find("0.0.0.0"), std::string::npos);
    EXPECT_NE(serve::ExposureWarning("[::]:8080"), "");

    auto parse = [](std::vector<const char*> args, Options* o) {
        args.insert(args.begin(), "tecontrol");
        ::testing::internal::CaptureStderr();
        const int code = ParseOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()), o);
        ::testing::internal::GetCapturedStderr();
        return code;
    };
    Options o;
    EXPECT_EQ(parse({"--serve"}, &o), -1);
    EXPECT_EQ(o.serve, serve::kDefaultListen);
    o = {};
    EXPECT_EQ(parse({"--serve", "--simulate"}, &o), -1);
    EXPECT_EQ(o.serve, serve::kDefaultListen);
    EXPECT_TRUE(o.simulate);
    o = {};
    EXPECT_EQ(parse({"--serve", "9000"}, &o), -1);
    EXPECT_EQ(o.serve, "9000");
    o = {};
    EXPECT_EQ(parse({"--serve=0.0.0.0:9000"}, &o), -1);
    EXPECT_EQ(o.serve, "0.0.0.0:9000");
    EXPECT_EQ(parse({"--serve", "nowhere:1"}, &o), 2);
    EXPECT_EQ(parse({"--serve="}, &o), 2);

    // Serving elsewhere than on loopback says so, on stderr and in the window.
    TestRig rig;
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(serve::Start(rig.app, "0.0.0.0:0"), "");
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("tecontrol: warning: listening on 0.0.0.0"), std::string::npos) << said;
    serve::Refresh(rig.app);
    std::string status;
    rig.rt.GetCtrlVal(rig.app.panels.server, SERVER_STATUS, &status);
    EXPECT_NE(status.find("warning: listening on 0.0.0.0"), std::string::npos) << status;
    serve::Stop(rig.app);
    EXPECT_FALSE(serve::Serving(rig.app));
}

// tecsim on a pseudo-terminal held by the window: the note names it while
// the window serves, and tecctl finding the port held goes through the
// window, whose panels and History then show the write.
TEST(ServeNote, TecctlGoesThroughTheWindowThatHoldsThePort)
{
    QTemporaryDir dir;
    // The controller takes no set value above 50.0.
    testsupport::TecsimChild tecsim(dir.path().toStdString(), {"--set", "1:0x002D=500"});
    ASSERT_FALSE(tecsim.device.empty());
    TestRig rig;
    rig.rt.ports().bindDevice(3, tecsim.device);
    ASSERT_GE(rig.connect(3, 1), 0);
    ASSERT_EQ(serve::Start(rig.app, "127.0.0.1:0"), "");
    server::ServedPort held;
    ASSERT_TRUE(server::FindServedPort(tecsim.device, &held));
    EXPECT_EQ(held.url, serve::Url(rig.app));
    EXPECT_EQ(held.pid, static_cast<long>(::getpid()));

    QProcess tecctl;
    tecctl.start(TECCTL_PATH, {"--port", QString::fromStdString(tecsim.device), "set", "sv=33.5"});
    ASSERT_TRUE(Spin([&] { return tecctl.state() == QProcess::NotRunning; }, 60));
    const QString said = tecctl.readAllStandardError();
    EXPECT_EQ(tecctl.exitCode(), 0) << said.toStdString();
    EXPECT_TRUE(said.contains("going through its server")) << said.toStdString();
    EXPECT_DOUBLE_EQ(rig.value(rig.parm(), PARM_SV), 33.5);
    EXPECT_TRUE(HistoryHas(rig.app, "Client 127.0.0.1 set sv=33.5"));

    // Refused part-way: tecctl says what was taken, as it does directly.
    tecctl.start(TECCTL_PATH, {"--port", QString::fromStdString(tecsim.device), "set", "alarm-high=60", "sv=55"});
    ASSERT_TRUE(Spin([&] { return tecctl.state() == QProcess::NotRunning; }, 60));
    const QString out = tecctl.readAllStandardOutput();
    EXPECT_EQ(tecctl.exitCode(), 5) << tecctl.readAllStandardError().toStdString();
    EXPECT_TRUE(out.contains("alarm-high")) << out.toStdString();
    EXPECT_FALSE(out.contains("sv ")) << out.toStdString();
    EXPECT_DOUBLE_EQ(rig.value(rig.parm(), PARM_ALARM_HIGH), 60.0);
    EXPECT_DOUBLE_EQ(rig.value(rig.parm(), PARM_SV), 33.5);

    // The note goes with the port, while the window goes on serving.
    const std::string note = server::ServedPortPath(tecsim.device);
    ASSERT_TRUE(QFile::exists(QString::fromStdString(note)));
    rig.rt.CloseCom(3);
    rig.app.bus.portOpen = 0;
    EXPECT_TRUE(Spin([&] { return !QFile::exists(QString::fromStdString(note)); }, 10));
    EXPECT_TRUE(serve::Serving(rig.app));
    // And it comes back with the port; stopping takes it away.
    ASSERT_GE(rig.connect(3, 1), 0);
    EXPECT_TRUE(Spin([&] { return server::FindServedPort(tecsim.device, &held); }, 10));
    serve::Stop(rig.app);
    EXPECT_FALSE(server::FindServedPort(tecsim.device, &held));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(note)));
}

// The program itself with --serve: start-up serves the simulated controller
// the window connected to, said on stderr; SIGTERM ends it as Quit does.
TEST(ServeProgram, TecontrolWithServeAnswersWithItsController)
{
    QTemporaryDir work;
    QProcess program;
    program.setWorkingDirectory(work.path());
    program.setProgram(QString(TEC_BIN_DIR) + "/tecontrol");
    program.setArguments({"--simulate", "--serve", "0", "--ui-dir", TEC_UI_DIR});
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(env);
    program.start();
    QByteArray said;
    ASSERT_TRUE(Spin([&] {
        said += program.readAllStandardError();
        const int line = said.indexOf("serving at http://127.0.0.1:");
        return line >= 0 && said.indexOf('\n', line) > line;
    }, 60)) << said.toStdString();
    const int at = said.indexOf("serving at ") + 11;
    const std::string url = said.mid(at, said.indexOf('\n', at) - at).trimmed().toStdString();
    QNetworkAccessManager nam;
    const Reply list = Wait(Send(nam, url, "/api/v1/controllers", {}, {}, false));
    EXPECT_EQ(list.status, 200);
    const QJsonArray controllers = list.json()["controllers"].toArray();
    ASSERT_EQ(controllers.size(), 1) << list.body.toStdString();
    EXPECT_EQ(controllers[0].toObject()["address"].toInt(), 1);
    EXPECT_TRUE(controllers[0].toObject()["port"].toString().contains("simulated"));
    program.terminate();
    ASSERT_TRUE(Spin([&] { return program.state() == QProcess::NotRunning; }, 30));
    said += program.readAllStandardError();
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << said.toStdString();
    EXPECT_EQ(program.exitCode(), 0) << said.toStdString();
}

} // namespace

namespace {

// A controller on another port: its line's rounds feed the server while the
// window's own port is lost (the window's poller then has none).
TEST(ServeLines, TheOtherPortsRoundsFeedTheServerWhileTheWindowsPortIsLost)
{
    TestRig rig;
    const auto far = sim::MakeControllers(rig.clock, {5});
    io::Clock* clock = &rig.clock;
    rig.rt.ports().bind(2, "COM2  one more controller", [far, clock] { return sim::MakeSimDevice(far, *clock); });
    ASSERT_GE(rig.connect(), 0);
    controllers::Add(rig.app.controllers, 2, 5, "far");
    ASSERT_EQ(serve::Start(rig.app, "127.0.0.1:0"), "");
    const server::Hub& hub = *serve::ServedHub(rig.app);
    ports::AskRounds(rig.app, false);
    const std::uint64_t whileOpen = hub.roundCount();
    EXPECT_EQ(whileOpen, 0u) << "the window's own rounds feed it while its port is open";
    rig.rt.CloseCom(1);
    rig.app.bus.portOpen = 0;
    ports::AskRounds(rig.app, false);
    EXPECT_GT(hub.roundCount(), whileOpen);
    const core::Controller* c = hub.find(5);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->last.valid);
    // With nothing asking, the server asks the line's rounds itself, once a
    // second, and nothing goes out on the window's port.
    rig.clearWire();
    for (int k = 0; k < 2; ++k) {
        const std::uint64_t before = hub.roundCount();
        rig.clock.advance(1.1);
        ASSERT_TRUE(Spin([&] { return hub.roundCount() > before; }, 5)) << k;
        EXPECT_TRUE(c->last.valid);
        EXPECT_LT(rig.clock.now() - c->last.time, 1.0) << k;
    }
    EXPECT_TRUE(rig.wire().empty());
}

} // namespace

namespace {

bool IsWrite(const std::vector<std::uint8_t>& frame)
{
    return frame.size() > 1 && (frame[1] == 0x06 || frame[1] == 0x10);
}

int Writes(const sim::Controller& c)
{
    int n = 0;
    for (const auto& f : c.requests())
        n += IsWrite(f) ? 1 : 0;
    return n;
}

// Writes of the set value (register 0).
int SvWrites(const sim::Controller& c)
{
    int n = 0;
    for (const auto& f : c.requests())
        n += IsWrite(f) && f.size() > 3 && f[2] == 0 && f[3] == 0 ? 1 : 0;
    return n;
}

int HistoryCount(const App& app, const std::string& text)
{
    int n = 0;
    for (const std::string& line : app.reconnect.history)
        n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
}

// What tecctl's set sends for `values` (sv=30 by default) to the controller
// at `address`, with --round when `round`.
std::vector<std::vector<std::uint8_t>> TecctlSetFrames(
    int address, std::vector<std::pair<std::string, std::string>> values = {{"sv", "30"}}, bool round = false)
{
    sim::Config config;
    config.address = static_cast<std::uint8_t>(address);
    TestRig other(config);
    other.sim->setReg(0x0000, 250);
    if (other.connect(1, address) < 0)
        return {};
    other.clearWire();
    server::WriteRequest same;
    same.address = static_cast<core::Address>(address);
    same.values = std::move(values);
    same.round = round;
    if (server::RunWrite(other.app.bus, same).status != server::WriteResult::Status::Done)
        return {};
    return other.wire();
}

// The window on port 1 (address 1, selected) and "far" at address 5 on port
// 2, which has a line of its own.
class ServingTwoPorts : public Serving {
protected:
    void SetUp() override
    {
        far = sim::MakeControllers(rig.clock, {5});
        far[0]->setReg(0x0000, 250);
        io::Clock* clock = &rig.clock;
        const auto controllers = far;
        rig.rt.ports().bind(2, "COM2  one more controller",
                            [controllers, clock] { return sim::MakeSimDevice(controllers, *clock); });
        Serving::SetUp();
        ASSERT_EQ(controllers::Add(rig.app.controllers, 2, 5, "far"), "");
        serve::ControllersChanged(rig.app);
        ports::AskRounds(rig.app, false);  // the line is made and far identified on it
        ASSERT_EQ(rig.app.lines.lines.size(), 1u);
        line = rig.app.lines.lines.front().get();
        ASSERT_EQ(ports::HoldOf(rig.app, farEntry()), ports::Hold::None);
        far[0]->clearRequests();
        rig.clearWire();
    }
    core::Controller& farEntry() { return *rig.app.controllers.at(rig.app.controllers.find(2, 5)); }
    // Leaves the line's poller inside an exchange of a round, as the event
    // loop may find it between two of its calls.
    void holdLineInExchange()
    {
        line->poller.requestRound(false);
        double next = line->poller.service();
        for (int i = 0; i < 1000 && !line->poller.busy(); ++i) {
            rig.clock.sleepUntil(next);
            next = line->poller.service();
        }
        ASSERT_TRUE(line->poller.busy());
    }
    // The line's round goes on to its end, as the event loop would call it.
    void finishLineRound()
    {
        double next = 0;
        for (int i = 0; i < 1000 && !line->poller.idle(); ++i) {
            rig.clock.sleepUntil(next);
            next = line->poller.service();
        }
        ASSERT_TRUE(line->poller.idle());
    }
    // A write sent and waiting for the line.
    QNetworkReply* sendWaiting(const QByteArray& body)
    {
        QNetworkReply* reply = Send(nam, url, "/api/v1/controllers/5/set", body, token, true);
        EXPECT_TRUE(Spin([&] { return serve::PendingWrites(rig.app) == 1; }));
        QTest::qWait(50);
        EXPECT_FALSE(reply->isFinished()) << "it waits for the exchange in flight";
        EXPECT_EQ(Writes(*far[0]), 0);
        return reply;
    }

    std::vector<std::shared_ptr<sim::Controller>> far;
    ports::Line* line = nullptr;
};

TEST_F(ServingTwoPorts, AWriteToAnotherPortGoesThroughItsLineAsTecctlSendsIt)
{
    const auto expected = TecctlSetFrames(5);
    ASSERT_FALSE(expected.empty());
    const Reply r = post("/api/v1/controllers/5/set", R"({"sv": 30})", token);
    ASSERT_EQ(r.status, 200) << r.body.toStdString();
    EXPECT_NE(r.body.indexOf("30"), -1) << r.body.toStdString();
    EXPECT_EQ(far[0]->requests(), expected);
    EXPECT_EQ(far[0]->reg(0x0000), 300);
    EXPECT_TRUE(rig.wire().empty()) << "nothing on the window's port";
    EXPECT_FLOAT_EQ(farEntry().params.setValue, 30.0f);
    EXPECT_EQ(HistoryCount(rig.app, "Client 127.0.0.1 set sv=30 on far [5]"), 1);
    EXPECT_DOUBLE_EQ(rig.value(rig.parm(), PARM_SV), 25.0) << "the panels act on the window's controller";
    EXPECT_TRUE(rig.rt.IsComOpen(1));

    // A decimal point written there: the line's next round reads PV at the new scale.
    ASSERT_EQ(post("/api/v1/controllers/5/set", R"({"decimal-point": 30})", token).status, 200);
    ASSERT_EQ(far[0]->reg(tecreg::kDecimalPnt), 30);
    ports::AskRounds(rig.app, false);
    ASSERT_TRUE(farEntry().last.valid);
    EXPECT_NEAR(farEntry().last.pv, far[0]->reg(monitor::kPvRegister), 1.0);

    // The window's own port lost: the other port's writes go on.
    rig.rt.CloseCom(1);
    rig.app.bus.portOpen = 0;
    EXPECT_EQ(post("/api/v1/controllers/5/set", R"({"sv": 31})", token).status, 200);
    EXPECT_EQ(far[0]->reg(0x0000), 31) << "whole units now";
    EXPECT_EQ(post("/api/v1/controllers/1/set", R"({"sv": 31})", token).status, 409);
}

// far's parameters were never read by the window: a value finer than its
// register is checked by tecctl's set at the write itself, which rounds it
// when the client asked to round, exactly as tecctl --round does directly.
TEST_F(ServingTwoPorts, AFinerValueIsRoundedAsTecctlRoundsItWhenAskedAndRefusedOtherwise)
{
    ASSERT_EQ(get("/api/v1/controllers/5/parameters").status, 503) << "the window has not read far's parameters";
    const Reply refused = post("/api/v1/controllers/5/set", R"({"sv": 37.57})", token);
    EXPECT_EQ(refused.status, 400) << refused.body.toStdString();
    EXPECT_NE(refused.body.indexOf("finer than"), -1) << refused.body.toStdString();
    EXPECT_EQ(Writes(*far[0]), 0);
    const Reply bad = post("/api/v1/controllers/5/set", R"({"sv": 37.57, "round": 2})", token);
    EXPECT_EQ(bad.status, 400) << bad.body.toStdString();
    EXPECT_EQ(Writes(*far[0]), 0);

    const auto expected = TecctlSetFrames(5, {{"sv", "37.57"}, {"alarm-high", "45.04"}}, true);
    ASSERT_FALSE(expected.empty());
    far[0]->clearRequests();
    const Reply r = post("/api/v1/controllers/5/set", R"({"sv": 37.57, "round": true, "alarm-high": 45.04})", token);
    ASSERT_EQ(r.status, 200) << r.body.toStdString();
    EXPECT_EQ(far[0]->requests(), expected);
    EXPECT_EQ(far[0]->reg(tecreg::kSetValue), 376);
    EXPECT_EQ(far[0]->reg(tecreg::kAlarmHigh), 450);
    EXPECT_FLOAT_EQ(farEntry().params.setValue, 37.6f) << "the value taken, as rounded";
    EXPECT_EQ(HistoryCount(rig.app, "Client 127.0.0.1 set sv=37.57 alarm-high=45.04 on far [5]"), 1);
    EXPECT_EQ(HistoryCount(rig.app, "round="), 0);
}

TEST_F(ServingTwoPorts, ALostPortOrAHeldControllerIsOfflineAndNothingIsSent)
{
    // A second controller on port 2 that nobody answers for: held.
    ASSERT_EQ(controllers::Add(rig.app.controllers, 2, 6, "ghost"), "");
    serve::ControllersChanged(rig.app);
    ports::AskRounds(rig.app, false);
    const core::Controller* ghost = rig.app.controllers.at(rig.app.controllers.find(2, 6));
    ASSERT_EQ(ports::HoldOf(rig.app, *ghost), ports::Hold::NoAnswer);
    far[0]->clearRequests();
    const Reply held = post("/api/v1/controllers/6/set", R"({"sv": 30})", token);
    EXPECT_EQ(held.status, 409) << held.body.toStdString();
    EXPECT_NE(held.body.indexOf("ghost is offline (port 2: no answer); nothing was sent"), -1) << held.body.toStdString();
    EXPECT_TRUE(far[0]->requests().empty());

    rig.rt.CloseCom(2);
    ports::AskRounds(rig.app, false);  // finds the line's port gone
    ASSERT_EQ(line->state, ports::Line::State::Lost);
    far[0]->clearRequests();
    const Reply lost = post("/api/v1/controllers/5/set", R"({"sv": 30})", token);
    EXPECT_EQ(lost.status, 409) << lost.body.toStdString();
    EXPECT_NE(lost.body.indexOf("far is offline (port 2: port lost); nothing was sent"), -1)
        << lost.body.toStdString();
    EXPECT_TRUE(far[0]->requests().empty());
    EXPECT_TRUE(rig.wire().empty());
    EXPECT_EQ(far[0]->reg(0x0000), 250);
}

TEST_F(ServingTwoPorts, AWriteWaitsForTheLinesExchangeAndNotForTheWindowsPort)
{
    holdLineInExchange();
    rig.app.bus.operations = 1;  // the window's port is busy with an operation of its own
    QNetworkReply* reply = sendWaiting(R"({"sv": 32})");
    // The exchange ends: the write runs at that boundary.
    finishLineRound();
    const Reply r = Wait(reply);
    EXPECT_EQ(r.status, 200) << r.body.toStdString();
    EXPECT_EQ(far[0]->reg(0x0000), 320);
    EXPECT_TRUE(rig.wire().empty());
    rig.app.bus.operations = 0;
}

TEST_F(ServingTwoPorts, AWriteWaitingWhenThePortIsHandedToTheWindowRunsThereOnce)
{
    holdLineInExchange();
    QNetworkReply* reply = sendWaiting(R"({"sv": 33})");
    ASSERT_GE(overview::Select(rig.app, 1), 0);  // far: its line ends, the window opens port 2
    ASSERT_EQ(rig.app.bus.comPort, 2);
    ASSERT_TRUE(rig.app.lines.lines.empty() || rig.app.lines.lines.front()->port != 2);
    const Reply r = Wait(reply);
    EXPECT_EQ(r.status, 200) << r.body.toStdString();
    EXPECT_EQ(far[0]->reg(0x0000), 330);
    EXPECT_EQ(SvWrites(*far[0]), 1) << "run once, beside what connecting writes";
    EXPECT_EQ(serve::PendingWrites(rig.app), 0);
    EXPECT_EQ(HistoryCount(rig.app, "Client 127.0.0.1 set sv=33"), 1);
    EXPECT_DOUBLE_EQ(rig.value(rig.parm(), PARM_SV), 33.0) << "far is the window's controller now";
}

TEST_F(ServingTwoPorts, AWriteWaitingWhenThePortIsLostIsAnsweredWithTheReason)
{
    holdLineInExchange();
    QNetworkReply* reply = sendWaiting(R"({"sv": 36})");
    ASSERT_TRUE(ports::PortLost(rig.app, 2));
    finishLineRound();
    const Reply r = Wait(reply);
    EXPECT_EQ(r.status, 409) << r.body.toStdString();
    EXPECT_NE(r.body.indexOf("far is offline (port 2: port lost); nothing was sent"), -1) << r.body.toStdString();
    EXPECT_EQ(Writes(*far[0]), 0);
    EXPECT_EQ(HistoryCount(rig.app, "Client 127.0.0.1 set sv=36 on far [5]: far is offline (port 2: port lost)"), 1);
}

TEST_F(ServingTwoPorts, AWriteWaitingWhenItsControllerGoesIsAnsweredOnceWithNothingSent)
{
    holdLineInExchange();
    QNetworkReply* reply = sendWaiting(R"({"sv": 34})");
    ASSERT_EQ(controllers::Remove(rig.app.controllers, rig.app.controllers.find(2, 5)), "");
    serve::ControllersChanged(rig.app);
    ports::AskRounds(rig.app, false);  // no controller left on port 2: its line ends
    ASSERT_TRUE(rig.app.lines.lines.empty());
    const Reply r = Wait(reply);
    EXPECT_EQ(r.status, 409) << r.body.toStdString();
    EXPECT_NE(r.body.indexOf("nothing was sent"), -1) << r.body.toStdString();
    EXPECT_EQ(Writes(*far[0]), 0);
    EXPECT_EQ(far[0]->reg(0x0000), 250);
    EXPECT_EQ(serve::PendingWrites(rig.app), 0);
    EXPECT_EQ(HistoryCount(rig.app, "Client 127.0.0.1 set sv=34"), 1);
}

TEST_F(ServingTwoPorts, AWriteWaitingWhenServingStopsIsAnsweredAndNeverSent)
{
    holdLineInExchange();
    QNetworkReply* reply = sendWaiting(R"({"sv": 35})");
    serve::Stop(rig.app);
    const Reply r = Wait(reply);
    EXPECT_EQ(r.status, 503) << r.body.toStdString();
    // The line's exchange ends after the server went: what waited is not run.
    finishLineRound();
    EXPECT_EQ(Writes(*far[0]), 0);
    EXPECT_EQ(far[0]->reg(0x0000), 250);
    EXPECT_EQ(HistoryCount(rig.app, "Client 127.0.0.1"), 0);
}

} // namespace

namespace {

// tecsim at address 7 on a pseudo-terminal bound to port 3 as another
// port's controller, the window on its own port serving, and the line on
// port 3 asked for its first round.
struct ServedPtyLine {
    QTemporaryDir dir;
    testsupport::TecsimChild tecsim{dir.path().toStdString(), {"--addresses", "7"}};
    TestRig rig;
    const core::Controller* pty = nullptr;

    void start()
    {
        ASSERT_FALSE(tecsim.device.empty());
        rig.rt.ports().bindDevice(3, tecsim.device);
        ASSERT_GE(rig.connect(), 0);
        ASSERT_EQ(controllers::Add(rig.app.controllers, 3, 7, "pty"), "");
        ASSERT_EQ(serve::Start(rig.app, "127.0.0.1:0"), "");
        ports::AskRounds(rig.app, false);
        pty = rig.app.controllers.at(rig.app.controllers.find(3, 7));
    }
};

// tecsim on a pseudo-terminal as another port's controller: the write goes
// out on that device, exactly as tecctl's set sends it.
TEST(ServeLinesPty, AWriteToTecsimOnAnotherPortSendsTecctlsFrames)
{
    std::vector<std::string> expected;
    for (const auto& frame : TecctlSetFrames(7))
        expected.push_back(Hex(frame));
    ASSERT_FALSE(expected.empty());

    ServedPtyLine line;
    ASSERT_NO_FATAL_FAILURE(line.start());
    TestRig& rig = line.rig;
    testsupport::TecsimChild& tecsim = line.tecsim;
    const core::Controller* pty = line.pty;
    ASSERT_TRUE(pty->last.valid);
    const std::size_t before = tecsim.requests().size();
    rig.clearWire();

    QNetworkAccessManager nam;
    const Reply r = Wait(Send(nam, serve::Url(rig.app), "/api/v1/controllers/7/set", R"({"sv": 30})",
                              serve::Token(rig.app), true));
    ASSERT_EQ(r.status, 200) << r.body.toStdString();
    std::vector<std::string> heard;
    ASSERT_TRUE(Spin([&] {
        const std::vector<std::string> all = tecsim.requests();
        heard.assign(all.begin() + static_cast<std::ptrdiff_t>(std::min(before, all.size())), all.end());
        return heard.size() >= expected.size();
    }, 10));
    EXPECT_EQ(heard, expected);
    EXPECT_TRUE(rig.wire().empty()) << "nothing on the window's port";
    ports::AskRounds(rig.app, false);
    EXPECT_NEAR(pty->last.sv, 30.0, 0.01) << "the controller holds it";
}

} // namespace

namespace {

// tecctl through the window names a port: a controller the window serves at
// that address on another port is not the one asked for.
TEST(ServeNote, TecctlThroughTheWindowReachesOnlyTheControllersOnItsPort)
{
    QTemporaryDir dir;
    testsupport::TecsimChild tecsim(dir.path().toStdString());
    ASSERT_FALSE(tecsim.device.empty());
    TestRig rig;
    rig.rt.ports().bindDevice(3, tecsim.device);
    const auto far = sim::MakeControllers(rig.clock, {5});
    far[0]->setReg(0x0000, 250);
    io::Clock* clock = &rig.clock;
    rig.rt.ports().bind(2, "COM2  one more controller", [far, clock] { return sim::MakeSimDevice(far, *clock); });
    ASSERT_GE(rig.connect(3, 1), 0);
    ASSERT_EQ(controllers::Add(rig.app.controllers, 2, 5, "far"), "");
    ASSERT_EQ(serve::Start(rig.app, "127.0.0.1:0"), "");
    ports::AskRounds(rig.app, false);
    far[0]->clearRequests();

    QProcess tecctl;
    tecctl.start(TECCTL_PATH, {"--port", QString::fromStdString(tecsim.device), "--address", "5", "set", "sv=30"});
    ASSERT_TRUE(Spin([&] { return tecctl.state() == QProcess::NotRunning; }, 60));
    const QString said = tecctl.readAllStandardError();
    EXPECT_NE(tecctl.exitCode(), 0) << said.toStdString();
    EXPECT_TRUE(said.contains("serves no controller at address 5 on")) << said.toStdString();
    EXPECT_TRUE(far[0]->requests().empty());
    EXPECT_EQ(far[0]->reg(0x0000), 250);
    EXPECT_EQ(HistoryCount(rig.app, "Client 127.0.0.1"), 0);
}

} // namespace

namespace {

// A port the window holds through another port's line has its note too: a
// script's tecctl on it goes through the window rather than finding it busy.
TEST(ServeNote, TecctlOnAnotherPortsLineGoesThroughTheWindow)
{
    ServedPtyLine line;
    ASSERT_NO_FATAL_FAILURE(line.start());
    TestRig& rig = line.rig;
    testsupport::TecsimChild& tecsim = line.tecsim;
    const core::Controller* pty = line.pty;
    server::ServedPort held;
    ASSERT_TRUE(Spin([&] { return pty->last.valid && server::FindServedPort(tecsim.device, &held); }, 10));
    EXPECT_EQ(held.url, serve::Url(rig.app));

    QProcess tecctl;
    tecctl.start(TECCTL_PATH, {"--port", QString::fromStdString(tecsim.device), "--address", "7", "set", "sv=31"});
    ASSERT_TRUE(Spin([&] { return tecctl.state() == QProcess::NotRunning; }, 60));
    const QString said = tecctl.readAllStandardError();
    EXPECT_EQ(tecctl.exitCode(), 0) << said.toStdString();
    EXPECT_TRUE(said.contains("going through its server")) << said.toStdString();
    EXPECT_TRUE(HistoryHas(rig.app, "Client 127.0.0.1 set sv=31"));
    EXPECT_TRUE(Spin([&] {
        ports::AskRounds(rig.app, false);
        return std::abs(pty->last.sv - 31.0f) < 0.01f;
    }, 10)) << "the controller holds " << pty->last.sv;

    // The note goes when the line's port is no longer held, and with serving.
    rig.app.controllers.entries.clear();
    serve::ControllersChanged(rig.app);
    ports::AskRounds(rig.app, false);
    serve::Stop(rig.app);
    EXPECT_FALSE(server::FindServedPort(tecsim.device, &held));
}

} // namespace

namespace {

// A set value written while a round of the window stands between its SV
// read and its PV read: the round's older SV never takes the served one
// back, neither through the window's panels showing that round nor through
// the hub taking the round's sample.
TEST_F(Serving, ASetValueWrittenInsideARoundIsNotTakenBackByThatRoundsReading)
{
    round();
    ASSERT_DOUBLE_EQ(sample()["sv"].toDouble(), 25.0);
    core::Poller& poller = rig.app.poller;
    auto step = [&](const std::function<bool()>& until) {
        double next = poller.service();
        for (int i = 0; i < 1000 && !until(); ++i) {
            rig.clock.sleepUntil(next);
            next = poller.service();
        }
        return until();
    };
    // A chart round, held inside its first exchange (the SV read).
    rig.clearWire();
    poller.requestRound(false);
    ASSERT_TRUE(step([&] { return poller.busy(); }));
    QNetworkReply* reply = Send(nam, url, "/api/v1/controllers/1/set", R"({"sv": 30})", token, true);
    ASSERT_TRUE(Spin([&] { return serve::PendingWrites(rig.app) == 1; }));
    ASSERT_TRUE(step([&] { return poller.idle(); }));
    ASSERT_EQ(Wait(reply).status, 200);
    ASSERT_EQ(rig.sim->reg(tecreg::kSetValue), 300);
    // The write went between the round's two reads.
    const auto wire = rig.wire();
    ASSERT_GE(wire.size(), 3u);
    ASSERT_FALSE(IsWrite(wire.front())) << "the SV read first";
    ASSERT_FALSE(IsWrite(wire.back())) << "the PV read last";
    ASSERT_GT(std::count_if(wire.begin(), wire.end(), IsWrite), 0);
    ASSERT_FLOAT_EQ(rig.app.controller.last.sv, 25.0f) << "the round read the SV before the write";
    EXPECT_FLOAT_EQ(rig.app.params.setValue, 30.0f) << "the window holds the newer too (write-all sends it)";

    // Served: the one written, newer than the round's reading.
    QJsonObject s = sample();
    EXPECT_DOUBLE_EQ(s["sv"].toDouble(), 30.0);
    EXPECT_FALSE(s["svRead"].toBool());
    EXPECT_DOUBLE_EQ(s["pv"].toDouble(), pvHeld()) << "the round's PV is served all the same";
    // Also once the window's own records are served again, and to the page.
    serve::ControllersChanged(rig.app);
    EXPECT_DOUBLE_EQ(sample()["sv"].toDouble(), 30.0);
    const QJsonObject live = QJsonDocument::fromJson(QByteArray::fromStdString(server::LiveJson(hub(), rig.clock.wallMillis())))
                                 .object()["controllers"].toArray()[0].toObject();
    EXPECT_DOUBLE_EQ(live["sv"].toDouble(), 30.0);
    // The next round reads it: served as that round's reading.
    round();
    s = sample();
    EXPECT_DOUBLE_EQ(s["sv"].toDouble(), 30.0);
    EXPECT_TRUE(s["svRead"].toBool());
}

// tecctl --round through the window, for a controller whose parameters the
// window has not read: the window rounds as tecctl does on the port, and the
// values go in the order the command named them.
TEST(ServeLinesPty, TecctlRoundThroughTheWindowSendsWhatItSendsDirectly)
{
    const std::vector<std::pair<std::string, std::string>> values = {{"sv", "37.57"}, {"alarm-high", "45.04"}};
    std::vector<std::string> expected;
    for (const auto& frame : TecctlSetFrames(7, values, true))
        expected.push_back(Hex(frame));
    ASSERT_FALSE(expected.empty());

    ServedPtyLine line;
    ASSERT_NO_FATAL_FAILURE(line.start());
    TestRig& rig = line.rig;
    testsupport::TecsimChild& tecsim = line.tecsim;
    server::ServedPort held;
    ASSERT_TRUE(Spin([&] { return line.pty->last.valid && server::FindServedPort(tecsim.device, &held); }, 10));
    const std::size_t before = tecsim.requests().size();

    QProcess tecctl;
    tecctl.start(TECCTL_PATH, {"--port", QString::fromStdString(tecsim.device), "--address", "7", "--round", "set",
                               "sv=37.57", "alarm-high=45.04"});
    ASSERT_TRUE(Spin([&] { return tecctl.state() == QProcess::NotRunning; }, 60));
    const QString said = tecctl.readAllStandardError();
    ASSERT_EQ(tecctl.exitCode(), 0) << said.toStdString();
    EXPECT_TRUE(said.contains("going through its server")) << said.toStdString();
    std::vector<std::string> heard;
    ASSERT_TRUE(Spin([&] {
        const std::vector<std::string> all = tecsim.requests();
        heard.assign(all.begin() + static_cast<std::ptrdiff_t>(std::min(before, all.size())), all.end());
        return heard.size() >= expected.size();
    }, 10));
    // The write's frames in one piece (a round of the line may come before).
    const auto at = std::search(heard.begin(), heard.end(), expected.begin(), expected.end());
    EXPECT_NE(at, heard.end()) << ::testing::PrintToString(heard) << "\nwanted " << ::testing::PrintToString(expected);
    EXPECT_TRUE(HistoryHas(rig.app, "Client 127.0.0.1 set sv=37.57 alarm-high=45.04"));
}

// Serving starts a while after the operator sent a set value from the
// panel: that one is served at once, with the time it was sent, not the
// older one of the window's last round (nor none, after a round of PV alone).
TEST(ServeStart, TheSetValueTheWindowHoldsIsServedAtOnceWithItsOwnTime)
{
    for (const bool pvAlone : {false, true}) {
        SCOPED_TRACE(pvAlone ? "a round of PV alone since" : "a chart round before");
        TestRig rig;
        rig.sim->setReg(tecreg::kSetValue, 250);
        ASSERT_GE(rig.connect(), 0);
        monitor::AskRound(rig.app, false);
        ASSERT_TRUE(rig.app.controller.last.haveSv);
        rig.clock.advance(5.0);
        rig.rt.SetCtrlVal(rig.parm(), PARM_SV, 28.0);
        rig.rt.Commit(rig.parm(), PARM_SV_SEND);
        ASSERT_EQ(rig.sim->reg(tecreg::kSetValue), 280);
        const std::int64_t sentAt = rig.clock.wallMillis();
        if (pvAlone) {
            monitor::AskRound(rig.app, true);
            ASSERT_TRUE(rig.app.controller.last.valid);
            ASSERT_FALSE(rig.app.controller.last.haveSv);
        }
        rig.clock.advance(3.0);
        ASSERT_EQ(serve::Start(rig.app, "127.0.0.1:0"), "");
        const server::Hub& hub = *serve::ServedHub(rig.app);
        const std::int64_t now = rig.clock.wallMillis();
        const QJsonObject s = QJsonDocument::fromJson(QByteArray::fromStdString(server::ControllerJson(hub, *hub.find(1), now)))
                                  .object()["sample"].toObject();
        EXPECT_DOUBLE_EQ(s["sv"].toDouble(), 28.0);
        EXPECT_FALSE(s["svRead"].toBool());
        EXPECT_NEAR(s["svAge"].toDouble(), (now - sentAt) / 1000.0, 0.05);
        serve::Stop(rig.app);
    }
}

// The operator sends a set value while a round of the chart stands inside
// its SV read: the send comes between the round's SV and PV reads, and the
// round's older SV is no longer what the window holds (write-all and the
// PID calculator work from it), though the chart plots what it read.
TEST(WindowSetValue, ASetValueSentInsideARoundIsNotTakenBackByThatRound)
{
    TestRig rig;
    rig.sim->setReg(tecreg::kSetValue, 250);
    ASSERT_GE(rig.connect(), 0);
    monitor::AskRound(rig.app, false);
    ASSERT_FLOAT_EQ(rig.app.params.setValue, 25.0f);
    core::Poller& poller = rig.app.poller;
    poller.requestRound(false);
    double next = poller.service();
    for (int i = 0; i < 1000 && !poller.busy(); ++i) {
        rig.clock.sleepUntil(next);
        next = poller.service();
    }
    ASSERT_TRUE(poller.busy());
    rig.rt.SetCtrlVal(rig.parm(), PARM_SV, 28.0);
    rig.rt.Commit(rig.parm(), PARM_SV_SEND);
    ASSERT_EQ(rig.sim->reg(tecreg::kSetValue), 280);
    ASSERT_FALSE(poller.idle()) << "the round goes on after the send";
    rig.rt.WakeService(rig.app.pollService);
    ASSERT_TRUE(poller.idle());
    ASSERT_FLOAT_EQ(rig.app.controller.last.sv, 25.0f) << "the round read its SV before the send";
    EXPECT_FLOAT_EQ(rig.app.params.setValue, 28.0f);
    EXPECT_DOUBLE_EQ(rig.value(rig.parm(), PARM_SV), 28.0);
    // The next round reads the new one and takes it, as ever.
    rig.sim->setReg(tecreg::kSetValue, 270);  // changed at the controller's keypad
    monitor::AskRound(rig.app, false);
    EXPECT_FLOAT_EQ(rig.app.params.setValue, 27.0f);
}

} // namespace
