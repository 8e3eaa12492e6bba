// The PID band calculator.
#pragma once

#include "app/callback.h"

struct App;

namespace pidcalc {

struct Bands {
    float band1 = 0;  // (H - L) x P / 100
    float band2 = 0;  // band1 x T / 100
};
Bands ComputeBands(float high, float low, float p, float t5);
// Draws the selected set's lines and indicators.
void DrawPidCalc(App& app);

} // namespace pidcalc

TEC_CALLBACK(PidHelp1);
TEC_CALLBACK(PidHelp2);
TEC_CALLBACK(PidHelp3);
TEC_CALLBACK(PidHelp4);
TEC_CALLBACK(UpdatePidCalc);
TEC_CALLBACK(PIDhelpExit);
