#include "sim/replay.h"

#include <algorithm>
#include <thread>

namespace tolvex::sim {

ReplayReader::ReplayReader(std::vector<RecordedFrame> frames, Send send, bool paced)
    : frames_(std::move(frames)), send_(std::move(send)), paced_(paced) {}

void ReplayReader::Start() {
  std::lock_guard lock(mutex_);
  SendReaderFrames(std::chrono::microseconds(0));
}

void ReplayReader::SendReaderFrames(std::chrono::microseconds after) {
  const auto start = std::chrono::steady_clock::now();
  std::chrono::microseconds previous = after;
  while (next_ < frames_.size() && frames_[next_].from_reader) {
    const RecordedFrame& frame = frames_[next_++];
    // Paced, every gap is kept; otherwise only those of a reader that spoke up of its own
    // accord (a card put in or taken out while the host waited), not answering.
    if ((paced_ || frame.at - previous > kOwnAccord) && frame.at > after) {
      std::this_thread::sleep_until(start + (frame.at - after));
    }
    previous = frame.at;
    if (!frame.bytes.empty()) send_(frame.bytes);
  }
}

void ReplayReader::HostWrote(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  if (mismatch_) return;
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  while (!pending_.empty()) {
    if (next_ >= frames_.size()) {  // the host goes on past the end of the recording
      mismatch_ = ReplayMismatch{next_ + 1, RecordedFrame{false, {}, {}, "(the recording's end)"},
                                 pending_};
      return;
    }
    const RecordedFrame& due = frames_[next_];
    const std::size_t n = std::min(pending_.size(), due.bytes.size());
    if (!std::equal(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n),
                    due.bytes.begin())) {
      mismatch_ = ReplayMismatch{next_ + 1, due, pending_};
      return;
    }
    if (n < due.bytes.size()) return;  // the rest of the frame is still to come
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
    ++next_;
    SendReaderFrames(due.at);
  }
}

std::optional<ReplayMismatch> ReplayReader::mismatch() const {
  std::lock_guard lock(mutex_);
  return mismatch_;
}

std::size_t ReplayReader::played() const {
  std::lock_guard lock(mutex_);
  return next_;
}

}  // namespace tolvex::sim
