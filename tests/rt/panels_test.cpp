// Loading panels, child panels, frame closes, popups and the event loop.
#include "rt_fixture.h"
#include "rt/widgets.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFocusEvent>
#include <QLineEdit>
#include <QAbstractButton>
#include <QPushButton>
#include <QTest>

#include <algorithm>

TEST_F(RtFixture, LoadMapsControlsByName)
{
    QWidget* top = rt.panelWidget(main);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->windowTitle(), QStringLiteral("Run-time test panel"));
    EXPECT_NE(qobject_cast<rt::Numeric*>(rt.controlWidget(main, PARM_SV)), nullptr);
    EXPECT_NE(qobject_cast<rt::Led*>(rt.controlWidget(main, PARM_LINK_LED)), nullptr);
    EXPECT_NE(qobject_cast<rt::TimerControl*>(rt.controlWidget(main, PARM_PV_TIMER)), nullptr);
    EXPECT_NE(qobject_cast<rt::StripChart*>(rt.controlWidget(main, CHART_STRIPCHART)), nullptr);
    EXPECT_NE(qobject_cast<rt::Graph*>(rt.controlWidget(main, PIDHELP_GRAPH)), nullptr);
    // A control the file does not hold, and a panel that does not exist.
    EXPECT_EQ(rt.controlWidget(main, SCRIPT_SV_1), nullptr);
    EXPECT_EQ(rt.SetCtrlVal(main, SCRIPT_SV_1, 1.0), rt::RT_ERR_BAD_HANDLE);
    EXPECT_EQ(rt.SetCtrlVal(main + 100, PARM_SV, 1.0), rt::RT_ERR_BAD_HANDLE);
    EXPECT_FALSE(rt.IsPanelVisible(main));
}

TEST_F(RtFixture, MissingOrBrokenFilesFail)
{
    EXPECT_EQ(rt.LoadPanel(0, "No Such Panel.uir", 1), rt::RT_ERR_PANEL_FILE);
    EXPECT_EQ(rt.LoadPanel(0, "Test Broken.uir", 1), rt::RT_ERR_PANEL_FILE);
    EXPECT_LT(rt.LoadPanel(main + 100, "Test Child.uir", 1), 0);
    // Handles of later panels stay distinct and valid.
    const int second = rt.LoadPanel(0, "Test Main.uir", 1);
    EXPECT_GT(second, main);
    EXPECT_NE(rt.controlWidget(second, PARM_SV), rt.controlWidget(main, PARM_SV));
}

TEST_F(RtFixture, CallbacksBindThroughResolver)
{
    const auto& unbound = rt.unboundCallbacks();
    ASSERT_EQ(unbound.size(), 1u);
    EXPECT_EQ(unbound[0], "NoSuchCallback");
    const auto bound = rt.boundCallbacks();
    EXPECT_EQ(std::count(bound.begin(), bound.end(), "OnCommit"), 5);
    EXPECT_EQ(std::count(bound.begin(), bound.end(), "OnTick"), 1);
    // An unbound control does nothing when the operator acts on it.
    EXPECT_EQ(rt.FireEvent(main, PARM_INFO, rt::EVENT_COMMIT), 0);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(rt.FireEvent(main, PARM_SV_SEND, rt::EVENT_COMMIT), 0);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].panel, main);
    EXPECT_EQ(calls[0].control, PARM_SV_SEND);
    EXPECT_EQ(calls[0].event, rt::EVENT_COMMIT);
}

TEST_F(RtFixture, ChildPanelIsOverlayAtItsFilePosition)
{
    const int child = rt.LoadPanel(main, "Test Child.uir", 1);
    ASSERT_GT(child, 0);
    QWidget* w = rt.panelWidget(child);
    // Inside the parent panel's contents, so it scrolls with them.
    EXPECT_TRUE(rt.panelWidget(main)->isAncestorOf(w));
    EXPECT_FALSE(w->isWindow());
    EXPECT_EQ(w->geometry(), QRect(40, 30, 200, 120));

    rt.DisplayPanel(main);
    EXPECT_FALSE(w->isVisible());  // hidden until displayed itself
    EXPECT_FALSE(rt.IsPanelVisible(child));
    rt.DisplayPanel(child);
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(rt.IsPanelVisible(child));
    // Raised above its siblings: the last child of the parent.
    EXPECT_EQ(w->parentWidget()->children().last(), w);
    rt.HidePanel(child);
    EXPECT_FALSE(w->isVisible());

    // Discarding the parent takes the child with it.
    EXPECT_EQ(rt.DiscardPanel(main), 0);
    EXPECT_EQ(rt.panelWidget(child), nullptr);
    EXPECT_EQ(rt.DisplayPanel(main), rt::RT_ERR_BAD_HANDLE);
}

TEST_F(RtFixture, FrameCloseHidesOrCallsHandler)
{
    rt.DisplayPanel(main);
    QWidget* w = rt.panelWidget(main);
    w->close();
    EXPECT_FALSE(w->isVisible());
    EXPECT_FALSE(rt.IsPanelVisible(main));

    rt.DisplayPanel(main);
    int closes = 0;
    rt.setPanelCloseHandler(main, [&] { ++closes; });
    EXPECT_FALSE(w->close());
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(rt.IsPanelVisible(main));
    // Panels hide and show all the time; hiding the last one must not end the program.
    EXPECT_FALSE(QGuiApplication::quitOnLastWindowClosed());
}

