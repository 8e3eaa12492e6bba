// The data log: the log-setup panel, the Log switch and the log file.
#include "app/app.h"
#include "monitor/monitor.h"
#include "rt/files.h"

#include <memory>

namespace monitor {

namespace {

constexpr const char* kLogTitle = "Data Log";

// Closes the file and turns the switch and the LED off; which of the Log
// switch and the plot note is visible is left as plotting wants it.
void StopLogging(App& app)
{
    if (app.log.logFile)
        app.log.logFile->close();
    app.log.logFile.reset();
    app.log.logging = 0;
    app.rt.SetCtrlVal(app.panels.logset, LOGSET_LOG_SW, 0);
    app.rt.SetCtrlVal(app.panels.chart, CHART_LOG_LED, 0);
}

// Opens logPath, truncating (with the header line) or appending. On failure
// nothing stays open and the operator is told why. With several controllers
// the header begins each section, appended ones too: it names the columns.
bool StartLogging(App& app, bool append)
{
    auto file = std::make_shared<rt::TextLog>();
    std::string error;
    const std::string header = LogHeaderFor(app);
    bool ok = file->open(app.log.logPath, append, &error);
    if (ok && (!append || Several(app)))
        ok = file->writeLine(header, &error);
    app.rounds.logHeader = header;
    if (!ok) {
        file->close();
        app.rt.MessagePopup(kLogTitle, "The data log file\n" + app.log.logPath + "\ncould not be opened for writing:\n" +
                                           error + "\nLogging stays off.");
        return false;
    }
    app.log.logFile = std::move(file);
    app.log.logging = 1;
    return true;
}

void TurnLoggingOn(App& app)
{
    const int logset = app.panels.logset;
    rt::FileSelect request;
    request.defaultDirectory = "";
    request.defaultFileSpec = "*.dat";
    request.fileTypeList = "*.dat; *.txt";
    request.title = "Select Filename to log data";
    request.buttonLabel = 1;
    request.restrictDirectory = false;
    request.restrictExtension = false;
    request.allowCancel = true;
    request.allowMakeDirectory = true;
    std::string path;
    const int chosen = app.rt.FileSelectPopup(request, &path);
    if (chosen == 0) {
        app.rt.SetCtrlVal(logset, LOGSET_LOG_SW, 0);
        return;
    }
    if (chosen < 0 || path.empty()) {
        app.rt.SetCtrlVal(logset, LOGSET_LOG_SW, 0);
        app.rt.MessagePopup(kLogTitle, "The file dialog failed, so no log file was chosen.\nLogging stays off.");
        return;
    }
    app.log.logPath = path;

    bool append = false;
    if (rt::FileExists(path)) {
        rt::GenericPopup ask;
        ask.title = "File Exist!";
        ask.text = "File already exist, do you want to overwrite or append";
        ask.button1 = "Overwrite";
        ask.button2 = "Append";
        ask.button3 = "Exit";
        ask.focusButton = 1;
        ask.enterButton = 1;
        ask.escapeButton = 3;
        const int answer = app.rt.GenericMessagePopup(ask);
        if (answer != 1 && answer != 2) {
            app.rt.SetCtrlVal(logset, LOGSET_LOG_SW, 0);
            return;
        }
        append = answer == 2;
    }
    if (!StartLogging(app, append))
        app.rt.SetCtrlVal(logset, LOGSET_LOG_SW, 0);
}

} // namespace

void EndLogging(App& app)
{
    if (app.log.logging != 1 && !app.log.logFile)
        return;
    StopLogging(app);
    app.rt.SetCtrlAttribute(app.panels.logset, LOGSET_PLOT_NOTE, rt::ATTR_VISIBLE, 0);
    app.rt.SetCtrlAttribute(app.panels.logset, LOGSET_LOG_SW, rt::ATTR_VISIBLE, 1);
}

bool WriteLogLine(App& app, const std::string& line)
{
    if (app.log.logging != 1 || !app.log.logFile)
        return false;
    std::string error;
    bool ok = app.log.logFile->writeLine(line, &error);
    // Some systems let a program go on writing to a file that has been deleted
    // or moved away; the lines would then end up nowhere the operator can find.
    if (ok && !rt::FileExists(app.log.logPath)) {
        ok = false;
        error = "the file is no longer there (deleted, moved or its medium removed)";
    }
    if (ok)
        return true;
    // Logging is off before the popup appears, so a tick that runs while it is
    // up neither writes nor reports again.
    const std::string path = app.log.logPath;
    StopLogging(app);
    app.rt.MessagePopup(kLogTitle, "Writing to the data log file\n" + path + "\nfailed: " + error +
                                       "\nLogging has been stopped; the lines written before are kept.");
    return false;
}

} // namespace monitor

TEC_CALLBACK(LogFile)
{
    if (event == rt::EVENT_RIGHT_CLICK) {
        app.rt.MessagePopup(monitor::kLogSetupHelpTitle, monitor::kLogSetupHelpText);
        return 0;
    }
    if (event != rt::EVENT_COMMIT)
        return 0;
    int plot = 0;
    app.rt.GetCtrlVal(app.panels.chart, CHART_PLOT, &plot);
    app.rt.DisplayPanel(app.panels.logset);
    // The file cannot be switched while lines are being written.
    app.rt.SetCtrlAttribute(app.panels.logset, LOGSET_LOG_SW, rt::ATTR_DIMMED, plot ? 1 : 0);
    double interval = 0;
    app.rt.GetCtrlVal(app.panels.logset, LOGSET_INTERVAL, &interval);
    app.log.lastInterval = interval;
    return 0;
}

TEC_CALLBACK(FileLogSetupExit)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    double interval = 0;
    app.rt.GetCtrlVal(app.panels.logset, LOGSET_INTERVAL, &interval);
    if (interval != app.log.lastInterval && interval > 0) {
        const int chart = app.panels.chart;
        app.rt.SetCtrlAttribute(chart, CHART_TIMER, rt::ATTR_INTERVAL, interval);
        // The X axis counts seconds, one point per tick.
        app.rt.SetCtrlAttribute(chart, CHART_STRIPCHART, rt::ATTR_XAXIS_GAIN, interval);
        if (app.scale.xPoints >= 1)
            app.rt.SetCtrlAttribute(chart, CHART_STRIPCHART, rt::ATTR_POINTS_PER_SCREEN, app.scale.xPoints);
        app.log.lastInterval = interval;
    }
    app.rt.HidePanel(app.panels.logset);
    return 0;
}

TEC_CALLBACK(LogFileOnOff)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    int on = 0;
    app.rt.GetCtrlVal(app.panels.logset, LOGSET_LOG_SW, &on);
    if (app.log.logging == 0 && on)
        monitor::TurnLoggingOn(app);
    else if (app.log.logging == 1 && !on)
        monitor::StopLogging(app);
    return 0;
}

TEC_CALLBACK(LogTimer)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    // The log setup lives on the chart panel; open that first, as its own
    // button does, unless it is already up (and perhaps plotting).
    if (!app.rt.IsPanelVisible(app.panels.chart))
        OpenChartPanel(app, app.panels.parm, PARM_OPEN_CHART, rt::EVENT_COMMIT, nullptr, 0, 0);
    LogFile(app, app.panels.chart, CHART_LOG_SETUP, rt::EVENT_COMMIT, nullptr, 0, 0);
    return 0;
}
