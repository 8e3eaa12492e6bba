#include "tecctl/scan.h"

#include "io/end_request.h"
#include "io/text_escape.h"
#include "protocol/modbus.h"
#include "link/transact.h"
#include "protocol/registers.h"
#include "tecctl/commands.h"
#include "tecctl/json.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>

namespace tecctl {

namespace {

// An identity answer is 8 bytes, as is its request.
constexpr int kFrame = 8;
constexpr double kBitsPerByte = 10.0;  // 8N1
// The controller's turnaround: from the end of a request to the first byte of
// its answer. A controller reads one register in a few milliseconds; the
// window gives it 0.015 s beyond the wire time of request and answer (at
// 19200 baud 4.2 ms each way, so 23.3 ms in all).
constexpr double kTurnaround = 0.015;
// Then the line settles: it has to stay this long without a byte (and at
// least four bytes' time) before the next address is asked. What comes
// meanwhile is this address's: the tail of a garbled answer, a second
// controller's answer, or a late one, so an answer whose first byte comes up
// to some 0.03 s after its request (the program's own shortest wait before
// reading an answer) still counts for its own address, and an answer later
// than that is told by the address it carries, never credited to the next.
// 247 absent addresses cost 247 x 35.3 ms, 8.7 s at 19200 baud.
constexpr double kQuiet = 0.012;
// A line that never falls quiet is left after this many quiet spans.
constexpr int kSettleSpans = 8;

std::atomic<bool>* g_interrupted = nullptr;

void OnScanSignal(int)
{
    io::RequestEnd();
}

bool IsEcho(const std::vector<std::uint8_t>& bytes, const comlink::ModbusFrame& request)
{
    return bytes.size() >= kFrame && std::equal(request.b, request.b + kFrame, bytes.begin());
}

// Reads up to `max` bytes with the port's time-out set to `seconds`.
int ReadFor(io::PortTable& ports, int port, std::uint8_t* buf, int max, double seconds, const io::AnswerComplete& done)
{
    ports.setTimeout(port, seconds);
    return ports.read(port, buf, max, done);
}

// What one address's bytes say. `bytes` starts with the answer; `late` when
// it came only while the line settled.
ScanEntry Classify(int address, const std::vector<std::uint8_t>& bytes, bool late)
{
    ScanEntry e;
    e.address = address;
    e.late = late;
    const std::uint8_t* a = bytes.data();
    const int n = static_cast<int>(bytes.size());
    int used = std::min(n, kFrame);
    if (n >= 5 && (a[1] & 0x80) != 0 && comlink::IsExceptionAnswer(a, n >= kFrame ? kFrame : 5)) {
        used = n >= kFrame && comlink::AnswerIsGood(a, kFrame, kFrame) ? kFrame : 5;
        e.code = a[2];
        if (a[0] == address) {
            e.outcome = ScanEntry::Outcome::Refused;
        } else {
            e.outcome = ScanEntry::Outcome::Garbled;
            e.fault = comlink::FaultKind::WrongAnswer;
            e.carried = a[0];
        }
    } else if (n < kFrame) {
        e.outcome = ScanEntry::Outcome::Garbled;
        e.fault = comlink::FaultKind::Short;
        e.got = n;
    } else if (!comlink::AnswerIsGood(a, kFrame, kFrame)) {
        e.outcome = ScanEntry::Outcome::Garbled;
        e.fault = comlink::FaultKind::BadCrc;
    } else if (a[0] != address || a[1] != comlink::FN_READ) {
        e.outcome = ScanEntry::Outcome::Garbled;
        e.fault = comlink::FaultKind::WrongAnswer;
        if (a[0] != address)
            e.carried = a[0];
    } else {
        e.outcome = ScanEntry::Outcome::Found;
        e.model = a[4];
        e.identLo = a[5];
    }
    e.more = e.present() && n > used;
    return e;
}

} // namespace

comlink::Fault ScanEntry::garble() const
{
    comlink::Fault f;
    f.kind = fault;
    f.got = got;
    f.expected = kFrame;
    if (carried >= 0)
        f.detail = "carrying address " + std::to_string(carried);
    return f;
}

namespace {

std::string Hex(int v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

} // namespace

ScanTiming ScanTimingFor(long baudRate)
{
    const double byte = kBitsPerByte / static_cast<double>(std::max(baudRate, 50L));
    ScanTiming t;
    // Request and answer on the wire, and the controller's turnaround between.
    t.window = 2 * kFrame * byte + kTurnaround;
    t.quiet = std::max(kQuiet, 4 * byte);
    return t;
}

int ScanReport::found() const
{
    return static_cast<int>(std::count_if(entries.begin(), entries.end(), [](const ScanEntry& e) { return e.present(); }));
}

ScanReport ScanAddresses(io::PortTable& ports, int port, io::Clock& clock, long baudRate, int first, int last,
                         const std::function<bool()>& stop)
{
    ScanReport r;
    r.first = first;
    r.last = last;
    r.lastAsked = first - 1;
    const double start = clock.now();
    const double savedTimeout = ports.timeout(port);
    const ScanTiming timing = ScanTimingFor(baudRate);
    const io::AnswerComplete whole = [](const std::uint8_t* b, int n) { return comlink::AnswerComplete(b, n, kFrame); };
    std::uint8_t buf[64];

    for (int address = first; address <= last; ++address) {
        if ((stop && stop()) || io::EndRequested()) {
            r.interrupted = true;
            break;
        }
        const comlink::ModbusFrame request = comlink::ReadFrame(static_cast<std::uint16_t>(address), tecreg::kIdentity, 1);
        if (ports.flushInput(port) < 0 || ports.write(port, request.b, kFrame) != kFrame) {
            r.portLost = true;
            break;
        }
        r.lastAsked = address;
        // The answer, within its window.
        int n = ReadFor(ports, port, buf, kFrame, timing.window, whole);
        std::vector<std::uint8_t> answer(buf, buf + std::max(n, 0));
        if (n == kFrame && IsEcho(answer, request)) {
            // The adapter hears its own request: the answer comes after it.
            r.echoed = true;
            n = ReadFor(ports, port, buf, kFrame, timing.window, whole);
            answer.assign(buf, buf + std::max(n, 0));
        }
        // Then the line settles: what comes meanwhile is this address's too
        // (the rest of a garbled answer, a late one, or a second one), never
        // the next address's.
        std::vector<std::uint8_t> after;
        for (int span = 0; n >= 0 && span < kSettleSpans; ++span) {
            const int m = ReadFor(ports, port, buf, static_cast<int>(sizeof buf), timing.quiet, nullptr);
            if (m < 0)
                n = m;
            if (m <= 0)
                break;
            after.insert(after.end(), buf, buf + m);
        }
        if (n < 0) {
            r.portLost = true;
            break;
        }
        if (answer.empty() && after.empty())
            continue;  // nobody there
        const bool late = answer.empty();
        if (late && IsEcho(after, request)) {
            r.echoed = true;
            after.erase(after.begin(), after.begin() + kFrame);
            if (after.empty())
                continue;
        }
        answer.insert(answer.end(), after.begin(), after.end());
        ScanEntry e = Classify(address, answer, late);
        // An intact answer carrying an address asked before, where nobody
        // answered in time, is that controller's late answer.
        if (e.outcome == ScanEntry::Outcome::Garbled && e.fault == comlink::FaultKind::WrongAnswer && e.carried >= first &&
            e.carried < address) {
            const auto earlier = std::find_if(r.entries.begin(), r.entries.end(),
                                              [&e](const ScanEntry& x) { return x.address == e.carried; });
            if (earlier == r.entries.end()) {
                ScanEntry theirs = Classify(e.carried, answer, true);
                if (theirs.present()) {
                    theirs.more = false;  // what followed is not known to be theirs
                    r.entries.insert(std::upper_bound(r.entries.begin(), r.entries.end(), theirs,
                                                      [](const ScanEntry& x, const ScanEntry& y) {
                                                          return x.address < y.address;
                                                      }),
                                     theirs);
                    continue;
                }
            }
        }
        r.entries.push_back(e);
    }
    ports.setTimeout(port, savedTimeout);
    r.seconds = clock.now() - start;
    return r;
}

std::string DescribeEntry(const ScanEntry& e)
{
    std::string s = "address " + std::to_string(e.address) + ": ";
    switch (e.outcome) {
    case ScanEntry::Outcome::Found:
        s += "model " + Hex(e.model);
        if (e.model == comlink::kModelVexaMax)
            s += " (VEXAMAX)";
        else if (e.model != comlink::kModelVexa)
            s += " (not a model this program drives)";
        s += ", identity " + Hex(e.identLo);
        break;
    case ScanEntry::Outcome::Refused:
        s += "refused identification (exception code " + std::to_string(e.code) + ")";
        break;
    case ScanEntry::Outcome::Garbled:
        s += comlink::Describe(e.garble()) + ": possible duplicate address";
        break;
    }
    if (e.more)
        s += "; more came after the answer: possible duplicate address";
    return s;
}

int RunScan(Session& s, io::PortTable& ports, int port, io::Clock& clock, long baudRate, const std::string& device)
{
    const Options& o = s.o;
    g_interrupted = s.interrupted;
    // Ctrl-C ends the scan at once: the wait in progress is cut short.
    std::signal(SIGINT, OnScanSignal);
    std::signal(SIGTERM, OnScanSignal);
    std::signal(SIGHUP, OnScanSignal);
    const ScanReport r = ScanAddresses(ports, port, clock, baudRate, o.scanFirst, o.scanLast,
                                       [] { return g_interrupted && *g_interrupted; });
    const std::string range = std::to_string(o.scanFirst) + "-" + std::to_string(o.scanLast);
    int status = EXIT_OK;
    if (r.portLost) {
        status = EXIT_PORT;
        s.error = "the port went away after address " + std::to_string(r.lastAsked);
    } else if (r.interrupted) {
        status = EXIT_INTERRUPTED;
        s.error = "stopped by a signal after address " + std::to_string(r.lastAsked) + " of " + range;
    } else if (r.found() == 0) {
        status = EXIT_SILENT;
        s.error = r.entries.empty()
                      ? "no controller answered at addresses " + range + " on " + device
                      : "no intact answer at addresses " + range + " on " + device + ", only garbled ones at " +
                            std::to_string(r.entries.size()) + (r.entries.size() == 1 ? " address" : " addresses");
    }

    if (o.json) {
        JsonWriter j;
        j.integer("first", o.scanFirst);
        j.integer("last", o.scanLast);
        j.integer("found", r.found());
        j.beginArray("addresses");
        for (const ScanEntry& e : r.entries) {
            j.beginObject();
            j.integer("address", e.address);
            if (e.outcome == ScanEntry::Outcome::Found) {
                j.string("answer", "identity");
                j.integer("model", e.model);
                j.integer("identity", e.identLo);
            } else if (e.outcome == ScanEntry::Outcome::Refused) {
                j.string("answer", "refused");
                j.integer("code", e.code);
            } else {
                j.string("answer", "garbled");
                j.string("fault", comlink::KindName(e.fault));
                if (e.carried >= 0)
                    j.integer("carried", e.carried);
            }
            j.boolean("late", e.late);
            j.boolean("possible_duplicate", e.possibleDuplicate());
            j.endObject();
        }
        j.endArray();
        j.boolean("echo", r.echoed);
        j.boolean("interrupted", r.interrupted);
        std::string out = "{\"command\": \"scan\", \"port\": " + std::to_string(port) + ", \"device\": " +
                          JsonEscape(device) + ", " + j.text() + ", \"status\": " + std::to_string(status);
        if (status != EXIT_OK)
            out += ", \"error\": " + JsonEscape(s.error);
        out += "}\n";
        std::fputs(out.c_str(), stdout);
    } else {
        std::string text;
        for (const ScanEntry& e : r.entries)
            text += DescribeEntry(e) + "\n";
        std::fputs(io::EscapeText(text, true).c_str(), stdout);
    }
    std::fflush(stdout);
    if (r.echoed && !o.json)
        std::fputs("tecctl scan: the adapter echoes each request; the echoes were skipped\n", stderr);
    return status;
}

} // namespace tecctl
