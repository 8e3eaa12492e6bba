#include "rt/widgets.h"

#include <QAccessible>
#include <QLineEdit>
#include <QPainter>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace rt {

// ---------------------------------------------------------------- Led

Led::Led(QWidget* parent) : QWidget(parent)
{
    setAccessibleDescription(QStringLiteral("off"));
    setMinimumSize(10, 10);
}

void Led::setOnColor(const QColor& c)
{
    if (c.isValid())
        m_onColor = c;
    update();
}

void Led::setOn(bool on)
{
    if (on == m_on)
        return;
    m_on = on;
    setAccessibleDescription(on ? QStringLiteral("on") : QStringLiteral("off"));
    update();
}

void Led::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int d = std::max(4, std::min(width(), height()) - 2);
    const QRectF r((width() - d) / 2.0, (height() - d) / 2.0, d, d);
    const QColor fill = m_on ? m_onColor : QColor(0x50, 0x50, 0x50);
    QRadialGradient g(r.center() - QPointF(d / 6.0, d / 6.0), d / 1.5);
    g.setColorAt(0, fill.lighter(m_on ? 150 : 120));
    g.setColorAt(1, fill);
    p.setBrush(g);
    p.setPen(QPen(QColor(0x20, 0x20, 0x20), 1));
    p.drawEllipse(r);
}

// ---------------------------------------------------------------- Numeric

Numeric::Numeric(QWidget* parent) : QDoubleSpinBox(parent)
{
    // The text is always C-locale ("25.5"), whatever the desktop's locale.
    setLocale(QLocale::c());
    QDoubleSpinBox::setDecimals(kStoredDecimals);
    setRange(-1e9, 1e9);
    setKeyboardTracking(false);
    setAccelerated(true);
}

void Numeric::setPrecision(int digits)
{
    m_precision = std::clamp(digits, 0, kStoredDecimals);
    refreshText();
}

void Numeric::setHexDisplay(bool on)
{
    m_hex = on;
    refreshText();
}

void Numeric::refreshText()
{
    // The stored value must not pass through the shorter text, so the text
    // is replaced without the spin box re-reading it.
    QLineEdit* edit = lineEdit();
    const QSignalBlocker block(edit);
    edit->setText(prefix() + textFromValue(value()) + suffix());
    updateGeometry();
}

QString Numeric::stripAffixes(const QString& text) const
{
    QString t = text;
    if (!prefix().isEmpty() && t.startsWith(prefix()))
        t.remove(0, prefix().size());
    if (!suffix().isEmpty() && t.endsWith(suffix()))
        t.chop(suffix().size());
    return t.trimmed();
}

QString Numeric::textFromValue(double value) const
{
    if (m_hex) {
        long long v = std::llround(value);
        if (v < 0)
            v &= 0xFFFF;
        return QString::number(v, 16).toUpper();
    }
    return QString::number(value, 'f', m_precision);
}

double Numeric::valueFromText(const QString& text) const
{
    const QString t = stripAffixes(text);
    // The text shown for the current value stands for the value itself at
    // full precision: leaving the field must not round it to what is shown.
    if (t == textFromValue(value()))
        return value();
    if (m_hex) {
        bool ok = false;
        long long v = t.toLongLong(&ok, 16);
        if (!ok)
            return value();
        if (v > maximum() && minimum() < 0 && v <= 0xFFFF)
            v -= 0x10000;
        return static_cast<double>(v);
    }
    bool ok = false;
    const double v = t.toDouble(&ok);
    return ok ? v : value();
}

QValidator::State Numeric::validate(QString& text, int& pos) const
{
    if (!m_hex)
        return QDoubleSpinBox::validate(text, pos);
    const QString t = stripAffixes(text);
    if (t.isEmpty())
        return QValidator::Intermediate;
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{1,4}$"));
    if (!hex.match(t).hasMatch())
        return QValidator::Invalid;
    const double v = valueFromText(text);
    return (v >= minimum() && v <= maximum()) ? QValidator::Acceptable : QValidator::Intermediate;
}

// ---------------------------------------------------------------- SpinBox

