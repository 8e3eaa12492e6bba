// Data logs read back whatever state they are in, and written in the log's
// own format by export.
#include "formats/chart_axis.h"
#include "formats/log_reader.h"

#include <gtest/gtest.h>

#include <clocale>
#include <random>

namespace {
double At(int y, int mo, int d, int h, int mi, int s)
{
    return rt::CivilSeconds({y, mo, d, h, mi, s});
}
} // namespace

TEST(DataLogWrite, LinesAreTheLogsOwnFormatWhateverTheLocale)
{
    // Where a decimal-comma locale exists, it is in force while formatting.
    const bool comma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "de_DE");
    const std::vector<monitor::LogPoint> points = {{At(2012, 3, 7, 14, 5, 9), 25.0, 24.8},
                                                   {At(2013, 1, 5, 0, 0, 1), -5.0, -32768.0},
                                                   {At(2013, 12, 25, 23, 59, 59), 123.45, -0.04}};
    const std::string text = monitor::FormatDataLog(points, "\r\n");
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(text, "  Date,       Time,     SV,    PV\r\n"
                    "3/7/2012, 14:05:09,  25.0,  24.8\r\n"
                    "1/5/2013, 00:00:01,  -5.0, -32768.0\r\n"
                    "12/25/2013, 23:59:59, 123.5,  -0.0\r\n")
        << (comma ? "with a decimal-comma locale" : "C locale only");
    // Read back, every point is where it was, to the tenth written.
    const monitor::LogReadResult r = monitor::ReadDataLog(text);
    ASSERT_EQ(r.points.size(), 3u);
    EXPECT_EQ(r.headers, 1u);
    EXPECT_EQ(r.skipped, 0u);
    EXPECT_DOUBLE_EQ(r.points[1].t, points[1].t);
    EXPECT_DOUBLE_EQ(r.points[1].pv, -32768.0);
    EXPECT_DOUBLE_EQ(r.points[2].sv, 123.5);
}

// Everything a log collects over its life in one file: appended sections
// with a second header, both line ends, garbage, impossible dates and times,
// values out of range, a clock set back, repeated seconds, the new year and
// a last line cut short by a crash.
TEST(DataLogRead, ShowsWhatIsReadableAndCountsTheRest)
{
    const std::string text = std::string("  Date,       Time,     SV,    PV\r\n"
                             "12/31/2012, 23:59:58,  25.0,  24.8\r\n"
                             "12/31/2012, 23:59:59,  25.0,  24.9\r\n"
                             "1/1/2013, 00:00:00,  25.0,  25.0\n"         // LF only
                             "garbage that is no line of a log\n"         // line 5
                             "2/30/2013, 00:00:01,  25.0,  25.0\n"        // no such day
                             "1/1/2013, 24:00:00,  25.0,  25.0\n"         // no such hour
                             "1/1/2013, 00:00:02,  abc,  25.0\n"          // not a number
                             "1/1/2013, 00:00:02,  25.0,  99999.0\n"      // beyond any register
                             "1/1/2013, 00:00:02,  nan,  25.0\n"          // not finite
                             "1/1/2013, 00:00:02,  25.0,  25.0, 7\n"      // a field too many
                             "\r\n"                                       // blank: not counted
                             "  Date,       Time,     SV,    PV\r\n"      // appended, second header
                             "12/31/2012, 23:59:59,  30.0,  29.0\r\n"     // the clock went back
                             "1/1/2013, 00:00:03,  26,0,  25,5\r\n"       // decimal comma
                             "1/1/2013, 00:00:03,  26.0,  25.6\r\n"       // the same second again
                             ) + std::string("\x01\x00\xff\xfe binary\n", 12) //
                             + "1/1/2013, 00:00:04,  26.0,  2";           // cut short
    const monitor::LogReadResult r = monitor::ReadDataLog(text);
    EXPECT_EQ(r.headers, 2u);
    EXPECT_EQ(r.points.size(), 6u);
    EXPECT_EQ(r.skipped, 9u);
    EXPECT_EQ(r.lines, 17u);
    EXPECT_EQ(r.firstSkipped, 5u);
    EXPECT_EQ(r.outOfOrder, 1u);
    EXPECT_TRUE(r.partialLastLine);
    // In time order; the line logged after the clock went back sits with its
    // own second, after the line first logged then.
    const double newYear = At(2013, 1, 1, 0, 0, 0);
    std::vector<double> t, pv;
    for (const auto& p : r.points) {
        t.push_back(p.t - newYear);
        pv.push_back(p.pv);
    }
    EXPECT_EQ(t, (std::vector<double>{-2, -1, -1, 0, 3, 3}));
    EXPECT_EQ(pv, (std::vector<double>{24.8, 24.9, 29.0, 25.0, 25.5, 25.6}));
    EXPECT_EQ(monitor::DescribeLogRead(r), "6 lines read, 9 skipped (the first at line 5), 1 out of time order "
                                           "(drawn at their time); the last line was incomplete");
    EXPECT_EQ(monitor::WhyNoPoints(r), "");

    // Read in pieces of every size, as a file is: the same result.
    for (std::size_t piece : {1u, 2u, 7u, 64u}) {
        monitor::DataLogReader reader;
        for (std::size_t at = 0; at < text.size(); at += piece)
            reader.feed(std::string_view(text).substr(at, piece));
        const monitor::LogReadResult p = reader.finish();
        EXPECT_EQ(p.points.size(), r.points.size());
        EXPECT_EQ(monitor::DescribeLogRead(p), monitor::DescribeLogRead(r)) << piece;
    }
}

