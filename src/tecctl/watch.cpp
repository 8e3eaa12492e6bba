// tecctl watch: SV and PV in the chart tick's order, one line per tick, of one
// controller or of several (a round of the poller over every address given).
#include "tecctl/command_parts.h"

#include "core/poller.h"
#include "io/file_io.h"
#include "io/text_escape.h"
#include "formats/log_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include <unistd.h>

namespace tecctl {

using params::EncClass;

namespace {

// The local date and time of a wall time, as the data log writes them.
void LocalAt(std::int64_t wallMillis, int* month, int* day, int* year, std::string* time)
{
    const std::time_t t = static_cast<std::time_t>(wallMillis / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    *month = tm.tm_mon + 1;
    *day = tm.tm_mday;
    *year = tm.tm_year + 1900;
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    *time = buf;
}

} // namespace

void LocalNow(int* month, int* day, int* year, std::string* time)
{
    LocalAt(static_cast<std::int64_t>(std::time(nullptr)) * 1000, month, day, year, time);
}

namespace {

// The data log of a watch. Every line is handed to the system at once, so an
// interrupted watch leaves the file whole; a write that fails stops logging
// (said once) while the watch goes on.
class LogFile {
public:
    explicit LogFile(const std::string& path) : m_path(path) {}
    ~LogFile()
    {
        if (m_file)
            std::fclose(m_file);
    }
    // Opens the log (emptied unless append) and writes the header when asked.
    bool open(bool append, const char* header, std::string* error)
    {
        std::string why;
        const int fd = io::OpenForLines(m_path, append, &why);
        m_file = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
        if (fd >= 0 && !m_file)
            ::close(fd);
        if (!m_file || (header && std::fprintf(m_file, "%s\n", header) < 0) || std::fflush(m_file) != 0) {
            *error = m_path + " cannot be opened for writing" + (why.empty() ? "" : ": " + why);
            return false;
        }
        return true;
    }
    void write(const std::string& line)
    {
        if (!m_file || m_failed)
            return;
        if (std::fprintf(m_file, "%s\n", line.c_str()) < 0 || std::fflush(m_file) != 0) {
            m_failed = true;
            std::fprintf(stderr, "tecctl watch: writing %s failed; logging stopped\n", io::EscapeText(m_path).c_str());
        }
    }
    // False when closing lost what was written last (a write that failed
    // before is failed() instead).
    bool close()
    {
        std::FILE* f = m_file;
        m_file = nullptr;
        return !(f && std::fclose(f) != 0 && !m_failed);
    }
    bool failed() const { return m_failed; }

private:
    std::string m_path;
    std::FILE* m_file = nullptr;
    bool m_failed = false;
};

bool Interrupted(const Session& s)
{
    return s.interrupted && *s.interrupted;
}

// Waits until `next` on the line's clock in slices, so an interrupt is seen at once.
void WaitUntil(Session& s, double next)
{
    while (s.bus.clock.now() < next && !Interrupted(s))
        s.bus.clock.sleep(std::min(0.05, next - s.bus.clock.now()));
}

std::string DateText(int month, int day, int year)
{
    return std::to_string(month) + "/" + std::to_string(day) + "/" + std::to_string(year);
}

} // namespace

int Watch(Session& s)
{
    std::string header = monitor::kLogHeader;
    LogFile log(s.o.logPath);
    if (!s.o.logPath.empty() && !log.open(s.o.append, s.o.append ? nullptr : header.c_str(), &s.error))
        return EXIT_FILE;
    comlink::SequencePreamble(s.bus);
    core::OpLog op;
    ParameterSet p;
    if (!ReadScale(s, op, p))
        return OpStatus(s, op);
    if (!s.o.json)
        std::fprintf(stdout, "%s\n", monitor::kLogHeader);
    std::fflush(stdout);
    long ticks = 0, good = 0;
    double next = s.bus.clock.now();
    while ((s.o.count == 0 || ticks < s.o.count) && !Interrupted(s) && !s.portLost) {
        WaitUntil(s, next);
        if (Interrupted(s))
            break;
        next += s.o.interval;
        ++ticks;
        float sv = 0, pv = 0;
        // The chart tick's order: SV, then PV; a tick without both answers
        // gives no line.
        if (!core::PollSV(s.bus, s.address, p.tempScale, &sv) || !core::PollPV(s.bus, s.address, p.tempScale, &pv)) {
            std::fprintf(stderr, "tecctl watch: no answer at tick %ld\n", ticks);
            continue;
        }
        ++good;
        int month = 0, day = 0, year = 0;
        std::string time;
        LocalNow(&month, &day, &year, &time);
        const std::string line = monitor::FormatLogLine(month, day, year, time, sv, pv);
        if (s.o.json) {
            JsonWriter j;
            j.beginObject();
            j.string("date", DateText(month, day, year));
            j.string("time", time);
            j.number("sv", sv, Decimals(EncClass::T, p.tempScale));
            j.number("pv", pv, Decimals(EncClass::T, p.tempScale));
            j.endObject();
            std::fprintf(stdout, "%s\n", j.text().c_str());
        } else {
            std::fprintf(stdout, "%s\n", line.c_str());
        }
        std::fflush(stdout);
        log.write(line);
    }
    if (!log.close()) {
        s.error = s.o.logPath + " could not be completed";
        return EXIT_FILE;
    }
    if (s.portLost) {
        s.error = "the serial port went away";
        return EXIT_SILENT;
    }
    if (good == 0 && ticks > 0) {
        s.error = "no tick got an answer";
        return EXIT_SILENT;
    }
    if (log.failed()) {
        s.error = "writing " + s.o.logPath + " failed";
        return EXIT_FILE;
    }
    return EXIT_OK;
}

namespace {

// One controller of a watch over several.
struct Watched {
    int address = 0;
    std::string name;
    std::string label;      // "stage-A [1]", or "[1]" without a name
    bool ready = false;     // identified and its decimal point read
    float tempScale = 10.0f;
    std::uint64_t asked = 0;  // the rounds that asked it, as of the last round
    bool offline = false;     // offline after the last round
};

// Identification and the decimal point, as a watch of one controller starts;
// false with *why when either got no good answer.
bool SetUp(Session& s, Watched& w, const std::string& device, std::string* why)
{
    s.address = static_cast<core::Address>(w.address);
    const comlink::Identity id = comlink::Identify(s.bus, s.address);
    if (id.status != comlink::IdentifyStatus::Accepted) {
        *why = IdentificationFailure(id, w.address, device);
        return false;
    }
    comlink::SequencePreamble(s.bus);
    core::OpLog op;
    ParameterSet p;
    if (!ReadScale(s, op, p)) {
        OpStatus(s, op);
        *why = "address " + std::to_string(w.address) + ": " + s.error;
        s.error.clear();
        return false;
    }
    w.tempScale = p.tempScale;
    w.ready = true;
    return true;
}

} // namespace

// The rounds are the poller's: SV then PV of each controller, as the chart
// reads them. A controller that misses a round is asked once per read the
// next rounds, and after kOfflineAfterMisses missed rounds in a row only
// probed now and then (the poller's back-off), so a silent one costs the
// others one time-out at most, and nothing in most rounds. A controller
// that did not identify at the start is polled as an offline one; once a
// probe is answered it is identified and its decimal point read, between
// two rounds, before any of its readings is shown.
int WatchSeveral(Session& s, const std::string& device)
{
    const Options& o = s.o;
    std::vector<Watched> watched;
    std::vector<monitor::LogController> columns;
    for (const int address : o.addresses) {
        Watched w;
        w.address = address;
        w.name = NameOf(o, address);
        const std::string label = monitor::LogLabel(w.name);
        w.label = (label.empty() ? "" : label + " ") + "[" + std::to_string(address) + "]";
        watched.push_back(w);
        columns.push_back({w.name, address});
    }
    // The log's header starts every section, appended ones too: it names the
    // controllers of the lines below it.
    const std::string header = monitor::FormatSeveralLogHeader(columns);
    LogFile log(o.logPath);
    if (!o.logPath.empty() && !log.open(o.append, header.c_str(), &s.error))
        return EXIT_FILE;

    std::vector<core::Controller> records(watched.size());
    for (std::size_t i = 0; i < watched.size(); ++i) {
        records[i].address = static_cast<core::Address>(watched[i].address);
        records[i].name = watched[i].name;
        // One that does not answer identification starts offline: probed, not read.
        records[i].state = core::LinkState::Offline;
    }
    bool anyReady = false;
    for (std::size_t i = 0; i < watched.size() && !s.portLost && !Interrupted(s); ++i) {
        Watched& w = watched[i];
        std::string why;
        if (!SetUp(s, w, device, &why))
            std::fprintf(stderr, "tecctl watch: %s; asked again now and then until it answers\n",
                         io::EscapeText(why).c_str());
        records[i].params.tempScale = w.tempScale;
        if (w.ready)
            records[i].state = core::LinkState::Online;
        anyReady = anyReady || w.ready;
    }
    if (!anyReady && !s.portLost && !Interrupted(s)) {
        s.error = "no controller answered";
        return EXIT_SILENT;
    }
    if (!o.json)
        std::fprintf(stdout, "  Date,       Time,     Controller,    SV,    PV\n");
    std::fflush(stdout);

    core::Poller poller(s.bus);
    std::vector<core::Controller*> list;
    for (core::Controller& c : records)
        list.push_back(&c);
    poller.setControllers(list);

    long ticks = 0, good = 0;
    bool done = false;
    poller.subscribe([&](const core::Round& round) {
        if (done)
            return;
        ++ticks;
        int month = 0, day = 0, year = 0;
        std::string time;
        LocalAt(round.wallMillis, &month, &day, &year, &time);
        std::vector<monitor::LogReading> readings(watched.size());
        bool any = false;
        for (std::size_t i = 0; i < watched.size() && i < round.entries.size(); ++i) {
            Watched& w = watched[i];
            core::Controller& c = records[i];
            const core::RoundEntry& e = round.entries[i];
            const bool asked = c.counters.rounds != w.asked;
            w.asked = c.counters.rounds;
            monitor::LogReading& r = readings[i];
            if (e.sample.valid && !w.ready) {
                // Heard from at last: its readings count once it is known.
                std::fprintf(stderr, "tecctl watch: address %d answers at tick %ld; identifying it\n", w.address,
                             ticks);
                const std::size_t k = i;
                poller.whenIdle([&, k] {
                    if (done || s.portLost || Interrupted(s))
                        return;
                    std::string why;
                    if (SetUp(s, watched[k], device, &why)) {
                        records[k].params.tempScale = watched[k].tempScale;
                    } else {
                        std::fprintf(stderr, "tecctl watch: %s\n", io::EscapeText(why).c_str());
                        records[k].state = core::LinkState::Offline;
                    }
                });
                continue;
            }
            r.valid = e.sample.valid;
            if (!r.valid) {
                w.offline = w.ready && e.state == core::LinkState::Offline;
                if (s.portLost)
                    continue;
                if (asked)
                    std::fprintf(stderr, "tecctl watch: no answer from address %d at tick %ld\n", w.address, ticks);
                if (asked && w.ready && e.state == core::LinkState::Offline &&
                    c.counters.missedInRow == core::kOfflineAfterMisses)
                    std::fprintf(stderr,
                                 "tecctl watch: address %d offline after %d ticks without an answer; asked again "
                                 "now and then until it answers\n",
                                 w.address, core::kOfflineAfterMisses);
                continue;
            }
            if (w.offline)
                std::fprintf(stderr, "tecctl watch: address %d answers again at tick %ld\n", w.address, ticks);
            w.offline = false;
            r.sv = e.sample.sv;
            r.pv = e.sample.pv;
            any = true;
            if (o.json) {
                JsonWriter j;
                j.beginObject();
                j.string("date", DateText(month, day, year));
                j.string("time", time);
                j.integer("address", w.address);
                if (!w.name.empty())
                    j.string("name", w.name);
                j.number("sv", r.sv, Decimals(EncClass::T, w.tempScale));
                j.number("pv", r.pv, Decimals(EncClass::T, w.tempScale));
                j.endObject();
                std::fprintf(stdout, "%s\n", j.text().c_str());
            } else {
                const std::vector<monitor::LogReading> one{r};
                std::string line = monitor::FormatSeveralLogLine(month, day, year, time, one);
                line.insert(line.find(',', line.find(',') + 1) + 1, " " + w.label + ",");
                std::fprintf(stdout, "%s\n", io::EscapeText(line).c_str());
            }
        }
        std::fflush(stdout);
        // A round in which nobody answered gives no line, as a tick of one
        // controller without its answers.
        if (any) {
            ++good;
            log.write(monitor::FormatSeveralLogLine(month, day, year, time, readings));
        }
        if (o.count > 0 && ticks >= o.count) {
            done = true;
            poller.setInterval(0);  // no round after the last
        }
    });
    // A round that ran past the next one's start (a silent controller) is
    // followed at once by one round, not by a burst catching up.
    if (o.interval > 0)
        poller.setInterval(o.interval);
    while (!done && !Interrupted(s) && !s.portLost) {
        if (o.interval <= 0 && poller.idle())
            poller.requestRound();
        const double at = poller.service();
        if (done || Interrupted(s) || s.portLost)
            break;
        WaitUntil(s, std::isfinite(at) ? at : s.bus.clock.now() + 0.05);
    }
    // An exchange cut short by a signal is completed, so its answer does not
    // meet the next program on the port.
    poller.finishExchange();

    if (!log.close()) {
        s.error = o.logPath + " could not be completed";
        return EXIT_FILE;
    }
    if (s.portLost) {
        s.error = "the serial port went away";
        return EXIT_SILENT;
    }
    if (good == 0 && ticks > 0) {
        s.error = "no controller answered at any tick";
        return EXIT_SILENT;
    }
    if (log.failed()) {
        s.error = "writing " + o.logPath + " failed";
        return EXIT_FILE;
    }
    return EXIT_OK;
}

} // namespace tecctl
