// The wire model: the least time a workload can take on the reader's wires, computed from the
// wires' parameters alone (bench/README.md tells the whole story).
//
// Three wires, each carrying one character at a time:
//   host to reader   19200 baud 8N1 (10 bit times a byte): the host's frames, one command
//                    byte and its value or data (at most 24 data bytes a frame); the host sends
//                    the next frame only once the reader has answered the last one (one byte);
//   reader to host   the same speed: the reader's answers, and the card's characters it relays
//                    as they come, 0x10 doubled, and the end-of-block report (0x10 0x83) the
//                    character waiting time after the card's last character;
//   the card's I/O   one ETU is F / D cycles of the card's clock; a character to the card takes
//                    the character guard time programmed in the reader (12 ETU and the card's
//                    extra guard time, at least 12 ETU), one from the card 12 ETU; the card starts
//                    its answer its turn-around after the last character it took, and its ATR a
//                    fixed number of clock cycles after the reset.
// The parameters are those the paced simulator uses (sim::LineTiming, sim::ReaderOptions) and
// the registers as the driver programmed them, so that a gap between the time a workload took
// and the model's time is the host's: the driver, the port, the platform.
//
// The block waiting time is a limit a card's answer must keep, not a wait: it never adds to
// the least time. In T=1 the block guard time (22 ETU between the starts of two characters in
// opposite directions) never binds either: the reader reports the end of the card's block only
// the character waiting time (at least 11 + 2^0 = 12 ETU, 47 for the simulated cards) after its
// last character, and the host's next frame needs a byte time (0.52 ms) on top.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/bytes.h"
#include "sim/pacing.h"
#include "sim/transcript.h"

namespace tolvex::bench {

using Nanos = std::chrono::nanoseconds;
using sim::Bytes;

// The card's side, as the card speaks and the driver programmed the reader.
struct CardWire {
  unsigned clocks_per_etu = 372;  // F / D
  int protocol = 0;               // 0 or 1
  unsigned guard = 0;             // register 1, with bit 7 of register 2 as its bit 8
  unsigned cwt_etu = 0;           // register 5: the end-of-block report comes this late
  // T=1: the card's EDC (1: LRC, 2: CRC), the largest information fields each way.
  std::size_t edc_size = 1;
  std::size_t ifsc = 32;
  std::size_t ifsd = 254;
};

struct Wires {
  sim::LineTiming timing;             // serial speed, the card's clock, its turn-around
  unsigned atr_delay_clocks = 10000;  // from the reset to the ATR's first character
  CardWire card;
};

// Where a workload's time goes. Every stretch of time from the host's first byte until it has
// what it waits for belongs to one phase: the one the host was waiting on when the stretch
// ended. Where two overlap (the card takes a frame's characters while the reader's answer to
// it is on its way), the first to end has the time up to its end and the other the rest (the
// frame up to the answer, the card's receiving after it), so the phases sum to the total.
struct Phases {
  Nanos frames{};      // the host's frames on the line and the reader's answer to each
  Nanos card_in{};     // the card taking the characters of a frame, after the answer is in
  Nanos turnaround{};  // the card's turn-around (and the reset's delay before an ATR)
  Nanos reply{};       // the card's characters, relayed to the host
  Nanos block_end{};   // the end-of-block report after the card's last character had reached
                       // the host (T=1)
  Nanos host{};        // the host's own time: none on the wires; the driver's and library's
                       // when achieved

  Nanos Sum() const { return frames + card_in + turnaround + reply + block_end + host; }
  Phases& operator+=(const Phases& other);
};

// Splits a timeline among the phases: Advance gives the time from the last point reached to
// `until` (if later) to `phase`.
class PhaseSplit {
 public:
  explicit PhaseSplit(Nanos start = Nanos(0)) : at_(start) {}
  void Advance(Nanos Phases::*phase, Nanos until) {
    if (until <= at_) return;
    phases_.*phase += until - at_;
    at_ = until;
  }
  Nanos at() const { return at_; }
  const Phases& phases() const { return phases_; }

