#include "sim/controller.h"
#include "sim/multidrop.h"

#include <algorithm>
#include <deque>

namespace sim {

namespace {

// The in-process serial line to simulated controllers. Each answer's bytes
// become readable at the time the line gives for them; reads wait on the
// clock, so on a virtual clock a silent controller costs virtual time only.
class SimDevice final : public io::SerialDevice {
public:
    SimDevice(std::vector<std::shared_ptr<Controller>> controllers, io::Clock& clock, std::shared_ptr<LineFaults> line)
        : m_line(std::move(controllers), std::move(line)), m_clock(clock)
    {
    }

    bool open(int) override
    {
        m_open = true;
        m_partial.clear();
        m_line.clear();
        m_arrived.clear();
        return true;
    }

    void close() override
    {
        m_open = false;
        m_partial.clear();
        m_line.clear();
        m_arrived.clear();
    }

    bool isOpen() const override { return m_open; }

    int write(const std::uint8_t* data, int count) override
    {
        if (!m_open)
            return -1;
        m_partial.insert(m_partial.end(), data, data + count);
        while (m_partial.size() >= 8) {
            const double now = m_clock.now();
            m_line.request(m_partial.data(), 8, now, now);
            m_partial.erase(m_partial.begin(), m_partial.begin() + 8);
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
            arrive(now);
            while (count < max && !m_arrived.empty()) {
                buf[count++] = m_arrived.front();
                m_arrived.pop_front();
                if (done && done(buf, count))
                    return count;
            }
            if (count >= max || now >= deadline)
                return count;
            const double due = m_line.nextDue();
            const double next = due < 0 ? deadline : std::min(due, deadline);
            m_clock.sleepUntil(next);
            if (m_clock.now() <= now)  // a clock that does not move would spin here
                return count;
        }
    }

    // Drops what has arrived; an answer still on its way (a late one)
    // arrives after the flush, as it would on a real line.
    void flushInput() override
    {
        arrive(m_clock.now());
        m_arrived.clear();
    }
    void flushOutput() override { m_partial.clear(); }
    std::string description() const override
    {
        return m_line.controllers().size() == 1 ? "simulated controller" : "simulated controllers";
    }

private:
    // Moves what is on the wire by `now` into the input.
    void arrive(double now)
    {
        Multidrop::Transmission t;
        while (m_line.takeDue(now, &t))
            m_arrived.insert(m_arrived.end(), t.bytes.begin(), t.bytes.end());
    }

    Multidrop m_line;
    io::Clock& m_clock;
    bool m_open = false;
    std::vector<std::uint8_t> m_partial;
    std::deque<std::uint8_t> m_arrived;
};

} // namespace

std::unique_ptr<io::SerialDevice> MakeSimDevice(std::shared_ptr<Controller> controller, io::Clock& clock)
{
    return std::make_unique<SimDevice>(std::vector<std::shared_ptr<Controller>>{std::move(controller)}, clock, nullptr);
}

std::unique_ptr<io::SerialDevice> MakeSimDevice(std::vector<std::shared_ptr<Controller>> controllers, io::Clock& clock,
                                                std::shared_ptr<LineFaults> line)
{
    return std::make_unique<SimDevice>(std::move(controllers), clock, std::move(line));
}

} // namespace sim
