// Runtime: events, popups, charts, time.
#include "rt/end_request.h"
#include "rt/log_viewer.h"
#include "rt/runtime_impl.h"
#include "rt/widgets.h"

#include <QAbstractButton>
#include <QLoggingCategory>
#include <QDateTime>
#include <QEventLoop>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <limits>
#include <type_traits>

namespace rt {

// ---------------------------------------------------------------- events

int Runtime::FireEvent(int panel, int control, int event)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    return m_impl->dispatch(c, event, false);
}

int Runtime::Commit(int panel, int control, double value)
{
    const int r = SetCtrlVal(panel, control, value);
    if (r < 0)
        return r;
    return FireEvent(panel, control, EVENT_COMMIT);
}

int Runtime::Commit(int panel, int control, int value)
{
    return Commit(panel, control, static_cast<double>(value));
}

int Runtime::Commit(int panel, int control)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    // A click on a switch toggles it before its callback runs.
    if (auto* b = qobject_cast<QAbstractButton*>(c->widget.data()); b && b->isCheckable()) {
        const QSignalBlocker block(b);
        b->setChecked(!b->isChecked());
    }
    return m_impl->dispatch(c, EVENT_COMMIT, false);
}

int Runtime::Tick(int panel, int control)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    return m_impl->dispatch(c, EVENT_TIMER_TICK, false);
}

void Runtime::SetTickGate(std::function<bool()> ticksMayRun)
{
    m_impl->tickGate = std::move(ticksMayRun);
}

void Runtime::ResumeTicks()
{
    m_impl->postTickRelease();
}

int Runtime::RunUserInterface()
{
    if (m_impl->quitRequested)
        return m_impl->quitCode;
    QEventLoop loop;
    m_impl->loop = &loop;
    loop.exec();
    m_impl->loop = nullptr;
    return m_impl->quitCode;
}

void Runtime::QuitUserInterface(int code)
{
    m_impl->quitRequested = true;
    m_impl->quitCode = code;
    if (m_impl->loop)
        m_impl->loop->exit(code);
}

bool Runtime::quitRequested() const
{
    return m_impl->quitRequested;
}

void Runtime::EndFromOutside(int code)
{
    m_impl->ending = true;
    QuitUserInterface(code);
    if (m_impl->modalDepth > 0)
        m_op.dismiss();
}

bool Runtime::ending() const
{
    return m_impl->ending || EndRequested();
}

// ---------------------------------------------------------------- popups

namespace {
struct DepthScope {
    explicit DepthScope(Runtime::Impl& impl) : m_impl(impl)
    {
        ++m_impl.modalDepth;
        m_impl.postTickRelease();
    }
    ~DepthScope()
    {
        --m_impl.modalDepth;
        m_impl.afterHold();
    }
    Runtime::Impl& m_impl;
};
} // namespace

// Every popup by its title, off by default: what an unattended program asked
// its operator can be followed without a screen.
Q_LOGGING_CATEGORY(lcPopup, "tecontrol.popup", QtWarningMsg)

void Runtime::MessagePopup(const std::string& title, const std::string& text)
{
    if (ending())
        return;
    qCDebug(lcPopup).noquote() << "message:" << QString::fromStdString(title);
    DepthScope modal(*m_impl);
    m_op.message(title, text);
}

void Runtime::MessagePopup(const std::string& title, const std::string& text, const std::string& informative)
{
    if (ending())
        return;
    qCDebug(lcPopup).noquote() << "message:" << QString::fromStdString(title);
    DepthScope modal(*m_impl);
    if (informative.empty())
        m_op.message(title, text);
    else
        m_op.messageWithInfo(title, text, informative);
}

int Runtime::GenericMessagePopup(const GenericPopup& popup)
{
    if (ending())
        return popup.escapeButton;
    qCDebug(lcPopup).noquote() << "question:" << QString::fromStdString(popup.title);
    DepthScope modal(*m_impl);
    const int answer = m_op.generic(popup);
    // A question dismissed because the program ends was not answered.
    return ending() ? popup.escapeButton : answer;
}

int Runtime::FileSelectPopup(const FileSelect& request, std::string* path)
{
    if (ending())
        return 0;
    qCDebug(lcPopup).noquote() << "file dialog:" << QString::fromStdString(request.title);
    DepthScope modal(*m_impl);
    std::string chosen;
    const int r = m_op.fileSelect(request, &chosen);
    if (ending())
        return 0;
    if (r > 0 && path)
        *path = chosen;
    return r;
}

// ---------------------------------------------------------------- strip chart and graph

namespace {
template <class T>
T* widgetAs(const Runtime::Impl& impl, int panel, int control, int* err)
{
    const auto c = impl.control(panel, control);
    if (!c) {
        *err = RT_ERR_BAD_HANDLE;
        return nullptr;
    }
    T* w = qobject_cast<T*>(c->widget.data());
    if (!w)
        *err = RT_ERR_BAD_ARGUMENT;
    return w;
}
} // namespace

