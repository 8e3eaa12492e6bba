// The last known value of every controller parameter, in display units.
#pragma once

#include <cstdint>

struct ParameterSet {
    float setValue = 0;
    float alarmHigh = 0;
    float alarmLow = 0;
    float outputLevel = 0;
    float pidBound[3] = {0, 0, 0};
    float pidP[4] = {0, 0, 0, 0};
    float pidT4[4] = {0, 0, 0, 0};
    float pidT5[4] = {0, 0, 0, 0};
    float reg30 = 0;
    float reg31 = 0;
    float rangeLow = 0;
    float rangeHigh = 0;
    float swFilter = 0;
    std::int16_t pidI[4] = {0, 0, 0, 0};
    std::int16_t pidD[4] = {0, 0, 0, 0};
    std::int16_t sensorType = 0;
    std::int16_t dirRev = 0;
    std::int16_t cfUnit = 0;
    std::int16_t decimalPnt = 0;
    std::uint16_t alarmWatch = 0;  // 1 while the alarm switch is on
    std::int16_t keypadValue = 0;
    float tempScale = 1.0f;        // 1.0 for decimal-point code 30, 10.0 otherwise

    // True once a read-all pass has read every field above from the
    // controller since the link was last made. Cleared by a new connection
    // and when the fields are taken from anywhere else (a parameter file):
    // only such a set is the controller's and may be saved as it.
    bool readSinceConnection = false;
    bool fromController() const { return readSinceConnection; }
    // A link is being made (or made again): what was read before may no
    // longer be what the controller holds.
    void connectionMade() { readSinceConnection = false; }
};
