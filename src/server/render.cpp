#include "server/render.h"

#include "protocol/encoding.h"
#include "protocol/registers.h"
#include "formats/log_format.h"
#include "tecctl/json.h"
#include "tecctl/options.h"

#include <cmath>
#include <cstdio>
#include <chrono>
#include <ctime>
#include <limits>

namespace server {

namespace {

using tecctl::JsonEscape;
using tecctl::JsonWriter;

// The link fault kinds the counters keep, in their order (Silent first).
const char* const kMissKinds[comlink::kLinkFaultKinds] = {"silent", "short", "bad_crc", "wrong_answer", "port_gone"};

bool ParamsKnown(const core::Controller& c)
{
    return c.params.fromController();
}

int TempDecimals(const core::Controller& c)
{
    return ParamsKnown(c) && c.params.tempScale == 1.0f ? 0 : 1;
}

std::string TempUnit(const core::Controller& c)
{
    if (!ParamsKnown(c))
        return "";
    return c.params.cfUnit == 1 ? "\u00B0F" : c.params.cfUnit == 0 ? "\u00B0C" : "";
}

std::string Fixed(double v, int decimals)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// A temperature in degrees Celsius, Prometheus's base unit.
double Celsius(const core::Controller& c, double v)
{
    return ParamsKnown(c) && c.params.cfUnit == 1 ? (v - 32.0) * 5.0 / 9.0 : v;
}

// The field of a parameter by tecctl's name, for reading and writing alike.
struct FieldRef {
    float* real = nullptr;
    std::int16_t* whole = nullptr;
    std::uint16_t* flag = nullptr;
};
FieldRef FieldFor(ParameterSet& p, const std::string& name)
{
    FieldRef f;
    if (name == "sv") f.real = &p.setValue;
    else if (name == "alarm-high") f.real = &p.alarmHigh;
    else if (name == "alarm-low") f.real = &p.alarmLow;
    else if (name == "output") f.real = &p.outputLevel;
    else if (name == "reg30") f.real = &p.reg30;
    else if (name == "reg31") f.real = &p.reg31;
    else if (name == "range-low") f.real = &p.rangeLow;
    else if (name == "range-high") f.real = &p.rangeHigh;
    else if (name == "filter") f.real = &p.swFilter;
    else if (name == "decimal-point") f.whole = &p.decimalPnt;
    else if (name == "sensor") f.whole = &p.sensorType;
    else if (name == "direction") f.whole = &p.dirRev;
    else if (name == "unit") f.whole = &p.cfUnit;
    else if (name == "keypad") f.whole = &p.keypadValue;
    else if (name == "alarm-switch") f.flag = &p.alarmWatch;
    else if (name.rfind("pid", 0) == 0 && name.size() >= 6 && name[4] == '.') {
        const int i = name[3] - '1';
        const std::string term = name.substr(5);
        if (i < 0 || i > 3)
            return f;
        if (term == "p") f.real = &p.pidP[i];
        else if (term == "i") f.whole = &p.pidI[i];
        else if (term == "d") f.whole = &p.pidD[i];
        else if (term == "t4") f.real = &p.pidT4[i];
        else if (term == "t5") f.real = &p.pidT5[i];
        else if (term == "bound" && i < 3) f.real = &p.pidBound[i];
    }
    return f;
}

// A parameter's value as the last read-all left it; false for one it does
// not read (the band belongs to the step program).
bool FieldOf(const ParameterSet& p, int function, const std::string& name, double* v)
{
    if (name == "function") {
        *v = function;
        return function >= 0;
    }
    const FieldRef f = FieldFor(const_cast<ParameterSet&>(p), name);
    if (f.real) *v = *f.real;
    else if (f.whole) *v = *f.whole;
    else if (f.flag) *v = *f.flag;
    else return false;
    return true;
}

void Identity(const Hub& hub, const core::Controller& c, JsonWriter& j)
{
    j.integer("address", c.address);
    if (!c.name.empty())
        j.string("name", c.name);
    j.string("port", hub.portName(c.port));
    if (c.identity.known) {
        j.integer("model", c.identity.model);
        j.integer("identity", c.identity.identLo);
    }
    j.string("state", StateWord(c.state));
}

// Prometheus label values: backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& s)
{
    std::string out;
    for (char ch : s) {
        if (ch == '\\') out += "\\\\";
        else if (ch == '"') out += "\\\"";
        else if (ch == '\n') out += "\\n";
        else out += ch;
    }
    return out;
}

std::string HtmlEscape(const std::string& s)
{
    std::string out;
    for (char ch : s) {
        switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += ch;
        }
    }
    return out;
}

// JSON placed inside a <script> element: no "</script" can end it early.
std::string ScriptSafe(const std::string& json)
{
    std::string out;
    for (char ch : json) {
        if (ch == '<') out += "\\u003c";
        else out += ch;
    }
    return out;
}

// The set value served with a sample: the one its round read, or, after a
// round of PV alone, the last one read or written, with its own time.
struct ServedSv {
    bool known = false;
    float value = 0;
    std::int64_t wallMillis = 0;
    bool read = false;  // read by the sample's own round
};

ServedSv SetValueOf(const Hub& hub, const core::Controller& c)
{
    ServedSv s;
    s.known = hub.setValue(c, &s.value, &s.wallMillis);
    s.read = s.known && c.last.haveSv && s.wallMillis == c.last.wallMillis;
    return s;
}

void LiveEntry(const Hub& hub, const core::Controller& c, std::int64_t nowMillis, JsonWriter& j)
{
    j.beginObject();
    j.integer("address", c.address);
    j.string("label", c.label());
    j.string("state", StateWord(c.state));
    j.string("unit", TempUnit(c));
    const int d = TempDecimals(c);
    j.integer("decimals", d);
    if (c.last.valid) {
        if (const ServedSv sv = SetValueOf(hub, c); sv.known) {
            j.number("sv", sv.value, d);
            j.number("svAge", (nowMillis - sv.wallMillis) / 1000.0, 1);
            j.boolean("svRead", sv.read);
        }
        j.number("pv", c.last.pv, d);
        j.number("age", (nowMillis - c.last.wallMillis) / 1000.0, 1);
    }
    if (ParamsKnown(c))
        j.number("output", c.params.outputLevel, 1);
    if (const ControllerExtra* x = hub.findExtra(c.address); x && x->alarmKnown)
        j.integer("alarm", x->alarmStatus);
    j.endObject();
}

} // namespace

