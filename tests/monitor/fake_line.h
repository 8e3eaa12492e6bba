// A scripted controller line for the monitoring tests: it records when each
// request was written (virtual clock) and answers reads of single registers
// in the controller's 8-byte form, or in whatever faulty form a test asks for.
#pragma once

#include "link/modbus.h"
#include "io/clock.h"
#include "io/serial_device.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

struct FakeLine {
    enum class Reply { Good, Silent, SevenBytes, SwappedCrc, BadCrc };

    explicit FakeLine(io::Clock& c) : clock(c) {}

    io::Clock& clock;
    std::map<std::uint16_t, std::uint16_t> regs;  // register values served
    std::deque<Reply> script;                     // replies for the next requests; Good after
    struct Request {
        double at;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Request> requests;
    std::vector<std::uint8_t> pending;

    static std::vector<std::uint8_t> Answer(std::uint8_t address, std::uint16_t value)
    {
        std::vector<std::uint8_t> a = {address, 0x03, 0x02, 0x00, static_cast<std::uint8_t>(value >> 8),
                                       static_cast<std::uint8_t>(value & 0xFF)};
        const comlink::Crc crc = comlink::CalcCRC16(a.data(), 6);
        a.push_back(crc.lo);
        a.push_back(crc.hi);
        return a;
    }

    void onRequest(const std::uint8_t* data, int count)
    {
        requests.push_back({clock.now(), std::vector<std::uint8_t>(data, data + count)});
        Reply reply = Reply::Good;
        if (!script.empty()) {
            reply = script.front();
            script.pop_front();
        }
        const std::uint16_t reg = static_cast<std::uint16_t>((data[2] << 8) | data[3]);
        std::vector<std::uint8_t> a = Answer(data[0], regs[reg]);
        switch (reply) {
        case Reply::Good:
            break;
        case Reply::Silent:
            a.clear();
            break;
        case Reply::SevenBytes: {
            // The standard Modbus form: byte count, then the value, then the CRC.
            a = {data[0], 0x03, 0x02, a[4], a[5]};
            const comlink::Crc crc = comlink::CalcCRC16(a.data(), 5);
            a.push_back(crc.lo);
            a.push_back(crc.hi);
            break;
        }
        case Reply::SwappedCrc:
            std::swap(a[6], a[7]);
            break;
        case Reply::BadCrc:
            a[7] ^= 0x5A;
            break;
        }
        pending.insert(pending.end(), a.begin(), a.end());
    }
};

class FakeLineDevice final : public io::SerialDevice {
public:
    explicit FakeLineDevice(std::shared_ptr<FakeLine> line) : m_line(std::move(line)) {}
    bool open(int) override
    {
        m_open = true;
        return true;
    }
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }
    int write(const std::uint8_t* data, int count) override
    {
        m_line->onRequest(data, count);
        return count;
    }
    int read(std::uint8_t* buf, int max, double timeout, const io::AnswerComplete& done) override
    {
        auto& p = m_line->pending;
        int n = 0;
        while (n < max && !p.empty()) {
            buf[n++] = p.front();
            p.erase(p.begin());
            if (done && done(buf, n))
                return n;
        }
        if (n < max)
            m_line->clock.sleep(timeout);
        return n;
    }
    void flushInput() override { m_line->pending.clear(); }
    void flushOutput() override {}
    std::string description() const override { return "fake line"; }

private:
    std::shared_ptr<FakeLine> m_line;
    bool m_open = false;
};
