#include "io/clock.h"

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
    // transaction waits.
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::int64_t RealClock::wallMillis() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace io
