// The words tecctl reads and prints, the ranges it checks before sending,
// the resolution rule, the step-program status, and the escaping of text
// from files in messages. Pure: no port.
#include "io/text_escape.h"
#include "tecctl/json.h"
#include "tecctl/options.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

using tecctl::Assignment;

double Value(const std::string& text)
{
    Assignment a;
    std::string error;
    EXPECT_TRUE(tecctl::ParseAssignment(text, &a, &error)) << text << ": " << error;
    return a.value;
}

std::string Refusal(const std::string& text)
{
    Assignment a;
    std::string error;
    EXPECT_FALSE(tecctl::ParseAssignment(text, &a, &error)) << text;
    return error;
}

TEST(TecctlWords, CodedValuesTakeWordsInAnyCaseAndTheirCodes)
{
    EXPECT_EQ(Value("function=off"), 0);
    EXPECT_EQ(Value("function=AutoTune"), 1);
    EXPECT_EQ(Value("function=manual"), 3);
    EXPECT_EQ(Value("function=PID"), 4);
    EXPECT_EQ(Value("function=4"), 4);
    EXPECT_EQ(Value("unit=c"), 0);
    EXPECT_EQ(Value("unit=F"), 1);
    EXPECT_EQ(Value("direction=reversed"), 1);
    EXPECT_EQ(Value("sensor=PT100"), 1);
    EXPECT_EQ(Value("sensor=thermistor"), 2);
    EXPECT_EQ(Value("sensor=0"), 0);
    // Each word names its code back; the step program (5) has a word to be
    // printed but is never set.
    EXPECT_STREQ(tecctl::WordForCode("function", 5), "program");
    EXPECT_STREQ(tecctl::WordForCode("unit", 1), "F");
    EXPECT_STREQ(tecctl::WordForCode("sensor", 0), "thermocouple");
    EXPECT_EQ(tecctl::WordForCode("function", 2), nullptr);
    EXPECT_EQ(tecctl::WordForCode("sv", 0), nullptr);
    EXPECT_NE(Refusal("function=program").find("program run"), std::string::npos);
    EXPECT_EQ(Refusal("unit=K"), "unit=K: unit takes C (0) or F (1)");
    // A word belongs to its own parameter only.
    Refusal("unit=pid");
    Refusal("sv=off");
    // A code far beyond any register is refused, not converted.
    EXPECT_NE(Refusal("unit=4294967297").find("unit takes"), std::string::npos);
    Refusal("sensor=1e30");

    int code = -1;
    EXPECT_TRUE(tecctl::ParseFunction("Manual", &code));
    EXPECT_EQ(code, 3);
    EXPECT_TRUE(tecctl::ParseFunction("1", &code));
    EXPECT_EQ(code, 1);
    EXPECT_FALSE(tecctl::ParseFunction("2", &code));  // no selector offers 2
}

TEST(TecctlWords, RangesAreThePanelsAndRefusalsNameThem)
{
    EXPECT_EQ(Value("output=-100"), -100);
    EXPECT_EQ(Value("output=100"), 100);
    EXPECT_EQ(Refusal("output=150"), "output=150: out of range; output takes -100.0 to 100.0 %");
    Refusal("output=100.1");
    EXPECT_EQ(Value("filter=9.9"), 9.9);
    Refusal("filter=10");
    Refusal("filter=-0.1");
    EXPECT_EQ(Refusal("decimal-point=32"),
              "decimal-point=32: out of range; decimal-point takes 30 (whole units) or 31 (tenths)");
    EXPECT_EQ(Value("decimal-point=30"), 30);
    Refusal("sensor=3");
    Refusal("direction=2");
    Refusal("alarm-switch=2");
    Refusal("keypad=2");
    EXPECT_EQ(Value("pid1.i=-32768"), -32768);
    Refusal("pid1.i=32768");
    EXPECT_EQ(Value("pid3.p=3276.7"), 3276.7);
    Refusal("pid3.p=3276.8");
    Refusal("pv=20");  // read-only
}

TEST(TecctlWords, AValueFinerThanItsRegisterIsRefusedOrRoundedOnlyWhenAsked)
{
    Assignment a;
    std::string error;
    double sent = 0;
    ASSERT_TRUE(tecctl::ParseAssignment("sv=37.55", &a, &error));
    EXPECT_FALSE(tecctl::CheckResolution(a, 10.0f, false, &sent, &error));
    EXPECT_EQ(error, "sv=37.55: finer than the decimal point allows; nearest 37.5 or 37.6");
    ASSERT_TRUE(tecctl::CheckResolution(a, 10.0f, true, &sent, &error));
    EXPECT_DOUBLE_EQ(sent, 37.6);  // halves away from zero, whatever 37.55 is in binary
    // Whole units: a tenth is already too fine.
    ASSERT_TRUE(tecctl::ParseAssignment("alarm-low=-12.5", &a, &error));
    EXPECT_FALSE(tecctl::CheckResolution(a, 1.0f, false, &sent, &error));
    EXPECT_EQ(error, "alarm-low=-12.5: finer than the decimal point allows; nearest -13 or -12");
    ASSERT_TRUE(tecctl::CheckResolution(a, 1.0f, true, &sent, &error));
    EXPECT_DOUBLE_EQ(sent, -13);
    ASSERT_TRUE(tecctl::CheckResolution(a, 10.0f, false, &sent, &error));
    EXPECT_DOUBLE_EQ(sent, -12.5);
    // Tenths do not follow the decimal point; values on a step pass unchanged.
    ASSERT_TRUE(tecctl::ParseAssignment("output=12.34", &a, &error));
    EXPECT_FALSE(tecctl::CheckResolution(a, 1.0f, false, &sent, &error));
    EXPECT_EQ(error, "output=12.34: finer than tenths allow; nearest 12.3 or 12.4");
    for (const char* ok : {"sv=0.1", "sv=-0.3", "pid1.p=0.7", "filter=9.9", "sv=3276.7"}) {
        ASSERT_TRUE(tecctl::ParseAssignment(ok, &a, &error));
        EXPECT_TRUE(tecctl::CheckResolution(a, 10.0f, false, &sent, &error)) << ok << ": " << error;
        EXPECT_DOUBLE_EQ(sent, a.value) << ok;
    }
}

