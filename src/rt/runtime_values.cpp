// Runtime: control values, attributes and selector items.
#include "rt/runtime_impl.h"
#include "rt/widgets.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

#include <cfenv>
#include <cmath>
#include <limits>
#include <type_traits>

namespace rt {

// ---------------------------------------------------------------- values

namespace {

QString numberText(double v)
{
    return QString::number(v, 'g', 8);
}

// Selects the item holding the value; a value not in the list gets an item
// of its own, so the selector always shows what it was given.
void setRing(QComboBox* box, double v)
{
    for (int i = 0; i < box->count(); ++i) {
        if (sameValue(ringValue(box, i), v)) {
            box->setCurrentIndex(i);
            return;
        }
    }
    box->addItem(numberText(v), v);
    box->setCurrentIndex(box->count() - 1);
}

struct ProgrammaticScope {
    explicit ProgrammaticScope(bool& flag) : m_flag(flag), m_old(flag) { m_flag = true; }
    ~ProgrammaticScope() { m_flag = m_old; }
    bool& m_flag;
    bool m_old;
};

int setNumber(QWidget* w, double v)
{
    if (!std::isfinite(v))
        return RT_ERR_BAD_ARGUMENT;
    if (auto* n = qobject_cast<Numeric*>(w))
        n->setNoValue(false);
    else if (auto* sb = qobject_cast<SpinBox*>(w))
        sb->setNoValue(false);
    if (auto* d = qobject_cast<QDoubleSpinBox*>(w)) {
        const QSignalBlocker block(d);
        d->setValue(v);
    } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
        const QSignalBlocker block(s);
        s->setValue(static_cast<int>(std::lround(v)));
    } else if (auto* led = qobject_cast<Led*>(w)) {
        led->setOn(v != 0);
    } else if (auto* box = qobject_cast<QComboBox*>(w)) {
        const QSignalBlocker block(box);
        setRing(box, v);
    } else if (auto* b = qobject_cast<QAbstractButton*>(w); b && b->isCheckable()) {
        const QSignalBlocker block(b);
        b->setChecked(v != 0);
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(numberText(v));
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        edit->setText(numberText(v));
    } else {
        return RT_ERR_BAD_ARGUMENT;
    }
    return 0;
}

} // namespace

int getNumber(const QWidget* w, double* v)
{
    if (auto* d = qobject_cast<const QDoubleSpinBox*>(w)) {
        *v = d->value();
    } else if (auto* s = qobject_cast<const QSpinBox*>(w)) {
        *v = s->value();
    } else if (auto* led = qobject_cast<const Led*>(w)) {
        *v = led->isOn() ? 1 : 0;
    } else if (auto* box = qobject_cast<const QComboBox*>(w)) {
        if (box->currentIndex() < 0)
            return RT_ERR_BAD_ARGUMENT;
        *v = ringValue(box, box->currentIndex());
    } else if (auto* b = qobject_cast<const QAbstractButton*>(w); b && b->isCheckable()) {
        *v = b->isChecked() ? 1 : 0;
    } else if (auto* label = qobject_cast<const QLabel*>(w)) {
        bool ok = false;
        *v = label->text().trimmed().toDouble(&ok);
        if (!ok)
            return RT_ERR_BAD_ARGUMENT;
    } else if (auto* edit = qobject_cast<const QLineEdit*>(w)) {
        bool ok = false;
        *v = edit->text().trimmed().toDouble(&ok);
        if (!ok)
            return RT_ERR_BAD_ARGUMENT;
    } else {
        return RT_ERR_BAD_ARGUMENT;
    }
    return 0;
}

int Runtime::SetCtrlVal(int panel, int control, double value)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    ProgrammaticScope scope(m_impl->programmatic);
    return setNumber(c->widget, value);
}

int Runtime::SetCtrlVal(int panel, int control, int value)
{
    return SetCtrlVal(panel, control, static_cast<double>(value));
}

int Runtime::SetCtrlVal(int panel, int control, const std::string& text)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    ProgrammaticScope scope(m_impl->programmatic);
    const QString t = QString::fromStdString(text);
    QWidget* w = c->widget;
    if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(t);
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        edit->setText(t);
    } else if (auto* box = qobject_cast<QComboBox*>(w)) {
        const int i = box->findText(t);
        if (i < 0)
            return RT_ERR_BAD_ARGUMENT;
        const QSignalBlocker block(box);
        box->setCurrentIndex(i);
    } else {
        bool ok = false;
        const double v = t.trimmed().toDouble(&ok);
        if (!ok)
            return RT_ERR_BAD_ARGUMENT;
        return setNumber(w, v);
    }
    return 0;
}

