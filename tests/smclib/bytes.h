// Byte strings for the smart card library's tests: written in hex, compared and printed as hex.
#pragma once

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/ntdef.h"

namespace tolvex::smclib_test {

using Bytes = std::vector<UCHAR>;

// "3B 02 14 50" -> {0x3B, 0x02, 0x14, 0x50}; spaces are ignored.
inline Bytes Hex(const std::string& text) {
  Bytes bytes;
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    const int digit = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<UCHAR>(high << 4 | digit));
      high = -1;
    }
  }
  return bytes;
}

inline std::string ToHex(const Bytes& bytes) {
  std::string text;
  char part[4];
  for (UCHAR b : bytes) {
    std::snprintf(part, sizeof(part), text.empty() ? "%02X" : " %02X", b);
    text += part;
  }
  return text;
}

inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace tolvex::smclib_test
