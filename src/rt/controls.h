// Control identifiers of the eight panels. A panel file names each control by
// its identifier (the widget's objectName); the run-time maps that name to the
// number below when it loads the panel. Numbers are unique across panels.
#pragma once

#include <string_view>

// X(name) for every control, grouped by panel.
#define TEC_PARM_CONTROLS(X)                                                                                          \
    X(PARM_COMPORT) X(PARM_CTRL_ID) X(PARM_MODEL) X(PARM_IDENT_LO) X(PARM_LINK_LED) X(PARM_NO_ANSWER)                 \
    X(PARM_SV) X(PARM_SV_SEND) X(PARM_PV) X(PARM_PV_READ) X(PARM_PV_TIMER)                                            \
    X(PARM_CTRL_FUNC) X(PARM_CTRL_LED) X(PARM_TUNE_LED) X(PARM_TUNE_TIMER)                                            \
    X(PARM_OUTPUT_LEVEL) X(PARM_OUTPUT_SET)                                                                           \
    X(PARM_ALARM_HIGH) X(PARM_ALARM_LOW) X(PARM_ALARM_SW) X(PARM_ALARM_LED) X(PARM_ALARM_TIMER)                       \
    X(PARM_RANGE_HI) X(PARM_RANGE_LO) X(PARM_REG30) X(PARM_REG31) X(PARM_SW_FILTER) X(PARM_SENSOR_UPDATE)             \
    X(PARM_SENSOR_TYPE) X(PARM_CF_UNIT) X(PARM_DIR_REV) X(PARM_DECIMAL_PNT)                                           \
    X(PARM_PID1_P) X(PARM_PID2_P) X(PARM_PID3_P) X(PARM_PID4_P)                                                       \
    X(PARM_PID1_I) X(PARM_PID2_I) X(PARM_PID3_I) X(PARM_PID4_I)                                                       \
    X(PARM_PID1_D) X(PARM_PID2_D) X(PARM_PID3_D) X(PARM_PID4_D)                                                       \
    X(PARM_PID1_T4) X(PARM_PID2_T4) X(PARM_PID3_T4) X(PARM_PID4_T4)                                                   \
    X(PARM_PID1_T5) X(PARM_PID2_T5) X(PARM_PID3_T5) X(PARM_PID4_T5)                                                   \
    X(PARM_PID1_BOUND) X(PARM_PID2_BOUND) X(PARM_PID3_BOUND)                                                          \
    X(PARM_PID1_LED) X(PARM_PID2_LED) X(PARM_PID3_LED) X(PARM_PID4_LED)                                               \
    X(PARM_PID1_HELP) X(PARM_PID2_HELP) X(PARM_PID3_HELP) X(PARM_PID4_HELP) X(PARM_PID_UPDATE)                        \
    X(PARM_READ_ALL) X(PARM_SAVE_FILE) X(PARM_LOAD_FILE)                                                              \
    X(PARM_OPEN_CHART) X(PARM_OPEN_SCRIPT) X(PARM_OPEN_DEBUG) X(PARM_DATA_LOG)                                        \
    X(PARM_INFO) X(PARM_QUIT) X(PARM_EXIT) X(PARM_LINK_STATUS) X(PARM_LINK_HISTORY) X(PARM_RECONNECT_TIMER)        \
    X(PARM_OPEN_OVERVIEW) X(PARM_OPEN_SERVER)

#define TEC_DEBUG_CONTROLS(X)                                                                                         \
    X(DEBUG_ID) X(DEBUG_FUNC) X(DEBUG_REG_HI) X(DEBUG_REG_LO) X(DEBUG_DATA1) X(DEBUG_DATA2)                           \
    X(DEBUG_TX_CRC_LO) X(DEBUG_TX_CRC_HI)                                                                             \
    X(DEBUG_RX0) X(DEBUG_RX1) X(DEBUG_RX2) X(DEBUG_RX3) X(DEBUG_RX4) X(DEBUG_RX5) X(DEBUG_RX6) X(DEBUG_RX7)           \
    X(DEBUG_RX_VALUE) X(DEBUG_RX_CRC_LO) X(DEBUG_RX_CRC_HI)                                                           \
    X(DEBUG_HEX) X(DEBUG_DEC) X(DEBUG_DEC_TO_HEX) X(DEBUG_HEX_TO_DEC) X(DEBUG_PORTING)                                \
    X(DEBUG_KEYPAD) X(DEBUG_SEND) X(DEBUG_QUIT)

