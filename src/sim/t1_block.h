// T=1 blocks: NAD PCB LEN INF EDC, their control bytes and their check codes.
//
// PCB: I-block 0 N(S) M 0 0 0 0 0; R-block 1 0 0 N(R) 0 0 e e (e: 0 fine, 1 EDC or parity
// error, 2 other error); S-block 1 1 response type (0 RESYNCH, 1 IFS, 2 ABORT, 3 WTX).
// EDC: LRC, the exclusive-or of the block's bytes; or CRC, two bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "sim/bytes.h"

namespace tolvex::sim::t1 {

enum class Edc { kLrc, kCrc };

inline constexpr std::uint8_t kSResynch = 0x00;
inline constexpr std::uint8_t kSIfs = 0x01;
inline constexpr std::uint8_t kSAbort = 0x02;
inline constexpr std::uint8_t kSWtx = 0x03;
inline constexpr std::uint8_t kSResponse = 0x20;
inline constexpr std::uint8_t kRFine = 0;
inline constexpr std::uint8_t kREdcError = 1;
inline constexpr std::uint8_t kROtherError = 2;
inline constexpr std::size_t kMaxInf = 254;

inline std::size_t EdcSize(Edc edc) {
  return edc == Edc::kCrc ? 2 : 1;
}

std::uint8_t Lrc(std::span<const std::uint8_t> bytes);
// CRC-16 of ISO 3309 (the HDLC frame check sequence): polynomial x^16 + x^12 + x^5 + 1, bits
// taken least significant first, register preset to FFFF, complemented at the end. The block
// carries it least significant byte first. "123456789" gives 906E.
std::uint16_t Crc16(std::span<const std::uint8_t> bytes);

inline std::uint8_t IPcb(int ns, bool more) {
  return static_cast<std::uint8_t>((ns & 1) << 6 | (more ? 0x20 : 0));
}
inline std::uint8_t RPcb(int nr, std::uint8_t error) {
  return static_cast<std::uint8_t>(0x80 | (nr & 1) << 4 | (error & 0x03));
}
enum class SDirection {
  kRequest,
  kResponse,
};
inline std::uint8_t SPcb(std::uint8_t type, SDirection direction) {
  return static_cast<std::uint8_t>(0xC0 | (direction == SDirection::kResponse ? kSResponse : 0) |
                                   type);
}
inline bool IsI(std::uint8_t pcb) {
  return (pcb & 0x80) == 0;
}
inline bool IsR(std::uint8_t pcb) {
  return (pcb & 0xC0) == 0x80;
}
inline bool IsS(std::uint8_t pcb) {
  return (pcb & 0xC0) == 0xC0;
}
inline int Ns(std::uint8_t pcb) {
  return pcb >> 6 & 1;
}
inline bool More(std::uint8_t pcb) {
  return (pcb & 0x20) != 0;
}
inline int Nr(std::uint8_t pcb) {
  return pcb >> 4 & 1;
}

struct Block {
  std::uint8_t nad = 0;
  std::uint8_t pcb = 0;
  Bytes inf;
};

// NAD PCB LEN INF EDC.
Bytes Encode(const Block& block, Edc edc);
// A whole block from its bytes: none if its length or EDC is wrong.
std::optional<Block> Decode(std::span<const std::uint8_t> bytes, Edc edc);
// "I(0, more) 00 A4 ...", "R(1, EDC error)", "S(WTX request) 02", for transcripts and tests.
std::string Describe(const Block& block);

}  // namespace tolvex::sim::t1
