// The panels from the keyboard and through the accessibility interface: every
// control a screen reader can reach says what it is, Tab walks the main panel
// group by group, a keyboard commit reaches the controller, and a control
// whose only action is help says how to get it.
#include "support/rig.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLayout>
#include <QTest>
#include <QWidget>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

struct PanelControls {
    const char* panel;
    std::vector<int> controls;
};

// Every control identifier, by panel.
std::vector<PanelControls> AllControls(const PanelSet& p, std::map<std::string, int>* handles)
{
    (*handles)["PARM"] = p.parm;
    (*handles)["DEBUG"] = p.debug;
    (*handles)["CHART"] = p.chart;
    (*handles)["YSCALE"] = p.yscale;
    (*handles)["WAIT"] = p.wait;
    (*handles)["SCRIPT"] = p.script;
    (*handles)["PIDHELP"] = p.pidhelp;
    (*handles)["LOGSET"] = p.logset;
    std::vector<PanelControls> out;
#define TEC_ID(name) name,
    out.push_back({"PARM", {TEC_PARM_CONTROLS(TEC_ID)}});
    out.push_back({"DEBUG", {TEC_DEBUG_CONTROLS(TEC_ID)}});
    out.push_back({"CHART", {TEC_CHART_CONTROLS(TEC_ID)}});
    out.push_back({"YSCALE", {TEC_YSCALE_CONTROLS(TEC_ID)}});
    out.push_back({"WAIT", {TEC_WAIT_CONTROLS(TEC_ID)}});
    out.push_back({"SCRIPT", {TEC_SCRIPT_CONTROLS(TEC_ID)}});
    out.push_back({"PIDHELP", {TEC_PIDHELP_CONTROLS(TEC_ID)}});
    out.push_back({"LOGSET", {TEC_LOGSET_CONTROLS(TEC_ID)}});
#undef TEC_ID
    return out;
}

bool IsInputOrCommand(const QWidget* w)
{
    return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QAbstractSpinBox*>(w) ||
           qobject_cast<const QComboBox*>(w);
}

// The name a screen reader gives the widget: the panel's accessible name, else
// what the accessibility interface derives (a label's text). Selectors are
// asked for the property because on Unix the interface reports a selector's
// current item as its name and the caption through the buddy relation.
QString AccessibleName(QWidget* w)
{
    if (!w->accessibleName().isEmpty())
        return w->accessibleName();
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
    return iface ? iface->text(QAccessible::Name) : QString();
}

// Widgets Tab stops at, in focus-chain order, starting after `from`.
std::vector<QWidget*> TabStops(QWidget* panel, QWidget* from)
{
    std::vector<QWidget*> out;
    for (QWidget* w = from->nextInFocusChain(); w && w != from; w = w->nextInFocusChain()) {
        if (w == panel)
            continue;
        if (!panel->isAncestorOf(w))
            continue;
        if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled() && w->isVisibleTo(panel) && !w->focusProxy())
            out.push_back(w);
    }
    return out;
}

} // namespace

// Every control a screen reader can land on says what it is and what it does;
// within a panel no two say the same name.
TEST(Keyboard, EveryControlHasAnAccessibleNameAndDescription)
{
    TestRig rig;
    std::map<std::string, int> handles;
    for (const PanelControls& pc : AllControls(rig.app.panels, &handles)) {
        const int h = handles[pc.panel];
        std::set<QString> names;
        for (int id : pc.controls) {
            const std::string what = std::string(rt::controlName(id));
            QWidget* w = rig.rt.controlWidget(h, id);
            ASSERT_NE(w, nullptr) << what;
            if (w->inherits("TimerControl"))
                continue;  // never shown
            const QString name = AccessibleName(w);
            EXPECT_FALSE(name.trimmed().isEmpty()) << what;
            if (IsInputOrCommand(w)) {
                QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
                ASSERT_NE(iface, nullptr) << what;
                EXPECT_FALSE(iface->text(QAccessible::Description).trimmed().isEmpty()) << what;
            }
            EXPECT_TRUE(names.insert(name).second) << what << ": \"" << name.toStdString() << "\" twice on " << pc.panel;
        }
    }
}

// Right-clicking a control with a callback: a control that shows help says so
// in its tip, and one whose tip promises help shows it.
TEST(Keyboard, RightClickHelpIsAnnouncedExactlyWhereItExists)
{
    TestRig rig;
    ASSERT_GE(rig.connect(), 0);
    std::map<std::string, int> handles;
    int helpers = 0;
    for (const PanelControls& pc : AllControls(rig.app.panels, &handles)) {
        const int h = handles[pc.panel];
        for (int id : pc.controls) {
            QWidget* w = rig.rt.controlWidget(h, id);
            if (w->inherits("TimerControl") || w->property("callback").toString().isEmpty())
                continue;
            rig.op.clear();
            rig.rt.FireEvent(h, id, rt::EVENT_RIGHT_CLICK);
            const bool helps = !rig.op.shown().empty();
            const bool says = w->toolTip().contains("Right-click for help");
            EXPECT_EQ(helps, says) << rt::controlName(id) << ": \"" << w->toolTip().toStdString() << "\"";
            helpers += helps;
        }
    }
    EXPECT_GE(helpers, 10);
    // The loop heading's button does nothing else, so its name says what it is for.
    QWidget* loopHelp = rig.rt.controlWidget(rig.app.panels.script, SCRIPT_LOOP_HELP);
    EXPECT_TRUE(AccessibleName(loopHelp).contains("help", Qt::CaseInsensitive));
    EXPECT_TRUE(loopHelp->toolTip().startsWith("Right-click for help"));
}

