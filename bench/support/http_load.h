// What the server benchmarks share: a kept-alive request and its answer, the
// processor time of a process or thread, and percentiles.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace bench {

// Sends one request on a kept-alive connection and reads its answer; true
// when a whole 200 answer came within 2 s.
inline bool HttpExchange(int fd, const std::string& request)
{
    using Clock = std::chrono::steady_clock;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return false;
    std::string data;
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < end) {
        const std::size_t h = data.find("\r\n\r\n");
        if (h != std::string::npos) {
            const std::size_t cl = data.find("Content-Length: ");
            if (cl == std::string::npos || cl > h)
                return false;
            const std::size_t length = std::strtoul(data.c_str() + cl + 16, nullptr, 10);
            if (data.size() >= h + 4 + length)
                return data.compare(9, 3, "200") == 0;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char buf[16384];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        data.append(buf, static_cast<std::size_t>(n));
    }
    return false;
}

// CPU seconds (user + system) of the process or thread whose stat file this
// is ("/proc/PID/stat", "/proc/self/task/TID/stat").
inline double CpuSecondsOf(const std::string& statPath)
{
    std::ifstream in(statPath);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t paren = text.rfind(')');
    if (paren == std::string::npos || paren + 2 > text.size())
        return 0;
    std::istringstream rest(text.substr(paren + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int k = 3; k <= 15 && rest >> field; ++k) {
        if (k == 14) utime = std::atof(field.c_str());
        if (k == 15) stime = std::atof(field.c_str());
    }
    return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Follows the server's event stream on a connection of its own (connect
// gives it, -1 when none) and hands each event's text to onEvent until stop
// is set or the server closes it.
inline void FollowEvents(int fd, const std::atomic<bool>& stop, const std::function<void(const std::string&)>& onEvent)
{
    if (fd < 0)
        return;
    const std::string req = "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    (void)!::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    std::string data;
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buf[16384];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        data.append(buf, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = data.find("\n\n")) != std::string::npos) {
            const std::string event = data.substr(0, end);
            data.erase(0, end + 2);
            onEvent(event);
        }
    }
    ::close(fd);
}

inline double Percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

} // namespace bench
