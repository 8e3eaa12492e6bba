// The run-time's own control widgets, created by the panel loader for the
// class names the panel files use: Led, Numeric, TimerControl, StripChart and
// Graph. Their Q_PROPERTYs are what the panel files set.
#pragma once

#include "formats/chart_limits.h"

#include <QColor>
#include <QDoubleSpinBox>
#include <QSpinBox>
#include <QTimer>
#include <QWidget>

class QRubberBand;

#include <qcustomplot.h>

#include "formats/chart_axis.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace rt {

// A round indicator: lit in its on colour, dark grey when off.
class Led final : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor onColor READ onColor WRITE setOnColor)
    Q_PROPERTY(bool on READ isOn WRITE setOn)
public:
    explicit Led(QWidget* parent = nullptr);
    QColor onColor() const { return m_onColor; }
    void setOnColor(const QColor& c);
    bool isOn() const { return m_on; }
    void setOn(bool on);
    QSize sizeHint() const override { return {16, 16}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QColor m_onColor{0x00, 0xc8, 0x53};
    bool m_on = false;
};

// A numeric field that keeps its value at full precision while showing only
// `precision` digits, optionally as 16-bit hexadecimal.
class Numeric final : public QDoubleSpinBox {
    Q_OBJECT
    Q_PROPERTY(int precision READ precision WRITE setPrecision)
    // Panel files written for a plain QDoubleSpinBox set `decimals`; it means
    // the digits shown here, never a rounding of the value.
    Q_PROPERTY(int decimals READ precision WRITE setPrecision)
    Q_PROPERTY(bool hexDisplay READ hexDisplay WRITE setHexDisplay)
    // Set last in a panel file (after the suffix) for a field that starts with no value.
    Q_PROPERTY(bool noValue READ hasNoValue WRITE setNoValue)
public:
    static constexpr int kStoredDecimals = 6;
    explicit Numeric(QWidget* parent = nullptr);
    int precision() const { return m_precision; }
    void setPrecision(int digits);
    bool hexDisplay() const { return m_hex; }
    void setHexDisplay(bool on);

    // "No value": the field shows only "—" (no unit) until a value is set
    // or the operator types or steps one. The stored value stays as it was.
    bool hasNoValue() const { return m_noValue; }
    void setNoValue(bool on);
    // The unit after the number (" °C"); kept aside while there is no value.
    void setUnitSuffix(const QString& suffix);

    QString textFromValue(double value) const override;
    double valueFromText(const QString& text) const override;
    QValidator::State validate(QString& text, int& pos) const override;
    void stepBy(int steps) override;

private:
    void refreshText();
    QString stripAffixes(const QString& text) const;

    int m_precision = 2;
    bool m_hex = false;
    bool m_noValue = false;
    QString m_heldSuffix;  // the unit while there is no value
};

// An integer field; in base 16 it shows upper-case digits ("FF"), as the
// controller's documentation writes them.
class SpinBox final : public QSpinBox {
    Q_OBJECT
    Q_PROPERTY(bool noValue READ hasNoValue WRITE setNoValue)
public:
    explicit SpinBox(QWidget* parent = nullptr);
    // As Numeric: "—" alone until a value is set, typed or stepped.
    bool hasNoValue() const { return m_noValue; }
    void setNoValue(bool on);
    QString textFromValue(int value) const override;
    int valueFromText(const QString& text) const override;
    QValidator::State validate(QString& text, int& pos) const override;
    void stepBy(int steps) override;

private:
    bool m_noValue = false;
    QString m_heldSuffix;
};

// What a field without a value shows.
inline constexpr QChar kNoValueText{0x2014};

// An invisible control that ticks at its interval while enabled.
class TimerControl final : public QWidget {
    Q_OBJECT
    Q_PROPERTY(double interval READ interval WRITE setInterval)
    Q_PROPERTY(bool timerEnabled READ timerEnabled WRITE setTimerEnabled)
public:
    explicit TimerControl(QWidget* parent = nullptr);
    double interval() const { return m_interval; }
    // Seconds; values below a millisecond tick every millisecond.
    void setInterval(double seconds);
    bool timerEnabled() const { return m_timer.isActive(); }
    void setTimerEnabled(bool on);
    // A running timer counts its interval afresh from now.
    void restart();
    void setVisible(bool) override { QWidget::setVisible(false); }

signals:
    void tick();

private:
    QTimer m_timer;
    double m_interval = 1.0;
};