const char* StateWord(core::LinkState state)
{
    switch (state) {
    case core::LinkState::Online: return "online";
    case core::LinkState::Suspect: return "suspect";
    case core::LinkState::Offline: return "offline";
    }
    return "offline";
}

std::string IsoTime(std::int64_t wallMillis)
{
    // Written digit by digit: the history answers write one for each point.
    using namespace std::chrono;
    const sys_time<milliseconds> t{milliseconds{wallMillis}};
    const sys_days day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss<milliseconds> hms{t - day};
    char buf[32];
    char* p = buf;
    auto digits = [&p](long v, int width) {
        for (int k = width - 1; k >= 0; --k, v /= 10)
            p[k] = static_cast<char>('0' + v % 10);
        p += width;
    };
    const int year = static_cast<int>(ymd.year());
    if (year < 0 || year > 9999) {
        std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02ld:%02ld:%02ld.%03ldZ", year,
                      static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                      static_cast<long>(hms.hours().count()), static_cast<long>(hms.minutes().count()),
                      static_cast<long>(hms.seconds().count()), static_cast<long>(hms.subseconds().count()));
        return buf;
    }
    digits(year, 4);
    *p++ = '-';
    digits(static_cast<unsigned>(ymd.month()), 2);
    *p++ = '-';
    digits(static_cast<unsigned>(ymd.day()), 2);
    *p++ = 'T';
    digits(hms.hours().count(), 2);
    *p++ = ':';
    digits(hms.minutes().count(), 2);
    *p++ = ':';
    digits(static_cast<long>(hms.seconds().count()), 2);
    *p++ = '.';
    digits(static_cast<long>(hms.subseconds().count()), 3);
    *p++ = 'Z';
    return std::string(buf, p);
}

