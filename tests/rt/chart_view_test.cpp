// The strip chart as the operator studies it: scroll, zoom and Live by mouse
// and keys while points keep arriving, the operator's Y scale restored, the
// cursor readout, and export to complete files.
#include "formats/chart_axis.h"
#include "rt/files.h"
#include "rt/widgets.h"
#include "rt_fixture.h"

#include <QApplication>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include <algorithm>

namespace {

class ChartView : public RtFixture {
protected:
    rt::StripChart* chart = nullptr;

    void SetUp() override
    {
        RtFixture::SetUp();
        chart = qobject_cast<rt::StripChart*>(rt.controlWidget(main, CHART_STRIPCHART));
        ASSERT_NE(chart, nullptr);
        rt.DisplayPanel(main);
        chart->resize(800, 400);
        chart->replot(QCustomPlot::rpImmediateRefresh);
    }
    // n points two seconds apart from t.
    void fill(double t, int n)
    {
        for (int i = 0; i < n; ++i)
            chart->addPoint({20.0 + i % 7, 30.0 + i % 5}, t + 2.0 * i);
    }
    void mouse(QEvent::Type type, QPoint at, Qt::MouseButtons held, Qt::KeyboardModifiers mods = {})
    {
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent e(type, at, chart->mapToGlobal(at), button, held, mods);
        QApplication::sendEvent(chart, &e);
    }
    void drag(QPoint from, QPoint to, Qt::KeyboardModifiers mods = {})
    {
        mouse(QEvent::MouseButtonPress, from, Qt::LeftButton, mods);
        mouse(QEvent::MouseMove, (from + to) / 2, Qt::LeftButton, mods);
        mouse(QEvent::MouseMove, to, Qt::LeftButton, mods);
        mouse(QEvent::MouseButtonRelease, to, Qt::NoButton, mods);
    }
    void wheel(QPoint at, int delta, Qt::KeyboardModifiers mods = {})
    {
        QWheelEvent e(at, chart->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, mods, Qt::NoScrollPhase,
                      false);
        QApplication::sendEvent(chart, &e);
    }
    QCPRange x() const { return chart->xAxis->range(); }
    QCPRange y() const { return chart->yAxis->range(); }
    QPoint centre() const { return chart->axisRect()->rect().center(); }
};

std::string Slurp(const std::string& path)
{
    std::string s;
    rt::ReadWholeFile(path, &s, nullptr, std::uint64_t{1} << 30);
    return s;
}

} // namespace

TEST_F(ChartView, ScrollAndZoomStayPutWhileNewPointsArriveAndLiveResumes)
{
    fill(1000, 1000);  // 1000 .. 2998
    ASSERT_TRUE(chart->isLive());
    EXPECT_DOUBLE_EQ(x().upper, 2998);
    EXPECT_DOUBLE_EQ(x().size(), 49 * 2.0);

    // Dragging right by 200 pixels looks back by as much time.
    const double perPixel = x().size() / chart->axisRect()->width();
    drag(centre(), centre() + QPoint(200, 0));
    EXPECT_FALSE(chart->isLive());
    EXPECT_NEAR(x().upper, 2998 - 200 * perPixel, 1e-6);
    const QCPRange held = x();
    fill(3000, 10);
    EXPECT_EQ(x(), held) << "new points do not move the view";
    EXPECT_EQ(chart->pointCount(), 1010);

    // The wheel zooms the time about the cursor; with Ctrl the Y axis.
    const QPoint at = centre() + QPoint(100, 0);
    const double under = chart->xAxis->pixelToCoord(at.x());
    wheel(at, 120);
    EXPECT_NEAR(x().size(), held.size() * 0.8, 1e-6);
    EXPECT_NEAR(chart->xAxis->pixelToCoord(at.x()), under, 1e-6);
    const QCPRange zoomed = x();
    wheel(at, 120, Qt::ControlModifier);
    EXPECT_EQ(x(), zoomed);
    EXPECT_NEAR(y().size(), 160 * 0.8, 1e-6);

    // Shift-drag: the box becomes the view on both axes.
    const QPoint a = centre() - QPoint(150, 60), b = centre() + QPoint(50, 90);
    const double t0 = chart->xAxis->pixelToCoord(a.x()), t1 = chart->xAxis->pixelToCoord(b.x());
    const double v0 = chart->yAxis->pixelToCoord(b.y()), v1 = chart->yAxis->pixelToCoord(a.y());
    drag(a, b, Qt::ShiftModifier);
    EXPECT_NEAR(x().lower, t0, 1e-6);
    EXPECT_NEAR(x().upper, t1, 1e-6);
    EXPECT_NEAR(y().lower, v0, 1e-6);
    EXPECT_NEAR(y().upper, v1, 1e-6);

    // A double-click gives back the operator's Y scale, not the zoomed one.
    QTest::mouseDClick(chart, Qt::LeftButton, {}, centre());
    EXPECT_EQ(y(), QCPRange(-10, 150));

    // Keys: Left scrolls back a tenth, Home shows the whole run, End is live.
    const QCPRange before = x();
    QTest::keyClick(chart, Qt::Key_Left);
    EXPECT_NEAR(x().lower, before.lower - before.size() / 10, 1e-6);
    QTest::keyClick(chart, Qt::Key_Home);
    EXPECT_LT(x().lower, 1000);
    EXPECT_GT(x().upper, 3018);
    QTest::keyClick(chart, Qt::Key_End);
    EXPECT_TRUE(chart->isLive());
    drag(centre(), centre() + QPoint(50, 0));
    ASSERT_FALSE(chart->isLive());
    ASSERT_EQ(rt.StripChartFollowLive(main, CHART_STRIPCHART), 0);
    EXPECT_TRUE(chart->isLive());
    EXPECT_DOUBLE_EQ(x().upper, 3018);
    fill(3020, 1);
    EXPECT_DOUBLE_EQ(x().upper, 3020);

    // The zoom stops at a few seconds and at about a year.
    for (int i = 0; i < 40; ++i)
        wheel(centre(), 120);
    EXPECT_NEAR(x().size(), rt::StripChart::kMinSpan, 1e-6);
    for (int i = 0; i < 200; ++i)
        wheel(centre(), -120);
    EXPECT_NEAR(x().size(), rt::StripChart::kMaxSpan, 1e-3);
}

