// A serial line whose answers a test scripts, on the virtual clock: each write
// takes the next scripted reply, whose bytes arrive `delay` seconds later.
// Reads advance the clock exactly as a real port would wait.
#pragma once

#include "io/clock.h"
#include "io/serial_device.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

struct ScriptedLine {
    struct Reply {
        std::vector<std::uint8_t> bytes;  // empty: silence
        double delay = 0.005;
    };

    explicit ScriptedLine(io::VirtualClock& c) : clock(c) {}

    io::VirtualClock& clock;
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
    // Called with the index of each write before its reply is queued, so a
    // test can look at the system's state at that moment.
    std::function<void(int)> onWrite;

    void queue(const std::vector<std::uint8_t>& bytes, double delay = 0.005) { replies.push_back({bytes, delay}); }
    void queueSilence() { replies.push_back({}); }

    io::SerialDeviceFactory factory()
    {
        return [this] { return std::unique_ptr<io::SerialDevice>(new Device(*this)); };
    }

    class Device final : public io::SerialDevice {
    public:
        explicit Device(ScriptedLine& l) : m_line(l) {}
        bool open(int baudRate) override
        {
            if (m_line.refuseOpen)
                return false;
            ++m_line.opens;
            m_line.openBaud = baudRate;
            m_line.isOpen = true;
            return true;
        }
        void close() override
        {
            if (m_line.isOpen)
                ++m_line.closes;
            m_line.isOpen = false;
        }
        bool isOpen() const override { return m_line.isOpen; }
        int write(const std::uint8_t* data, int count) override
        {
            if (m_line.lost)
                return -1;
            m_line.writes.emplace_back(data, data + count);
            m_line.writeTimes.push_back(m_line.clock.now());
            if (m_line.onWrite)
                m_line.onWrite(static_cast<int>(m_line.writes.size()) - 1);
            Reply r;
            if (!m_line.replies.empty()) {
                r = m_line.replies.front();
                m_line.replies.pop_front();
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
            ++m_line.reads;
            if (m_line.lost)
                return -1;
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
        void flushInput() override
        {
            ++m_line.flushIn;
            m_line.input.clear();
        }
        void flushOutput() override { ++m_line.flushOut; }
        std::string description() const override { return "scripted line"; }

    private:
        ScriptedLine& m_line;
    };
};