bool ApplyWritten(ParameterSet* params, int* function, const std::string& name, double value)
{
    if (name == "function") {
        *function = static_cast<int>(value);
        return true;
    }
    const FieldRef f = FieldFor(*params, name);
    if (f.real) *f.real = static_cast<float>(value);
    else if (f.whole) *f.whole = static_cast<std::int16_t>(value);
    else if (f.flag) *f.flag = value != 0 ? 1 : 0;
    else return false;
    if (name == "decimal-point")
        params->tempScale = params::TempScaleFor(static_cast<int>(value));
    return true;
}

std::string ErrorJson(const std::string& message)
{
    return "{\"error\": " + JsonEscape(message) + "}\n";
}

std::string ControllersJson(const Hub& hub)
{
    JsonWriter j;
    j.beginObject();
    j.beginArray("controllers");
    for (const core::Controller* c : hub.controllers()) {
        j.beginObject();
        Identity(hub, *c, j);
        j.endObject();
    }
    j.endArray();
    j.endObject();
    return j.text() + "\n";
}

std::string ControllerJson(const Hub& hub, const core::Controller& c, std::int64_t nowMillis)
{
    JsonWriter j;
    j.beginObject();
    Identity(hub, c, j);
    const int d = TempDecimals(c);
    j.beginObject("sample");
    j.boolean("valid", c.last.valid);
    if (c.last.wallMillis > 0) {
        j.string("time", IsoTime(c.last.wallMillis));
        j.number("age", (nowMillis - c.last.wallMillis) / 1000.0, 3);
    }
    if (c.last.valid) {
        // time and age are the PV's; a round of PV alone did not read the
        // SV, which then carries the time it was last read or written.
        if (const ServedSv sv = SetValueOf(hub, c); sv.known) {
            j.number("sv", sv.value, d);
            j.string("svTime", IsoTime(sv.wallMillis));
            j.number("svAge", (nowMillis - sv.wallMillis) / 1000.0, 3);
            j.boolean("svRead", sv.read);
        }
        j.number("pv", c.last.pv, d);
        j.string("unit", TempUnit(c));
    } else if (!c.last.fault.ok()) {
        j.string("fault", c.last.fault.isLinkFailure() ? kMissKinds[static_cast<int>(c.last.fault.kind) - 1]
                          : c.last.fault.kind == comlink::FaultKind::Refused ? "refused"
                                                                              : "busy");
    }
    j.endObject();
    if (ParamsKnown(c))
        j.number("output", c.params.outputLevel, 1);
    if (const ControllerExtra* x = hub.findExtra(c.address)) {
        if (x->alarmKnown)
            j.integer("alarm", x->alarmStatus);
        if (x->functionKnown) {
            j.integer("function", x->function);
            if (const char* w = tecctl::WordForCode("function", x->function))
                j.string("functionWord", w);
        }
    }
    j.beginObject("counters");
    j.integer("rounds", static_cast<long>(c.counters.rounds));
    j.integer("answered", static_cast<long>(c.counters.answered));
    j.beginObject("misses");
    for (int k = 0; k < comlink::kLinkFaultKinds; ++k)
        j.integer(kMissKinds[k], static_cast<long>(c.counters.misses[k]));
    j.endObject();
    j.integer("refusals", static_cast<long>(c.counters.refusals));
    j.integer("reconnections", static_cast<long>(c.counters.reconnections));
    j.integer("missedInRow", c.counters.missedInRow);
    j.endObject();
    j.endObject();
    return j.text() + "\n";
}

