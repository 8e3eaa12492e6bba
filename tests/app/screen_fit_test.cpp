// Every panel on the screens people have. ctest runs this once per screen:
// 1024x600, 1024x768, a 1920x1080 laptop at 150 % (1280x720) and a large
// screen, at device-pixel ratios 1, 1.5 and 2 (TEC_SCREEN and TEC_DPR say
// which, so a run on the wrong screen fails instead of passing unseen).
#include "support/rig.h"
#include "rt/panel_fit.h"
#include "rt/panel_loader.h"
#include "rt/widgets.h"

#include <QAbstractButton>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Room the run-time leaves for a title bar it cannot know yet.
constexpr int kTitleBar = 32;

QRect Available()
{
    return QGuiApplication::primaryScreen()->availableGeometry();
}

QSize FileSize(const char* panelFile)
{
    QFile f(QString(TEC_UI_DIR) + "/" + panelFile);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return rt::TopWidgetGeometry(f.readAll()).value_or(QRect()).size();
}

// Controls the operator works with: named by the panel's prefix, shown, and
// not a timer (timers have no place on the screen).
std::vector<QWidget*> OperatorControls(QWidget* panel)
{
    std::vector<QWidget*> out;
    for (QWidget* w : panel->findChildren<QWidget*>()) {
        const QString name = w->objectName();
        if (!name.contains('_') || name != name.toUpper() || name.endsWith("_contents"))
            continue;
        if (qobject_cast<rt::TimerControl*>(w) || !w->isVisibleTo(panel))
            continue;
        out.push_back(w);
    }
    return out;
}

// Scrolls the control into view and says whether all of it is then inside
// the window (or, for a control larger than the window, whether it fills it).
::testing::AssertionResult Reachable(QWidget* window, QWidget* control)
{
    auto* scroller = window->findChild<rt::PanelScroller*>();
    if (!scroller)
        return ::testing::AssertionFailure() << "no scroll area";
    // The whole control, not only its text cursor (ensureWidgetVisible's aim).
    const QPoint inContents = control->mapTo(scroller->widget(), control->rect().center());
    scroller->ensureVisible(inContents.x(), inContents.y(), control->width() / 2 + 1, control->height() / 2 + 1);
    QCoreApplication::processEvents();
    const QRect view = scroller->viewport()->rect();
    const QRect at(control->mapTo(scroller->viewport(), QPoint(0, 0)), control->size());
    const bool larger = at.width() > view.width() || at.height() > view.height();
    if (larger ? at.intersected(view).size() == view.size().boundedTo(at.size()) : view.contains(at))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << control->objectName().toStdString() << " at " << at.x() << "," << at.y()
                                         << " " << at.width() << "x" << at.height() << " outside the view "
                                         << view.width() << "x" << view.height() << " window " << window->width()
                                         << "x" << window->height() << " contents " << scroller->widget()->width()
                                         << "x" << scroller->widget()->height() << " scroll "
                                         << scroller->horizontalScrollBar()->maximum() << ","
                                         << scroller->verticalScrollBar()->maximum() << " screen "
                                         << Available().width() << "x" << Available().height();
}

TEST(Screens, RunsOnTheScreenItWasGiven)
{
    const char* screen = std::getenv("TEC_SCREEN");
    const char* dpr = std::getenv("TEC_DPR");
    if (!screen || !dpr)
        GTEST_SKIP() << "the default offscreen screen (no TEC_SCREEN given)";
    const QStringList wh = QString(screen).split('x');
    ASSERT_EQ(wh.size(), 2);
    EXPECT_EQ(Available().size(), QSize(wh[0].toInt(), wh[1].toInt()));
    EXPECT_DOUBLE_EQ(QGuiApplication::primaryScreen()->devicePixelRatio(), std::atof(dpr));
}

