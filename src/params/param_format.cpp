// The parameter file's text form. Pure: no port, no panel, no Qt.
#include "io/text_escape.h"
#include "params/encoding.h"
#include "params/param_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace params {

namespace {

const char* const kNames[kFileFields] = {
    "set value",           "high alarm",         "low alarm",          "output level",
    "PID set 1 boundary",  "PID set 2 boundary", "PID set 3 boundary", "PID set 1 term 1",
    "PID set 1 term 4",    "PID set 1 term 5",   "PID set 2 term 1",   "PID set 2 term 4",
    "PID set 2 term 5",    "PID set 3 term 1",   "PID set 3 term 4",   "PID set 3 term 5",
    "PID set 4 term 1",    "PID set 4 term 4",   "PID set 4 term 5",   "register 0x0030 setting",
    "register 0x0031 setting", "range low",      "range high",         "SW filter",
    "PID set 1 term 2",    "PID set 1 term 3",   "PID set 2 term 2",   "PID set 2 term 3",
    "PID set 3 term 2",    "PID set 3 term 3",   "PID set 4 term 2",   "PID set 4 term 3",
    "sensor type",         "hot/cold direction", "temperature unit",   "decimal point",
    "alarm switch",
};

// Class of the register behind real field n (1..24).
EncClass RealClass(int field)
{
    switch (field) {
    case 1: case 2: case 3: case 5: case 6: case 7: case 20: case 21: case 22: case 23:
        return EncClass::T;
    default:
        return EncClass::D;
    }
}

float* RealOf(ParameterSet& p, int field)
{
    switch (field) {
    case 1: return &p.setValue;
    case 2: return &p.alarmHigh;
    case 3: return &p.alarmLow;
    case 4: return &p.outputLevel;
    case 5: case 6: case 7: return &p.pidBound[field - 5];
    case 20: return &p.reg30;
    case 21: return &p.reg31;
    case 22: return &p.rangeLow;
    case 23: return &p.rangeHigh;
    case 24: return &p.swFilter;
    default: break;
    }
    // Fields 8..19: terms 1, 4, 5 of sets 1..4.
    const int k = field - 8;
    const int set = k / 3;
    switch (k % 3) {
    case 0: return &p.pidP[set];
    case 1: return &p.pidT4[set];
    default: return &p.pidT5[set];
    }
}

std::int16_t* IntOf(ParameterSet& p, int field)
{
    if (field >= 25 && field <= 32) {
        const int k = field - 25;
        return (k % 2 == 0) ? &p.pidI[k / 2] : &p.pidD[k / 2];
    }
    switch (field) {
    case 33: return &p.sensorType;
    case 34: return &p.dirRev;
    case 35: return &p.cfUnit;
    case 36: return &p.decimalPnt;
    default: return nullptr;  // 37: alarmWatch, unsigned
    }
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string> Tokens(const std::string& text, std::size_t limit)
{
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size() && out.size() < limit) {
        while (i < text.size() && IsSpace(text[i]))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && !IsSpace(text[i]))
            ++i;
        if (i > start)
            out.push_back(text.substr(start, i - start));
    }
    return out;
}

// The program runs with the desktop's locale, whose decimal separator may be a
// comma; files always use a point, so conversions go through from_chars and a
// separator fix-up rather than the locale-bound strtof and printf.
bool ParseReal(const std::string& token, float* value)
{
    const char* first = token.data();
    const char* last = token.data() + token.size();
    if (first != last && *first == '+' && (last - first) > 1 && first[1] != '-')
        ++first;
    float v = 0;
    const auto [ptr, ec] = std::from_chars(first, last, v, std::chars_format::general);
    if (ec != std::errc() || ptr != last || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

// snprintf's "%f" writes the locale's decimal separator; files want a point.
void PointDecimals(char* text)
{
    const char* sep = std::localeconv()->decimal_point;
    if (sep == nullptr || (sep[0] == '.' && sep[1] == '\0') || sep[0] == '\0' || sep[1] != '\0')
        return;
    for (char* c = text; *c; ++c)
        if (*c == sep[0])
            *c = '.';
}

bool ParseInteger(const std::string& token, long* value)
{
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(token.c_str(), &end, 10);
    if (end == token.c_str() || *end != '\0' || errno == ERANGE)
        return false;
    *value = v;
    return true;
}

std::string Quote(const std::string& token)
{
    return "\"" + io::EscapeText(token.size() > 40 ? token.substr(0, 40) + "..." : token) + "\"";
}

std::string Number(double v, int decimals)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    PointDecimals(buf);
    return buf;
}

} // namespace

const char* FileFieldName(int field)
{
    return (field >= 1 && field <= kFileFields) ? kNames[field - 1] : "";
}

