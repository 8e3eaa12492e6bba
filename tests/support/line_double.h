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
#include "link/modbus.h"

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
        return [this] { return std::unique_ptr<io::SerialDevice>(new Device(*this)); };
    }

    class Device final : public io::SerialDevice {
    public:
        explicit Device(LineDouble& l) : m_line(l)
        {
            if (l.inner)
                m_inner = l.inner();
        }
        bool open(int baudRate) override
        {
            if (m_inner)
                return m_inner->open(baudRate);
            if (m_line.refuseOpen)
                return false;
            ++m_line.opens;
            m_line.openBaud = baudRate;
            m_line.isOpen = true;
            return true;
        }
        void close() override
        {
            if (m_inner)
                return m_inner->close();
            if (m_line.isOpen)
                ++m_line.closes;
            m_line.isOpen = false;
        }
        bool isOpen() const override { return m_inner ? m_inner->isOpen() : m_line.isOpen; }
        int write(const std::uint8_t* data, int count) override
        {
            m_line.event({Event::Write, m_line.clock.now(), count, 0, std::vector<std::uint8_t>(data, data + count)});
            if (m_line.lostFromWrite > 0 && static_cast<int>(m_line.writes.size()) + 1 >= m_line.lostFromWrite)
                m_line.lost = true;
            if (m_line.lost)
                return -1;
            m_line.writes.emplace_back(data, data + count);
            m_line.writeTimes.push_back(m_line.clock.now());
            if (m_line.onWrite)
                m_line.onWrite(static_cast<int>(m_line.writes.size()) - 1);
            std::vector<std::uint8_t> instead;
            if (m_inner && m_line.substitute && m_line.substitute(data, count, &instead)) {
                m_line.input = instead;
                m_line.inputReadyAt = m_line.clock.now();
                return count;
            }
            if (m_inner)
                return m_inner->write(data, count);
            Reply r;
            if (!m_line.replies.empty()) {
                r = m_line.replies.front();
                m_line.replies.pop_front();
            } else if (m_line.serve && count == 8) {
                r = m_line.served(data);
            } else if (m_line.repeatWhenEmpty) {
                r = m_line.repeat;
            }
            if (!r.bytes.empty()) {
                m_line.input.insert(m_line.input.end(), r.bytes.begin(), r.bytes.end());
                m_line.inputReadyAt = m_line.clock.now() + r.delay;
            }
            return count;
        }
        int read(std::uint8_t* buf, int max, double timeout, const io::AnswerComplete& done) override
        {
            const double at = m_line.clock.now();
            const int n = readInner(buf, max, timeout, done);
            if (n > 0 && m_line.rewrite && !m_line.writes.empty())
                m_line.rewrite(m_line.writes.back(), buf, n);
            m_line.event({Event::Read, at, max, n, {}});
            return n;
        }
        void flushInput() override
        {
            m_line.event({Event::FlushIn, m_line.clock.now()});
            ++m_line.flushIn;
            m_line.input.clear();
            if (m_inner)
                m_inner->flushInput();
        }
        void flushOutput() override
        {
            m_line.event({Event::FlushOut, m_line.clock.now()});
            ++m_line.flushOut;
            if (m_inner)
                m_inner->flushOutput();
        }
        std::string description() const override { return m_inner ? "tapped " + m_inner->description() : "line double"; }

    private:
        int readInner(std::uint8_t* buf, int max, double timeout, const io::AnswerComplete& done)
        {
            ++m_line.reads;
            if (m_line.lost)
                return -1;
            if (m_inner && m_line.input.empty())
                return m_inner->read(buf, max, timeout, done);
            const double deadline = m_line.clock.now() + timeout;
            int n = 0;
            if (!m_line.input.empty() && m_line.inputReadyAt <= deadline) {
                m_line.clock.sleepUntil(m_line.inputReadyAt);
                while (n < max && !m_line.input.empty()) {
                    buf[n++] = m_line.input.front();
                    m_line.input.erase(m_line.input.begin());
                    if (done && done(buf, n))
                        return n;
                }
                if (n == max)
                    return n;
            }
            m_line.clock.sleepUntil(deadline);
            return n;
        }

        LineDouble& m_line;
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
};
