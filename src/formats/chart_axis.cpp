#include "formats/chart_axis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace rt {

namespace {
constexpr double kDay = 86400.0;

std::string TwoDigits(int v)
{
    char b[4] = {static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10), 0, 0};
    return b;
}

std::string DateText(const CivilTime& c)
{
    char b[24];
    std::snprintf(b, sizeof b, "%04d-%02d-%02d", c.year, c.month, c.day);
    return b;
}
} // namespace

std::int64_t DaysFromCivil(int year, int month, int day)
{
    // Howard Hinnant's days_from_civil.
    const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t mp = (month + 9) % 12;
    const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool IsValidDate(int year, int month, int day)
{
    static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1)
        return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= lengths[month - 1] + (month == 2 && leap ? 1 : 0);
}

double CivilSeconds(const CivilTime& c)
{
    return static_cast<double>(DaysFromCivil(c.year, c.month, c.day)) * kDay + c.hour * 3600.0 + c.minute * 60.0 +
           c.second;
}

CivilTime CivilFromSeconds(double seconds)
{
    const double whole = std::floor(seconds);
    const auto days = static_cast<std::int64_t>(std::floor(whole / kDay));
    auto rest = static_cast<std::int64_t>(whole - static_cast<double>(days) * kDay);
    // Howard Hinnant's civil_from_days.
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    CivilTime c;
    c.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    c.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    c.year = static_cast<int>(yoe + era * 400 + (c.month <= 2 ? 1 : 0));
    c.hour = static_cast<int>(rest / 3600);
    rest %= 3600;
    c.minute = static_cast<int>(rest / 60);
    c.second = static_cast<int>(rest % 60);
    return c;
}

double TimeTickStep(double t0, double t1, int maxTicks)
{
    static const double steps[] = {1,    2,    5,     10,    15,    30,    60,    120,   300,    600,
                                   900,  1800, 3600,  7200,  10800, 21600, 43200, 86400, 172800, 604800};
    const double span = t1 - t0;
    const int most = std::max(1, maxTicks);
    for (double s : steps)
        if (span / s <= most)
            return s;
    return std::ceil(span / most / 604800.0) * 604800.0;
}

std::vector<TimeTick> TimeTicks(double t0, double t1, int maxTicks)
{
    std::vector<TimeTick> out;
    if (!std::isfinite(t0) || !std::isfinite(t1) || !(t1 > t0))
        return out;
    const double step = TimeTickStep(t0, t1, maxTicks);
    const bool crossesMidnight = std::floor(t0 / kDay) != std::floor(t1 / kDay);
    std::int64_t lastDay = std::numeric_limits<std::int64_t>::min();
    for (double t = std::ceil(t0 / step) * step; t <= t1; t += step) {
        const CivilTime c = CivilFromSeconds(t);
        const auto day = static_cast<std::int64_t>(std::floor(t / kDay));
        TimeTick tick;
        tick.t = t;
        if (step >= kDay) {
            tick.label = DateText(c);
        } else {
            tick.label = TwoDigits(c.hour) + ":" + TwoDigits(c.minute);
            if (step < 60)
                tick.label += ":" + TwoDigits(c.second);
            if (crossesMidnight && day != lastDay)
                tick.label += "\n" + DateText(c);
        }
        lastDay = day;
        out.push_back(std::move(tick));
    }
    return out;
}

void TraceBlocks::update(const double* t, const double* v, std::size_t n)
{
    for (std::size_t b = low.size(); (b + 1) * kBlock <= n; ++b) {
        const std::size_t start = b * kBlock;
        std::size_t lo = start, hi = start;
        bool gap = std::isnan(v[start]);
        double step = start > 0 ? t[start] - t[start - 1] : 0;
        for (std::size_t i = start + 1; i < start + kBlock; ++i) {
            if (std::isnan(v[i])) {
                gap = true;
            } else if (std::isnan(v[lo])) {
                lo = hi = i;
            } else {
                if (v[i] < v[lo])
                    lo = i;
                if (v[i] > v[hi])
                    hi = i;
            }
            step = std::max(step, t[i] - t[i - 1]);
        }
        low.push_back(lo);
        high.push_back(hi);
        lowValue.push_back(v[lo]);
        highValue.push_back(v[hi]);
        lowTime.push_back(t[lo]);
        highTime.push_back(t[hi]);
        lastTime.push_back(t[start + kBlock - 1]);
        maxStep.push_back(step);
        missing.push_back(gap ? 1 : 0);
    }
}

void TraceBlocks::clear()
{
    low.clear();
    high.clear();
    lowValue.clear();
    highValue.clear();
    lowTime.clear();
    highTime.clear();
    lastTime.clear();
    maxStep.clear();
    missing.clear();
}

