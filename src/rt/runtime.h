// The run-time layer: the operations the system needs from its toolkit —
// panels by handle, controls by identifier, numbered attributes, popups, file
// selection, timer controls, strip chart and graph, serial ports, Delay, time
// and date — implemented on Qt Widgets, Qt SerialPort and QCustomPlot.
//
// System code calls this layer and never Qt. Everything runs on the one
// user-interface thread. No call here dispatches user-interface events except
// RunUserInterface and the modal popups; Delay and the serial calls never do,
// so a timer callback can never run in the middle of a transaction. Inside a
// modal popup only timer ticks run (see SetTickGate); the operator's own
// actions wait until it has closed.
//
// Tests build a Runtime with a VirtualClock and a ScriptedOperator: Delay only
// moves the clock, popups and file dialogs are answered from a script, and the
// panels are real widgets on Qt's offscreen platform.
#pragma once

#include "io/clock.h"
#include "io/port_map.h"
#include "io/port_table.h"
#include "io/serial_device.h"
#include "rt/controls.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QWidget;

namespace rt {

using io::AnswerComplete;
using io::Clock;
using io::RealClock;
using io::SerialDevice;
using io::VirtualClock;

// Events passed to callbacks.
enum Event : int {
    EVENT_COMMIT = 1,
    EVENT_RIGHT_CLICK = 5,
    EVENT_TIMER_TICK = 15,
};

// Numbered control attributes.
enum Attribute : int {
    ATTR_DIMMED = 500,              // 1 dims (disables), 0 undims
    ATTR_VISIBLE = 530,             // 1 shows, 0 hides
    ATTR_CTRL_MODE = 620,           // numeric field: 1 editable (hot), 0 display-only (indicator)
    ATTR_PRECISION = 735,           // digits shown after the decimal point (display only)
    ATTR_XAXIS_GAIN = 1124,         // strip chart: X increment per point (seconds)
    ATTR_POINTS_PER_SCREEN = 1171,  // strip chart: X span in points
    ATTR_INTERVAL = 1270,           // timer control: interval in seconds
    ATTR_ENABLED = 1271,            // timer control: 1 runs, 0 stops
    // The run-time's own: a numeric field or selector with no value shows
    // "—" alone (1) until a value is set; reads 1 while it has none.
    ATTR_NO_VALUE = 9000,
    ATTR_UNIT = 9001,               // numeric field: the text after the number (" °C"), a string
};

// Data types for PlotStripChart.
enum DataType : int { VAL_FLOAT = 3, VAL_DOUBLE = 4 };

// Colours for PlotLine (0xRRGGBB).
enum : int { VAL_YELLOW = 0xFFFF00, VAL_RED = 0xFF0000, VAL_CYAN = 0x00FFFF, VAL_MAGENTA = 0xFF00FF };

// Error results (negative), as returned by the calls below. The serial
// calls pass the port table's own codes through: they are the same numbers.
enum : int {
    RT_ERR_PANEL_FILE = -1,                      // panel file missing or unreadable
    RT_ERR_BAD_HANDLE = -2,                      // no such panel or control
    RT_ERR_PORT_OPEN = io::PORT_ERR_OPEN,        // serial port cannot be opened
    RT_ERR_PORT_CLOSED = io::PORT_ERR_CLOSED,    // serial call on a port that is not open
    RT_ERR_PORT_LOST = io::PORT_ERR_LOST,        // the device went away (unplugged, hung up, read errors)
    RT_ERR_DIALOG = -6,                          // the file dialog failed
    RT_ERR_BAD_ARGUMENT = io::PORT_ERR_ARGUMENT, // attribute, value kind or range the control does not take
    RT_ERR_ENDING = io::PORT_ERR_ENDING,         // the program is ending: nothing more is sent
};

// A control callback: (panel, control, event, callback data, event data 1, event data 2) -> 0.
using CtrlCallback = std::function<int(int panel, int control, int event, void* callbackData, int eventData1, int eventData2)>;
// Finds the callback that a panel file names; an empty function when there is none.
using CallbackResolver = std::function<CtrlCallback(const std::string& name)>;

// What GenericMessagePopup asks.
struct GenericPopup {
    std::string title;
    std::string text;
    std::string button1, button2, button3;  // empty: no such button
    int focusButton = 1;                     // 1..3
    int enterButton = 1;                     // the button Enter chooses
    int escapeButton = 2;                    // the button Escape chooses
};

// What FileSelectPopup asks.
struct FileSelect {
    std::string defaultDirectory;  // "" = working directory
    std::string defaultFileSpec;   // "*.prm"
    std::string fileTypeList;      // "*.txt;*.prm;*.dat"
    std::string title;
    int buttonLabel = 0;           // 0 OK, 1 Save, 3 Load
    bool restrictDirectory = false;
    bool restrictExtension = false;
    bool allowCancel = true;
    bool allowMakeDirectory = false;
};

// Answers popups: the person at the desk in the program, a script in tests.
class Operator {
public:
    virtual ~Operator() = default;
    virtual void message(const std::string& title, const std::string& text) = 0;
    // A message with informative text under it; by default appended to the text.
    virtual void messageWithInfo(const std::string& title, const std::string& text, const std::string& informative)
    {
        message(title, informative.empty() ? text : text + "\n\n" + informative);
    }
    // Returns the number of the button chosen, 1..3.
    virtual int generic(const GenericPopup& popup) = 0;
    // Returns 0 cancelled, 1 existing file chosen, 2 new file chosen, negative on failure; fills *path.
    virtual int fileSelect(const FileSelect& request, std::string* path) = 0;
    // Closes whatever dialog is open, as its Escape or Cancel would: the
    // program is ending and no one may be kept waiting for an answer.
    virtual void dismiss() {}
};

// A scripted operator for tests. Popups are logged in order; generic popups and
// file dialogs take the next queued answer. With no answer queued, a generic
// popup answers its Escape button and a file dialog is cancelled.
class ScriptedOperator final : public Operator {
public:
    struct Shown {
        std::string kind;  // "message", "generic", "file"
        std::string title;
        std::string text;
        std::string informative;  // a message's informative text
    };
    struct FileAnswer {
        int result;
        std::string path;
    };
    void message(const std::string& title, const std::string& text) override;
    void messageWithInfo(const std::string& title, const std::string& text, const std::string& informative) override;
    int generic(const GenericPopup& popup) override;
    int fileSelect(const FileSelect& request, std::string* path) override;

