// Serial set-up, control requests sent and awaited, the one-byte read and the driver's delay.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

#include "support/link_bench.h"
#include "support/wait.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using tolvex::host::LinkBench;
using tolvex::platform::Platform;
using tolvex::platform::PlatformScope;
using tolvex::serial::RequestRecord;

std::vector<UCHAR> Le32(ULONG value) {
  return {static_cast<UCHAR>(value), static_cast<UCHAR>(value >> 8),
          static_cast<UCHAR>(value >> 16), static_cast<UCHAR>(value >> 24)};
}

std::vector<RequestRecord> ControlRequests(LinkBench& bench) {
  std::vector<RequestRecord> controls;
  for (const RequestRecord& r : bench.port().Requests()) {
    if (r.major == IRP_MJ_DEVICE_CONTROL) controls.push_back(r);
  }
  return controls;
}

std::vector<ULONG> Codes(const std::vector<RequestRecord>& records) {
  std::vector<ULONG> codes;
  for (const RequestRecord& r : records) codes.push_back(r.code);
  return codes;
}

TEST(SerialSetUp, SendsTheConfigurationInTableOrderThenArmsTheListener) {
  LinkBench bench;
  PlatformScope scope(bench.platform());
  ASSERT_EQ(bench.Open(), STATUS_SUCCESS);
  bench.platform().clock().StartRecording();

  ASSERT_EQ(bench.Initialize(), STATUS_SUCCESS);

  const auto controls = ControlRequests(bench);
  ASSERT_EQ(controls.size(), 9u);
  EXPECT_THAT(Codes(controls),
              ElementsAre(IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL,
                          IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_TIMEOUTS,
                          IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_PURGE, IOCTL_SERIAL_SET_BREAK_OFF,
                          IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_WAIT_ON_MASK));
  EXPECT_EQ(controls[0].input, Le32(19200));
  EXPECT_THAT(controls[1].input, ElementsAre(0, 0, 8));  // one stop bit, no parity, 8 bits
  EXPECT_EQ(controls[2].input, std::vector<UCHAR>(6, 0));
  std::vector<UCHAR> timeouts;
  for (ULONG v : {50u, 0u, 100u, 0u, 1000u}) {
    auto bytes = Le32(v);
    timeouts.insert(timeouts.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(controls[3].input, timeouts);
  std::vector<UCHAR> handflow = Le32(0);
  for (ULONG v : {0x80000000u, 0u, 0u}) {
    auto bytes = Le32(v);
    handflow.insert(handflow.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(controls[4].input, handflow);
  EXPECT_EQ(controls[5].input, Le32(0x0C));
  EXPECT_TRUE(controls[6].input.empty());  // break off carries no buffer at all
  EXPECT_EQ(controls[6].length, 0u);
  EXPECT_EQ(controls[7].input, Le32(0x11));
  // No set-up request reads anything back; the listener's wait has its 4-byte output.
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(controls[i].length, 0u) << i;
  EXPECT_EQ(controls[8].length, 4u);

  // 25 ms after every request, then 450 ms.
  const auto delays = bench.platform().clock().DelaysMs(std::this_thread::get_id());
  EXPECT_THAT(delays, ElementsAre(25, 25, 25, 25, 25, 25, 25, 25, 450));
  EXPECT_TRUE(bench.port().has_pending_wait());
}

struct FailingStep {
  const char* name;
  std::function<void(SERIAL_CONFIG&)> spoil;
  size_t requests_sent;
};

class SerialSetUpFailure : public ::testing::TestWithParam<FailingStep> {};

TEST_P(SerialSetUpFailure, StopsAtTheFirstRefusedRequestAndReturnsItsStatus) {
  LinkBench bench;
  PlatformScope scope(bench.platform());
  ASSERT_EQ(bench.Open(), STATUS_SUCCESS);
  bench.platform().clock().StartRecording();
  SERIAL_CONFIG config = LinkBench::StartupConfig();
  GetParam().spoil(config);

  EXPECT_EQ(IFInitializeInterface(bench.reader(), &config), STATUS_INVALID_PARAMETER);

  const size_t sent = GetParam().requests_sent;
  EXPECT_EQ(ControlRequests(bench).size(), sent);
  std::vector<ULONG> expected_delays(sent, 25);
  expected_delays.push_back(450);
  EXPECT_EQ(bench.platform().clock().DelaysMs(std::this_thread::get_id()), expected_delays);
  EXPECT_FALSE(bench.port().has_pending_wait());  // the listener is not armed
}

INSTANTIATE_TEST_SUITE_P(
    EachRefusableRequest, SerialSetUpFailure,
    ::testing::Values(
        FailingStep{"BaudRate", [](SERIAL_CONFIG& c) { c.BaudRate.BaudRate = 0; }, 1},
        FailingStep{"LineControl", [](SERIAL_CONFIG& c) { c.LineControl.WordLength = 9; }, 2},
        FailingStep{"Timeouts",
                    [](SERIAL_CONFIG& c) {
                      c.Timeouts.ReadIntervalTimeout = c.Timeouts.ReadTotalTimeoutMultiplier =
                          c.Timeouts.ReadTotalTimeoutConstant = 0xFFFFFFFF;
                    },
                    4},
        FailingStep{"HandFlow", [](SERIAL_CONFIG& c) { c.HandFlow.FlowReplace = 0x20; }, 5},
        FailingStep{"PurgeMask", [](SERIAL_CONFIG& c) { c.PurgeMask = 0; }, 6},
        FailingStep{"EventMask", [](SERIAL_CONFIG& c) { c.EventMask = 0x8000; }, 8}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(SerialSetUp, ListenerThatCannotBeBuiltFailsTheSetUp) {
  LinkBench bench;
  PlatformScope scope(bench.platform());
  ASSERT_EQ(bench.Open(), STATUS_SUCCESS);
  // The eight set-up requests are built; the wait request is not.
  bench.platform().pool().FailAllocations(PoolTag("Irp "), 8);
  EXPECT_EQ(bench.Initialize(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(bench.port().has_pending_wait());
}

TEST(SerialIoctl, RequestThatCannotBeBuiltIsNotSent) {
  LinkBench bench;
  PlatformScope scope(bench.platform());
  ASSERT_EQ(bench.Start(), STATUS_SUCCESS);
  const size_t before = bench.port().Requests().size();
  bench.platform().pool().FailAllocations(PoolTag("Irp "), 0);
  ULONG mask = SERIAL_PURGE_RXCLEAR;
  EXPECT_EQ(IFSerialIoctl(bench.reader(), IOCTL_SERIAL_PURGE, &mask, sizeof(mask), nullptr, 0),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(bench.port().Requests().size(), before);
}

TEST(SerialIoctl, RequestCompletedAtOnceIsNotWaitedFor) {
  LinkBench bench;
  PlatformScope scope(bench.platform());
  ASSERT_EQ(bench.Start(), STATUS_SUCCESS);
  bench.line().Send({1, 2, 3});
  ASSERT_TRUE(tolvex::testutil::WaitUntil([&] { return bench.port().receive_queue() == 0; }));
  bench.platform().clock().StartRecording();
  SERIAL_STATUS status{};
  status.AmountInInQueue = 0xDEAD;
  EXPECT_EQ(IFSerialIoctl(bench.reader(), IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status,
                          sizeof(status)),
            STATUS_SUCCESS);
  EXPECT_EQ(status.AmountInInQueue, 0u);  // the output reached the caller's buffer
  EXPECT_TRUE(bench.platform().clock().WaitsMs(std::this_thread::get_id()).empty());
}

// A port that leaves every control request pending until it is told to complete it, or until
// the request is cancelled.
class HeldPort {
 public:
  explicit HeldPort(Platform& platform) : platform_(platform) {
    auto entry = [](PDRIVER_OBJECT driver, PUNICODE_STRING) -> NTSTATUS {
      driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
      driver->MajorFunction[IRP_MJ_CREATE] = Complete;
      driver->MajorFunction[IRP_MJ_CLOSE] = Complete;
      driver->MajorFunction[IRP_MJ_CLEANUP] = Complete;
      UNICODE_STRING name;
      RtlInitUnicodeString(&name, u"\\Device\\Serial7");
      PDEVICE_OBJECT device;
      NTSTATUS status = IoCreateDevice(driver, sizeof(HeldPort*), &name, FILE_DEVICE_SERIAL_PORT, 0,
                                       TRUE, &device);
      return status;
    };
    EXPECT_EQ(platform_.LoadDriver(u"\\Driver\\Held", entry, u"", 0, &driver_), STATUS_SUCCESS);
    device_ = driver_->DeviceObject;
    *static_cast<HeldPort**>(device_->DeviceExtension) = this;
  }
  ~HeldPort() {
    PlatformScope scope(platform_);
    auto unload = [](PDRIVER_OBJECT driver) { IoDeleteDevice(driver->DeviceObject); };
    driver_->DriverUnload = unload;
    platform_.UnloadDriver(driver_);
  }
  PDEVICE_OBJECT device() { return device_; }

  // Waits until the port has received `count` requests in all.
  bool WaitForRequests(int count) {
    return tolvex::testutil::WaitUntil([&] {
      std::lock_guard lock(mutex_);
      return received_ >= count;
    });
  }
  // Completes the held request, if it is still held, with a status and output bytes.
  bool CompleteHeld(NTSTATUS status, ULONG output_value) {
    PIRP irp;
    {
      std::lock_guard lock(mutex_);
      irp = held_;
      if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
      held_ = nullptr;
    }
    const ULONG out =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (out >= sizeof(ULONG)) std::memcpy(irp->AssociatedIrp.SystemBuffer, &output_value, 4);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = out >= sizeof(ULONG) ? sizeof(ULONG) : 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return true;
  }
  int cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }

 private:
  static NTSTATUS Complete(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    HeldPort* self = *static_cast<HeldPort**>(device->DeviceExtension);
    std::lock_guard lock(self->mutex_);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, Cancel);
    self->held_ = irp;
    ++self->received_;
    return STATUS_PENDING;
  }
  static void Cancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    HeldPort* self = *static_cast<HeldPort**>(device->DeviceExtension);
    {
      std::lock_guard lock(self->mutex_);
      self->held_ = nullptr;
      ++self->cancelled_;
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }

  Platform& platform_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  mutable std::mutex mutex_;
  PIRP held_ = nullptr;
  int received_ = 0;
  int cancelled_ = 0;
};

class SerialIoctlPending : public ::testing::Test {
 protected:
  SerialIoctlPending() : scope_(platform_), port_(platform_) {
    RtlZeroMemory(&reader_, sizeof(reader_));
    reader_.SerialDeviceObject = port_.device();
    reader_.ReadTotalTimeout = 40;
  }
  Platform platform_;
  PlatformScope scope_;
  HeldPort port_;
  READER_EXTENSION reader_;
};

TEST_F(SerialIoctlPending, RequestCompletedWithinTheTimeReturnsItsFinalStatusAndOutput) {
  reader_.ReadTotalTimeout = 10000;
  platform_.clock().StartRecording();
  std::thread port_side([&] {
    PlatformScope scope(platform_);
    ASSERT_TRUE(port_.WaitForRequests(1));
    EXPECT_TRUE(port_.CompleteHeld(STATUS_SUCCESS, 0x11));
  });
  ULONG mask = 0;
  EXPECT_EQ(IFSerialIoctl(&reader_, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof(mask)),
            STATUS_SUCCESS);
  port_side.join();
  EXPECT_EQ(mask, 0x11u);
  // Awaited for at most ReadTotalTimeout, taken from the record at the time of the call.
  EXPECT_THAT(platform_.clock().WaitsMs(std::this_thread::get_id()), ElementsAre(10000));
}

TEST_F(SerialIoctlPending, RequestOutlivingTheTimeIsCancelledAndAwaitedBeforeReturning) {
  platform_.clock().StartRecording();
  ULONG mask = 0x5A5A5A5A;
  const NTSTATUS status =
      IFSerialIoctl(&reader_, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof(mask));
  EXPECT_EQ(status, STATUS_CANCELLED);
  EXPECT_EQ(port_.cancelled(), 1);
  EXPECT_EQ(mask, 0x5A5A5A5Au);  // a cancelled request writes nothing back
  // Nothing of the request is left: no request, no system buffer.
  EXPECT_EQ(platform_.pool().Usage(PoolTag("Irp ")).allocations, 0u);
  EXPECT_EQ(platform_.pool().Usage(PoolTag("IoBf")).allocations, 0u);
  const auto waits = platform_.clock().WaitsMs(std::this_thread::get_id());
  ASSERT_EQ(waits.size(), 2u);
  EXPECT_EQ(waits[0], 40);  // ReadTotalTimeout
  EXPECT_EQ(waits[1], -1);  // then until the port has let go of it
}

TEST_F(SerialIoctlPending, RequestCompletedJustAsItIsCancelledIsFinishedExactlyOnce) {
  // The port completes the request at about the moment the wait runs out. Whichever way the
  // race goes, the request is finished once and the caller gets its status.
  reader_.ReadTotalTimeout = 5;
  for (int round = 0; round < 40; ++round) {
    std::thread port_side([&] {
      PlatformScope scope(platform_);
      ASSERT_TRUE(port_.WaitForRequests(round + 1));
      std::this_thread::sleep_for(std::chrono::microseconds(3000 + 100 * round));
      (void)port_.CompleteHeld(STATUS_SUCCESS, 7);  // may find it cancelled already
    });
    ULONG mask = 0;
    const NTSTATUS status =
        IFSerialIoctl(&reader_, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof(mask));
    port_side.join();
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
    if (status == STATUS_SUCCESS) {
      EXPECT_EQ(mask, 7u);
    }
  }
  EXPECT_EQ(platform_.pool().Usage(PoolTag("Irp ")).allocations, 0u);
}

TEST(SerialRead, ReadEndedByThePortTimeOutReportsIt) {
  LinkBench bench;
  PlatformScope scope(bench.platform());
  ASSERT_EQ(bench.Open(), STATUS_SUCCESS);
  SERIAL_TIMEOUTS timeouts{0, 0, 20, 0, 0};
  ASSERT_EQ(IFSerialIoctl(bench.reader(), IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts),
                          nullptr, 0),
            STATUS_SUCCESS);
  UCHAR byte = 0x77;
  EXPECT_EQ(IFSerialRead(bench.reader(), &byte, 1), STATUS_TIMEOUT);
  EXPECT_EQ(byte, 0x77);

  bench.line().Send({0x3B});
  EXPECT_EQ(IFSerialRead(bench.reader(), &byte, 1), STATUS_SUCCESS);
  EXPECT_EQ(byte, 0x3B);
  const auto reads = bench.port().Requests();
  EXPECT_EQ(reads.back().major, IRP_MJ_READ);
  EXPECT_EQ(reads.back().length, 1u);
}

TEST(SysDelayTest, SleepsBelowDispatchLevelAndStallsAtIt) {
  Platform platform;
  PlatformScope scope(platform);
  platform.clock().SetDelayMode(tolvex::platform::Clock::DelayMode::kSkip);
  platform.clock().StartRecording();
  const auto me = std::this_thread::get_id();

  SysDelay(25);
  EXPECT_THAT(platform.clock().DelaysMs(me), ElementsAre(25));
  EXPECT_EQ(platform.clock().StallCount(me), 0u);

  platform.clock().ClearRecords();
  SysDelay(0);
  EXPECT_THAT(platform.clock().DelaysMs(me), ElementsAre(0));  // a zero sleep, not none

  platform.clock().ClearRecords();
  {
    tolvex::platform::IrqlGuard raised(DISPATCH_LEVEL);
    SysDelay(25);
  }
  EXPECT_TRUE(platform.clock().DelaysMs(me).empty());
  EXPECT_EQ(platform.clock().StallCount(me), 500u);  // 25 ms in steps of 50 us
  for (const auto& record : platform.clock().Records()) EXPECT_EQ(record.amount, 50);

  platform.clock().ClearRecords();
  {
    tolvex::platform::IrqlGuard raised(DISPATCH_LEVEL);
    SysDelay(0);
  }
  EXPECT_TRUE(platform.clock().Records().empty());
}

}  // namespace
