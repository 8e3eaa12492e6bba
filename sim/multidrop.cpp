#include "sim/multidrop.h"

#include <algorithm>

namespace sim {

namespace {

constexpr double kBitsPerByte = 10.0;  // 8N1

} // namespace

Multidrop::Multidrop(std::vector<std::shared_ptr<Controller>> controllers, std::shared_ptr<LineFaults> line,
                     int wireBaud)
    : m_controllers(std::move(controllers)),
      m_line(line ? std::move(line) : std::make_shared<LineFaults>()),
      m_wireBaud(wireBaud),
      m_lastDue(m_controllers.size(), 0.0)
{
}

Controller* Multidrop::at(std::uint8_t address) const
{
    for (const auto& c : m_controllers)
        if (c->config().address == address)
            return c.get();
    return nullptr;
}

void Multidrop::advanceTo(double t)
{
    for (const auto& c : m_controllers)
        c->advanceTo(t);
}

void Multidrop::request(const std::uint8_t* bytes, int count, double now, double firstByte)
{
    if (count <= 0)
        return;
    if (m_line->echo) {
        // The adapter's receiver hears the request as it goes out.
        const double due = m_wireBaud > 0 ? firstByte + count * kBitsPerByte / m_wireBaud : now;
        queue(std::vector<std::uint8_t>(bytes, bytes + count), std::max(due, now), kEcho, 0.0);
    }
    for (std::size_t i = 0; i < m_controllers.size(); ++i) {
        Controller& c = *m_controllers[i];
        double readyAt = now;
        std::vector<std::uint8_t> answer = c.handleRequest(bytes, count, &readyAt);
        if (answer.empty())
            continue;
        const double n = static_cast<double>(answer.size());
        double due = readyAt;
        double wire = 0;
        if (m_wireBaud > 0) {
            // The controller's own delay (a fault) counts from now, the wire
            // time of request and answer from the request's first byte.
            wire = n * kBitsPerByte / m_wireBaud;
            due = std::max(due, firstByte + (readyAt - now) + (count + n) * kBitsPerByte / m_wireBaud);
        } else if (c.config().emulateWireTime && c.config().baudRate > 0) {
            wire = n * kBitsPerByte / c.config().baudRate;
        }
        queue(std::move(answer), due, static_cast<int>(i), wire);
    }
}

void Multidrop::queue(std::vector<std::uint8_t> bytes, double due, int source, double wireSeconds)
{
    if (source >= 0) {
        due = std::max(due, m_lastDue[static_cast<std::size_t>(source)]);
        // Another controller's answer on the wire meanwhile: this one starts
        // once it has passed. The queue is by due time, so one pass forward
        // settles it.
        if (wireSeconds > 0)
            for (const Transmission& t : m_queue)
                if (t.source >= 0 && t.source != source && t.due > due - wireSeconds && t.due - t.wire < due)
                    due = t.due + wireSeconds;
        m_lastDue[static_cast<std::size_t>(source)] = due;
    }
    auto at = std::upper_bound(m_queue.begin(), m_queue.end(), due,
                               [](double d, const Transmission& t) { return d < t.due; });
    m_queue.insert(at, Transmission{std::move(bytes), due, source, wireSeconds});
}

bool Multidrop::takeDue(double now, Transmission* out)
{
    if (m_queue.empty() || m_queue.front().due > now)
        return false;
    *out = std::move(m_queue.front());
    m_queue.pop_front();
    return true;
}

double Multidrop::nextDue() const
{
    return m_queue.empty() ? -1.0 : m_queue.front().due;
}

} // namespace sim