bool ParametersJson(const Hub& hub, const core::Controller& c, std::string* out)
{
    if (!ParamsKnown(c))
        return false;
    const ParameterSet& p = c.params;
    const ControllerExtra* x = hub.findExtra(c.address);
    const int function = x && x->functionKnown ? x->function : -1;
    JsonWriter j;
    j.beginObject();
    j.integer("address", c.address);
    if (!c.name.empty())
        j.string("name", c.name);
    if (x && x->paramsWallMillis > 0)
        j.string("time", IsoTime(x->paramsWallMillis));
    j.integer("decimalPoint", p.decimalPnt);
    j.number("tempScale", p.tempScale, 1);
    j.beginObject("parameters");
    for (const tecreg::NamedParameter& np : tecreg::NamedParameters()) {
        double v = 0;
        if (!FieldOf(p, function, np.name, &v))
            continue;
        const int decimals = np.cls == tecreg::EncClass::T ? TempDecimals(c) : np.cls == tecreg::EncClass::D ? 1 : 0;
        j.beginObject(np.name.c_str());
        j.number("value", v, decimals);
        if (const char* w = tecctl::WordForCode(np.name, static_cast<int>(v)))
            j.string("word", w);
        j.string("unit", std::string(np.unit) == "temperature" ? TempUnit(c) : np.unit);
        j.integer("register", np.reg);
        j.endObject();
    }
    j.endObject();
    j.endObject();
    *out = j.text() + "\n";
    return true;
}

std::string HistoryJson(const Hub& hub, const core::Controller& c, std::int64_t from, std::int64_t to)
{
    const int d = TempDecimals(c);
    JsonWriter j;
    j.beginObject();
    j.integer("address", c.address);
    if (!c.name.empty())
        j.string("name", c.name);
    j.string("from", IsoTime(from));
    j.string("to", IsoTime(to));
    j.string("unit", TempUnit(c));
    j.beginArray("points");
    for (const HistoryPoint& p : hub.history(c.address, from, to)) {
        j.beginObject();
        j.string("time", IsoTime(p.wallMillis));
        j.boolean("valid", p.valid);
        if (p.valid) {
            if (p.svRead)
                j.number("sv", p.sv, d);
            j.number("pv", p.pv, d);
        }
        j.endObject();
    }
    j.endArray();
    j.endObject();
    return j.text() + "\n";
}

std::string HistoryCsv(const Hub& hub, const core::Controller& c, std::int64_t from, std::int64_t to)
{
    std::string out = std::string(monitor::kLogHeader) + "\n";
    for (const HistoryPoint& p : hub.history(c.address, from, to)) {
        if (!p.valid)
            continue;  // the data log writes no line for a round without a reading
        const std::time_t t = static_cast<std::time_t>(p.wallMillis / 1000);
        std::tm tm{};
        localtime_r(&t, &tm);
        char time[16];
        std::strftime(time, sizeof time, "%H:%M:%S", &tm);
        const std::string line = monitor::FormatLogLine(tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900, time, p.sv, p.pv);
        if (p.svRead)
            out += line + "\n";
        else  // a round of PV alone: its SV field is empty, as a missing reading's
            out += monitor::FormatSeveralLogLine(tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900, time, {}) + "," +
                   line.substr(line.rfind(',')) + "\n";
    }
    return out;
}

