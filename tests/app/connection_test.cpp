// Serial settings, opening the port and identifying the controller, against
// the simulated controller and a scripted line.
#include "app/shell.h"
#include "app/connection.h"
#include "link/transact.h"
#include "support/rig.h"
#include "rt/files.h"
#include "support/line_double.h"

#include <gtest/gtest.h>

#include <fstream>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char* const kCommError = "COMMUNICATION ERROR!";

std::string ReadFile(const std::string& path)
{
    std::string s;
    rt::ReadWholeFile(path, &s);
    return s;
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string ModelLabel(TestRig& rig)
{
    std::string s;
    rig.rt.GetCtrlVal(rig.parm(), PARM_MODEL, &s);
    return s;
}

TEST(ComSettingsText, ParsesOnlyThreeNumbersInRange)
{
    std::uint16_t port = 9, id = 9;
    std::uint32_t baud = 9;
    ASSERT_TRUE(comlink::ParseComSettings("3 9600 2", &port, &baud, &id));
    EXPECT_EQ(port, 3);
    EXPECT_EQ(baud, 9600u);
    EXPECT_EQ(id, 2);
    ASSERT_TRUE(comlink::ParseComSettings("101 115200 247\n", &port, &baud, &id));
    EXPECT_EQ(baud, 115200u);
    EXPECT_EQ(port, 101);
    ASSERT_TRUE(comlink::ParseComSettings("65535 19200 255", &port, &baud, &id));
    EXPECT_EQ(id, 255);
    for (const char* bad : {"", "1 19200", "a b c", "1 19200 1 7", "1 0 1", "70000 19200 1", "1 19200 70000",
                            "-1 19200 1", "1 19200 x", "0 19200 1", "1 19200 256", "1 19200 65535"}) {
        port = 9;
        EXPECT_FALSE(comlink::ParseComSettings(bad, &port, &baud, &id)) << bad;
        EXPECT_EQ(port, 9) << "a refused text changes nothing: " << bad;
    }
    EXPECT_EQ(comlink::FormatComSettings(2, 19200, 5), "2 19200 5");
}

class Identification : public ::testing::Test {
protected:
    explicit Identification(std::uint8_t model = 0xF1) : rig(Config(model)) {}
    static sim::Config Config(std::uint8_t model)
    {
        sim::Config c;
        c.modelCode = model;
        return c;
    }
    TestRig rig;
};

TEST_F(Identification, AcceptedControllerIsLinkedSavedAndRead)
{
    ASSERT_GE(rig.connect(1, 1), 0);
    EXPECT_EQ(rig.app.bus.portOpen, 1);
    EXPECT_EQ(ModelLabel(rig), "VEXAMAX");
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_IDENT_LO), 0x23);
    ASSERT_FALSE(rig.wire().empty());
    EXPECT_EQ(Hex(rig.wire().front()), "01 03 1F 00 00 01 83 DE");
    EXPECT_EQ(ReadFile(rig.path("DftCom.prm")), "1 19200 1");
    EXPECT_FALSE(rig.dimmed(rig.parm(), PARM_PV_READ));
    EXPECT_FALSE(rig.dimmed(rig.parm(), PARM_CTRL_FUNC));
    EXPECT_FALSE(rig.dimmed(rig.parm(), PARM_SENSOR_TYPE));
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_LINK_LED), 1);
    EXPECT_EQ(rig.app.waitShown, 0);
    EXPECT_FALSE(rig.rt.IsPopupInstalled(rig.app.panels.wait));
    EXPECT_EQ(rig.op.count(kCommError), 0);
}

// The label names the controller identified last: a model F0 after an F1
// is a VEXA, not the VEXAMAX that answered before it.
TEST_F(Identification, ModelF0AfterF1IsLabelledVexa)
{
    ASSERT_GE(rig.connect(1, 1), 0);
    ASSERT_EQ(ModelLabel(rig), "VEXAMAX");
    rig.sim->setReg(0x1F00, 0xF023);
    ASSERT_GE(rig.connect(1, 1), 0);
    EXPECT_EQ(ModelLabel(rig), "VEXA");
    EXPECT_EQ(rig.op.count(kCommError), 0);
}

class IdentificationOfF0 : public Identification {
protected:
    IdentificationOfF0() : Identification(0xF0) {}
};