// Tab, with every control enabled, visits the controls of each panel in
// reading order: within a group left to right and top to bottom, and a group
// once left is not come back to. The main panel goes down its columns of groups.
TEST(Keyboard, TabFollowsReadingOrderGroupByGroup)
{
    TestRig rig;
    std::map<std::string, int> handles;
    for (const PanelControls& pc : AllControls(rig.app.panels, &handles)) {
        QWidget* panel = rig.rt.panelWidget(handles[pc.panel]);
        for (int id : pc.controls)
            rig.rt.controlWidget(handles[pc.panel], id)->setEnabled(true);
        panel->resize(panel->sizeHint().expandedTo(panel->size()));
        panel->ensurePolished();
        if (panel->layout())
            panel->layout()->activate();
        for (QWidget* child : panel->findChildren<QWidget*>())
            if (child->layout())
                child->layout()->activate();

        const std::vector<QWidget*> stops = TabStops(panel, panel);
        // Every input and command of the panel is a stop.
        for (int id : pc.controls) {
            QWidget* w = rig.rt.controlWidget(handles[pc.panel], id);
            if (IsInputOrCommand(w) && w->isVisibleTo(panel))
                EXPECT_NE(std::find(stops.begin(), stops.end(), w), stops.end()) << rt::controlName(id);
        }
        auto groupOf = [panel](QWidget* w) -> QWidget* {
            for (QWidget* p = w->parentWidget(); p && p != panel; p = p->parentWidget())
                if (qobject_cast<QGroupBox*>(p))
                    return p;
            return panel;
        };
        std::vector<QWidget*> groupsLeft;
        for (size_t k = 1; k < stops.size(); ++k) {
            QWidget* a = stops[k - 1];
            QWidget* b = stops[k];
            const std::string pair = pc.panel + std::string(": ") + a->objectName().toStdString() + " -> " +
                                     b->objectName().toStdString();
            if (groupOf(a) != groupOf(b)) {
                groupsLeft.push_back(groupOf(a));
                EXPECT_EQ(std::find(groupsLeft.begin(), groupsLeft.end(), groupOf(b)), groupsLeft.end())
                    << pair << " returns to a group already left";
                continue;
            }
            const QRect ra(a->mapTo(panel, QPoint(0, 0)), a->size());
            const QRect rb(b->mapTo(panel, QPoint(0, 0)), b->size());
            const bool sameRow = rb.top() < ra.bottom() && ra.top() < rb.bottom();
            if (sameRow)
                EXPECT_GT(rb.center().x(), ra.center().x()) << pair << " goes back along a row";
            else
                EXPECT_GT(rb.center().y(), ra.center().y()) << pair << " goes up";
        }
    }

    // The main panel's groups: connection, process, control, alarms, sensor, PID sets, then the buttons.
    QWidget* panel = rig.rt.panelWidget(rig.parm());
    std::vector<std::string> order;
    for (QWidget* w : TabStops(panel, panel)) {
        std::string group = "buttons";
        for (QWidget* p = w->parentWidget(); p && p != panel; p = p->parentWidget())
            if (qobject_cast<QGroupBox*>(p))
                group = p->objectName().toStdString();
        if (order.empty() || order.back() != group)
            order.push_back(group);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"connectionGroup", "processGroup", "controlGroup", "alarmGroup",
                                               "sensorGroup", "pidGroup", "buttons"}));
}

// The real Tab key on the shown main panel of a connected controller walks
// the same stops, from the port selector round to it again: no control keeps
// the focus, none is skipped.
TEST(Keyboard, TabKeyWalksTheMainPanelWithoutATrap)
{
    TestRig rig;
    ASSERT_GE(rig.connect(), 0);
    QWidget* panel = rig.rt.panelWidget(rig.parm());
    panel->show();
    panel->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel));
    QWidget* port = rig.rt.controlWidget(rig.parm(), PARM_COMPORT);
    port->setFocus(Qt::TabFocusReason);
    ASSERT_EQ(QApplication::focusWidget(), port);

    std::vector<QWidget*> expected = TabStops(panel, port);
    expected.push_back(port);
    ASSERT_GT(expected.size(), 40u);
    EXPECT_EQ(expected[0], rig.rt.controlWidget(rig.parm(), PARM_CTRL_ID));
    for (size_t k = 0; k < expected.size(); ++k) {
        QWidget* before = QApplication::focusWidget();
        QTest::keyClick(before, Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), expected[k])
            << "Tab from " << before->objectName().toStdString() << " lands on "
            << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString() : "nothing");
    }
    EXPECT_EQ(expected.back(), port) << "Tab comes round to the port selector";
    // Shift+Tab goes back the same way.
    QTest::keyClick(port, Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), expected[expected.size() - 2]);
}

// A set value typed and sent with the keyboard alone reaches the controller.
TEST(Keyboard, SetValueTypedAndSentByKeyboardReachesTheController)
{
    TestRig rig;
    ASSERT_GE(rig.connect(), 0);
    ASSERT_NE(rig.sim->reg(0x0000), 375);
    QWidget* panel = rig.rt.panelWidget(rig.parm());
    panel->show();
    panel->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel));

    QWidget* sv = rig.rt.controlWidget(rig.parm(), PARM_SV);
    QWidget* send = rig.rt.controlWidget(rig.parm(), PARM_SV_SEND);
    sv->setFocus(Qt::TabFocusReason);
    QTest::keyClick(sv, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(sv, "37.5");
    QTest::keyClick(sv, Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), send) << "the Set button follows the set value";
    QTest::keyClick(send, Qt::Key_Space);
    EXPECT_EQ(rig.sim->reg(0x0000), 375);

    // The focused button alone, without a new value, sends again what the field holds.
    rig.sim->setReg(0x0000, 0);
    QTest::keyClick(send, Qt::Key_Space);
    EXPECT_EQ(rig.sim->reg(0x0000), 375);
}
