// An in-memory serial line: a byte pipe between a serial port and a far end that plays the
// device on the other side (a test's scripted reader, or the reader simulator).
//
// The far end sends bytes to the host with Send() and raises data-set-ready changes with
// SetDsr(), from any thread. What the host writes arrives, one chunk per write request, either
// at a listener, called in order on the line's own delivery thread, or in a buffer that the
// far end takes with TakeWritten(). Bytes are delivered at once: the line has no baud-rate
// pacing of its own.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "serial/line.h"

namespace tolvex::serial {

class MemoryLine final : public LineBackend {
 public:
  MemoryLine() = default;
  ~MemoryLine() override;
  MemoryLine(const MemoryLine&) = delete;
  MemoryLine& operator=(const MemoryLine&) = delete;

  // --- the far end ---
  void Send(std::span<const UCHAR> bytes);
  void Send(std::initializer_list<UCHAR> bytes) { Send(std::span<const UCHAR>(bytes)); }
  void SetDsr(bool on);
  std::vector<UCHAR> TakeWritten();
  using Listener = std::function<void(std::span<const UCHAR> chunk)>;
  // Replaces the listener (null: writes are kept for TakeWritten). Not from inside a listener.
  void SetListener(Listener listener);
  // Waits until every chunk written so far has been handed to the listener and the listener
  // has returned (the far end has taken it in); at once without a listener.
  void WaitDelivered();
  bool is_open() const;
  LineSettings settings() const;
  // The next open of the port fails with `status`.
  void FailNextOpen(NTSTATUS status);
  // While held, the line takes none of the host's bytes, as a line held up by its flow control:
  // the port keeps them, and its write time-outs end the writes.
  void HoldWrites(bool hold);

  // --- LineBackend ---
  void Attach(LineSink* sink) override;
  NTSTATUS Open() override;
  void Close() override;
  NTSTATUS Configure(const LineSettings& settings) override;
  size_t Transmit(std::span<const UCHAR> bytes) override;
  void Purge(ULONG) override {}
  ULONG ModemStatus() override;
  void SetBreak(bool) override {}
  void SetDtr(bool) override {}
  void SetRts(bool) override {}
  [[nodiscard]] bool DsrChanged() const override;

 private:
  void DeliveryLoop();
  void StopDelivery();

  // Held while calling into the port, never while the port calls in.
  std::mutex sink_mutex_;
  LineSink* sink_ = nullptr;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
  bool dsr_ = true;
  bool dsr_changed_ = false;  // while open
  NTSTATUS fail_open_ = STATUS_SUCCESS;
  bool hold_writes_ = false;
  LineSettings settings_;
  std::deque<std::vector<UCHAR>> written_;
  Listener listener_;
  std::thread delivery_;
  bool stop_delivery_ = false;
  bool delivering_ = false;  // a chunk is with the listener
};

}  // namespace tolvex::serial
