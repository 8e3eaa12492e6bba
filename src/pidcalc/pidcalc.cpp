// The PID band calculator: where the proportional band and the narrower
// second band of one PID set lie around the set value, against the span.
#include "pidcalc/pidcalc.h"

#include "app/app.h"

namespace pidcalc {

namespace {

constexpr double kLineStart = 1.0;
constexpr double kLineEnd = 10.0;

float PanelValue(App& app, int control)
{
    float v = 0;
    app.rt.GetCtrlVal(app.panels.parm, control, &v);
    return v;
}

void Show(App& app, int control, float value)
{
    app.rt.SetCtrlVal(app.panels.pidhelp, control, static_cast<double>(value));
}

void Line(App& app, float y, int colour)
{
    app.rt.PlotLine(app.panels.pidhelp, PIDHELP_GRAPH, kLineStart, static_cast<double>(y), kLineEnd,
                    static_cast<double>(y), colour);
}

void ClearGraph(App& app)
{
    app.rt.DeleteGraphPlot(app.panels.pidhelp, PIDHELP_GRAPH, -1, 1);
}

void Open(App& app, int set)
{
    app.rt.DisplayPanel(app.panels.pidhelp);
    app.pidSet = static_cast<std::int16_t>(set);
    DrawPidCalc(app);
}

} // namespace

Bands ComputeBands(float high, float low, float p, float t5)
{
    Bands b;
    b.band1 = static_cast<float>((high - low) * p / 100.0);
    b.band2 = static_cast<float>(b.band1 * t5 / 100.0);
    return b;
}

void DrawPidCalc(App& app)
{
    const int n = (app.pidSet >= 1 && app.pidSet <= 4) ? app.pidSet : 1;
    const float high = PanelValue(app, PARM_RANGE_HI);
    const float low = PanelValue(app, PARM_RANGE_LO);
    const float sv = PanelValue(app, PARM_SV);
    const float p = PanelValue(app, PARM_PID_P(n));
    const float t5 = PanelValue(app, PARM_PID_T5(n));

    app.rt.SetCtrlVal(app.panels.pidhelp, PIDHELP_SET, n);
    // Bands worked out from values never read would look like real ones:
    // until all five are read, the calculator shows no value and no line.
    for (int c : {static_cast<int>(PARM_RANGE_HI), static_cast<int>(PARM_RANGE_LO), static_cast<int>(PARM_SV),
                  PARM_PID_P(n), PARM_PID_T5(n)}) {
        int none = 0;
        if (app.rt.GetCtrlAttribute(app.panels.parm, c, rt::ATTR_NO_VALUE, &none) != 0 || none == 0)
            continue;
        for (int shown : {PIDHELP_HI_A, PIDHELP_HI_B, PIDHELP_LO_A, PIDHELP_LO_B, PIDHELP_P, PIDHELP_T5,
                          PIDHELP_BAND1_A, PIDHELP_BAND1_B, PIDHELP_BAND2, PIDHELP_SV, PIDHELP_BAND1_UP,
                          PIDHELP_BAND1_DN, PIDHELP_BAND2_UP, PIDHELP_BAND2_DN})
            app.rt.SetCtrlAttribute(app.panels.pidhelp, shown, rt::ATTR_NO_VALUE, 1);
        return;
    }
    Show(app, PIDHELP_HI_A, high);
    Show(app, PIDHELP_HI_B, high);
    Show(app, PIDHELP_LO_A, low);
    Show(app, PIDHELP_LO_B, low);
    Show(app, PIDHELP_P, p);
    Show(app, PIDHELP_T5, t5);

    const Bands b = ComputeBands(high, low, p, t5);
    Show(app, PIDHELP_BAND1_A, b.band1);
    Show(app, PIDHELP_BAND1_B, b.band1);
    Show(app, PIDHELP_BAND2, b.band2);

    // The bands sit around the value last obtained from the controller, so an
    // edited but unsent set value shows apart from them.
    const float centre = app.params.setValue;
    const float band1Up = centre + b.band1;
    const float band1Dn = centre - b.band1;
    const float band2Up = centre + b.band2;
    const float band2Dn = centre - b.band2;
    Line(app, sv, rt::VAL_YELLOW);
    Line(app, high, rt::VAL_RED);
    Line(app, low, rt::VAL_RED);
    Line(app, band1Up, rt::VAL_CYAN);
    Line(app, band1Dn, rt::VAL_CYAN);
    Line(app, band2Up, rt::VAL_MAGENTA);
    Line(app, band2Dn, rt::VAL_MAGENTA);

    Show(app, PIDHELP_SV, sv);
    Show(app, PIDHELP_BAND1_UP, band1Up);
    Show(app, PIDHELP_BAND1_DN, band1Dn);
    Show(app, PIDHELP_BAND2_UP, band2Up);
    Show(app, PIDHELP_BAND2_DN, band2Dn);
}

} // namespace pidcalc

TEC_CALLBACK(PidHelp1)
{
    if (event == rt::EVENT_COMMIT)
        pidcalc::Open(app, 1);
    return 0;
}

TEC_CALLBACK(PidHelp2)
{
    if (event == rt::EVENT_COMMIT)
        pidcalc::Open(app, 2);
    return 0;
}

TEC_CALLBACK(PidHelp3)
{
    if (event == rt::EVENT_COMMIT)
        pidcalc::Open(app, 3);
    return 0;
}

TEC_CALLBACK(PidHelp4)
{
    if (event == rt::EVENT_COMMIT)
        pidcalc::Open(app, 4);
    return 0;
}

TEC_CALLBACK(UpdatePidCalc)
{
    if (event == rt::EVENT_COMMIT) {
        pidcalc::ClearGraph(app);
        pidcalc::DrawPidCalc(app);
    } else if (event == rt::EVENT_RIGHT_CLICK) {
        app.rt.MessagePopup("<PID Calc> Help", "The values CANNOT be changed in this window.\n"
                                               "\t\t\t\t\t\t  Change the value at the PID parameter window\n"
                                               "\t\t\t\t\t\t  then press 'Update' button to see the result.");
    }
    return 0;
}

TEC_CALLBACK(PIDhelpExit)
{
    if (event == rt::EVENT_COMMIT) {
        pidcalc::ClearGraph(app);
        app.rt.HidePanel(app.panels.pidhelp);
    }
    return 0;
}