 private:
  Nanos at_;
  Phases phases_;
};

// What a workload costs on the wires.
struct WireTime {
  Nanos total{};                   // from the host's first byte until it has what it waits for
  Phases phases;                   // the least time of each phase; they sum to the total, host is 0
  std::size_t host_to_reader = 0;  // bytes on each wire
  std::size_t reader_to_host = 0;
  std::size_t to_card = 0;
  std::size_t from_card = 0;
  int card_i_blocks = 0;  // T=1: I-blocks the card sent (each flips its send-sequence number)
  int host_i_blocks = 0;  // and the host
};

// The wires' clock, step by step as a host drives the reader. Times count from the moment
// the host starts.
class WireClock {
 public:
  explicit WireClock(const Wires& wires) : wires_(wires) {}

  // A register frame (1 command byte and `value_bytes`), answered with one byte.
  void Register(std::size_t value_bytes);
  // The reset command (a register write): the card's ATR follows at the default ETU; the host
  // waits for all of it (not for the end-of-block report).
  void Reset(std::span<const std::uint8_t> atr);
  // Data for the card, in frames of at most 24 bytes, each answered before the next.
  void ToCard(std::span<const std::uint8_t> data);
  // The card's answer to what it took: the host waits until all of it is through.
  void FromCard(std::span<const std::uint8_t> bytes);
  // The host waits for the reader's end-of-block report after the card's last character.
  void BlockEnd();
  // From now on the card speaks at this ETU (a PTS took effect).
  void SetClocksPerEtu(unsigned clocks) { wires_.card.clocks_per_etu = clocks; }

  WireTime time() const;

 private:
  void Frame(std::size_t bytes);
  void Relay(std::span<const std::uint8_t> bytes, Nanos first_start);
  Nanos Etus(double n) const { return wires_.timing.Etus(n, wires_.card.clocks_per_etu); }

  Wires wires_;
  WireTime time_;  // total and phases kept by split_
  PhaseSplit split_;
  Nanos out_free_{};  // the host-to-reader line is free from
  Nanos in_free_{};   // the reader-to-host line
  Nanos card_free_{};
  Nanos frame_in_{};  // the last frame was in the reader
};

// One APDU and its response (data and SW1 SW2), as the reader and the card carry them under
// the protocol of wires.card.
struct Apdu {
  Bytes command;
  Bytes response;
  // T=1: the send-sequence numbers of the host's and the card's next I-blocks, and whether the
  // host first announces its IFSD (after each reset, before the first I-block).
  int host_ns = 0;
  int card_ns = 0;
  bool announce_ifsd = false;
};

// T=0: the header, the card's ACK and the rest of the data (or ACK, data and the status bytes
// out), the status bytes; an APDU with both data and Le goes as its data alone, its response
// is then 61xx. T=1: the command in I-blocks of at most IFSC bytes, chained and each
// acknowledged by the card's R-block; the response in I-blocks of at most IFSD bytes, each
// but the last acknowledged by the host; every block of the card ends with its end-of-block
// report, which the host waits for.
WireTime ApduTime(const Wires& wires, const Apdu& apdu);

// A cold reset with a PTS: the card switched off and reset, its ATR read, the timing
// registers (guard time, character and block waiting times) programmed, the PTS request
// sent and its echo read at the ETU it announces, and the registers programmed again. `pts`
// is the request (PTS0 PTS1 PTS2 PCK), `clocks_after` the ETU it sets.
WireTime ColdResetTime(const Wires& wires, std::span<const std::uint8_t> atr,
                       std::span<const std::uint8_t> pts, unsigned clocks_after);

// The achieved phases of one APDU, from the simulator's transcript of it and the time the
// call took (`wall`). The transcript has when each host frame was in the reader, when each
// answer and report was through the serial line, and the card's characters with when the first
// of them was through; the card's side and the rest of its characters are replayed here as
// the simulator times them (the registers and the card's ETU in `wires`). The stretches are
// split as the model splits them; the host's phase is what lies between the reader's last byte
// and the host's next frame (but while the card still takes an earlier frame's characters, the
// card's), and what of `wall` lies outside the frames and the reader's bytes.
struct Achieved {
  Phases phases;
  // Between the reader's last byte and the host's next frame, all of it (also where the card's
  // line hid it), and the host's frames.
  Nanos gaps{};
  int frames = 0;
  bool matched = true;  // every first character replayed was through when the transcript says
};
Achieved TranscriptPhases(const sim::Transcript& transcript, const Wires& wires, Nanos wall);

// "host 6 B, reader 3 B, card 5 B in, 2 B out": the bytes on each wire, for people.
std::string Describe(const WireTime& time);

}  // namespace tolvex::bench
