// Frames as text, for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Hex text of bytes, "01 03 1F 00 00 01 83 DE".
std::string Hex(const std::vector<std::uint8_t>& bytes);
std::string Hex(const std::uint8_t* bytes, int count);
// Bytes from hex text.
std::vector<std::uint8_t> Bytes(const std::string& hex);
