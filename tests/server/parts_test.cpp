// The server's parts that need no socket: routing, the write body, the size
// guard, times, the token, the hub's history and write path, the metrics.
#include "server/http_server.h"
#include "server/hub.h"
#include "server/render.h"
#include "server/route.h"
#include "server/token.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using server::RouteKind;

TEST(Route, PathsMethodsAndAddresses)
{
    struct Row {
        const char* method;
        const char* target;
        RouteKind kind;
        int address;
    };
    const Row rows[] = {
        {"GET", "/", RouteKind::Page, 0},
        {"GET", "/metrics", RouteKind::Metrics, 0},
        {"GET", "/api/v1/controllers", RouteKind::Controllers, 0},
        {"GET", "/api/v1/controllers/1", RouteKind::Controller, 1},
        {"GET", "/api/v1/controllers/247/parameters", RouteKind::Parameters, 247},
        {"GET", "/api/v1/controllers/5/history?from=x", RouteKind::History, 5},
        {"POST", "/api/v1/controllers/2/set", RouteKind::Set, 2},
        {"POST", "/api/v1/controllers/2/program/run", RouteKind::ProgramRun, 2},
        {"POST", "/api/v1/controllers/2/program/stop", RouteKind::ProgramStop, 2},
        {"POST", "/api/v1/controllers/2/function", RouteKind::Function, 2},
        // Reads are not writes and writes are not reads.
        {"GET", "/api/v1/controllers/2/set", RouteKind::MethodNotAllowed, 2},
        {"POST", "/api/v1/controllers/2", RouteKind::MethodNotAllowed, 2},
        {"HEAD", "/", RouteKind::MethodNotAllowed, 0},
        {"OPTIONS", "/api/v1/controllers/2/set", RouteKind::MethodNotAllowed, 2},
        // No broadcast address, nothing past 247, no leading zero or sign.
        {"GET", "/api/v1/controllers/0", RouteKind::NotFound, 0},
        {"GET", "/api/v1/controllers/248", RouteKind::NotFound, 0},
        {"GET", "/api/v1/controllers/01", RouteKind::NotFound, 0},
        {"GET", "/api/v1/controllers/+1", RouteKind::NotFound, 0},
        {"GET", "/api/v1/controllers/1/", RouteKind::NotFound, 0},
        {"GET", "/api/v1/controllers/1/nothing", RouteKind::NotFound, 0},
        {"GET", "/api/v1/controllers/", RouteKind::NotFound, 0},
        {"GET", "/../etc/passwd", RouteKind::NotFound, 0},
        {"GET", "/index.html", RouteKind::NotFound, 0},
    };
    for (const Row& r : rows) {
        const server::Route got = server::MatchRoute(r.method, r.target);
        EXPECT_EQ(got.kind, r.kind) << r.method << " " << r.target;
        EXPECT_EQ(got.address, r.address) << r.method << " " << r.target;
    }
}

TEST(Route, HistoryQuery)
{
    server::Route r = server::MatchRoute("GET", "/api/v1/controllers/1/history?from=2026-12-08T21%3A00%3A00Z&to=x&format=csv");
    EXPECT_EQ(r.from, "2026-12-08T21:00:00Z");
    EXPECT_EQ(r.to, "x");
    EXPECT_TRUE(r.csv);
    EXPECT_TRUE(r.error.empty());
    r = server::MatchRoute("GET", "/api/v1/controllers/1/history?format=xml");
    EXPECT_FALSE(r.error.empty());
    r = server::MatchRoute("GET", "/api/v1/controllers/1/history?from=%4");
    EXPECT_FALSE(r.error.empty());
    r = server::MatchRoute("GET", "/api/v1/controllers/1/history?from=a%00b");
    EXPECT_FALSE(r.error.empty());
}

