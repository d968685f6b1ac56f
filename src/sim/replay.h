// ReplayReader: the reader's side of a recorded session, played back to a host.
//
// The recording is the frames on the line in their order (a wire trace: tolvex --trace --json,
// or the pcscd driver's trace file), each the host's or the reader's. The replay expects the
// host's frames in the recorded order; once the host has written one whole, it sends what the
// reader sent after it in the recording, up to the host's next frame (paced: after the
// recorded gap, measured from the host's frame). Whatever the reader sent before the host's
// first frame goes when the replay starts. Not paced, a frame the reader sent of its own
// accord (long after the frame before it) keeps its gap all the same. The first byte the host
// writes that differs from the recording stops the replay: nothing more is sent, and the
// mismatch says where. Any thread may ask for the state; HostWrote comes from the line's one
// delivery thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/bytes.h"

namespace tolvex::sim {

struct RecordedFrame {
  bool from_reader = false;
  std::chrono::microseconds at{0};  // since the recording began
  Bytes bytes;                      // as on the line
  std::string text;                 // as the recording words it ("host: read register 0")
};

struct ReplayMismatch {
  std::size_t frame = 0;  // its number in the recording, from 1
  RecordedFrame expected;
  Bytes written;  // what the host wrote where that frame was due (all of it that came)
};

class ReplayReader {
 public:
  // A reader frame this long after the frame before it was the reader's own doing, not an
  // answer: its gap is kept even when the replay is not paced.
  static constexpr std::chrono::milliseconds kOwnAccord{100};
  using Send = std::function<void(std::span<const std::uint8_t>)>;
  ReplayReader(std::vector<RecordedFrame> frames, Send send, bool paced);

  // Sends what the reader said before the host's first frame.
  void Start();
  void HostWrote(std::span<const std::uint8_t> bytes);

  std::optional<ReplayMismatch> mismatch() const;
  // Frames of the recording played so far (the host's matched, the reader's sent), and all.
  std::size_t played() const;
  std::size_t size() const { return frames_.size(); }

 private:
  // Sends the reader's frames from next_ on, up to the host's next one. Under mutex_.
  void SendReaderFrames(std::chrono::microseconds after);

  const std::vector<RecordedFrame> frames_;
  const Send send_;
  const bool paced_;
  mutable std::mutex mutex_;
  std::size_t next_ = 0;  // the next frame of the recording
  Bytes pending_;         // host bytes of the frame due, so far
  std::optional<ReplayMismatch> mismatch_;
};

}  // namespace tolvex::sim
