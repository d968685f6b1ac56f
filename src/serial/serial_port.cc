#include "serial/serial_port.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "serial/request.h"

namespace tolvex::serial {

namespace {

// The time `milliseconds` after `now`, or none when that lies beyond what the clock can count:
// a time-out of decades (a multiplier of MAXULONG, say) is no time-out at all.
std::optional<std::chrono::steady_clock::time_point> After(
    std::chrono::steady_clock::time_point now, ULONGLONG milliseconds) {
  constexpr ULONGLONG kLongest = ULONGLONG{1} << 40;  // some 35 years
  if (milliseconds > kLongest) return std::nullopt;
  return now + std::chrono::milliseconds(milliseconds);
}

}  // namespace

SerialPort::SerialPort(ULONG index, std::shared_ptr<LineBackend> backend)
    : index_(index), backend_(std::move(backend)) {
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) platform::BugCheck("serial port cannot create its event descriptor");
  backend_->Attach(this);
}

SerialPort::~SerialPort() {
  Stop();
  backend_->Attach(nullptr);
  close(wake_fd_);
}

void SerialPort::Start(platform::Platform& platform) {
  platform_ = &platform;
  thread_ = platform.StartSystemThread("serial" + std::to_string(index_), [this] { ThreadMain(); });
}

void SerialPort::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  Wake();
  thread_.join();
  // Nothing may stay pending on a port that is going away, and its line is let go.
  std::vector<Completion> done;
  {
    std::lock_guard lock(mutex_);
    AbortQueueLocked(reads_, done);
    AbortQueueLocked(writes_, done);
    AbortQueueLocked(wait_, done);
    if (open_) backend_->Close();
    open_ = false;
  }
  CompleteAll(done);
}

void SerialPort::Wake() {
  const uint64_t one = 1;
  ssize_t written = write(wake_fd_, &one, sizeof(one));
  (void)written;  // a full counter already wakes the thread
}

std::vector<RequestRecord> SerialPort::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void SerialPort::ClearRequests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

SERIAL_TIMEOUTS SerialPort::timeouts() const {
  std::lock_guard lock(mutex_);
  return timeouts_;
}

LineSettings SerialPort::settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

ULONG SerialPort::wait_mask() const {
  std::lock_guard lock(mutex_);
  return wait_mask_;
}

size_t SerialPort::receive_queue() const {
  std::lock_guard lock(mutex_);
  return received_.size();
}

bool SerialPort::is_open() const {
  std::lock_guard lock(mutex_);
  return open_;
}

bool SerialPort::has_pending_wait() const {
  std::lock_guard lock(mutex_);
  return !wait_.empty();
}

// ---------------------------------------------------------------------------------------------
// Line events

void SerialPort::Receive(std::span<const UCHAR> bytes) {
  std::vector<Completion> done;
  bool wake = true;
  {
    std::lock_guard lock(mutex_);
    if (!open_) return;  // a closed port hears nothing
    for (UCHAR byte : bytes) {
      if (received_.size() >= kReceiveQueueSize) {
        errors_ |= SERIAL_ERROR_QUEUEOVERRUN;
        history_ |= wait_mask_ & SERIAL_EV_ERR;
        continue;
      }
      received_.push_back(byte);
      history_ |= wait_mask_ & SERIAL_EV_RXCHAR;
      if (byte == settings_.chars.EventChar) history_ |= wait_mask_ & SERIAL_EV_RXFLAG;
    }
    // Bytes that finish a read or a wait complete it here, on the thread that brought them,
    // rather than one thread switch later on the port thread. (A terminal's bytes come on the
    // port thread itself, which services the queues next.) The port thread is woken only when
    // a read still pending now has a deadline before the one it sleeps to.
    if (std::this_thread::get_id() != port_thread_) {
      ServiceReadsLocked(Clock::now(), done);
      ServiceWaitLocked(done);
      const std::optional<Clock::time_point> next = NextDeadlineLocked();
      wake = next && *next < sleep_deadline_;
    }
  }
  if (wake) Wake();
  if (!done.empty()) {
    // The far end's thread may be none of the platform's: it completes in the port's.
    platform::PlatformScope scope(*platform_);
    platform::IrqlGuard raised(DISPATCH_LEVEL);  // as the port thread completes them
    CompleteAll(done);
  }
}

