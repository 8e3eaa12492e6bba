// serve's command line: what it takes, and what it refuses before the port
// is opened.
#include "tecctl/options.h"

#include <gtest/gtest.h>

namespace {

using tecctl::Options;

TEST(TecctlServeOptions, ServeTakesItsOwnOptionsAndNeedsSomethingToDo)
{
    Options o;
    std::string error;
    ASSERT_TRUE(tecctl::ParseOptions({"--port", "/dev/ttyUSB0", "serve", "--http", "0.0.0.0:8080", "--mqtt",
                                      "broker:1884", "--log", "run.dat", "--append", "--interval", "0.5"},
                                     &o, &error))
        << error;
    EXPECT_EQ(o.command, "serve");
    EXPECT_EQ(o.httpListen, "0.0.0.0:8080");
    EXPECT_EQ(o.mqttBroker, "broker:1884");
    EXPECT_EQ(o.logPath, "run.dat");
    EXPECT_TRUE(o.append);
    EXPECT_EQ(o.interval, 0.5);
    EXPECT_TRUE(o.args.empty());

    EXPECT_FALSE(tecctl::ParseOptions({"serve"}, &o, &error));
    EXPECT_NE(error.find("--http"), std::string::npos);
    EXPECT_FALSE(tecctl::ParseOptions({"serve", "--http"}, &o, &error));
    EXPECT_EQ(error, "--http needs a value");
    // watch's --count is no serve option; serve's options are no watch's.
    EXPECT_FALSE(tecctl::ParseOptions({"serve", "--http", "8080", "--count", "3"}, &o, &error));
    EXPECT_FALSE(tecctl::ParseOptions({"watch", "--mqtt", "broker"}, &o, &error));
    EXPECT_FALSE(tecctl::ParseOptions({"serve", "--http", "8080", "--interval", "-1"}, &o, &error));
    EXPECT_EQ(error.rfind("serve: --interval", 0), 0u) << error;
    EXPECT_FALSE(tecctl::ParseOptions({"serve", "--mqtt", "b", "--append"}, &o, &error));
}

TEST(TecctlServeOptions, DirectIsAnOptionBeforeTheCommand)
{
    Options o;
    std::string error;
    ASSERT_TRUE(tecctl::ParseOptions({"--direct", "--port", "/dev/ttyUSB0", "get", "sv"}, &o, &error));
    EXPECT_TRUE(o.direct);
    ASSERT_TRUE(tecctl::ParseOptions({"--port", "/dev/ttyUSB0", "get", "sv"}, &o, &error));
    EXPECT_FALSE(o.direct);
}

} // namespace
