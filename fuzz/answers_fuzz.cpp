// Controller answers: the checks agree with the CRC and the layouts, a read
// is complete exactly when it should be, and decoding a good answer gives
// values in the register's range at either decimal point.
#include "check.h"
#include "formats/monitor_format.h"
#include "protocol/encoding.h"
#include "protocol/modbus.h"
#include "protocol/step_codec.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    // First byte: the registers the request asked for (1 to 16); the rest is the answer.
    const int registers = data[0] % 16 + 1;
    const int expected = comlink::ReadAnswerLength(registers);
    std::uint8_t answer[64] = {};
    const int count = static_cast<int>(std::min<std::size_t>(size - 1, sizeof answer));
    std::memcpy(answer, data + 1, static_cast<std::size_t>(count));

    const bool good = comlink::AnswerIsGood(answer, count, expected);
    if (good) {
        const comlink::Crc crc = comlink::CalcCRC16(answer, count - 2);
        FUZZ_CHECK(count == expected && answer[count - 2] == crc.lo && answer[count - 1] == crc.hi);
        FUZZ_CHECK(comlink::AnswerComplete(answer, count, expected));
    }
    if (comlink::IsExceptionAnswer(answer, count)) {
        FUZZ_CHECK(count >= 5 && (answer[1] & 0x80));
    }
    for (int n = 0; n <= count; ++n) {
        if (n >= expected)
            FUZZ_CHECK(comlink::AnswerComplete(answer, n, expected));
        else if (comlink::AnswerComplete(answer, n, expected))
            FUZZ_CHECK(n == 5 && comlink::IsExceptionAnswer(answer, 5));
    }
    if (!good)
        return 0;
    for (float scale : {1.0f, 10.0f}) {
        for (int k = 0; k < registers; ++k) {
            const std::uint16_t raw = comlink::RegisterValue(answer, k);
            const std::uint8_t hi = static_cast<std::uint8_t>(raw >> 8), lo = static_cast<std::uint8_t>(raw);
            for (params::EncClass cls : {params::EncClass::T, params::EncClass::D, params::EncClass::I,
                                         params::EncClass::B}) {
                const double v = params::Decode(cls, hi, lo, scale);
                FUZZ_CHECK(std::isfinite(v));
                // Decoded values are held as floats, a hair beyond the exact bounds.
                FUZZ_CHECK(v >= params::LowestDisplayValue(cls, scale) - 1e-3 &&
                           v <= params::HighestDisplayValue(cls, scale) + 1e-3);
                // What was read can be written back unchanged.
                if (cls == params::EncClass::I)
                    FUZZ_CHECK(params::Encode(cls, v, scale) == raw);
            }
            const float t = monitor::RawToDisplay(raw, scale);
            FUZZ_CHECK(program::EncodeTemperature(t, scale) == raw);
        }
        if (registers == program::kRegistersPerStep) {
            const StepRecord s = program::DecodeStep(answer, scale);
            FUZZ_CHECK(std::isfinite(s.sv) && s.action <= 0xFF);
        }
    }
    return 0;
}
