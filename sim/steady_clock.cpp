#include "sim/steady_clock.h"

#include <thread>

namespace sim {

SteadyClock::SteadyClock() : m_start(std::chrono::steady_clock::now()) {}

double SteadyClock::now() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

void SteadyClock::sleep(double seconds)
{
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::int64_t SteadyClock::wallMillis() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

} // namespace sim