TEST(ListenText, AddressesPortsAndAnyFreePort)
{
    QHostAddress a;
    quint16 port = 1;
    std::string error;
    ASSERT_TRUE(server::ParseListenText("8080", &a, &port, &error));
    EXPECT_EQ(port, 8080);
    EXPECT_TRUE(server::IsLoopback(a));
    ASSERT_TRUE(server::ParseListenText("0", &a, &port, &error));
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(server::IsLoopback(a));
    ASSERT_TRUE(server::ParseListenText("[::1]:0", &a, &port, &error));
    EXPECT_EQ(a, QHostAddress(QHostAddress::LocalHostIPv6));
    ASSERT_TRUE(server::ParseListenText("0.0.0.0:0", &a, &port, &error));
    EXPECT_FALSE(server::IsLoopback(a));
    EXPECT_FALSE(server::ParseListenText("nowhere:0", &a, &port, &error));
    EXPECT_NE(error.find("\"nowhere\" is not an IP address"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(server::ParseListenText("127.0.0.1:70000", &a, &port, &error));
    EXPECT_FALSE(error.empty());
}

TEST(IsoTime, ZonesFractionsAndRanges)
{
    std::int64_t ms = 0;
    ASSERT_TRUE(server::ParseIsoTime("1970-01-01T00:00:00Z", &ms));
    EXPECT_EQ(ms, 0);
    ASSERT_TRUE(server::ParseIsoTime("2026-12-08T21:00:00.25Z", &ms));
    EXPECT_EQ(ms, 1796763600250LL);
    ASSERT_TRUE(server::ParseIsoTime("2026-12-08T22:30:00+01:30", &ms));
    EXPECT_EQ(ms, 1796763600000LL);
    ASSERT_TRUE(server::ParseIsoTime("2024-02-29T00:00Z", &ms));
    EXPECT_EQ(server::IsoTime(ms), "2024-02-29T00:00:00.000Z");
    EXPECT_EQ(server::IsoTime(1796763600250LL), "2026-12-08T21:00:00.250Z");
    EXPECT_EQ(server::IsoTime(253402300799999LL), "9999-12-31T23:59:59.999Z");
    // Every time written reads back as itself, across days, leap years and centuries.
    for (std::int64_t t = 0; t < 4102444800000LL; t += 987654321987LL / 1000) {
        std::int64_t back = -1;
        ASSERT_TRUE(server::ParseIsoTime(server::IsoTime(t), &back)) << server::IsoTime(t);
        EXPECT_EQ(back, t) << server::IsoTime(t);
    }
    // Local forms parse too (their value depends on the zone).
    EXPECT_TRUE(server::ParseIsoTime("2026-12-08", &ms));
    EXPECT_TRUE(server::ParseIsoTime("2026-12-08T21:00", &ms));
    for (const char* bad : {"", "2026-12-8", "2025-02-29", "2026-13-01", "2026-12-08T24:00Z", "2026-12-08T21:60Z",
                            "2026-12-08T21:00:00ZZ", "2026-12-08T21:00:00.Z", "1969-12-31T23:59:59Z",
                            "2026-12-08T21:00:00+2", "now", "2026-12-08T21:00:00 Z"})
        EXPECT_FALSE(server::ParseIsoTime(bad, &ms)) << bad;
}

TEST(WriteBody, ValuesKeepTheirText)
{
    std::vector<std::pair<std::string, std::string>> m;
    std::string error;
    ASSERT_TRUE(server::ParseWriteBody(R"( {"sv": 37.5, "function":"PID", "alarm-switch": true, "x": -1e2} )", false,
                                       &m, &error))
        << error;
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0], std::make_pair(std::string("sv"), std::string("37.5")));
    EXPECT_EQ(m[1].second, "PID");
    EXPECT_EQ(m[2].second, "1");
    EXPECT_EQ(m[3].second, "-1e2");
    ASSERT_TRUE(server::ParseWriteBody(R"({"n\u00e9": "a\"b\\\ud83d\ude00"})", false, &m, &error)) << error;
    EXPECT_EQ(m[0].first, "n\xc3\xa9");
    EXPECT_EQ(m[0].second, "a\"b\\\xf0\x9f\x98\x80");
    // Program commands take no values: nothing or an empty object.
    EXPECT_TRUE(server::ParseWriteBody("", true, &m, &error));
    EXPECT_TRUE(server::ParseWriteBody(" {} ", true, &m, &error));
    EXPECT_TRUE(m.empty());
}