int Runtime::PlotStripChart(int panel, int control, const void* array, int numberOfPoints, int startingIndex,
                            int skipCount, int dataType)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    const int traces = chart->traceCount();
    if (!array || traces == 0 || numberOfPoints < traces || startingIndex < 0 || skipCount < 0 ||
        (dataType != VAL_FLOAT && dataType != VAL_DOUBLE))
        return RT_ERR_BAD_ARGUMENT;
    std::vector<double> point(static_cast<std::size_t>(traces));
    const int groups = numberOfPoints / traces;
    for (int g = 0; g < groups; ++g) {
        for (int k = 0; k < traces; ++k) {
            const long long at = startingIndex + static_cast<long long>(g * traces + k) * (skipCount + 1);
            point[static_cast<std::size_t>(k)] = dataType == VAL_FLOAT ? static_cast<const float*>(array)[at]
                                                                       : static_cast<const double*>(array)[at];
        }
        chart->addPoint(point, CivilNow());
    }
    return 0;
}

int Runtime::ClearStripChart(int panel, int control)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    chart->clearPoints();
    return 0;
}

int Runtime::SetAxisScalingMode(int panel, int control, int axis, int mode, double min, double max)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    if (axis != 1)
        return RT_ERR_BAD_ARGUMENT;
    return chart->setYScaling(mode, min, max) ? 0 : RT_ERR_BAD_ARGUMENT;
}

int Runtime::GetAxisScalingMode(int panel, int control, int axis, int* mode, double* min, double* max) const
{
    int err = 0;
    auto* plot = widgetAs<QCustomPlot>(*m_impl, panel, control, &err);
    if (!plot)
        return err;
    if (axis != 0 && axis != 1)
        return RT_ERR_BAD_ARGUMENT;
    const QCPRange r = (axis == 0 ? plot->xAxis : plot->yAxis)->range();
    int m = 1;
    if (auto* chart = qobject_cast<StripChart*>(plot))
        m = axis == 1 ? chart->yScalingMode() : 0;
    if (mode)
        *mode = m;
    if (min)
        *min = r.lower;
    if (max)
        *max = r.upper;
    return 0;
}

int Runtime::SetAxisLabel(int panel, int control, int axis, const std::string& label)
{
    int err = 0;
    auto* plot = widgetAs<QCustomPlot>(*m_impl, panel, control, &err);
    if (!plot)
        return err;
    if (axis != 0 && axis != 1)
        return RT_ERR_BAD_ARGUMENT;
    (axis == 0 ? plot->xAxis : plot->yAxis)->setLabel(QString::fromStdString(label));
    plot->replot(QCustomPlot::rpQueuedReplot);
    return 0;
}

int Runtime::PlotLine(int panel, int control, double x1, double y1, double x2, double y2, int color)
{
    int err = 0;
    auto* graph = widgetAs<Graph>(*m_impl, panel, control, &err);
    if (!graph)
        return err;
    if (!std::isfinite(x1) || !std::isfinite(y1) || !std::isfinite(x2) || !std::isfinite(y2))
        return RT_ERR_BAD_ARGUMENT;
    return graph->addLine(x1, y1, x2, y2, QColor(QRgb(static_cast<unsigned>(color) & 0xFFFFFFu)));
}

int Runtime::DeleteGraphPlot(int panel, int control, int plotHandle, int refresh)
{
    int err = 0;
    auto* graph = widgetAs<Graph>(*m_impl, panel, control, &err);
    if (!graph)
        return err;
    if (plotHandle == -1)
        graph->removeAll();
    else if (!graph->removeLine(plotHandle))
        return RT_ERR_BAD_ARGUMENT;
    if (refresh == 1)
        graph->replot(QCustomPlot::rpImmediateRefresh);
    return 0;
}

int Runtime::StripChartPointCount(int panel, int control) const
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    return chart ? chart->pointCount() : err;
}

namespace {
// Names and 0xRRGGBB colours as the strip chart takes them; false when the
// colours are not one per name (or none) or one lies beyond 0xFFFFFF.
bool TraceList(const std::vector<std::string>& names, const std::vector<int>& colors, QStringList* n,
               std::vector<QColor>* c)
{
    if (!colors.empty() && colors.size() != names.size())
        return false;
    for (const std::string& name : names)
        n->push_back(QString::fromStdString(name));
    for (int color : colors) {
        if (color < 0 || color > 0xFFFFFF)
            return false;
        c->push_back(QColor(QRgb(static_cast<unsigned>(color))));
    }
    return true;
}
} // namespace

int Runtime::SetStripChartTraces(int panel, int control, const std::vector<std::string>& names,
                                 const std::vector<int>& colors)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    QStringList n;
    std::vector<QColor> c;
    if (!TraceList(names, colors, &n, &c) || !chart->setTraces(n, c))
        return RT_ERR_BAD_ARGUMENT;
    return 0;
}

int Runtime::GetStripChartTraceCount(int panel, int control) const
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    return chart ? chart->traceCount() : err;
}

int Runtime::SetStripChartTraceVisible(int panel, int control, int trace, bool visible)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    if (trace < 0 || trace >= chart->traceCount())
        return RT_ERR_BAD_ARGUMENT;
    chart->setTraceVisible(trace, visible);
    return 0;
}

