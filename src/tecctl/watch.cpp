// tecctl watch: SV and PV in the chart tick's order, one line per tick, of one
// controller or of several (a round over every address given).
#include "tecctl/command_parts.h"

#include "io/file_io.h"
#include "io/text_escape.h"
#include "formats/log_format.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include <unistd.h>

namespace tecctl {

using params::EncClass;

void LocalNow(int* month, int* day, int* year, std::string* time)
{
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    *month = tm.tm_mon + 1;
    *day = tm.tm_mday;
    *year = tm.tm_year + 1900;
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    *time = buf;
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
    bool missed = false;    // the last round got no reading from it
};

// One poll read without the verified poll's retries: the first attempt of
// that poll (settle, preamble, one exchange), for a controller that missed
// its last round, so a silent one holds the others up by one time-out only.
bool PollOnce(comlink::Bus& bus, core::Address address, std::uint16_t reg, double postDelay, float scale,
              float* value)
{
    const comlink::ModbusFrame frame = comlink::ReadFrame(address, reg, 1);
    comlink::TakeLinkBusy(bus);
    comlink::SettleLine(bus);
    comlink::SequencePreamble(bus);
    const comlink::Answer a = comlink::Transact(bus, frame, 8, postDelay);
    comlink::ReleaseLinkBusy(bus);
    if (!a.good())
        return false;
    *value = static_cast<float>(static_cast<std::int16_t>(a.reg(0))) / scale;
    return true;
}

// Identification and the decimal point, as a watch of one controller starts;
// false with *why when either got no good answer.
bool SetUp(Session& s, Watched& w, const std::string& device, std::string* why)
{
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

// SV then PV of one controller, as the chart tick reads them; one attempt
// each for a controller that missed its last round.
bool ReadRound(Session& s, Watched& w, const std::string& device, float* sv, float* pv)
{
    std::string why;
    if (!w.ready && !SetUp(s, w, device, &why))
        return false;
    if (w.missed)
        return PollOnce(s.bus, s.address, tecreg::kWorkingSv, comlink::kSvPostWriteDelay, w.tempScale, sv) &&
               PollOnce(s.bus, s.address, tecreg::kPv, comlink::kPostWriteDelay, w.tempScale, pv);
    return core::PollSV(s.bus, s.address, w.tempScale, sv) && core::PollPV(s.bus, s.address, w.tempScale, pv);
}

} // namespace

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

    bool anyReady = false;
    for (Watched& w : watched) {
        s.address = static_cast<core::Address>(w.address);
        std::string why;
        if (!SetUp(s, w, device, &why))
            std::fprintf(stderr, "tecctl watch: %s; asked again every tick\n", io::EscapeText(why).c_str());
        anyReady = anyReady || w.ready;
        if (s.portLost || Interrupted(s))
            break;
    }
    if (!anyReady && !s.portLost && !Interrupted(s)) {
        s.error = "no controller answered";
        return EXIT_SILENT;
    }
    if (!o.json)
        std::fprintf(stdout, "  Date,       Time,     Controller,    SV,    PV\n");
    std::fflush(stdout);

    long ticks = 0, good = 0;
    double next = s.bus.clock.now();
    while ((o.count == 0 || ticks < o.count) && !Interrupted(s) && !s.portLost) {
        WaitUntil(s, next);
        if (Interrupted(s))
            break;
        // A round that ran past the next one's start (a silent controller)
        // is followed at once by one round, not by a burst catching up.
        next = std::max(next, s.bus.clock.now()) + o.interval;
        ++ticks;
        int month = 0, day = 0, year = 0;
        std::string time;
        LocalNow(&month, &day, &year, &time);
        std::vector<monitor::LogReading> readings(watched.size());
        bool any = false;
        for (std::size_t i = 0; i < watched.size() && !s.portLost && !Interrupted(s); ++i) {
            Watched& w = watched[i];
            s.address = static_cast<core::Address>(w.address);
            monitor::LogReading& r = readings[i];
            r.valid = ReadRound(s, w, device, &r.sv, &r.pv);
            w.missed = !r.valid;
            if (!r.valid) {
                if (!s.portLost)
                    std::fprintf(stderr, "tecctl watch: no answer from address %d at tick %ld\n", w.address, ticks);
                continue;
            }
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
            std::fflush(stdout);
        }
        // A round in which nobody answered gives no line, as a tick of one
        // controller without its answers.
        if (any) {
            ++good;
            log.write(monitor::FormatSeveralLogLine(month, day, year, time, readings));
        }
    }
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