std::string MetricsText(const Hub& hub, std::int64_t nowMillis)
{
    struct Family {
        const char* name;
        const char* type;
        const char* help;
    };
    static const Family kFamilies[] = {
        {"tecontrol_pv_celsius", "gauge", "Process value of the last round that read the controller."},
        {"tecontrol_sv_celsius", "gauge", "Set value last read from or written to the controller."},
        {"tecontrol_sv_age_seconds", "gauge",
         "Seconds since the set value was read or written (a round of PV alone reads none)."},
        {"tecontrol_output_ratio", "gauge", "Output level from the last read of all parameters (-1 cooling to 1 heating)."},
        {"tecontrol_up", "gauge", "1 while the controller answers (online or suspect), 0 once offline."},
        {"tecontrol_sample_age_seconds", "gauge", "Seconds since the last valid sample (its PV)."},
        {"tecontrol_rounds_total", "counter", "Poll rounds that asked the controller."},
        {"tecontrol_misses_total", "counter", "Rounds without an answer, by what went wrong."},
        {"tecontrol_refusals_total", "counter", "Requests the controller refused."},
        {"tecontrol_reconnections_total", "counter", "Times the controller came back after being offline or the port reopened."},
    };
    std::string out;
    if (hub.lastRound().seconds > 0)
        out += "# HELP tecontrol_round_duration_seconds How long the last poll round's exchanges took.\n"
               "# TYPE tecontrol_round_duration_seconds gauge\ntecontrol_round_duration_seconds " +
               Fixed(hub.lastRound().seconds, 4) + "\n";
    for (const Family& f : kFamilies) {
        std::string lines;
        for (const core::Controller* c : hub.controllers()) {
            const std::string labels = "address=\"" + std::to_string(c->address) + "\",name=\"" +
                                       LabelValue(c->name) + "\",port=\"" + LabelValue(hub.portName(c->port)) + "\"";
            const std::string n = f.name;
            auto line = [&](const std::string& extra, const std::string& value) {
                lines += n + "{" + labels + extra + "} " + value + "\n";
            };
            const ServedSv sv = c->last.valid ? SetValueOf(hub, *c) : ServedSv{};
            if (n == "tecontrol_pv_celsius" && c->last.valid)
                line("", Fixed(Celsius(*c, c->last.pv), 3));
            else if (n == "tecontrol_sv_celsius" && sv.known)
                line("", Fixed(Celsius(*c, sv.value), 3));
            else if (n == "tecontrol_sv_age_seconds" && sv.known)
                line("", Fixed((nowMillis - sv.wallMillis) / 1000.0, 3));
            else if (n == "tecontrol_output_ratio" && ParamsKnown(*c))
                line("", Fixed(c->params.outputLevel / 100.0, 4));
            else if (n == "tecontrol_up")
                line("", c->state == core::LinkState::Offline ? "0" : "1");
            else if (n == "tecontrol_sample_age_seconds" && c->last.valid)
                line("", Fixed((nowMillis - c->last.wallMillis) / 1000.0, 3));
            else if (n == "tecontrol_rounds_total")
                line("", std::to_string(c->counters.rounds));
            else if (n == "tecontrol_misses_total")
                for (int k = 0; k < comlink::kLinkFaultKinds; ++k)
                    line(std::string(",kind=\"") + kMissKinds[k] + "\"", std::to_string(c->counters.misses[k]));
            else if (n == "tecontrol_refusals_total")
                line("", std::to_string(c->counters.refusals));
            else if (n == "tecontrol_reconnections_total")
                line("", std::to_string(c->counters.reconnections));
        }
        if (lines.empty())
            continue;
        out += std::string("# HELP ") + f.name + " " + f.help + "\n# TYPE " + f.name + " " + f.type + "\n" + lines;
    }
    return out;
}

std::string LiveJson(const Hub& hub, std::int64_t nowMillis)
{
    JsonWriter j;
    j.beginObject();
    j.integer("round", static_cast<long>(hub.lastRound().number));
    j.integer("time", static_cast<long>(hub.lastRound().wallMillis));
    j.number("roundSeconds", hub.lastRound().seconds, 4);
    j.beginArray("controllers");
    for (const core::Controller* c : hub.controllers())
        LiveEntry(hub, *c, nowMillis, j);
    j.endArray();
    j.endObject();
    return j.text();
}