int Runtime::GetStripChartTraceVisible(int panel, int control, int trace, bool* visible) const
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    if (trace < 0 || trace >= chart->traceCount())
        return RT_ERR_BAD_ARGUMENT;
    if (visible)
        *visible = chart->isTraceVisible(trace);
    return 0;
}

int Runtime::SetStripChartLegend(int panel, int control, bool shown)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    chart->setLegendShown(shown);
    return 0;
}

int Runtime::ReplotNow(int panel, int control)
{
    int err = 0;
    auto* plot = widgetAs<QCustomPlot>(*m_impl, panel, control, &err);
    if (!plot)
        return err;
    plot->replot(QCustomPlot::rpImmediateRefresh);
    return 0;
}

int Runtime::StripChartFollowLive(int panel, int control)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    chart->followLive();
    return 0;
}

int Runtime::StripChartRestoreY(int panel, int control)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    chart->restoreYScale();
    return 0;
}

int Runtime::ExportStripChart(int panel, int control)
{
    int err = 0;
    auto* chart = widgetAs<StripChart>(*m_impl, panel, control, &err);
    if (!chart)
        return err;
    return ExportChartAsked(*this, *chart);
}

int Runtime::ShowChartWindow(int likePanel, int likeControl, const std::string& title, const std::string& status,
                             std::vector<double> times, std::vector<std::vector<double>> values)
{
    int err = 0;
    auto* like = widgetAs<StripChart>(*m_impl, likePanel, likeControl, &err);
    if (!like)
        return err;
    auto* viewer = new LogViewer(*this, *like, QString::fromStdString(title), QString::fromStdString(status),
                                 std::move(times), std::move(values));
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
    return 0;
}

int Runtime::ShowChartWindow(int likePanel, int likeControl, const std::string& title, const std::string& status,
                             std::vector<double> times, std::vector<std::vector<double>> values,
                             const std::vector<std::string>& names, const std::vector<int>& colors)
{
    int err = 0;
    auto* like = widgetAs<StripChart>(*m_impl, likePanel, likeControl, &err);
    if (!like)
        return err;
    QStringList n;
    std::vector<QColor> c;
    if (!TraceList(names, colors, &n, &c) || n.isEmpty() || n.removeDuplicates() > 0 || values.size() != names.size() ||
        std::any_of(n.begin(), n.end(), [](const QString& name) { return name.trimmed().isEmpty(); }))
        return RT_ERR_BAD_ARGUMENT;
    auto* viewer = new LogViewer(*this, *like, QString::fromStdString(title), QString::fromStdString(status),
                                 std::move(times), std::move(values), n, c);
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
    return 0;
}

double Runtime::CivilNow() const
{
    // Finding the zone's offset reads the zone file each time, far too slow
    // for every point of a week; offsets change on whole minutes at most.
    thread_local std::int64_t cachedMinute = std::numeric_limits<std::int64_t>::min();
    thread_local int cachedOffset = 0;
    const std::int64_t ms = m_clock.wallMillis();
    const std::int64_t minute = ms >= 0 ? ms / 60000 : (ms - 59999) / 60000;
    if (minute != cachedMinute) {
        cachedOffset = QDateTime::fromMSecsSinceEpoch(minute * 60000, Qt::LocalTime).offsetFromUtc();
        cachedMinute = minute;
    }
    return static_cast<double>(ms) / 1000.0 + cachedOffset;
}

// ---------------------------------------------------------------- time and numbers

void Runtime::Delay(double seconds)
{
    m_clock.sleep(seconds);
}

void Runtime::ProcessDrawEvents()
{
    const bool was = m_impl->paintOnly;
    m_impl->paintOnly = true;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    m_impl->paintOnly = was;
    m_impl->afterHold();
}

std::string Runtime::TimeStr() const
{
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(m_clock.wallMillis(), Qt::LocalTime);
    return t.toString(QStringLiteral("HH:mm:ss")).toStdString();
}

void Runtime::GetSystemDate(int* month, int* day, int* year) const
{
    const QDate d = QDateTime::fromMSecsSinceEpoch(m_clock.wallMillis(), Qt::LocalTime).date();
    if (month)
        *month = d.month();
    if (day)
        *day = d.day();
    if (year)
        *year = d.year();
}

long Runtime::RoundRealToNearestInteger(double value)
{
    // Halves go to the even neighbour whatever rounding mode is in force, and
    // values beyond a long (32 bits on Windows) saturate instead of wrapping.
    const int mode = std::fegetround();
    if (mode != FE_TONEAREST)
        std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(value);
    if (mode != FE_TONEAREST)
        std::fesetround(mode);
    if (std::isnan(r))
        return 0;
    constexpr double lo = static_cast<double>(std::numeric_limits<long>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<long>::max());
    if (r <= lo)
        return std::numeric_limits<long>::min();
    if (r >= hi)
        return std::numeric_limits<long>::max();
    return static_cast<long>(r);
}

} // namespace rt
