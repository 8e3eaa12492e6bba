// Control values per kind, commits versus programmatic sets, right clicks,
// timer controls and attributes.
#include "rt_fixture.h"
#include "rt/widgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

namespace {
QLineEdit* editOf(QWidget* w)
{
    return w->findChild<QLineEdit*>();
}

// Types text into a spin box as the operator does and presses Enter.
void typeAndEnter(QWidget* spin, const QString& text)
{
    QLineEdit* e = editOf(spin);
    e->selectAll();
    QTest::keyClicks(e, text);
    QTest::keyClick(e, Qt::Key_Return);
}
} // namespace

TEST_F(RtFixture, NumericKeepsFullPrecisionWhileShowingFewDigits)
{
    ASSERT_EQ(rt.SetCtrlVal(main, PARM_SV, 25.1234), 0);
    EXPECT_DOUBLE_EQ(value(PARM_SV), 25.1234);
    EXPECT_EQ(text(PARM_SV), "25.1");
    EXPECT_EQ(attr(PARM_SV, rt::ATTR_PRECISION), 1);

    ASSERT_EQ(rt.SetCtrlAttribute(main, PARM_SV, rt::ATTR_PRECISION, 3), 0);
    EXPECT_EQ(text(PARM_SV), "25.123");
    EXPECT_DOUBLE_EQ(value(PARM_SV), 25.1234);
    rt.SetCtrlAttribute(main, PARM_SV, rt::ATTR_PRECISION, 0);
    EXPECT_EQ(text(PARM_SV), "25");
    EXPECT_DOUBLE_EQ(value(PARM_SV), 25.1234);

    // Leaving the field re-reads its text; the shown digits must not replace the value.
    auto* spin = qobject_cast<QAbstractSpinBox*>(rt.controlWidget(main, PARM_SV));
    spin->interpretText();
    EXPECT_DOUBLE_EQ(value(PARM_SV), 25.1234);
    EXPECT_TRUE(calls.empty());

    // Float and integer getters: integers round to the nearest.
    float f = 0;
    rt.SetCtrlVal(main, PARM_SV, 2.5);
    EXPECT_EQ(rt.GetCtrlVal(main, PARM_SV, &f), 0);
    EXPECT_FLOAT_EQ(f, 2.5f);
    int i = 0;
    short s = 0;
    rt.GetCtrlVal(main, PARM_SV, &i);
    EXPECT_EQ(i, 3);
    rt.SetCtrlVal(main, PARM_SV, -7.6);
    rt.GetCtrlVal(main, PARM_SV, &s);
    EXPECT_EQ(s, -8);
    rt.SetCtrlVal(main, PARM_SV, 7.4);
    rt.GetCtrlVal(main, PARM_SV, &i);
    EXPECT_EQ(i, 7);
    // Not a number: refused, value kept.
    EXPECT_EQ(rt.SetCtrlVal(main, PARM_SV, std::nan("")), rt::RT_ERR_BAD_ARGUMENT);
    EXPECT_DOUBLE_EQ(value(PARM_SV), 7.4);
}