#define TEC_CHART_CONTROLS(X)                                                                                         \
    X(CHART_STRIPCHART) X(CHART_SV) X(CHART_PV) X(CHART_PLOT) X(CHART_TIMER) X(CHART_LOG_LED) X(CHART_NO_ANSWER)      \
    X(CHART_YSCALE) X(CHART_CLEAR) X(CHART_LOG_SETUP) X(CHART_LIVE) X(CHART_RESTORE_Y) X(CHART_EXPORT)              \
    X(CHART_OPEN_LOG) X(CHART_EXIT)

#define TEC_YSCALE_CONTROLS(X) X(YSCALE_YMAX) X(YSCALE_YMIN) X(YSCALE_XPOINTS) X(YSCALE_CLOSE)

#define TEC_WAIT_CONTROLS(X) X(WAIT_MSG)

#define TEC_SCRIPT_CONTROLS(X)                                                                                        \
    X(SCRIPT_SV_1) X(SCRIPT_SV_2) X(SCRIPT_SV_3) X(SCRIPT_SV_4)                                                       \
    X(SCRIPT_SV_5) X(SCRIPT_SV_6) X(SCRIPT_SV_7) X(SCRIPT_SV_8)                                                       \
    X(SCRIPT_PARAM1_1) X(SCRIPT_PARAM1_2) X(SCRIPT_PARAM1_3) X(SCRIPT_PARAM1_4)                                       \
    X(SCRIPT_PARAM1_5) X(SCRIPT_PARAM1_6) X(SCRIPT_PARAM1_7) X(SCRIPT_PARAM1_8)                                       \
    X(SCRIPT_PARAM2_1) X(SCRIPT_PARAM2_2) X(SCRIPT_PARAM2_3) X(SCRIPT_PARAM2_4)                                       \
    X(SCRIPT_PARAM2_5) X(SCRIPT_PARAM2_6) X(SCRIPT_PARAM2_7) X(SCRIPT_PARAM2_8)                                       \
    X(SCRIPT_ACTION_1) X(SCRIPT_ACTION_2) X(SCRIPT_ACTION_3) X(SCRIPT_ACTION_4)                                       \
    X(SCRIPT_ACTION_5) X(SCRIPT_ACTION_6) X(SCRIPT_ACTION_7) X(SCRIPT_ACTION_8)                                       \
    X(SCRIPT_LOOPS_1) X(SCRIPT_LOOPS_2) X(SCRIPT_LOOPS_3) X(SCRIPT_LOOPS_4)                                           \
    X(SCRIPT_LOOPS_5) X(SCRIPT_LOOPS_6) X(SCRIPT_LOOPS_7) X(SCRIPT_LOOPS_8)                                           \
    X(SCRIPT_STEP_LED_0) X(SCRIPT_STEP_LED_1) X(SCRIPT_STEP_LED_2) X(SCRIPT_STEP_LED_3)                               \
    X(SCRIPT_STEP_LED_4) X(SCRIPT_STEP_LED_5) X(SCRIPT_STEP_LED_6) X(SCRIPT_STEP_LED_7)                               \
    X(SCRIPT_STEP_LED_8) X(SCRIPT_STEP_LED_9) X(SCRIPT_STEP_LED_10) X(SCRIPT_STEP_LED_11)                             \
    X(SCRIPT_STEP_LED_12) X(SCRIPT_STEP_LED_13) X(SCRIPT_STEP_LED_14) X(SCRIPT_STEP_LED_15)                           \
    X(SCRIPT_TOL_BAND) X(SCRIPT_RUN_SW) X(SCRIPT_RUN_TIMER) X(SCRIPT_NO_ANSWER)                                       \
    X(SCRIPT_LOAD_CTRL) X(SCRIPT_SAVE_CTRL) X(SCRIPT_OPEN_PC) X(SCRIPT_SAVE_PC)                                       \
    X(SCRIPT_HELP) X(SCRIPT_LOOP_HELP) X(SCRIPT_EXIT)

#define TEC_PIDHELP_CONTROLS(X)                                                                                       \
    X(PIDHELP_GRAPH) X(PIDHELP_SET) X(PIDHELP_HI_A) X(PIDHELP_HI_B) X(PIDHELP_LO_A) X(PIDHELP_LO_B)                   \
    X(PIDHELP_P) X(PIDHELP_T5) X(PIDHELP_BAND1_A) X(PIDHELP_BAND1_B) X(PIDHELP_BAND2) X(PIDHELP_SV)                   \
    X(PIDHELP_BAND1_UP) X(PIDHELP_BAND1_DN) X(PIDHELP_BAND2_UP) X(PIDHELP_BAND2_DN)                                   \
    X(PIDHELP_UPDATE) X(PIDHELP_EXIT)

