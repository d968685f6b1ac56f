// What the serial port tests share: a request helper that sends requests to a port the way the
// driver does, a line that holds back what the host writes, and a fixture with the serial
// driver loaded and "\Device\Serial0" open.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/ntddser.h"
#include "platform/platform.h"
#include "serial/memory_line.h"
#include "serial/serial_port.h"

namespace tolvex::serial::port_tests {

using namespace std::chrono_literals;
using Bytes = std::vector<UCHAR>;

// Wall-clock bounds are only ever "long enough never to matter".
inline constexpr std::chrono::milliseconds kLong = 5s;

// A buffered control code the port does not know; reads and writes are built as requests of
// this code whose stack location is then rewritten.
inline constexpr ULONG kCarrierCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800, METHOD_BUFFERED, 0);

template <typename T>
Bytes BytesOf(const T& value) {
  Bytes bytes(sizeof(T));
  std::memcpy(bytes.data(), &value, sizeof(T));
  return bytes;
}

template <typename T>
T ValueOf(const Bytes& bytes) {
  T value{};
  std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof(T)));
  return value;
}

// `count` bytes counting up from `first`.
inline Bytes Sequence(size_t count, UCHAR first = 1) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<UCHAR>(first + i);
  return bytes;
}

template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds limit = kLong) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// One request to a port. Its completion routine notes what the port completed it with and
// keeps it alive (STATUS_MORE_PROCESSING_REQUIRED), so that a test may cancel it at any time,
// completed or not; Finish() ends it, copying the output back as the I/O manager does.
class Request {
 public:
  static std::unique_ptr<Request> Control(PDEVICE_OBJECT device, ULONG code, Bytes input = {},
                                          ULONG output_length = 0) {
    return std::unique_ptr<Request>(new Request(device, code, std::move(input), output_length));
  }
  static std::unique_ptr<Request> Read(PDEVICE_OBJECT device, ULONG length) {
    auto request = Control(device, kCarrierCode, {}, length);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(request->irp_);
    stack->MajorFunction = IRP_MJ_READ;
    stack->Parameters.Read.Length = length;
    stack->Parameters.Read.Key = 0;
    stack->Parameters.Read.ByteOffset.QuadPart = 0;
    return request;
  }
  static std::unique_ptr<Request> Write(PDEVICE_OBJECT device, Bytes data) {
    const auto length = static_cast<ULONG>(data.size());
    auto request = Control(device, kCarrierCode, std::move(data), 0);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(request->irp_);
    stack->MajorFunction = IRP_MJ_WRITE;
    stack->Parameters.Write.Length = length;
    stack->Parameters.Write.Key = 0;
    stack->Parameters.Write.ByteOffset.QuadPart = 0;
    return request;
  }