QString SpinBox::textFromValue(int value) const
{
    // Byte fields in base 16 read as bytes: "03", "FE".
    if (displayIntegerBase() == 16 && value >= 0 && minimum() >= 0 && maximum() <= 0xFF)
        return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
    return QSpinBox::textFromValue(value).toUpper();
}

// ---------------------------------------------------------------- TimerControl

TimerControl::TimerControl(QWidget* parent) : QWidget(parent)
{
    QWidget::setVisible(false);
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &TimerControl::tick);
}

void TimerControl::setInterval(double seconds)
{
    m_interval = seconds;
    m_timer.setInterval(std::max(1, static_cast<int>(std::lround(seconds * 1000.0))));
}

void TimerControl::setTimerEnabled(bool on)
{
    if (on && !m_timer.isActive())
        m_timer.start();
    else if (!on)
        m_timer.stop();
}

// ---------------------------------------------------------------- StripChart

StripChart::StripChart(QWidget* parent) : QCustomPlot(parent)
{
    xAxis->setLabel(QStringLiteral("Time (s)"));
    yAxis->setLabel(QStringLiteral("Temperature"));
    yAxis->setRange(0, 100);
    legend->setVisible(true);
    setNotAntialiasedElements(QCP::aeAll);
    setPlottingHint(QCP::phCacheLabels, true);
    scrollToEnd();
}

void StripChart::setTraceNames(const QString& names)
{
    m_names = names;
    rebuildTraces();
}

void StripChart::setTraceColors(const QString& colors)
{
    m_colors = colors;
    applyColors();
}

void StripChart::rebuildTraces()
{
    clearGraphs();
    const QStringList names = m_names.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString& n : names) {
        QCPGraph* g = addGraph();
        g->setName(n.trimmed());
        g->setAdaptiveSampling(true);
    }
    m_next = 0;
    applyColors();
    scrollToEnd();
}

void StripChart::applyColors()
{
    static const QColor defaults[] = {QColor(0xff, 0xd0, 0x00), QColor(0x00, 0xc8, 0x53), QColor(0x29, 0x79, 0xff),
                                      QColor(0xd5, 0x00, 0x00)};
    const QStringList colors = m_colors.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (int k = 0; k < graphCount(); ++k) {
        QColor c = k < colors.size() ? QColor(colors[k].trimmed()) : QColor();
        if (!c.isValid())
            c = defaults[k % 4];
        // A cosmetic one-pixel pen: the raster engine draws it as plain
        // lines, where a wider pen is stroked as polygons, which a day of
        // noisy points (every pixel column a tall zig-zag) makes very slow.
        QPen pen(c, 1);
        pen.setCosmetic(true);
        graph(k)->setPen(pen);
    }
    replot(rpQueuedReplot);
}

bool StripChart::setPointsPerScreen(int points)
{
    if (!StripChartSpanShowable(points))
        return false;
    m_pointsPerScreen = points;
    scrollToEnd();
    return true;
}

bool StripChart::setXIncrement(double increment)
{
    if (!(increment > 0) || !std::isfinite(increment))
        return false;
    if (increment != m_xIncrement) {
        // Point i sits at i * increment; move the points already held.
        const double ratio = increment / m_xIncrement;
        for (int k = 0; k < graphCount(); ++k) {
            auto data = graph(k)->data();
            for (auto it = data->begin(); it != data->end(); ++it)
                it->key *= ratio;
        }
        m_xIncrement = increment;
    }
    scrollToEnd();
    return true;
}

void StripChart::setYMin(double v)
{
    yAxis->setRangeLower(v);
    replot(rpQueuedReplot);
}

void StripChart::setYMax(double v)
{
    yAxis->setRangeUpper(v);
    replot(rpQueuedReplot);
}

bool StripChart::setYScaling(int mode, double min, double max)
{
    if (mode == 1) {
        m_autoY = true;
        scrollToEnd();
        return true;
    }
    if (mode != 0 || !StripChartRangeShowable(min, max))
        return false;
    m_autoY = false;
    yAxis->setRange(min, max);
    replot(rpQueuedReplot);
    return true;
}

