#include "io/clock.h"
#include "io/end_request.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace io {

namespace {
std::int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

RealClock::RealClock() : m_startNs(steadyNs()) {}

double RealClock::now() const
{
    return static_cast<double>(steadyNs() - m_startNs) * 1e-9;
}

void RealClock::sleep(double seconds)
{
    // A plain thread sleep: no user-interface event may run while a
    // transaction waits. It is cut into short slices so that a request to end
    // the program is not kept waiting by a long wait.
    if (!(seconds > 0))
        return;
    const std::int64_t until = steadyNs() + static_cast<std::int64_t>(seconds * 1e9);
    while (!EndRequested()) {
        const std::int64_t left = until - steadyNs();
        if (left <= 0)
            return;
        std::this_thread::sleep_for(std::chrono::nanoseconds(std::min<std::int64_t>(left, 20'000'000)));
    }
}

std::int64_t RealClock::wallMillis() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace io
