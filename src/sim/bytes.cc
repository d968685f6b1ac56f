#include "sim/bytes.h"

#include <cstdio>

namespace tolvex::sim {

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 3);
  char part[4];
  for (std::uint8_t b : bytes) {
    std::snprintf(part, sizeof(part), "%s%02X", text.empty() ? "" : " ", b);
    text += part;
  }
  return text;
}

std::string HexByte(std::uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%02X", byte);
  return text;
}

namespace {
int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool ParseHex(std::string_view text, Bytes* out) {
  Bytes bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    const int n = Nibble(c);
    if (n < 0) return false;
    if (high < 0) {
      high = n;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | n));
      high = -1;
    }
  }
  if (high >= 0) return false;
  *out = std::move(bytes);
  return true;
}

}  // namespace tolvex::sim