TEST_F(IdentificationOfF0, LabelIsEmptyUntilIdentified)
{
    EXPECT_EQ(ModelLabel(rig), "");
    ASSERT_GE(rig.connect(1, 1), 0);
    EXPECT_EQ(ModelLabel(rig), "VEXA");
}

class RefusedIdentification : public Identification {
protected:
    RefusedIdentification() : Identification(0x00) {}
    void expectRefused()
    {
        EXPECT_EQ(rig.app.bus.openStatus, -1);
        EXPECT_EQ(rig.app.bus.portOpen, 0);
        EXPECT_FALSE(rig.rt.IsComOpen(1)) << "a refused identification closes the port it opened";
        EXPECT_EQ(rig.op.count(kCommError), 1);
        EXPECT_FALSE(rt::FileExists(rig.path("DftCom.prm")));
        EXPECT_TRUE(rig.dimmed(rig.parm(), PARM_PV_READ));
        EXPECT_EQ(rig.intValue(rig.parm(), PARM_LINK_LED), 0);
    }
};

TEST_F(RefusedIdentification, ModelCodeZero)
{
    EXPECT_EQ(rig.connect(1, 1), -1);
    ASSERT_EQ(rig.wire().size(), 1u) << "parameters are not read";
    expectRefused();
    const auto& shown = rig.op.shown().back();
    EXPECT_EQ(shown.title, "COMMUNICATION ERROR!");
    const std::string blanks(25, ' ');
    EXPECT_EQ(shown.text, "Communication error between PC & Controller!\n"
                          "\t\t\t\t\tIt could be the controller not fully power up before software starts.\n"
                          "\t\t\t\t\tTry re-select COM port again or EXIT for trouble shooting.\n\n"
                          "\t\t\t\t\t" + blanks + "Or\n"
                          "\t\t\t\t\tThe controller ID value is invalid.\n"
                          "Please change to the correct ID number.\n");
}

TEST_F(Identification, SilentShortGarbledAndRefusingControllersAreRefused)
{
    struct Case {
        const char* name;
        void (*inject)(sim::Faults&);
        bool refusal;
    };
    const Case cases[] = {
        {"silent", [](sim::Faults& f) { f.silent = true; }, false},
        {"short", [](sim::Faults& f) { f.shortBy = 2; }, false},
        {"bad crc", [](sim::Faults& f) { f.badCrc = true; }, false},
        {"5-byte exception", [](sim::Faults& f) { f.exceptionCode = 2; f.fiveByteException = true; }, true},
        {"8-byte exception", [](sim::Faults& f) { f.exceptionCode = 2; }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rig.sim->faults() = {};
        c.inject(rig.sim->faults());
        rig.op.clear();
        const double t0 = rig.clock.now();
        EXPECT_EQ(rig.connect(1, 1), -1);
        EXPECT_EQ(rig.app.bus.portOpen, 0);
        EXPECT_FALSE(rig.rt.IsComOpen(1));
        EXPECT_EQ(rig.op.count(kCommError), 1);
        if (c.refusal) {
            EXPECT_LT(rig.clock.now() - t0, 0.6) << "a refusal never costs the read time-out";
        }
    }
}

TEST_F(Identification, WrongAddressIsRefusedAndQuitThenClosesNothing)
{
    EXPECT_EQ(rig.connect(1, 7), -1);
    EXPECT_EQ(rig.op.count(kCommError), 1);
    rig.rt.FireEvent(rig.parm(), PARM_QUIT, rt::EVENT_COMMIT);
    EXPECT_TRUE(rig.rt.quitRequested());
}

TEST_F(Identification, RestoresSettingsAndOpensWhatTheyName)
{
    LineDouble line(rig.clock);
    rig.rt.ports().bind(3, "COM3  scripted", line.factory());
    comlink::FillPortSelector(rig.app);
    WriteFile(rig.path("DftCom.prm"), "3 9600 2");
    comlink::RestoreComSettings(rig.app);
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_COMPORT), 3);
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_CTRL_ID), 2);
    EXPECT_EQ(comlink::ConnectController(rig.app), -1);  // the scripted line stays silent
    EXPECT_EQ(line.openBaud, 9600);
    ASSERT_EQ(line.writes.size(), 1u);
    EXPECT_EQ(line.writes[0][0], 0x02);
}