TEST(WriteBody, RefusesWhatIsNoFlatObject)
{
    const char* bad[] = {
        "", "{}", "[]", "37.5", "{\"sv\": 37.5", "{\"sv\" 37.5}", "{\"sv\": 37.5,}", "{\"sv\": 37.5} x",
        "{\"sv\": null}", "{\"sv\": {\"a\": 1}}", "{\"sv\": [1]}", "{\"sv\": 1, \"sv\": 2}", "{sv: 1}",
        "{\"sv\": 01}", "{\"sv\": 1.}", "{\"sv\": .5}", "{\"sv\": +1}", "{\"sv\": 1e}", "{\"sv\": NaN}",
        "{\"sv\": \"a\\x\"}", "{\"sv\": \"\\ud800\"}", "{\"sv\": \"\\udc00\"}", "{\"sv\": \"\\u0000\"}",
        "{\"sv\": \"a\nb\"}", "{\"s\xc3\": 1}", "{\"\xc0\xaf\": 1}", "{\"\xed\xa0\x80\": 1}", "{\"sv\": truex}",
    };
    for (const char* b : bad) {
        std::vector<std::pair<std::string, std::string>> m;
        std::string error;
        EXPECT_FALSE(server::ParseWriteBody(b, false, &m, &error)) << b;
        EXPECT_FALSE(error.empty()) << b;
        EXPECT_TRUE(m.empty()) << b;
    }
    std::vector<std::pair<std::string, std::string>> m;
    std::string error;
    EXPECT_FALSE(server::ParseWriteBody(std::string(server::kMaxBodyBytes + 1, ' '), true, &m, &error));
    std::string many = "{";
    for (std::size_t i = 0; i <= server::kMaxMembers; ++i)
        many += (i ? ",\"k" : "\"k") + std::to_string(i) + "\": 1";
    EXPECT_FALSE(server::ParseWriteBody(many + "}", false, &m, &error));
}

TEST(Token, MadeOnceWithModeSixHundredAndReadAgain)
{
    char dir[] = "/tmp/server-token-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string path = std::string(dir) + "/cfg/tecontrol/server-token";
    std::string token, again, error;
    ASSERT_TRUE(server::LoadOrCreateToken(path, &token, &error)) << error;
    EXPECT_EQ(token.size(), 64u);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((std::string(dir) + "/cfg/tecontrol").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_TRUE(server::LoadOrCreateToken(path, &again, &error));
    EXPECT_EQ(again, token);
    // A file others could read is made private; a short one is refused.
    ::chmod(path.c_str(), 0644);
    ASSERT_TRUE(server::LoadOrCreateToken(path, &again, &error));
    ::stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ofstream(path) << "short\n";
    EXPECT_FALSE(server::LoadOrCreateToken(path, &again, &error));
    // A link in the token's place is not followed.
    ::unlink(path.c_str());
    ASSERT_EQ(::symlink("/etc/hostname", path.c_str()), 0);
    EXPECT_FALSE(server::LoadOrCreateToken(path, &again, &error));
    ::unlink(path.c_str());

    ::setenv("XDG_CONFIG_HOME", "/x/y", 1);
    EXPECT_EQ(server::TokenPath(), "/x/y/tecontrol/server-token");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);
    ::setenv("HOME", "/home/u", 1);
    EXPECT_EQ(server::TokenPath(), "/home/u/.config/tecontrol/server-token");
}

TEST(Token, BearerComparison)
{
    const std::string t = "0123456789abcdef0123";
    EXPECT_TRUE(server::BearerMatches("Bearer " + t, t));
    EXPECT_TRUE(server::BearerMatches("bearer " + t, t));
    EXPECT_FALSE(server::BearerMatches("Bearer " + t + "4", t));
    EXPECT_FALSE(server::BearerMatches("Bearer " + t.substr(1), t));
    EXPECT_FALSE(server::BearerMatches("Bearer 1123456789abcdef0123", t));
    EXPECT_FALSE(server::BearerMatches("Basic " + t, t));
    EXPECT_FALSE(server::BearerMatches(t, t));
    EXPECT_FALSE(server::BearerMatches("Bearer ", ""));
}

