// The server's request routing and its query and time parsing: any method
// and target is handled without a crash, and what is
// taken is well formed (an address a controller can have, a route of one
// controller only with one, a decoded query without NUL).
#include "check.h"
#include "server/route.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    // "METHOD\nTARGET": the method, then the target.
    const std::size_t a = all.find('\n');
    const std::string_view method = all.substr(0, a);
    const std::string_view target = a == std::string_view::npos ? std::string_view() : all.substr(a + 1);

    const server::Route r = server::MatchRoute(method, target);
    using K = server::RouteKind;
    const bool ofOne = r.kind == K::Controller || r.kind == K::Parameters || r.kind == K::History || r.kind == K::Set ||
                       r.kind == K::ProgramRun || r.kind == K::ProgramStop || r.kind == K::Function;
    FUZZ_CHECK(!ofOne || (r.address >= 1 && r.address <= 247));
    FUZZ_CHECK(r.address >= 0 && r.address <= 247);
    FUZZ_CHECK(!r.write || method == "POST");
    FUZZ_CHECK(r.from.find('\0') == std::string::npos && r.to.find('\0') == std::string::npos);
    std::int64_t ms = 0;
    if (server::ParseIsoTime(r.from.empty() ? target : std::string_view(r.from), &ms))
        FUZZ_CHECK(ms >= -14LL * 3600 * 1000 && ms < 253402387200000LL);
    return 0;
}
