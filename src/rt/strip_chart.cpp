// The strip chart: live traces on a time axis, zoom, cursor readout, export.
#include "rt/widgets.h"

#include "formats/chart_axis.h"
#include "formats/log_format.h"
#include "formats/log_reader.h"
#include "rt/files.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QRubberBand>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>

namespace rt {

// ---------------------------------------------------------------- StripChart

namespace {

// Ticks on round steps of local time, labelled by rt::TimeTicks.
class TimeAxisTicker final : public QCPAxisTicker {
public:
    explicit TimeAxisTicker(std::function<int()> maxTicks) : m_maxTicks(std::move(maxTicks)) {}
    void generate(const QCPRange& range, const QLocale&, QChar, int, QVector<double>& ticks, QVector<double>* subTicks,
                  QVector<QString>* tickLabels) override
    {
        ticks.clear();
        if (subTicks)
            subTicks->clear();
        if (tickLabels)
            tickLabels->clear();
        for (const TimeTick& t : TimeTicks(range.lower, range.upper, m_maxTicks())) {
            ticks.push_back(t.t);
            if (tickLabels)
                tickLabels->push_back(QString::fromStdString(t.label));
        }
    }

private:
    std::function<int()> m_maxTicks;
};

QString ValueText(double v)
{
    return std::isfinite(v) ? QString::number(v, 'f', 1) : QStringLiteral("\u2014");
}

} // namespace

StripChart::StripChart(QWidget* parent) : QCustomPlot(parent)
{
    xAxis->setLabel(QStringLiteral("Time"));
    yAxis->setLabel(QStringLiteral("Temperature"));
    yAxis->setRange(0, 100);
    xAxis->setTicker(QSharedPointer<QCPAxisTicker>(
        new TimeAxisTicker([this] { return std::clamp(xAxis->axisRect()->width() / 95, 2, 16); })));
    legend->setVisible(true);
    // The readout and the looking-back note take the top corners.
    axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignBottom | Qt::AlignRight);
    setNotAntialiasedElements(QCP::aeAll);
    setPlottingHint(QCP::phCacheLabels, true);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAccessibleDescription(QStringLiteral("Drag to scroll, wheel to zoom (Ctrl: Y axis), Shift-drag to zoom to a "
                                            "box, double-click to restore the Y scale; End returns to live."));

    const QPen cursorPen(QColor(0x60, 0x60, 0x60), 0, Qt::DashLine);
    m_cursorLine = new QCPItemStraightLine(this);
    m_cursorLine->setPen(cursorPen);
    m_cursorLine->setVisible(false);
    m_cursorLabel = new QCPItemText(this);
    m_cursorLabel->setPositionAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_cursorLabel->position->setType(QCPItemPosition::ptAxisRectRatio);
    m_cursorLabel->position->setCoords(0.01, 0.01);
    m_cursorLabel->setPadding(QMargins(4, 2, 4, 2));
    m_cursorLabel->setTextAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_cursorLabel->setBrush(QBrush(QColor(255, 255, 255, 230)));
    m_cursorLabel->setPen(QPen(QColor(0x90, 0x90, 0x90)));
    m_cursorLabel->setVisible(false);

    m_lookingBack = new QCPItemText(this);
    m_lookingBack->setPositionAlignment(Qt::AlignRight | Qt::AlignTop);
    m_lookingBack->position->setType(QCPItemPosition::ptAxisRectRatio);
    m_lookingBack->position->setCoords(0.99, 0.01);
    m_lookingBack->setPadding(QMargins(4, 2, 4, 2));
    m_lookingBack->setBrush(QBrush(QColor(0xff, 0xf3, 0xc4, 235)));
    m_lookingBack->setPen(QPen(QColor(0xc0, 0x90, 0x00)));
    m_lookingBack->setText(QStringLiteral("Looking back: Live (End) follows the newest point"));
    m_lookingBack->setVisible(false);
    // The readout and the note stand above the traces, however many are added later.
    addLayer(QStringLiteral("notes"), layer(QStringLiteral("main")), limAbove);
    m_cursorLabel->setLayer(QStringLiteral("notes"));
    m_lookingBack->setLayer(QStringLiteral("notes"));

