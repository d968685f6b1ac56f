// Serial port driver: devices "\Device\Serial0" to "\Device\Serial3" over any LineBackend.
//
// Theory of operation
// -------------------
// LoadSerialDriver (serial_driver.cc) loads one driver with one device per PortBinding. Each
// device's extension holds a SerialPort, which implements the serial request set
// (platform/ntddser.h): reads, writes and the queue and time-out engine behind them in
// serial_port.cc, the control requests in one switch in serial_control.cc, where one helper
// checks every settings record's length.
//
// Threads and locks. Requests arrive on the callers' threads. Each port has one port thread
// that polls an event descriptor (woken on new requests, received bytes, cancellations) and,
// for a terminal, the device's descriptor; it receives bytes, runs the read and write
// time-outs and completes the requests that are due, at DISPATCH_LEVEL. Bytes that another
// thread brings (an in-memory line's far end) complete the reads and the wait they finish on
// that thread, at DISPATCH_LEVEL too; the port thread hears of them only when a read left
// pending has a deadline earlier than the one it sleeps to. One mutex per port guards its
// queues and settings; no request is completed while it is held.
//
// Requests that cannot finish at once are marked pending, get a cancel routine and wait in a
// queue: reads (first in, first served), writes, and the single wait-on-mask request. Whoever
// clears a request's cancel routine first owns its completion: the port thread when the
// request is due, or the cancel routine. A new wait mask (0 included) completes a pending wait
// with mask 0; a purge with SERIAL_PURGE_RXABORT / TXABORT completes pending reads / writes
// with STATUS_CANCELLED; the handle's cleanup completes all of them.
//
// Reads follow the serial time-out rules: with all read time-outs 0 a read waits for all its
// bytes; with an interval of MAXULONG and both totals 0 it returns at once with what is there;
// otherwise the total time-out (multiplier x length + constant) runs from the read's start and
// the interval time-out from each received byte. A read ended by a time-out completes with
// STATUS_TIMEOUT and the bytes it got. Writes complete when the line has taken all bytes, or
// with STATUS_TIMEOUT when the write time-outs end them first.
//
// Events. Received bytes set SERIAL_EV_RXCHAR (and SERIAL_EV_RXFLAG for the event character),
// modem line changes SERIAL_EV_DSR and friends, an emptied transmit queue SERIAL_EV_TXEMPTY —
// each only if the wait mask holds it. Events gather until a wait-on-mask request takes them,
// so an event between two waits is not lost.
//
// Every request is recorded (major function, control code, input bytes, length) for tests: the
// last kRequestRecordLimit at most. A reader serves dozens of requests per APDU for as long as
// it runs; once the record is full, its older half is let go.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "serial/line.h"

namespace tolvex::serial {

struct RequestRecord {
  UCHAR major = 0;
  ULONG code = 0;            // control code of a device control request, else 0
  std::vector<UCHAR> input;  // input buffer of a control request; the data of a write
  ULONG length = 0;          // output length of a control request; length of a read or write
};

class SerialPort final : private LineSink {
 public:
  SerialPort(ULONG index, std::shared_ptr<LineBackend> backend);
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  ULONG index() const { return index_; }
  LineBackend& backend() { return *backend_; }

  // What the port was asked, and its state, for tests.
  std::vector<RequestRecord> Requests() const;
  void ClearRequests();
  SERIAL_TIMEOUTS timeouts() const;
  LineSettings settings() const;
  ULONG wait_mask() const;
  size_t receive_queue() const;
  bool is_open() const;
  bool has_pending_wait() const;

  // Driver plumbing.
  void Start(platform::Platform& platform);
  void Stop();
  NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);

 private:
  using Clock = std::chrono::steady_clock;
  struct Completion {
    PIRP irp;
    NTSTATUS status;
    ULONG_PTR information;
  };
  struct ReadProgress {
    bool started = false;
    ULONG done = 0;
    bool return_on_any_byte = false;
    bool immediate = false;
    std::optional<Clock::time_point> total_deadline;
    std::optional<Clock::duration> interval;
    std::optional<Clock::time_point> interval_deadline;
  };
  struct WriteProgress {
    bool started = false;
    ULONG done = 0;
    std::optional<Clock::time_point> deadline;
  };

