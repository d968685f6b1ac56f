// Protocol type selection (PTS): the host's request right after the ATR and the card's answer.
//
// A request is PTSS (FF), PTS0 (bits 5-7: PTS1 to PTS3 follow; bits 1-4: the protocol),
// PTS1 (Fi and Di, coded as in TA1) if announced, PTS2 and PTS3 if announced, and PCK, which
// makes the exclusive-or of all the bytes zero.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "sim/bytes.h"

namespace tolvex::sim {

inline constexpr std::uint8_t kPtss = 0xFF;

// Gathers a request byte by byte.
class PtsCollector {
 public:
  // Takes what belongs to the request from the front of `bytes`; how many it took.
  std::size_t Feed(std::span<const std::uint8_t> bytes);
  bool complete() const;
  // Complete, starting with PTSS, and PCK right.
  bool well_formed() const;
  int protocol() const { return bytes_.size() > 1 ? bytes_[1] & 0x0F : -1; }
  std::optional<std::uint8_t> pts1() const;
  const Bytes& bytes() const { return bytes_; }
  void Reset() { bytes_.clear(); }

 private:
  std::size_t Length() const;  // of the whole request, once PTS0 is in
  Bytes bytes_;
};

// An answer (or request): PTSS, PTS0 for `protocol` announcing PTS1 if given, PTS1, PCK.
Bytes BuildPts(int protocol, std::optional<std::uint8_t> pts1);

}  // namespace tolvex::sim
