// Byte strings for the smart card library's tests, written, compared and printed in hex.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "host/hex.h"
#include "platform/ntdef.h"

namespace tolvex::smclib_test {

using Bytes = std::vector<UCHAR>;

// "3B 02 14 50" -> {0x3B, 0x02, 0x14, 0x50}, and back.
inline Bytes Hex(const std::string& text) {
  return *host::ParseHex(text);
}

inline std::string ToHex(const UCHAR* bytes, size_t length) {
  return host::Hex({bytes, length});
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
