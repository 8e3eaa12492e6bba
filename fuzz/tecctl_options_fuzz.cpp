// tecctl's command line and values: any argument list is parsed without a
// crash, and whatever is taken lies in range (an address a controller can
// have, a finite value its register class takes, a known parameter).
#include "check.h"
#include "tecctl/options.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Arguments are separated by newlines.
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size && args.size() < 64; ++i) {
        if (data[i] == '\n')
            args.emplace_back();
        else
            args.back() += static_cast<char>(data[i]);
    }
    tecctl::Options o;
    std::string error;
    if (tecctl::ParseOptions(args, &o, &error)) {
        FUZZ_CHECK(o.help || o.version || !o.command.empty());
        FUZZ_CHECK(o.address == -1 || (o.address >= 1 && o.address <= 255));
        FUZZ_CHECK(o.addresses.empty() ? o.address == -1 : o.address == o.addresses.front());
        for (std::size_t k = 0; k < o.addresses.size(); ++k) {
            FUZZ_CHECK(o.addresses[k] >= 1 && o.addresses[k] <= (o.addresses.size() > 1 ? 247 : 255));
            FUZZ_CHECK(std::count(o.addresses.begin(), o.addresses.end(), o.addresses[k]) == 1);
        }
        for (const auto& named : o.names)
            FUZZ_CHECK(!named.second.empty() &&
                       std::count(o.addresses.begin(), o.addresses.end(), named.first) == 1);
        FUZZ_CHECK(o.portNumber >= 0 && o.portNumber <= 65535);
        FUZZ_CHECK(o.interval >= 0 && o.interval <= 86400);
        FUZZ_CHECK(!o.append || !o.logPath.empty());
        FUZZ_CHECK(!o.overwrite || (!o.logPath.empty() && !o.append));
    } else {
        FUZZ_CHECK(!error.empty());
    }
    for (const std::string& a : args) {
        tecctl::Assignment as;
        if (tecctl::ParseAssignment(a, &as, &error)) {
            FUZZ_CHECK(as.param != nullptr);
            FUZZ_CHECK(std::isfinite(as.value));
            if (as.param->cls == tecreg::EncClass::B)
                FUZZ_CHECK(as.value >= 0 && as.value <= 255 && as.value == std::floor(as.value));
            // Whatever is taken lies in the parameter's range, and the
            // resolution check either keeps it on a step or says why not.
            const tecctl::ValueRange r = tecctl::RangeOf(*as.param);
            if (r.codes.empty())
                FUZZ_CHECK(as.value >= r.lo && as.value <= r.hi);
            double sent = 0;
            std::string why;
            for (float scale : {1.0f, 10.0f})
                if (tecctl::CheckResolution(as, scale, false, &sent, &why))
                    FUZZ_CHECK(sent == as.value || std::fabs(sent - as.value) < 1e-6 * std::max(1.0, std::fabs(sent)));
                else
                    FUZZ_CHECK(!why.empty());
            FUZZ_CHECK(tecctl::CheckResolution(as, 10.0f, true, &sent, &why) && std::isfinite(sent));
        }
        std::uint8_t frame[6];
        tecctl::ParseRawFrame({a}, frame, &error);
    }
    return 0;
}
