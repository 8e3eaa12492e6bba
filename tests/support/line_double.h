// The one serial-line double of the tests, on the virtual clock. Each write
// takes the next scripted reply, whose bytes arrive `delay` seconds later;
// with no reply queued it can serve a register store in the controller's
// 8-byte form (reads answered, writes echoed and stored), with a fault
// script for the next answers. Reads advance the clock exactly as a real
// port would wait. No Qt, no application: the link's own tests use it on a
// bare Line.
#pragma once

#include "io/clock.h"
#include "io/serial_device.h"
#include "protocol/modbus.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

struct LineDouble {
    struct Reply {
        std::vector<std::uint8_t> bytes;  // empty: silence
        double delay = 0.005;
    };
    // Faults for served answers.
    enum class Fault { Good, Silent, SevenBytes, SwappedCrc, BadCrc };

    explicit LineDouble(io::Clock& c) : clock(c) {}
    // A device handed out may outlive the line (the run-time closes its port
    // after the test body ends): from then on it behaves as an unplugged one.
    ~LineDouble() { *m_self = nullptr; }
    LineDouble(const LineDouble&) = delete;
    LineDouble& operator=(const LineDouble&) = delete;

    io::Clock& clock;
    std::deque<Reply> replies;
    std::vector<std::uint8_t> input;  // bytes waiting in the input queue
    double inputReadyAt = 0;
    std::vector<std::vector<std::uint8_t>> writes;
    std::vector<double> writeTimes;
    int opens = 0, closes = 0, flushIn = 0, flushOut = 0, reads = 0;
    int openBaud = 0;
    bool isOpen = false;
    bool refuseOpen = false;
    bool lost = false;
    Reply repeat;  // used when no reply is queued
    bool repeatWhenEmpty = false;
    // The register store: with `serve` set, a request with no queued reply is
    // answered from it, faulted by the next entry of `faults`.
    bool serve = false;
    std::map<std::uint16_t, std::uint16_t> regs;
    std::deque<Fault> faults;
    // Called with the index of each write before its reply is queued, so a
    // test can look at the system's state at that moment.
    std::function<void(int)> onWrite;

    // The tap. Every call is seen by onEvent: a write before it goes on, a
    // read once it returned (at: when it began, count: bytes asked, got:
    // bytes returned), flushes before they go on.
    io::SerialDeviceFactory inner;
    struct Event {
        enum Kind { FlushOut, FlushIn, Write, Read } kind;
        double at = 0;
        int count = 0;
        int got = 0;
        std::vector<std::uint8_t> bytes;  // a write's request
    };
    std::function<void(const Event&)> onEvent;
    // Changes an answer before the system sees it: the last request, the
    // bytes read and their count.
    std::function<void(const std::vector<std::uint8_t>& request, std::uint8_t* answer, int count)> rewrite;
    // Answers a request in place of the inner device (which then never sees
    // it): true with the answer, ready at once.
    std::function<bool(const std::uint8_t* request, int count, std::vector<std::uint8_t>* answer)> substitute;
    // The device is gone from this write on (1-based; 0: never), as an
    // unplugged adapter is.
    int lostFromWrite = 0;

    void queue(const std::vector<std::uint8_t>& bytes, double delay = 0.005) { replies.push_back({bytes, delay}); }
    void queueSilence() { replies.push_back({}); }

    static std::vector<std::uint8_t> Sealed(std::vector<std::uint8_t> b)
    {
        const comlink::Crc crc = comlink::CalcCRC16(b.data(), static_cast<int>(b.size()));
        b.push_back(crc.lo);
        b.push_back(crc.hi);
        return b;
    }
    // The controller's answer to a one-register read.
    static std::vector<std::uint8_t> ReadAnswer(std::uint8_t address, std::uint16_t value)
    {
        return Sealed({address, 0x03, 0x02, 0x00, static_cast<std::uint8_t>(value >> 8),
                       static_cast<std::uint8_t>(value & 0xFF)});
    }

    io::SerialDeviceFactory factory()
    {
        return [self = m_self] { return std::unique_ptr<io::SerialDevice>(new Device(self)); };
    }