// A strip chart: one trace per name, each point at the local clock time it
// was added (civil seconds, see chart_axis.h), the time axis labelled in time
// of day. It keeps the whole run up to kKeepPoints per trace (a week at one a
// second), dropping the oldest kDropChunk at once beyond that, and draws only
// what is visible, decimated to a few points per pixel column.
//
// Live, it follows the newest point across a window of `pointsPerScreen`
// points at `xIncrement` seconds each. The operator leaves live by dragging
// (scroll), the wheel (zoom the time; with Ctrl the Y axis), a Shift-drag
// rubber band (zoom both), or the keys: Left/Right and Page Up/Down scroll,
// + and - zoom the time (with Ctrl the Y axis), Home shows the whole run, End
// returns to live, Y restores the operator's Y scale (as a double-click does).
// New points keep arriving while the operator looks back; the view stays.
class StripChart final : public QCustomPlot {
    Q_OBJECT
    Q_PROPERTY(QString traceNames READ traceNames WRITE setTraceNames)
    Q_PROPERTY(QString traceColors READ traceColors WRITE setTraceColors)
    Q_PROPERTY(QString yLabel READ yLabel WRITE setYLabel)
    Q_PROPERTY(QString xLabel READ xLabel WRITE setXLabel)
    Q_PROPERTY(int pointsPerScreen READ pointsPerScreen WRITE setPointsPerScreen)
    Q_PROPERTY(double xIncrement READ xIncrement WRITE setXIncrement)
    Q_PROPERTY(double yMin READ yMin WRITE setYMin)
    Q_PROPERTY(double yMax READ yMax WRITE setYMax)
public:
    static constexpr int kKeepPoints = kStripChartMaxPoints;
    static constexpr int kDropChunk = 6048;
    // The narrowest and widest time span the view zooms to, in seconds.
    static constexpr double kMinSpan = 5.0;
    static constexpr double kMaxSpan = 400.0 * 86400.0;

    explicit StripChart(QWidget* parent = nullptr);
    // The traces as the panel file names and colours them (setTraces leaves these).
    QString traceNames() const { return m_names; }
    void setTraceNames(const QString& names);
    QString traceColors() const { return m_colors; }
    void setTraceColors(const QString& colors);
    QString yLabel() const { return yAxis->label(); }
    void setYLabel(const QString& s) { yAxis->setLabel(s); }
    QString xLabel() const { return xAxis->label(); }
    void setXLabel(const QString& s) { xAxis->setLabel(s); }
    int pointsPerScreen() const { return m_pointsPerScreen; }
    // False when points lies outside 1..kMaxPoints.
    bool setPointsPerScreen(int points);
    double xIncrement() const { return m_xIncrement; }
    // False when the increment is not positive.
    bool setXIncrement(double increment);
    double yMin() const { return yAxis->range().lower; }
    void setYMin(double v);
    double yMax() const { return yAxis->range().upper; }
    void setYMax(double v);

    // Where "now" comes from, in civil seconds (the run-time's clock). Without
    // one, points without a time follow the last at xIncrement.
    void setTimeSource(std::function<double()> now) { m_now = std::move(now); }

    int traceCount() const { return graphCount(); }
    // Replaces the traces by these, in this order, each with its colour (an
    // invalid or missing colour: the default of its place). A trace whose name
    // was there before keeps its points and whether it is shown; a new one has
    // no readings (gaps) for the points already held; a trace no longer named
    // goes with its points. False, and nothing changed, when there is no name,
    // a name is empty or a name is given twice.
    bool setTraces(const QStringList& names, const std::vector<QColor>& colors);
    QStringList traceNameList() const;
    std::vector<QColor> traceColorList() const;
    // A hidden trace keeps its points but is not drawn, fitted or read out;
    // its legend entry is greyed. Out-of-range traces: false / nothing.
    bool isTraceVisible(int trace) const;
    void setTraceVisible(int trace, bool visible);
    // Shows the legend, one entry per trace, a click on an entry showing or
    // hiding its trace; with more than two traces it sits under the plot, two
    // controllers' SV and PV to a row. Off hides it. Until this is called the
    // legend is as the panel file has it, in the plot's corner, and a click on
    // it is a click on the plot.
    void setLegendShown(bool shown);
    bool legendShown() const { return legend->visible(); }
    // Adds one point to every trace (values[k] for trace k; missing values
    // repeat 0; NaN is no reading, a gap in that trace) at time t, or now. A time before the newest point (the clock
    // set back) is taken as the newest point's time, so time never runs back.
    void addPoint(const std::vector<double>& values, double t);
    void addPoint(const std::vector<double>& values);
    void clearPoints();
    int pointCount() const { return static_cast<int>(m_t.size()); }
    // Replaces everything held by these points (times ascending), with no cap
    // on their number, and shows them all (the log viewer). A trace without
    // values of its own has none (gaps).
    void setPoints(std::vector<double> times, std::vector<std::vector<double>> values);
    const std::vector<double>& times() const { return m_t; }
    const std::vector<double>& values(int trace) const { return m_v[static_cast<std::size_t>(trace)]; }
    // Manual (0) Y range, or automatic (1) to fit the visible points. False on
    // a range the chart cannot show (StripChartRangeShowable).
    bool setYScaling(int mode, double min, double max);
    int yScalingMode() const { return m_autoY ? 1 : 0; }