void SerialPort::ModemLinesChanged(ULONG events) {
  {
    std::lock_guard lock(mutex_);
    if (!open_) return;
    history_ |= wait_mask_ & events;
  }
  Wake();
}

// ---------------------------------------------------------------------------------------------
// Dispatch

void SerialPort::Record(PIRP irp, PIO_STACK_LOCATION stack) {
  RequestRecord record;
  record.major = stack->MajorFunction;
  const auto* buffer = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
      record.code = stack->Parameters.DeviceIoControl.IoControlCode;
      record.length = stack->Parameters.DeviceIoControl.OutputBufferLength;
      if (buffer != nullptr && IoControlMethod(record.code) == METHOD_BUFFERED) {
        record.input.assign(buffer, buffer + stack->Parameters.DeviceIoControl.InputBufferLength);
      }
      break;
    case IRP_MJ_WRITE:
      record.length = stack->Parameters.Write.Length;
      if (buffer != nullptr) record.input.assign(buffer, buffer + record.length);
      break;
    case IRP_MJ_READ:
      record.length = stack->Parameters.Read.Length;
      break;
    default:
      break;
  }
  std::lock_guard lock(mutex_);
  if (requests_.size() >= kRequestRecordLimit) {
    requests_.erase(requests_.begin(), requests_.begin() + kRequestRecordLimit / 2);
  }
  requests_.push_back(std::move(record));
}

NTSTATUS SerialPort::Dispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Record(irp, stack);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
      const NTSTATUS status = Create();
      Wake();  // the port thread polls the line's descriptor from now on
      return CompleteNow(irp, status);
    }
    case IRP_MJ_CLEANUP:
      return CompleteNow(irp, Cleanup());
    case IRP_MJ_CLOSE: {
      {
        std::lock_guard lock(mutex_);
        if (open_) backend_->Close();
        open_ = false;
      }
      Wake();  // and stops polling it
      return CompleteNow(irp, STATUS_SUCCESS);
    }
    case IRP_MJ_READ:
      return Read(irp, stack);
    case IRP_MJ_WRITE:
      return Write(irp, stack);
    case IRP_MJ_DEVICE_CONTROL:
      return DeviceControl(irp, stack);
    default:
      return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS SerialPort::Create() {
  std::lock_guard lock(mutex_);
  if (open_) return STATUS_ACCESS_DENIED;  // one handle at a time
  NTSTATUS status = backend_->Open();
  if (!NT_SUCCESS(status)) return status;
  status = backend_->Configure(settings_);
  if (!NT_SUCCESS(status)) {
    backend_->Close();
    return status;
  }
  open_ = true;
  received_.clear();
  wait_mask_ = 0;
  history_ = 0;
  errors_ = 0;
  return STATUS_SUCCESS;
}

NTSTATUS SerialPort::Cleanup() {
  std::vector<Completion> done;
  {
    std::lock_guard lock(mutex_);
    AbortQueueLocked(reads_, done);
    AbortQueueLocked(writes_, done);
    AbortQueueLocked(wait_, done);
    wait_mask_ = 0;
    history_ = 0;
  }
  CompleteAll(done);
  return STATUS_SUCCESS;
}

