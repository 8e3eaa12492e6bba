// Several controllers on one line, as a serial device double on any clock:
// each address has its own registers and its own way of answering (or not),
// and a picker can choose a fault for each request at random. Answers
// become readable at their time on the clock; reads wait on it as a port
// does. No Qt, no application: the poller's tests and benchmarks use it.
#pragma once

#include "io/clock.h"
#include "io/serial_device.h"
#include "protocol/modbus.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

struct BusDouble {
    enum class Fault {
        Good,
        Silent,       // no answer
        Late,         // the answer comes `lateBy` seconds after its time
        OtherAddress, // an intact answer carrying another address
        Echo,         // the adapter echoes the request, then the answer follows
        BadCrc,       // the answer with its CRC spoilt
        Short,        // the answer cut short
    };
    struct Station {
        std::map<std::uint16_t, std::uint16_t> regs;
        Fault fault = Fault::Good;
        double lateBy = 1.5;
        // Called for each read request it answers, before the answer is made
        // (a test moves a value per request).
        std::function<void(std::uint16_t reg)> beforeAnswer;
    };
    struct Sent {
        std::vector<std::uint8_t> bytes;
        double at = 0;
    };

    explicit BusDouble(io::Clock& c) : clock(c) {}
    ~BusDouble() { *m_self = nullptr; }
    BusDouble(const BusDouble&) = delete;
    BusDouble& operator=(const BusDouble&) = delete;

    io::Clock& clock;
    std::map<std::uint8_t, Station> stations;
    double answerDelay = 0.005;  // from the request's write to the whole answer
    // When set, chooses the fault of each request in place of the station's.
    std::function<Fault(std::uint8_t address)> pick;
    std::vector<Sent> sent;
    int reads = 0;

    static std::vector<std::uint8_t> Sealed(std::vector<std::uint8_t> b)
    {
        const comlink::Crc crc = comlink::CalcCRC16(b.data(), static_cast<int>(b.size()));
        b.push_back(crc.lo);
        b.push_back(crc.hi);
        return b;
    }

    io::SerialDeviceFactory factory()
    {
        return [self = m_self] { return std::unique_ptr<io::SerialDevice>(new Device(self)); };
    }

    // Requests sent to an address, oldest first.
    std::vector<Sent> sentTo(std::uint8_t address) const
    {
        std::vector<Sent> out;
        for (const Sent& s : sent)
            if (!s.bytes.empty() && s.bytes[0] == address)
                out.push_back(s);
        return out;
    }

private:
    struct Pending {
        std::uint8_t byte;
        double readyAt;
    };
    std::deque<Pending> m_queue;
    bool m_open = false;

    void answer(const std::uint8_t* rq)
    {
        sent.push_back({std::vector<std::uint8_t>(rq, rq + 8), clock.now()});
        const auto it = stations.find(rq[0]);
        if (it == stations.end() || rq[1] != comlink::FN_READ)
            return;
        Station& st = it->second;
        const Fault fault = pick ? pick(rq[0]) : st.fault;
        const auto reg = static_cast<std::uint16_t>(rq[2] << 8 | rq[3]);
        if (st.beforeAnswer)
            st.beforeAnswer(reg);
        const std::uint16_t v = st.regs[reg];
        std::vector<std::uint8_t> a =
            Sealed({rq[0], 0x03, 0x02, 0x00, static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v & 0xFF)});
        double at = clock.now() + answerDelay;
        switch (fault) {
        case Fault::Good:
            break;
        case Fault::Silent:
            return;
        case Fault::Late:
            at += st.lateBy;
            break;
        case Fault::OtherAddress: {
            std::vector<std::uint8_t> body(a.begin(), a.end() - 2);
            body[0] = static_cast<std::uint8_t>(rq[0] == 247 ? 1 : rq[0] + 1);
            a = Sealed(body);
            break;
        }
        case Fault::Echo:
            for (int k = 0; k < 8; ++k)
                m_queue.push_back({rq[k], clock.now()});
            break;
        case Fault::BadCrc:
            a[7] ^= 0x5A;
            break;
        case Fault::Short:
            a.resize(5);
            break;
        }
        for (std::uint8_t b : a)
            m_queue.push_back({b, at});
        std::stable_sort(m_queue.begin(), m_queue.end(),
                         [](const Pending& x, const Pending& y) { return x.readyAt < y.readyAt; });
    }

    class Device final : public io::SerialDevice {
    public:
        explicit Device(std::shared_ptr<BusDouble*> self) : m_self(std::move(self)) {}
        bool open(int) override
        {
            if (!bus())
                return false;
            bus()->m_open = true;
            bus()->m_queue.clear();
            return true;
        }
        void close() override
        {
            if (bus())
                bus()->m_open = false;
        }
        bool isOpen() const override { return bus() && bus()->m_open; }
        int write(const std::uint8_t* data, int count) override
        {
            if (!bus())
                return -1;
            for (int k = 0; k + 8 <= count; k += 8)
                bus()->answer(data + k);
            return count;
        }
        int read(std::uint8_t* buf, int max, double timeout, const io::AnswerComplete& done) override
        {
            BusDouble* b = bus();
            if (!b)
                return -1;
            ++b->reads;
            const double deadline = b->clock.now() + std::max(0.0, timeout);
            int n = 0;
            for (;;) {
                const double now = b->clock.now();
                while (n < max && !b->m_queue.empty() && b->m_queue.front().readyAt <= now) {
                    buf[n++] = b->m_queue.front().byte;
                    b->m_queue.pop_front();
                    if (done && done(buf, n))
                        return n;
                }
                if (n >= max || now >= deadline)
                    return n;
                const double next = b->m_queue.empty() ? deadline : std::min(b->m_queue.front().readyAt, deadline);
                b->clock.sleepUntil(next);
                if (b->clock.now() <= now)
                    return n;
            }
        }
        void flushInput() override
        {
            BusDouble* b = bus();
            if (!b)
                return;
            const double now = b->clock.now();
            while (!b->m_queue.empty() && b->m_queue.front().readyAt <= now)
                b->m_queue.pop_front();
        }
        void flushOutput() override {}
        std::string description() const override { return "bus double"; }

    private:
        BusDouble* bus() const { return *m_self; }
        std::shared_ptr<BusDouble*> m_self;
    };

    std::shared_ptr<BusDouble*> m_self = std::make_shared<BusDouble*>(this);
};