TEST_F(Identification, SavesExactlyPortBaudAndAddress)
{
    sim::Config c;
    c.address = 5;
    auto second = std::make_shared<sim::Controller>(rig.clock, c);
    io::Clock* clock = &rig.clock;
    rig.rt.ports().bind(2, "COM2  simulated", [second, clock] { return sim::MakeSimDevice(second, *clock); });
    comlink::FillPortSelector(rig.app);
    ASSERT_GE(rig.connect(2, 5), 0);
    EXPECT_EQ(ReadFile(rig.path("DftCom.prm")), "2 19200 5");
}

TEST_F(Identification, HighBaudRatesSurviveTheSettingsFile)
{
    LineDouble line(rig.clock);
    rig.rt.ports().bind(4, "COM4  scripted", line.factory());
    WriteFile(rig.path("DftCom.prm"), "4 115200 1");
    comlink::RestoreComSettings(rig.app);
    EXPECT_EQ(rig.app.bus.baudRate, 115200u);
    line.queue({0x01, 0x03, 0x00, 0x02, 0xF1, 0x23});
    auto& reply = line.replies.back().bytes;
    const comlink::Crc crc = comlink::CalcCRC16(reply.data(), 6);
    reply.push_back(crc.lo);
    reply.push_back(crc.hi);
    line.repeatWhenEmpty = true;  // the read-all pass gets silence
    EXPECT_GE(comlink::ConnectController(rig.app), 0);
    EXPECT_EQ(line.openBaud, 115200);
    EXPECT_EQ(ReadFile(rig.path("DftCom.prm")), "4 115200 1");
}

// As before any settings were read: no port, the default rate, no address.
void ForgetSettings(App& app)
{
    app.bus.comPort = 0;
    app.bus.baudRate = 19200;
    app.controller.address = 0;
    app.settingsRestored = false;
}

TEST_F(Identification, UnreadableSettingsAreIgnoredAndThePanelAddressUsed)
{
    for (const char* text : {"garbage", "1 19200", "1 99999999 1", ""}) {
        SCOPED_TRACE(text);
        WriteFile(rig.path("DftCom.prm"), text);
        ForgetSettings(rig.app);
        rig.rt.SetCtrlVal(rig.parm(), PARM_CTRL_ID, 1);
        comlink::RestoreComSettings(rig.app);
        EXPECT_EQ(rig.app.bus.comPort, 0);
        EXPECT_EQ(rig.app.bus.baudRate, 19200u);
        EXPECT_EQ(rig.app.controller.address, 1) << "the address the panel shows";
        EXPECT_FALSE(rig.app.settingsRestored);
    }
}

