// Data-log files read back and written out, as pure functions on text: no Qt,
// no panels, no files. The viewer hands in the bytes of a log; export hands
// in points and gets the bytes to save.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace monitor {

// One line of a data log: local civil seconds (rt::CivilSeconds), SV, PV.
struct LogPoint {
    double t = 0;
    double sv = 0;
    double pv = 0;
};

struct LogReadResult {
    std::vector<LogPoint> points;  // ascending time; equal times keep their file order
    std::size_t lines = 0;         // lines in the file, blank ones not counted
    std::size_t headers = 0;       // header lines (one per section the program started)
    std::size_t skipped = 0;       // lines that are neither a header nor a readable data line
    std::size_t firstSkipped = 0;  // line number (from 1) of the first skipped line, 0 when none
    std::size_t outOfOrder = 0;    // data lines stamped earlier than the one before them
    bool partialLastLine = false;  // the file ends without a line end (a write cut short); that line is skipped
};

// Reads a data log: a header line ("  Date,       Time,     SV,    PV"),
// any number of sections each with its own header, data lines
// "month/day/year, HH:MM:SS, SV, PV" ending in LF or CR LF. Values written
// with a decimal comma by a desktop that used one are read too. A line with
// an impossible date or time, a value that is not a finite number within
// -32768..32767, or anything else is skipped and counted. Never fails:
// bytes that are no data log give a result without points.
// A line longer than kMaxLogLineBytes is skipped as unreadable (a data line
// is some 36 bytes), so reading holds no more than that of any line.
LogReadResult ReadDataLog(std::string_view text);

constexpr std::size_t kMaxLogLineBytes = 4096;

// The same reading in pieces, as they come from a file too large to hold
// whole: feeding the text in any pieces and then finishing gives what
// ReadDataLog gives for the whole text.
class DataLogReader {
public:
    void feed(std::string_view bytes);
    // The result; the reader then starts afresh.
    LogReadResult finish();

private:
    void endLine(std::string_view line, bool complete);
    void take(std::string_view part);

    LogReadResult m_r;
    std::string m_carry;         // the line so far, when it began in an earlier piece
    bool m_overlong = false;     // the line so far is longer than kMaxLogLineBytes
    bool m_overlongBlank = true; // ... and holds nothing but blanks
    std::size_t m_lineNo = 0;
    double m_previous = 0;
};

// What the reader found, for the operator: "12345 lines read, 2 skipped (the
// first at line 17), 3 out of time order; the last line was incomplete".
std::string DescribeLogRead(const LogReadResult& r);

// Why the text gives nothing to show (empty, only headers, no data log at
// all), or "" when it has points.
std::string WhyNoPoints(const LogReadResult& r);

// One data line as the data log writes it ("3/7/2012, 14:05:09,  25.0,  24.8"),
// whatever the locale: a point always, never a decimal comma.
std::string FormatLogPoint(const LogPoint& p);

// The header line, then one line per point, each followed by lineEnd.
std::string FormatDataLog(const std::vector<LogPoint>& points, const char* lineEnd);

} // namespace monitor
