// The write body's JSON parser: any bytes are parsed without a crash; what is
// taken is a flat list of at most 64 distinct names, each value a JSON
// number's text, "0", "1" or a string, all valid UTF-8 without NUL; what is
// refused has a reason and leaves nothing behind.
#include "check.h"
#include "server/route.h"

#include <cstdint>
#include <set>
#include <string>

namespace {

bool ValidUtf8(const std::string& s)
{
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        int n = c < 0x80 ? 0 : c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : -1;
        if (n < 0 || c == 0 || i + static_cast<std::size_t>(n) >= s.size() + (n == 0 ? 1 : 0))
            return false;
        for (int k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]) & 0xC0) != 0x80)
                return false;
        i += static_cast<std::size_t>(n) + 1;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    for (bool allowEmpty : {false, true}) {
        std::vector<std::pair<std::string, std::string>> m;
        std::string error;
        if (server::ParseWriteBody(body, allowEmpty, &m, &error)) {
            FUZZ_CHECK(allowEmpty || !m.empty());
            FUZZ_CHECK(m.size() <= server::kMaxMembers);
            std::set<std::string> names;
            for (const auto& [name, value] : m) {
                FUZZ_CHECK(names.insert(name).second);
                FUZZ_CHECK(ValidUtf8(name) && ValidUtf8(value));
            }
        } else {
            FUZZ_CHECK(!error.empty());
            FUZZ_CHECK(m.empty());
        }
    }
    return 0;
}
