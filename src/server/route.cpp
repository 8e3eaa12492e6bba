#include "server/route.h"

#include <algorithm>
#include <ctime>

namespace server {

namespace {

constexpr std::string_view kApi = "/api/v1/controllers";

// "1".."247", digits only, no leading zero.
int ParseAddress(std::string_view s)
{
    if (s.empty() || s.size() > 3 || s[0] == '0')
        return 0;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return 0;
        v = v * 10 + (c - '0');
    }
    return v >= 1 && v <= 247 ? v : 0;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads exactly n digits at s[*i].
bool Digits(std::string_view s, std::size_t* i, int n, int* out)
{
    if (*i + static_cast<std::size_t>(n) > s.size())
        return false;
    int v = 0;
    for (int k = 0; k < n; ++k) {
        const char c = s[*i + static_cast<std::size_t>(k)];
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *i += static_cast<std::size_t>(n);
    *out = v;
    return true;
}

bool Take(std::string_view s, std::size_t* i, char c)
{
    if (*i < s.size() && s[*i] == c) {
        ++*i;
        return true;
    }
    return false;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int DaysInMonth(int y, int m)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0))
        return 29;
    return kDays[m - 1];
}

void History(std::string_view query, Route* r)
{
    std::size_t pos = 0;
    while (pos < query.size()) {
        std::size_t amp = query.find('&', pos);
        if (amp == std::string_view::npos)
            amp = query.size();
        const std::string_view pair = query.substr(pos, amp - pos);
        pos = amp + 1;
        if (pair.empty())
            continue;
        const std::size_t eq = pair.find('=');
        const std::string_view key = pair.substr(0, eq);
        std::string value;
        if (!PercentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), &value)) {
            r->error = "a query value is not properly escaped";
            return;
        }
        if (key == "from")
            r->from = value;
        else if (key == "to")
            r->to = value;
        else if (key == "format") {
            if (value == "csv")
                r->csv = true;
            else if (value != "json") {
                r->error = "format is json or csv";
                return;
            }
        }
        // Other keys (a cache-buster, say) are no reason to refuse.
    }
}

} // namespace

bool PercentDecode(std::string_view in, std::string* out)
{
    out->clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%') {
            if (i + 2 >= in.size())
                return false;
            const int hi = HexDigit(in[i + 1]), lo = HexDigit(in[i + 2]);
            if (hi < 0 || lo < 0)
                return false;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (c == '\0')
            return false;
        out->push_back(c);
    }
    return true;
}

bool ParseIsoTime(std::string_view s, std::int64_t* millis)
{
    std::size_t i = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
    if (!Digits(s, &i, 4, &year) || !Take(s, &i, '-') || !Digits(s, &i, 2, &month) || !Take(s, &i, '-') ||
        !Digits(s, &i, 2, &day))
        return false;
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return false;
    bool local = true;
    int offsetMinutes = 0;
    if (i < s.size()) {
        if (!Take(s, &i, 'T') && !Take(s, &i, 't') && !Take(s, &i, ' '))
            return false;
        if (!Digits(s, &i, 2, &hour) || !Take(s, &i, ':') || !Digits(s, &i, 2, &minute))
            return false;
        if (Take(s, &i, ':')) {
            if (!Digits(s, &i, 2, &second))
                return false;
            if (Take(s, &i, '.') || Take(s, &i, ',')) {
                // Fractions to the millisecond; further digits are dropped.
                int n = 0;
                while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
                    if (n < 3)
                        ms = ms * 10 + (s[i] - '0');
                    ++n;
                    ++i;
                }
                if (n == 0 || n > 9)
                    return false;
                for (int k = n; k < 3; ++k)
                    ms *= 10;
            }
        }
        if (hour > 23 || minute > 59 || second > 59)
            return false;
        if (Take(s, &i, 'Z') || Take(s, &i, 'z')) {
            local = false;
        } else if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            const int sign = s[i] == '-' ? -1 : 1;
            ++i;
            int oh = 0, om = 0;
            if (!Digits(s, &i, 2, &oh))
                return false;
            Take(s, &i, ':');
            if (!Digits(s, &i, 2, &om) || oh > 23 || om > 59)
                return false;
            local = false;
            offsetMinutes = sign * (oh * 60 + om);
        }
    }
    if (i != s.size())
        return false;
    std::int64_t seconds = 0;
    if (local) {
        std::tm tm{};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        tm.tm_isdst = -1;
        const std::time_t t = std::mktime(&tm);
        if (t == static_cast<std::time_t>(-1))
            return false;
        seconds = static_cast<std::int64_t>(t);
    } else {
        seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second -
                  static_cast<std::int64_t>(offsetMinutes) * 60;
    }
    *millis = seconds * 1000 + ms;
    return true;
}

Route MatchRoute(std::string_view method, std::string_view target)
{
    Route r;
    const std::size_t q = target.find('?');
    const std::string_view path = target.substr(0, q);
    const std::string_view query = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
    const bool get = method == "GET";
    const bool post = method == "POST";

    auto finish = [&](RouteKind kind, bool isPost) {
        if (isPost ? !post : !get) {
            r.kind = RouteKind::MethodNotAllowed;
            return r;
        }
        r.kind = kind;
        r.write = isPost;
        return r;
    };

    if (path == "/")
        return finish(RouteKind::Page, false);
    if (path == "/metrics")
        return finish(RouteKind::Metrics, false);
    if (path == "/api/v1/events")
        return finish(RouteKind::Events, false);
    if (path == kApi)
        return finish(RouteKind::Controllers, false);
    if (path.size() <= kApi.size() + 1 || path.substr(0, kApi.size() + 1) != "/api/v1/controllers/")
        return r;
    std::string_view rest = path.substr(kApi.size() + 1);
    const std::size_t slash = rest.find('/');
    const int address = ParseAddress(rest.substr(0, slash));
    if (address == 0)
        return r;
    r.address = address;
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    if (rest.empty())
        return finish(RouteKind::Controller, false);
    if (rest == "/parameters")
        return finish(RouteKind::Parameters, false);
    if (rest == "/history") {
        finish(RouteKind::History, false);
        if (r.kind == RouteKind::History)
            History(query, &r);
        return r;
    }
    if (rest == "/set")
        return finish(RouteKind::Set, true);
    if (rest == "/program/run")
        return finish(RouteKind::ProgramRun, true);
    if (rest == "/program/stop")
        return finish(RouteKind::ProgramStop, true);
    if (rest == "/function")
        return finish(RouteKind::Function, true);
    r.address = 0;
    return r;
}

} // namespace server
