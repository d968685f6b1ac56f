#include "serial/tapped_line.h"

#include <algorithm>

namespace tolvex::serial {

TappedLine::TappedLine(std::shared_ptr<LineBackend> line, LineObserver observer)
    : line_(std::move(line)), observer_(std::move(observer)) {}

void TappedLine::Attach(LineSink* sink) {
  if (sink != nullptr) {
    sink_ = sink;
    line_->Attach(this);
  } else {
    line_->Attach(nullptr);
    sink_ = nullptr;
  }
}

size_t TappedLine::Transmit(std::span<const UCHAR> bytes) {
  // The port serialises its writes: one Transmit at a time.
  std::chrono::steady_clock::time_point at;
  {
    std::lock_guard lock(mutex_);
    transmitting_ = true;
    at = std::chrono::steady_clock::now();
  }
  const size_t taken = line_->Transmit(bytes);
  std::lock_guard lock(mutex_);
  transmitting_ = false;
  if (taken != 0) observer_(LineTraffic{false, at, bytes.first(std::min(taken, bytes.size()))});
  for (const Held& held : held_) observer_(LineTraffic{true, held.at, held.bytes});
  held_.clear();
  return taken;
}

void TappedLine::Receive(std::span<const UCHAR> bytes) {
  {
    std::lock_guard lock(mutex_);
    const auto at = std::chrono::steady_clock::now();
    if (bytes.empty()) {
      // nothing to report
    } else if (transmitting_) {
      held_.push_back(Held{at, std::vector<UCHAR>(bytes.begin(), bytes.end())});
    } else {
      observer_(LineTraffic{true, at, bytes});
    }
  }
  sink_->Receive(bytes);
}

void TappedLine::ModemLinesChanged(ULONG events) {
  sink_->ModemLinesChanged(events);
}

void TappedLine::Wake() {
  sink_->Wake();
}

}  // namespace tolvex::serial
