// Requests passed down a stack of devices and their completion routines. A request taken back
// by a completion routine that halts the completion is the serial tests' way of sending every
// request (serial/port_fixture.h); cancel routines, and their race with the completion, are
// the serial port's (serial/read_write_test.cc).
#include <gtest/gtest.h>

#include <utility>

#include "support/test_driver.h"

namespace {

using tolvex::testing::TestDriverTest;
using RequestTest = TestDriverTest;

// What a completion routine saw.
struct Probe {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
};

NTSTATUS Completion(PDEVICE_OBJECT device, PIRP, PVOID context) {
  auto* probe = static_cast<Probe*>(context);
  *probe = {probe->calls + 1, device};
  return STATUS_SUCCESS;
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
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp =
      IoBuildDeviceIoControlRequest(0x804, upper, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  IoSetCompletionRoutine(irp, Completion, &builder_saw, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(upper, irp), STATUS_SUCCESS);
  EXPECT_EQ(std::pair(upper_saw.calls, upper_saw.device), std::pair(1, upper));
  EXPECT_EQ(std::pair(builder_saw.calls, builder_saw.device),
            std::pair(1, PDEVICE_OBJECT{nullptr}));
  EXPECT_EQ(KeReadStateEvent(&done), 1);
}

}  // namespace
