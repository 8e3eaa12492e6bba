// tecctl's command line and value parsing: what is refused before anything
// is opened or sent.
#include "tecctl/options.h"

#include <gtest/gtest.h>

namespace {

using tecctl::Options;

bool Parse(const std::vector<std::string>& args, Options* o = nullptr, std::string* error = nullptr)
{
    Options local;
    std::string e;
    return tecctl::ParseOptions(args, o ? o : &local, error ? error : &e);
}

TEST(TecctlOptions, PortIsANumberOrAPath)
{
    Options o;
    ASSERT_TRUE(Parse({"--port", "101", "read"}, &o));
    EXPECT_EQ(o.portNumber, 101);
    ASSERT_TRUE(Parse({"--port", "/dev/ttyUSB0", "read"}, &o));
    EXPECT_EQ(o.portDevice, "/dev/ttyUSB0");
    std::string error;
    for (const char* bad : {"0", "65536", "COM", "1x", ""})
        EXPECT_FALSE(Parse({"--port", bad, "read"}, nullptr, &error)) << bad;
    EXPECT_FALSE(Parse({"--port"}, nullptr, &error));
    EXPECT_EQ(error, "--port needs a value");
    EXPECT_FALSE(Parse({"--simulate", "--port", "1", "read"}));
}

TEST(TecctlOptions, AddressAndBaudStayInRange)
{
    EXPECT_TRUE(Parse({"--address", "255", "read"}));
    EXPECT_FALSE(Parse({"--address", "0", "read"}));    // broadcast: no controller answers
    EXPECT_FALSE(Parse({"--address", "256", "read"}));  // would go out as another address
    EXPECT_FALSE(Parse({"--address", "-1", "read"}));
    EXPECT_TRUE(Parse({"--baud", "9600", "read"}));
    EXPECT_FALSE(Parse({"--baud", "99999999999", "read"}));
}

TEST(TecctlOptions, CommandsTakeTheirArgumentsOnly)
{
    Options o;
    ASSERT_TRUE(Parse({"watch", "--interval", "0.5", "--count", "3", "--log", "a.dat", "--append"}, &o));
    EXPECT_DOUBLE_EQ(o.interval, 0.5);
    EXPECT_EQ(o.count, 3);
    EXPECT_EQ(o.logPath, "a.dat");
    EXPECT_TRUE(o.append);
    EXPECT_FALSE(Parse({"watch", "--append"}));
    ASSERT_TRUE(Parse({"watch", "--log", "a.dat", "--overwrite"}, &o));
    EXPECT_TRUE(o.overwrite);
    EXPECT_FALSE(Parse({"watch", "--overwrite"}));
    EXPECT_FALSE(Parse({"watch", "--log", "a.dat", "--append", "--overwrite"}));
    ASSERT_TRUE(Parse({"set", "--round", "sv=1.25"}, &o));
    EXPECT_TRUE(o.round);
    EXPECT_EQ(o.args, std::vector<std::string>{"sv=1.25"});
    ASSERT_TRUE(Parse({"--round", "output", "-5.55"}, &o));
    EXPECT_TRUE(o.round);
    EXPECT_TRUE(Parse({"get", "pv", "sv"}));
    EXPECT_FALSE(Parse({"watch", "--interval", "-1"}));
    EXPECT_FALSE(Parse({"watch", "--count", "0"}));
    EXPECT_FALSE(Parse({"read", "--count", "3"}));
    EXPECT_FALSE(Parse({"read", "extra"}));
    EXPECT_FALSE(Parse({"get"}));
    EXPECT_FALSE(Parse({"get", "sv", "nosuch"}));
    EXPECT_TRUE(Parse({"program", "get"}));
    EXPECT_TRUE(Parse({"program", "get", "a.srp"}));
    EXPECT_FALSE(Parse({"program", "put"}));
    EXPECT_FALSE(Parse({"program", "run", "now"}));
    EXPECT_FALSE(Parse({"frobnicate"}));
    EXPECT_FALSE(Parse({}));
    ASSERT_TRUE(Parse({"--help"}, &o));
    EXPECT_TRUE(o.help);
}

TEST(TecctlOptions, AssignmentsAreNumbersTheirRegisterClassTakes)
{
    tecctl::Assignment a;
    std::string error;
    ASSERT_TRUE(tecctl::ParseAssignment("pid2.p=7.5", &a, &error));
    EXPECT_EQ(a.param->reg, 0x0009);
    EXPECT_DOUBLE_EQ(a.value, 7.5);
    ASSERT_TRUE(tecctl::ParseAssignment("sv=-12.5e0", &a, &error));
    EXPECT_DOUBLE_EQ(a.value, -12.5);
    for (const char* bad : {"sv", "sv=", "sv=abc", "sv=nan", "sv=inf", "sv=0x10", "sv=1e999", "pid1.i=1.5",
                            "unit=256", "unit=-1", "pid4.bound=1", "=3"})
        EXPECT_FALSE(tecctl::ParseAssignment(bad, &a, &error)) << bad;
}

TEST(TecctlOptions, FunctionsAndRawFrames)
{
    int code = -1;
    EXPECT_TRUE(tecctl::ParseFunction("manual", &code));
    EXPECT_EQ(code, 3);
    EXPECT_TRUE(tecctl::ParseFunction("pid", &code));
    EXPECT_EQ(code, 4);
    EXPECT_FALSE(tecctl::ParseFunction("5", &code));  // the step program starts with "program run"

    std::uint8_t f[6];
    std::string error;
    ASSERT_TRUE(tecctl::ParseRawFrame({"01", "03", "0x10", "00", "00", "01"}, f, &error));
    EXPECT_EQ(f[2], 0x10);
    EXPECT_TRUE(tecctl::ParseRawFrame({"01", "03", "10", "00", "00", "01", "FF", "FF"}, f, &error));
    EXPECT_FALSE(tecctl::ParseRawFrame({"01", "03", "10", "00", "00"}, f, &error));
    EXPECT_FALSE(tecctl::ParseRawFrame({"01", "03", "10", "00", "00", "1G"}, f, &error));
    EXPECT_FALSE(tecctl::ParseRawFrame({"01", "03", "10", "00", "00", "100"}, f, &error));
}

} // namespace