NTSTATUS SerialPort::Read(PIRP irp, PIO_STACK_LOCATION stack) {
  const ULONG length = stack->Parameters.Read.Length;
  if (length == 0) return CompleteNow(irp, STATUS_SUCCESS, 0);
  if (irp->AssociatedIrp.SystemBuffer == nullptr) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
  std::vector<Completion> done;
  std::optional<ULONG> served;
  bool closed = false;  // completed once the lock is let go, as every request is
  {
    std::lock_guard lock(mutex_);
    closed = !open_;
    const SERIAL_TIMEOUTS& t = timeouts_;
    const bool immediate = t.ReadIntervalTimeout == SERIAL_TIMEOUT_MAX &&
                           t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    // Served at once when no read is ahead of it and the bytes are there, or when the
    // time-outs say "don't wait".
    if (closed) {
      // refused below
    } else if (reads_.empty() && (received_.size() >= length || immediate)) {
      const ULONG n = static_cast<ULONG>(std::min<size_t>(length, received_.size()));
      std::copy_n(received_.begin(), n, static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer));
      received_.erase(received_.begin(), received_.begin() + n);
      served = n;
    } else {
      PendLocked(irp, &reads_, done);
    }
  }
  if (closed) return CompleteNow(irp, STATUS_INVALID_DEVICE_STATE);
  if (served) return CompleteNow(irp, STATUS_SUCCESS, *served);
  CompleteAll(done);
  Wake();
  return STATUS_PENDING;
}

NTSTATUS SerialPort::Write(PIRP irp, PIO_STACK_LOCATION stack) {
  const ULONG length = stack->Parameters.Write.Length;
  if (length == 0) return CompleteNow(irp, STATUS_SUCCESS, 0);
  if (irp->AssociatedIrp.SystemBuffer == nullptr) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
  std::vector<Completion> done;
  bool sent = false;
  bool wake = false;
  bool closed = false;  // completed once the lock is let go, as every request is
  bool gone = false;
  {
    std::lock_guard lock(mutex_);
    closed = !open_;
    gone = !closed && backend_->Gone();
    if (closed || gone) {
      // refused below
    } else if (writes_.empty()) {
      const auto* data = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
      const size_t taken = backend_->Transmit(std::span<const UCHAR>(data, length));
      if (taken >= length) {
        history_ |= wait_mask_ & SERIAL_EV_TXEMPTY;
        // The port thread has something to do only for a waiter on SERIAL_EV_TXEMPTY: no
        // queue or time-out of its changes here.
        wake = (wait_mask_ & SERIAL_EV_TXEMPTY) != 0;
        sent = true;
      } else {
        write_ = WriteProgress{};
        write_.started = true;
        write_.done = static_cast<ULONG>(taken);
        const ULONGLONG total = ULONGLONG{timeouts_.WriteTotalTimeoutMultiplier} * length +
                                timeouts_.WriteTotalTimeoutConstant;
        if (total != 0) write_.deadline = After(Clock::now(), total);
      }
    }
    if (!sent && !closed && !gone) PendLocked(irp, &writes_, done);
  }
  if (closed) return CompleteNow(irp, STATUS_INVALID_DEVICE_STATE);
  if (gone) return CompleteNow(irp, STATUS_NO_SUCH_DEVICE);
  if (sent) {
    if (wake) Wake();  // for a waiter on SERIAL_EV_TXEMPTY
    return CompleteNow(irp, STATUS_SUCCESS, length);
  }
  CompleteAll(done);
  Wake();
  return STATUS_PENDING;
}

// ---------------------------------------------------------------------------------------------
// Pending requests and cancellation

void SerialPort::PendLocked(PIRP irp, std::deque<PIRP>* queue, std::vector<Completion>& done) {
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, &SerialPort::CancelRoutine);
  if (std::atomic_ref<BOOLEAN>(irp->Cancel).load() && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    done.push_back(Completion{irp, STATUS_CANCELLED, 0});
    return;
  }
  queue->push_back(irp);
}

void SerialPort::CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  PortOf(device)->Cancelled(irp);
}

void SerialPort::Cancelled(PIRP irp) {
  ULONG_PTR information = 0;
  {
    std::lock_guard lock(mutex_);
    auto remove = [irp](std::deque<PIRP>& queue) {
      auto it = std::find(queue.begin(), queue.end(), irp);
      if (it == queue.end()) return false;
      queue.erase(it);
      return true;
    };
    if (!reads_.empty() && reads_.front() == irp && read_.started) {
      information = read_.done;  // the bytes it already got go with it
      read_ = ReadProgress{};
    }
    if (!writes_.empty() && writes_.front() == irp && write_.started) {
      information = write_.done;
      write_ = WriteProgress{};
    }
    if (!remove(reads_) && !remove(writes_) && !remove(wait_)) {
      platform::BugCheck("serial port asked to cancel a request it does not hold");
    }
  }
  CompleteNow(irp, STATUS_CANCELLED, information);
  Wake();
}

