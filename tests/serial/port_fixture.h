// What the serial port tests share: requests sent to a port the way the driver sends them, a
// line that takes what the host writes only as the test lets it, and a fixture with the serial
// driver loaded and "\Device\Serial0" open.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/ntddser.h"
#include "platform/platform.h"
#include "serial/memory_line.h"
#include "serial/serial_port.h"
#include "support/wait.h"

namespace tolvex::serial::port_tests {

using namespace std::chrono_literals;
using Bytes = std::vector<UCHAR>;
using Outcome = std::pair<NTSTATUS, ULONG_PTR>;
using testutil::WaitUntil;

inline constexpr ULONG kMax = SERIAL_TIMEOUT_MAX;
// A buffered control code the port does not know; reads and writes are built as requests of
// this code whose stack location is then rewritten.
inline constexpr ULONG kCarrierCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800, METHOD_BUFFERED, 0);
inline constexpr UCHAR kUntouched = 0xEE;  // what fills a caller's output buffer

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

inline Bytes Sequence(size_t count, UCHAR first = 1) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<UCHAR>(first + i);
  return bytes;
}

// One request, sent to a port when made. Its completion routine notes how the port completed
// it and keeps it alive (STATUS_MORE_PROCESSING_REQUIRED), so that a test may cancel it at any
// time; Finish() ends it, copying the output back as the I/O manager does.
class Request {
 public:
  Request(PDEVICE_OBJECT device, ULONG code, Bytes input = {}, ULONG output_length = 0,
          UCHAR major = IRP_MJ_DEVICE_CONTROL)
      : input_(std::move(input)), output_(output_length, kUntouched) {
    KeInitializeEvent(&completed_, NotificationEvent, FALSE);
    const auto in = static_cast<ULONG>(input_.size());
    irp_ = IoBuildDeviceIoControlRequest(code, device, in ? input_.data() : nullptr, in,
                                         output_length ? output_.data() : nullptr, output_length,
                                         FALSE, nullptr, nullptr);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
    stack->MajorFunction = major;
    if (major == IRP_MJ_READ) stack->Parameters.Read.Length = output_length;
    if (major == IRP_MJ_WRITE) stack->Parameters.Write.Length = in;
    IoSetCompletionRoutine(irp_, &Request::Completed, this, TRUE, TRUE, TRUE);
    dispatch = IofCallDriver(device, irp_);
  }
  ~Request() {
    if (irp_ == nullptr) return;
    if (!done()) (void)IoCancelIrp(irp_);
    if (Wait()) {
      Finish();
    } else {  // the port still holds it: leave it there rather than free it under the port
      ADD_FAILURE() << "a request was still pending after it was cancelled";
    }
  }

  bool Wait(std::chrono::milliseconds limit = 5s) {
    LARGE_INTEGER timeout = RelativeMilliseconds(static_cast<ULONGLONG>(limit.count()));
    return KeWaitForSingleObject(&completed_, Executive, KernelMode, FALSE, &timeout) ==
           STATUS_SUCCESS;
  }
  bool done() { return KeReadStateEvent(&completed_) != 0; }
  BOOLEAN Cancel() { return IoCancelIrp(irp_); }
  // Ends a completed request; returns the first `information` bytes of the caller's buffer.
  Bytes Finish() {
    if (irp_ != nullptr) IofCompleteRequest(std::exchange(irp_, nullptr), IO_NO_INCREMENT);
    return Bytes(output_.begin(), output_.begin() + std::min(information, output_.size()));
  }
  const Bytes& buffer() const { return output_; }  // the caller's whole buffer
  Outcome outcome() const { return {status, information}; }

  NTSTATUS dispatch = STATUS_PENDING;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  KIRQL irql = HIGH_LEVEL;
  std::atomic<int> completions{0};

 private:
  static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<Request*>(context);
    self->status = irp->IoStatus.Status;
    self->information = irp->IoStatus.Information;
    self->irql = KeGetCurrentIrql();
    self->completions.fetch_add(1);
    KeSetEvent(&self->completed_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  PIRP irp_ = nullptr;
  KEVENT completed_{};
  Bytes input_;
  Bytes output_;
};
using RequestPtr = std::unique_ptr<Request>;

// A line that takes what the host writes only as fast as the test grants it, and notes the
// calls the port makes on it.
class HeldLine final : public LineBackend {
 public:
  void Grant(size_t bytes) {
    std::unique_lock lock(mutex_);
    room_ += bytes;
    LineSink* sink = sink_;
    lock.unlock();
    if (sink != nullptr) sink->Wake();
  }
  Bytes taken() {
    std::lock_guard lock(mutex_);
    return taken_;
  }
  std::vector<std::string> calls() {
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

  std::mutex mutex_;
  LineSink* sink_ = nullptr;
  size_t room_ = 0;
  Bytes taken_;
  std::vector<std::string> calls_;
};

// The serial driver loaded with one port, "\Device\Serial0", over `backend` (a MemoryLine
// unless a test asks for another), opened by the test's thread.
class SerialPortTest : public ::testing::Test {
 protected:
  explicit SerialPortTest(std::shared_ptr<LineBackend> backend = std::make_shared<MemoryLine>())
      : backend_(std::move(backend)), line_(std::dynamic_pointer_cast<MemoryLine>(backend_)) {}

  void SetUp() override {
    ASSERT_EQ(LoadSerialDriver(platform_, {PortBinding{0, backend_}}, &driver_), STATUS_SUCCESS);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    port_ = PortOf(device_);
  }
  void TearDown() override {
    if (file_ != nullptr) Close();
    if (driver_ != nullptr) platform_.UnloadDriver(driver_);
    EXPECT_EQ(platform_.pool().OutstandingAllocations(), 0u) << platform_.pool().Describe();
  }

  NTSTATUS Open() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Serial0");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    const NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device);
    if (NT_SUCCESS(status)) std::tie(file_, device_) = std::pair(file, device);
    return status;
  }
  void Close() { ObfDereferenceObject(std::exchange(file_, nullptr)); }

  RequestPtr Start(ULONG code, Bytes input = {}, ULONG output_length = 0) {
    return std::make_unique<Request>(device_, code, std::move(input), output_length);
  }
  RequestPtr StartRead(ULONG length) {
    return std::make_unique<Request>(device_, kCarrierCode, Bytes{}, length, IRP_MJ_READ);
  }
  RequestPtr StartWrite(Bytes data) {
    return std::make_unique<Request>(device_, kCarrierCode, std::move(data), 0, IRP_MJ_WRITE);
  }
  RequestPtr StartWait() { return Start(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)); }

  // Sends a control request and waits until it is done; `output` is the caller's whole buffer.
  struct Result {
    NTSTATUS status;
    ULONG_PTR information;
    Bytes output;
  };
  Result Call(ULONG code, Bytes input = {}, ULONG output_length = 0) {
    RequestPtr request = Start(code, std::move(input), output_length);
    if (!request->Wait()) {  // left to the request's destructor, which cancels it
      ADD_FAILURE() << "control request 0x" << std::hex << code << " stayed pending";
      return Result{STATUS_PENDING, 0, {}};
    }
    request->Finish();
    return Result{request->status, request->information, request->buffer()};
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
  void SetTimeouts(const SERIAL_TIMEOUTS& t) {
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, t), STATUS_SUCCESS);
  }
  void SetWaitMask(ULONG mask) { ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_SUCCESS); }

  platform::Platform platform_;
  platform::PlatformScope scope_{platform_};
  std::shared_ptr<LineBackend> backend_;
  std::shared_ptr<MemoryLine> line_;  // backend_, when it is a MemoryLine
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