TEST_F(RtFixture, HexNumericShowsSixteenBitTwosComplement)
{
    QWidget* hex = rt.controlWidget(main, DEBUG_HEX);
    struct Case {
        int value;
        const char* shown;
    } cases[] = {{-2, "FFFE"}, {255, "FF"}, {0, "0"}, {32767, "7FFF"}, {-32768, "8000"}};
    for (const Case& c : cases) {
        rt.SetCtrlVal(main, DEBUG_HEX, c.value);
        EXPECT_EQ(text(DEBUG_HEX), c.shown) << c.value;
        int v = 0;
        rt.GetCtrlVal(main, DEBUG_HEX, &v);
        EXPECT_EQ(v, c.value);
    }
    // Typing hex: above the positive range reads as a negative 16-bit number.
    typeAndEnter(hex, "1A");
    EXPECT_EQ(value(DEBUG_HEX), 26);
    typeAndEnter(hex, "FFFF");
    EXPECT_EQ(value(DEBUG_HEX), -1);
    typeAndEnter(hex, "ff00");
    EXPECT_EQ(value(DEBUG_HEX), -256);
    // Integer fields in base 16 read and show upper-case digits.
    rt.SetCtrlVal(main, DEBUG_FUNC, 0xAB);
    EXPECT_EQ(text(DEBUG_FUNC), "AB");
    rt.SetCtrlVal(main, DEBUG_FUNC, 3);
    EXPECT_EQ(text(DEBUG_FUNC), "03") << "a byte field shows two digits";
    typeAndEnter(rt.controlWidget(main, DEBUG_FUNC), "3f");
    EXPECT_EQ(value(DEBUG_FUNC), 0x3F);

    QString bad = QStringLiteral("XYZ");
    int pos = 0;
    EXPECT_EQ(static_cast<rt::Numeric*>(hex)->validate(bad, pos), QValidator::Invalid);
}

TEST_F(RtFixture, RingValuesIncludeDecimalsAndMissingValuesAreAdded)
{
    auto* func = qobject_cast<QComboBox*>(rt.controlWidget(main, PARM_CTRL_FUNC));
    ASSERT_EQ(rt.SetCtrlVal(main, PARM_CTRL_FUNC, 3), 0);
    EXPECT_EQ(func->currentText(), QStringLiteral("Manual output"));
    EXPECT_EQ(value(PARM_CTRL_FUNC), 3);

    // Without a value list an item's value is its index.
    rt.SetCtrlVal(main, PARM_SENSOR_TYPE, 1);
    EXPECT_EQ(text(PARM_SENSOR_TYPE), "PT100");

    rt.SetCtrlVal(main, LOGSET_INTERVAL, 0.5);
    EXPECT_EQ(text(LOGSET_INTERVAL), "0.5 s");
    EXPECT_DOUBLE_EQ(value(LOGSET_INTERVAL), 0.5);
    rt.SetCtrlVal(main, LOGSET_INTERVAL, 2);
    EXPECT_EQ(text(LOGSET_INTERVAL), "2 s");

    // A value the list lacks gets an item showing it, once.
    rt.SetCtrlVal(main, PARM_CTRL_FUNC, 2.5);
    EXPECT_EQ(func->count(), 6);
    EXPECT_EQ(func->currentText(), QStringLiteral("2.5"));
    EXPECT_DOUBLE_EQ(value(PARM_CTRL_FUNC), 2.5);
    rt.SetCtrlVal(main, PARM_CTRL_FUNC, 0);
    rt.SetCtrlVal(main, PARM_CTRL_FUNC, 2.5);
    EXPECT_EQ(func->count(), 6);
    EXPECT_TRUE(calls.empty());

    // Items filled at run time.
    ASSERT_EQ(rt.ClearListCtrl(main, PARM_CTRL_FUNC), 0);
    EXPECT_EQ(rt.GetNumListItems(main, PARM_CTRL_FUNC), 0);
    EXPECT_EQ(rt.GetCtrlVal(main, PARM_CTRL_FUNC, static_cast<double*>(nullptr)), rt::RT_ERR_BAD_ARGUMENT);
    rt.InsertListItem(main, PARM_CTRL_FUNC, -1, "COM1  /dev/ttyS0", 1);
    rt.InsertListItem(main, PARM_CTRL_FUNC, -1, "COM101  /dev/ttyUSB0", 101);
    rt.InsertListItem(main, PARM_CTRL_FUNC, 0, "COM0", 0);
    EXPECT_EQ(rt.GetNumListItems(main, PARM_CTRL_FUNC), 3);
    rt.SetCtrlVal(main, PARM_CTRL_FUNC, 101);
    EXPECT_EQ(text(PARM_CTRL_FUNC), "COM101  /dev/ttyUSB0");
    EXPECT_EQ(rt.InsertListItem(main, PARM_SV, -1, "x", 1), rt::RT_ERR_BAD_ARGUMENT);
}