    connect(xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this, [this] { refresh(); });
    // Points are decimated for the view once per redraw, however many arrived since.
    connect(this, &QCustomPlot::beforeReplot, this, &StripChart::drawPoints);
    setViewRange(nowOrNext(), nowOrNext() + liveSpan());
}

void StripChart::setTraceNames(const QString& names)
{
    m_names = names;
    rebuildTraces();
}

void StripChart::setTraceColors(const QString& colors)
{
    m_colors = colors;
    if (!m_ownTraces)
        applyColors();
}

void StripChart::rebuildTraces()
{
    clearGraphs();
    const QStringList names = m_names.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString& n : names) {
        QCPGraph* g = addGraph();
        g->setName(n.trimmed());
        g->setAdaptiveSampling(false);  // the points handed over are decimated already
    }
    m_t.clear();
    m_v.assign(static_cast<std::size_t>(graphCount()), {});
    m_blocks.assign(static_cast<std::size_t>(graphCount()), {});
    m_ownTraces = false;
    applyColors();
    placeLegend();
    followLive();
}

namespace {
// The colour of a trace's place when none is given: the panel file's four,
// then more that stay apart on a white plot.
QColor DefaultTraceColor(int k)
{
    static const QColor defaults[] = {QColor(0xff, 0xd0, 0x00), QColor(0x00, 0xc8, 0x53), QColor(0x29, 0x79, 0xff),
                                      QColor(0xd5, 0x00, 0x00), QColor(0x8e, 0x24, 0xaa), QColor(0x00, 0x97, 0xa7),
                                      QColor(0xef, 0x6c, 0x00), QColor(0x6d, 0x4c, 0x41)};
    return defaults[static_cast<std::size_t>(k) % std::size(defaults)];
}
} // namespace

void StripChart::applyColors()
{
    const QStringList colors = m_colors.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (int k = 0; k < graphCount(); ++k) {
        QColor c = k < colors.size() ? QColor(colors[k].trimmed()) : QColor();
        setTraceColor(k, c.isValid() ? c : DefaultTraceColor(k));
    }
    replot(rpQueuedReplot);
}

void StripChart::setTraceColor(int k, const QColor& c)
{
    // A cosmetic one-pixel pen: the raster engine draws it as plain
    // lines, where a wider pen is stroked as polygons, which a day of
    // noisy points (every pixel column a tall zig-zag) makes very slow.
    QPen pen(c, 1);
    pen.setCosmetic(true);
    graph(k)->setPen(pen);
}

bool StripChart::setTraces(const QStringList& names, const std::vector<QColor>& colors)
{
    QStringList given;
    for (const QString& n : names) {
        const QString name = n.trimmed();
        if (name.isEmpty() || given.contains(name))
            return false;
        given.push_back(name);
    }
    if (given.isEmpty())
        return false;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<std::vector<double>> values;
    std::vector<TraceBlocks> blocks;
    std::vector<bool> shown;
    for (int k = 0; k < given.size(); ++k) {
        int was = -1;
        for (int j = 0; j < graphCount(); ++j)
            if (graph(j)->name() == given[k])
                was = j;
        if (was >= 0) {
            values.push_back(std::move(m_v[static_cast<std::size_t>(was)]));
            blocks.push_back(std::move(m_blocks[static_cast<std::size_t>(was)]));
            shown.push_back(graph(was)->visible());
        } else {
            values.emplace_back(m_t.size(), nan);
            blocks.emplace_back();
            shown.push_back(true);
        }
    }
    clearGraphs();
    for (int k = 0; k < given.size(); ++k) {
        QCPGraph* g = addGraph();
        g->setName(given[k]);
        g->setAdaptiveSampling(false);  // the points handed over are decimated already
        g->setVisible(shown[static_cast<std::size_t>(k)]);
        const std::size_t at = static_cast<std::size_t>(k);
        setTraceColor(k, at < colors.size() && colors[at].isValid() ? colors[at] : DefaultTraceColor(k));
    }
    m_v = std::move(values);
    m_blocks = std::move(blocks);
    m_ownTraces = true;
    placeLegend();
    refresh();
    return true;
}

QStringList StripChart::traceNameList() const
{
    QStringList names;
    for (int k = 0; k < graphCount(); ++k)
        names.push_back(graph(k)->name());
    return names;
}

