#include "rt/widgets.h"

#include <QLineEdit>
#include <QPainter>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <limits>

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

namespace {

// What the operator types replaces "—"; the unit set aside for the dash comes
// back when the edit ends.
template <typename Box>
void GiveUnitBackAfterTyping(Box* box, QLineEdit* edit, bool* noValue, QString* heldSuffix)
{
    QObject::connect(edit, &QLineEdit::textEdited, box, [noValue] { *noValue = false; });
    QObject::connect(box, &QAbstractSpinBox::editingFinished, box, [box, noValue, heldSuffix] {
        if (!*noValue && !heldSuffix->isEmpty()) {
            box->setSuffix(*heldSuffix);
            heldSuffix->clear();
        }
    });
}

// Shows "—" (on) or the value again, the unit set aside meanwhile. False
// when nothing changes.
template <typename Box>
bool SwitchNoValue(Box* box, bool on, bool* noValue, QString* heldSuffix)
{
    // A value typed over the dash may still have its unit set aside.
    if (on == *noValue && (on || heldSuffix->isEmpty()))
        return false;
    *noValue = on;
    if (on) {
        *heldSuffix = box->suffix();
        box->setSuffix(QString());
    } else if (!heldSuffix->isEmpty()) {
        box->setSuffix(*heldSuffix);
        heldSuffix->clear();
    }
    return true;
}

} // namespace

Numeric::Numeric(QWidget* parent) : QDoubleSpinBox(parent)
{
    // The text is always C-locale ("25.5"), whatever the desktop's locale.
    setLocale(QLocale::c());
    QDoubleSpinBox::setDecimals(kStoredDecimals);
    setRange(-1e9, 1e9);
    setKeyboardTracking(false);
    setAccelerated(true);
    GiveUnitBackAfterTyping(this, lineEdit(), &m_noValue, &m_heldSuffix);
}

void Numeric::setNoValue(bool on)
{
    if (!SwitchNoValue(this, on, &m_noValue, &m_heldSuffix))
        return;
    refreshText();
}

void Numeric::setUnitSuffix(const QString& unit)
{
    if (m_noValue || (!m_heldSuffix.isEmpty() && suffix().isEmpty())) {
        m_heldSuffix = unit;
        return;
    }
    setSuffix(unit);
    refreshText();
}

void Numeric::stepBy(int steps)
{
    setNoValue(false);
    QDoubleSpinBox::stepBy(steps);
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
    if (m_noValue)
        return QString(kNoValueText);
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
    if (t == textFromValue(value()) || t == QString(kNoValueText))
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
    if (m_noValue && stripAffixes(text) == QString(kNoValueText))
        return QValidator::Acceptable;
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

SpinBox::SpinBox(QWidget* parent) : QSpinBox(parent)
{
    GiveUnitBackAfterTyping(this, lineEdit(), &m_noValue, &m_heldSuffix);
}

void SpinBox::setNoValue(bool on)
{
    if (!SwitchNoValue(this, on, &m_noValue, &m_heldSuffix))
        return;
    const QSignalBlocker block(lineEdit());
    lineEdit()->setText(prefix() + textFromValue(value()) + suffix());
}

void SpinBox::stepBy(int steps)
{
    setNoValue(false);
    QSpinBox::stepBy(steps);
}

int SpinBox::valueFromText(const QString& text) const
{
    QString t = text;
    if (!prefix().isEmpty() && t.startsWith(prefix()))
        t.remove(0, prefix().size());
    if (!suffix().isEmpty() && t.endsWith(suffix()))
        t.chop(suffix().size());
    if (t.trimmed() == QString(kNoValueText))
        return value();
    return QSpinBox::valueFromText(text);
}

QValidator::State SpinBox::validate(QString& text, int& pos) const
{
    if (m_noValue && text.trimmed() == QString(kNoValueText))
        return QValidator::Acceptable;
    return QSpinBox::validate(text, pos);
}

QString SpinBox::textFromValue(int value) const
{
    if (m_noValue)
        return QString(kNoValueText);
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

void TimerControl::restart()
{
    if (m_timer.isActive())
        m_timer.start();
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
