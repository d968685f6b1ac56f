// The serial port's control requests: one switch, every buffer length checked by one helper.
// The queue and time-out engine they feed is in serial_port.cc.
#include <utility>

#include "serial/request.h"
#include "serial/serial_port.h"

namespace tolvex::serial {

// A control request's buffer: a settings request's record is read from it or written to it
// here, with its length checked first (STATUS_BUFFER_TOO_SMALL when it is short).
class SerialPort::ControlBuffers {
 public:
  ControlBuffers(PIRP irp, ULONG in, ULONG out) : irp_(irp), in_(in), out_(out) {}

  template <typename T>
  bool OutputFits() const {
    return out_ >= sizeof(T);
  }

  // Gives back `value`.
  template <typename T>
  NTSTATUS Get(const T& value) {
    return GetFrom<T>([&value] { return value; });
  }

  // Gives back what `make` returns, called only when the record fits.
  template <typename T, typename Make>
  NTSTATUS GetFrom(Make make) {
    if (!OutputFits<T>()) return STATUS_BUFFER_TOO_SMALL;
    OutputAs(irp_, static_cast<T>(make()));
    information_ = sizeof(T);
    return STATUS_SUCCESS;
  }

  // Takes the record, refuses it with STATUS_INVALID_PARAMETER unless `valid`, else returns
  // what `apply` makes of it.
  template <typename T, typename Valid, typename Apply>
  NTSTATUS Set(Valid valid, Apply apply) {
    if (in_ < sizeof(T)) return STATUS_BUFFER_TOO_SMALL;
    const T value = InputAs<T>(irp_);
    if (!valid(value)) return STATUS_INVALID_PARAMETER;
    return apply(value);
  }

  ULONG_PTR information() const { return information_; }

 private:
  PIRP irp_;
  ULONG in_;
  ULONG out_;
  ULONG_PTR information_ = 0;
};

namespace {

constexpr auto kAnyValue = [](const auto&) { return true; };

bool ValidBaudRate(const SERIAL_BAUD_RATE& rate) {
  return rate.BaudRate != 0;
}

bool ValidLineControl(const SERIAL_LINE_CONTROL& line) {
  return line.WordLength >= 5 && line.WordLength <= 8 && line.Parity <= SPACE_PARITY &&
         line.StopBits <= STOP_BITS_2;
}

// All three read time-outs MAXULONG is no rule at all.
bool ValidTimeouts(const SERIAL_TIMEOUTS& t) {
  return !(t.ReadIntervalTimeout == SERIAL_TIMEOUT_MAX &&
           t.ReadTotalTimeoutMultiplier == SERIAL_TIMEOUT_MAX &&
           t.ReadTotalTimeoutConstant == SERIAL_TIMEOUT_MAX);
}

bool ValidHandflow(const SERIAL_HANDFLOW& flow) {
  return !((flow.ControlHandShake & SERIAL_CONTROL_INVALID) ||
           (flow.FlowReplace & SERIAL_FLOW_INVALID) || flow.XonLimit < 0 || flow.XoffLimit < 0);
}

bool ValidWaitMask(ULONG mask) {
  return !(mask & ~SERIAL_EV_VALID);
}

bool ValidPurgeMask(ULONG mask) {
  const ULONG valid =
      SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
  return !(mask == 0 || (mask & ~valid));
}

}  // namespace

NTSTATUS SerialPort::DeviceControl(PIRP irp, PIO_STACK_LOCATION stack) {
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  if ((in != 0 || out != 0) && irp->AssociatedIrp.SystemBuffer == nullptr) {
    return CompleteNow(irp, STATUS_INVALID_PARAMETER);
  }
  ControlBuffers io(irp, in, out);
  std::vector<Completion> done;
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::unique_lock lock(mutex_);
    if (!open_) {
      status = STATUS_INVALID_DEVICE_STATE;  // a closed port takes no requests
    } else if (code == IOCTL_SERIAL_WAIT_ON_MASK) {
      status = WaitOnMaskLocked(irp, io, done);
      if (status == STATUS_PENDING) {
        lock.unlock();
        CompleteAll(done);
        return STATUS_PENDING;
      }
    } else {
      status = ControlLocked(code, io, done);
    }
  }
  CompleteAll(done);
  if (!done.empty()) Wake();
  return CompleteNow(irp, status, NT_SUCCESS(status) ? io.information() : 0);
}