void SerialPort::AbortQueueLocked(std::deque<PIRP>& queue, std::vector<Completion>& done) {
  for (auto it = queue.begin(); it != queue.end();) {
    PIRP irp = *it;
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
      ++it;  // being cancelled: its cancel routine takes it out and completes it
      continue;
    }
    ULONG_PTR information = 0;
    if (&queue == &reads_ && it == queue.begin() && read_.started) {
      information = read_.done;
      read_ = ReadProgress{};
    }
    if (&queue == &writes_ && it == queue.begin() && write_.started) {
      information = write_.done;
      write_ = WriteProgress{};
    }
    done.push_back(Completion{irp, STATUS_CANCELLED, information});
    it = queue.erase(it);
  }
}

void SerialPort::CompleteWaitLocked(ULONG mask, std::vector<Completion>& done) {
  if (wait_.empty()) return;
  PIRP irp = wait_.front();
  if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;  // its cancel routine completes it
  wait_.pop_front();
  OutputAs(irp, mask);
  done.push_back(Completion{irp, STATUS_SUCCESS, sizeof(ULONG)});
}

void SerialPort::CompleteAll(std::vector<Completion>& done) {
  for (const Completion& c : done) CompleteNow(c.irp, c.status, c.information);
  done.clear();
}

// ---------------------------------------------------------------------------------------------
// Port thread

void SerialPort::StartReadLocked(PIRP irp, Clock::time_point now) {
  const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
  const SERIAL_TIMEOUTS& t = timeouts_;
  read_ = ReadProgress{};
  read_.started = true;
  if (t.ReadIntervalTimeout == SERIAL_TIMEOUT_MAX && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0) {
    read_.immediate = true;  // return at once with what is there
    read_.total_deadline = now;
    return;
  }
  if (t.ReadIntervalTimeout == SERIAL_TIMEOUT_MAX &&
      t.ReadTotalTimeoutMultiplier == SERIAL_TIMEOUT_MAX) {
    read_.return_on_any_byte = true;
    read_.total_deadline = After(now, t.ReadTotalTimeoutConstant);
    return;
  }
  if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
    const ULONGLONG total =
        ULONGLONG{t.ReadTotalTimeoutMultiplier} * length + t.ReadTotalTimeoutConstant;
    read_.total_deadline = After(now, total);
  }
  if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != SERIAL_TIMEOUT_MAX) {
    read_.interval = std::chrono::milliseconds(t.ReadIntervalTimeout);
  }
}

void SerialPort::ServiceReadsLocked(Clock::time_point now, std::vector<Completion>& done) {
  while (!reads_.empty()) {
    PIRP irp = reads_.front();
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (!read_.started) StartReadLocked(irp, now);
    const ULONG n = static_cast<ULONG>(std::min<size_t>(length - read_.done, received_.size()));
    if (n > 0) {
      auto* out = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer) + read_.done;
      std::copy_n(received_.begin(), n, out);
      received_.erase(received_.begin(), received_.begin() + n);
      read_.done += n;
      if (read_.interval) read_.interval_deadline = now + *read_.interval;
    }
    const bool full = read_.done == length;
    const bool timed_out = (read_.total_deadline && now >= *read_.total_deadline) ||
                           (read_.interval_deadline && now >= *read_.interval_deadline);
    const bool any_byte = read_.return_on_any_byte && read_.done > 0;
    if (!full && !timed_out && !any_byte) return;
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;  // its cancel routine has it
    reads_.pop_front();
    const bool success = full || any_byte || read_.immediate;
    done.push_back(Completion{irp, success ? STATUS_SUCCESS : STATUS_TIMEOUT, read_.done});
    read_ = ReadProgress{};
  }
}

