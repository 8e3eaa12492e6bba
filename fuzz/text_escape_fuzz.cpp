// The escape of text shown in messages: whatever the bytes, what comes out
// is valid UTF-8 with no control character, and escaping it again changes
// nothing.
#include "check.h"
#include "io/text_escape.h"

#include <cstdint>
#include <string>

namespace {

bool CleanUtf8(const std::string& s, bool newlines)
{
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            if ((b < 0x20 && !(newlines && b == '\n')) || b == 0x7F)
                return false;
            ++i;
            continue;
        }
        const std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
        if (n == 0 || i + n > s.size())
            return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        if (b == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0)
            return false;  // a C1 control
        i += n;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (bool newlines : {false, true}) {
        const std::string out = io::EscapeText(text, newlines);
        FUZZ_CHECK(CleanUtf8(out, newlines));
        FUZZ_CHECK(io::EscapeText(out, newlines) == out);
        FUZZ_CHECK(out.size() >= text.size() && out.size() <= 4 * text.size());
    }
    return 0;
}