    void queueButton(int button) { m_buttons.push_back(button); }
    // Enter and Escape choose the popup's enterButton / escapeButton.
    void queueEnter() { m_buttons.push_back(kEnter); }
    void queueEscape() { m_buttons.push_back(kEscape); }
    void queueFile(int result, const std::string& path) { m_files.push_back({result, path}); }
    // Runs while each popup or dialog is up, before it is answered: what
    // happens while the operator leaves it open.
    void setWhileShown(std::function<void(const Shown&)> f) { m_whileShown = std::move(f); }

    const std::vector<Shown>& shown() const { return m_shown; }
    std::vector<std::string> titles() const;
    int count(const std::string& title) const;
    void clear() { m_shown.clear(); }
    const GenericPopup& lastGeneric() const { return m_lastGeneric; }
    const FileSelect& lastFileRequest() const { return m_lastFile; }

    static constexpr int kEnter = -100;
    static constexpr int kEscape = -101;

private:
    void record(Shown s);
    std::vector<Shown> m_shown;
    std::function<void(const Shown&)> m_whileShown;
    std::vector<int> m_buttons;
    std::vector<FileAnswer> m_files;
    GenericPopup m_lastGeneric;
    FileSelect m_lastFile;
};

class Runtime {
public:
    Runtime(Clock& clock, Operator& op);
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    Clock& clock() { return m_clock; }
    Operator& op() { return m_op; }
    PortMap& ports() { return m_ports; }
    // The open serial ports, as the controller link uses them.
    io::PortTable& portTable() { return m_portTable; }

