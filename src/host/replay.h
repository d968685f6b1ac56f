// Replay: a recorded session's reader on one of a host's ports, played back (sim/replay.h).
//
// A recording is a wire trace as `tolvex --trace --json` writes it, or the pcscd driver's
// TOLVEX_TRACE_FILE: one JSON object a line (host/wire_trace.h, TraceJson). The frames of one
// reader are played: the first port (or device) the file names. Attach puts the replay at the
// far end of an in-memory port of a host not yet started; the host's driver then talks to it
// as to the reader that was recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace tolvex::sim {
class ReplayReader;
}

namespace tolvex::host {

class Host;
class PtySimulator;

class Replay {
 public:
  struct Loaded;
  // The recording in `path`; null and why when it cannot be read.
  static Loaded Load(const std::string& path, bool paced);
  ~Replay();
  Replay(const Replay&) = delete;
  Replay& operator=(const Replay&) = delete;

  // Before host.Start(): port `index` is an in-memory line with the replay at its far end.
  void Attach(Host& host, unsigned index);
  // Or the far end of a pseudo-terminal, before a host opens its device (tolvex-sim --replay).
  void Attach(PtySimulator& pty);

  // Where the host first wrote something else than the recording: "frame 12 of 40: the
  // recording has host: write register 5 = 80 25 00 (85 80 25 00), the host wrote 85 80 26 00";
  // none while it follows the recording.
  std::optional<std::string> Mismatch() const;
  std::size_t played() const;
  std::size_t size() const;

 private:
  Replay() = default;
  std::unique_ptr<sim::ReplayReader> reader_;
  std::string source_;  // what the recording is of: "port 0", or the device
  // Where the reader's bytes go, once attached.
  std::function<void(std::span<const std::uint8_t>)> sink_;
};

struct Replay::Loaded {
  std::unique_ptr<Replay> replay;
  std::string error;
};

}  // namespace tolvex::host
