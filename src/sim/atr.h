// Answers to reset: reading what an ATR offers, and the check byte when building one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/bytes.h"

namespace tolvex::sim {

struct AtrInfo {
  bool valid = false;  // TS, structure and TCK (when one is due) all right
  std::optional<std::uint8_t> ta1;
  std::uint8_t tc1 = 0;            // extra guard time
  std::vector<int> protocols;      // offered, in order; {0} when there is no TD1
  std::uint8_t ifsc = 32;          // T=1: first TA after a TD announcing T=1 (i >= 3)
  std::uint8_t bwi = 4, cwi = 13;  // T=1: first TB after it
  bool crc = false;                // T=1: first TC after it, bit 0
  Bytes historical;

  bool Offers(int protocol) const;
  int default_protocol() const { return protocols.empty() ? 0 : protocols.front(); }
};

AtrInfo ParseAtr(std::span<const std::uint8_t> atr);

// Appends TCK (exclusive-or of T0 to the last historical byte) to an ATR without one.
Bytes WithTck(Bytes atr);

// Clock rate conversion F and baud rate adjustment D of a TA1 / PTS1 nibble; 0 for reserved.
unsigned FiValue(std::uint8_t index);
unsigned DiValue(std::uint8_t index);
// F / D of a TA1 / PTS1 byte; 0 if either is reserved.
unsigned ClocksPerEtu(std::uint8_t ta1);

}  // namespace tolvex::sim
