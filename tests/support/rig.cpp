#include "rig.h"

#include "app/shell.h"
#include "app/connection.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <sstream>

TestRig::TestRig(const sim::Config& simConfig, bool loadPanels)
    : rt(clock, op), app(rt), sim(std::make_shared<sim::Controller>(clock, simConfig)),
      dir(std::make_unique<QTemporaryDir>())
{
    QDir::setCurrent(dir->path());
    rt.setPanelSearchPath({TEC_UI_DIR});
    auto controller = sim;
    io::Clock* c = &clock;
    rt.ports().bind(1, "COM1  simulated controller", [controller, c] { return sim::MakeSimDevice(controller, *c); });
    if (loadPanels) {
        shell::BindCallbacks(app);
        shell::LoadPanels(app);
    }
}

TestRig::~TestRig()
{
    QDir::setCurrent(QDir::tempPath());
}

std::string TestRig::path(const std::string& name) const
{
    return dir->filePath(QString::fromStdString(name)).toStdString();
}

int TestRig::connect(int port, int address)
{
    rt.SetCtrlVal(app.panels.parm, PARM_COMPORT, port);
    rt.SetCtrlVal(app.panels.parm, PARM_CTRL_ID, address);
    rt.FireEvent(app.panels.parm, PARM_COMPORT, rt::EVENT_COMMIT);
    return app.bus.openStatus;
}

std::vector<std::vector<std::uint8_t>> TestRig::wire() const
{
    return sim->requests();
}

void TestRig::clearWire()
{
    sim->clearRequests();
}

double TestRig::value(int panel, int control) const
{
    double v = 0;
    rt.GetCtrlVal(panel, control, &v);
    return v;
}

int TestRig::intValue(int panel, int control) const
{
    int v = 0;
    rt.GetCtrlVal(panel, control, &v);
    return v;
}

bool TestRig::dimmed(int panel, int control) const
{
    int v = 0;
    rt.GetCtrlAttribute(panel, control, rt::ATTR_DIMMED, &v);
    return v != 0;
}

bool TestRig::visible(int panel, int control) const
{
    int v = 0;
    rt.GetCtrlAttribute(panel, control, rt::ATTR_VISIBLE, &v);
    return v != 0;
}

rt::FileSelect FileRequest(const std::string& spec, const std::string& types, const std::string& title,
                           int buttonLabel, bool allowMakeDirectory)
{
    rt::FileSelect r;
    r.defaultDirectory = "";
    r.defaultFileSpec = spec;
    r.fileTypeList = types;
    r.title = title;
    r.buttonLabel = buttonLabel;
    r.restrictDirectory = false;
    r.restrictExtension = false;
    r.allowCancel = true;
    r.allowMakeDirectory = allowMakeDirectory;
    return r;
}

void ExpectFileRequest(const rt::FileSelect& actual, const rt::FileSelect& expected)
{
    EXPECT_EQ(actual.defaultDirectory, expected.defaultDirectory);
    EXPECT_EQ(actual.defaultFileSpec, expected.defaultFileSpec);
    EXPECT_EQ(actual.fileTypeList, expected.fileTypeList);
    EXPECT_EQ(actual.title, expected.title);
    EXPECT_EQ(actual.buttonLabel, expected.buttonLabel);
    EXPECT_EQ(actual.restrictDirectory, expected.restrictDirectory);
    EXPECT_EQ(actual.restrictExtension, expected.restrictExtension);
    EXPECT_EQ(actual.allowCancel, expected.allowCancel);
    EXPECT_EQ(actual.allowMakeDirectory, expected.allowMakeDirectory);
}
