// The line behind a serial port: what a port driver needs from the thing its bytes go to.
//
// A SerialPort (serial_port.h) implements the serial request set once; each kind of line
// implements LineBackend: an in-memory byte pipe whose far end a test or the simulator plays
// (memory_line.h), or a POSIX terminal device (tty_line.h).
//
// The port calls the backend under its own lock, so a backend never calls back into the port
// (LineSink) while holding a lock that those calls take. Received bytes and modem line changes
// reach the port through LineSink from whatever thread the backend has; the port's own thread
// then completes the requests they satisfy.
#pragma once

#include <span>

#include "platform/ntddser.h"

namespace tolvex::serial {

// What the port has been told about the line.
struct LineSettings {
  ULONG baud_rate = 9600;
  SERIAL_LINE_CONTROL line_control{STOP_BIT_1, NO_PARITY, 8};
  SERIAL_HANDFLOW handflow{};
  SERIAL_CHARS chars{};
};

class LineSink {
 public:
  // Bytes arrived from the line, in order.
  virtual void Receive(std::span<const UCHAR> bytes) = 0;
  // Modem lines changed; `events` holds SERIAL_EV_DSR, _CTS, _RLSD, _RING bits.
  virtual void ModemLinesChanged(ULONG events) = 0;
  // The backend has something for the port thread (a writable descriptor, say).
  virtual void Wake() = 0;

 protected:
  ~LineSink() = default;
};

class LineBackend {
 public:
  virtual ~LineBackend() = default;

  // The port attaches itself once it exists, and detaches (null) before it goes away.
  virtual void Attach(LineSink* sink) = 0;

  // The port was opened (create request) or closed. A failed open fails the create request.
  [[nodiscard]] virtual NTSTATUS Open() = 0;
  virtual void Close() = 0;
  // New line settings; a failure leaves the old ones in force.
  [[nodiscard]] virtual NTSTATUS Configure(const LineSettings& settings) = 0;
  // Takes bytes for transmission without blocking; returns how many it took. The port offers
  // the rest again once the backend's descriptor is writable (or after Wake()).
  virtual size_t Transmit(std::span<const UCHAR> bytes) = 0;
  // Drops bytes buffered below the port: SERIAL_PURGE_TXCLEAR and/or SERIAL_PURGE_RXCLEAR.
  virtual void Purge(ULONG mask) = 0;
  // SERIAL_CTS_STATE, _DSR_STATE, _RI_STATE, _DCD_STATE bits.
  virtual ULONG ModemStatus() = 0;
  virtual void SetBreak(bool on) = 0;
  virtual void SetDtr(bool on) = 0;
  virtual void SetRts(bool on) = 0;

  // A descriptor the port thread should poll, and for which events (POLLIN, POLLOUT); -1 if
  // none. `want_write` says whether the port has bytes waiting to be transmitted.
  virtual int PollDescriptor(bool want_write, short* events) {
    (void)want_write;
    *events = 0;
    return -1;
  }
  // Called on the port thread when the descriptor reported `revents`.
  virtual void OnPoll(short revents) { (void)revents; }

  // Whether the device behind the line has hung up or failed since it was opened: the line
  // will carry nothing more. Any thread may ask; it touches neither the device nor the port.
  // A line without a device never goes.
  [[nodiscard]] virtual bool Gone() const { return false; }
  // Whether the line has reported a change of data-set-ready since it was opened (the device
  // at the far end unplugged or switched off; a hang-up is reported as one too). A reader
  // driver stops listening on such a line until it opens it again. Any thread may ask.
  [[nodiscard]] virtual bool DsrChanged() const { return false; }
};

}  // namespace tolvex::serial
