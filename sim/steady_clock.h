// A real-time clock for tecsim, which runs without the Qt run-time layer.
#pragma once

#include "io/clock.h"

#include <chrono>

namespace sim {

class SteadyClock final : public io::Clock {
public:
    SteadyClock();
    double now() const override;
    void sleep(double seconds) override;
    std::int64_t wallMillis() const override;

private:
    std::chrono::steady_clock::time_point m_start;
};

} // namespace sim
