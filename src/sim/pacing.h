// Pacing: how long things take on the wires, and the thread that puts the reader's bytes on
// the serial line when their time has come.
//
// The serial line runs at 19200 baud, 8N1: 10 bit times a byte, each way. On the card's side
// one ETU is F / D clock cycles (372 at first) of the card's clock (3.58 MHz); a character to
// the card takes the character guard time of register 1 (12 ETU + the card's extra guard
// time), one from the card 12 ETU. The reader keeps, for each wire, when it is next free (Timeline)
// and gives every byte it sends a due time; the Scheduler delivers in due order.
//
// Jitter instead gives the bytes random moments, drawn from a seed (JitterSource), so that the
// host sees the same stream cut into different pieces arriving at different times.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "sim/bytes.h"
#include "sim/transcript.h"

namespace tolvex::sim {

using SimClock = std::chrono::steady_clock;
using TimePoint = SimClock::time_point;
using Nanos = std::chrono::nanoseconds;

struct LineTiming {
  std::uint32_t baud = 19200;
  std::uint32_t card_clock_hz = 3'580'000;
  // The card's turn-around: ETU from the end of the last character it takes to the start of
  // its answer. The simulated cards answer at once; a real card's working time goes here.
  unsigned card_turnaround_etu = 0;

  // n bytes on the serial line.
  Nanos SerialBytes(std::size_t n) const;
  // n cycles of the card's clock.
  Nanos Clocks(double n) const;
  // n ETU at `clocks_per_etu`.
  Nanos Etus(double n, unsigned clocks_per_etu) const { return Clocks(n * clocks_per_etu); }
  // A character to the card under the character guard time `guard` (register 1, bit 7 of
  // register 2 above it): the ETU from one character's start to the next's, 12 + the card's
  // extra guard time N as the host programs it (13 + N under T=0, 12 + N under T=1, 13 at a
  // reset). Never less than 12: a register below that still takes a whole character.
  Nanos CharacterToCard(unsigned guard, unsigned clocks_per_etu) const;
  // A character from the card.
  Nanos CharacterFromCard(unsigned clocks_per_etu) const { return Etus(12, clocks_per_etu); }
};

// When each wire is next free; times run ahead of the clock while bytes are on their way.
struct Timeline {
  TimePoint host_in{};  // the host's bytes to the reader
  TimePoint card{};     // the card's I/O line, both ways

  // The host wrote n bytes at `now`: when the first starts arriving.
  TimePoint HostWrote(TimePoint now, std::size_t n, const LineTiming& timing);
};

// Random delays on the reader's bytes to the host (ReaderOptions::jitter).
struct Jitter {
  std::uint64_t seed = 1;
  // Between two bytes: none one time in four (within one answer, event or run of the card's
  // characters, the two then go in one piece), else up to this.
  Nanos max_gap = std::chrono::microseconds(300);
  // From the card's last character to the end-of-block report: none one time in four, up to
  // max_gap one time in four, else up to this.
  Nanos block_end_max_delay = std::chrono::milliseconds(20);
};

// The jitter's random choices: the same seed gives the same delays in the same order
// (splitmix64, the same on every machine).
class JitterSource {
 public:
  explicit JitterSource(const Jitter& jitter) : jitter_(jitter), state_(jitter.seed) {}
  Nanos Gap();
  Nanos BlockEnd();

 private:
  std::uint64_t Next();
  // 0 to `max`, both included.
  Nanos UpTo(Nanos max);

  const Jitter jitter_;
  std::uint64_t state_;
};

// What Scheduler::Withdraw takes back.
enum class Withdrawal {
  kBlockEnds,  // end-of-block reports
  kCardItems,  // everything from the card
};

// One thing for the line: bytes for the host, or a data-set-ready change.
struct LineItem {
  Bytes bytes;
  std::optional<bool> dsr;
  std::vector<TranscriptEntry> entries;  // recorded as it goes out
  TimePoint ready{};                     // when the reader has it to send
  TimePoint due{};                       // when it is through the wire (set on delivery)
  bool from_card = false;  // the card's characters and what the reader says about them
  bool block_end = false;
  // An end-of-block report kept back this long after the card's last character, whatever the
  // character waiting time (a late report after a cut-short ATR).
  std::optional<Nanos> hold;
  // Jitter cuts the reader's bytes into pieces: this one starts with the second byte of an
  // escaped pair (10 xx), and is withdrawn only together with the piece before it.
  bool continues_pair = false;
  // Fast mode, held items: the reader's count of host writes and card stops when it decided
  // on the item; a later one overtook it.
  std::uint64_t epoch = 0;
};

// Delivers items on a thread of its own in the order of their ready times (equal times in the
// order given): with a LineTiming, each when the serial line has carried it (paced mode);
// without, at its ready time. The delivery function runs on that thread with no lock of the
// scheduler held.
class Scheduler {
 public:
  using Deliver = std::function<void(LineItem)>;
  Scheduler(std::optional<LineTiming> timing, Deliver deliver);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  void Add(LineItem item);
  // Takes back what the reader did not yet have at `now` and matches `what`. A piece that
  // continues an escaped pair goes only with the piece before it, so that the host never gets
  // half a pair.
  std::vector<LineItem> Withdraw(TimePoint now, Withdrawal what);
  // The latest ready time of the items queued; the clock's zero with none.
  TimePoint LastReady();
  // Waits until nothing is queued or being delivered.
  bool WaitIdle(std::chrono::milliseconds timeout);

 private:
  void Run();

  const std::optional<LineTiming> timing_;
  Deliver deliver_;
  TimePoint line_free_{};  // the serial line to the host
  std::mutex mutex_;
  std::condition_variable cv_;
  std::multimap<TimePoint, LineItem> queue_;
  bool delivering_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace tolvex::sim