TEST_F(RtFixture, OtherKindsRoundTrip)
{
    auto* led = rt.controlWidget(main, PARM_LINK_LED);
    rt.SetCtrlVal(main, PARM_LINK_LED, 1);
    EXPECT_EQ(value(PARM_LINK_LED), 1);
    EXPECT_EQ(led->accessibleDescription(), QStringLiteral("on"));
    EXPECT_EQ(static_cast<rt::Led*>(led)->onColor(), QColor(0x00, 0xc8, 0x53));
    rt.SetCtrlVal(main, PARM_LINK_LED, 0);
    EXPECT_EQ(led->accessibleDescription(), QStringLiteral("off"));

    rt.SetCtrlVal(main, PARM_PID1_I, -1234);
    short s = 0;
    rt.GetCtrlVal(main, PARM_PID1_I, &s);
    EXPECT_EQ(s, -1234);
    rt.SetCtrlVal(main, PARM_CTRL_ID, 200);
    unsigned short u = 0;
    rt.GetCtrlVal(main, PARM_CTRL_ID, &u);
    EXPECT_EQ(u, 200);

    rt.SetCtrlVal(main, PARM_PV_READ, 1);
    EXPECT_TRUE(qobject_cast<QCheckBox*>(rt.controlWidget(main, PARM_PV_READ))->isChecked());
    EXPECT_EQ(value(PARM_PV_READ), 1);

    rt.SetCtrlVal(main, PARM_MODEL, "VEXA 2");
    EXPECT_EQ(text(PARM_MODEL), "VEXA 2");
    rt.SetCtrlVal(main, PARM_MODEL, 12.5);
    EXPECT_EQ(text(PARM_MODEL), "12.5");

    // A command button has no value.
    EXPECT_EQ(rt.SetCtrlVal(main, PARM_SV_SEND, 1), rt::RT_ERR_BAD_ARGUMENT);
    EXPECT_TRUE(calls.empty());
}

TEST_F(RtFixture, OperatorActionsCommitAndProgrammaticSetsDoNot)
{
    rt.SetCtrlVal(main, PARM_SV, 10.0);
    rt.SetCtrlVal(main, PARM_CTRL_ID, 5);
    rt.SetCtrlVal(main, PARM_CTRL_FUNC, 4);
    rt.SetCtrlVal(main, PARM_PV_READ, 1);
    EXPECT_TRUE(calls.empty());

    QTest::mouseClick(rt.controlWidget(main, PARM_SV_SEND), Qt::LeftButton);
    EXPECT_EQ(count(PARM_SV_SEND, rt::EVENT_COMMIT), 1);

    QTest::mouseClick(rt.controlWidget(main, PARM_PV_READ), Qt::LeftButton);
    EXPECT_EQ(count(PARM_PV_READ, rt::EVENT_COMMIT), 1);
    EXPECT_EQ(value(PARM_PV_READ), 0);

    QWidget* id = rt.controlWidget(main, PARM_CTRL_ID);
    typeAndEnter(id, "42");
    EXPECT_EQ(count(PARM_CTRL_ID, rt::EVENT_COMMIT), 1);
    EXPECT_EQ(value(PARM_CTRL_ID), 42);
    qobject_cast<QSpinBox*>(id)->stepUp();  // a step arrow
    EXPECT_EQ(count(PARM_CTRL_ID, rt::EVENT_COMMIT), 2);
    EXPECT_EQ(value(PARM_CTRL_ID), 43);

    typeAndEnter(rt.controlWidget(main, PARM_SV), "31.7");
    EXPECT_EQ(count(PARM_SV, rt::EVENT_COMMIT), 1);
    EXPECT_DOUBLE_EQ(value(PARM_SV), 31.7);

    QTest::keyClick(rt.controlWidget(main, PARM_CTRL_FUNC), Qt::Key_Down);
    EXPECT_EQ(count(PARM_CTRL_FUNC, rt::EVENT_COMMIT), 1);
    EXPECT_EQ(value(PARM_CTRL_FUNC), 5);

    // The test helpers act as the operator does.
    calls.clear();
    EXPECT_EQ(rt.Commit(main, PARM_SV, 12.5), 0);
    EXPECT_DOUBLE_EQ(value(PARM_SV), 12.5);
    EXPECT_EQ(rt.Commit(main, PARM_PV_READ), 0);
    EXPECT_EQ(value(PARM_PV_READ), 1);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].control, PARM_PV_READ);
}

