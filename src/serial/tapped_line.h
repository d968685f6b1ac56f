// A line with a tap on it, as a serial port monitor has: every byte written to the line and
// every byte received from it, chunk by chunk as the port hands them over, each chunk with a
// monotonic time, goes to an observer. The tap sits between a port and any other line (an
// in-memory line, a terminal) and changes nothing of what passes.
//
// Order. The observer sees the chunks in the order the line carried them: bytes received while
// a write is being handed to the line are reported after that write (a reader's quick answer
// does not overtake the frame it answers). The tap's own lock is held only while the observer
// runs, never while calling the line or the port, so the observer must be quick and must not
// call either: queue the chunk and deal with it elsewhere.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "serial/line.h"

namespace tolvex::serial {

struct LineTraffic {
  bool from_device = false;  // received from the line; else written to it
  std::chrono::steady_clock::time_point at;
  std::span<const UCHAR> bytes;
};
using LineObserver = std::function<void(const LineTraffic&)>;

class TappedLine final : public LineBackend, private LineSink {
 public:
  TappedLine(std::shared_ptr<LineBackend> line, LineObserver observer);
  ~TappedLine() override = default;
  TappedLine(const TappedLine&) = delete;
  TappedLine& operator=(const TappedLine&) = delete;

  // --- LineBackend: all passed on; Transmit and received bytes reported. ---
  void Attach(LineSink* sink) override;
  NTSTATUS Open() override { return line_->Open(); }
  void Close() override { line_->Close(); }
  NTSTATUS Configure(const LineSettings& settings) override { return line_->Configure(settings); }
  size_t Transmit(std::span<const UCHAR> bytes) override;
  void Purge(ULONG mask) override { line_->Purge(mask); }
  ULONG ModemStatus() override { return line_->ModemStatus(); }
  void SetBreak(bool on) override { line_->SetBreak(on); }
  void SetDtr(bool on) override { line_->SetDtr(on); }
  void SetRts(bool on) override { line_->SetRts(on); }
  int PollDescriptor(bool want_write, short* events) override {
    return line_->PollDescriptor(want_write, events);
  }
  void OnPoll(short revents) override { line_->OnPoll(revents); }

 private:
  // --- LineSink: the line's calls, passed on to the port. ---
  void Receive(std::span<const UCHAR> bytes) override;
  void ModemLinesChanged(ULONG events) override;
  void Wake() override;

  struct Held {
    std::chrono::steady_clock::time_point at;
    std::vector<UCHAR> bytes;
  };

  const std::shared_ptr<LineBackend> line_;
  const LineObserver observer_;
  // The port, set before the line is attached to this tap and cleared after it is detached:
  // the line calls no sink after Attach(nullptr) returns.
  LineSink* sink_ = nullptr;

  std::mutex mutex_;           // held while the observer runs, and for the fields below
  bool transmitting_ = false;  // a write is being handed to the line
  std::vector<Held> held_;     // received meanwhile, reported after the write
};

}  // namespace tolvex::serial
