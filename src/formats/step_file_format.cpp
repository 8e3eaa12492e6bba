// The step-program file: 41 numbers on one line, set values and the band
// with one decimal, the integers as unsigned 16-bit values. Formatting and
// parsing are locale-independent: the run-time may have set the process
// locale to one whose decimal separator is a comma.
#include "formats/step_file_format.h"
#include "io/text_escape.h"
#include "protocol/step_codec.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <vector>

namespace program {

namespace {

// "%6.1f" in the C locale.
void AppendFixed1(std::string& out, double value)
{
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 1);
    const std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
    if (text.size() < 6)
        out.append(6 - text.size(), ' ');
    out.append(text);
}

void AppendInt(std::string& out, std::uint16_t value)
{
    out += std::to_string(static_cast<unsigned>(value));
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The first `limit` fields; *rest says whether anything but white space
// follows the last of them.
std::vector<std::string_view> Tokens(const std::string& text, std::size_t limit, bool* rest)
{
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < text.size() && out.size() < limit) {
        while (i < text.size() && IsBlank(text[i]))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && !IsBlank(text[i]))
            ++i;
        if (i > start)
            out.emplace_back(text.data() + start, i - start);
    }
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    *rest = i < text.size();
    return out;
}

// A leading '+' is accepted, as formatted input accepts it.
std::string_view StripPlus(std::string_view t)
{
    if (t.size() > 1 && t[0] == '+' && t[1] != '-' && t[1] != '+')
        t.remove_prefix(1);
    return t;
}

bool ParseFloat(std::string_view t, float* out)
{
    t = StripPlus(t);
    float v = 0;
    const auto res = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
    if (res.ec != std::errc() || res.ptr != t.data() + t.size() || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

// A set value or band no register can hold at any decimal point (the
// register is a signed 16-bit number of whole or tenth degrees) is refused
// here, before anything converts it to an integer.
constexpr float kLowestTemperature = -32768.0f;
constexpr float kHighestTemperature = 32767.0f;

bool TemperatureInRange(float v)
{
    return v >= kLowestTemperature && v <= kHighestTemperature;
}

enum class IntResult { Ok, NotNumber, OutOfRange };

IntResult ParseU16(std::string_view t, std::uint16_t* out)
{
    t = StripPlus(t);
    long v = 0;
    const auto res = std::from_chars(t.data(), t.data() + t.size(), v, 10);
    if (res.ptr != t.data() + t.size() || (res.ec != std::errc() && res.ec != std::errc::result_out_of_range))
        return IntResult::NotNumber;
    if (res.ec == std::errc::result_out_of_range || v < 0 || v > 65535)
        return IntResult::OutOfRange;
    *out = static_cast<std::uint16_t>(v);
    return IntResult::Ok;
}

const char* FieldName(int position)
{
    static const char* const names[] = {"set value", "parameter 1", "parameter 2", "action", "loop count"};
    return names[(position - 1) % kRegistersPerStep];
}

} // namespace

std::string StepFieldDescription(int position)
{
    if (position == kProgramRegisters)
        return "field 41 (tolerance band)";
    const int step = (position - 1) / kRegistersPerStep + 1;
    return "field " + std::to_string(position) + " (step " + std::to_string(step) + " " + FieldName(position) + ")";
}

std::string FormatStepFile(const StepProgram& prog)
{
    std::string out;
    for (const StepRecord& s : prog.steps) {
        AppendFixed1(out, static_cast<double>(s.sv));
        out += ' ';
        for (std::uint16_t v : {s.param1, s.param2, s.action, s.loops}) {
            AppendInt(out, v);
            out += ' ';
        }
        out.append(8, '\t');
    }
    AppendFixed1(out, static_cast<double>(prog.tolBand));
    return out;
}

bool ParseStepFile(const std::string& text, StepProgram* out, int* badField, std::string* reason)
{
    bool rest = false;
    const std::vector<std::string_view> tokens = Tokens(text, kProgramRegisters, &rest);
    StepProgram prog;
    for (int pos = 1; pos <= kProgramRegisters; ++pos) {
        auto fail = [&](const std::string& why) {
            if (badField)
                *badField = pos;
            if (reason)
                *reason = why;
            return false;
        };
        if (pos > static_cast<int>(tokens.size()))
            return fail("the file ends after " + std::to_string(tokens.size()) + " of 41 numbers");
        const std::string_view tok = tokens[static_cast<std::size_t>(pos - 1)];
        const std::string quoted = "\"" + io::EscapeText(tok.substr(0, 40)) + (tok.size() > 40 ? "...\"" : "\"");
        if (pos == kProgramRegisters) {
            if (!ParseFloat(tok, &prog.tolBand))
                return fail(quoted + " is not a number");
            if (!TemperatureInRange(prog.tolBand))
                return fail(quoted + " is outside -32768 to 32767");
            // A band is a distance from the set value: below 0 no process
            // value is ever within it, and the run would hold for ever.
            if (prog.tolBand < 0.0f)
                return fail(quoted + " is below 0");
            // Nothing but white space may follow: a file with more in it is
            // not one this program wrote.
            if (rest)
                return fail("the file goes on after its 41st number");
            break;
        }
        StepRecord& s = prog.steps[(pos - 1) / kRegistersPerStep];
        const int offset = (pos - 1) % kRegistersPerStep;  // file order: sv, param1, param2, action, loops
        if (offset == 0) {
            if (!ParseFloat(tok, &s.sv))
                return fail(quoted + " is not a number");
            if (!TemperatureInRange(s.sv))
                return fail(quoted + " is outside -32768 to 32767");
            continue;
        }
        std::uint16_t* fields[] = {nullptr, &s.param1, &s.param2, &s.action, &s.loops};
        switch (ParseU16(tok, fields[offset])) {
        case IntResult::Ok:
            break;
        case IntResult::NotNumber:
            return fail(quoted + " is not a whole number");
        case IntResult::OutOfRange:
            return fail(quoted + " is outside 0 to 65535");
        }
        if (offset == 3 && !ActionKnown(s.action))
            return fail(quoted + " is not an action the step program knows (54 next, 44 to 51 loop, 52 end)");
    }
    if (out)
        *out = prog;
    if (badField)
        *badField = 0;
    if (reason)
        reason->clear();
    return true;
}

} // namespace program