int Runtime::GetCtrlVal(int panel, int control, double* value) const
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    double v = 0;
    const int r = getNumber(c->widget, &v);
    if (r == 0 && value)
        *value = v;
    return r;
}

namespace {

// Reads a control as a double and converts it to the caller's type: floats as
// they are, integers rounded to the nearest.
template <typename T>
int GetConverted(const Runtime& rt, int panel, int control, T* value)
{
    double v = 0;
    const int r = rt.GetCtrlVal(panel, control, &v);
    if (r == 0 && value) {
        if constexpr (std::is_floating_point_v<T>)
            *value = static_cast<T>(v);
        else
            *value = static_cast<T>(std::lround(v));
    }
    return r;
}

} // namespace

int Runtime::GetCtrlVal(int panel, int control, float* value) const
{
    return GetConverted(*this, panel, control, value);
}

int Runtime::GetCtrlVal(int panel, int control, int* value) const
{
    return GetConverted(*this, panel, control, value);
}

int Runtime::GetCtrlVal(int panel, int control, short* value) const
{
    return GetConverted(*this, panel, control, value);
}

int Runtime::GetCtrlVal(int panel, int control, unsigned short* value) const
{
    return GetConverted(*this, panel, control, value);
}

int Runtime::GetCtrlVal(int panel, int control, std::string* text) const
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    const QWidget* w = c->widget;
    QString t;
    if (auto* label = qobject_cast<const QLabel*>(w))
        t = label->text();
    else if (auto* edit = qobject_cast<const QLineEdit*>(w))
        t = edit->text();
    else if (auto* box = qobject_cast<const QComboBox*>(w))
        t = box->currentText();
    else if (auto* spin = qobject_cast<const QAbstractSpinBox*>(w))
        t = spin->text();
    else if (auto* b = qobject_cast<const QAbstractButton*>(w))
        t = b->text();
    else
        return RT_ERR_BAD_ARGUMENT;
    if (text)
        *text = t.toStdString();
    return 0;
}

// ---------------------------------------------------------------- attributes

