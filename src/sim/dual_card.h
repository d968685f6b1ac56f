// The dual-protocol card: its ATR offers T=0 (TD1) and T=1 (TD2, with TA3 IFSC and TB3 BWI
// and CWI), and Fi and Di in TA1. It speaks T=0 after a reset, and whichever protocol a PTS
// request right after the ATR selects (at the speed of TA1 when PTS1 asks for it). Its PTS
// policy can make it refuse, once or always (iso_card.h).
#pragma once

#include <memory>
#include <optional>

#include "sim/t0_card.h"
#include "sim/t1_card.h"

namespace tolvex::sim {

struct DualCardOptions {
  std::uint8_t ta1 = 0x13;  // Fi 372, Di 4: 93 clocks per ETU after a PTS that takes it
  std::uint8_t ifsc = 32;
  std::uint8_t bwi = 4, cwi = 5;
  Bytes historical = {0x44, 0x55};  // "DU"
  std::optional<Bytes> atr;         // replaces the ATR built from the fields above
  T0Options t0;
  PtsPolicy pts = PtsPolicy::kAccept;
  std::uint32_t seed = 0x5EED;
  std::string model = "dual";
};

// 3B, T0, TA1, TD1 = 80 (T=0), TD2 = 31 (T=1), TA3, TB3, historical bytes, TCK.
Bytes DualAtr(const DualCardOptions& options);
std::unique_ptr<Card> MakeDualCard(DualCardOptions options = {});

}  // namespace tolvex::sim