std::vector<QColor> StripChart::traceColorList() const
{
    std::vector<QColor> colors;
    for (int k = 0; k < graphCount(); ++k)
        colors.push_back(graph(k)->pen().color());
    return colors;
}

bool StripChart::isTraceVisible(int trace) const
{
    return trace >= 0 && trace < graphCount() && graph(trace)->visible();
}

void StripChart::setTraceVisible(int trace, bool visible)
{
    if (trace < 0 || trace >= graphCount() || graph(trace)->visible() == visible)
        return;
    graph(trace)->setVisible(visible);
    placeLegend();
    refresh();
    emit traceVisibilityChanged(trace, visible);
}

void StripChart::setLegendShown(bool shown)
{
    m_legendActive = true;
    legend->setVisible(shown);
    placeLegend();
    replot(rpQueuedReplot);
}

void StripChart::placeLegend()
{
    for (int k = 0; k < graphCount(); ++k)
        if (QCPPlottableLegendItem* item = legend->itemWithPlottable(graph(k)))
            item->setTextColor(graph(k)->visible() ? QColor(Qt::black) : QColor(0xa0, 0xa0, 0xa0));
    // Many traces would cover the plot from its corner: the legend then takes
    // a row of its own under the plot, four entries wide.
    const bool below = m_legendActive && legend->visible() && graphCount() > 2;
    const bool isBelow = plotLayout()->hasElement(1, 0) && plotLayout()->element(1, 0) == legend;
    if (below == isBelow)
        return;
    if (below) {
        axisRect()->insetLayout()->take(legend);
        plotLayout()->addElement(1, 0, legend);
        plotLayout()->setRowStretchFactor(1, 0.001);
        legend->setWrap(4);
        legend->setFillOrder(QCPLegend::foColumnsFirst, true);
    } else {
        plotLayout()->take(legend);
        plotLayout()->simplify();
        legend->setWrap(0);
        legend->setFillOrder(QCPLegend::foRowsFirst, true);
        axisRect()->insetLayout()->addElement(legend, Qt::AlignBottom | Qt::AlignRight);
    }
}

int StripChart::legendTraceAt(const QPoint& pos) const
{
    if (!m_legendActive || !legend->visible())
        return -1;
    for (int k = 0; k < graphCount(); ++k)
        if (QCPPlottableLegendItem* item = legend->itemWithPlottable(graph(k)))
            if (item->realVisibility() && item->outerRect().contains(pos))
                return k;
    return -1;
}

bool StripChart::setPointsPerScreen(int points)
{
    if (!StripChartSpanShowable(points))
        return false;
    m_pointsPerScreen = points;
    if (m_live)
        followLive();
    return true;
}

bool StripChart::setXIncrement(double increment)
{
    if (!(increment > 0) || !std::isfinite(increment))
        return false;
    m_xIncrement = increment;
    if (m_live)
        followLive();
    return true;
}

void StripChart::setYMin(double v)
{
    yAxis->setRangeLower(v);
    m_operatorY = yAxis->range();
    replot(rpQueuedReplot);
}

void StripChart::setYMax(double v)
{
    yAxis->setRangeUpper(v);
    m_operatorY = yAxis->range();
    replot(rpQueuedReplot);
}

bool StripChart::setYScaling(int mode, double min, double max)
{
    if (mode == 1) {
        m_autoY = true;
        refresh();
        return true;
    }
    if (mode != 0 || !StripChartRangeShowable(min, max))
        return false;
    m_autoY = false;
    m_operatorY = QCPRange(min, max);
    yAxis->setRange(min, max);
    replot(rpQueuedReplot);
    return true;
}

double StripChart::nowOrNext() const
{
    if (m_now)
        return m_now();
    return m_t.empty() ? 0.0 : m_t.back() + m_xIncrement;
}

double StripChart::liveSpan() const
{
    return std::max(1, m_pointsPerScreen - 1) * m_xIncrement;
}

void StripChart::addPoint(const std::vector<double>& values)
{
    addPoint(values, nowOrNext());
}