TEST_F(RtFixture, PopupPaintsWithoutRunningCallbacks)
{
    const int wait = rt.LoadPanel(0, "Test Child.uir", 1);
    ASSERT_GT(wait, 0);
    rt.DisplayPanel(main);
    // An overdue timer tick is pending while the popup paints.
    rt.SetCtrlAttribute(main, PARM_PV_TIMER, rt::ATTR_INTERVAL, 0.001);
    rt.SetCtrlAttribute(main, PARM_PV_TIMER, rt::ATTR_ENABLED, 1);
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 15) {
    }
    // The popup is painted before InstallPopup returns: the work it
    // announces blocks the thread right after.
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override
        {
            paints += e->type() == QEvent::Paint ? 1 : 0;
            return false;
        }
    } painted;
    rt.panelWidget(wait)->installEventFilter(&painted);
    EXPECT_EQ(rt.InstallPopup(wait), 0);
    rt.panelWidget(wait)->removeEventFilter(&painted);
    EXPECT_GT(painted.paints, 0);
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(rt.IsPopupInstalled(wait));
    QWidget* w = rt.panelWidget(wait);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->windowModality(), Qt::ApplicationModal);
    // Centred on the main panel.
    const QPoint d = w->geometry().center() - rt.panelWidget(main)->frameGeometry().center();
    EXPECT_LE(d.manhattanLength(), 4);
    // A popup cannot be closed by its frame.
    EXPECT_FALSE(w->close());
    EXPECT_TRUE(w->isVisible());

    EXPECT_EQ(rt.RemovePopup(0), 0);
    EXPECT_FALSE(rt.IsPopupInstalled(wait));
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(rt.RemovePopup(0), 0);  // none left: harmless

    // Without the popup the same pending tick does reach the callback.
    t.restart();
    while (calls.empty() && t.elapsed() < 2000)
        QCoreApplication::processEvents();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].event, rt::EVENT_TIMER_TICK);
    rt.SetCtrlAttribute(main, PARM_PV_TIMER, rt::ATTR_ENABLED, 0);
}

TEST_F(RtFixture, EventLoopRunsUntilQuit)
{
    // The timer's third tick ends the loop with its code.
    onCall = [this](const CallRecord& c) {
        if (c.event == rt::EVENT_TIMER_TICK && count(PARM_PV_TIMER, rt::EVENT_TIMER_TICK) == 3)
            rt.QuitUserInterface(7);
    };
    rt.SetCtrlAttribute(main, PARM_PV_TIMER, rt::ATTR_INTERVAL, 0.005);
    rt.SetCtrlAttribute(main, PARM_PV_TIMER, rt::ATTR_ENABLED, 1);
    QTimer guard;  // a broken loop must not hang the test
    QObject::connect(&guard, &QTimer::timeout, [this] { rt.QuitUserInterface(-99); });
    guard.start(5000);
    EXPECT_EQ(rt.RunUserInterface(), 7);
    EXPECT_TRUE(rt.quitRequested());
    EXPECT_EQ(count(PARM_PV_TIMER, rt::EVENT_TIMER_TICK), 3);
    rt.SetCtrlAttribute(main, PARM_PV_TIMER, rt::ATTR_ENABLED, 0);
}

TEST_F(RtFixture, ToolkitEventsWaitWhileCallbackShowsDialog)
{
    // While a callback's dialog is up, a click on another control must not
    // start another callback.
    struct ClickingOperator : rt::Operator {
        QAbstractButton* button = nullptr;
        void message(const std::string&, const std::string&) override { button->click(); }
        int generic(const rt::GenericPopup&) override { return 1; }
        int fileSelect(const rt::FileSelect&, std::string*) override { return 0; }
    } clicking;
    rt::Runtime other(clock, clicking);
    other.setPanelSearchPath({RT_TEST_DIR});
    int runs = 0;
    other.setCallbackResolver([&](const std::string& name) -> rt::CtrlCallback {
        if (name != "OnCommit")
            return {};
        return [&](int, int, int, void*, int, int) {
            ++runs;
            other.MessagePopup("Title", "Text");
            return 0;
        };
    });
    const int p = other.LoadPanel(0, "Test Main.uir", 1);
    clicking.button = qobject_cast<QAbstractButton*>(other.controlWidget(p, PARM_PV_READ));
    ASSERT_NE(clicking.button, nullptr);
    qobject_cast<QAbstractButton*>(other.controlWidget(p, PARM_SV_SEND))->click();
    EXPECT_EQ(runs, 1);
    // Outside any callback the same click does run.
    clicking.button->click();
    EXPECT_EQ(runs, 2);
}

