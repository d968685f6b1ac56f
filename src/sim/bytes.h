// Byte strings and their hex text, shared by the simulator's parts.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex::sim {

using Bytes = std::vector<std::uint8_t>;

// "3B 02 14 50"; empty for no bytes.
std::string Hex(std::span<const std::uint8_t> bytes);
// "0x21".
std::string HexByte(std::uint8_t byte);
// Reads hex text with or without spaces ("3B021450", "3b 02 14 50"); false on anything else.
bool ParseHex(std::string_view text, Bytes* out);

}  // namespace tolvex::sim
