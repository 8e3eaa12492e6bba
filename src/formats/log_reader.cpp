#include "formats/log_reader.h"

#include "formats/chart_axis.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace monitor {

namespace {

constexpr double kLowest = -32768.0;  // a 16-bit register at a scale of 1
constexpr double kHighest = 32767.0;

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// Up to `most` fields separated by commas; false when there are more.
bool SplitFields(std::string_view line, std::string_view* fields, int most, int* count)
{
    int n = 0;
    for (;;) {
        const std::size_t comma = line.find(',');
        if (n == most)
            return false;
        fields[n++] = line.substr(0, comma);
        if (comma == std::string_view::npos)
            break;
        line.remove_prefix(comma + 1);
    }
    *count = n;
    return true;
}

bool IsDigits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A whole number of 1..maxDigits digits ending at `stop` (or the end of s).
bool TakeNumber(std::string_view* s, char stop, std::size_t minDigits, std::size_t maxDigits, int* value)
{
    const std::size_t end = stop ? s->find(stop) : s->size();
    if (end == std::string_view::npos)
        return false;
    const std::string_view digits = s->substr(0, end);
    if (digits.size() < minDigits || digits.size() > maxDigits || !IsDigits(digits))
        return false;
    *value = 0;
    for (char c : digits)
        *value = *value * 10 + (c - '0');
    s->remove_prefix(stop ? end + 1 : end);
    return true;
}

bool ParseDate(std::string_view s, rt::CivilTime* c)
{
    return TakeNumber(&s, '/', 1, 2, &c->month) && TakeNumber(&s, '/', 1, 2, &c->day) &&
           TakeNumber(&s, 0, 4, 4, &c->year) && s.empty() && rt::IsValidDate(c->year, c->month, c->day);
}

bool ParseTime(std::string_view s, rt::CivilTime* c)
{
    return TakeNumber(&s, ':', 2, 2, &c->hour) && TakeNumber(&s, ':', 2, 2, &c->minute) &&
           TakeNumber(&s, 0, 2, 2, &c->second) && c->hour <= 23 && c->minute <= 59 && c->second <= 59;
}

bool ParseValue(std::string_view s, double* v)
{
    s = Trim(s);
    if (s.empty())
        return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *v, std::chars_format::fixed);
    return ec == std::errc() && end == s.data() + s.size() && std::isfinite(*v) && *v >= kLowest && *v <= kHighest;
}

bool IsBlankLine(std::string_view s)
{
    return s.find_first_not_of(" \t\r") == std::string_view::npos;
}

bool IsHeader(std::string_view line)
{
    std::string_view f[5];
    int n = 0;
    if (!SplitFields(line, f, 5, &n) || n != 4)
        return false;
    return Trim(f[0]) == "Date" && Trim(f[1]) == "Time" && Trim(f[2]) == "SV" && Trim(f[3]) == "PV";
}

bool ParseDataLine(std::string_view line, LogPoint* p)
{
    std::string_view f[7];
    int n = 0;
    if (!SplitFields(line, f, 7, &n))
        return false;
    std::string sv, pv;
    if (n == 6) {
        // "%5.1f" under a locale with a decimal comma: "  25,0,  24,8".
        if (!IsDigits(f[3]) || !IsDigits(f[5]))
            return false;
        sv = std::string(Trim(f[2])) + "." + std::string(f[3]);
        pv = std::string(Trim(f[4])) + "." + std::string(f[5]);
        f[2] = sv;
        f[3] = pv;
    } else if (n != 4) {
        return false;
    }
    rt::CivilTime c;
    if (!ParseDate(Trim(f[0]), &c) || !ParseTime(Trim(f[1]), &c))
        return false;
    if (!ParseValue(f[2], &p->sv) || !ParseValue(f[3], &p->pv))
        return false;
    p->t = rt::CivilSeconds(c);
    return true;
}

// "%5.1f" in the C locale.
std::string FormatValue(double v)
{
    char b[64];
    const auto [end, ec] = std::to_chars(b, b + sizeof b, v, std::chars_format::fixed, 1);
    std::string s = ec == std::errc() ? std::string(b, end) : std::string("nan");
    if (s.size() < 5)
        s.insert(0, 5 - s.size(), ' ');
    return s;
}

} // namespace

