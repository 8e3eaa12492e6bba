#include "rt/log_viewer.h"

#include "rt/files.h"
#include "rt/runtime.h"
#include "rt/widgets.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace rt {

namespace {
constexpr const char* kExportTitle = "Export Chart";
}

int ExportChartAsked(Runtime& rt, StripChart& chart)
{
    FileSelect ask;
    ask.defaultFileSpec = "*.png";
    ask.fileTypeList = "*.png; *.pdf; *.csv; *.dat";
    ask.title = "Export the chart to a picture (.png), a document (.pdf) or a data log (.csv, .dat)";
    ask.buttonLabel = 1;
    ask.allowMakeDirectory = true;
    std::string path;
    const int chosen = rt.FileSelectPopup(ask, &path);
    if (chosen == 0)
        return 1;
    if (chosen < 0 || path.empty()) {
        rt.MessagePopup(kExportTitle, "The file dialog could not be shown; nothing was saved.");
        return RT_ERR_DIALOG;
    }
    QString suffix = QFileInfo(QString::fromStdString(path)).suffix().toLower();
    if (suffix.isEmpty()) {
        path += ".png";
        suffix = "png";
    }
    std::string error;
    bool saved = false;
    if (suffix == "png") {
        saved = chart.exportPng(path, &error);
    } else if (suffix == "pdf") {
        saved = chart.exportPdf(path, &error);
    } else if (suffix == "csv" || suffix == "dat" || suffix == "txt") {
        GenericPopup range;
        range.title = kExportTitle;
        range.text = "Export the points in view, or the whole run the chart holds?";
        range.button1 = "In view";
        range.button2 = "Whole run";
        range.button3 = "Cancel";
        range.focusButton = 1;
        range.enterButton = 1;
        range.escapeButton = 3;
        const int answer = rt.GenericMessagePopup(range);
        if (answer != 1 && answer != 2)
            return 1;
        saved = WriteFileAtomically(path, chart.csvText(answer == 1, TextLineEnd()), &error);
    } else {
        rt.MessagePopup(kExportTitle, "Choose a name ending in .png (picture), .pdf (document) or .csv or .dat "
                                      "(data log); nothing was saved.");
        return RT_ERR_BAD_ARGUMENT;
    }
    if (!saved) {
        rt.MessagePopup(kExportTitle, "The chart could not be saved to " + path + ":\n" + error);
        return RT_ERR_BAD_ARGUMENT;
    }
    return 0;
}

LogViewer::LogViewer(Runtime& rt, const StripChart& like, const QString& title, const QString& status,
                     std::vector<double> times, std::vector<std::vector<double>> values, const QStringList& names,
                     const std::vector<QColor>& colors)
    : QWidget(nullptr), m_rt(rt)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(title);
    setAccessibleName(QStringLiteral("Log viewer"));
    resize(1100, 560);

    m_chart = new StripChart(this);
    m_chart->setTraceNames(like.traceNames());
    m_chart->setTraceColors(like.traceColors());
    if (!names.isEmpty() && m_chart->setTraces(names, colors))
        m_chart->setLegendShown(true);
    m_chart->setYLabel(like.yLabel());
    m_chart->setAccessibleName(QStringLiteral("Recorded PV / SV chart"));
    m_chart->setToolTip(QStringLiteral("Drag to scroll, wheel to zoom the time (Ctrl: the Y axis), Shift-drag to "
                                       "zoom to a box, double-click to restore the Y scale"));
    m_chart->setMinimumSize(640, 360);
    // Points a few intervals apart are one run: the gap that breaks the line
    // follows the interval the log was written at.
    if (times.size() > 1) {
        std::vector<double> steps;
        const std::size_t every = std::max<std::size_t>(1, times.size() / 2000);
        for (std::size_t i = every; i < times.size(); i += every)
            if (times[i] > times[i - 1])
                steps.push_back(times[i] - times[i - 1]);
        if (!steps.empty()) {
            std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
            m_chart->setXIncrement(steps[steps.size() / 2]);
        }
    }
    double lo = 0, hi = 0;
    bool any = false;
    for (const auto& trace : values)
        for (double v : trace)
            if (std::isfinite(v)) {
                lo = any ? std::min(lo, v) : v;
                hi = any ? std::max(hi, v) : v;
                any = true;
            }
    const double margin = std::max(0.05 * (hi - lo), 0.5);
    m_chart->setYScaling(0, lo - margin, hi + margin);
    m_chart->setPoints(std::move(times), std::move(values));

    m_status = new QLabel(status, this);
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setAccessibleName(QStringLiteral("What was read"));
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    auto button = [this](const QString& text, const QString& tip) {
        auto* b = new QPushButton(text, this);
        b->setToolTip(tip);
        b->setAccessibleName(QString(text).remove(QLatin1Char('&')).remove(QStringLiteral("\u2026")));
        b->setAccessibleDescription(tip);
        return b;
    };
    QPushButton* all = button(QStringLiteral("&Whole log"), QStringLiteral("Shows the whole recorded run (Home)"));
    QPushButton* restoreY =
        button(QStringLiteral("&Y scale"), QStringLiteral("Restores the Y scale that fits the whole log (Y)"));
    QPushButton* exportButton = button(QStringLiteral("&Export\u2026"),
                                       QStringLiteral("Saves the chart as a picture or a document, or the points as "
                                                      "a data log"));
    QPushButton* close = button(QStringLiteral("&Close"), QStringLiteral("Closes the viewer; the file is unchanged"));
    connect(all, &QPushButton::clicked, m_chart, &StripChart::showAll);
    connect(restoreY, &QPushButton::clicked, m_chart, &StripChart::restoreYScale);
    connect(exportButton, &QPushButton::clicked, this, [this] { ExportChartAsked(m_rt, *m_chart); });
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_status, 1);
    for (QPushButton* b : {all, restoreY, exportButton, close})
        buttons->addWidget(b);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_chart, 1);
    layout->addLayout(buttons);
    setTabOrder(m_chart, all);
    setTabOrder(all, restoreY);
    setTabOrder(restoreY, exportButton);
    setTabOrder(exportButton, close);
    m_chart->setFocus();
}

QString LogViewer::status() const
{
    return m_status->text();
}

} // namespace rt
