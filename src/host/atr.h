// An ATR described for people: its parts and what the smart card library makes of it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tolvex::host {

struct AtrDescription {
  bool valid = false;
  std::string problem;  // when not valid: the library's status, in words
  std::uint8_t ts = 0;
  bool inverse = false;
  std::uint8_t t0 = 0;
  struct InterfaceByte {
    std::string name;  // "TA1", "TD2", ...
    std::uint8_t value;
  };
  std::vector<InterfaceByte> interface_bytes;
  std::uint32_t protocols = 0;  // bit 0 T=0, bit 1 T=1
  unsigned fi = 372;
  unsigned di = 1;
  unsigned n = 0;
  unsigned wi = 0;  // 0: not given (10 applies)
  unsigned ifsc = 32;
  unsigned cwi = 0;  // 0: not given (13 applies)
  unsigned bwi = 0;  // 0: not given (4 applies)
  bool crc = false;
  std::vector<std::uint8_t> historical;
  std::optional<std::uint8_t> tck;
};

// Describes an ATR as a reader on this driver sees it (3.58 MHz, 9600 bit/s).
AtrDescription DescribeAtr(std::span<const std::uint8_t> atr);

}  // namespace tolvex::host