  // LineSink
  void Receive(std::span<const UCHAR> bytes) override;
  void ModemLinesChanged(ULONG events) override;
  void Wake() override;

  // Control requests (serial_control.cc).
  class ControlBuffers;
  NTSTATUS DeviceControl(PIRP irp, PIO_STACK_LOCATION stack);
  NTSTATUS ControlLocked(ULONG code, ControlBuffers& io, std::vector<Completion>& done);
  NTSTATUS ConfigureLocked(const LineSettings& next);
  NTSTATUS WaitOnMaskLocked(PIRP irp, ControlBuffers& io, std::vector<Completion>& done);
  SERIAL_STATUS TakeCommStatusLocked();

  NTSTATUS Read(PIRP irp, PIO_STACK_LOCATION stack);
  NTSTATUS Write(PIRP irp, PIO_STACK_LOCATION stack);
  NTSTATUS Create();
  NTSTATUS Cleanup();
  void Record(PIRP irp, PIO_STACK_LOCATION stack);

  // Queues a request as pending with the cancel routine, or completes it as cancelled if it
  // was cancelled already. Called with mutex_ held; may add to `done`.
  void PendLocked(PIRP irp, std::deque<PIRP>* queue, std::vector<Completion>& done);
  static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
  void Cancelled(PIRP irp);

  void ServiceLocked(std::vector<Completion>& done);
  void ServiceReadsLocked(Clock::time_point now, std::vector<Completion>& done);
  void ServiceWritesLocked(Clock::time_point now, std::vector<Completion>& done);
  void ServiceWaitLocked(std::vector<Completion>& done);
  void StartReadLocked(PIRP irp, Clock::time_point now);
  void AbortQueueLocked(std::deque<PIRP>& queue, std::vector<Completion>& done);
  void CompleteWaitLocked(ULONG mask, std::vector<Completion>& done);
  std::optional<Clock::time_point> NextDeadlineLocked() const;
  static void CompleteAll(std::vector<Completion>& done);

  void ThreadMain();

  const ULONG index_;
  std::shared_ptr<LineBackend> backend_;
  int wake_fd_ = -1;
  std::thread thread_;
  bool stop_ = false;  // guarded by mutex_

  mutable std::mutex mutex_;
  bool open_ = false;
  LineSettings settings_;
  SERIAL_TIMEOUTS timeouts_{};
  ULONG wait_mask_ = 0;
  ULONG history_ = 0;
  ULONG errors_ = 0;
  std::deque<UCHAR> received_;
  std::deque<PIRP> reads_;
  ReadProgress read_;
  std::deque<PIRP> writes_;
  WriteProgress write_;
  std::deque<PIRP> wait_;  // at most one
  // The port thread's identity, and the deadline it sleeps to (max: none), both as it last
  // looked under the lock.
  std::thread::id port_thread_;
  platform::Platform* platform_ = nullptr;  // set by Start, before the port can be opened
  Clock::time_point sleep_deadline_ = Clock::time_point::max();
  std::vector<RequestRecord> requests_;
};

struct PortBinding {
  ULONG index;  // 0 to 3: "\Device\Serial<index>"
  std::shared_ptr<LineBackend> backend;
};

// Loads the serial port driver with a device for each binding.
[[nodiscard]] NTSTATUS LoadSerialDriver(platform::Platform& platform,
                                        std::vector<PortBinding> bindings, PDRIVER_OBJECT* driver);
// The port behind a device of this driver.
SerialPort* PortOf(PDEVICE_OBJECT device);

// Size of the receive queue; bytes beyond it are dropped with SERIAL_ERROR_QUEUEOVERRUN.
inline constexpr size_t kReceiveQueueSize = 4096;
// The most requests a port keeps on record (Requests()).
inline constexpr size_t kRequestRecordLimit = 4096;

}  // namespace tolvex::serial
