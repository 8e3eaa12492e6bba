#include "sim/controller.h"

#include <algorithm>
#include <deque>

namespace sim {

namespace {

// The in-process serial line to a simulated controller. Each answer's bytes
// become readable at the time the controller gives for them; reads wait on the
// clock, so on a virtual clock a silent controller costs virtual time only.
class SimDevice final : public io::SerialDevice {
public:
    SimDevice(std::shared_ptr<Controller> controller, io::Clock& clock)
        : m_controller(std::move(controller)), m_clock(clock)
    {
    }

    bool open(int) override
    {
        m_open = true;
        m_partial.clear();
        m_queue.clear();
        return true;
    }

    void close() override
    {
        m_open = false;
        m_partial.clear();
        m_queue.clear();
    }

    bool isOpen() const override { return m_open; }

    int write(const std::uint8_t* data, int count) override
    {
        if (!m_open)
            return -1;
        m_partial.insert(m_partial.end(), data, data + count);
        while (m_partial.size() >= 8) {
            double readyAt = m_clock.now();
            const std::vector<std::uint8_t> answer = m_controller->handleRequest(m_partial.data(), 8, &readyAt);
            m_partial.erase(m_partial.begin(), m_partial.begin() + 8);
            for (std::uint8_t b : answer)
                m_queue.push_back({b, readyAt});
        }
        return count;
    }

    int read(std::uint8_t* buf, int max, double timeout, const io::AnswerComplete& done) override
    {
        if (!m_open)
            return -1;
        const double deadline = m_clock.now() + std::max(0.0, timeout);
        int count = 0;
        for (;;) {
            const double now = m_clock.now();
            while (count < max && !m_queue.empty() && m_queue.front().readyAt <= now) {
                buf[count++] = m_queue.front().byte;
                m_queue.pop_front();
                if (done && done(buf, count))
                    return count;
            }
            if (count >= max || now >= deadline)
                return count;
            const double next = m_queue.empty() ? deadline : std::min(m_queue.front().readyAt, deadline);
            m_clock.sleepUntil(next);
            if (m_clock.now() <= now)  // a clock that does not move would spin here
                return count;
        }
    }

    // Drops what has arrived; an answer still on its way (a late one)
    // arrives after the flush, as it would on a real line.
    void flushInput() override
    {
        const double now = m_clock.now();
        while (!m_queue.empty() && m_queue.front().readyAt <= now)
            m_queue.pop_front();
    }
    void flushOutput() override { m_partial.clear(); }
    std::string description() const override { return "simulated controller"; }

private:
    struct Pending {
        std::uint8_t byte;
        double readyAt;
    };

    std::shared_ptr<Controller> m_controller;
    io::Clock& m_clock;
    bool m_open = false;
    std::vector<std::uint8_t> m_partial;
    std::deque<Pending> m_queue;
};

} // namespace

std::unique_ptr<io::SerialDevice> MakeSimDevice(std::shared_ptr<Controller> controller, io::Clock& clock)
{
    return std::make_unique<SimDevice>(std::move(controller), clock);
}

} // namespace sim