TEST(Screens, EveryPanelFitsTheScreenAndEveryControlIsReachable)
{
    TestRig rig;
    App& app = rig.app;
    struct Top {
        int panel;
        const char* file;
        std::vector<int> children;
    };
    const Top tops[] = {
        {app.panels.parm, panelfiles::kParm, {}},
        {app.panels.debug, panelfiles::kDebug, {}},
        {app.panels.chart, panelfiles::kChart, {app.panels.yscale, app.panels.logset}},
        {app.panels.script, panelfiles::kScript, {}},
        {app.panels.pidhelp, panelfiles::kPidHelp, {}},
    };
    const QRect screen = Available();
    for (const Top& t : tops) {
        SCOPED_TRACE(t.file);
        ASSERT_EQ(rig.rt.DisplayPanel(t.panel), 0);
        QCoreApplication::processEvents();
        QWidget* w = rig.rt.panelWidget(t.panel);
        const QRect outer(w->pos(), w->size() + QSize(0, kTitleBar));
        EXPECT_TRUE(screen.contains(outer) || screen.size().boundedTo(outer.size()) == outer.size())
            << "window " << w->width() << "x" << w->height() << " on a " << screen.width() << "x"
            << screen.height() << " screen";
        EXPECT_LE(w->width(), screen.width());
        EXPECT_LE(w->height() + kTitleBar, screen.height());

        auto* scroller = w->findChild<rt::PanelScroller*>();
        ASSERT_TRUE(scroller);
        const QSize file = FileSize(t.file);
        if (file.width() <= screen.width() && file.height() + kTitleBar <= screen.height()) {
            // Fits: as the file made it, no scroll bar.
            EXPECT_EQ(w->size(), file);
            EXPECT_FALSE(scroller->horizontalScrollBar()->isVisible());
            EXPECT_FALSE(scroller->verticalScrollBar()->isVisible());
        }
        for (int child : t.children) {
            ASSERT_EQ(rig.rt.DisplayPanel(child), 0);
            QCoreApplication::processEvents();
        }
        const std::vector<QWidget*> controls = OperatorControls(w);
        EXPECT_GT(controls.size(), 3u);
        for (QWidget* c : controls)
            EXPECT_TRUE(Reachable(w, c));
        for (int child : t.children)
            rig.rt.HidePanel(child);
        rig.rt.HidePanel(t.panel);
    }

    // The wait popup appears whole, over the main panel.
    rig.rt.DisplayPanel(app.panels.parm);
    ASSERT_EQ(rig.rt.InstallPopup(app.panels.wait), 0);
    QWidget* wait = rig.rt.panelWidget(app.panels.wait);
    EXPECT_LE(wait->width(), screen.width());
    EXPECT_LE(wait->height(), screen.height());
    EXPECT_GE(wait->width(), FileSize(panelfiles::kWait).width() * 9 / 10) << "the popup lost its size";
    rig.rt.RemovePopup(0);
}

// Where a panel fits, the scroll area around it changes no pixel: each real
// panel against its file loaded alone, at the file's size.
TEST(Screens, APanelThatFitsLooksAsItsFileAlone)
{
    TestRig rig;
    auto render = [](QWidget* w, QSize size) {
        w->setAttribute(Qt::WA_DontShowOnScreen);
        w->resize(size);
        w->show();
        QCoreApplication::processEvents();
        return w->grab().toImage();
    };
    const std::pair<int, const char*> tops[] = {
        {rig.app.panels.parm, panelfiles::kParm},     {rig.app.panels.debug, panelfiles::kDebug},
        {rig.app.panels.chart, panelfiles::kChart},   {rig.app.panels.script, panelfiles::kScript},
        {rig.app.panels.pidhelp, panelfiles::kPidHelp},
    };
    for (const auto& [panel, file] : tops) {
        QFile f(QString(TEC_UI_DIR) + "/" + file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << file;
        rt::PanelLoader loader;
        std::unique_ptr<QWidget> plain(loader.load(&f, nullptr));
        ASSERT_TRUE(plain) << file;
        const QSize size = FileSize(file);
        EXPECT_TRUE(render(rig.rt.panelWidget(panel), size) == render(plain.get(), size)) << file << " looks different";
    }
}

// A keyboard user on a small screen: each control Tab lands on is scrolled
// into view (its text cursor, for a field).
TEST(Screens, TabScrollsTheFocusedControlIntoView)
{
    TestRig rig;
    ASSERT_EQ(rig.rt.DisplayPanel(rig.parm()), 0);
    QWidget* panel = rig.rt.panelWidget(rig.parm());
    panel->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel));
    auto* scroller = panel->findChild<rt::PanelScroller*>();
    ASSERT_TRUE(scroller);
    QWidget* port = rig.rt.controlWidget(rig.parm(), PARM_COMPORT);
    port->setFocus(Qt::TabFocusReason);
    int stops = 0;
    do {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* f = QApplication::focusWidget();
        ASSERT_TRUE(f);
        const QRect cursor = f->inputMethodQuery(Qt::ImCursorRectangle).toRect();
        const QRect aim = cursor.isValid() && !cursor.isEmpty() ? cursor : f->rect();
        const QRect inView(f->mapTo(scroller->viewport(), aim.topLeft()), aim.size());
        EXPECT_TRUE(scroller->viewport()->rect().intersects(inView))
            << f->objectName().toStdString() << " has the focus out of sight";
    } while (QApplication::focusWidget() != port && ++stops < 200);
    EXPECT_GT(stops, 20);
}

