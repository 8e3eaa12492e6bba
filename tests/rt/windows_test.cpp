// Panel windows on small and changing screens: where a remembered window
// goes, that a panel scrolls only when it must, and that positions and sizes
// come back between runs.
#include "rt_fixture.h"
#include "rt/panel_fit.h"
#include "rt/panel_loader.h"

#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QImage>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>

namespace {

using rt::FitWindow;

struct FitCase {
    const char* what;
    QRect window;  // frame top-left, client size
    std::vector<QRect> screens;
    QRect expected;
};

// A 1920x1080 primary screen with a desktop panel at the top, and a second
// 1280x1024 monitor to its right.
const QRect kPrimary(0, 28, 1920, 1052);
const QRect kRight(1920, 0, 1280, 1024);
const QMargins kFrame(0, 30, 0, 0);

TEST(FitWindow, KeepsReachableWindowsAndBringsBackLostOnes)
{
    const FitCase cases[] = {
        {"inside: unchanged", QRect(100, 100, 800, 600), {kPrimary}, QRect(100, 100, 800, 600)},
        {"on the second monitor: unchanged", QRect(2000, 50, 800, 600), {kPrimary, kRight}, QRect(2000, 50, 800, 600)},
        {"second monitor unplugged: centred on the primary", QRect(2000, 50, 800, 600), {kPrimary},
         QRect(560, 28 + (1052 - 630) / 2, 800, 600)},
        {"monitor to the left unplugged", QRect(-1500, 200, 800, 600), {kPrimary},
         QRect(560, 28 + (1052 - 630) / 2, 800, 600)},
        {"hanging over the right edge: moved in", QRect(1500, 100, 800, 600), {kPrimary}, QRect(1120, 100, 800, 600)},
        {"title bar under the desktop panel: moved down", QRect(100, 0, 800, 600), {kPrimary}, QRect(100, 28, 800, 600)},
        {"larger than the screen: shrunk to it", QRect(0, 28, 2400, 1400), {kPrimary}, QRect(0, 28, 1920, 1022)},
        {"mostly on the right monitor: fitted there", QRect(1800, 100, 800, 600), {kPrimary, kRight},
         QRect(1920, 100, 800, 600)},
        {"a 1024x600 netbook", QRect(0, 0, 1120, 740), {QRect(0, 0, 1024, 600)}, QRect(0, 0, 1024, 570)},
    };
    for (const FitCase& c : cases)
        EXPECT_EQ(FitWindow(c.window, kFrame, c.screens, 0), c.expected) << c.what;
    // The primary screen need not be the first.
    EXPECT_EQ(FitWindow(QRect(-3000, 0, 400, 300), QMargins(), {kRight, kPrimary}, 1).topLeft(),
              QPoint(760, 28 + (1052 - 300) / 2));
    EXPECT_EQ(FitWindow(QRect(5, 5, 10, 10), QMargins(), {}, 0), QRect(5, 5, 10, 10)) << "no screen: left alone";
}

// A panel whose file has a layout and a minimum size, as the program's panels do.
const char* const kLaidOutPanel = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>PARM</class>
 <widget class="QWidget" name="PARM">
  <property name="geometry"><rect><x>0</x><y>0</y><width>700</width><height>500</height></rect></property>
  <property name="minimumSize"><size><width>680</width><height>480</height></size></property>
  <property name="styleSheet"><string>QGroupBox { font-weight: bold; border: 1px solid #aab4be; border-radius: 6px; margin-top: 12px; }</string></property>
  <layout class="QVBoxLayout" name="l">
   <property name="leftMargin"><number>12</number></property>
   <property name="topMargin"><number>12</number></property>
   <item>
    <widget class="QGroupBox" name="g">
     <property name="title"><string>Process</string></property>
     <layout class="QHBoxLayout" name="gl">
      <item><widget class="Numeric" name="PARM_SV"><property name="precision"><number>1</number></property></widget></item>
      <item><widget class="QPushButton" name="PARM_QUIT"><property name="text"><string>Exit</string></property></widget></item>
     </layout>
    </widget>
   </item>
  </layout>
 </widget>
</ui>
)";

class Windows : public RtFixture {
protected:
    QTemporaryDir dir;

