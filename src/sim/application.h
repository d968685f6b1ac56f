// The small ISO/IEC 7816-4 application every simulated card serves, whatever its protocol.
//
//   00 A4 04 00 Lc AID     SELECT the application by its AID (kAid)
//   00 A4 00 00 02 FID     SELECT a file: kFileId (the transparent file) or 3F00 (the master
//                          file, no current EF); P2 00 or 0C
//   00 B0 P1 P2 Le         READ BINARY of the current EF at offset P1 P2 (15 bits); fewer bytes
//                          than Le near the end (SW 6282)
//   00 84 00 00 Le         GET CHALLENGE: Le bytes from the card's seeded generator, which
//                          starts again at every reset (so the same seed gives the same bytes)
//   80 EE 00 00 Lc data Le ECHO: returns its data (at most Le bytes of it)
// Le 00 means 256. Extended lengths (a 00, then Lc and Le in two bytes each, Le 00 00 meaning
// 65,536) are served too: ECHO of any length, GET CHALLENGE of up to 65,536 bytes. Errors: 6700
// wrong length, 6A82 file or application not found, 6B00 wrong P1-P2 (also an offset past the end),
// 6D00 INS not supported, 6E00 CLA not supported, 6986 no current EF.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "sim/bytes.h"

namespace tolvex::sim {

struct Apdu {
  std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
  Bytes data;
  std::optional<int> le;  // 1 to 65,536; none: no response data expected
};

struct Response {
  Bytes data;
  std::uint16_t sw = 0x9000;
  Bytes ToBytes() const;  // data, SW1, SW2
};

// Which way a command's data goes, as a T=0 card must tell from the header alone.
enum class Direction { kUnknownClass, kUnknownInstruction, kIn, kOut };

class Application {
 public:
  static constexpr std::uint8_t kInsSelect = 0xA4;
  static constexpr std::uint8_t kInsReadBinary = 0xB0;
  static constexpr std::uint8_t kInsGetChallenge = 0x84;
  static constexpr std::uint8_t kInsGetResponse = 0xC0;
  static constexpr std::uint8_t kInsEcho = 0xEE;
  static constexpr std::uint8_t kClaProprietary = 0x80;
  static constexpr std::uint16_t kFileId = 0x0101;
  static constexpr std::size_t kFileSize = 320;

  explicit Application(std::uint32_t seed = 0x5EED);

  // After a reset: nothing selected, the challenge generator from its seed, or from a seed
  // drawn afresh at each reset when it has none.
  void Reset();
  // The seed of the challenges from the next reset on; none: a new one at each reset.
  void SetSeed(std::optional<std::uint32_t> seed) { seed_ = seed; }
  Direction DirectionOf(std::uint8_t cla, std::uint8_t ins) const;
  Response Process(const Apdu& apdu);

  // An APDU (cases 1 to 4, short or extended) from its bytes; none if malformed.
  static std::optional<Apdu> Parse(std::span<const std::uint8_t> bytes);
  static const Bytes& Aid();
  static const Bytes& FileContents();
  // The first n challenge bytes a card with this seed gives after a reset.
  static Bytes ChallengeBytes(std::uint32_t seed, std::size_t n);

 private:
  Response Select(const Apdu& apdu);
  Response ReadBinary(const Apdu& apdu) const;
  Response GetChallenge(const Apdu& apdu);

  std::optional<std::uint32_t> seed_;
  std::uint32_t generator_;
  bool file_selected_ = false;
};

}  // namespace tolvex::sim