struct HubFixture : ::testing::Test {
    core::Controller a, b;
    server::Hub hub;
    void SetUp() override
    {
        a.address = 1;
        a.name = "left \"bath\"\nA";
        b.address = 2;
        hub.setControllers({&a, &b});
    }
    void round(std::int64_t wall, bool aValid, float pv)
    {
        a.last.valid = aValid;
        a.last.haveSv = aValid;
        a.last.pv = pv;
        a.last.sv = 30;
        a.last.wallMillis = wall;
        b.last.valid = true;
        b.last.haveSv = true;
        b.last.wallMillis = wall;
        hub.roundEnded(wall / 1000.0, wall);
    }
};

TEST_F(HubFixture, HistoryKeepsMissesAndItsSpan)
{
    hub.setHistorySpan(10);
    int calls = 0;
    const int id = hub.subscribe([&](const server::RoundNote& n) { calls += n.number > 0; });
    for (int k = 0; k < 20; ++k)
        round(1000000 + k * 1000, k != 15, static_cast<float>(k));
    EXPECT_EQ(calls, 20);
    const auto all = hub.history(1, 0, 2000000);
    ASSERT_EQ(all.size(), 11u);  // the last ten seconds and the point on their edge
    EXPECT_EQ(all.front().wallMillis, 1009000);
    EXPECT_FALSE(all[6].valid);
    EXPECT_FLOAT_EQ(all.back().pv, 19);
    const auto some = hub.history(1, 1012000, 1014000);
    ASSERT_EQ(some.size(), 3u);
    EXPECT_FLOAT_EQ(some[0].pv, 12);
    EXPECT_TRUE(hub.history(1, 1014000, 1012000).empty());
    EXPECT_TRUE(hub.history(9, 0, 2000000).empty());
    // A clock set back drops the points now in its future.
    round(1005000, true, 99);
    EXPECT_EQ(hub.history(1, 0, 2000000).size(), 1u);
    hub.unsubscribe(id);
    round(1006000, true, 1);
    EXPECT_EQ(calls, 21);
}

TEST_F(HubFixture, WritesReachTheOwnerOnlyForAControllerThatCanTakeThem)
{
    std::vector<server::WriteResult::Status> got;
    auto done = [&](const server::WriteResult& r) { got.push_back(r.status); };
    server::WriteRequest w;
    w.address = 1;
    hub.submit(w, done);  // nobody executes writes
    w.address = 3;
    hub.submit(w, done);
    b.state = core::LinkState::Offline;
    w.address = 2;
    int executed = 0, told = 0;
    hub.setExecutor([&](const server::WriteRequest&, server::WriteDone d) {
        ++executed;
        server::WriteResult r;
        r.status = server::WriteResult::Status::Refused;
        d(r);
    });
    hub.subscribeWrites([&](const server::WriteRequest&, const server::WriteResult&) { ++told; });
    hub.submit(w, done);
    w.address = 1;
    hub.submit(w, done);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(server::HttpStatus(got[0]), 503);
    EXPECT_EQ(server::HttpStatus(got[1]), 404);
    EXPECT_EQ(server::HttpStatus(got[2]), 409);
    EXPECT_EQ(server::HttpStatus(got[3]), 502);
    EXPECT_EQ(executed, 1);
    EXPECT_EQ(told, 1);
}