void StripChart::addPoint(const std::vector<double>& values)
{
    const double x = static_cast<double>(m_next) * m_xIncrement;
    for (int k = 0; k < graphCount(); ++k) {
        const double v = k < static_cast<int>(values.size()) ? values[k] : 0.0;
        auto data = graph(k)->data();
        data->add(QCPGraphData(x, v));
        if (data->size() > kMaxPoints) {
            const int drop = data->size() - kMaxPoints + kDropChunk;
            data->removeBefore((data->constBegin() + drop)->key);
        }
    }
    ++m_next;
    scrollToEnd();
}

void StripChart::clearPoints()
{
    for (int k = 0; k < graphCount(); ++k)
        graph(k)->data()->clear();
    m_next = 0;
    scrollToEnd();
}

int StripChart::pointCount() const
{
    return graphCount() > 0 ? graph(0)->data()->size() : 0;
}

void StripChart::scrollToEnd()
{
    const long long first = std::max<long long>(0, m_next - m_pointsPerScreen);
    const double span = std::max(1, m_pointsPerScreen - 1) * m_xIncrement;
    xAxis->setRange(static_cast<double>(first) * m_xIncrement, static_cast<double>(first) * m_xIncrement + span);
    if (m_autoY && graphCount() > 0) {
        bool found = false;
        QCPRange all;
        for (int k = 0; k < graphCount(); ++k) {
            bool ok = false;
            const QCPRange r = graph(k)->getValueRange(ok, QCP::sdBoth, xAxis->range());
            if (ok) {
                all = found ? QCPRange(std::min(all.lower, r.lower), std::max(all.upper, r.upper)) : r;
                found = true;
            }
        }
        if (found) {
            const double margin = std::max(0.05 * all.size(), 0.5);
            yAxis->setRange(all.lower - margin, all.upper + margin);
        }
    }
    replot(rpQueuedReplot);
}

// ---------------------------------------------------------------- Graph

Graph::Graph(QWidget* parent) : QCustomPlot(parent)
{
    xAxis->setRange(0, 1);
    yAxis->setRange(0, 1);
    // The band lines are yellow, red, cyan and magenta: they read on a dark
    // plotting area, not on white.
    axisRect()->setBackground(QBrush(QColor(28, 32, 38)));
    const QPen grid(QColor(78, 84, 92), 0, Qt::DotLine);
    xAxis->grid()->setPen(grid);
    yAxis->grid()->setPen(grid);
    xAxis->grid()->setZeroLinePen(QPen(QColor(110, 116, 124), 0));
    yAxis->grid()->setZeroLinePen(QPen(QColor(110, 116, 124), 0));
}

int Graph::addLine(double x1, double y1, double x2, double y2, QColor color)
{
    auto* line = new QCPItemLine(this);
    line->start->setCoords(x1, y1);
    line->end->setCoords(x2, y2);
    line->setPen(QPen(color, 2.0));
    const int handle = m_nextHandle++;
    m_lines[handle] = line;
    rescale();
    return handle;
}

bool Graph::removeLine(int handle)
{
    auto it = m_lines.find(handle);
    if (it == m_lines.end())
        return false;
    removeItem(it->second);
    m_lines.erase(it);
    rescale();
    return true;
}

void Graph::removeAll()
{
    for (auto& [handle, line] : m_lines)
        removeItem(line);
    m_lines.clear();
    rescale();
}

void Graph::rescale()
{
    if (!m_lines.empty()) {
        double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
        for (auto& [handle, line] : m_lines) {
            for (QCPItemPosition* p : {line->start, line->end}) {
                x0 = std::min(x0, p->coords().x());
                x1 = std::max(x1, p->coords().x());
                y0 = std::min(y0, p->coords().y());
                y1 = std::max(y1, p->coords().y());
            }
        }
        const double mx = std::max(0.1 * (x1 - x0), 1.0);
        const double my = std::max(0.1 * (y1 - y0), 1.0);
        xAxis->setRange(x0 - mx, x1 + mx);
        yAxis->setRange(y0 - my, y1 + my);
    }
    replot(rpQueuedReplot);
}

} // namespace rt