    std::string writePanel(const char* name, const char* text)
    {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
        return f.fileName().toStdString();
    }
    static QImage Render(QWidget* w, QSize size)
    {
        w->setAttribute(Qt::WA_DontShowOnScreen);
        w->resize(size);
        w->show();
        QCoreApplication::processEvents();
        return w->grab().toImage();
    }
};

TEST_F(Windows, PanelThatFitsLooksAsItsFileSaysAndScrollsOnlyWhenTooSmall)
{
    const std::string path = writePanel("Laid Out.uir", kLaidOutPanel);
    const int h = rt.LoadPanel(0, path, 1);
    ASSERT_GT(h, 0);
    QWidget* panel = rt.panelWidget(h);
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    rt::PanelLoader loader;
    std::unique_ptr<QWidget> plain(loader.load(&file, nullptr));
    ASSERT_TRUE(plain);

    // Pixel for pixel what the panel file alone gives.
    const QImage wrapped = Render(panel, QSize(700, 500));
    EXPECT_TRUE(wrapped == Render(plain.get(), QSize(700, 500))) << "a panel that fits looks different";

    auto* scroller = panel->findChild<rt::PanelScroller*>();
    ASSERT_TRUE(scroller);
    EXPECT_FALSE(scroller->horizontalScrollBar()->isVisible());
    EXPECT_FALSE(scroller->verticalScrollBar()->isVisible());
    EXPECT_EQ(scroller->focusPolicy(), Qt::NoFocus) << "the scroll area must not join the tab order";

    // Smaller than the file's minimum: the window shrinks, the contents scroll
    // and every control can be brought into view.
    panel->resize(400, 300);
    QCoreApplication::processEvents();
    EXPECT_EQ(panel->size(), QSize(400, 300));
    EXPECT_TRUE(scroller->horizontalScrollBar()->isVisible());
    EXPECT_TRUE(scroller->verticalScrollBar()->isVisible());
    EXPECT_EQ(scroller->widget()->size(), QSize(680, 480)) << "the contents keep their minimum size";
    QWidget* exit = panel->findChild<QWidget*>("PARM_QUIT");
    ASSERT_TRUE(exit);
    scroller->ensureWidgetVisible(exit);
    const QRect inView(exit->mapTo(scroller->viewport(), QPoint(0, 0)), exit->size());
    EXPECT_TRUE(scroller->viewport()->rect().contains(inView)) << "Exit out of reach";
    // The controls are still the run-time's controls.
    EXPECT_EQ(rt.SetCtrlVal(h, PARM_SV, 12.5), 0);
}

TEST_F(Windows, PanelWithoutLayoutKeepsItsPlacesAndChildPanelsScrollWithIt)
{
    QWidget* panel = rt.panelWidget(main);
    QWidget* sv = rt.controlWidget(main, PARM_SV);
    ASSERT_TRUE(sv);
    EXPECT_EQ(sv->geometry(), QRect(10, 10, 100, 24));
    const int child = rt.LoadPanel(main, "Test Child.uir", 1);
    ASSERT_GT(child, 0);
    auto* scroller = panel->findChild<rt::PanelScroller*>();
    ASSERT_TRUE(scroller);
    EXPECT_EQ(rt.panelWidget(child)->parentWidget(), scroller->widget());
    EXPECT_EQ(scroller->widget()->minimumSize(), QSize(640, 480));
}

TEST_F(Windows, PositionAndSizeComeBackNextRunAndNeverOffScreen)
{
    const QString memory = dir.filePath("tecontrol.conf");
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const std::string path = writePanel("Laid Out.uir", kLaidOutPanel);
    {
        rt::Runtime first(clock, op);
        first.setWindowMemory(memory.toStdString());
        const int h = first.LoadPanel(0, path, 1);
        ASSERT_EQ(first.DisplayPanel(h), 0);
        QWidget* w = first.panelWidget(h);
        w->move(screen.topLeft() + QPoint(40, 50));
        w->resize(500, 360);
        QCoreApplication::processEvents();
        // Ending the program remembers what is shown.
    }
    {
        rt::Runtime second(clock, op);
        second.setWindowMemory(memory.toStdString());
        const int h = second.LoadPanel(0, path, 1);
        ASSERT_EQ(second.DisplayPanel(h), 0);
        QWidget* w = second.panelWidget(h);
        EXPECT_EQ(w->pos(), screen.topLeft() + QPoint(40, 50));
        EXPECT_EQ(w->size(), QSize(500, 360));
        // Hiding remembers too: the operator moves it onto a monitor that is
        // then unplugged.
        w->move(screen.right() + 3000, screen.top() + 100);
        ASSERT_EQ(second.HidePanel(h), 0);
    }
    QSettings stored(memory, QSettings::IniFormat);
    EXPECT_EQ(stored.value("windows/PARM/geometry").toRect().left(), screen.right() + 3000);
    {
        rt::Runtime third(clock, op);
        third.setWindowMemory(memory.toStdString());
        const int h = third.LoadPanel(0, path, 1);
        ASSERT_EQ(third.DisplayPanel(h), 0);
        QWidget* w = third.panelWidget(h);
        EXPECT_TRUE(screen.contains(QRect(w->pos(), w->size()))) << "window left off-screen";
        EXPECT_EQ(w->size(), QSize(500, 360));
    }
    // Without memory nothing is written.
    QFile::remove(memory);
    {
        rt::Runtime none(clock, op);
        const int h = none.LoadPanel(0, path, 1);
        none.DisplayPanel(h);
    }
    EXPECT_FALSE(QFile::exists(memory));
}

} // namespace
