// Live PV/SV polling, the strip chart and its scale, and the data log.
#pragma once

#include "app/callback.h"
#include "core/controller.h"
#include "core/live_sample.h"
#include "formats/log_format.h"
#include "formats/monitor_format.h"
#include "protocol/registers.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace rt {
class TextLog;
}
namespace core {
struct Round;
}
struct App;

struct DataLog {
    std::uint16_t logging = 0;             // 1 exactly while the log file is open
    std::shared_ptr<rt::TextLog> logFile;  // the open log file
    std::string logPath;
    double lastInterval = 0;               // LOGSET_INTERVAL when the log-setup panel was opened
};

namespace monitor {

// The set value the window holds for its controller (App::params) as last
// seen, and the wall time it was learnt: sent or read by an operation, or
// read by a round (0: not known).
struct HeldSetValue {
    float value = 0;
    core::Address address = 0;
    std::int64_t wallMillis = 0;
};

// Looks at the set value the window holds after something may have changed
// it (an operation ended, a client's write was shown): a change since it
// was last seen, or another controller's, is learnt at wallMillis. Nothing
// is held while the parameters were not read from the controller.
void SetValueSeen(App& app, std::int64_t wallMillis);

// The rounds over several configured controllers, and what the chart and the
// data log were last given of them.
struct Rounds {
    // The decimal point of each controller other than the selected one, read
    // once before its readings are taken (the selected one has its read-all).
    struct Scale {
        bool known = false;
        bool pending = false;  // a read is waiting for the line
        double nextTry = 0;  // the clock's seconds when an unanswered read is tried again
        double wait = 1.0;   // the wait after the next unanswered read
    };
    std::map<const core::Controller*, Scale> scales;
    // Records removed from the list while a round may still hold them; they
    // go once a round has ended.
    std::vector<std::unique_ptr<core::Controller>> retired;
    // Each record's last whole sample: the overview shows it, and its age,
    // while later rounds go unanswered.
    std::map<const core::Controller*, core::Sample> lastGood;
    // The entry the window's own record was last mirrored into.
    const core::Controller* mirrored = nullptr;
    // The chart's traces as last set; empty while the panel file's own two are shown.
    std::vector<std::string> traceNames;
    // Each controller's palette place by port and address, kept for the session.
    std::map<std::pair<int, int>, int> colours;
    // The header the data log's current section began with.
    std::string logHeader;
    // The next round was asked by the window's server alone, for what it
    // serves: unless the chart plots by then, the panels show nothing of it.
    bool quiet = false;
};

// Verified poll reads; false when the read gave up (nothing is changed then).
bool PollReadPV(App& app, float* pv);
bool PollReadSV(App& app, float* sv);
// Asks the bus's poller for a round of the window's controller, SV and PV for
// the chart or PV alone for the main panel; the round's samples are shown by
// ShowRound once it is done, while the window goes on handling input.
void AskRound(App& app, bool pvOnly);
// Shows a finished round: the chart's point, the main panel's PV, the data
// log's line, or the "no answer" signs.
void ShowRound(App& app, const core::Round& round);
// The controllers a round reads, in list order: with at most one configured,
// the window's own record alone; with several, every configured controller on
// the selected port whose temperature scale is known (the selected one as the
// window's own record). Reads the scale of one of those that lack it first.
std::vector<core::Controller*> RoundControllers(App& app, bool readScales = true);
// Several controllers configured: the chart has a PV and an SV trace for
// each, the data log one section for the set.
bool Several(const App& app);
// The data log's header for the configured set: today's with at most one
// controller, the several-controller header otherwise.
std::string LogHeaderFor(const App& app);
// A trace's name: "PV Stage A [2]", "SV [3]".
std::string TraceName(const char* what, const core::Controller& c, bool withPort);
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
