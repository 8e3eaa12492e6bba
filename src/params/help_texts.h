// Help texts of the single-setting controls, shown on right click (the
// sensor-type text on commit, before the write).
#pragma once

namespace params::help {

constexpr const char* kSetCFTitle = "<Fahrenheit/Celsius Unit Change> Help";
constexpr const char* kSetCFText =
    "The program changes the PV value only, it does not the convert other parameter's format.\n\t\t\t\t\t\t  The user will need to convert all relative parameters to the proper values.\n\t\t\t\t\t\t  If you need to use in Fahrenheit, it is better to create another\n\t\t\t\t\t\t  set of parameter file";

constexpr const char* kSetDirRevTitle = "<Hot/Cold Direction Change> Help";
constexpr const char* kSetDirRevText =
    "This reverse the logic thinking of the Hot/Cold control.\n\t\t\t\t\t\t  The controller maintains the temperature by auto adjusting the hot/cold power.\n\t\t\t\t\t\t  This switch only applys during the setup when the user realize the wiring\n\t\t\t\t\t\t  for control hot/cold is reversed. The wiring doesn't have to be changed\n\t\t\t\t\t\t  ;flipping this switch will do\n";

constexpr const char* kSetSensorTitle = "Sensor Type Select";
constexpr const char* kSetSensorText =
    "Make sure to set hardware dip-switch too!\n\t\t\t\t   SW1             1      2       3       SW2.1    SW2.2\n\t\t\t\t   T/C             ON   OFF  OFF     ON         ON\n\t\t\t\t   PT100         ON   OFF  OFF\t    OFF        ON\n\t\t\t\t   Thermister   OFF  ON   ON\t     OFF        OFF";

constexpr const char* kSetDecimalPntTitle = "<Decimal Point Selection> Help";
constexpr const char* kSetDecimalPntText =
    "The program only change the PV value, it doesn't convert rest of the temperature parameters.\n\t\t\t\t\t\t  The user will need to convert all temperature related parameters to the proper values.\n\t\t\t\t\t\t  If you need to use between two types of decimal point, it's better to create\n\t\t\t\t\t\t  two sets of parameter files";

constexpr const char* kSetBandTitle = "<Tolerance Band> Help";
constexpr const char* kSetBandText =
    "Tolerance Band:\n\t\t\t\t\t\t  During the script running process,\n\t\t\t\t\t\t  if the PV doesn't reach same value as SV, it won't go to the next step.\n\t\t\t\t\t\t  Tol. Band is defined: if PV is reaching within SV +/- Tol.Band range,\n\t\t\t\t\t\t  then it is OK to go to the next step when time reached.\n\t\t\t\t\t\t  Put a large number (ex:200.00) to ignore the limitation.";

constexpr const char* kSetAlarmSWTitle = "<Alarm Switch> Help";
constexpr const char* kSetAlarmSWText =
    "ALSW at ON position: the amplifier will be disabled\n\t\t\t\tif PV value triggers the Hi/Low alarm.\n\n\t\t\t\tALSW at OFF position: the amplifier will be running\n\t\t\t\teven the Hi/Low alarm is triggered.\n";

} // namespace params::help
