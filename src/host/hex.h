// Bytes as hex text and back, for the tools.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex::host {

// "3B 02 14 50"; empty for no bytes.
std::string Hex(std::span<const std::uint8_t> bytes);
// Hex digits, spaces allowed ("3B021450", "3b 02 14 50"); nothing for anything else.
std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text);

}  // namespace tolvex::host