// From 1024 x 768 up the main panel and the chart need no sideways
// scrolling: every control lies within the window's width as it opens.
TEST(Screens, MainPanelAndChartNeedNoSidewaysScrollingFrom1024By768)
{
    const QRect screen = Available();
    if (screen.width() < 1024 || screen.height() < 768)
        GTEST_SKIP() << "below 1024 x 768 the panels scroll";
    TestRig rig;
    // A long device name in the port selector must not widen the panel.
    rig.rt.InsertListItem(rig.parm(), PARM_COMPORT, -1,
                          "7  /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", 7);
    // Nor the longest line beside the link LED.
    rig.rt.SetCtrlVal(rig.parm(), PARM_LINK_STATUS, "Back at 23:59:59, parameters not read; press Read all");
    rig.rt.SetCtrlAttribute(rig.parm(), PARM_LINK_STATUS, rt::ATTR_VISIBLE, 1);
    for (const int panel : {rig.parm(), rig.app.panels.chart}) {
        ASSERT_EQ(rig.rt.DisplayPanel(panel), 0);
        QCoreApplication::processEvents();
        QWidget* w = rig.rt.panelWidget(panel);
        auto* scroller = w->findChild<rt::PanelScroller*>();
        ASSERT_TRUE(scroller);
        SCOPED_TRACE(w->objectName().toStdString());
        EXPECT_LE(w->width(), 1024);
        EXPECT_LE(w->height() + kTitleBar, 768);
        EXPECT_EQ(scroller->horizontalScrollBar()->maximum(), 0)
            << "contents need " << scroller->widget()->minimumSizeHint().width() << "x"
            << scroller->widget()->minimumSizeHint().height() << " in " << w->width() << "x" << w->height();
        EXPECT_EQ(scroller->verticalScrollBar()->maximum(), 0) << "nor up and down";
        const int width = scroller->viewport()->width();
        for (QWidget* c : OperatorControls(w)) {
            const int left = c->mapTo(scroller->viewport(), QPoint(0, 0)).x();
            EXPECT_TRUE(left >= 0 && left + c->width() <= width)
                << c->objectName().toStdString() << " spans " << left << ".." << left + c->width() << " of " << width;
        }
        rig.rt.HidePanel(panel);
    }
}

// An enlarged chart window gives its room to the plot; the column of values
// and buttons beside it keeps its width.
TEST(Screens, AnEnlargedChartGivesTheRoomToThePlot)
{
    TestRig rig;
    const int chart = rig.app.panels.chart;
    ASSERT_EQ(rig.rt.DisplayPanel(chart), 0);
    QWidget* w = rig.rt.panelWidget(chart);
    QWidget* plot = rig.rt.controlWidget(chart, CHART_STRIPCHART);
    QWidget* exit = rig.rt.controlWidget(chart, CHART_EXIT);
    const QSize base(1000, 620);
    w->resize(base);
    QCoreApplication::processEvents();
    const int plotBefore = plot->width();
    const int exitBefore = exit->width();
    w->resize(base + QSize(400, 200));
    QCoreApplication::processEvents();
    EXPECT_EQ(exit->width(), exitBefore) << "the button column widened";
    EXPECT_GE(plot->width(), plotBefore + 390) << "the plot did not take the room";
}

TEST(Screens, ExitAndTheBottomRowOfTheMainPanelCanBePressed)
{
    TestRig rig;
    ASSERT_EQ(rig.rt.DisplayPanel(rig.parm()), 0);
    QCoreApplication::processEvents();
    QWidget* w = rig.rt.panelWidget(rig.parm());
    int buttons = 0;
    for (QAbstractButton* b : w->findChildren<QAbstractButton*>()) {
        if (!b->isVisibleTo(w) || b->objectName().isEmpty())
            continue;
        ++buttons;
        ASSERT_TRUE(Reachable(w, b));
        // What the operator sees under the button's centre is the button.
        const QPoint centre = b->mapTo(w, b->rect().center());
        QWidget* hit = w->childAt(centre);
        EXPECT_TRUE(hit == b || b->isAncestorOf(hit)) << b->objectName().toStdString() << " is covered";
    }
    EXPECT_GT(buttons, 10);
}

} // namespace
