#include "app/connection.h"

#include "app/app.h"
#include "app/overview.h"
#include "app/port_lines.h"
#include "app/port_watch.h"
#include "app/reconnect.h"
#include "core/connect.h"
#include "link/transact.h"
#include "params/params.h"
#include "rt/files.h"

namespace comlink {

namespace {

constexpr double kOpenSettleDelay = 0.3;

const char* const kPortErrorTitle = "COM Port Finding Error!";
const char* const kPortErrorText = "Computer CANNOT link to the controller.\nPlease make sure COM port setup properly.";
const char* const kCommErrorTitle = "COMMUNICATION ERROR!";
const char* const kCommErrorText =
    "Communication error between PC & Controller!\n\t\t\t\t\tIt could be the controller not fully power up before "
    "software starts.\n\t\t\t\t\tTry re-select COM port again or EXIT for trouble shooting.\n\n\t\t\t\t\t        "
    "                 Or\n\t\t\t\t\tThe controller ID value is invalid.\nPlease change to the correct ID number.\n";

// Every control that sends to the controller stays dimmed until a controller
// has been identified. The output-level button follows the control function.
const int kLinkControls[] = {
    PARM_SV_SEND,     PARM_PV_READ,   PARM_CTRL_FUNC, PARM_ALARM_SW,    PARM_SENSOR_UPDATE,
    PARM_SENSOR_TYPE, PARM_CF_UNIT,   PARM_DIR_REV,   PARM_DECIMAL_PNT, PARM_PID_UPDATE,
    PARM_READ_ALL,    PARM_LOAD_FILE, PARM_OPEN_SCRIPT, PARM_OPEN_CHART,
};
static_assert(sizeof kLinkControls / sizeof kLinkControls[0] == 14);

void CloseIfOpen(App& app, int port)
{
    if (port > 0 && app.rt.IsComOpen(port))
        app.rt.CloseCom(port);
}

} // namespace

void RestoreComSettings(App& app)
{
    comlink::Bus& bus = app.bus;
    std::string text;
    std::uint16_t port = 0, id = 0;
    std::uint32_t baud = 0;
    if (!rt::ReadWholeFile(kSettingsFile, &text) || !ParseComSettings(text, &port, &baud, &id)) {
        // First start (or a damaged file): the address is what the panel shows.
        unsigned short shown = 0;
        if (app.rt.GetCtrlVal(app.panels.parm, PARM_CTRL_ID, &shown) >= 0)
            app.controller.address = static_cast<core::Address>(shown);
        app.settingsRestored = false;
        return;
    }
    bus.comPort = port;
    bus.baudRate = baud;
    app.controller.address = static_cast<core::Address>(id);
    app.settingsRestored = true;
    FillPortSelector(app);
    app.rt.SetCtrlVal(app.panels.parm, PARM_COMPORT, static_cast<int>(bus.comPort));
    app.rt.SetCtrlVal(app.panels.parm, PARM_CTRL_ID, static_cast<int>(app.controller.address));
}

int ConnectController(App& app)
{
    rt::Runtime& rt = app.rt;
    comlink::Bus& bus = app.bus;
    const int parm = app.panels.parm;

    // The operator's choice replaces whatever the reconnection watch looked for.
    reconnect::NoteConnecting(app);
    unsigned short selected = bus.comPort;
    rt.GetCtrlVal(parm, PARM_COMPORT, &selected);
    // A port left open by an earlier connection is released before another is opened.
    // Another port's line hands its port over first: one owner per port.
    ports::Release(app, selected);
    CloseIfOpen(app, bus.comPort);
    CloseIfOpen(app, selected);
    bus.portOpen = 0;
    bus.comPort = selected;

    int opening = 0;
    core::ConnectOptions how;
    how.open = [&] {
        return opening = rt.OpenComConfig(bus.comPort, "", static_cast<long>(bus.baudRate), 0, 8, 1, 255, 255);
    };
    how.settle = kOpenSettleDelay;
    how.opened = [&] {
        app.portLostReported = false;
        ClearLinkLost(app);
    };
    const Fault fault = core::Connect(bus, app.controller, how);
    if (opening < 0) {
        rt.Delay(kOpenSettleDelay);
        rt.RemovePopup(0);
        app.waitShown = 0;
        rt.SetCtrlVal(parm, PARM_LINK_LED, 0);
        rt.MessagePopup(kPortErrorTitle, kPortErrorText, rt.ComOpenProblem(bus.comPort));
        return bus.openStatus;
    }
    // A silent controller, a short or garbled answer and a refusal are all refused.
    if (fault) {
        const bool lost = fault.kind == FaultKind::PortGone && app.portLostReported;
        rt.SetCtrlVal(parm, PARM_LINK_LED, 0);
        // No controller is identified on this port.
        rt.SetCtrlVal(parm, PARM_MODEL, "");
        rt.SetCtrlAttribute(parm, PARM_IDENT_LO, rt::ATTR_NO_VALUE, 1);
        if (!lost)
            rt.MessagePopup(kCommErrorTitle, kCommErrorText);
        return -1;
    }
    const core::Identity& id = app.controller.identity;
    // Another controller may answer now: nothing read from an earlier one
    // is shown or saved as its own.
    app.params.connectionMade();
    params::ShowNothingRead(app);
    rt.SetCtrlVal(parm, PARM_MODEL, id.model == kModelVexaMax ? "VEXAMAX" : "VEXA");
    reconnect::NoteConnected(app, id.model, id.identLo);
    overview::NoteConnected(app, id.model, id.identLo);

    rt.InstallPopup(app.panels.wait);
    app.waitShown = 1;

    rt::WriteFileAtomically(kSettingsFile, FormatComSettings(bus.comPort, bus.baudRate, app.controller.address));

    EnableLinkControls(app, 0);
    params::ReadAllParameters(app);
    // The read-all pass removes the wait popup; never leave it up if it did not.
    if (app.waitShown) {
        rt.RemovePopup(0);
        app.waitShown = 0;
    }
    rt.SetCtrlVal(parm, PARM_IDENT_LO, static_cast<int>(id.identLo));
    return bus.openStatus;
}

void EnableLinkControls(App& app, int dimmed)
{
    for (int control : kLinkControls)
        app.rt.SetCtrlAttribute(app.panels.parm, control, rt::ATTR_DIMMED, dimmed ? 1 : 0);
    app.rt.SetCtrlVal(app.panels.parm, PARM_LINK_LED, dimmed ? 0 : 1);
}

} // namespace comlink