#define TEC_LOGSET_CONTROLS(X) X(LOGSET_INTERVAL) X(LOGSET_LOG_SW) X(LOGSET_PLOT_NOTE) X(LOGSET_CLOSE)

// The controllers overview (a panel of the several-controller window).
#define TEC_OVERVIEW_CONTROLS(X)                                                                                      \
    X(OVERVIEW_TABLE) X(OVERVIEW_PORT) X(OVERVIEW_ADDRESS) X(OVERVIEW_NAME) X(OVERVIEW_ADD) X(OVERVIEW_RENAME)        \
    X(OVERVIEW_REMOVE) X(OVERVIEW_SELECT) X(OVERVIEW_SCAN_FROM) X(OVERVIEW_SCAN_TO) X(OVERVIEW_SCAN)                  \
    X(OVERVIEW_SCAN_CANCEL) X(OVERVIEW_PROGRESS) X(OVERVIEW_SCAN_TIMER) X(OVERVIEW_TIMER) X(OVERVIEW_STATUS)          \
    X(OVERVIEW_CLOSE)

// The Server window: serving the controllers over HTTP.
#define TEC_SERVER_CONTROLS(X)                                                                                        \
    X(SERVER_SWITCH) X(SERVER_ADDRESS) X(SERVER_URL) X(SERVER_TOKEN) X(SERVER_COPY) X(SERVER_CLIENTS)                \
    X(SERVER_STATUS) X(SERVER_REQUESTS) X(SERVER_CLOSE) X(SERVER_TIMER)

#define TEC_ALL_CONTROLS(X)                                                                                           \
    TEC_PARM_CONTROLS(X) TEC_DEBUG_CONTROLS(X) TEC_CHART_CONTROLS(X) TEC_YSCALE_CONTROLS(X) TEC_WAIT_CONTROLS(X)      \
    TEC_SCRIPT_CONTROLS(X) TEC_PIDHELP_CONTROLS(X) TEC_LOGSET_CONTROLS(X) TEC_OVERVIEW_CONTROLS(X)         \
    TEC_SERVER_CONTROLS(X)

enum ControlId : int {
    CTRL_NONE = 0,
#define TEC_ENUM_ENTRY(name) name,
    TEC_ALL_CONTROLS(TEC_ENUM_ENTRY)
#undef TEC_ENUM_ENTRY
    CTRL_COUNT
};

// Per-step controls of the script panel, k = 1..8; step indicators i = 0..15.
constexpr int SCRIPT_SV(int k) { return SCRIPT_SV_1 + (k - 1); }
constexpr int SCRIPT_PARAM1(int k) { return SCRIPT_PARAM1_1 + (k - 1); }
constexpr int SCRIPT_PARAM2(int k) { return SCRIPT_PARAM2_1 + (k - 1); }
constexpr int SCRIPT_ACTION(int k) { return SCRIPT_ACTION_1 + (k - 1); }
constexpr int SCRIPT_LOOPS(int k) { return SCRIPT_LOOPS_1 + (k - 1); }
constexpr int SCRIPT_STEP_LED(int i) { return SCRIPT_STEP_LED_0 + i; }
// Per-set PID controls of the main panel, n = 1..4 (BOUND: 1..3).
constexpr int PARM_PID_P(int n) { return PARM_PID1_P + (n - 1); }
constexpr int PARM_PID_I(int n) { return PARM_PID1_I + (n - 1); }
constexpr int PARM_PID_D(int n) { return PARM_PID1_D + (n - 1); }
constexpr int PARM_PID_T4(int n) { return PARM_PID1_T4 + (n - 1); }
constexpr int PARM_PID_T5(int n) { return PARM_PID1_T5 + (n - 1); }
constexpr int PARM_PID_BOUND(int n) { return PARM_PID1_BOUND + (n - 1); }
constexpr int PARM_PID_LED(int n) { return PARM_PID1_LED + (n - 1); }
constexpr int DEBUG_RX(int i) { return DEBUG_RX0 + i; }

namespace rt {
// The identifier for a control name ("PARM_SV"), or CTRL_NONE.
int controlIdByName(std::string_view name);
// The name of an identifier, or "" when unknown.
std::string_view controlName(int id);
} // namespace rt
