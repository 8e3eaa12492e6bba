#include "sim/request_framer.h"

#include "protocol/modbus.h"

namespace sim {

void RequestFramer::push(const std::uint8_t* bytes, int count, double time)
{
    for (int i = 0; i < count; ++i)
        m_bytes.push_back({bytes[i], time});
}

bool RequestFramer::next(std::uint8_t frame[8], double* firstByteTime)
{
    while (m_bytes.size() >= 8) {
        for (int i = 0; i < 8; ++i)
            frame[i] = m_bytes[i].value;
        const comlink::Crc crc = comlink::CalcCRC16(frame, 6);
        if (frame[6] == crc.lo && frame[7] == crc.hi) {
            if (firstByteTime)
                *firstByteTime = m_bytes.front().time;
            m_bytes.erase(m_bytes.begin(), m_bytes.begin() + 8);
            return true;
        }
        m_bytes.pop_front();
        ++m_dropped;
    }
    return false;
}

} // namespace sim
