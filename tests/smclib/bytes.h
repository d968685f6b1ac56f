// Byte strings for the smart card library's tests: written in hex, compared and printed as hex.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ntdef.h"

namespace tolvex::smclib_test {

using Bytes = std::vector<UCHAR>;

// "3B 02 14 50" -> {0x3B, 0x02, 0x14, 0x50}; spaces are ignored.
inline Bytes Hex(const std::string& text) {
  Bytes bytes;
  std::string digits;
  for (char c : text) {
    if (c != ' ') digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<UCHAR>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

inline std::string ToHex(const UCHAR* bytes, size_t length) {
  std::string text;
  char part[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(part, sizeof(part), i == 0 ? "%02X" : " %02X", bytes[i]);
    text += part;
  }
  return text;
}

// An application's request: the SCARD_IO_REQUEST header {protocol, pci_length}, then `apdu`
// (hex) at 8; pci_length 0 gives `apdu` alone.
inline Bytes Request(ULONG protocol, const char* apdu, ULONG pci_length = 8) {
  Bytes request(pci_length == 0 ? 0 : 8);
  if (pci_length != 0) {
    std::memcpy(request.data(), &protocol, 4);
    std::memcpy(request.data() + 4, &pci_length, 4);
  }
  const Bytes bytes = Hex(apdu);
  request.insert(request.end(), bytes.begin(), bytes.end());
  return request;
}

}  // namespace tolvex::smclib_test