void DataLogReader::endLine(std::string_view raw, bool complete)
{
    ++m_lineNo;
    const bool overlong = m_overlong;
    const bool blank = overlong ? m_overlongBlank : IsBlankLine(raw);
    m_overlong = false;
    m_overlongBlank = true;
    if (blank)
        return;
    ++m_r.lines;
    const std::string_view line = Trim(raw);
    LogPoint p;
    if (!overlong && complete && IsHeader(line)) {
        ++m_r.headers;
    } else if (!overlong && complete && ParseDataLine(line, &p)) {
        if (!m_r.points.empty() && p.t < m_previous)
            ++m_r.outOfOrder;
        m_previous = p.t;
        m_r.points.push_back(p);
    } else {
        m_r.partialLastLine = !complete;
        ++m_r.skipped;
        if (m_r.firstSkipped == 0)
            m_r.firstSkipped = m_lineNo;
    }
}

void DataLogReader::take(std::string_view part)
{
    if (m_overlong) {
        m_overlongBlank = m_overlongBlank && IsBlankLine(part);
    } else if (m_carry.size() + part.size() > kMaxLogLineBytes) {
        m_overlong = true;
        m_overlongBlank = IsBlankLine(m_carry) && IsBlankLine(part);
        m_carry.clear();
    } else {
        m_carry.append(part);
    }
}

void DataLogReader::feed(std::string_view bytes)
{
    while (!bytes.empty()) {
        const std::size_t nl = bytes.find('\n');
        if (nl == std::string_view::npos) {
            take(bytes);
            return;
        }
        const std::string_view part = bytes.substr(0, nl);
        bytes.remove_prefix(nl + 1);
        if (m_carry.empty() && !m_overlong && part.size() <= kMaxLogLineBytes) {
            endLine(part, true);  // the usual case: the whole line is in this piece
            continue;
        }
        take(part);
        const std::string line = std::move(m_carry);
        m_carry.clear();
        endLine(line, true);
    }
}

LogReadResult DataLogReader::finish()
{
    if (!m_carry.empty() || m_overlong) {
        const std::string line = std::move(m_carry);
        m_carry.clear();
        endLine(line, false);
    }
    LogReadResult r = std::move(m_r);
    if (r.outOfOrder > 0)
        std::stable_sort(r.points.begin(), r.points.end(),
                         [](const LogPoint& a, const LogPoint& b) { return a.t < b.t; });
    *this = DataLogReader();
    return r;
}

LogReadResult ReadDataLog(std::string_view text)
{
    DataLogReader reader;
    reader.feed(text);
    return reader.finish();
}

std::string DescribeLogRead(const LogReadResult& r)
{
    std::string s = std::to_string(r.points.size()) + (r.points.size() == 1 ? " line read, " : " lines read, ") +
                    std::to_string(r.skipped) + " skipped";
    if (r.firstSkipped > 0)
        s += " (the first at line " + std::to_string(r.firstSkipped) + ")";
    if (r.outOfOrder > 0)
        s += ", " + std::to_string(r.outOfOrder) + " out of time order (drawn at their time)";
    if (r.partialLastLine)
        s += "; the last line was incomplete";
    return s;
}

std::string WhyNoPoints(const LogReadResult& r)
{
    if (!r.points.empty())
        return {};
    if (r.lines == 0)
        return "The file is empty.";
    if (r.headers > 0 && r.skipped == 0)
        return "The file holds no readings yet, only its header.";
    return "This is not a data log: none of its " + std::to_string(r.lines) +
           " lines reads as \"month/day/year, HH:MM:SS, SV, PV\".";
}

std::string FormatLogPoint(const LogPoint& p)
{
    const rt::CivilTime c = rt::CivilFromSeconds(p.t);
    char date[48];
    std::snprintf(date, sizeof date, "%d/%d/%d, %02d:%02d:%02d, ", c.month, c.day, c.year, c.hour, c.minute,
                  c.second);
    return date + FormatValue(p.sv) + ", " + FormatValue(p.pv);
}

std::string FormatDataLog(const std::vector<LogPoint>& points, const char* lineEnd)
{
    std::string out;
    out.reserve((points.size() + 1) * 36);
    out += "  Date,       Time,     SV,    PV";
    out += lineEnd;
    for (const LogPoint& p : points) {
        out += FormatLogPoint(p);
        out += lineEnd;
    }
    return out;
}

} // namespace monitor
