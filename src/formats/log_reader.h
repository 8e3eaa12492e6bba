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

// One controller's readings in a several-controller log, named by its header.
struct LogSeries {
    std::string label;  // "" when the header gives no name
    int address = 0;
    std::vector<LogPoint> points;  // ascending time
};

struct LogReadResult {
    // What a viewer draws: the readings of a one-controller log; of a
    // several-controller log, those of its first controller (the first that
    // has any readings).
    std::vector<LogPoint> points;  // ascending time; equal times keep their file order
    // Every controller of a several-controller log, in the order the headers
    // first name them (a label and address named again in a later section is
    // the same controller); empty for a one-controller log.
    std::vector<LogSeries> series;
    int shownSeries = -1;          // the series `points` holds, -1 for none
    std::size_t lines = 0;         // lines in the file, blank ones not counted
    std::size_t dataLines = 0;     // lines read as readings (of one controller or several)
    std::size_t headers = 0;       // header lines (one per section the program started)
    std::size_t skipped = 0;       // lines that are neither a header nor a readable data line
    std::size_t firstSkipped = 0;  // line number (from 1) of the first skipped line, 0 when none
    std::size_t outOfOrder = 0;    // data lines stamped earlier than the one before them
    bool partialLastLine = false;  // the file ends without a line end (a write cut short); that line is skipped
};

// Reads a data log: a header line ("  Date,       Time,     SV,    PV"),
// or that of a several-controller log ("  Date,       Time,     SV stage-A [1],
// PV stage-A [1], SV [2], PV [2]", whose lines hold SV and PV of each, two
// empty fields for a reading that did not come),
// any number of sections each with its own header, data lines
// "month/day/year, HH:MM:SS, SV, PV" ending in LF or CR LF. Values written
// with a decimal comma by a desktop that used one are read too. A line with
// an impossible date or time, a value that is not a finite number within
// -32768..32767, or anything else is skipped and counted. Never fails:
// bytes that are no data log give a result without points.
// A line longer than kMaxLogLineBytes is skipped as unreadable (a data line
// is some 36 bytes per controller), so reading holds no more than that of any line.
LogReadResult ReadDataLog(std::string_view text);

constexpr std::size_t kMaxLogLineBytes = 65536;  // a header naming 247 controllers fits

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

    bool header(std::string_view line);
    bool severalLine(std::string_view line, double* t);

    LogReadResult m_r;
    std::vector<int> m_columns;  // the series of each SV/PV pair of the current section; empty: one controller
    std::string m_carry;         // the line so far, when it began in an earlier piece
    bool m_overlong = false;     // the line so far is longer than kMaxLogLineBytes
    bool m_overlongBlank = true; // ... and holds nothing but blanks
    std::size_t m_lineNo = 0;
    double m_previous = 0;
    bool m_anyLine = false;
};

// What the reader found, for the operator: "12345 lines read, 2 skipped (the
// first at line 17), 3 out of time order; the last line was incomplete"; of a
// several-controller log, also which controller is shown ("; showing stage-A
// [1], the first of 3 controllers").
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
