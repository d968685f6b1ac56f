// The simulator's transcript: every frame the host wrote and everything the reader sent,
// decoded, with the fields a test asserts on. Host frames are recorded as they come in, the
// reader's bytes as they go out (in paced mode, when the wire has carried them).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/bytes.h"
#include "sim/stream.h"

namespace tolvex::sim {

enum class EntryKind {
  // host
  kWriteRegister,  // reg, bytes = value (least significant first)
  kReadRegister,   // reg
  kWriteData,      // bytes = data for the card
  kBadFrame,       // bytes = what was thrown away
  // reader
  kAnswer,            // code = the answer byte
  kEvent,             // code = the event code
  kEventWithdrawn,    // code = the event code: a paced end-of-block report the host overtook
  kDamagedCharacter,  // code = the card's byte that went out as 10 88
  kNoise,             // bytes = stray bytes put on the line
  kDsr,               // on = the new level
  // card
  kCardBytes,  // bytes = what the card said (as it said it; the reader may have spoilt it)
};

enum class Origin { kHost, kReader, kCard };

struct TranscriptEntry {
  EntryKind kind = EntryKind::kAnswer;
  std::uint8_t reg = 0;
  std::uint8_t code = 0;
  Bytes bytes;
  bool on = false;
  // Why the reader did something unusual ("fault: negative answer"); empty as a rule.
  std::string note;
  // From the simulator's start: when the frame was in, or when the reader's bytes were through
  // the wire (paced mode; the times are computed, not measured). Fast mode: when it happened.
  std::chrono::nanoseconds at{0};

  Origin origin() const;
  // "host: write register 5 = 80 25 00", "reader: answer 90", "card: 3B 02 14 50", ...
  std::string ToString() const;
};

struct Transcript {
  std::vector<TranscriptEntry> entries;
  std::size_t dropped = 0;  // oldest entries let go to respect the simulator's limit

  std::size_t Count(EntryKind kind) const;
  // Entries of one kind, in order.
  std::vector<TranscriptEntry> Of(EntryKind kind) const;
  // One line per entry.
  std::string ToString() const;
};

// The transcript's entry for a frame from the host: its kind, register and bytes (the value
// written, the data for the card, or for a bad frame what was thrown away).
TranscriptEntry HostEntry(const HostFrame& frame);

}  // namespace tolvex::sim
