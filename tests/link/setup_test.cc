// Serial set-up, control requests sent and awaited, the one-byte read and the driver's delay.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "support/card_bench.h"
#include "support/test_driver.h"
#include "support/wait.h"

namespace {

using ::testing::ElementsAre;
using tolvex::host::LinkBench;
using tolvex::platform::PlatformScope;

// Values as the port receives them: 32-bit little-endian words, one after the other.
std::vector<UCHAR> Le32(std::initializer_list<ULONG> values) {
  std::vector<UCHAR> bytes;
  for (ULONG v : values) {
    for (int shift : {0, 8, 16, 24}) bytes.push_back(static_cast<UCHAR>(v >> shift));
  }
  return bytes;
}

// The bench's port opened, not yet set up; the platform's records kept from here on.
class SerialSetUp : public tolvex::testutil::LinkBenchTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(bench_.Open(), STATUS_SUCCESS);
    Record();
  }
  std::vector<tolvex::serial::RequestRecord> Controls() {
    std::vector<tolvex::serial::RequestRecord> controls;
    for (const auto& r : bench_.port().Requests()) {
      if (r.major == IRP_MJ_DEVICE_CONTROL) controls.push_back(r);
    }
    return controls;
  }
};

TEST_F(SerialSetUp, SendsTheConfigurationInTableOrderThenArmsTheListener) {
  ASSERT_EQ(bench_.Initialize(), STATUS_SUCCESS);
  // Each request with its input; none reads anything back but the listener's wait, 4 bytes.
  const std::pair<ULONG, std::vector<UCHAR>> expected[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, Le32({19200})},
      {IOCTL_SERIAL_SET_LINE_CONTROL, {0, 0, 8}},  // one stop bit, no parity, 8 bits
      {IOCTL_SERIAL_SET_CHARS, std::vector<UCHAR>(6, 0)},
      {IOCTL_SERIAL_SET_TIMEOUTS, Le32({50, 0, 100, 0, 1000})},
      {IOCTL_SERIAL_SET_HANDFLOW, Le32({0, 0x80000000u, 0, 0})},
      {IOCTL_SERIAL_PURGE, Le32({0x0C})},
      {IOCTL_SERIAL_SET_BREAK_OFF, {}},  // no buffer at all
      {IOCTL_SERIAL_SET_WAIT_MASK, Le32({0x11})},
  };
  const auto controls = Controls();
  ASSERT_EQ(controls.size(), 9u);
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(controls[i].code, expected[i].first) << i;
    EXPECT_EQ(controls[i].input, expected[i].second) << i;
    EXPECT_EQ(controls[i].length, 0u) << i;
  }
  EXPECT_EQ(controls[8].code, IOCTL_SERIAL_WAIT_ON_MASK);
  EXPECT_EQ(controls[8].length, 4u);
  // 25 ms after every request, then 450 ms; requests the port completes at once are not waited
  // for.
  EXPECT_THAT(Delays(), ElementsAre(25, 25, 25, 25, 25, 25, 25, 25, 450));
  EXPECT_TRUE(Waits().empty());
  EXPECT_TRUE(bench_.port().has_pending_wait());
}

TEST_F(SerialSetUp, StopsAtTheFirstRefusedRequestAndReturnsItsStatus) {
  const std::pair<std::function<void(SERIAL_CONFIG&)>, size_t> cases[] = {
      {[](SERIAL_CONFIG& c) { c.BaudRate.BaudRate = 0; }, 1},
      {[](SERIAL_CONFIG& c) { c.PurgeMask = 0; }, 6},
      {[](SERIAL_CONFIG& c) { c.EventMask = 0x8000; }, 8}};
  for (const auto& [spoil, sent] : cases) {
    SERIAL_CONFIG config = LinkBench::StartupConfig();
    spoil(config);
    bench_.port().ClearRequests();
    Record();
    EXPECT_EQ(IFInitializeInterface(reader(), &config), STATUS_INVALID_PARAMETER) << sent;
    EXPECT_EQ(Controls().size(), sent);
    std::vector<ULONG> expected_delays(sent, 25);
    expected_delays.push_back(450);
    EXPECT_EQ(Delays(), expected_delays) << sent;
    EXPECT_FALSE(bench_.port().has_pending_wait());  // the listener is not armed
  }
}

