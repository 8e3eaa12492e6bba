// A serial line whose answers a test scripts, on the virtual clock: each write
// takes the next scripted reply, whose bytes arrive `delay` seconds later.
// Reads advance the clock exactly as a real port would wait.
#pragma once

#include "rt/clock.h"
#include "rt/serial_device.h"

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

    explicit ScriptedLine(rt::VirtualClock& c) : clock(c) {}
    // A device handed out may outlive the line (the run-time closes its port
    // after the test body ends): from then on it behaves as an unplugged one.
    ~ScriptedLine() { *m_self = nullptr; }
    ScriptedLine(const ScriptedLine&) = delete;
    ScriptedLine& operator=(const ScriptedLine&) = delete;

    rt::VirtualClock& clock;
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

    rt::SerialDeviceFactory factory()
    {
        return [self = m_self] { return std::unique_ptr<rt::SerialDevice>(new Device(self)); };
    }

    class Device final : public rt::SerialDevice {
    public:
        explicit Device(std::shared_ptr<ScriptedLine*> line) : m_self(std::move(line)) {}
        bool open(int baudRate) override
        {
            if (!*m_self || line().refuseOpen)
                return false;
            ++line().opens;
            line().openBaud = baudRate;
            line().isOpen = true;
            return true;
        }
        void close() override
        {
            if (!*m_self)
                return;
            if (line().isOpen)
                ++line().closes;
            line().isOpen = false;
        }
        bool isOpen() const override { return *m_self && line().isOpen; }
        int write(const std::uint8_t* data, int count) override
        {
            if (!*m_self || line().lost)
                return -1;
            line().writes.emplace_back(data, data + count);
            line().writeTimes.push_back(line().clock.now());
            if (line().onWrite)
                line().onWrite(static_cast<int>(line().writes.size()) - 1);
            Reply r;
            if (!line().replies.empty()) {
                r = line().replies.front();
                line().replies.pop_front();
            } else if (line().repeatWhenEmpty) {
                r = line().repeat;
            }
            if (!r.bytes.empty()) {
                line().input.insert(line().input.end(), r.bytes.begin(), r.bytes.end());
                line().inputReadyAt = line().clock.now() + r.delay;
            }
            return count;
        }
        int read(std::uint8_t* buf, int max, double timeout, const rt::AnswerComplete& done) override
        {
            if (!*m_self)
                return -1;
            ++line().reads;
            if (line().lost)
                return -1;
            const double deadline = line().clock.now() + timeout;
            int n = 0;
            if (!line().input.empty() && line().inputReadyAt <= deadline) {
                line().clock.sleepUntil(line().inputReadyAt);
                while (n < max && !line().input.empty()) {
                    buf[n++] = line().input.front();
                    line().input.erase(line().input.begin());
                    if (done && done(buf, n))
                        return n;
                }
                if (n == max)
                    return n;
            }
            line().clock.sleepUntil(deadline);
            return n;
        }
        void flushInput() override
        {
            if (!*m_self)
                return;
            ++line().flushIn;
            line().input.clear();
        }
        void flushOutput() override
        {
            if (*m_self)
                ++line().flushOut;
        }
        std::string description() const override { return "scripted line"; }

    private:
        std::shared_ptr<ScriptedLine*> m_self;
        // The living line; only called after *m_self was found set.
        ScriptedLine& line() const { return **m_self; }
    };

private:
    std::shared_ptr<ScriptedLine*> m_self = std::make_shared<ScriptedLine*>(this);
};