TEST(DataLogRead, OverlongLinesAreSkippedWithoutBeingHeld)
{
    const std::string data = "1/1/2013, 00:00:02,  25.0,  25.0\n";
    const std::string blanks(monitor::kMaxLogLineBytes + 1, ' ');
    // Padded past the limit: skipped, though the text would read; a blank
    // line of any length is not counted.
    const std::string text = data + blanks + data + blanks + "\n" + data + std::string(100000, 'x');
    monitor::DataLogReader reader;
    for (std::size_t at = 0; at < text.size(); at += 1000)
        reader.feed(std::string_view(text).substr(at, 1000));
    const monitor::LogReadResult r = reader.finish();
    EXPECT_EQ(r.points.size(), 2u);
    EXPECT_EQ(r.skipped, 2u);
    EXPECT_EQ(r.firstSkipped, 2u);
    EXPECT_TRUE(r.partialLastLine);
    EXPECT_EQ(monitor::DescribeLogRead(monitor::ReadDataLog(text)), monitor::DescribeLogRead(r));
}

TEST(DataLogRead, FilesWithNothingToShowSayWhy)
{
    EXPECT_EQ(monitor::WhyNoPoints(monitor::ReadDataLog("")), "The file is empty.");
    EXPECT_EQ(monitor::WhyNoPoints(monitor::ReadDataLog("\r\n\n  \n")), "The file is empty.");
    EXPECT_EQ(monitor::WhyNoPoints(monitor::ReadDataLog("  Date,       Time,     SV,    PV\r\n")),
              "The file holds no readings yet, only its header.");
    EXPECT_EQ(monitor::WhyNoPoints(monitor::ReadDataLog("150.000000 0.000000 100\n")),
              "This is not a data log: none of its 1 lines reads as \"month/day/year, HH:MM:SS, SV, PV\".");
    // A megabyte of random bytes: read to the end, nothing taken for data.
    std::mt19937 random(13);
    std::string binary(1 << 20, '\0');
    for (char& c : binary)
        c = static_cast<char>(random());
    const monitor::LogReadResult r = monitor::ReadDataLog(binary);
    EXPECT_TRUE(r.points.empty());
    EXPECT_GT(r.skipped, 1000u);
    EXPECT_NE(monitor::WhyNoPoints(r).find("not a data log"), std::string::npos);
}
