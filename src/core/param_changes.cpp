#include "core/param_changes.h"

#include "protocol/encoding.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <cstdio>

namespace core {

namespace {

enum class Kind { Temperature, Tenths, Seconds, Code, Switch };

struct Field {
    std::string name;
    Kind kind;
    std::function<double(const ParameterSet&)> value;
};

std::string Show(Kind kind, double v, const ParameterSet& p)
{
    char buf[48];
    switch (kind) {
    case Kind::Temperature:
        std::snprintf(buf, sizeof buf, "%.*f %s", params::PrecisionFor(p.decimalPnt), v,
                      p.cfUnit == 1 ? "\u00B0F" : "\u00B0C");
        break;
    case Kind::Tenths:
        std::snprintf(buf, sizeof buf, "%.1f", v);
        break;
    case Kind::Seconds:
        std::snprintf(buf, sizeof buf, "%.0f s", v);
        break;
    case Kind::Switch:
        return v != 0 ? "on" : "off";
    case Kind::Code:
        std::snprintf(buf, sizeof buf, "%.0f", v);
        break;
    }
    return buf;
}

// The fields in the read-all pass's order.
std::vector<Field> Fields()
{
    std::vector<Field> f;
    auto add = [&f](std::string name, Kind kind, auto member) {
        f.push_back({std::move(name), kind, [member](const ParameterSet& p) { return double(p.*member); }});
    };
    auto addAt = [&f](std::string name, Kind kind, auto member, int i) {
        f.push_back({std::move(name), kind, [member, i](const ParameterSet& p) { return double((p.*member)[i]); }});
    };
    add("decimal point code", Kind::Code, &ParameterSet::decimalPnt);
    add("set value", Kind::Temperature, &ParameterSet::setValue);
    add("high alarm", Kind::Temperature, &ParameterSet::alarmHigh);
    add("low alarm", Kind::Temperature, &ParameterSet::alarmLow);
    add("output level", Kind::Tenths, &ParameterSet::outputLevel);
    for (int i = 0; i < 4; ++i) {
        const std::string set = "PID set " + std::to_string(i + 1) + " ";
        addAt(set + "P", Kind::Tenths, &ParameterSet::pidP, i);
        addAt(set + "I", Kind::Seconds, &ParameterSet::pidI, i);
        addAt(set + "D", Kind::Seconds, &ParameterSet::pidD, i);
        addAt(set + "term 4", Kind::Tenths, &ParameterSet::pidT4, i);
        addAt(set + "term 5", Kind::Tenths, &ParameterSet::pidT5, i);
        if (i < 3)
            addAt(set + "boundary", Kind::Temperature, &ParameterSet::pidBound, i);
    }
    add("sensor type", Kind::Code, &ParameterSet::sensorType);
    add("sensor setting 30h", Kind::Temperature, &ParameterSet::reg30);
    add("sensor setting 31h", Kind::Temperature, &ParameterSet::reg31);
    add("direction", Kind::Code, &ParameterSet::dirRev);
    add("unit", Kind::Code, &ParameterSet::cfUnit);
    add("range low", Kind::Temperature, &ParameterSet::rangeLow);
    add("range high", Kind::Temperature, &ParameterSet::rangeHigh);
    add("SW filter", Kind::Tenths, &ParameterSet::swFilter);
    add("alarm switch", Kind::Switch, &ParameterSet::alarmWatch);
    add("keypad", Kind::Code, &ParameterSet::keypadValue);
    return f;
}

} // namespace

std::vector<std::string> DescribeChanges(const ParameterSet& before, const ParameterSet& after)
{
    static const std::vector<Field> fields = Fields();
    std::vector<std::string> lines;
    for (const Field& f : fields) {
        const double a = f.value(before);
        const double b = f.value(after);
        // Both readings come from registers: anything beyond float noise is a change.
        if (std::fabs(a - b) <= 1e-4 * std::max(1.0, std::fabs(b)))
            continue;
        std::string text = f.name + " " + Show(f.kind, a, before) + " \u2192 " + Show(f.kind, b, after);
        if (f.name == "unit")
            text = "unit " + std::string(before.cfUnit == 1 ? "\u00B0F" : "\u00B0C") + " \u2192 " +
                   (after.cfUnit == 1 ? "\u00B0F" : "\u00B0C");
        lines.push_back(text);
    }
    return lines;
}

} // namespace core