namespace {
// The operator has typed into a field and not yet pressed Enter.
void typeWithoutEnter(QWidget* field, const QString& text)
{
    QLineEdit* e = field->findChild<QLineEdit*>();
    e->selectAll();
    QTest::keyClicks(e, text);
}

// A popup takes the focus from the field, which then takes its text.
void focusLeaves(QWidget* field)
{
    QFocusEvent out(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(field, &out);
}

void runEventLoopBriefly()
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 50)
        QCoreApplication::processEvents();
}
} // namespace

TEST_F(RtFixture, FieldCommitDuringACallbackRunsAfterIt)
{
    QWidget* sv = rt.controlWidget(main, PARM_SV);
    rt.SetCtrlVal(main, PARM_SV, 20.0);
    typeWithoutEnter(sv, "55.5");
    EXPECT_EQ(count(PARM_SV, rt::EVENT_COMMIT), 0);

    // A timer callback shows a popup; the field commits as the focus leaves it.
    int svCommitsSeenInsideTick = -1;
    onCall = [&](const CallRecord& c) {
        if (c.event == rt::EVENT_TIMER_TICK) {
            rt.MessagePopup("Alarm", "text");
            focusLeaves(sv);
            svCommitsSeenInsideTick = count(PARM_SV, rt::EVENT_COMMIT);
        }
    };
    rt.Tick(main, PARM_PV_TIMER);
    onCall = nullptr;
    EXPECT_EQ(svCommitsSeenInsideTick, 0) << "no callback may start inside another";
    EXPECT_DOUBLE_EQ(value(PARM_SV), 55.5);
    // Never silently lost: it runs from the event loop once the tick is over.
    EXPECT_EQ(count(PARM_SV, rt::EVENT_COMMIT), 0);
    runEventLoopBriefly();
    EXPECT_EQ(count(PARM_SV, rt::EVENT_COMMIT), 1);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().control, PARM_SV);
    runEventLoopBriefly();
    EXPECT_EQ(count(PARM_SV, rt::EVENT_COMMIT), 1) << "delivered once only";

    // The same inside a modal popup of the operator's: held until it closes.
    struct FocusTakingOperator : rt::Operator {
        QWidget* field = nullptr;
        void message(const std::string&, const std::string&) override { focusLeaves(field); }
        int generic(const rt::GenericPopup&) override { return 1; }
        int fileSelect(const rt::FileSelect&, std::string*) override { return 0; }
    } taking;
    rt::Runtime other(clock, taking);
    other.setPanelSearchPath({RT_TEST_DIR});
    int otherCommits = 0;
    other.setCallbackResolver([&](const std::string& name) -> rt::CtrlCallback {
        if (name != "OnCommit")
            return {};
        return [&](int, int control, int, void*, int, int) {
            otherCommits += control == PARM_CTRL_ID ? 1 : 0;
            return 0;
        };
    });
    const int p = other.LoadPanel(0, "Test Main.uir", 1);
    taking.field = other.controlWidget(p, PARM_CTRL_ID);
    typeWithoutEnter(taking.field, "17");
    other.MessagePopup("Error", "text");  // outside any callback
    EXPECT_EQ(otherCommits, 0);
    runEventLoopBriefly();
    EXPECT_EQ(otherCommits, 1);
    int id = 0;
    other.GetCtrlVal(p, PARM_CTRL_ID, &id);
    EXPECT_EQ(id, 17);
}

TEST_F(RtFixture, HeldFieldCommitGivesWayToTheProgram)
{
    QWidget* sv = rt.controlWidget(main, PARM_SV);
    QWidget* id = rt.controlWidget(main, PARM_CTRL_ID);
    rt.SetCtrlVal(main, PARM_SV, 20.0);
    typeWithoutEnter(sv, "55.5");
    typeWithoutEnter(id, "9");
    onCall = [&](const CallRecord& c) {
        if (c.event != rt::EVENT_TIMER_TICK)
            return;
        focusLeaves(sv);
        focusLeaves(id);
        // The callback then fills the field from the controller, and dims
        // the other one: the program's value and dimming stand.
        rt.SetCtrlVal(main, PARM_SV, 21.0);
        rt.SetCtrlAttribute(main, PARM_CTRL_ID, rt::ATTR_DIMMED, 1);
    };
    rt.Tick(main, PARM_PV_TIMER);
    onCall = nullptr;
    runEventLoopBriefly();
    EXPECT_EQ(count(PARM_SV, rt::EVENT_COMMIT), 0);
    EXPECT_EQ(count(PARM_CTRL_ID, rt::EVENT_COMMIT), 0);
    EXPECT_DOUBLE_EQ(value(PARM_SV), 21.0);

    // Timer ticks and right clicks held back are dropped, not queued.
    calls.clear();
    onCall = [&](const CallRecord& c) {
        if (c.event == rt::EVENT_COMMIT && c.control == PARM_SV_SEND) {
            QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(2, 2), QPoint(2, 2));
            QApplication::sendEvent(rt.controlWidget(main, LOGSET_INTERVAL), &ev);
        }
    };
    rt.Commit(main, PARM_SV_SEND);
    onCall = nullptr;
    runEventLoopBriefly();
    EXPECT_EQ(count(LOGSET_INTERVAL, rt::EVENT_RIGHT_CLICK), 0);
    ASSERT_EQ(calls.size(), 1u);
}
