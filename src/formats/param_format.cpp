// The parameter file's text form. Pure: no port, no panel, no Qt.
#include "formats/param_format.h"
#include "io/text_escape.h"
#include "protocol/encoding.h"

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

// The first `limit` fields; *rest says whether anything but white space
// follows the last of them.
std::vector<std::string> Tokens(const std::string& text, std::size_t limit, bool* rest)
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
    while (i < text.size() && IsSpace(text[i]))
        ++i;
    *rest = i < text.size();
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
    // The whole token: a NUL inside it ends strtol's number, not the token.
    if (end == token.c_str() || end != token.c_str() + token.size() || errno == ERANGE)
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

// ---- what the controller takes ----

int DecimalsOf(EncClass cls, float scale)
{
    return (cls == EncClass::T && scale == 1.0f) ? 0 : 1;
}

// A field's own span, in display units, checked as the register numbers the
// controller compares (so 150.04 at one decimal is 1500, inside 150.0).
struct Span {
    int field;
    EncClass cls;
    double low, high;
};

const Span kSpans[] = {
    {4, EncClass::D, -100.0, 100.0},  // output level, % of full output (negative cools)
    {8, EncClass::D, 0.0, 3276.7},    {11, EncClass::D, 0.0, 3276.7},  // term 1: proportional band, %
    {14, EncClass::D, 0.0, 3276.7},   {17, EncClass::D, 0.0, 3276.7},
    {9, EncClass::D, 0.0, 100.0},     {12, EncClass::D, 0.0, 100.0},   // term 4: output limit, %
    {15, EncClass::D, 0.0, 100.0},    {18, EncClass::D, 0.0, 100.0},
    {10, EncClass::D, 0.0, 3276.7},   {13, EncClass::D, 0.0, 3276.7},  // term 5: integral band, %
    {16, EncClass::D, 0.0, 3276.7},   {19, EncClass::D, 0.0, 3276.7},
    {24, EncClass::D, 0.0, 9.9},      // SW filter
};

struct Codes {
    int field;
    std::vector<int> known;
    const char* words;
};

const Codes kCodes[] = {
    {33, {0, 1, 2}, "0 thermocouple, 1 PT100 or 2 thermistor"},
    {34, {0, 1}, "0 normal or 1 reversed"},
    {35, {0, 1}, "0 for \u00B0C or 1 for \u00B0F"},
    {36, {30, 31}, "30 for whole degrees or 31 for tenths"},
    {37, {0, 1}, "0 off or 1 on"},
};

std::string ValueText(const ParameterSet& p, int field, float scale)
{
    if (field > kFileReals) {
        ParameterSet copy = p;
        return field == kFileFields ? std::to_string(p.alarmWatch) : std::to_string(*IntOf(copy, field));
    }
    ParameterSet copy = p;
    return Number(*RealOf(copy, field), DecimalsOf(RealClass(field), scale));
}

} // namespace

bool CheckParameterLimits(const ParameterSet& p, int* badField, std::string* reason)
{
    const float scale = TempScaleFor(p.decimalPnt);
    const int td = DecimalsOf(EncClass::T, scale);
    auto raw = [&](float v) { return ScaledValue(EncClass::T, v, scale); };
    auto fault = [&](int f, const std::string& why) {
        if (badField)
            *badField = f;
        if (reason)
            *reason = ValueText(p, f, scale) + why;
        return false;
    };
    // The range first: the set value is checked against it.
    const std::string lowText = Number(p.rangeLow, td), highText = Number(p.rangeHigh, td);
    if (raw(p.rangeHigh) <= raw(p.rangeLow))
        return fault(23, " is not above range low " + lowText);
    const std::string span = " lies outside the file's range " + lowText + ".." + highText;
    auto inSpan = [&](float v) { return raw(v) >= raw(p.rangeLow) && raw(v) <= raw(p.rangeHigh); };
    // Only the set value is held to the range: the controller takes alarm
    // values anywhere, and a file saved from one that holds them so must load.
    if (!inSpan(p.setValue))
        return fault(1, span);

    ParameterSet copy = p;
    int first = 0;
    std::string why;
    for (const Span& s : kSpans) {
        const long v = ScaledValue(s.cls, *RealOf(copy, s.field), scale);
        if ((v < ScaledValue(s.cls, s.low, scale) || v > ScaledValue(s.cls, s.high, scale)) &&
            (first == 0 || s.field < first)) {
            first = s.field;
            why = " lies outside " + Number(s.low, 1) + ".." + Number(s.high, 1);
        }
    }
    for (int f = 25; f <= 32 && first == 0; ++f)
        if (*IntOf(copy, f) < 0) {
            first = f;
            why = " lies outside 0..32767 (seconds)";
        }
    if (first != 0)
        return fault(first, why);
    for (const Codes& c : kCodes) {
        const long v = c.field == kFileFields ? static_cast<long>(p.alarmWatch) : *IntOf(copy, c.field);
        if (std::find(c.known.begin(), c.known.end(), v) == c.known.end())
            return fault(c.field, std::string(" is not a code the controller knows (") + c.words + ")");
    }
    return true;
}

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

    bool rest = false;
    const std::vector<std::string> tokens = Tokens(text, kFileFields, &rest);
    ParameterSet p = current;
    p.readSinceConnection = false;  // a file's values are not the controller's

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
    // Nothing may follow the last field but white space: a file with more
    // in it is not one this program wrote, and guessing what was meant would
    // send a controller values nobody chose.
    if (rest)
        syntaxFault(kFileFields, "the file goes on after its 37th number");

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

    if (alarm != 0 && alarm != 1)
        return fail(kFileFields, Quote(tokens[kFileFields - 1]) + " is not a code the controller knows (0 off or 1 on)");
    p.alarmWatch = static_cast<std::uint16_t>(alarm);
    if (!CheckParameterLimits(p, badField, reason))
        return false;
    if (out)
        *out = p;
    return true;
}

} // namespace params