TEST_F(HubFixture, TheSetValueServedIsTheNewestReadOrWritten)
{
    float sv = 0;
    std::int64_t at = 0;
    round(5000, true, 20);
    ASSERT_TRUE(hub.setValue(a, &sv, &at));
    EXPECT_EQ(at, 5000);
    // Written since: served at once, with the time it was written.
    hub.noteSetValue(1, 35, 5500);
    ASSERT_TRUE(hub.setValue(a, &sv, &at));
    EXPECT_FLOAT_EQ(sv, 35);
    EXPECT_EQ(at, 5500);
    // A round of PV alone reads no SV: the written one stays, with its time.
    a.last.haveSv = false;
    a.last.sv = 30;
    a.last.pv = 21;
    a.last.wallMillis = 6000;
    hub.roundEnded(6.0, 6000);
    ASSERT_TRUE(hub.setValue(a, &sv, &at));
    EXPECT_FLOAT_EQ(sv, 35);
    EXPECT_EQ(at, 5500);
    const std::string json = server::ControllerJson(hub, a, 7000);
    EXPECT_NE(json.find("\"sv\": 35.0, \"svTime\": \"1970-01-01T00:00:05.500Z\", \"svAge\": 1.500, \"svRead\": false"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"age\": 1.000"), std::string::npos) << json;
    // The page's first HTML dims it as its live updates do.
    const std::string page = server::PageHtml(hub, 7000);
    EXPECT_NE(page.find("data-f=\"sv\" style=\"opacity:0.6\" title=\"read 2 s ago\">35.0<"), std::string::npos);
    // A note older than what is known changes nothing; a later round's read does.
    hub.noteSetValue(1, 99, 5200);
    ASSERT_TRUE(hub.setValue(a, &sv, &at));
    EXPECT_FLOAT_EQ(sv, 35);
    round(8000, true, 22);
    ASSERT_TRUE(hub.setValue(a, &sv, &at));
    EXPECT_FLOAT_EQ(sv, 30);
    EXPECT_EQ(at, 8000);
    // The owner showing that round's reading notes the same value: it was
    // still read by the round, then.
    hub.noteSetValue(1, 30, 8100);
    ASSERT_TRUE(hub.setValue(a, &sv, &at));
    EXPECT_EQ(at, 8000);
    core::Controller never;
    never.address = 9;
    EXPECT_FALSE(hub.setValue(never, &sv, &at));
}

TEST_F(HubFixture, ASetValueWrittenBetweenARoundsSvAndPvReadsIsNotTakenBack)
{
    float sv = 0;
    std::int64_t at = 0;
    round(5000, true, 20);
    // The next round read SV 30 at 5900, then 35 was written at 5950, then
    // its PV came at 6000: the round's SV is the older.
    a.last.sv = 30;
    a.last.haveSv = true;
    a.last.svWallMillis = 5900;
    a.last.wallMillis = 6000;
    hub.noteSetValue(1, 35, 5950);
    ASSERT_TRUE(hub.setValue(a, &sv, &at));
    EXPECT_FLOAT_EQ(sv, 35) << "before the round is fed";
    hub.roundEnded(5.8, 5800);
    ASSERT_TRUE(hub.setValue(a, &sv, &at));
    EXPECT_FLOAT_EQ(sv, 35);
    EXPECT_EQ(at, 5950);
    const std::string json = server::ControllerJson(hub, a, 6000);
    EXPECT_NE(json.find("\"sv\": 35.0, \"svTime\": \"1970-01-01T00:00:05.950Z\", \"svAge\": 0.050, \"svRead\": false"),
              std::string::npos)
        << json;
    // The round's own point keeps what it read.
    EXPECT_FLOAT_EQ(hub.history(1, 5800, 5800).at(0).sv, 30);
    // Written before the SV read: the round's reading is the newer.
    a.last.sv = 40;
    a.last.svWallMillis = 7900;
    a.last.wallMillis = 8000;
    hub.noteSetValue(1, 36, 7899);
    hub.roundEnded(7.8, 7800);
    ASSERT_TRUE(hub.setValue(a, &sv, &at));
    EXPECT_FLOAT_EQ(sv, 40);
    EXPECT_EQ(at, 8000) << "read by the sample's round";
    // Kept after a round of PV alone, with the time the SV was read.
    a.last.haveSv = false;
    a.last.svWallMillis = 0;
    a.last.wallMillis = 9000;
    hub.roundEnded(9.0, 9000);
    ASSERT_TRUE(hub.setValue(a, &sv, &at));
    EXPECT_FLOAT_EQ(sv, 40);
    EXPECT_EQ(at, 7900);
}