void StripChart::addPoint(const std::vector<double>& values, double t)
{
    if (!std::isfinite(t))
        t = nowOrNext();
    if (!m_t.empty() && t < m_t.back())
        t = m_t.back();
    const bool wasVisible = !m_t.empty() && m_t.back() <= xAxis->range().upper;
    m_t.push_back(t);
    for (std::size_t k = 0; k < m_v.size(); ++k)
        m_v[k].push_back(k < values.size() ? values[k] : 0.0);
    if (m_capped && m_t.size() > static_cast<std::size_t>(kKeepPoints + kDropChunk)) {
        const auto drop = static_cast<std::ptrdiff_t>(m_t.size() - kKeepPoints);
        m_t.erase(m_t.begin(), m_t.begin() + drop);
        for (auto& v : m_v)
            v.erase(v.begin(), v.begin() + drop);
        for (auto& b : m_blocks)
            b.clear();
    }
    if (m_live)
        followLive();
    else if (wasVisible || m_t.size() == 1)
        refresh();  // the view stays; only a point it shows is drawn
}

void StripChart::clearPoints()
{
    m_t.clear();
    for (auto& v : m_v)
        v.clear();
    for (auto& b : m_blocks)
        b.clear();
    m_capped = true;
    followLive();
}

void StripChart::setPoints(std::vector<double> times, std::vector<std::vector<double>> values)
{
    m_t = std::move(times);
    values.resize(m_v.size());
    for (auto& v : values)
        v.resize(m_t.size(), std::numeric_limits<double>::quiet_NaN());  // no readings: a gap
    m_v = std::move(values);
    for (auto& b : m_blocks)
        b.clear();
    m_capped = false;
    showAll();
}

void StripChart::setLive(bool live)
{
    if (live == m_live)
        return;
    m_live = live;
    // A recorded run has no newest point to follow.
    m_lookingBack->setVisible(!live && m_capped);
    emit liveChanged(live);
}

void StripChart::followLive()
{
    setLive(true);
    const double span = liveSpan();
    double t0 = m_t.empty() ? nowOrNext() : m_t.front();
    if (!m_t.empty() && m_t.back() - t0 > span)
        t0 = m_t.back() - span;
    setViewRange(t0, t0 + span);
}

void StripChart::setViewRange(double t0, double t1)
{
    if (xAxis->range().lower == t0 && xAxis->range().upper == t1)
        refresh();
    else
        xAxis->setRange(t0, t1);  // refreshes through rangeChanged
}

void StripChart::showTimeRange(double t0, double t1)
{
    if (!std::isfinite(t0) || !std::isfinite(t1))
        return;
    if (t1 < t0)
        std::swap(t0, t1);
    const double span = std::clamp(t1 - t0, kMinSpan, kMaxSpan);
    const double mid = (t0 + t1) / 2;
    setLive(false);
    setViewRange(mid - span / 2, mid + span / 2);
}

void StripChart::showAll()
{
    if (m_t.empty()) {
        followLive();
        return;
    }
    const double span = std::max(m_t.back() - m_t.front(), kMinSpan);
    const double margin = span * 0.01;
    showTimeRange(m_t.front() - margin, m_t.front() + span + margin);
}

void StripChart::zoomTime(double factor, double at)
{
    const QCPRange r = xAxis->range();
    const double span = std::clamp(r.size() * factor, kMinSpan, kMaxSpan);
    const double share = r.size() > 0 ? (at - r.lower) / r.size() : 0.5;
    showTimeRange(at - share * span, at - share * span + span);
}

void StripChart::zoomY(double factor, double at)
{
    const QCPRange r = yAxis->range();
    const double lo = at - (at - r.lower) * factor;
    const double hi = at + (r.upper - at) * factor;
    if (hi - lo > 1e-3 && hi - lo < 1e7)
        yAxis->setRange(lo, hi);
    replot(rpQueuedReplot);
}

void StripChart::scrollTime(double seconds)
{
    const QCPRange r = xAxis->range();
    setLive(false);
    setViewRange(r.lower + seconds, r.upper + seconds);
}

void StripChart::restoreYScale()
{
    if (m_autoY)
        refresh();
    else
        yAxis->setRange(m_operatorY);
    replot(rpQueuedReplot);
}

void StripChart::refresh()
{
    m_dirty = true;
    replot(rpQueuedReplot);
}

