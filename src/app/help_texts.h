// Titles and texts of the fixed popups of the shell, exactly as the operator
// sees them (tabs and line breaks included).
#pragma once

namespace shell::text {

inline constexpr const char* kInfoTitle = "TE Temperature Controller";
inline constexpr const char* kInfoText =
    "TE Temperature Controller\n"
    "Control program for thermoelectric temperature controllers on RS-232.\n\n"
    "Version " TEC_VERSION "\n"
    "Copyright (c) 2026 the tecontrol authors. All rights reserved.";

inline constexpr const char* kScripHelpTitle = "Step Programming Help";
inline constexpr const char* kScripHelpText =
    "Caution:\n\t\t\t\t1. After value is changed on the screen, be sure to press <Save to Ctrl> botton.\n\t\t\t\t2. "
    "Verify the saved condition by press <Load Frm Ctrl> botton.\n\t\t\t\t3. It CAN run multiple loops, loops within "
    "the loops.\n4. Type in loop no=9999 for infinitive loop.\n";

inline constexpr const char* kSwFilterTitle = "<SW Filter> Help";
inline constexpr const char* kSwFilterText =
    "When sensor reading is unstable, it become difficult to process PID.\n\t\t\t\t\t\t  SW Filter is used to average "
    "the readings and stablize the system.\n\t\t\t\t\t\t  The lager the SW Filter number(Max: 9.9), the smoother the "
    "reading.\n\t\t\t\t\t\t  But it also slow down the PID response.\n\t\t\t\t\t\t  Under normal condition, the "
    "system should run at default number '0'.";

inline constexpr const char* kAlarmTitle = "<Alarm Value> Help";
inline constexpr const char* kAlarmText =
    "Alarm relay turns on when process value (PV)\n\t\t\t\t\tis larger than the High_alarm value  or below the "
    "Low_alarm value specified.";

inline constexpr const char* kLoopTitle = "<Loop Number> Help";
inline constexpr const char* kLoopText =
    " When set loop number to 9999, it becomes infinite loop.\n\t\t\t\t  Loop count starting after the first cycle is "
    "completed\n";

inline constexpr const char* kLogCautionTitle = "<Data Update Timing> Help";
inline constexpr const char* kLogCautionText =
    " If you are planning to log data for a long period of time, make sure to\n\t\t\t  increase the log timing >1 Sec. "
    "Data logging is a time-consuming process.\n\t\t\t  Logging too frequent could resulted in file/program "
    "corruption.\n";

inline constexpr const char* kDebugPortingTitle = "<Debug Porting> Help";
inline constexpr const char* kDebugPortingText = "Port Hex Number to the Send Byte Array Data1&Data2\n";

inline constexpr const char* kEndingTitle = "Program Ending";
inline constexpr const char* kEndingText = "Ending program will trun off all running function including data logging!";
inline constexpr const char* kEndingButton = "Ending Program";
inline constexpr const char* kCancelButton = "Cancel";

} // namespace shell::text
