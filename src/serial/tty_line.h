// A serial line on a POSIX terminal device: a real port (/dev/ttyS*, /dev/ttyUSB*) or a
// pseudo-terminal.
//
// The port's create request opens the device (non-blocking, exclusive: TIOCEXCL and an
// advisory lock, so a second user gets STATUS_SHARING_VIOLATION) and its close request closes
// it. Settings go to termios in raw mode: baud rate, word length, parity, stop bits, and flow
// control only as the port is told (the reader driver asks for none). The port thread polls
// the descriptor: received bytes go to the port as they come; bytes to send are written as the
// device takes them.
//
// Modem lines. A watcher thread waits for the modem lines to change (TIOCMIWAIT) and reports
// data-set-ready, clear-to-send, carrier and ring changes. Devices without modem lines (pseudo-
// terminals) refuse that wait: they simply report none. The watcher is woken for closing by a
// real-time signal with an empty handler. A device that hangs up or fails (a USB adapter
// pulled out, the far end of a pseudo-terminal gone) is reported as a data-set-ready change,
// once, and is not polled any more; from then on (or from a write the device refused) the line
// says it is Gone, until it is opened again. Asked before the port thread has polled, the line
// asks the descriptor itself, so a device gone before the question is gone in the answer.
//
// Errors of the system calls become status values in one place, StatusFromErrno.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "serial/line.h"

namespace tolvex::serial {

NTSTATUS StatusFromErrno(int error);

class TtyLine final : public LineBackend {
 public:
  explicit TtyLine(std::string path);
  ~TtyLine() override;
  TtyLine(const TtyLine&) = delete;
  TtyLine& operator=(const TtyLine&) = delete;

  const std::string& path() const { return path_; }

  void Attach(LineSink* sink) override;
  NTSTATUS Open() override;
  void Close() override;
  NTSTATUS Configure(const LineSettings& settings) override;
  size_t Transmit(std::span<const UCHAR> bytes) override;
  void Purge(ULONG mask) override;
  ULONG ModemStatus() override;
  void SetBreak(bool on) override;
  void SetDtr(bool on) override;
  void SetRts(bool on) override;
  int PollDescriptor(bool want_write, short* events) override;
  void OnPoll(short revents) override;
  [[nodiscard]] bool Gone() const override;
  [[nodiscard]] bool DsrChanged() const override { return dsr_changed_.load(); }

 private:
  void WatchModemLines();
  void StopWatcher();
  void HungUp();
  void SetModemBit(int bit, bool on);

  const std::string path_;
  std::mutex sink_mutex_;
  LineSink* sink_ = nullptr;
  // Held for each read and write of the descriptor and while it is closed. Taken after the
  // port's lock (writes come under it), and never held while calling the port.
  mutable std::mutex io_mutex_;
  // The descriptor, -1 while closed; set by Open and Close, which the port serialises.
  std::atomic<int> fd_{-1};
  std::atomic<bool> dead_{false};      // the device failed: nothing more is written
  std::atomic<bool> reported_{false};  // its hang-up was reported: it is not polled any more
  std::atomic<bool> dsr_changed_{false};
  std::atomic<bool> stop_watcher_{false};
  std::atomic<bool> watcher_running_{false};
  std::thread watcher_;
};

}  // namespace tolvex::serial
