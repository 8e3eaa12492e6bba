#include "support/hex.h"

#include <cstdio>
#include <sstream>

std::string Hex(const std::uint8_t* bytes, int count)
{
    std::string s;
    char buf[4];
    for (int i = 0; i < count; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (i)
            s += ' ';
        s += buf;
    }
    return s;
}

std::string Hex(const std::vector<std::uint8_t>& bytes)
{
    return Hex(bytes.data(), static_cast<int>(bytes.size()));
}

std::vector<std::uint8_t> Bytes(const std::string& hex)
{
    std::vector<std::uint8_t> out;
    std::istringstream in(hex);
    std::string tok;
    while (in >> tok)
        out.push_back(static_cast<std::uint8_t>(std::stoul(tok, nullptr, 16)));
    return out;
}