    // ---- panels ----
    // Folders searched for panel files, in order.
    void setPanelSearchPath(const std::vector<std::string>& folders);
    const std::vector<std::string>& panelSearchPath() const;
    void setCallbackResolver(CallbackResolver resolver);
    // Loads the panel file (its top widget); controls naming a callback are bound
    // through the resolver. A child panel appears inside its parent. Returns the
    // handle (> 0) or RT_ERR_PANEL_FILE.
    int LoadPanel(int parentPanel, const std::string& fileName, int resourceId);
    int DisplayPanel(int panel);
    int HidePanel(int panel);
    int DiscardPanel(int panel);
    // Shows the panel as a modal popup and paints it at once (no other event is
    // dispatched). RemovePopup(0) removes the active one.
    int InstallPopup(int panel);
    int RemovePopup(int zero);
    bool IsPanelVisible(int panel) const;
    bool IsPopupInstalled(int panel) const;
    // Callback names found in loaded panel files that the resolver did not know.
    const std::vector<std::string>& unboundCallbacks() const;
    // Callback names bound so far, one entry per control.
    std::vector<std::string> boundCallbacks() const;
    QWidget* panelWidget(int panel) const;           // for screenshots and tests
    QWidget* controlWidget(int panel, int control) const;
    // Called when the operator closes a panel's window by its frame.
    void setPanelCloseHandler(int panel, std::function<void()> handler);
    // Remembers each panel window's position and size in this settings file
    // when it is hidden or the program ends, and brings them back when the
    // panel is next displayed, on a screen that is there. "" (the default)
    // remembers nothing. Windows larger than their screen are shrunk to it
    // and their contents scroll either way.
    void setWindowMemory(const std::string& settingsFile);
    // The program's own settings file: tecontrol/tecontrol.conf in the user's
    // configuration folder ($XDG_CONFIG_HOME, ~/.config).
    static std::string DefaultWindowMemoryFile();

    // ---- control values (the control's own type) ----
    int SetCtrlVal(int panel, int control, double value);
    int SetCtrlVal(int panel, int control, int value);
    int SetCtrlVal(int panel, int control, const std::string& text);
    int SetCtrlVal(int panel, int control, const char* text) { return SetCtrlVal(panel, control, std::string(text)); }
    int GetCtrlVal(int panel, int control, double* value) const;
    int GetCtrlVal(int panel, int control, float* value) const;
    int GetCtrlVal(int panel, int control, int* value) const;
    int GetCtrlVal(int panel, int control, short* value) const;
    int GetCtrlVal(int panel, int control, unsigned short* value) const;
    int GetCtrlVal(int panel, int control, std::string* text) const;
    int SetCtrlAttribute(int panel, int control, int attribute, int value);
    int SetCtrlAttribute(int panel, int control, int attribute, double value);
    // String attributes (ATTR_UNIT). 0, or RT_ERR_BAD_HANDLE / RT_ERR_BAD_ARGUMENT.
    int SetCtrlAttribute(int panel, int control, int attribute, const std::string& text);
    int GetCtrlAttribute(int panel, int control, int attribute, int* value) const;
    int GetCtrlAttribute(int panel, int control, int attribute, double* value) const;

    // ---- events ----
    // Runs the callback bound to the control with the event, as the toolkit does
    // when the operator acts. Returns the callback's result, or 0 if none.
    int FireEvent(int panel, int control, int event);
    // Sets the value as the operator would and fires the commit event.
    int Commit(int panel, int control, double value);
    int Commit(int panel, int control, int value);
    int Commit(int panel, int control);
    // One tick of a timer control (event 15), whether or not it is enabled.
    int Tick(int panel, int control);
    // Timer ticks are dispatched while popups and dialogs are open (from
    // their own event loop), except while the gate says no: an operation is
    // between its transactions. A tick that falls due then, or while a popup
    // paints, waits; once ResumeTicks is called (or the hold ends) each timer
    // that waited ticks once, from the event loop, and starts its interval
    // afresh. No gate: only popups painting hold ticks back.
    void SetTickGate(std::function<bool()> ticksMayRun);
    void ResumeTicks();
    // ---- services ----
    // Work that runs step by step from the event loop without waiting in a
    // call (the poller): `service` does what is due and returns the clock
    // time it next needs a call (infinity: not until WakeService). It runs as
    // a timer tick does: never inside another callback except from a popup's
    // own loop, not while the tick gate says no, and never inside itself.
    // On a simulated clock, which moves only when someone waits on it,
    // WakeService instead runs it at once and waits on the clock between its
    // calls until it returns infinity. Returns the service's id.
    int AddService(std::function<double()> service);
    // Calls the service soon (from the event loop), or at once on a
    // simulated clock.
    void WakeService(int id);
    void RemoveService(int id);
    // Dispatches events until a callback calls QuitUserInterface; returns its code.
    int RunUserInterface();
    void QuitUserInterface(int code);
    bool quitRequested() const;
    // Ends the program from outside (a signal): the open popup or file dialog
    // is dismissed, every later popup returns at once unanswered (a file
    // dialog as cancelled, a question with its Escape button) and the event
    // loop is asked to stop. Waits already end early through EndRequested().
    void EndFromOutside(int code);
    // True once EndFromOutside ran or an end was requested by a signal.
    bool ending() const;