    // ---- the view ----
    bool isLive() const { return m_live; }
    // Follows the newest point again.
    void followLive();
    // Shows [t0, t1] (clamped to the zoom limits) and leaves live.
    void showTimeRange(double t0, double t1);
    // Shows the whole run and leaves live.
    void showAll();
    // Zooms the time axis by factor (< 1 zooms in) keeping `at` in place; leaves live.
    void zoomTime(double factor, double at);
    void zoomY(double factor, double at);
    void scrollTime(double seconds);
    // Back to the Y range the operator set (or the automatic fit).
    void restoreYScale();
    // What the cursor line shows at time t: "14:05:09   SV 25.0   PV 24.8"
    // (with the date when the view crosses midnight), "" with no point near.
    // Only shown traces are read out, a gap as "—"; with more than two, the
    // time stands on a line of its own and each pair of traces (a
    // controller's SV and PV) follows on a line of its own.
    QString readoutAt(double t) const;
    // The readout under a pixel column, as the cursor shows it ("" when out of the plot).
    QString cursorReadout() const { return m_cursorText; }

    // ---- export (each writes its file whole or not at all) ----
    bool exportPng(const std::string& path, std::string* error);
    bool exportPdf(const std::string& path, std::string* error);
    // The points in the view, or all of them, as the data log writes them:
    // with one or two traces the one-controller log (header, "month/day/year,
    // HH:MM:SS, SV, PV"); with more, the several-controller log, each pair of
    // traces (shown or not) one controller, named by the traces' names ("SV
    // stage-A [1]", "PV stage-A [1]") or, when they name none, by its place,
    // and a pair with a gap in either trace written as a reading that did not come.
    std::string csvText(bool visibleOnly, const char* lineEnd) const;

signals:
    void liveChanged(bool live);
    void traceVisibilityChanged(int trace, bool visible);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void rebuildTraces();
    void applyColors();
    void setTraceColor(int trace, const QColor& color);
    // Puts the legend where setLegendShown says, and greys hidden traces' entries.
    void placeLegend();
    // The trace whose legend entry is at pos, or -1.
    int legendTraceAt(const QPoint& pos) const;
    double liveSpan() const;
    void setLive(bool live);
    // Sets the time range without leaving live.
    void setViewRange(double t0, double t1);
    // Marks the drawn points stale and queues a redraw.
    void refresh();
    // Decimates the points in view into the traces when they are stale (before each redraw).
    void drawPoints();
    void moveCursor(int x);
    double nowOrNext() const;

    QString m_names;
    QString m_colors;
    int m_pointsPerScreen = 100;
    double m_xIncrement = 1.0;
    bool m_autoY = false;
    QCPRange m_operatorY{0, 100};
    bool m_live = true;
    bool m_capped = true;
    bool m_dirty = true;
    bool m_ownTraces = false;     // set by setTraces: the panel file's names and colours are not shown
    bool m_legendActive = false;  // set by setLegendShown: placed by trace count, clickable
    std::function<double()> m_now;
    std::vector<double> m_t;               // time of each point, ascending
    std::vector<std::vector<double>> m_v;  // values per trace
    std::vector<TraceBlocks> m_blocks;     // block summaries per trace, for decimating wide views
    // Mouse state: a drag scrolling the time, or a rubber band.
    enum class Drag { None, Scroll, Band } m_drag = Drag::None;
    QPoint m_pressAt;
    QCPRange m_pressRange;
    QRubberBand* m_band = nullptr;
    QCPItemStraightLine* m_cursorLine = nullptr;
    QCPItemText* m_cursorLabel = nullptr;
    QCPItemText* m_lookingBack = nullptr;
    QString m_cursorText;
    int m_cursorX = -1;
};

// A graph of lines, its axes always spanning every line with a margin.
class Graph final : public QCustomPlot {
    Q_OBJECT
    Q_PROPERTY(QString yLabel READ yLabel WRITE setYLabel)
    Q_PROPERTY(QString xLabel READ xLabel WRITE setXLabel)
public:
    explicit Graph(QWidget* parent = nullptr);
    QString yLabel() const { return yAxis->label(); }
    void setYLabel(const QString& s) { yAxis->setLabel(s); }
    QString xLabel() const { return xAxis->label(); }
    void setXLabel(const QString& s) { xAxis->setLabel(s); }

    // Returns the new line's handle (> 0).
    int addLine(double x1, double y1, double x2, double y2, QColor color);
    // False when there is no such line.
    bool removeLine(int handle);
    void removeAll();
    int lineCount() const { return static_cast<int>(m_lines.size()); }

private:
    void rescale();

    std::map<int, QCPItemLine*> m_lines;
    int m_nextHandle = 1;
};

} // namespace rt
