// The strip chart's export: a picture, a document, or its points as a data log.
#include "rt/widgets.h"

#include "formats/chart_axis.h"
#include "formats/log_format.h"
#include "formats/log_reader.h"
#include "rt/files.h"

#include <QBuffer>
#include <QPdfWriter>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace rt {

bool StripChart::exportPng(const std::string& path, std::string* error)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    const int w = std::max(width(), 640), h = std::max(height(), 400);
    drawPoints();
    if (!toPixmap(w, h).save(&buffer, "PNG")) {
        if (error)
            *error = "the picture could not be made";
        return false;
    }
    return WriteFileAtomically(path, bytes.toStdString(), error);
}

bool StripChart::exportPdf(const std::string& path, std::string* error)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    const int w = std::max(width(), 640), h = std::max(height(), 400);
    drawPoints();
    {
        QPdfWriter pdf(&buffer);
        pdf.setCreator(QStringLiteral("tecontrol"));
        pdf.setResolution(96);
        pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
        pdf.setPageSize(QPageSize(QSizeF(w * 72.0 / 96, h * 72.0 / 96), QPageSize::Point));
        QCPPainter painter;
        if (!painter.begin(&pdf)) {
            if (error)
                *error = "the document could not be made";
            return false;
        }
        painter.setMode(QCPPainter::pmVectorized);
        painter.setMode(QCPPainter::pmNoCaching);
        toPainter(&painter, w, h);
        painter.end();
    }
    return WriteFileAtomically(path, bytes.toStdString(), error);
}

namespace {

// The controller a pair of traces stands for: "SV stage-A [1]" and "PV
// stage-A [1]" name stage-A at address 1 (the data log's own column names).
bool ControllerOfPair(const QString& sv, const QString& pv, monitor::LogController* c)
{
    if (!sv.startsWith(QLatin1String("SV ")) || !pv.startsWith(QLatin1String("PV ")) || sv.mid(3) != pv.mid(3))
        return false;
    const QString tail = sv.mid(3).trimmed();
    const qsizetype open = tail.lastIndexOf(QLatin1Char('['));
    if (open < 0 || !tail.endsWith(QLatin1Char(']')))
        return false;
    bool ok = false;
    const int address = tail.mid(open + 1, tail.size() - open - 2).toInt(&ok);
    if (!ok || address < 1 || address > 255)
        return false;
    c->name = monitor::LogLabel(tail.left(open).trimmed().toStdString());
    c->address = address;
    return true;
}

} // namespace

std::string StripChart::csvText(bool visibleOnly, const char* lineEnd) const
{
    std::size_t lo = 0, hi = m_t.size();
    if (visibleOnly) {
        const QCPRange view = xAxis->range();
        lo = static_cast<std::size_t>(std::lower_bound(m_t.begin(), m_t.end(), view.lower) - m_t.begin());
        hi = static_cast<std::size_t>(std::upper_bound(m_t.begin(), m_t.end(), view.upper) - m_t.begin());
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (m_v.size() <= 2) {
        std::vector<monitor::LogPoint> points;
        points.reserve(hi - lo);
        for (std::size_t i = lo; i < hi; ++i)
            points.push_back({m_t[i], m_v.size() > 0 ? m_v[0][i] : nan, m_v.size() > 1 ? m_v[1][i] : nan});
        return monitor::FormatDataLog(points, lineEnd);
    }
    // Several controllers: a pair of traces each. A pair that names no
    // controller is named by its place; one named like an earlier one gets
    // its place added, since a log cannot hold one controller twice.
    const std::size_t pairs = (m_v.size() + 1) / 2;
    std::vector<monitor::LogController> controllers(pairs);
    for (std::size_t p = 0; p < pairs; ++p) {
        monitor::LogController& c = controllers[p];
        const QString sv = graph(static_cast<int>(2 * p))->name();
        const QString pv = 2 * p + 1 < m_v.size() ? graph(static_cast<int>(2 * p + 1))->name() : QString();
        if (!ControllerOfPair(sv, pv, &c)) {
            const bool paired = sv.startsWith(QLatin1String("SV ")) && pv.startsWith(QLatin1String("PV ")) &&
                                sv.mid(3) == pv.mid(3);
            c.name = monitor::LogLabel((paired ? sv.mid(3) : sv).toStdString());
            c.address = static_cast<int>(std::min<std::size_t>(p + 1, 255));
        }
        for (std::size_t q = 0; q < p; ++q)
            if (controllers[q].name == c.name && controllers[q].address == c.address)
                c.name += (c.name.empty() ? "" : " ") + std::string("(") + std::to_string(p + 1) + ")";
    }
    std::string out = monitor::FormatSeveralLogHeader(controllers) + lineEnd;
    out.reserve(out.size() + (hi - lo) * (22 + 14 * pairs));
    std::vector<monitor::LogReading> readings(pairs);
    char time[16];
    for (std::size_t i = lo; i < hi; ++i) {
        for (std::size_t p = 0; p < pairs; ++p) {
            const double sv = m_v[2 * p][i];
            const double pv = 2 * p + 1 < m_v.size() ? m_v[2 * p + 1][i] : nan;
            readings[p].valid = std::isfinite(sv) && std::isfinite(pv);
            readings[p].sv = static_cast<float>(sv);
            readings[p].pv = static_cast<float>(pv);
        }
        const CivilTime c = CivilFromSeconds(m_t[i]);
        std::snprintf(time, sizeof time, "%02d:%02d:%02d", c.hour, c.minute, c.second);
        out += monitor::FormatSeveralLogLine(c.month, c.day, c.year, time, readings);
        out += lineEnd;
    }
    return out;
}

} // namespace rt
