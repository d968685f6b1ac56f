#include "host/hex.h"

#include "sim/bytes.h"

namespace tolvex::host {

std::string Hex(std::span<const std::uint8_t> bytes) {
  return sim::Hex(bytes);
}

std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  if (!sim::ParseHex(text, &bytes)) return std::nullopt;
  return bytes;
}

}  // namespace tolvex::host