std::string FormatParameterFile(const ParameterSet& p)
{
    char buf[1024];
    const int n = std::snprintf(
        buf, sizeof buf,
        "%7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f "
        "%7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %i %i %i %i %i %i %i %i %i %i %i %i %i",
        p.setValue, p.alarmHigh, p.alarmLow, p.outputLevel, p.pidBound[0], p.pidBound[1], p.pidBound[2], p.pidP[0],
        p.pidT4[0], p.pidT5[0], p.pidP[1], p.pidT4[1], p.pidT5[1], p.pidP[2], p.pidT4[2], p.pidT5[2], p.pidP[3],
        p.pidT4[3], p.pidT5[3], p.reg30, p.reg31, p.rangeLow, p.rangeHigh, p.swFilter, p.pidI[0], p.pidD[0],
        p.pidI[1], p.pidD[1], p.pidI[2], p.pidD[2], p.pidI[3], p.pidD[3], p.sensorType, p.dirRev, p.cfUnit,
        p.decimalPnt, static_cast<int>(p.alarmWatch));
    if (n < 0)
        return {};
    if (static_cast<std::size_t>(n) < sizeof buf) {
        PointDecimals(buf);
        return std::string(buf, static_cast<std::size_t>(n));
    }
    // Reals of float range can need up to ~46 characters each.
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(),
                  "%7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f "
                  "%7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %i %i %i %i %i %i %i %i %i %i %i %i %i",
                  p.setValue, p.alarmHigh, p.alarmLow, p.outputLevel, p.pidBound[0], p.pidBound[1], p.pidBound[2],
                  p.pidP[0], p.pidT4[0], p.pidT5[0], p.pidP[1], p.pidT4[1], p.pidT5[1], p.pidP[2], p.pidT4[2],
                  p.pidT5[2], p.pidP[3], p.pidT4[3], p.pidT5[3], p.reg30, p.reg31, p.rangeLow, p.rangeHigh,
                  p.swFilter, p.pidI[0], p.pidD[0], p.pidI[1], p.pidD[1], p.pidI[2], p.pidD[2], p.pidI[3], p.pidD[3],
                  p.sensorType, p.dirRev, p.cfUnit, p.decimalPnt, static_cast<int>(p.alarmWatch));
    PointDecimals(big.data());
    big.resize(static_cast<std::size_t>(n));
    return big;
}

bool ParseParameterFile(const std::string& text, const ParameterSet& current, ParameterSet* out, int* badField,
                        std::string* reason)
{
    auto fail = [&](int field, const std::string& why) {
        if (badField)
            *badField = field;
        if (reason)
            *reason = why;
        return false;
    };

    const std::vector<std::string> tokens = Tokens(text, kFileFields);
    ParameterSet p = current;

    // Every field is read, so that the decimal point (field 36) is known even
    // when an earlier field is broken; the first fault of any kind is reported.
    int syntaxField = 0;
    std::string syntaxWhy;
    bool decimalKnown = false;
    long alarm = 0;
    auto syntaxFault = [&](int f, const std::string& why) {
        if (syntaxField == 0) {
            syntaxField = f;
            syntaxWhy = why;
        }
    };
    for (int f = 1; f <= kFileFields; ++f) {
        if (f > static_cast<int>(tokens.size())) {
            syntaxFault(f, "the file ends after " + std::to_string(tokens.size()) + " of 37 numbers");
            break;
        }
        const std::string& tok = tokens[static_cast<std::size_t>(f - 1)];
        if (f <= kFileReals) {
            if (!ParseReal(tok, RealOf(p, f)))
                syntaxFault(f, Quote(tok) + " is not a number");
            continue;
        }
        long v = 0;
        if (!ParseInteger(tok, &v)) {
            syntaxFault(f, Quote(tok) + " is not a whole number");
        } else if (v < -32768 || v > 32767) {
            syntaxFault(f, Quote(tok) + " lies outside -32768..32767");
        } else if (f == kFileFields) {
            alarm = v;
        } else {
            *IntOf(p, f) = static_cast<std::int16_t>(v);
            if (f == 36)
                decimalKnown = true;
        }
    }

    // Temperatures are sent at the decimal point the file itself records,
    // which the write-all pass sends first.
    if (decimalKnown) {
        const float scale = TempScaleFor(p.decimalPnt);
        const int last = syntaxField == 0 ? kFileReals : std::min(kFileReals, syntaxField - 1);
        for (int f = 1; f <= last; ++f) {
            const EncClass cls = RealClass(f);
            const float v = *RealOf(p, f);
            if (!FitsRegister(cls, v, scale)) {
                const int decimals = (cls == EncClass::T && scale == 1.0f) ? 0 : 1;
                return fail(f, Quote(tokens[static_cast<std::size_t>(f - 1)]) + " lies outside " +
                                   Number(LowestDisplayValue(cls, scale), decimals) + ".." +
                                   Number(HighestDisplayValue(cls, scale), decimals));
            }
        }
    }
    if (syntaxField != 0)
        return fail(syntaxField, syntaxWhy);

    // The switch is on for any value but 0.
    p.alarmWatch = alarm != 0 ? 1 : 0;
    if (out)
        *out = p;
    return true;
}

} // namespace params