TEST_F(ChartView, CursorReadsTimeAndBothValues)
{
    const double t = rt::CivilSeconds({2026, 12, 8, 14, 5, 9});
    chart->addPoint({25.0, 24.8}, t);
    chart->addPoint({25.0, 24.9}, t + 2);
    chart->addPoint({26.0, 25.04}, t + 3600);  // after an hour's pause
    chart->showTimeRange(t - 10, t + 20);
    chart->replot(QCustomPlot::rpImmediateRefresh);
    const int px = static_cast<int>(chart->xAxis->coordToPixel(t + 0.4));
    mouse(QEvent::MouseMove, QPoint(px, centre().y()), Qt::NoButton);
    EXPECT_EQ(chart->cursorReadout(), QStringLiteral("14:05:09   SV 25.0   PV 24.8"));
    // In the pause nothing is read; across midnight the date is given.
    mouse(QEvent::MouseMove, QPoint(static_cast<int>(chart->xAxis->coordToPixel(t + 18)), centre().y()), Qt::NoButton);
    EXPECT_EQ(chart->cursorReadout(), QString());
    EXPECT_EQ(chart->readoutAt(t + 3600), QStringLiteral("15:05:09   SV 26.0   PV 25.0"));
    chart->showTimeRange(t - 12 * 3600, t + 12 * 3600);
    EXPECT_EQ(chart->readoutAt(t + 3600), QStringLiteral("2026-12-08 15:05:09   SV 26.0   PV 25.0"));
}

TEST_F(ChartView, ExportWritesWholeFilesOrNone)
{
    QTemporaryDir dir;
    auto file = [&](const char* name) { return dir.filePath(name).toStdString(); };
    const double t = rt::CivilSeconds({2012, 3, 7, 14, 5, 9});
    chart->addPoint({25.0, 24.8}, t);
    chart->addPoint({-5.0, 24.85}, t + 10);
    chart->addPoint({25.0, 25.0}, t + 20);
    const std::string end = rt::TextLineEnd();
    const std::string header = "  Date,       Time,     SV,    PV" + end;

    op.queueFile(2, file("all.csv"));
    op.queueButton(2);  // the whole run
    ASSERT_EQ(rt.ExportStripChart(main, CHART_STRIPCHART), 0);
    EXPECT_EQ(op.lastGeneric().button1, "In view");
    EXPECT_EQ(op.lastGeneric().escapeButton, 3);
    EXPECT_EQ(Slurp(file("all.csv")), header + "3/7/2012, 14:05:09,  25.0,  24.8" + end +
                                          "3/7/2012, 14:05:19,  -5.0,  24.9" + end +
                                          "3/7/2012, 14:05:29,  25.0,  25.0" + end);

    chart->showTimeRange(t + 5, t + 15);
    op.queueFile(2, file("view.dat"));
    op.queueButton(1);
    ASSERT_EQ(rt.ExportStripChart(main, CHART_STRIPCHART), 0);
    EXPECT_EQ(Slurp(file("view.dat")), header + "3/7/2012, 14:05:19,  -5.0,  24.9" + end);

    op.queueFile(2, file("chart.png"));
    ASSERT_EQ(rt.ExportStripChart(main, CHART_STRIPCHART), 0);
    const std::string png = Slurp(file("chart.png"));
    EXPECT_EQ(png.substr(0, 4), "\x89PNG");
    EXPECT_GT(png.size(), 2000u);
    op.queueFile(2, file("chart.pdf"));
    ASSERT_EQ(rt.ExportStripChart(main, CHART_STRIPCHART), 0);
    const std::string pdf = Slurp(file("chart.pdf"));
    EXPECT_EQ(pdf.substr(0, 5), "%PDF-");
    EXPECT_NE(pdf.find("%%EOF"), std::string::npos);

    // Cancelled at either question, or nowhere to write: no file, and only a failure is reported.
    auto failures = [this] {
        return std::count_if(op.shown().begin(), op.shown().end(),
                             [](const auto& s) { return s.kind == "message" && s.title == "Export Chart"; });
    };
    op.clear();
    op.queueFile(0, "");
    EXPECT_EQ(rt.ExportStripChart(main, CHART_STRIPCHART), 1);
    op.queueFile(2, file("cancelled.csv"));
    op.queueEscape();
    EXPECT_EQ(rt.ExportStripChart(main, CHART_STRIPCHART), 1);
    EXPECT_FALSE(rt::FileExists(file("cancelled.csv")));
    EXPECT_EQ(failures(), 0);
    op.queueFile(2, file("no such folder/chart.png"));
    EXPECT_LT(rt.ExportStripChart(main, CHART_STRIPCHART), 0);
    EXPECT_EQ(failures(), 1);
    op.queueFile(2, file("chart.xls"));
    EXPECT_LT(rt.ExportStripChart(main, CHART_STRIPCHART), 0);
    EXPECT_FALSE(rt::FileExists(file("chart.xls")));
    EXPECT_EQ(failures(), 2);
}
