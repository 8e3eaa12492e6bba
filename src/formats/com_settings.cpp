// The text of DftCom.prm. Pure: no port, no panel, no Qt.
#include "formats/com_settings.h"

#include <cctype>
#include <cstdlib>

namespace comlink {

namespace {

// One unsigned decimal number; advances *p past it.
bool ReadNumber(const char** p, unsigned long* value)
{
    while (**p == ' ' || **p == '\t')
        ++*p;
    if (!std::isdigit(static_cast<unsigned char>(**p)))
        return false;
    char* end = nullptr;
    *value = std::strtoul(*p, &end, 10);
    if (end - *p > 10)
        return false;
    *p = end;
    return true;
}

} // namespace

bool ParseComSettings(const std::string& text, std::uint16_t* port, std::uint32_t* baud, std::uint16_t* id)
{
    const char* p = text.c_str();
    unsigned long v[3] = {};
    for (unsigned long& n : v) {
        if (!ReadNumber(&p, &n))
            return false;
    }
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    if (*p != '\0' || text.find('\0') != std::string::npos)
        return false;
    // Port 0 names no port, and an address above 255 would go out as its low
    // byte (256 as the broadcast address 0): such a file is taken as unreadable.
    if (v[0] < 1 || v[0] > 65535 || v[2] > 255 || v[1] < 1 || v[1] > 4000000)
        return false;
    *port = static_cast<std::uint16_t>(v[0]);
    *baud = static_cast<std::uint32_t>(v[1]);
    *id = static_cast<std::uint16_t>(v[2]);
    return true;
}

std::string FormatComSettings(std::uint16_t port, std::uint32_t baud, std::uint16_t id)
{
    return std::to_string(port) + " " + std::to_string(baud) + " " + std::to_string(id);
}

} // namespace comlink