  ~Request() {
    if (irp_ == nullptr) return;
    if (!sent_) {  // never reached the port: end it here
      irp_->IoStatus.Status = status_ = STATUS_CANCELLED;
      IofCompleteRequest(irp_, IO_NO_INCREMENT);
      return;
    }
    if (!done()) {
      (void)IoCancelIrp(irp_);
      if (!Wait()) {
        ADD_FAILURE() << "a request was still pending after it was cancelled";
        return;  // the port still holds it: leave it there rather than free it under the port
      }
    }
    Finish();
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // Hands the request to the port; the dispatch status.
  NTSTATUS Send() {
    sent_ = true;
    dispatch_status_ = IofCallDriver(device_, irp_);
    return dispatch_status_;
  }
  // True once the port has completed the request.
  bool Wait(std::chrono::milliseconds limit = kLong) {
    LARGE_INTEGER timeout = RelativeMilliseconds(static_cast<ULONGLONG>(limit.count()));
    return KeWaitForSingleObject(&completed_, Executive, KernelMode, FALSE, &timeout) ==
           STATUS_SUCCESS;
  }
  bool done() const { return KeReadStateEvent(const_cast<KEVENT*>(&completed_)) != 0; }
  // Runs `hook` inside the completion routine, wherever the port completes the request.
  void OnCompletion(std::function<void()> hook) { hook_ = std::move(hook); }
  BOOLEAN Cancel() { return IoCancelIrp(irp_); }

  NTSTATUS dispatch_status() const { return dispatch_status_; }
  // As the port completed the request.
  NTSTATUS status() const { return status_; }
  ULONG_PTR information() const { return information_; }
  KIRQL completion_irql() const { return irql_; }
  bool pending_returned() const { return pending_returned_; }
  int completions() const { return completions_.load(); }

  // Ends a completed request; returns the output the caller got (the first information()
  // bytes of its buffer when the status is not an error).
  Bytes Finish() {
    if (irp_ != nullptr) {
      IofCompleteRequest(irp_, IO_NO_INCREMENT);
      irp_ = nullptr;
      EXPECT_EQ(iosb_.Status, status_);
      EXPECT_EQ(iosb_.Information, information_);
    }
    return Bytes(output_.begin(),
                 output_.begin() + static_cast<ptrdiff_t>(std::min(information_, output_.size())));
  }
  // The whole output buffer after Finish(): what the caller's buffer holds.
  const Bytes& buffer() const { return output_; }

 private:
  Request(PDEVICE_OBJECT device, ULONG code, Bytes input, ULONG output_length)
      : device_(device), input_(std::move(input)), output_(output_length, kUntouched) {
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    KeInitializeEvent(&completed_, NotificationEvent, FALSE);
    irp_ = IoBuildDeviceIoControlRequest(
        code, device, input_.empty() ? nullptr : input_.data(), static_cast<ULONG>(input_.size()),
        output_.empty() ? nullptr : output_.data(), output_length, FALSE, &event_, &iosb_);
    if (irp_ == nullptr) throw std::runtime_error("request could not be built");
    IoSetCompletionRoutine(irp_, &Request::Completed, this, TRUE, TRUE, TRUE);
  }

  static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<Request*>(context);
    self->status_ = irp->IoStatus.Status;
    self->information_ = irp->IoStatus.Information;
    self->irql_ = KeGetCurrentIrql();
    self->pending_returned_ = irp->PendingReturned != 0;
    self->completions_.fetch_add(1);
    if (self->hook_) self->hook_();
    KeSetEvent(&self->completed_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  static constexpr UCHAR kUntouched = 0xEE;

  PDEVICE_OBJECT device_;
  PIRP irp_ = nullptr;
  KEVENT event_{};
  KEVENT completed_{};
  IO_STATUS_BLOCK iosb_{};
  Bytes input_;
  Bytes output_;
  bool sent_ = false;
  NTSTATUS dispatch_status_ = STATUS_PENDING;
  NTSTATUS status_ = STATUS_PENDING;
  ULONG_PTR information_ = 0;
  KIRQL irql_ = HIGH_LEVEL;
  bool pending_returned_ = false;
  std::atomic<int> completions_{0};
  std::function<void()> hook_;
};

// A line that takes what the host writes only as fast as the test lets it, and notes the
// calls the port makes on it.
class HeldLine final : public LineBackend {
 public:
  // Lets the line take `bytes` more bytes, and tells the port.
  void Grant(size_t bytes) {
    std::lock_guard lock(mutex_);
    room_ += bytes;
    if (sink_ != nullptr) sink_->Wake();
  }
  Bytes taken() const {
    std::lock_guard lock(mutex_);
    return taken_;
  }
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  void Attach(LineSink* sink) override {
    std::lock_guard lock(mutex_);
    sink_ = sink;
  }
  NTSTATUS Open() override { return STATUS_SUCCESS; }
  void Close() override {}
  NTSTATUS Configure(const LineSettings&) override { return STATUS_SUCCESS; }
  size_t Transmit(std::span<const UCHAR> bytes) override {
    std::lock_guard lock(mutex_);
    const size_t n = std::min(room_, bytes.size());
    room_ -= n;
    taken_.insert(taken_.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
    return n;
  }
  void Purge(ULONG mask) override { Note("purge " + std::to_string(mask)); }
  ULONG ModemStatus() override { return SERIAL_CTS_STATE | SERIAL_DSR_STATE; }
  void SetBreak(bool on) override { Note(on ? "break on" : "break off"); }
  void SetDtr(bool on) override { Note(on ? "dtr on" : "dtr off"); }
  void SetRts(bool on) override { Note(on ? "rts on" : "rts off"); }

 private:
  void Note(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }

  mutable std::mutex mutex_;
  LineSink* sink_ = nullptr;
  size_t room_ = 0;
  Bytes taken_;
  std::vector<std::string> calls_;
};

// The serial driver loaded with one port, "\Device\Serial0", over `backend` (a MemoryLine
// unless a test asks for another), opened by the test's thread.
class SerialPortTest : public ::testing::Test {
 protected:
  SerialPortTest() : SerialPortTest(std::make_shared<MemoryLine>()) {}
  explicit SerialPortTest(std::shared_ptr<LineBackend> backend)
      : backend_(std::move(backend)), line_(std::dynamic_pointer_cast<MemoryLine>(backend_)) {}

  void SetUp() override {
    pool_before_ = platform_.pool().OutstandingAllocations();
    ASSERT_EQ(LoadSerialDriver(platform_, {PortBinding{0, backend_}}, &driver_), STATUS_SUCCESS);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    port_ = PortOf(device_);
  }

  void TearDown() override {
    if (file_ != nullptr) Close();
    if (driver_ != nullptr) platform_.UnloadDriver(driver_);
    EXPECT_EQ(platform_.pool().OutstandingAllocations(), pool_before_)
        << platform_.pool().Describe();
  }

  NTSTATUS Open() {
    std::u16string name = u"\\Device\\Serial0";
    UNICODE_STRING text{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                        name.data()};
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoGetDeviceObjectPointer(&text, FILE_ALL_ACCESS, &file, &device);
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(file_, nullptr) << "a second handle was granted";
      file_ = file;
      device_ = device;
    }
    return status;
  }
  void Close() {
    ObfDereferenceObject(file_);
    file_ = nullptr;
  }

  struct Result {
    NTSTATUS status;
    ULONG_PTR information;
    Bytes output;  // the caller's whole output buffer
  };
  // Sends a control request and waits until it is done.
  Result Call(ULONG code, Bytes input = {}, ULONG output_length = 0) {
    auto request = Request::Control(device_, code, std::move(input), output_length);
    request->Send();
    if (!request->Wait()) {  // left to the request's destructor, which cancels it
      ADD_FAILURE() << "control request 0x" << std::hex << code << " stayed pending";
      return Result{STATUS_PENDING, 0, {}};
    }
    request->Finish();
    return Result{request->status(), request->information(), request->buffer()};
  }
  template <typename T>
  NTSTATUS Set(ULONG code, const T& value) {
    return Call(code, BytesOf(value)).status;
  }
  template <typename T>
  T Get(ULONG code) {
    Result result = Call(code, {}, sizeof(T));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, sizeof(T));
    return ValueOf<T>(result.output);
  }
  void SetTimeouts(const SERIAL_TIMEOUTS& timeouts) {
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
  }

  std::unique_ptr<Request> StartRead(ULONG length) {
    auto request = Request::Read(device_, length);
    request->Send();
    return request;
  }
  std::unique_ptr<Request> StartWrite(Bytes data) {
    auto request = Request::Write(device_, std::move(data));
    request->Send();
    return request;
  }
  std::unique_ptr<Request> StartWait() {
    auto request = Request::Control(device_, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    request->Send();
    return request;
  }

  platform::Platform platform_;
  platform::PlatformScope scope_{platform_};
  std::shared_ptr<LineBackend> backend_;
  std::shared_ptr<MemoryLine> line_;  // backend_, when it is a MemoryLine
  size_t pool_before_ = 0;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PFILE_OBJECT file_ = nullptr;
  SerialPort* port_ = nullptr;
};

// The same, over a HeldLine.
class HeldPortTest : public SerialPortTest {
 protected:
  HeldPortTest() : SerialPortTest(std::make_shared<HeldLine>()) {}
  HeldLine& held() { return static_cast<HeldLine&>(*backend_); }
};

}  // namespace tolvex::serial::port_tests
