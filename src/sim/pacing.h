// Pacing: how long things take on the wires, and the thread that puts the reader's bytes on
// the serial line when their time has come.
//
// The serial line runs at 19200 baud, 8N1: 10 bit times a byte, each way. On the card's side
// one ETU is F / D clock cycles (372 at first) of the card's clock (3.58 MHz); a character to
// the card takes 12 ETU plus the guard time N of register 1 (N = 255: 11 ETU in T=1), one
// from the card 12 ETU. The reader keeps, for each wire, when it is next free (Timeline) and
// gives every byte it sends a due time; the Scheduler delivers in due order.
#pragma once

#include <chrono>
#include <condition_variable>
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

  // n bytes on the serial line.
  Nanos SerialBytes(std::size_t n) const;
  // n cycles of the card's clock.
  Nanos Clocks(double n) const;
  // n ETU at `clocks_per_etu`.
  Nanos Etus(double n, unsigned clocks_per_etu) const { return Clocks(n * clocks_per_etu); }
  // A character to the card with guard time n (register 1, bit 7 of register 2 above it).
  Nanos CharacterToCard(unsigned guard, int protocol, unsigned clocks_per_etu) const;
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

// One thing for the line: bytes for the host, or a data-set-ready change.
struct LineItem {
  Bytes bytes;
  std::optional<bool> dsr;
  std::vector<TranscriptEntry> entries;  // recorded as it goes out
  TimePoint ready{};                     // when the reader has it to send
  TimePoint due{};                       // when it is through the wire (set on delivery)
  bool from_card = false;  // the card's characters and what the reader says about them
  bool block_end = false;
};

// Delivers items on a thread of its own in the order of their ready times (equal times in the
// order given), each when the serial line has carried it. The delivery function runs on that
// thread with no lock of the scheduler held.
class Scheduler {
 public:
  using Deliver = std::function<void(LineItem)>;
  Scheduler(LineTiming timing, Deliver deliver);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  void Add(LineItem item);
  // Takes back what the reader did not yet have at `now` and matches: end-of-block reports,
  // or everything from the card.
  std::vector<LineItem> Withdraw(TimePoint now, bool card_items);
  // Waits until nothing is queued or being delivered.
  bool WaitIdle(std::chrono::milliseconds timeout);

 private:
  void Run();

  const LineTiming timing_;
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