TEST_F(SerialSetUp, RequestsThatCannotBeBuiltAreNotSent) {
  // The eight set-up requests are built; the listener's wait is not, which fails the set-up.
  bench_.platform().pool().FailAllocations(PoolTag("Irp "), 8);
  EXPECT_EQ(bench_.Initialize(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(bench_.port().has_pending_wait());
  const size_t before = bench_.port().Requests().size();
  bench_.platform().pool().FailAllocations(PoolTag("Irp "), 0, 2);
  ULONG mask = SERIAL_PURGE_RXCLEAR;
  EXPECT_EQ(IFSerialIoctl(reader(), IOCTL_SERIAL_PURGE, &mask, sizeof(mask), nullptr, 0),
            STATUS_INSUFFICIENT_RESOURCES);
  // A frame: no answer is awaited either.
  UCHAR value = 0;
  Record();
  EXPECT_EQ(IFReadSTCRegister(reader(), 0, 1, &value), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(Waits().empty());
  EXPECT_EQ(bench_.port().Requests().size(), before);
  EXPECT_TRUE(Frames().empty());
}

// A port that holds every control request until the test completes it, or until the request
// is cancelled.
class SerialIoctlPending : public tolvex::testing::TestDriverTest {
 protected:
  void SetUp() override {
    TestDriverTest::SetUp();
    if (HasFatalFailure()) return;
    held_ = nullptr;
    received_ = cancelled_ = 0;
    RtlZeroMemory(&reader_, sizeof(reader_));
    reader_.ReadTotalTimeout = 40;
    reader_.SerialDeviceObject = AddDevice(nullptr, [](PDEVICE_OBJECT, PIRP irp) {
      std::lock_guard lock(mutex_);
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, Cancel);
      held_ = irp;
      ++received_;
      return STATUS_PENDING;
    });
    platform_.clock().StartRecording();
  }
  static void Cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
      std::lock_guard lock(mutex_);
      held_ = nullptr;
      ++cancelled_;
    }
    Complete(irp, STATUS_CANCELLED);
  }
  // Once the port has received `count` requests in all, completes the held request with its
  // 4-byte output, if it is still held.
  static bool CompleteHeld(int count, ULONG output) {
    EXPECT_TRUE(tolvex::testutil::WaitUntil([&] {
      std::lock_guard lock(mutex_);
      return received_ >= count;
    }));
    PIRP irp = nullptr;
    {
      std::lock_guard lock(mutex_);
      irp = held_;
      if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
      held_ = nullptr;
    }
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &output, sizeof(output));
    Complete(irp, STATUS_SUCCESS, sizeof(output));
    return true;
  }
  NTSTATUS GetWaitMask(ULONG* mask) {
    return IFSerialIoctl(&reader_, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, mask, sizeof(*mask));
  }
  std::vector<LONGLONG> Waits() { return platform_.clock().WaitsMs(std::this_thread::get_id()); }

  static inline std::mutex mutex_;
  static inline PIRP held_ = nullptr;
  static inline int received_ = 0;
  static inline int cancelled_ = 0;
  READER_EXTENSION reader_;
};

TEST_F(SerialIoctlPending, RequestCompletedWithinTheTimeReturnsItsFinalStatusAndOutput) {
  reader_.ReadTotalTimeout = 10000;
  std::thread port_side([&] {
    PlatformScope scope(platform_);
    EXPECT_TRUE(CompleteHeld(1, 0x11));
  });
  ULONG mask = 0;
  EXPECT_EQ(GetWaitMask(&mask), STATUS_SUCCESS);
  port_side.join();
  EXPECT_EQ(mask, 0x11u);
  // Awaited for at most ReadTotalTimeout, taken from the record at the time of the call.
  EXPECT_THAT(Waits(), ElementsAre(10000));
}

TEST_F(SerialIoctlPending, RequestOutlivingTheTimeIsCancelledAndAwaitedBeforeReturning) {
  ULONG mask = 0x5A5A5A5A;
  EXPECT_EQ(GetWaitMask(&mask), STATUS_CANCELLED);
  EXPECT_EQ(cancelled_, 1);
  EXPECT_EQ(mask, 0x5A5A5A5Au);  // a cancelled request writes nothing back
  // Nothing of the request is left: no request, no system buffer.
  EXPECT_EQ(platform_.pool().Usage(PoolTag("Irp ")).allocations, 0u);
  EXPECT_EQ(platform_.pool().Usage(PoolTag("IoBf")).allocations, 0u);
  // ReadTotalTimeout, then until the port has let go of it.
  EXPECT_THAT(Waits(), ElementsAre(40, -1));
}

TEST_F(SerialSetUp, OneByteReadEndedByThePortTimeOutReportsIt) {
  ASSERT_EQ(bench_.SetTimeouts({0, 0, 20, 0, 0}), STATUS_SUCCESS);
  UCHAR byte = 0x77;
  EXPECT_EQ(IFSerialRead(reader(), &byte, 1), STATUS_TIMEOUT);
  EXPECT_EQ(byte, 0x77);
  bench_.line().Send({0x3B});
  EXPECT_EQ(IFSerialRead(reader(), &byte, 1), STATUS_SUCCESS);
  EXPECT_EQ(byte, 0x3B);
  EXPECT_EQ(bench_.port().Requests().back().major, IRP_MJ_READ);
  EXPECT_EQ(bench_.port().Requests().back().length, 1u);
}

TEST_F(SerialSetUp, DelaySleepsBelowDispatchLevelAndStallsAtIt) {
  auto& clock = bench_.platform().clock();
  for (const KIRQL irql : {PASSIVE_LEVEL, DISPATCH_LEVEL}) {
    for (const ULONG ms : {25u, 0u}) {  // a zero sleep, not none
      Record();
      {
        tolvex::platform::IrqlGuard raised(irql);
        SysDelay(ms);
      }
      const bool stalls = irql == DISPATCH_LEVEL;
      EXPECT_EQ(Delays(), stalls ? std::vector<ULONG>{} : std::vector<ULONG>{ms});
      EXPECT_EQ(clock.StallCount(driver_), stalls ? ms * 20 : 0);  // in steps of 50 us
      for (const auto& record : clock.Records()) {
        if (record.kind == tolvex::platform::Clock::Kind::kStall) {
          EXPECT_EQ(record.amount, 50);
        }
      }
    }
  }
}

}  // namespace