std::string PageHtml(const Hub& hub, std::int64_t nowMillis)
{
    constexpr std::int64_t kHour = 3600 * 1000;
    std::string cards;
    JsonWriter hist;
    hist.beginObject();
    for (const core::Controller* c : hub.controllers()) {
        const int d = TempDecimals(*c);
        const std::string unit = HtmlEscape(TempUnit(*c));
        const std::string id = std::to_string(c->address);
        auto value = [&](bool known, double v, int decimals) { return known ? Fixed(v, decimals) : std::string("–"); };
        const ControllerExtra* x = hub.findExtra(c->address);
        const ServedSv sv = c->last.valid ? SetValueOf(hub, *c) : ServedSv{};
        cards += "<section class=\"card\" id=\"c" + id + "\">\n<h2>" + HtmlEscape(c->label()) +
                 " <small>address " + id + "</small> <span class=\"state " + StateWord(c->state) + "\" data-f=\"state\">" +
                 StateWord(c->state) + "</span></h2>\n<div class=\"vals\">"
                 "<div><span class=\"k\">PV</span><span class=\"v pv\" data-f=\"pv\">" +
                 value(c->last.valid, c->last.pv, d) + "</span> <span data-f=\"unit\">" + unit +
                 "</span></div><div><span class=\"k\">SV</span><span class=\"v sv\" data-f=\"sv\"" +
                 // Dimmed, as the live updates dim it, when the last round did not read it.
                 (sv.known && !sv.read ? " style=\"opacity:0.6\" title=\"read " +
                                             std::to_string((nowMillis - sv.wallMillis + 500) / 1000) + " s ago\""
                                       : std::string()) +
                 ">" + value(sv.known, sv.value, d) + "</span> <span>" + unit +
                 "</span></div><div><span class=\"k\">Output</span><span class=\"v\" data-f=\"output\">" +
                 value(ParamsKnown(*c), c->params.outputLevel, 1) +
                 "</span> %</div><div><span class=\"k\">Alarm</span><span class=\"v\" data-f=\"alarm\">" +
                 (x && x->alarmKnown ? (x->alarmStatus ? "on" : "off") : "–") +
                 "</span></div></div>\n<svg viewBox=\"0 0 600 200\" preserveAspectRatio=\"none\" role=\"img\" "
                 "aria-label=\"the last hour\"><polyline class=\"lsv\" points=\"\"/><polyline class=\"lpv\" "
                 "points=\"\"/><text class=\"ymax\" x=\"2\" y=\"12\"></text><text class=\"ymin\" x=\"2\" y=\"196\"></text>"
                 "</svg>\n</section>\n";
        hist.beginArray(id.c_str());
        for (const HistoryPoint& p : hub.history(c->address, nowMillis - kHour, nowMillis)) {
            if (!p.valid)
                continue;
            hist.beginArray();
            hist.integer(nullptr, static_cast<long>(p.wallMillis));
            // null: a round of PV alone, which did not read the SV
            hist.number(nullptr, p.svRead ? p.sv : std::numeric_limits<double>::quiet_NaN(), d);
            hist.number(nullptr, p.pv, d);
            hist.endArray();
        }
        hist.endArray();
    }
    hist.endObject();

    return std::string(
               "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
               "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
               "<title>tecontrol</title>\n<style>\n"
               "body{font-family:system-ui,sans-serif;margin:0;padding:.5em;background:#f4f4f4;color:#222}\n"
               "h1{font-size:1.2em;margin:.2em 0 .5em}h2{font-size:1.1em;margin:0 0 .4em}small{color:#777;font-weight:normal}\n"
               ".card{background:#fff;border-radius:8px;padding:.7em;margin-bottom:.7em;box-shadow:0 1px 3px #0002}\n"
               ".vals{display:flex;flex-wrap:wrap;gap:.4em 1.4em}.k{display:block;font-size:.8em;color:#666}\n"
               ".v{font-size:2em;font-variant-numeric:tabular-nums}.pv{color:#c0392b}.sv{color:#2461b5}\n"
               ".state{font-size:.75em;padding:.1em .5em;border-radius:1em;color:#fff;background:#2a8f4a}\n"
               ".state.suspect{background:#c98a00}.state.offline{background:#a33}\n"
               "svg{width:100%;height:180px;background:#fafafa;margin-top:.5em;border:1px solid #ddd}\n"
               "polyline{fill:none;stroke-width:1.5;vector-effect:non-scaling-stroke}.lpv{stroke:#c0392b}.lsv{stroke:#2461b5}\n"
               "text{font-size:11px;fill:#666}#st{font-size:.8em;color:#777}\n"
               "</style></head><body>\n<h1>tecontrol <span id=\"st\">live</span></h1>\n") +
           cards + "<script id=\"hist\" type=\"application/json\">" + ScriptSafe(hist.text()) +
           "</script>\n<script>\n"
           "const H=JSON.parse(document.getElementById('hist').textContent);const HOUR=3600000;\n"
           "function draw(a){const c=document.getElementById('c'+a);if(!c)return;const p=H[a]||[];\n"
           " const s=c.querySelector('svg');if(p.length<1)return;const t1=p[p.length-1][0],t0=Math.min(t1-60000,Math.max(p[0][0],t1-HOUR)),span=t1-t0;\n"
           " let lo=Infinity,hi=-Infinity;for(const q of p)for(const v of [q[1],q[2]])if(v!==null){lo=Math.min(lo,v);hi=Math.max(hi,v);}\n"
           " if(hi-lo<1){hi+=0.5;lo-=0.5;}const m=(hi-lo)*0.05;hi+=m;lo-=m;\n"
           " const pts=k=>p.filter(q=>q[0]>=t0&&q[k]!==null).map(q=>((q[0]-t0)/span*600).toFixed(1)+','+((hi-q[k])/(hi-lo)*200).toFixed(1)).join(' ');\n"
           " s.querySelector('.lsv').setAttribute('points',pts(1));s.querySelector('.lpv').setAttribute('points',pts(2));\n"
           " s.querySelector('.ymax').textContent=hi.toFixed(1);s.querySelector('.ymin').textContent=lo.toFixed(1);}\n"
           "for(const a in H)draw(a);\n"
           "function show(d){for(const e of d.controllers){const c=document.getElementById('c'+e.address);if(!c)continue;\n"
           " const f=n=>c.querySelector('[data-f='+n+']');const st=f('state');st.textContent=e.state;st.className='state '+e.state;\n"
           " if('pv' in e){f('pv').textContent=e.pv.toFixed(e.decimals);const s=f('sv');\n"
           "  s.textContent='sv' in e?e.sv.toFixed(e.decimals):'\u2013';s.title=e.svRead===false?'read '+Math.round(e.svAge)+' s ago':'';\n"
           "  s.style.opacity=e.svRead===false?0.6:1;\n"
           "  const p=H[e.address]||(H[e.address]=[]);if(!p.length||p[p.length-1][0]<d.time)p.push([d.time,e.svRead?e.sv:null,e.pv]);\n"
           "  while(p.length&&p[0][0]<d.time-HOUR)p.shift();draw(e.address);}\n"
           " if('output' in e)f('output').textContent=e.output.toFixed(1);\n"
           " if('alarm' in e)f('alarm').textContent=e.alarm?'on':'off';}}\n"
           "if(window.EventSource){const es=new EventSource('/api/v1/events');const st=document.getElementById('st');\n"
           " es.onmessage=m=>{st.textContent='live';show(JSON.parse(m.data));};es.onerror=()=>{st.textContent='reconnecting';};}\n"
           "</script>\n</body></html>\n";
}

} // namespace server
