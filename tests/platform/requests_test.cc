// Requests: device control requests without a system buffer or without pool, and completion
// routines. A request taken back by a completion routine that halts the completion is the
// serial tests' way of sending every request (serial/port_fixture.h); cancel routines, and
// their race with the completion, are the serial port's (serial/read_write_test.cc).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <utility>

#include "support/test_driver.h"

namespace {

using ::testing::ElementsAre;
using tolvex::testing::TestDriverTest;

constexpr ULONG kBufferedCode =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIrpTag = PoolTag("Irp ");
constexpr ULONG kBufferTag = PoolTag("IoBf");
constexpr NTSTATUS kUntouched = TOLVEX_STATUS(0xDEADBEEF);

// What a completion routine saw.
struct Probe {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = kUntouched;
};

NTSTATUS Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* probe = static_cast<Probe*>(context);
  *probe = {probe->calls + 1, device, irp->IoStatus.Status};
  return STATUS_SUCCESS;
}

class RequestTest : public TestDriverTest {
 protected:
  PIRP Build(PDEVICE_OBJECT device, ULONG code, PVOID in = nullptr, ULONG in_length = 0,
             PVOID out = nullptr, ULONG out_length = 0) {
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    iosb_ = IO_STATUS_BLOCK{kUntouched, 0xBAD};
    return IoBuildDeviceIoControlRequest(code, device, in, in_length, out, out_length, FALSE,
                                         &done_, &iosb_);
  }
  bool Finished() { return KeReadStateEvent(&done_) != 0; }

  KEVENT done_;
  IO_STATUS_BLOCK iosb_;
};

TEST_F(RequestTest, NeitherMethodPassesTheCallersBuffersAsTheyAre) {
  UCHAR input[6] = {1, 2, 3, 4, 5, 6};
  UCHAR output[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  PVOID seen_input = nullptr;
  PDEVICE_OBJECT device = AddDevice(nullptr, [&](PDEVICE_OBJECT, PIRP irp) {
    seen_input = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer;
    static_cast<UCHAR*>(irp->UserBuffer)[0] = 0x77;
    return Complete(irp, STATUS_SUCCESS, 1);
  });
  const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);
  EXPECT_EQ(IofCallDriver(device, Build(device, code, input, 6, output, 4)), STATUS_SUCCESS);
  EXPECT_EQ(seen_input, static_cast<PVOID>(input));
  EXPECT_THAT(output, ElementsAre(0x77, 0xEE, 0xEE, 0xEE));
  EXPECT_EQ(platform_.pool().Usage(kBufferTag).total_allocations, 0u);  // no system buffer
}

TEST_F(RequestTest, BuildReturnsNullWhenPoolFailsAndLeavesNothingBehind) {
  PDEVICE_OBJECT device =
      AddDevice(nullptr, [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  const size_t before = platform_.pool().OutstandingAllocations();
  for (ULONG tag : {kIrpTag, kBufferTag}) {
    UCHAR buffer[8] = {};
    platform_.pool().FailAllocations(tag, 0, 1);
    EXPECT_EQ(Build(device, kBufferedCode, buffer, 8, buffer, 8), nullptr);
    EXPECT_EQ(platform_.pool().OutstandingAllocations(), before) << platform_.pool().Describe();
  }
}

TEST_F(RequestTest, CompletionRoutineRunsWhenItsFlagsMatchTheOutcome) {
  const struct {
    const char* name;
    NTSTATUS status;
    bool cancelled;
    BOOLEAN on_success, on_error, on_cancel;
    bool invoked;
  } cases[] = {
      {"success on success", STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
      {"success on error or cancel", STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
      {"error on error", STATUS_IO_DEVICE_ERROR, false, FALSE, TRUE, FALSE, true},
      {"a warning is no success", STATUS_BUFFER_OVERFLOW, false, FALSE, TRUE, FALSE, true},
      {"cancelled on cancel", STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
      {"cancelled but succeeded, on cancel", STATUS_SUCCESS, true, FALSE, FALSE, TRUE, true},
      {"cancel status without a cancel", STATUS_CANCELLED, false, FALSE, FALSE, TRUE, false},
  };
  PIRP held = nullptr;
  PDEVICE_OBJECT device = AddDevice(nullptr, [&held](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PIRP irp = Build(device, kBufferedCode);
    Probe probe;
    IoSetCompletionRoutine(irp, Completion, &probe, c.on_success, c.on_error, c.on_cancel);
    ASSERT_EQ(IofCallDriver(device, irp), STATUS_PENDING);
    if (c.cancelled) {  // no cancel routine: only marks it
      EXPECT_FALSE(IoCancelIrp(held));
    }
    Complete(held, c.status);
    EXPECT_EQ(std::pair(probe.calls, probe.status),
              c.invoked ? std::pair(1, c.status) : std::pair(0, kUntouched));
    EXPECT_TRUE(Finished());
    EXPECT_EQ(iosb_.Status, c.status);
  }
}

// A driver passes a request down with a completion routine of its own. The routines run from
// the lowest up, each given the device whose stack location set it (the builder has none).
TEST_F(RequestTest, RequestPassedDownCompletesThroughEachRoutineWithItsDevice) {
  PDEVICE_OBJECT lower =
      AddDevice(nullptr, [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  Probe upper_saw;
  PDEVICE_OBJECT upper = AddDevice(nullptr, [&](PDEVICE_OBJECT, PIRP irp) {
    *IoGetNextIrpStackLocation(irp) = *IoGetCurrentIrpStackLocation(irp);
    IoSetCompletionRoutine(irp, Completion, &upper_saw, TRUE, TRUE, TRUE);
    return IofCallDriver(lower, irp);
  });
  upper->StackSize = 2;
  Probe builder_saw;
  PIRP irp = Build(upper, kBufferedCode);
  IoSetCompletionRoutine(irp, Completion, &builder_saw, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(upper, irp), STATUS_SUCCESS);
  EXPECT_EQ(std::pair(upper_saw.calls, upper_saw.device), std::pair(1, upper));
  EXPECT_EQ(std::pair(builder_saw.calls, builder_saw.device),
            std::pair(1, PDEVICE_OBJECT{nullptr}));
  EXPECT_TRUE(Finished());
}

}  // namespace