void ReportPortLost(App& app)
{
    rt::Runtime& rt = app.rt;
    comlink::Bus& bus = app.bus;
    // What runs is recorded before it is stopped (the reconnection watch
    // starts there), then the loss is shown on the panels.
    comlink::ShowLinkLost(app);
    if (app.portLostReported)
        return;
    app.portLostReported = true;
    // A timer's poll says it on the panels only: a modal popup would stop
    // every timer of an unattended run. An operator's own operation is told.
    if (bus.linkBusy != 0)
        return;
    // A long operation may have its wait popup up; the message must not hide behind it.
    if (app.waitShown) {
        rt.RemovePopup(0);
        app.waitShown = 0;
    }
    rt.MessagePopup("Connection Lost",
                    "The connection to the controller was lost: the serial port " + std::to_string(bus.comPort) +
                        " has gone away.\nReconnect the cable or adapter, then select the COM port again.");
}

TEC_CALLBACK(SetComport)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    unsigned short id = app.controller.address;
    app.rt.GetCtrlVal(app.panels.parm, PARM_CTRL_ID, &id);
    app.controller.address = static_cast<core::Address>(id);
    comlink::ConnectController(app);
    return 0;
}

TEC_CALLBACK(ChangeAddrID)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    unsigned short id = app.controller.address;
    app.rt.GetCtrlVal(app.panels.parm, PARM_CTRL_ID, &id);
    app.controller.address = static_cast<core::Address>(id);
    return 0;
}

namespace comlink {

void FillPortSelector(App& app)
{
    rt::Runtime& rt = app.rt;
    const int parm = app.panels.parm;
    const int shownPort = app.bus.comPort;
    rt.ClearListCtrl(parm, PARM_COMPORT);
    bool shownListed = false;
    for (const rt::PortEntry& e : rt.ports().entries()) {
        std::string label = e.label;
        if (label.empty())
            label = std::to_string(e.number) + "  " + rt.PortLabel(e.number);
        if (rt.ComAccessDenied(e.number))
            label += "  (no permission)";
        rt.InsertListItem(parm, PARM_COMPORT, -1, label, static_cast<double>(e.number));
        shownListed = shownListed || e.number == shownPort;
    }
    // A remembered port whose device is gone stays selectable, so the operator
    // sees what was used last and can plug the device back in.
    if (shownPort > 0 && !shownListed)
        rt.InsertListItem(parm, PARM_COMPORT, -1, std::to_string(shownPort) + "  (not present)",
                          static_cast<double>(shownPort));
    if (shownPort > 0)
        rt.SetCtrlVal(parm, PARM_COMPORT, shownPort);
}

} // namespace comlink