TEST_F(HubFixture, RoundTravelsBesideTheValuesAndReachesTheOwnerAsAnOption)
{
    std::vector<server::WriteRequest> seen;
    hub.setExecutor([&](const server::WriteRequest& r, server::WriteDone d) {
        seen.push_back(r);
        d(server::WriteResult{});
    });
    std::vector<server::WriteResult> got;
    auto done = [&](const server::WriteResult& r) { got.push_back(r); };
    server::WriteRequest w;
    w.address = 1;
    w.values = {{"sv", "37.57"}, {"round", "1"}, {"alarm-high", "45.04"}};
    hub.submit(w, done);
    w.values = {{"round", "0"}, {"sv", "37.5"}};
    hub.submit(w, done);
    w.values = {{"sv", "37.5"}};
    hub.submit(w, done);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(seen[0].round);
    EXPECT_EQ(seen[0].values, (std::vector<std::pair<std::string, std::string>>{{"sv", "37.57"}, {"alarm-high", "45.04"}}));
    EXPECT_FALSE(seen[1].round);
    EXPECT_EQ(seen[1].values, (std::vector<std::pair<std::string, std::string>>{{"sv", "37.5"}}));
    EXPECT_FALSE(seen[2].round);
    // Anything but true or false is bad input, and the owner never sees it.
    for (const char* bad : {"2", "yes", "", "1.0"}) {
        w.values = {{"sv", "37.5"}, {"round", bad}};
        hub.submit(w, done);
        EXPECT_EQ(server::HttpStatus(got.back().status), 400) << bad;
        EXPECT_NE(got.back().message.find("\"round\" takes true or false"), std::string::npos) << got.back().message;
    }
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(HubFixture, MetricsLabelsEscapedAndMissingValuesLeftOut)
{
    round(5000, false, 0);
    const std::string m = server::MetricsText(hub, 6000);
    EXPECT_NE(m.find("name=\"left \\\"bath\\\"\\nA\""), std::string::npos) << m;
    // Controller 1 has no valid sample: no PV of it, but its misses and state.
    EXPECT_EQ(m.find("tecontrol_pv_celsius{address=\"1\""), std::string::npos);
    EXPECT_NE(m.find("tecontrol_pv_celsius{address=\"2\""), std::string::npos);
    EXPECT_NE(m.find("tecontrol_misses_total{address=\"1\",name=\"left \\\"bath\\\"\\nA\",port=\"0\",kind=\"silent\"}"),
              std::string::npos);
    // The page escapes the name and carries no way out of its script.
    a.name = "</script><b>";
    const std::string page = server::PageHtml(hub, 6000);
    EXPECT_EQ(page.find("</script><b>"), std::string::npos);
    EXPECT_NE(page.find("&lt;/script&gt;&lt;b&gt;"), std::string::npos);
}

TEST_F(HubFixture, TemperaturesInFahrenheitAreServedInCelsiusToPrometheus)
{
    a.params.readSinceConnection = true;
    a.params.cfUnit = 1;
    a.params.tempScale = 10.0f;
    round(5000, true, 212);
    const std::string m = server::MetricsText(hub, 5000);
    EXPECT_NE(m.find("tecontrol_pv_celsius{address=\"1\",name=\"left \\\"bath\\\"\\nA\",port=\"0\"} 100.000"),
              std::string::npos)
        << m;
    // The API keeps the controller's own unit.
    EXPECT_NE(server::ControllerJson(hub, a, 5000).find("\"pv\": 212.0, \"unit\": \"\u00B0F\""), std::string::npos);
}

} // namespace

namespace {

// Two controllers at one address on two ports: the first is served, the
// other is left out and said to be, and no point of it enters the first's
// history.
TEST_F(HubFixture, OfTwoControllersAtOneAddressOnlyTheFirstIsServed)
{
    core::Controller twin;
    twin.address = 1;
    twin.port = 2;
    twin.name = "twin";
    hub.setControllers({&a, &twin, &b});
    ASSERT_EQ(hub.controllers().size(), 2u);
    EXPECT_EQ(hub.find(1), &a);
    ASSERT_EQ(hub.unserved().size(), 1u);
    EXPECT_EQ(hub.unserved()[0], &twin);
    twin.last.valid = true;
    twin.last.haveSv = true;
    twin.last.pv = 99;
    round(5000, true, 21);
    const std::vector<server::HistoryPoint> points = hub.history(1, 0, 10000);
    ASSERT_EQ(points.size(), 1u);
    EXPECT_FLOAT_EQ(points[0].pv, 21);
    EXPECT_EQ(server::MetricsText(hub, 5000).find("twin"), std::string::npos);
    // Once the first is gone, the other is served.
    hub.setControllers({&twin, &b});
    EXPECT_EQ(hub.find(1), &twin);
    EXPECT_TRUE(hub.unserved().empty());
}

} // namespace
