// Data-log lines: for every value the controller can report at either
// decimal point the line is at most 40 characters, one line, and reads back
// as the date, time and values to one decimal. Any float formats safely.
#include "check.h"
#include "formats/log_format.h"
#include "formats/monitor_format.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    const int month = in.ConsumeIntegralInRange(1, 12);
    const int day = in.ConsumeIntegralInRange(1, 31);
    const int year = in.ConsumeIntegralInRange(1970, 9999);
    char time[16];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", in.ConsumeIntegralInRange(0, 23),
                  in.ConsumeIntegralInRange(0, 59), in.ConsumeIntegralInRange(0, 59));
    const float scale = in.ConsumeBool() ? 1.0f : 10.0f;
    const float sv = monitor::RawToDisplay(in.ConsumeIntegral<std::uint16_t>(), scale);
    const float pv = monitor::RawToDisplay(in.ConsumeIntegral<std::uint16_t>(), scale);

    const std::string line = monitor::FormatLogLine(month, day, year, time, sv, pv);
    FUZZ_CHECK(!line.empty() && line.size() <= 40);
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    int m = 0, d = 0, y = 0;
    char t[16] = {};
    double s = 0, p = 0;
    FUZZ_CHECK(std::sscanf(line.c_str(), "%d/%d/%d, %8[0-9:], %lf, %lf", &m, &d, &y, t, &s, &p) == 6);
    FUZZ_CHECK(m == month && d == day && y == year && std::strcmp(t, time) == 0);
    FUZZ_CHECK(std::fabs(s - sv) <= 0.05 + 1e-6 && std::fabs(p - pv) <= 0.05 + 1e-6);

    // Whatever a float holds, formatting neither overflows nor breaks the line.
    const float any = in.ConsumeFloatingPoint<float>();
    const std::string odd = monitor::FormatLogLine(month, day, year, in.ConsumeRandomLengthString(64), any, -any);
    FUZZ_CHECK(odd.size() < 1024);
    return 0;
}
