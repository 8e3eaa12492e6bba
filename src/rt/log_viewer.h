// A window of its own for a recorded run (the log viewer), and the export of
// a strip chart through the operator's file dialog, shared by the chart panel
// and the viewer.
#pragma once

#include <QColor>
#include <QStringList>
#include <QWidget>

#include <string>
#include <vector>

class QLabel;

namespace rt {

class Runtime;
class StripChart;

// Asks for a file (".png", ".pdf", or ".csv"/".dat" in the data-log format,
// then whether of the points in view or of the whole run) and saves the chart
// into it whole or not at all. Returns 0 when saved, 1 when the operator
// cancelled, negative when it failed (the operator has been told why).
int ExportChartAsked(Runtime& rt, StripChart& chart);

// A strip chart over a recorded run with the same scroll, zoom and readout as
// the live chart, a line saying what was read, and buttons to show the whole
// run, restore the Y scale, export and close. Deletes itself when closed.
// Its traces are those the panel file gives `like`, or when names are given,
// these (with their colours) and a legend to show or hide each.
class LogViewer final : public QWidget {
    Q_OBJECT
public:
    LogViewer(Runtime& rt, const StripChart& like, const QString& title, const QString& status,
              std::vector<double> times, std::vector<std::vector<double>> values, const QStringList& names = {},
              const std::vector<QColor>& colors = {});
    StripChart* chart() const { return m_chart; }
    QString status() const;

private:
    Runtime& m_rt;
    StripChart* m_chart = nullptr;
    QLabel* m_status = nullptr;
};

} // namespace rt