void SerialPort::ServiceWritesLocked(Clock::time_point now, std::vector<Completion>& done) {
  while (!writes_.empty()) {
    PIRP irp = writes_.front();
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    if (!write_.started) {
      write_ = WriteProgress{};
      write_.started = true;
      const ULONGLONG total = ULONGLONG{timeouts_.WriteTotalTimeoutMultiplier} * length +
                              timeouts_.WriteTotalTimeoutConstant;
      if (total != 0) write_.deadline = After(now, total);
    }
    if (write_.done < length) {
      const auto* data = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
      write_.done += static_cast<ULONG>(
          backend_->Transmit(std::span<const UCHAR>(data + write_.done, length - write_.done)));
    }
    const bool full = write_.done >= length;
    const bool timed_out = write_.deadline && now >= *write_.deadline;
    // A device that hung up takes nothing more: its writes fail now, not at their time-out.
    const bool gone = !full && backend_->Gone();
    if (!full && !timed_out && !gone) return;
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;
    writes_.pop_front();
    const NTSTATUS status = full ? STATUS_SUCCESS : gone ? STATUS_NO_SUCH_DEVICE : STATUS_TIMEOUT;
    done.push_back(Completion{irp, status, write_.done});
    write_ = WriteProgress{};
    if (full && writes_.empty()) history_ |= wait_mask_ & SERIAL_EV_TXEMPTY;
  }
}

void SerialPort::ServiceWaitLocked(std::vector<Completion>& done) {
  if (wait_.empty() || history_ == 0) return;
  const ULONG events = history_;
  PIRP irp = wait_.front();
  if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;
  wait_.pop_front();
  history_ = 0;
  OutputAs(irp, events);
  done.push_back(Completion{irp, STATUS_SUCCESS, sizeof(ULONG)});
}

void SerialPort::ServiceLocked(std::vector<Completion>& done) {
  const Clock::time_point now = Clock::now();
  ServiceReadsLocked(now, done);
  ServiceWritesLocked(now, done);
  ServiceWaitLocked(done);
}

std::optional<SerialPort::Clock::time_point> SerialPort::NextDeadlineLocked() const {
  std::optional<Clock::time_point> next;
  auto consider = [&next](const std::optional<Clock::time_point>& t) {
    if (t && (!next || *t < *next)) next = t;
  };
  if (!reads_.empty()) {
    consider(read_.total_deadline);
    consider(read_.interval_deadline);
  }
  if (!writes_.empty()) consider(write_.deadline);
  return next;
}

void SerialPort::ThreadMain() {
  std::vector<Completion> done;
  {
    std::lock_guard lock(mutex_);
    port_thread_ = std::this_thread::get_id();
  }
  for (;;) {
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
    std::optional<Clock::time_point> deadline;
    {
      std::lock_guard lock(mutex_);
      if (stop_) return;
      deadline = NextDeadlineLocked();
      sleep_deadline_ = deadline.value_or(Clock::time_point::max());
      fds[1].fd = backend_->PollDescriptor(!writes_.empty(), &fds[1].events);
    }
    timespec timeout{};
    timespec* wait_for = nullptr;
    if (deadline) {
      auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - Clock::now());
      if (left.count() < 0) left = std::chrono::nanoseconds(0);
      timeout.tv_sec = static_cast<time_t>(left.count() / 1000000000);
      timeout.tv_nsec = static_cast<long>(left.count() % 1000000000);
      wait_for = &timeout;
    }
    const int ready = ppoll(fds, fds[1].fd >= 0 ? 2 : 1, wait_for, nullptr);
    if (ready > 0 && (fds[0].revents & POLLIN)) {
      uint64_t count;
      ssize_t got = read(wake_fd_, &count, sizeof(count));
      (void)got;
    }
    if (ready > 0 && fds[1].fd >= 0 && fds[1].revents != 0) backend_->OnPoll(fds[1].revents);
    {
      std::lock_guard lock(mutex_);
      if (stop_) return;
      ServiceLocked(done);
    }
    if (!done.empty()) {
      platform::IrqlGuard raised(DISPATCH_LEVEL);  // completions come as from an interrupt's DPC
      CompleteAll(done);
    }
  }
}

}  // namespace tolvex::serial