void DecimateMinMax(const double* t, const double* v, std::size_t n, double t0, double t1, int columns, double gap,
                    std::vector<DrawPoint>* out, const TraceBlocks* blocks)
{
    out->clear();
    if (n == 0 || !(t1 > t0) || columns < 1)
        return;
    std::size_t lo = static_cast<std::size_t>(std::lower_bound(t, t + n, t0) - t);
    std::size_t hi = static_cast<std::size_t>(std::upper_bound(t, t + n, t1) - t);
    if (lo > 0)
        --lo;
    if (hi < n)
        ++hi;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto gapBefore = [&](std::size_t i) { return gap > 0 && i > lo && t[i] - t[i - 1] > gap; };

    if (hi - lo <= 4 * static_cast<std::size_t>(columns)) {
        // Few enough to draw each; a NaN value is drawn as the break it is.
        out->reserve(hi - lo);
        for (std::size_t i = lo; i < hi; ++i) {
            if (gapBefore(i))
                out->push_back({(t[i] + t[i - 1]) / 2, nan});
            out->push_back({t[i], v[i]});
        }
        return;
    }

    out->reserve(4 * static_cast<std::size_t>(columns) + 16);
    const double width = (t1 - t0) / columns;
    // One run of present values within a column: its first, lowest, highest
    // and last point, in time order.
    struct Run {
        bool any = false;
        std::size_t first = 0, low = 0, high = 0, last = 0;
        double lowValue = 0, highValue = 0, lowTime = 0, highTime = 0;
    } run;
    auto flush = [&] {
        if (!run.any)
            return;
        struct Kept {
            std::size_t i;
            double t, v;
        } kept[4] = {{run.first, t[run.first], v[run.first]},
                     {run.low, run.lowTime, run.lowValue},
                     {run.high, run.highTime, run.highValue},
                     {run.last, t[run.last], v[run.last]}};
        std::sort(kept, kept + 4, [](const Kept& a, const Kept& b) { return a.i < b.i; });
        for (int k = 0; k < 4; ++k)
            if (k == 0 || kept[k].i != kept[k - 1].i)
                out->push_back({kept[k].t, kept[k].v});
        run.any = false;
    };
    // Column by column: the inner loop only compares, so a week of points
    // in view is reduced in a few milliseconds.
    std::size_t i = lo;
    while (i < hi) {
        if (gapBefore(i))
            out->push_back({(t[i] + t[i - 1]) / 2, nan});
        // Points beyond either edge get columns of their own.
        const long long c =
            std::clamp<long long>(static_cast<long long>(std::floor((t[i] - t0) / width)), -1, columns);
        const double end = c < 0 ? t0 : (c >= columns ? std::numeric_limits<double>::infinity() : t0 + (c + 1) * width);
        bool brokenHere = false;  // a missing value in this column broke its line
        bool endsMissing = false;
        std::size_t lastMissing = i;
        constexpr std::size_t B = TraceBlocks::kBlock;
        // The column's first point is always taken, whatever rounding says of its column's end.
        for (bool firstOfColumn = true; i < hi && (firstOfColumn || (t[i] < end && !gapBefore(i)));
             firstOfColumn = false) {
            if (std::isnan(v[i])) {
                if (!brokenHere) {
                    flush();
                    out->push_back({t[i], nan});
                    brokenHere = true;
                }
                endsMissing = true;
                // The rest of the missing run within the column.
                do
                    lastMissing = i++;
                while (i < hi && std::isnan(v[i]) && t[i] < end && !gapBefore(i));
                continue;
            }
            endsMissing = false;
            if (!run.any) {
                run = {true, i, i, i, i, v[i], v[i], t[i], t[i]};
                ++i;
                continue;
            }
            // Whole blocks inside the column, without a pause or a missing
            // value: their summaries stand for them, read without touching
            // their points (which lie far apart in memory).
            if (blocks && i % B == 0) {
                const std::size_t from = i / B;
                std::size_t b = from;
                for (; b < blocks->low.size() && (b + 1) * B <= hi && blocks->lastTime[b] < end &&
                       !(gap > 0 && blocks->maxStep[b] > gap) && !blocks->missing[b];
                     ++b) {
                    if (blocks->lowValue[b] < run.lowValue) {
                        run.low = blocks->low[b];
                        run.lowValue = blocks->lowValue[b];
                        run.lowTime = blocks->lowTime[b];
                    }
                    if (blocks->highValue[b] > run.highValue) {
                        run.high = blocks->high[b];
                        run.highValue = blocks->highValue[b];
                        run.highTime = blocks->highTime[b];
                    }
                }
                if (b > from) {
                    i = b * B;
                    run.last = i - 1;
                    continue;
                }
            }
            // Point by point up to the next block: the column's end, a pause
            // or a missing value ends the walk (the loop above takes it up).
            const std::size_t stop = blocks ? std::min(hi, (i / B + 1) * B) : hi;
            std::size_t j = i;
            do {
                if (v[j] < run.lowValue) {
                    run.low = j;
                    run.lowValue = v[j];
                    run.lowTime = t[j];
                }
                if (v[j] > run.highValue) {
                    run.high = j;
                    run.highValue = v[j];
                    run.highTime = t[j];
                }
                ++j;
            } while (j < stop && t[j] < end && !(gap > 0 && t[j] - t[j - 1] > gap) && !std::isnan(v[j]));
            run.last = j - 1;
            i = j;
        }
        flush();
        // A column ending in a missing value leaves the line broken to the next.
        if (endsMissing && !std::isnan(out->back().v))
            out->push_back({t[lastMissing], nan});
    }
}

} // namespace rt