#ifndef _WIN32
TEST_F(Identification, SettingsFileThatIsNoFileOrTooLargeNeitherHoldsStartUpNorIsReplaced)
{
    // A FIFO, directly or behind a link, is not read (a blocked open would
    // hold start-up); a sparse 3 GB file is refused before it is read.
    const std::string prm = rig.path("DftCom.prm");
    ASSERT_EQ(::mkfifo(rig.path("fifo").c_str(), 0600), 0);
    for (const int kind : {0, 1, 2}) {
        SCOPED_TRACE(kind);
        ::unlink(prm.c_str());
        if (kind == 0) {
            ASSERT_EQ(::mkfifo(prm.c_str(), 0600), 0);
        } else if (kind == 1) {
            WriteFile(prm, "");
            ASSERT_EQ(::truncate(prm.c_str(), 3LL << 30), 0);
        } else {
            ASSERT_EQ(::symlink("fifo", prm.c_str()), 0);
        }
        ForgetSettings(rig.app);
        rig.rt.SetCtrlVal(rig.parm(), PARM_CTRL_ID, 1);
        ::alarm(30);  // a blocked open would otherwise hold the test until ctest's time-out
        comlink::RestoreComSettings(rig.app);
        ::alarm(0);
        EXPECT_FALSE(rig.app.settingsRestored);
        EXPECT_EQ(rig.app.controller.address, 1);
    }
    // The save at connection leaves the link and the FIFO as they are.
    ASSERT_GE(rig.connect(1, 1), 0);
    struct stat st {};
    ASSERT_EQ(::lstat(prm.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::lstat(rig.path("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}
#endif

TEST_F(Identification, FirstStartConnectsAtThePanelAddress)
{
    ASSERT_FALSE(rt::FileExists(rig.path("DftCom.prm")));
    EXPECT_GE(shell::StartUp(rig.app), 0);
    EXPECT_EQ(rig.app.controller.address, 1);
    EXPECT_EQ(Hex(rig.wire().front()), "01 03 1F 00 00 01 83 DE");
    EXPECT_TRUE(rig.rt.IsPanelVisible(rig.parm()));
    EXPECT_EQ(ReadFile(rig.path("DftCom.prm")), "1 19200 1");
}

TEST_F(Identification, ASavedPortWithoutDeviceStaysSelectable)
{
    WriteFile(rig.path("DftCom.prm"), "9 19200 1");
    comlink::RestoreComSettings(rig.app);
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_COMPORT), 9);
    std::string label;
    rig.rt.GetCtrlVal(rig.parm(), PARM_COMPORT, &label);
    EXPECT_NE(label.find("not present"), std::string::npos) << label;
    EXPECT_LT(comlink::ConnectController(rig.app), 0);
    EXPECT_EQ(rig.op.count("COM Port Finding Error!"), 1);
    EXPECT_EQ(rig.app.bus.portOpen, 0);
}

TEST_F(Identification, SelectingAnotherPortReleasesTheFirst)
{
    LineDouble line(rig.clock);
    rig.rt.ports().bind(2, "COM2  scripted", line.factory());
    comlink::FillPortSelector(rig.app);
    ASSERT_GE(rig.connect(1, 1), 0);
    ASSERT_TRUE(rig.rt.IsComOpen(1));
    rig.connect(2, 1);
    EXPECT_FALSE(rig.rt.IsComOpen(1));
    EXPECT_EQ(line.opens, 1);
}

TEST_F(Identification, ChangingTheAddressSendsNothingButRedirectsLaterRequests)
{
    ASSERT_GE(rig.connect(1, 1), 0);
    rig.clearWire();
    rig.rt.Commit(rig.parm(), PARM_CTRL_ID, 0x0105 & 0xFF);
    EXPECT_TRUE(rig.wire().empty());
    EXPECT_EQ(rig.app.controller.address, 5);
    comlink::Transact(rig.app.bus, comlink::ReadFrame(rig.app.controller.address, 0x1000, 1), 8);
    ASSERT_EQ(rig.wire().size(), 1u);
    EXPECT_EQ(rig.wire()[0][0], 0x05);
}

TEST_F(Identification, LostPortIsReportedOnceAndReselectingReconnects)
{
    LineDouble line(rig.clock);
    rig.rt.ports().bind(2, "COM2  scripted", line.factory());
    comlink::FillPortSelector(rig.app);
    std::vector<std::uint8_t> ident = {0x01, 0x03, 0x00, 0x02, 0xF1, 0x01};
    const comlink::Crc crc = comlink::CalcCRC16(ident.data(), 6);
    ident.push_back(crc.lo);
    ident.push_back(crc.hi);
    line.queue(ident);
    ASSERT_GE(rig.connect(2, 1), 0);
    rig.rt.SetCtrlAttribute(rig.parm(), PARM_PV_TIMER, rt::ATTR_ENABLED, 1);
    rig.rt.SetCtrlAttribute(rig.app.panels.chart, CHART_TIMER, rt::ATTR_ENABLED, 1);
    rig.op.clear();

    line.lost = true;
    comlink::Transact(rig.app.bus, comlink::ReadFrame(1, 0x1000, 1), 8);
    comlink::Transact(rig.app.bus, comlink::ReadFrame(1, 0x1001, 1), 8);
    EXPECT_EQ(rig.op.shown().size(), 1u);
    EXPECT_EQ(rig.app.bus.portOpen, 0);
    EXPECT_LT(rig.app.bus.openStatus, 0);
    int on = 1;
    rig.rt.GetCtrlAttribute(rig.parm(), PARM_PV_TIMER, rt::ATTR_ENABLED, &on);
    EXPECT_EQ(on, 0);
    rig.rt.GetCtrlAttribute(rig.app.panels.chart, CHART_TIMER, rt::ATTR_ENABLED, &on);
    EXPECT_EQ(on, 0);
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_LINK_LED), 0);

    line.lost = false;
    line.queue(ident);
    EXPECT_GE(rig.connect(2, 1), 0);
    EXPECT_EQ(rig.app.bus.portOpen, 1);
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_LINK_LED), 1);
}

