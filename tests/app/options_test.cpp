// The command line: port bindings and the options that take values.
#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Runs ParseOptions over the words, as main hands them over.
int Parse(std::vector<std::string> words, Options* o)
{
    words.insert(words.begin(), "tecontrol");
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return ParseOptions(static_cast<int>(words.size()), argv.data(), o);
}

TEST(PortOption, BindsNumbersToDevicesInBothSpellings)
{
    Options o;
    ASSERT_EQ(Parse({"--port", "1=/dev/pts/3", "--port=65535=/dev/tty USB", "--port", "7==odd"}, &o), -1);
    ASSERT_EQ(o.ports.size(), 3u);
    EXPECT_EQ(o.ports[0], (std::pair<int, std::string>{1, "/dev/pts/3"}));
    EXPECT_EQ(o.ports[1], (std::pair<int, std::string>{65535, "/dev/tty USB"}));
    EXPECT_EQ(o.ports[2], (std::pair<int, std::string>{7, "=odd"})) << "the first '=' ends the number";
}

TEST(PortOption, RefusesEveryMalformedBinding)
{
    // A number with trailing text must be refused by looking at the binding
    // itself; "12x" once slipped through only by the luck of a dead temporary.
    for (const char* bad : {"12x=/dev/a", "1 =/dev/a", " 1=/dev/a", "+1=/dev/a", "-1=/dev/a", "0=/dev/a",
                            "65536=/dev/a", "99999999999=/dev/a", "=/dev/a", "1=", "1", "", "x=/dev/a"}) {
        SCOPED_TRACE(bad);
        Options o;
        EXPECT_EQ(Parse({"--port", bad}, &o), 2);
        EXPECT_TRUE(o.ports.empty());
        int n = -7;
        std::string device = "kept";
        EXPECT_FALSE(ParsePortBinding(bad, &n, &device));
        EXPECT_EQ(n, -7);
        EXPECT_EQ(device, "kept");
    }
    Options o;
    EXPECT_EQ(Parse({"--port"}, &o), 2) << "a missing value";
}

TEST(CommandLine, ValuesAndExitCodes)
{
    Options o;
    ASSERT_EQ(Parse({"--simulate", "--speed=20", "--ui-dir", "/x y", "--startup-probe"}, &o), -1);
    EXPECT_TRUE(o.simulate);
    EXPECT_EQ(o.speed, 20.0);
    EXPECT_EQ(o.uiDir, "/x y");
    EXPECT_TRUE(o.startupProbe);
    EXPECT_TRUE(o.reconnect) << "automatic reconnection is on by default";
    ASSERT_EQ(Parse({"--no-reconnect"}, &o), -1);
    EXPECT_FALSE(o.reconnect);
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--speed", "0.5"}, {"--speed", "1001"}, {"--speed", "5x"}, {"--speed", "nan"}, {"--ui-dir"}, {"--what"}}) {
        Options p;
        EXPECT_EQ(Parse(bad, &p), 2) << bad[0];
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(Parse({"--version"}, &o), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("tecontrol ") + TEC_VERSION + "\n");
}

} // namespace
