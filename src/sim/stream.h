// The two byte streams on the serial line between the host and the reader.
//
// Host to reader: frames. The first byte carries the command in its two high bits and a
// register number or a length in its low six bits:
//   0x80|reg value...   write register; 1 value byte, or 3 (least significant first) for
//                       registers 5 and 6
//   0xC0|reg            read register
//   0x40|n data...      write data for the card, n = 0 to 24
// FrameParser cuts frames out of the stream whatever the chunks it comes in.
//
// Reader to host: everything is escaped (0x10 goes as 0x10 0x10); 0x10 followed by another
// code is an event. StreamDecoder undoes this, for tests and tools on the host's side.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "sim/bytes.h"

namespace tolvex::sim {

inline constexpr std::uint8_t kEscape = 0x10;
inline constexpr std::uint8_t kAnswerOk = 0x90;
// The reader's answer to a frame it cannot take (unknown command, no such register, more
// than 24 data bytes, a write to the read-only revision register).
inline constexpr std::uint8_t kAnswerBadFrame = 0x84;
inline constexpr std::size_t kMaxDataFrame = 24;

// Event codes, sent after the escape byte.
inline constexpr std::uint8_t kEventBlockEnd = 0x83;
inline constexpr std::uint8_t kEventReaderError = 0x84;
inline constexpr std::uint8_t kEventCardInserted = 0x85;
inline constexpr std::uint8_t kEventCardRemoved = 0x86;
inline constexpr std::uint8_t kEventCharacterError = 0x88;

// "end of block", "card inserted", ...; "event XX" for other codes.
std::string EventName(std::uint8_t code);

// Appends a byte as it goes on the line: 0x10 doubled.
void AppendEscaped(Bytes& out, std::uint8_t byte);
void AppendEscaped(Bytes& out, std::span<const std::uint8_t> bytes);
// Appends an event: 0x10 and the code.
void AppendEvent(Bytes& out, std::uint8_t code);

// One thing the reader said: a data byte, or an event.
struct StreamItem {
  bool event = false;
  std::uint8_t value = 0;
  friend bool operator==(const StreamItem&, const StreamItem&) = default;
};

// Undoes the escaping; an escape byte at the end of a chunk waits for the next one.
class StreamDecoder {
 public:
  void Feed(std::span<const std::uint8_t> chunk, std::vector<StreamItem>& out);
  bool escape_pending() const { return escape_pending_; }

 private:
  bool escape_pending_ = false;
};

// Width of a register's value in bytes: 1, or 3 for registers 5 and 6; 0: no such register.
int RegisterWidth(std::uint8_t reg);

enum class FrameKind { kWriteRegister, kReadRegister, kWriteData, kBad };

struct HostFrame {
  FrameKind kind = FrameKind::kBad;
  std::uint8_t reg = 0;  // registers
  Bytes payload;         // register value (least significant first) or data for the card
  Bytes raw;             // the frame as written (kBad: the bytes thrown away)
  // Index, in the chunk that completed the frame, of its last byte.
  std::size_t end_offset = 0;
};

// Cuts the host's stream into frames. A first byte that starts no valid frame makes a kBad
// frame of itself and the rest of its chunk: the host writes each frame with one write, so
// the next write starts afresh, while the rest of a bad one is no command to be obeyed.
class FrameParser {
 public:
  void Feed(std::span<const std::uint8_t> chunk, std::vector<HostFrame>& frames);
  bool mid_frame() const { return !pending_.empty(); }
  // The bytes of the frame begun and not yet complete.
  const Bytes& pending() const { return pending_; }
  void Reset() { pending_.clear(); }

 private:
  // Bytes still needed for the frame in pending_; 0 when it is complete.
  std::size_t Missing() const;
  Bytes pending_;
};

}  // namespace tolvex::sim