namespace {

TEST(TecctlOptions, AddressListsAndRangesAreReadWholeOrRefused)
{
    Options o;
    ASSERT_TRUE(Parse({"--address", "5,1-3,9", "--name", "2=stage-A", "--name", "9=x=y", "watch"}, &o));
    EXPECT_EQ(o.addresses, (std::vector<int>{5, 1, 2, 3, 9}));
    EXPECT_EQ(o.address, 5);
    EXPECT_TRUE(tecctl::SeveralControllers(o));
    EXPECT_EQ(tecctl::NameOf(o, 2), "stage-A");
    EXPECT_EQ(tecctl::NameOf(o, 9), "x=y");
    EXPECT_EQ(tecctl::NameOf(o, 1), "");
    ASSERT_TRUE(Parse({"--address", "250", "read"}, &o));  // one address: as the settings file allows
    EXPECT_FALSE(tecctl::SeveralControllers(o));
    ASSERT_TRUE(Parse({"--address", "247-247", "read"}, &o));
    EXPECT_EQ(o.addresses, std::vector<int>{247});

    std::string error;
    EXPECT_FALSE(Parse({"--address", "1,2,1", "read"}, nullptr, &error));
    EXPECT_EQ(error, "--address: address 1 is given twice in \"1,2,1\"");
    EXPECT_FALSE(Parse({"--address", "1-3,2", "read"}, nullptr, &error));
    EXPECT_FALSE(Parse({"--address", "4-2", "read"}, nullptr, &error));
    EXPECT_EQ(error, "--address: the range 4-2 runs backwards (2-4)");
    for (const char* bad : {"1,", ",1", "1,,2", "1-", "-3", "1-2-3", "0,1", "1,248", "240-250", "1;2", "1, 2", "a-b"}) {
        EXPECT_FALSE(Parse({"--address", bad, "read"}, nullptr, &error)) << bad;
        EXPECT_NE(error.find("--address"), std::string::npos) << bad;
    }
    ASSERT_TRUE(Parse({"--address", "1,2", "--address", "3", "read"}, &o));  // the last one counts
    EXPECT_EQ(o.addresses, std::vector<int>{3});

    // Names belong to an address given, once each, and are not empty.
    EXPECT_FALSE(Parse({"--address", "1,2", "--name", "3=x", "read"}, nullptr, &error));
    EXPECT_EQ(error, "--name 3=...: address 3 is not among --address");
    EXPECT_FALSE(Parse({"--name", "1=x", "read"}, nullptr, &error));
    EXPECT_FALSE(Parse({"--address", "1,2", "--name", "1=", "read"}));
    EXPECT_FALSE(Parse({"--address", "1,2", "--name", "x", "read"}));
    EXPECT_FALSE(Parse({"--address", "1,2", "--name", "1=a", "--name", "1=b", "read"}));
    EXPECT_FALSE(Parse({"--address", "1,2", "--name", "1=" + std::string(65, 'n'), "read"}));

    // Several controllers only for the commands that only read.
    for (const char* command : {"identify", "read", "watch"})
        EXPECT_TRUE(Parse({"--address", "1,2", command})) << command;
    EXPECT_TRUE(Parse({"--address", "1,2", "get", "pv"}));
    EXPECT_FALSE(Parse({"--address", "1,2", "set", "sv=20"}, nullptr, &error));
    EXPECT_NE(error.find("one controller at a time"), std::string::npos);
    EXPECT_FALSE(Parse({"--address", "1-2", "raw", "01", "03", "10", "00", "00", "01"}));
}

} // namespace
