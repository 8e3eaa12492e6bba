#include "io/text_escape.h"

namespace io {

namespace {

void Hex(std::string& out, unsigned char b)
{
    static const char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
}

// Length of the valid UTF-8 sequence starting at s[i], or 0.
std::size_t Utf8Length(std::string_view s, std::size_t i, unsigned* codePoint)
{
    const unsigned char b0 = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    unsigned cp = 0, min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const unsigned char b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are not text.
    if (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
        return 0;
    *codePoint = cp;
    return n;
}

} // namespace

std::string EscapeText(std::string_view text, bool keepNewlines)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            if ((b < 0x20 && !(keepNewlines && b == '\n')) || b == 0x7F)
                Hex(out, b);
            else
                out += static_cast<char>(b);
            ++i;
            continue;
        }
        unsigned cp = 0;
        const std::size_t n = Utf8Length(text, i, &cp);
        if (n == 0) {
            Hex(out, b);
            ++i;
            continue;
        }
        if (cp <= 0x9F) {  // C1 controls (CSI and the like) act on terminals as ESC does
            for (std::size_t k = 0; k < n; ++k)
                Hex(out, static_cast<unsigned char>(text[i + k]));
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    return out;
}

} // namespace io
