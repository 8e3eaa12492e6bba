// The run-time's own control widgets, created by the panel loader for the
// class names the panel files use: Led, Numeric, TimerControl, StripChart and
// Graph. Their Q_PROPERTYs are what the panel files set.
#pragma once

#include "rt/chart_limits.h"

#include <QColor>
#include <QDoubleSpinBox>
#include <QSpinBox>
#include <QTimer>
#include <QWidget>

#include <qcustomplot.h>

#include <map>
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
public:
    static constexpr int kStoredDecimals = 6;
    explicit Numeric(QWidget* parent = nullptr);
    int precision() const { return m_precision; }
    void setPrecision(int digits);
    bool hexDisplay() const { return m_hex; }
    void setHexDisplay(bool on);

    QString textFromValue(double value) const override;
    double valueFromText(const QString& text) const override;
    QValidator::State validate(QString& text, int& pos) const override;

private:
    void refreshText();
    QString stripAffixes(const QString& text) const;

    int m_precision = 2;
    bool m_hex = false;
};

// An integer field; in base 16 it shows upper-case digits ("FF"), as the
// controller's documentation writes them.
class SpinBox final : public QSpinBox {
    Q_OBJECT
public:
    using QSpinBox::QSpinBox;
    QString textFromValue(int value) const override;
};

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
    void setVisible(bool) override { QWidget::setVisible(false); }

signals:
    void tick();

private:
    QTimer m_timer;
    double m_interval = 1.0;
};

// A strip chart: one trace per name, point i of every trace at X = i * the X
// increment, showing the last `pointsPerScreen` points. It holds at most
// kMaxPoints per trace, dropping the oldest in chunks so long runs keep a flat
// memory footprint.
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
    static constexpr int kMaxPoints = kStripChartMaxPoints;
    static constexpr int kDropChunk = 20000;

    explicit StripChart(QWidget* parent = nullptr);
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

    int traceCount() const { return graphCount(); }
    // Adds one point to every trace (values[k] for trace k; missing values repeat 0).
    void addPoint(const std::vector<double>& values);
    void clearPoints();
    int pointCount() const;
    long long totalPoints() const { return m_next; }
    // Manual (0) Y range, or automatic (1) to fit the visible points. False on
    // a range the chart cannot show (StripChartRangeShowable).
    bool setYScaling(int mode, double min, double max);
    int yScalingMode() const { return m_autoY ? 1 : 0; }

private:
    void rebuildTraces();
    void applyColors();
    void scrollToEnd();

    QString m_names;
    QString m_colors;
    int m_pointsPerScreen = 100;
    double m_xIncrement = 1.0;
    long long m_next = 0;  // index of the next point
    bool m_autoY = false;
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