NTSTATUS SerialPort::ControlLocked(ULONG code, ControlBuffers& io, std::vector<Completion>& done) {
  switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
      return io.Set<SERIAL_BAUD_RATE>(ValidBaudRate, [this](const SERIAL_BAUD_RATE& rate) {
        LineSettings next = settings_;
        next.baud_rate = rate.BaudRate;
        return ConfigureLocked(next);
      });
    case IOCTL_SERIAL_GET_BAUD_RATE:
      return io.Get(SERIAL_BAUD_RATE{settings_.baud_rate});
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      return io.Set<SERIAL_LINE_CONTROL>(ValidLineControl, [this](const SERIAL_LINE_CONTROL& line) {
        LineSettings next = settings_;
        next.line_control = line;
        return ConfigureLocked(next);
      });
    case IOCTL_SERIAL_GET_LINE_CONTROL:
      return io.Get(settings_.line_control);
    case IOCTL_SERIAL_SET_CHARS:
      return io.Set<SERIAL_CHARS>(kAnyValue, [this](const SERIAL_CHARS& chars) {
        LineSettings next = settings_;
        next.chars = chars;
        return ConfigureLocked(next);
      });
    case IOCTL_SERIAL_GET_CHARS:
      return io.Get(settings_.chars);
    case IOCTL_SERIAL_SET_TIMEOUTS:
      return io.Set<SERIAL_TIMEOUTS>(ValidTimeouts, [this](const SERIAL_TIMEOUTS& t) {
        timeouts_ = t;  // taken by reads and writes that start from now on
        return STATUS_SUCCESS;
      });
    case IOCTL_SERIAL_GET_TIMEOUTS:
      return io.Get(timeouts_);
    case IOCTL_SERIAL_SET_HANDFLOW:
      return io.Set<SERIAL_HANDFLOW>(ValidHandflow, [this](const SERIAL_HANDFLOW& flow) {
        LineSettings next = settings_;
        next.handflow = flow;
        return ConfigureLocked(next);
      });
    case IOCTL_SERIAL_GET_HANDFLOW:
      return io.Get(settings_.handflow);
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
      backend_->SetBreak(code == IOCTL_SERIAL_SET_BREAK_ON);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
      backend_->SetDtr(code == IOCTL_SERIAL_SET_DTR);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
      backend_->SetRts(code == IOCTL_SERIAL_SET_RTS);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
      // The receive queue has a fixed size; a request for a larger one is taken as advice.
      return io.Set<SERIAL_QUEUE_SIZE>(kAnyValue,
                                       [](const SERIAL_QUEUE_SIZE&) { return STATUS_SUCCESS; });
    case IOCTL_SERIAL_GET_MODEMSTATUS:
      return io.GetFrom<ULONG>([this] { return backend_->ModemStatus(); });
    case IOCTL_SERIAL_SET_WAIT_MASK:
      return io.Set<ULONG>(ValidWaitMask, [this, &done](ULONG mask) {
        CompleteWaitLocked(0, done);  // a new mask ends the pending wait, with no events
        wait_mask_ = mask;
        history_ = 0;
        return STATUS_SUCCESS;
      });
    case IOCTL_SERIAL_GET_WAIT_MASK:
      return io.Get(wait_mask_);
    case IOCTL_SERIAL_PURGE:
      return io.Set<ULONG>(ValidPurgeMask, [this, &done](ULONG mask) {
        if (mask & SERIAL_PURGE_TXABORT) AbortQueueLocked(writes_, done);
        if (mask & SERIAL_PURGE_RXABORT) AbortQueueLocked(reads_, done);
        if (mask & SERIAL_PURGE_RXCLEAR) received_.clear();
        backend_->Purge(mask & (SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR));
        return STATUS_SUCCESS;
      });
    case IOCTL_SERIAL_GET_COMMSTATUS:
      return io.GetFrom<SERIAL_STATUS>([this] { return TakeCommStatusLocked(); });
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

NTSTATUS SerialPort::ConfigureLocked(const LineSettings& next) {
  const NTSTATUS status = backend_->Configure(next);
  if (NT_SUCCESS(status)) settings_ = next;
  return status;
}

NTSTATUS SerialPort::WaitOnMaskLocked(PIRP irp, ControlBuffers& io, std::vector<Completion>& done) {
  if (!io.OutputFits<ULONG>()) return STATUS_BUFFER_TOO_SMALL;
  if (!wait_.empty() || wait_mask_ == 0) return STATUS_INVALID_PARAMETER;
  if (history_ != 0) return io.Get(std::exchange(history_, 0));
  PendLocked(irp, &wait_, done);
  return STATUS_PENDING;
}

SERIAL_STATUS SerialPort::TakeCommStatusLocked() {
  SERIAL_STATUS report{};
  report.Errors = errors_;
  errors_ = 0;  // reported once
  report.AmountInInQueue = static_cast<ULONG>(received_.size());
  // Every byte of every queued write that the line has not taken yet.
  for (PIRP write : writes_) {
    report.AmountInOutQueue += IoGetCurrentIrpStackLocation(write)->Parameters.Write.Length;
  }
  if (!writes_.empty() && write_.started) report.AmountInOutQueue -= write_.done;
  return report;
}

}  // namespace tolvex::serial