void StripChart::drawPoints()
{
    if (!m_dirty)
        return;
    m_dirty = false;
    const QCPRange view = xAxis->range();
    const int columns = std::max(100, axisRect()->width() > 0 ? axisRect()->width() : width());
    // A pause longer than a few intervals is drawn as one.
    const double gap = 2.5 * m_xIncrement + 1.0;
    std::vector<DrawPoint> drawn;
    QVector<QCPGraphData> data;
    bool found = false;
    QCPRange fit;
    for (int k = 0; k < graphCount(); ++k) {
        if (!graph(k)->visible()) {
            graph(k)->data()->clear();  // drawn afresh when shown again
            continue;
        }
        const auto& v = m_v[static_cast<std::size_t>(k)];
        TraceBlocks& blocks = m_blocks[static_cast<std::size_t>(k)];
        blocks.update(m_t.data(), v.data(), m_t.size());
        DecimateMinMax(m_t.data(), v.data(), m_t.size(), view.lower, view.upper, columns, gap, &drawn, &blocks);
        data.resize(static_cast<int>(drawn.size()));
        for (std::size_t i = 0; i < drawn.size(); ++i) {
            data[static_cast<int>(i)] = QCPGraphData(drawn[i].t, drawn[i].v);
            if (m_autoY && std::isfinite(drawn[i].v) && drawn[i].t >= view.lower && drawn[i].t <= view.upper) {
                fit = found ? QCPRange(std::min(fit.lower, drawn[i].v), std::max(fit.upper, drawn[i].v))
                            : QCPRange(drawn[i].v, drawn[i].v);
                found = true;
            }
        }
        graph(k)->data()->set(data, true);
    }
    if (m_autoY && found) {
        const double margin = std::max(0.05 * fit.size(), 0.5);
        yAxis->setRange(fit.lower - margin, fit.upper + margin);
    }
    if (m_cursorX >= 0)
        moveCursor(m_cursorX);
}

QString StripChart::readoutAt(double t) const
{
    if (m_t.empty() || !std::isfinite(t))
        return {};
    auto it = std::lower_bound(m_t.begin(), m_t.end(), t);
    if (it == m_t.end() || (it != m_t.begin() && t - *(it - 1) < *it - t))
        --it;
    // Nothing near: the cursor is in a pause or beyond either end.
    if (std::abs(*it - t) > std::max(2.5 * m_xIncrement + 1.0, xAxis->range().size() / 200))
        return {};
    const std::size_t i = static_cast<std::size_t>(it - m_t.begin());
    const CivilTime c = CivilFromSeconds(m_t[i]);
    const QCPRange view = xAxis->range();
    QString text = QStringLiteral("%1:%2:%3")
                       .arg(c.hour, 2, 10, QLatin1Char('0'))
                       .arg(c.minute, 2, 10, QLatin1Char('0'))
                       .arg(c.second, 2, 10, QLatin1Char('0'));
    if (std::floor(view.lower / 86400) != std::floor(view.upper / 86400))
        text = QStringLiteral("%1-%2-%3 ")
                   .arg(c.year, 4, 10, QLatin1Char('0'))
                   .arg(c.month, 2, 10, QLatin1Char('0'))
                   .arg(c.day, 2, 10, QLatin1Char('0')) +
               text;
    // Two traces fit on the time's line; more stand under it, each pair
    // (a controller's SV and PV) on a line of its own.
    const bool lines = graphCount() > 2;
    for (int pair = 0; pair < graphCount(); pair += 2) {
        QString line;
        for (int k = pair; k < std::min(pair + 2, graphCount()); ++k)
            if (graph(k)->visible())
                line += QStringLiteral("%1%2 %3").arg(line.isEmpty() && lines ? QString() : QStringLiteral("   "),
                                                      graph(k)->name(),
                                                      ValueText(m_v[static_cast<std::size_t>(k)][i]));
        if (!line.isEmpty())
            text += (lines ? QStringLiteral("\n") : QString()) + line;
    }
    return text;
}

void StripChart::moveCursor(int x)
{
    m_cursorX = x;
    const QRect plot = axisRect()->rect();
    const bool inside = x >= plot.left() && x <= plot.right();
    const double t = xAxis->pixelToCoord(x);
    m_cursorText = inside ? readoutAt(t) : QString();
    m_cursorLine->setVisible(inside);
    m_cursorLine->point1->setCoords(t, 0);
    m_cursorLine->point2->setCoords(t, 1);
    m_cursorLabel->setVisible(!m_cursorText.isEmpty());
    m_cursorLabel->setText(m_cursorText);
}

