// WireTrace: the bytes on the readers' lines, decoded, for a person to read: every frame the
// host writes and everything the reader sends, in the simulator's words ("host: write register
// 5 = 80 25 00", "reader: answer 90", "card: 3B 02 14 50", "reader: event end of block"), with
// the time since the trace began and the bytes as they were on the wire.
//
// Observer(port) gives what Host::Tap takes: it only queues a copy of each chunk, under a short
// lock. The trace's own thread decodes the chunks in order, one decoder per port, and hands each
// line to the printer. The card's bytes are gathered into one line until something else comes,
// or the line has been quiet for kQuiet. Finish (also the destructor) prints what is still
// queued or held back and stops the thread; the host's ports must be stopped first (no chunk
// may come after it).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"

namespace tolvex::sim {
class LineDecoder;
struct DecodedEntry;
}  // namespace tolvex::sim

namespace tolvex::host {

struct TraceLine {
  unsigned port = 0;
  bool from_reader = false;        // the reader sent it (card bytes included); else the host
  std::chrono::nanoseconds at{0};  // since the trace began
  std::vector<std::uint8_t> wire;  // as on the line
  std::string text;                // "host: read register 0", "card: 3B 02 14 50 (...)", ...
};

// "    12.345 ms  host: write register 5 = 80 25 00": how the tools print a trace line.
std::string TraceText(std::chrono::nanoseconds at, const std::string& text);
// The same for scripts, one JSON object a line (tolvex --trace --json, the pcscd driver's trace
// file): {"trace": text, "dir": "host" or "reader", "us": time, "bytes": "80 25 00", "port": n},
// and "device" when one is given (the pcscd driver's, one reader's device each).
std::string TraceJson(const TraceLine& line, const std::string& device = {});
// One such line read back (the time, dir, bytes and text; the port, and the device if there is
// one, in `device`, else "port N"); none, and why in `error`, for a line that is not one.
std::optional<TraceLine> ParseTraceJson(const std::string& text, std::string* device,
                                        std::string* error);

class WireTrace {
 public:
  static constexpr std::chrono::milliseconds kQuiet{50};
  using Printer = std::function<void(const TraceLine&)>;

  // Time 0 is now; `printer` is called on the trace's thread, one line at a time.
  explicit WireTrace(Printer printer);
  ~WireTrace();
  WireTrace(const WireTrace&) = delete;
  WireTrace& operator=(const WireTrace&) = delete;

  WireObserver Observer(unsigned port);
  void Finish();

 private:
  struct Chunk {
    unsigned port;
    bool from_reader;
    std::chrono::steady_clock::time_point at;
    std::vector<std::uint8_t> bytes;
  };
  void Run();
  void Print(unsigned port, const std::vector<sim::DecodedEntry>& entries);

  const Printer printer_;
  const std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Chunk> queue_;
  bool stop_ = false;
  std::map<unsigned, std::unique_ptr<sim::LineDecoder>> decoders_;  // the thread's own
  std::thread thread_;
};

}  // namespace tolvex::host
