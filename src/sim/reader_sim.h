// The simulated reader (the STC) with a card in it, on the far end of a serial line.
// src/sim/README.md tells how it works: who calls it, its threads and its lock, and how a
// host frame flows to the card and back.
//
//   ReaderSim sim(Line{send, set_dsr});
//   sim.InsertCard(MakeCard("t1"));
//   line.SetListener([&](auto chunk) { sim.HostWrote(chunk); });
//
// Registers: 0 firmware revision (read only), 1 guard time (low 8 bits), 2 mode (bit 7: bit 8
// of the guard time; bits 0-1 retry count, kept but not acted on), 3 reset (1D resets the
// card and the reader relays its ATR), 4 power and status (00 switches the card off; reads
// give bit 0 = card in the reader), 5 character waiting time and 6 block waiting time (24
// bits, in ETU), 7 and 8 kept. Reads give the last value written (the low byte).
// Answers: 90 for a command carried out; 84 (kAnswerBadFrame) for a frame the reader cannot
// take, after which it ignores the rest of that write (stream.h).
// With no card, or an unpowered one, a reset or data is answered 90 and nothing follows.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "sim/card.h"
#include "sim/faults.h"
#include "sim/pacing.h"
#include "sim/stream.h"
#include "sim/transcript.h"

namespace tolvex::sim {

// The serial line's far end, as the host side wires it.
struct Line {
  std::function<void(std::span<const std::uint8_t>)> send;  // bytes to the host
  std::function<void(bool)> set_dsr;                        // the data-set-ready line
};

struct ReaderOptions {
  std::uint8_t firmware = 0x21;
  // Paced: bytes go out when the wires would have carried them (pacing.h); otherwise at once,
  // inside the call that caused them.
  bool paced = false;
  LineTiming timing;
  // Paced: from a reset to the ATR's first character.
  unsigned atr_delay_clocks = 10'000;
  std::size_t transcript_limit = 100'000;
  // Sees each transcript entry as it is recorded, under the simulator's lock: it must not
  // call the simulator.
  std::function<void(const TranscriptEntry&)> observer;
};

class ReaderSim {
 public:
  explicit ReaderSim(Line line, ReaderOptions options = {});
  ~ReaderSim();
  ReaderSim(const ReaderSim&) = delete;
  ReaderSim& operator=(const ReaderSim&) = delete;

  // Bytes the host wrote, split or merged any way.
  void HostWrote(std::span<const std::uint8_t> bytes);

  // A card goes in (one already in comes out first); `report`: send the insertion event.
  void InsertCard(std::unique_ptr<Card> card, bool report = true);
  // A card of a named model; false for an unknown name.
  bool InsertCard(std::string_view model, bool report = true);
  void RemoveCard(bool report = true);
  bool card_present() const;
  bool card_powered() const;
  std::string card_model() const;  // empty with no card
  // Runs `action` on the card under the simulator's lock (it must not call the simulator);
  // false with no card.
  bool WithCard(const std::function<void(Card&)>& action);

  // --- faults (faults.h) ---
  void NegativeAnswer(std::uint8_t answer = 0x81);
  void SilenceNextCommand();
  // The k-th card byte from now (k >= 1) goes out as 10 88.
  void DamageCardByte(int k);
  void SkipBlockEnd(int count = 1);
  void MuteAfterReset(int count = 1);
  void ShortAtr(int count = 1);
  void BadTs(int count = 1, std::uint8_t ts = 0x12);
  // `count` stray bytes, seeded, slipped in among the bytes the reader sends from now on.
  void LineNoise(std::uint32_t seed, int count);
  // Data-set-ready drops (false) or comes back (true).
  void SetDsr(bool on);
  void ReaderErrorNext();
  void ClearFaults();
  FaultState faults() const;

  std::uint32_t register_value(std::uint8_t reg) const;
  Transcript transcript() const;
  void ClearTranscript();
  // Waits until everything decided so far has been sent (paced mode; at once otherwise).
  bool WaitIdle(std::chrono::milliseconds timeout);
  const ReaderOptions& options() const { return options_; }

 private:
  // All of these run under mutex_.
  void Record(TranscriptEntry entry, TimePoint at);
  void Queue(LineItem item, TimePoint ready);
  void Answer(std::uint8_t answer, TimePoint at, std::string note = {});
  void Event(std::uint8_t code, TimePoint at);
  void Frame(const HostFrame& frame, TimePoint at);
  void ResetCard(TimePoint at);
  void StopCard(TimePoint now);
  void ToCard(std::span<const std::uint8_t> data, TimePoint at);
  void Relay(const CardOutput& out, TimePoint start, std::string note = {});
  Bytes AddNoise(const Bytes& wire, std::vector<TranscriptEntry>& entries);
  unsigned guard_time() const;
  // Outside the lock: hands queued items to the line, one caller at a time.
  void Drain();
  void Delivered(LineItem item);

  const Line line_;
  const ReaderOptions options_;
  const TimePoint start_;

  mutable std::mutex mutex_;
  std::condition_variable idle_cv_;
  FrameParser parser_;
  std::uint32_t registers_[9] = {};
  std::unique_ptr<Card> card_;
  bool card_mute_ = false;  // after a reset with the mute fault, until the next reset
  FaultState faults_;
  Transcript transcript_;
  Timeline timeline_;
  std::deque<LineItem> outbox_;  // for the line, in order
  bool draining_ = false;        // someone is handing the outbox to the line

  // Paced mode only. Declared last: it goes first, while the rest is still there.
  std::unique_ptr<Scheduler> scheduler_;
};

}  // namespace tolvex::sim
