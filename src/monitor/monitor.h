// Live PV/SV polling, the strip chart and its scale, and the data log.
#pragma once

#include "app/callback.h"
#include "core/live_sample.h"
#include "formats/log_format.h"
#include "formats/monitor_format.h"
#include "protocol/registers.h"

#include <cstdint>
#include <memory>
#include <string>

namespace rt {
class TextLog;
}
struct App;

struct DataLog {
    std::uint16_t logging = 0;             // 1 exactly while the log file is open
    std::shared_ptr<rt::TextLog> logFile;  // the open log file
    std::string logPath;
    double lastInterval = 0;               // LOGSET_INTERVAL when the log-setup panel was opened
};

namespace monitor {

// Verified poll reads; false when the read gave up (nothing is changed then).
bool PollReadPV(App& app, float* pv);
bool PollReadSV(App& app, float* sv);
// "%lf %lf %d\n" of the scale with the platform's text line end.
std::string FormatScale(const ChartScale& s);
// Names the chart's Y axis with the temperature unit of cfUnit ("Temperature
// (°C)" or "(°F)"). Done on opening the chart and on Plot on.
void ShowUnit(App& app);
// Ends logging: closes the file, logging 0, switch off and shown, note hidden, LED off.
// Does nothing when logging is already off.
void EndLogging(App& app);

// A PV poll started or stopped: its count of missed answers starts afresh
// and the main panel's "No answer" sign follows.
void ResetPollMisses(App& app);

// Registers of the two polled values.
constexpr std::uint16_t kPvRegister = tecreg::kPv;
constexpr std::uint16_t kSvRegister = tecreg::kWorkingSv;

// Writes the formatted line to the open log. On failure logging is stopped
// (file closed, Log switch and LED off) and the operator is told once, naming
// the file and the reason. Returns false then, or when logging is off.
bool WriteLogLine(App& app, const std::string& line);

// Help popups of the chart and the log setup.
extern const char* const kPlotHelpTitle;
extern const char* const kPlotHelpText;
extern const char* const kChartExitHelpTitle;
extern const char* const kChartExitHelpText;
extern const char* const kLogSetupHelpTitle;
extern const char* const kLogSetupHelpText;
extern const char* const kLiveHelpTitle;
extern const char* const kLiveHelpText;
extern const char* const kOpenLogHelpTitle;
extern const char* const kOpenLogHelpText;

} // namespace monitor

TEC_CALLBACK(GetData);
TEC_CALLBACK(ReadPV);
TEC_CALLBACK(PVRd);
TEC_CALLBACK(OpenChartPanel);
TEC_CALLBACK(ChgYScale);
TEC_CALLBACK(CloseYscale);
TEC_CALLBACK(ClearChart);
TEC_CALLBACK(Plot);
TEC_CALLBACK(ChartExit);
TEC_CALLBACK(LogFile);
TEC_CALLBACK(FileLogSetupExit);
TEC_CALLBACK(LogFileOnOff);
TEC_CALLBACK(LogTimer);
TEC_CALLBACK(ChartLive);
TEC_CALLBACK(ChartRestoreY);
TEC_CALLBACK(ChartExport);
TEC_CALLBACK(OpenLogViewer);
