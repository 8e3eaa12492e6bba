// Cuts a byte stream into 8-byte requests. When eight bytes fail the CRC the
// first one is dropped and the search goes on, so a stray byte on the line
// costs one request at most instead of shifting every later one.
#pragma once

#include <cstdint>
#include <deque>

namespace sim {

class RequestFramer {
public:
    // Appends received bytes; `time` is when they arrived.
    void push(const std::uint8_t* bytes, int count, double time);
    // Takes the next request with a good CRC into frame. Returns false when no
    // complete request is buffered. firstByteTime: arrival of its first byte.
    bool next(std::uint8_t frame[8], double* firstByteTime = nullptr);
    // Bytes dropped while resynchronising, since construction.
    int dropped() const { return m_dropped; }
    int buffered() const { return static_cast<int>(m_bytes.size()); }

private:
    struct Byte {
        std::uint8_t value;
        double time;
    };
    std::deque<Byte> m_bytes;
    int m_dropped = 0;
};

} // namespace sim