TEST_F(Identification, StepsRunInOrderWithTheirWaits)
{
    LineDouble line(rig.clock);
    rig.rt.ports().bind(2, "COM2  scripted", line.factory());
    comlink::FillPortSelector(rig.app);
    std::vector<std::uint8_t> ident = {0x01, 0x03, 0x00, 0x02, 0xF1, 0x42};
    const comlink::Crc crc = comlink::CalcCRC16(ident.data(), 6);
    ident.push_back(crc.lo);
    ident.push_back(crc.hi);
    line.queue(ident);  // the read-all pass that follows meets silence
    rig.rt.SetCtrlVal(rig.parm(), PARM_IDENT_LO, 0x11);

    // What the system shows when the read-all pass sends its first request.
    bool sawReadAll = false;
    std::string savedThen;
    bool popupThen = false, undimmedThen = false;
    int identThen = -1;
    line.onWrite = [&](int index) {
        if (index != 1)
            return;
        sawReadAll = true;
        rt::ReadWholeFile(rig.path("DftCom.prm"), &savedThen);
        popupThen = rig.rt.IsPopupInstalled(rig.app.panels.wait) && rig.app.waitShown == 1;
        undimmedThen = !rig.dimmed(rig.parm(), PARM_PV_READ);
        identThen = rig.intValue(rig.parm(), PARM_IDENT_LO);
    };

    const double t0 = rig.clock.now();
    rig.connect(2, 1);
    ASSERT_GE(line.writes.size(), 2u);
    EXPECT_EQ(Hex(line.writes[0]), "01 03 1F 00 00 01 83 DE");
    // 0.3 s for the port to settle, then the flushed sequence's 0.05 s.
    EXPECT_NEAR(line.writeTimes[0] - t0, 0.35, 1e-9);

    ASSERT_TRUE(sawReadAll);
    EXPECT_EQ(savedThen, "2 19200 1") << "settings are saved before the parameters are read";
    EXPECT_TRUE(popupThen) << "the wait popup is up during the read-all pass";
    EXPECT_TRUE(undimmedThen) << "link controls are enabled before the read-all pass";
    EXPECT_EQ(identThen, 0x11) << "the identity byte is shown last";

    EXPECT_EQ(rig.intValue(rig.parm(), PARM_IDENT_LO), 0x42);
    EXPECT_FALSE(rig.rt.IsPopupInstalled(rig.app.panels.wait));
    EXPECT_EQ(rig.app.waitShown, 0);
    EXPECT_EQ(rig.app.bus.portOpen, 1);
}

TEST_F(Identification, PortThatCannotOpenTakesDownALeftoverWaitPopup)
{
    LineDouble line(rig.clock);
    line.refuseOpen = true;
    rig.rt.ports().bind(2, "COM2  scripted", line.factory());
    comlink::FillPortSelector(rig.app);
    rig.rt.InstallPopup(rig.app.panels.wait);
    rig.app.waitShown = 1;

    const double t0 = rig.clock.now();
    EXPECT_LT(rig.connect(2, 1), 0);
    EXPECT_NEAR(rig.clock.now() - t0, 0.3, 1e-9);
    EXPECT_FALSE(rig.rt.IsPopupInstalled(rig.app.panels.wait));
    EXPECT_EQ(rig.app.waitShown, 0);
    EXPECT_EQ(rig.app.bus.portOpen, 0);
    EXPECT_TRUE(line.writes.empty());
    ASSERT_EQ(rig.op.shown().size(), 1u);
    EXPECT_EQ(rig.op.shown()[0].title, "COM Port Finding Error!");
    EXPECT_EQ(rig.op.shown()[0].text,
              "Computer CANNOT link to the controller.\nPlease make sure COM port setup properly.");
    EXPECT_FALSE(rt::FileExists(rig.path("DftCom.prm")));
    EXPECT_EQ(rig.op.shown()[0].informative, "") << "a double without a device file tells no cause";
}

TEST_F(Identification, PortThatCannotOpenSaysWhyUnderTheUsualMessage)
{
    const std::string device = rig.path("ttyUSB3");
    rig.rt.ports().bindDevice(104, device);
    comlink::FillPortSelector(rig.app);
    EXPECT_LT(rig.connect(104, 1), 0);
    ASSERT_EQ(rig.op.shown().size(), 1u);
    EXPECT_EQ(rig.op.shown()[0].title, "COM Port Finding Error!");
    EXPECT_EQ(rig.op.shown()[0].text,
              "Computer CANNOT link to the controller.\nPlease make sure COM port setup properly.");
    EXPECT_EQ(rig.op.shown()[0].informative, "Cause: " + device +
                                                 " is not present. Check that the cable or USB adapter is plugged "
                                                 "in, or choose another port.");
}

} // namespace