TEST_F(RtFixture, RightClickCallsBackWithEventFive)
{
    QWidget* alarm = rt.controlWidget(main, PARM_ALARM_HIGH);
    // On the spin box's inner line edit, where the operator's click lands.
    QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 5), alarm->mapToGlobal(QPoint(5, 5)));
    EXPECT_TRUE(QApplication::sendEvent(editOf(alarm), &ev));
    EXPECT_EQ(count(PARM_ALARM_HIGH, rt::EVENT_RIGHT_CLICK), 1);

    QContextMenuEvent ev2(QContextMenuEvent::Mouse, QPoint(2, 2), QPoint(2, 2));
    QApplication::sendEvent(rt.controlWidget(main, LOGSET_INTERVAL), &ev2);
    EXPECT_EQ(count(LOGSET_INTERVAL, rt::EVENT_RIGHT_CLICK), 1);

    // A control without a callback: nothing runs.
    QContextMenuEvent ev3(QContextMenuEvent::Mouse, QPoint(2, 2), QPoint(2, 2));
    QApplication::sendEvent(editOf(rt.controlWidget(main, PARM_PV)), &ev3);
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(RtFixture, HelpKeyOnAFocusedControlActsAsRightClick)
{
    // The Menu key and Shift+F10 reach a control's help without a mouse.
    QWidget* alarm = rt.controlWidget(main, PARM_ALARM_HIGH);
    QTest::keyClick(editOf(alarm), Qt::Key_Menu);
    EXPECT_EQ(count(PARM_ALARM_HIGH, rt::EVENT_RIGHT_CLICK), 1);
    QTest::keyClick(rt.controlWidget(main, LOGSET_INTERVAL), Qt::Key_F10, Qt::ShiftModifier);
    EXPECT_EQ(count(LOGSET_INTERVAL, rt::EVENT_RIGHT_CLICK), 1);
    // F10 alone, or another key, is not a help request.
    QTest::keyClick(rt.controlWidget(main, LOGSET_INTERVAL), Qt::Key_F10);
    QTest::keyClick(editOf(alarm), Qt::Key_5);
    EXPECT_EQ(count(PARM_ALARM_HIGH, rt::EVENT_RIGHT_CLICK), 1);
    EXPECT_EQ(count(LOGSET_INTERVAL, rt::EVENT_RIGHT_CLICK), 1);
}