    class Device final : public io::SerialDevice {
    public:
        explicit Device(std::shared_ptr<LineDouble*> self) : m_self(std::move(self))
        {
            if (alive() && line().inner)
                m_inner = line().inner();
        }
        bool open(int baudRate) override
        {
            if (!alive())
                return false;
            if (m_inner)
                return m_inner->open(baudRate);
            if (line().refuseOpen)
                return false;
            ++line().opens;
            line().openBaud = baudRate;
            line().isOpen = true;
            return true;
        }
        void close() override
        {
            if (m_inner)
                m_inner->close();
            if (!alive() || m_inner)
                return;
            if (line().isOpen)
                ++line().closes;
            line().isOpen = false;
        }
        bool isOpen() const override { return alive() && (m_inner ? m_inner->isOpen() : line().isOpen); }
        int write(const std::uint8_t* data, int count) override
        {
            if (!alive())
                return -1;
            LineDouble& l = line();
            l.event({Event::Write, l.clock.now(), count, 0, std::vector<std::uint8_t>(data, data + count)});
            if (l.lostFromWrite > 0 && static_cast<int>(l.writes.size()) + 1 >= l.lostFromWrite)
                l.lost = true;
            if (l.lost)
                return -1;
            l.writes.emplace_back(data, data + count);
            l.writeTimes.push_back(l.clock.now());
            if (l.onWrite)
                l.onWrite(static_cast<int>(l.writes.size()) - 1);
            std::vector<std::uint8_t> instead;
            if (m_inner && l.substitute && l.substitute(data, count, &instead)) {
                l.input = instead;
                l.inputReadyAt = l.clock.now();
                return count;
            }
            if (m_inner)
                return m_inner->write(data, count);
            Reply r;
            if (!l.replies.empty()) {
                r = l.replies.front();
                l.replies.pop_front();
            } else if (l.serve && count == 8) {
                r = l.served(data);
            } else if (l.repeatWhenEmpty) {
                r = l.repeat;
            }
            if (!r.bytes.empty()) {
                l.input.insert(l.input.end(), r.bytes.begin(), r.bytes.end());
                l.inputReadyAt = l.clock.now() + r.delay;
            }
            return count;
        }
        int read(std::uint8_t* buf, int max, double timeout, const io::AnswerComplete& done) override
        {
            if (!alive())
                return -1;
            LineDouble& l = line();
            const double at = l.clock.now();
            const int n = readInner(l, buf, max, timeout, done);
            if (n > 0 && l.rewrite && !l.writes.empty())
                l.rewrite(l.writes.back(), buf, n);
            l.event({Event::Read, at, max, n, {}});
            return n;
        }
        void flushInput() override
        {
            if (!alive())
                return;
            line().event({Event::FlushIn, line().clock.now(), 0, 0, {}});
            ++line().flushIn;
            line().input.clear();
            if (m_inner)
                m_inner->flushInput();
        }
        void flushOutput() override
        {
            if (!alive())
                return;
            line().event({Event::FlushOut, line().clock.now(), 0, 0, {}});
            ++line().flushOut;
            if (m_inner)
                m_inner->flushOutput();
        }
        std::string description() const override { return m_inner ? "tapped " + m_inner->description() : "line double"; }

    private:
        bool alive() const { return *m_self != nullptr; }
        // The living line; only called after alive().
        LineDouble& line() const { return **m_self; }

        int readInner(LineDouble& l, std::uint8_t* buf, int max, double timeout, const io::AnswerComplete& done)
        {
            ++l.reads;
            if (l.lost)
                return -1;
            if (m_inner && l.input.empty())
                return m_inner->read(buf, max, timeout, done);
            const double deadline = l.clock.now() + timeout;
            int n = 0;
            if (!l.input.empty() && l.inputReadyAt <= deadline) {
                l.clock.sleepUntil(l.inputReadyAt);
                while (n < max && !l.input.empty()) {
                    buf[n++] = l.input.front();
                    l.input.erase(l.input.begin());
                    if (done && done(buf, n))
                        return n;
                }
                if (n == max)
                    return n;
            }
            l.clock.sleepUntil(deadline);
            return n;
        }

        std::shared_ptr<LineDouble*> m_self;
        std::unique_ptr<io::SerialDevice> m_inner;
    };

private:
    void event(const Event& e)
    {
        if (onEvent)
            onEvent(e);
    }

    Reply served(const std::uint8_t* rq)
    {
        Fault fault = Fault::Good;
        if (!faults.empty()) {
            fault = faults.front();
            faults.pop_front();
        }
        const auto reg = static_cast<std::uint16_t>((rq[2] << 8) | rq[3]);
        std::vector<std::uint8_t> a;
        if (rq[1] == comlink::FN_WRITE) {
            regs[reg] = static_cast<std::uint16_t>((rq[4] << 8) | rq[5]);
            a.assign(rq, rq + 8);
        } else {
            // The dialect's read answer: two bytes before the data, 2n + 6 in all.
            const int n = rq[5];
            a = {rq[0], rq[1], static_cast<std::uint8_t>(2 * n), 0x00};
            for (int k = 0; k < n; ++k) {
                const std::uint16_t v = regs[static_cast<std::uint16_t>(reg + k)];
                a.push_back(static_cast<std::uint8_t>(v >> 8));
                a.push_back(static_cast<std::uint8_t>(v & 0xFF));
            }
            a = Sealed(a);
        }
        switch (fault) {
        case Fault::Good:
            break;
        case Fault::Silent:
            a.clear();
            break;
        case Fault::SevenBytes:
            // The standard Modbus form: byte count, then the value, then the CRC.
            a = Sealed({rq[0], 0x03, 0x02, a[4], a[5]});
            break;
        case Fault::SwappedCrc:
            std::swap(a[6], a[7]);
            break;
        case Fault::BadCrc:
            a[7] ^= 0x5A;
            break;
        }
        return {a, 0.0};
    }

    std::shared_ptr<LineDouble*> m_self = std::make_shared<LineDouble*>(this);
};