namespace {

int setAttribute(ControlRec& c, int attribute, double v)
{
    QWidget* w = c.widget;
    if (!std::isfinite(v))
        return RT_ERR_BAD_ARGUMENT;
    switch (attribute) {
    case ATTR_DIMMED:
        c.dimmed = v != 0;
        w->setEnabled(!c.dimmed);
        return 0;
    case ATTR_VISIBLE:
        c.visible = v != 0;
        if (!qobject_cast<TimerControl*>(w))
            w->setVisible(c.visible);
        return 0;
    case ATTR_CTRL_MODE:
        if (auto* spin = qobject_cast<QAbstractSpinBox*>(w)) {
            const bool editable = v != 0;
            spin->setReadOnly(!editable);
            spin->setButtonSymbols(editable ? QAbstractSpinBox::UpDownArrows : QAbstractSpinBox::NoButtons);
            spin->setFocusPolicy(editable ? Qt::WheelFocus : Qt::NoFocus);
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_PRECISION: {
        const int digits = static_cast<int>(std::lround(v));
        if (digits < 0)
            return RT_ERR_BAD_ARGUMENT;
        if (auto* n = qobject_cast<Numeric*>(w)) {
            n->setPrecision(digits);
            return 0;
        }
        if (auto* d = qobject_cast<QDoubleSpinBox*>(w)) {
            // Fewer decimals may round the value: that is no operator's commit.
            const QSignalBlocker block(d);
            d->setDecimals(digits);
            return 0;
        }
        return qobject_cast<QSpinBox*>(w) ? 0 : RT_ERR_BAD_ARGUMENT;
    }
    case ATTR_XAXIS_GAIN:
        if (auto* s = qobject_cast<StripChart*>(w))
            return s->setXIncrement(v) ? 0 : RT_ERR_BAD_ARGUMENT;
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_POINTS_PER_SCREEN:
        if (auto* s = qobject_cast<StripChart*>(w))
            return v >= 1 && v <= kStripChartMaxPoints && s->setPointsPerScreen(static_cast<int>(std::lround(v)))
                       ? 0
                       : RT_ERR_BAD_ARGUMENT;
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_INTERVAL:
        if (auto* t = qobject_cast<TimerControl*>(w); t && v >= 0) {
            t->setInterval(v);
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_ENABLED:
        if (auto* t = qobject_cast<TimerControl*>(w)) {
            t->setTimerEnabled(v != 0);
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_NO_VALUE:
        if (auto* n = qobject_cast<Numeric*>(w)) {
            n->setNoValue(v != 0);
            return 0;
        }
        if (auto* sb = qobject_cast<SpinBox*>(w)) {
            sb->setNoValue(v != 0);
            return 0;
        }
        if (auto* box = qobject_cast<QComboBox*>(w)) {
            if (v != 0) {
                const QSignalBlocker block(box);
                box->setPlaceholderText(QString(kNoValueText));
                box->setCurrentIndex(-1);
            }
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    default:
        return RT_ERR_BAD_ARGUMENT;
    }
}

int getAttribute(const ControlRec& c, int attribute, double* v)
{
    const QWidget* w = c.widget;
    switch (attribute) {
    case ATTR_DIMMED:
        *v = c.dimmed ? 1 : 0;
        return 0;
    case ATTR_VISIBLE:
        *v = c.visible ? 1 : 0;
        return 0;
    case ATTR_CTRL_MODE:
        if (auto* spin = qobject_cast<const QAbstractSpinBox*>(w)) {
            *v = spin->isReadOnly() ? 0 : 1;
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_PRECISION:
        if (auto* n = qobject_cast<const Numeric*>(w))
            *v = n->precision();
        else if (auto* d = qobject_cast<const QDoubleSpinBox*>(w))
            *v = d->decimals();
        else if (qobject_cast<const QSpinBox*>(w))
            *v = 0;
        else
            return RT_ERR_BAD_ARGUMENT;
        return 0;
    case ATTR_XAXIS_GAIN:
        if (auto* s = qobject_cast<const StripChart*>(w)) {
            *v = s->xIncrement();
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_POINTS_PER_SCREEN:
        if (auto* s = qobject_cast<const StripChart*>(w)) {
            *v = s->pointsPerScreen();
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_INTERVAL:
        if (auto* t = qobject_cast<const TimerControl*>(w)) {
            *v = t->interval();
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_ENABLED:
        if (auto* t = qobject_cast<const TimerControl*>(w)) {
            *v = t->timerEnabled() ? 1 : 0;
            return 0;
        }
        return RT_ERR_BAD_ARGUMENT;
    case ATTR_NO_VALUE:
        if (auto* n = qobject_cast<const Numeric*>(w))
            *v = n->hasNoValue() ? 1 : 0;
        else if (auto* sb = qobject_cast<const SpinBox*>(w))
            *v = sb->hasNoValue() ? 1 : 0;
        else if (auto* box = qobject_cast<const QComboBox*>(w))
            *v = box->currentIndex() < 0 ? 1 : 0;
        else
            return RT_ERR_BAD_ARGUMENT;
        return 0;
    default:
        return RT_ERR_BAD_ARGUMENT;
    }
}

} // namespace

int Runtime::SetCtrlAttribute(int panel, int control, int attribute, int value)
{
    return SetCtrlAttribute(panel, control, attribute, static_cast<double>(value));
}

int Runtime::SetCtrlAttribute(int panel, int control, int attribute, double value)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    return setAttribute(*c, attribute, value);
}

int Runtime::SetCtrlAttribute(int panel, int control, int attribute, const std::string& text)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    auto* n = qobject_cast<Numeric*>(c->widget.data());
    if (attribute != ATTR_UNIT || !n)
        return RT_ERR_BAD_ARGUMENT;
    ProgrammaticScope scope(m_impl->programmatic);
    n->setUnitSuffix(QString::fromStdString(text));
    return 0;
}

int Runtime::GetCtrlAttribute(int panel, int control, int attribute, int* value) const
{
    double v = 0;
    const int r = GetCtrlAttribute(panel, control, attribute, &v);
    if (r == 0 && value)
        *value = static_cast<int>(std::lround(v));
    return r;
}

int Runtime::GetCtrlAttribute(int panel, int control, int attribute, double* value) const
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    double v = 0;
    const int r = getAttribute(*c, attribute, &v);
    if (r == 0 && value)
        *value = v;
    return r;
}

// ---------------------------------------------------------------- selector items

int Runtime::InsertListItem(int panel, int control, int index, const std::string& label, double value)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    auto* box = qobject_cast<QComboBox*>(c->widget.data());
    if (!box)
        return RT_ERR_BAD_ARGUMENT;
    const QSignalBlocker block(box);
    const int at = index < 0 || index > box->count() ? box->count() : index;
    box->insertItem(at, QString::fromStdString(label), value);
    return 0;
}

int Runtime::ClearListCtrl(int panel, int control)
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    auto* box = qobject_cast<QComboBox*>(c->widget.data());
    if (!box)
        return RT_ERR_BAD_ARGUMENT;
    const QSignalBlocker block(box);
    box->clear();
    return 0;
}

int Runtime::GetNumListItems(int panel, int control) const
{
    const auto c = m_impl->control(panel, control);
    if (!c)
        return RT_ERR_BAD_HANDLE;
    auto* box = qobject_cast<const QComboBox*>(c->widget.data());
    return box ? box->count() : RT_ERR_BAD_ARGUMENT;
}

} // namespace rt