TEST_F(RtFixture, TimerTicksAndIsNeverReentered)
{
    EXPECT_EQ(rt.Tick(main, PARM_PV_TIMER), 0);
    EXPECT_EQ(count(PARM_PV_TIMER, rt::EVENT_TIMER_TICK), 1);

    // A tick that comes while the callback still runs is skipped.
    onCall = [this](const CallRecord& c) {
        if (c.event == rt::EVENT_TIMER_TICK)
            rt.Tick(main, PARM_PV_TIMER);
    };
    rt.Tick(main, PARM_PV_TIMER);
    EXPECT_EQ(count(PARM_PV_TIMER, rt::EVENT_TIMER_TICK), 2);

    // The real timer: the callback waits (dispatching) longer than the interval.
    calls.clear();
    onCall = [](const CallRecord& c) {
        if (c.event == rt::EVENT_TIMER_TICK)
            QTest::qWait(60);
    };
    ASSERT_EQ(rt.SetCtrlAttribute(main, PARM_PV_TIMER, rt::ATTR_INTERVAL, 0.01), 0);
    ASSERT_EQ(rt.SetCtrlAttribute(main, PARM_PV_TIMER, rt::ATTR_ENABLED, 1), 0);
    EXPECT_EQ(attr(PARM_PV_TIMER, rt::ATTR_ENABLED), 1);
    double interval = 0;
    rt.GetCtrlAttribute(main, PARM_PV_TIMER, rt::ATTR_INTERVAL, &interval);
    EXPECT_DOUBLE_EQ(interval, 0.01);
    QElapsedTimer t;
    t.start();
    while (calls.empty() && t.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_EQ(calls.size(), 1u);  // five intervals passed inside the one callback
    rt.SetCtrlAttribute(main, PARM_PV_TIMER, rt::ATTR_ENABLED, 0);
    EXPECT_EQ(attr(PARM_PV_TIMER, rt::ATTR_ENABLED), 0);
    QTest::qWait(30);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(rt.SetCtrlAttribute(main, PARM_PV_TIMER, rt::ATTR_INTERVAL, -1.0), rt::RT_ERR_BAD_ARGUMENT);
}

TEST_F(RtFixture, DimmingVisibilityAndControlMode)
{
    QWidget* sv = rt.controlWidget(main, PARM_SV);
    EXPECT_EQ(attr(PARM_SV, rt::ATTR_DIMMED), 0);
    rt.SetCtrlAttribute(main, PARM_SV, rt::ATTR_DIMMED, 1);
    EXPECT_FALSE(sv->isEnabled());
    EXPECT_EQ(attr(PARM_SV, rt::ATTR_DIMMED), 1);
    rt.SetCtrlAttribute(main, PARM_SV, rt::ATTR_DIMMED, 0);
    EXPECT_TRUE(sv->isEnabled());

    // The panel is hidden: each control reports its own state.
    EXPECT_EQ(attr(PARM_MODEL, rt::ATTR_VISIBLE), 1);
    EXPECT_EQ(attr(PARM_NO_ANSWER, rt::ATTR_VISIBLE), 0);
    rt.SetCtrlAttribute(main, PARM_NO_ANSWER, rt::ATTR_VISIBLE, 1);
    EXPECT_EQ(attr(PARM_NO_ANSWER, rt::ATTR_VISIBLE), 1);
    rt.DisplayPanel(main);
    EXPECT_TRUE(rt.controlWidget(main, PARM_NO_ANSWER)->isVisible());
    rt.SetCtrlAttribute(main, PARM_MODEL, rt::ATTR_VISIBLE, 0);
    EXPECT_FALSE(rt.controlWidget(main, PARM_MODEL)->isVisible());
    EXPECT_EQ(attr(PARM_MODEL, rt::ATTR_VISIBLE), 0);

    auto* pv = qobject_cast<QAbstractSpinBox*>(rt.controlWidget(main, PARM_PV));
    EXPECT_EQ(attr(PARM_PV, rt::ATTR_CTRL_MODE), 0);
    rt.SetCtrlAttribute(main, PARM_PV, rt::ATTR_CTRL_MODE, 1);
    EXPECT_FALSE(pv->isReadOnly());
    EXPECT_EQ(pv->buttonSymbols(), QAbstractSpinBox::UpDownArrows);
    rt.SetCtrlAttribute(main, PARM_PV, rt::ATTR_CTRL_MODE, 0);
    EXPECT_TRUE(pv->isReadOnly());
    EXPECT_EQ(pv->buttonSymbols(), QAbstractSpinBox::NoButtons);

    EXPECT_EQ(rt.SetCtrlAttribute(main, PARM_SV, 9999, 1), rt::RT_ERR_BAD_ARGUMENT);
    EXPECT_EQ(rt.SetCtrlAttribute(main, PARM_SV_SEND, rt::ATTR_CTRL_MODE, 1), rt::RT_ERR_BAD_ARGUMENT);
    EXPECT_EQ(rt.SetCtrlAttribute(main, SCRIPT_SV_1, rt::ATTR_DIMMED, 1), rt::RT_ERR_BAD_HANDLE);
}

TEST_F(RtFixture, FieldsWithoutAValueShowADashUntilOneIsSetTypedOrStepped)
{
    const std::string dash = "\u2014";
    rt.SetCtrlVal(main, PARM_SV, 25.0);
    ASSERT_EQ(rt.SetCtrlAttribute(main, PARM_SV, rt::ATTR_UNIT, std::string(" \u00B0C")), 0);
    EXPECT_EQ(text(PARM_SV), "25.0 \u00B0C");
    ASSERT_EQ(rt.SetCtrlAttribute(main, PARM_SV, rt::ATTR_NO_VALUE, 1), 0);
    EXPECT_EQ(text(PARM_SV), dash) << "no number and no unit";
    EXPECT_EQ(attr(PARM_SV, rt::ATTR_NO_VALUE), 1);
    // The unit changes unseen; leaving the field changes nothing.
    rt.SetCtrlAttribute(main, PARM_SV, rt::ATTR_UNIT, std::string(" \u00B0F"));
    EXPECT_EQ(text(PARM_SV), dash);
    qobject_cast<QAbstractSpinBox*>(rt.controlWidget(main, PARM_SV))->interpretText();
    EXPECT_EQ(text(PARM_SV), dash);
    EXPECT_TRUE(calls.empty());
    rt.SetCtrlVal(main, PARM_SV, 30.0);
    EXPECT_EQ(text(PARM_SV), "30.0 \u00B0F");
    EXPECT_EQ(attr(PARM_SV, rt::ATTR_NO_VALUE), 0);

    // The operator types a value over the dash: it is committed and shown with the unit.
    rt.SetCtrlAttribute(main, PARM_SV, rt::ATTR_NO_VALUE, 1);
    typeAndEnter(rt.controlWidget(main, PARM_SV), "31.5");
    EXPECT_EQ(count(PARM_SV, rt::EVENT_COMMIT), 1);
    EXPECT_DOUBLE_EQ(value(PARM_SV), 31.5);
    EXPECT_EQ(text(PARM_SV), "31.5 \u00B0F");
    EXPECT_EQ(attr(PARM_SV, rt::ATTR_NO_VALUE), 0);

    // An integer field: a step arrow gives it a value.
    rt.SetCtrlVal(main, PARM_PID1_I, 40);
    rt.SetCtrlAttribute(main, PARM_PID1_I, rt::ATTR_NO_VALUE, 1);
    EXPECT_EQ(text(PARM_PID1_I), dash);
    qobject_cast<QSpinBox*>(rt.controlWidget(main, PARM_PID1_I))->stepUp();
    EXPECT_EQ(text(PARM_PID1_I), "41");
    EXPECT_EQ(value(PARM_PID1_I), 41);

    // A selector shows no choice and gives no value until one is set.
    rt.SetCtrlAttribute(main, PARM_SENSOR_TYPE, rt::ATTR_NO_VALUE, 1);
    EXPECT_EQ(attr(PARM_SENSOR_TYPE, rt::ATTR_NO_VALUE), 1);
    int v = -1;
    EXPECT_LT(rt.GetCtrlVal(main, PARM_SENSOR_TYPE, &v), 0);
    rt.SetCtrlVal(main, PARM_SENSOR_TYPE, 1);
    EXPECT_EQ(attr(PARM_SENSOR_TYPE, rt::ATTR_NO_VALUE), 0);

    EXPECT_EQ(rt.SetCtrlAttribute(main, PARM_MODEL, rt::ATTR_UNIT, std::string(" s")), rt::RT_ERR_BAD_ARGUMENT);
    EXPECT_EQ(rt.SetCtrlAttribute(main, PARM_MODEL, rt::ATTR_NO_VALUE, 1), rt::RT_ERR_BAD_ARGUMENT);
}