    // ---- popups ----
    void MessagePopup(const std::string& title, const std::string& text);
    // The same with informative text under the message (left out when empty).
    void MessagePopup(const std::string& title, const std::string& text, const std::string& informative);
    int GenericMessagePopup(const GenericPopup& popup);
    int FileSelectPopup(const FileSelect& request, std::string* path);

    // ---- strip chart and graph ----
    int PlotStripChart(int panel, int control, const void* array, int numberOfPoints, int startingIndex,
                       int skipCount, int dataType);
    int ClearStripChart(int panel, int control);
    int SetAxisScalingMode(int panel, int control, int axis, int mode, double min, double max);
    int GetAxisScalingMode(int panel, int control, int axis, int* mode, double* min, double* max) const;
    // Names an axis of a strip chart or graph (axis 0 X, 1 Y). 0, or
    // RT_ERR_BAD_HANDLE / RT_ERR_BAD_ARGUMENT.
    int SetAxisLabel(int panel, int control, int axis, const std::string& label);
    // Draws a line on a graph; returns its plot handle (> 0).
    int PlotLine(int panel, int control, double x1, double y1, double x2, double y2, int color);
    // plotHandle -1 deletes all plots; refresh 1 redraws at once.
    int DeleteGraphPlot(int panel, int control, int plotHandle, int refresh);
    // Number of points held per trace of a strip chart (tests, benchmarks).
    int StripChartPointCount(int panel, int control) const;
    // Replaces the strip chart's traces by these (names shown in the legend
    // and readout, colours as 0xRRGGBB like VAL_RED, one per name, or none
    // for the default of each place). A trace whose name was there before
    // keeps its points and its shown/hidden state; a new one has no readings
    // for the points already held (a gap); a trace no longer named goes.
    // PlotStripChart then takes one value per trace, NaN for a gap.
    // 0, or RT_ERR_BAD_HANDLE / RT_ERR_BAD_ARGUMENT (no name, an empty or
    // repeated name, colours not one per name, a colour beyond 0xFFFFFF).
    int SetStripChartTraces(int panel, int control, const std::vector<std::string>& names,
                            const std::vector<int>& colors);
    // The number of traces, or a negative error.
    int GetStripChartTraceCount(int panel, int control) const;
    // Shows or hides one trace (the legend's click does the same): a hidden
    // trace keeps its points but is not drawn nor read out. 0 or a negative error.
    int SetStripChartTraceVisible(int panel, int control, int trace, bool visible);
    int GetStripChartTraceVisible(int panel, int control, int trace, bool* visible) const;
    // Shows the legend (one entry per trace, a click shows or hides it) or
    // hides it. Until this is called it is as the panel file has it.
    int SetStripChartLegend(int panel, int control, bool shown);
    // Redraws a strip chart or graph at once instead of at the next pass of the
    // event loop (benchmarks, screenshots). 0, or RT_ERR_BAD_HANDLE.
    int ReplotNow(int panel, int control);

