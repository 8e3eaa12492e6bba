// The simulator's request framer: bytes arriving in any chunks come out as
// requests with a good CRC, in order; every byte is either in a request,
// dropped while resynchronising, or still buffered, and fewer than eight stay
// buffered once no request is left.
#include "check.h"
#include "protocol/modbus.h"
#include "sim/request_framer.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    sim::RequestFramer framer;
    long pushed = 0, framed = 0;
    double now = 0, lastFirst = -1;
    while (in.remaining_bytes() > 0) {
        const std::vector<std::uint8_t> chunk = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 40));
        now += 0.001;
        framer.push(chunk.data(), static_cast<int>(chunk.size()), now);
        pushed += static_cast<long>(chunk.size());
        std::uint8_t frame[8];
        double first = 0;
        while (framer.next(frame, &first)) {
            const comlink::Crc crc = comlink::CalcCRC16(frame, 6);
            FUZZ_CHECK(frame[6] == crc.lo && frame[7] == crc.hi);
            FUZZ_CHECK(first >= lastFirst && first <= now);
            lastFirst = first;
            framed += 8;
        }
        FUZZ_CHECK(framer.buffered() < 8);
        FUZZ_CHECK(framed + framer.dropped() + framer.buffered() == pushed);
    }
    return 0;
}
