// The T=1 card: the card's side of the block protocol (blocks in t1_block.h).
//
// The card takes an I-block with the send-sequence number it expects and of at most IFSC
// bytes (TA3 of its ATR), chained ones (More bit) acknowledged with R(N(R) = the next N(S)),
// until the last one completes the command; it answers with I-blocks of its own sequence, at
// most IFSD bytes each (32 until the host's S(IFS request) says otherwise), chained and sent
// on as the host acknowledges each with R(N(R) = the next). An R-block that acknowledges
// nothing asks for the card's last block again. The card answers S(RESYNCH request) (both
// sequence numbers back to 0, IFSD back to 32 and IFSC back to TA3, chains dropped), S(IFS
// request) and S(ABORT request) with the matching response. When told to, it sends S(WTX
// request) and/or its own S(IFS request) before its next answer and waits for the matching
// response first, or aborts its next chained answer halfway with S(ABORT request) and, once
// the host has answered S(ABORT response), drops it and waits. A command is an APDU of up to
// 65,544 bytes (extended lengths); a longer chain is taken but not kept, and answered 6700.
// A block with a bad EDC (or a parity error, when told to fake one) is answered with
// R(N(R), EDC error); any other invalid block (unknown or malformed control byte, LEN above
// IFSC or FF, an N(S) out of turn, an unexpected response) with R(N(R), other error).
// The EDC is LRC, or CRC when TC3 of the ATR says so.
#pragma once

#include <memory>
#include <optional>

#include "sim/iso_card.h"

namespace tolvex::sim {

struct T1CardOptions {
  std::uint8_t ifsc = 32;           // TA3
  std::uint8_t bwi = 4, cwi = 5;    // TB3
  bool crc = false;                 // TC3 = 01
  Bytes historical = {0x54, 0x31};  // "T1"
  std::optional<Bytes> atr;         // replaces the ATR built from the fields above
  PtsPolicy pts = PtsPolicy::kAccept;
  std::uint32_t seed = 0x5EED;
  std::string model = "t1";
};

// 3B, T0, TD1 = 81, TD2 = 31 (71 with TC3), TA3, TB3, [TC3 = 01], historical bytes, TCK.
Bytes T1Atr(const T1CardOptions& options);
std::unique_ptr<ProtocolEngine> MakeT1Engine();
std::unique_ptr<Card> MakeT1Card(T1CardOptions options = {});

}  // namespace tolvex::sim