void StripChart::mousePressEvent(QMouseEvent* event)
{
    setFocus(Qt::MouseFocusReason);
    if (event->button() != Qt::LeftButton) {
        QCustomPlot::mousePressEvent(event);
        return;
    }
    if (const int trace = legendTraceAt(event->pos()); trace >= 0) {
        setTraceVisible(trace, !isTraceVisible(trace));
        event->accept();
        return;
    }
    m_pressAt = event->pos();
    m_pressRange = xAxis->range();
    if (event->modifiers() & Qt::ShiftModifier) {
        m_drag = Drag::Band;
        if (!m_band)
            m_band = new QRubberBand(QRubberBand::Rectangle, this);
        m_band->setGeometry(QRect(m_pressAt, QSize()));
        m_band->show();
    } else {
        m_drag = Drag::Scroll;
        setCursor(Qt::ClosedHandCursor);
    }
}

void StripChart::mouseMoveEvent(QMouseEvent* event)
{
    if (m_drag == Drag::Scroll) {
        const double perPixel = m_pressRange.size() / std::max(1, axisRect()->width());
        const double shift = -(event->pos().x() - m_pressAt.x()) * perPixel;
        setLive(false);
        setViewRange(m_pressRange.lower + shift, m_pressRange.upper + shift);
    } else if (m_drag == Drag::Band) {
        m_band->setGeometry(QRect(m_pressAt, event->pos()).normalized());
    }
    moveCursor(event->pos().x());
    replot(rpQueuedReplot);
}

void StripChart::mouseReleaseEvent(QMouseEvent* event)
{
    if (m_drag == Drag::Band) {
        m_band->hide();
        const QRect r = QRect(m_pressAt, event->pos()).normalized();
        // A click or a sliver is no box to zoom to.
        if (r.width() >= 4 && r.height() >= 4) {
            const double y0 = yAxis->pixelToCoord(r.bottom());
            const double y1 = yAxis->pixelToCoord(r.top());
            showTimeRange(xAxis->pixelToCoord(r.left()), xAxis->pixelToCoord(r.right()));
            yAxis->setRange(y0, y1);
        }
    }
    if (m_drag != Drag::None)
        unsetCursor();
    m_drag = Drag::None;
    replot(rpQueuedReplot);
}

void StripChart::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        restoreYScale();
}

void StripChart::wheelEvent(QWheelEvent* event)
{
    const double steps = event->angleDelta().y() / 120.0;
    if (steps == 0)
        return;
    const double factor = std::pow(0.8, steps);
    const QPointF at = event->position();
    if (event->modifiers() & Qt::ControlModifier)
        zoomY(factor, yAxis->pixelToCoord(at.y()));
    else
        zoomTime(factor, xAxis->pixelToCoord(at.x()));
    event->accept();
}

void StripChart::keyPressEvent(QKeyEvent* event)
{
    const QCPRange r = xAxis->range();
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    switch (event->key()) {
    case Qt::Key_Left:
        scrollTime(-r.size() / 10);
        break;
    case Qt::Key_Right:
        scrollTime(r.size() / 10);
        break;
    case Qt::Key_PageUp:
        scrollTime(-r.size());
        break;
    case Qt::Key_PageDown:
        scrollTime(r.size());
        break;
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        ctrl ? zoomY(0.8, yAxis->range().center()) : zoomTime(0.8, r.center());
        break;
    case Qt::Key_Minus:
        ctrl ? zoomY(1.25, yAxis->range().center()) : zoomTime(1.25, r.center());
        break;
    case Qt::Key_Home:
        showAll();
        break;
    case Qt::Key_End:
        followLive();
        break;
    case Qt::Key_Y:
        restoreYScale();
        break;
    default:
        QCustomPlot::keyPressEvent(event);
        return;
    }
    event->accept();
}

void StripChart::leaveEvent(QEvent* event)
{
    m_cursorX = -1;
    m_cursorText.clear();
    m_cursorLine->setVisible(false);
    m_cursorLabel->setVisible(false);
    replot(rpQueuedReplot);
    QCustomPlot::leaveEvent(event);
}

void StripChart::resizeEvent(QResizeEvent* event)
{
    QCustomPlot::resizeEvent(event);
    refresh();
}

} // namespace rt