TEST(TecctlWords, ProgramStatusInWords)
{
    tecctl::ProgramState ps = tecctl::DescribeRunStatus(5, 45);  // segment index 3: step 2, second half
    EXPECT_TRUE(ps.running);
    EXPECT_EQ(ps.step, 2);
    EXPECT_EQ(ps.segment, 4);
    EXPECT_EQ(ps.half, 2);
    EXPECT_EQ(ps.text, "step program running: step 2 of 8, segment 4 of 16 (second half of the step)");
    ps = tecctl::DescribeRunStatus(5, 225);
    EXPECT_EQ(ps.step, 8);
    EXPECT_EQ(ps.segment, 16);
    // 240 and above name no indicator on the panel, and no step here.
    ps = tecctl::DescribeRunStatus(5, 240);
    EXPECT_TRUE(ps.running);
    EXPECT_EQ(ps.step, 0);
    EXPECT_EQ(ps.text, "step program running (segment code 240 names no step)");
    ps = tecctl::DescribeRunStatus(0, 3);  // idle: the low byte is alarm bits then
    EXPECT_FALSE(ps.running);
    EXPECT_EQ(ps.text, "step program not running");
    ps = tecctl::DescribeRunStatus(2, 0);
    EXPECT_EQ(ps.state, "unknown");
    EXPECT_FALSE(ps.running);
}

TEST(TextEscape, ControlsAndInvalidUtf8BecomeHexAndPrintableTextStays)
{
    using io::EscapeText;
    EXPECT_EQ(EscapeText("25.0 \u00B0C \u00E9\u20AC\U0001F600"), "25.0 \u00B0C \u00E9\u20AC\U0001F600");
    EXPECT_EQ(EscapeText("\x1b]0;title\x07\x1b[2J"), "\\x1b]0;title\\x07\\x1b[2J");
    // A NUL neither ends the text nor vanishes.
    EXPECT_EQ(EscapeText(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(EscapeText("\x7f\t\r\n"), "\\x7f\\x09\\x0d\\x0a");
    EXPECT_EQ(EscapeText("l1\nl2\r", true), "l1\nl2\\x0d");
    // Invalid UTF-8: a stray continuation, a lone lead byte, a cut sequence at
    // the end, an overlong slash, a surrogate, a code point past U+10FFFF.
    EXPECT_EQ(EscapeText("\x80x\xffy"), "\\x80x\\xffy");
    EXPECT_EQ(EscapeText("\xe2\x82"), "\\xe2\\x82");
    EXPECT_EQ(EscapeText("\xc0\xaf"), "\\xc0\\xaf");
    EXPECT_EQ(EscapeText("\xed\xa0\x80"), "\\xed\\xa0\\x80");
    EXPECT_EQ(EscapeText("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");
    // C1 controls (here CSI, U+009B) act on terminals as ESC [ does.
    EXPECT_EQ(EscapeText("\xc2\x9b" "2J"), "\\xc2\\x9b2J");
    // Escaping what is escaped changes nothing more.
    const std::string once = EscapeText(std::string("\x1b\0\xff", 3));
    EXPECT_EQ(EscapeText(once), once);
}

} // namespace

// The JSON documents print numbers as printf's "%.*f" does and escape text
// as the terminal escapes it, whichever way the writer takes to get there.
TEST(JsonText, NumbersAsPrintfWritesThemAndTextEscaped)
{
    const double values[] = {0.0, -0.0, 0.05, 0.125, 0.375, 2.5, -2.5, 25.05, -40.15, 1e-7, 999.9995,
                             123456.7890123, -32768.0, 1e15, 3.0e38, 1.0 / 3.0};
    for (const double v : values)
        for (int decimals = 0; decimals <= 6; ++decimals) {
            tecctl::JsonWriter j;
            j.number(nullptr, v, decimals);
            char expected[512];
            std::snprintf(expected, sizeof expected, "%.*f", decimals, v);
            EXPECT_EQ(j.text(), expected) << v << " with " << decimals << " decimals";
        }
    tecctl::JsonWriter j;
    j.beginObject();
    j.integer("min", -2147483647L - 1);
    j.string("plain", "Stage A [2]");
    j.string("quote\"d", "back\\slash\t");
    j.number("nan", std::nan(""), 1);
    j.endObject();
    EXPECT_EQ(j.text(), "{\"min\": -2147483648, \"plain\": \"Stage A [2]\", \"quote\\\"d\": \"back\\\\slash\\\\x09\", "
                        "\"nan\": null}");
    // No byte that must be escaped is ever written as it stands.
    for (int b = 0; b < 256; ++b) {
        const std::string text = tecctl::JsonEscape(std::string(1, static_cast<char>(b)));
        const bool plain = b >= 0x20 && b < 0x7f && b != '"' && b != '\\';
        if (plain)
            EXPECT_EQ(text, std::string("\"") + static_cast<char>(b) + "\"");
        else
            EXPECT_GT(text.size(), 3u) << b;
    }
}