    // ---- strip chart view, export and recorded runs ----
    // The strip chart follows its newest point again. 0, or a negative error.
    int StripChartFollowLive(int panel, int control);
    // The strip chart's Y axis back to the range last set by
    // SetAxisScalingMode. 0, or a negative error.
    int StripChartRestoreY(int panel, int control);
    // Asks the operator for a file and saves the strip chart into it: a
    // picture (.png), a document (.pdf), or the points in view or of the whole
    // run in the data-log format (.csv, .dat), each whole or not at all.
    // 0 saved, 1 cancelled, negative on failure (the operator has been told).
    int ExportStripChart(int panel, int control);
    // Opens a window of its own on a recorded run: a strip chart with the
    // traces, colours and Y label of the given one, the points (civil seconds,
    // ascending; one vector of values per trace), a line of status text, and
    // buttons to show the whole run, restore the Y scale, export and close.
    // Returns 0, or a negative error when the template is no strip chart.
    int ShowChartWindow(int likePanel, int likeControl, const std::string& title, const std::string& status,
                        std::vector<double> times, std::vector<std::vector<double>> values);
    // The same with traces of their own, named and coloured as for
    // SetStripChartTraces (one vector of values per name), and the legend shown.
    int ShowChartWindow(int likePanel, int likeControl, const std::string& title, const std::string& status,
                        std::vector<double> times, std::vector<std::vector<double>> values,
                        const std::vector<std::string>& names, const std::vector<int>& colors);
    // The local time now in civil seconds (see rt/chart_axis.h).
    double CivilNow() const;

    // ---- selector (ring) items ----
    // Inserts an item with its label and value at index (-1 appends). 0, or
    // RT_ERR_BAD_HANDLE / RT_ERR_BAD_ARGUMENT when the control is no selector.
    int InsertListItem(int panel, int control, int index, const std::string& label, double value);
    // Removes every item of a selector. 0, or a negative error.
    int ClearListCtrl(int panel, int control);
    // The number of items of a selector, or a negative error.
    int GetNumListItems(int panel, int control) const;

    // ---- RS-232 ----
    // deviceName "" means the device the port map gives the number.
    int OpenComConfig(int port, const std::string& deviceName, long baudRate, int parity, int dataBits,
                      int stopBits, int inputQueueSize, int outputQueueSize);
    int SetXMode(int port, int mode);
    int SetCTSMode(int port, int mode);
    int SetComTime(int port, double timeoutSeconds);
    int FlushInQ(int port);
    int FlushOutQ(int port);
    int ComWrt(int port, const unsigned char* buffer, int count);
    // Reads count bytes; returns as soon as they have arrived, or at the time-out
    // with fewer. Negative when the port is not open or the device is lost.
    int ComRd(int port, unsigned char* buffer, int count);
    // As ComRd, but also returns as soon as `done` says the bytes so far form a
    // complete answer (a short exception answer, for one).
    int ComRdAnswer(int port, unsigned char* buffer, int count, const AnswerComplete& done);
    int CloseCom(int port);
    bool IsComOpen(int port) const;
    // Why the last OpenComConfig of the port failed, in words for the
    // operator ("Cause: ..."), or "" when nothing could be found out.
    std::string ComOpenProblem(int port) const;
    // True when the device behind the port exists but the user may not open it.
    bool ComAccessDenied(int port) const;
    // Called with the port number when an open port is found lost outside
    // any RS-232 call (an idle port hung up or unplugged): from the event
    // loop, never while a callback or popup holds events back. The port is
    // marked lost by then (its calls return RT_ERR_PORT_LOST) and its device
    // closed; CloseCom releases it.
    void SetComLostHandler(std::function<void(int port)> handler);
    // The label of the device behind the number (for the port selector).
    std::string PortLabel(int port) const;

    // ---- time and numbers ----
    // Waits without dispatching any event.
    void Delay(double seconds);
    // Lets the windows repaint (and the window system see the program alive)
    // during long work in a callback; no callback runs meanwhile, as during
    // a popup's first paint.
    void ProcessDrawEvents();
    std::string TimeStr() const;  // "HH:MM:SS", 24-hour, local time
    void GetSystemDate(int* month, int* day, int* year) const;
    // Rounds to the nearest integer, halves to the even neighbour. Values
    // beyond a long saturate at its limits; NaN gives 0.
    static long RoundRealToNearestInteger(double value);

    struct Impl;

private:
    Clock& m_clock;
    Operator& m_op;
    PortMap m_ports;
    io::PortTable m_portTable;
    std::unique_ptr<Impl> m_impl;
};

// An operator that shows real dialogs (QMessageBox, QFileDialog).
std::unique_ptr<Operator> makeDesktopOperator();

} // namespace rt
