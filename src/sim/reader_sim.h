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
//
// Timing (README.md, Timing): fast mode sends at once; paced mode on the wires' time; jitter
// mode (fast mode's decisions, sent at random moments drawn from a seed) cuts the reader's
// stream into pieces with random gaps between them, anywhere, even between the two bytes of
// an escaped pair, and holds each end-of-block report back a random time. An end-of-block
// report still held back when the host writes is withdrawn, so that it never follows the
// reader's answer to a later command; in fast and jitter modes nothing else does either.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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
  // Jitter: what fast mode would send, at random moments drawn from the seed (pacing.h).
  // Between any two bytes, none or a gap up to max_gap; before each end-of-block report,
  // none, up to max_gap, or up to block_end_max_delay. The same seed, host writes and card
  // moves give the same pieces in the same order (the wall clock's moments vary). Runs on the
  // scheduler thread. Not with `paced`: the constructor throws std::invalid_argument.
  std::optional<Jitter> jitter;
  LineTiming timing;
  // Paced: from a reset to the ATR's first character.
  unsigned atr_delay_clocks = 10'000;
  std::size_t transcript_limit = 100'000;
  // The challenges of the cards put in by model name: from each model's own seed (the same
  // bytes after every reset: for tests), from this seed, or (fresh) drawn anew at each reset.
  enum class Challenges { kModelSeed, kSeed, kFresh } challenges = Challenges::kModelSeed;
  std::uint32_t challenge_seed = 0;  // with kSeed
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
  // The ATR stops after TS and T0 (`t0`: sent instead of the card's own T0, e.g. 84 for an
  // ATR announcing TD1 and four historical bytes that never come). The end-of-block report
  // comes right behind T0 (kEarly), or `late` after it (kLate), as a real STC reports once the
  // character waiting time has passed; a host write before then withdraws the late report.
  void ShortAtr(int count = 1, ShortAtrReport report = ShortAtrReport::kEarly,
                std::chrono::milliseconds late = kShortAtrLateDefault,
                std::optional<std::uint8_t> t0 = std::nullopt);
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
  // Waits until everything decided so far has been sent (paced and jitter modes, or a late
  // report; at once otherwise).
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
  // `end_after`: the end-of-block report this long after the card's last character, instead
  // of the character waiting time.
  void Relay(const CardOutput& out, TimePoint start, std::string note = {},
             std::optional<Nanos> end_after = std::nullopt);
  void QueueJittered(LineItem item);
  // Takes back pending items from the scheduler (there must be one).
  std::vector<LineItem> Withdraw(TimePoint now, Withdrawal what);
  void RecordWithdrawn(const LineItem& item, TimePoint at);
  // The scheduler, started on first need in fast mode (a late report).
  Scheduler& scheduler();
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
  std::uint64_t epoch_ = 0;      // host writes and card stops so far
  std::optional<JitterSource> jitter_;
  TimePoint jitter_last_{};  // jitter: the ready time of the last piece queued

  // Paced and jitter modes, and fast mode once a report is held back. Declared last: it goes
  // first, while the rest is still there.
  std::unique_ptr<Scheduler> scheduler_;
};

}  // namespace tolvex::sim
