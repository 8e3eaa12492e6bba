// Waiting on another process: a condition polled until a deadline, never a
// fixed sleep.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

// True as soon as `done` holds; false when `seconds` passed without it.
inline bool WaitFor(const std::function<bool()>& done, double seconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}
