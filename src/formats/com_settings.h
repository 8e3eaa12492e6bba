// The text of DftCom.prm: port, baud rate and controller address.
#pragma once

#include <cstdint>
#include <string>

namespace comlink {

// The settings file in the working directory.
constexpr const char* kSettingsFile = "DftCom.prm";

// Parses "port baud address"; false when the text does not hold three numbers
// in range (port 1..65535, address 0..255, baud 1..4000000).
bool ParseComSettings(const std::string& text, std::uint16_t* port, std::uint32_t* baud, std::uint16_t* id);
std::string FormatComSettings(std::uint16_t port, std::uint32_t baud, std::uint16_t id);

} // namespace comlink
