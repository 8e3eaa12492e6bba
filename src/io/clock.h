// Time source shared by the run-time layer and the simulated controller.
// The program runs on RealClock; tests run on VirtualClock, where every wait
// returns at once and only moves the clock, so an hour of controller traffic
// is checked in milliseconds.
#pragma once

#include <cstdint>

namespace io {

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic seconds since an arbitrary start.
    virtual double now() const = 0;
    // Waits the given seconds without dispatching any user-interface event.
    virtual void sleep(double seconds) = 0;
    // Waits until now() >= t (no-op when t is already past).
    void sleepUntil(double t)
    {
        const double d = t - now();
        if (d > 0)
            sleep(d);
    }
    // Wall-clock time in milliseconds since the Unix epoch (local dates are
    // derived from it by the caller).
    virtual std::int64_t wallMillis() const = 0;
    // True for a clock that only moves when someone waits on it: nothing
    // falls due by itself, so whoever would wait on an event loop for a
    // time on it waits on the clock instead.
    virtual bool simulated() const { return false; }
};

class RealClock final : public Clock {
public:
    RealClock();
    double now() const override;
    void sleep(double seconds) override;
    std::int64_t wallMillis() const override;

private:
    std::int64_t m_startNs;
};

class VirtualClock final : public Clock {
public:
    // wallStartMillis: the wall time at virtual second 0.
    explicit VirtualClock(std::int64_t wallStartMillis = 1700000000000LL) : m_wallStart(wallStartMillis) {}
    double now() const override { return m_now; }
    void sleep(double seconds) override
    {
        if (seconds > 0)
            m_now += seconds;
    }
    std::int64_t wallMillis() const override { return m_wallStart + static_cast<std::int64_t>(m_now * 1000.0); }
    void advance(double seconds) { sleep(seconds); }
    bool simulated() const override { return true; }

private:
    double m_now = 0.0;
    std::int64_t m_wallStart;
};

} // namespace io
