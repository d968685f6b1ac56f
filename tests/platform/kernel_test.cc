// Events and waits on them.
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

using tolvex::platform::IrqlGuard;
using tolvex::platform::Platform;
using tolvex::platform::PlatformScope;

NTSTATUS Wait(KEVENT* event, ULONGLONG milliseconds) {
  LARGE_INTEGER timeout = RelativeMilliseconds(milliseconds);
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
}

TEST(KernelTest, EventsReleaseWaitsAsTheirTypeSays) {
  Platform platform;
  PlatformScope scope(platform);
  // A notification event releases every wait until it is cleared; zeroed memory is one, not
  // signalled. A synchronization event releases one wait and clears itself.
  KEVENT notification;
  KEVENT zeroed{};
  KEVENT synchronization;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
  EXPECT_EQ(Wait(&synchronization, 0), STATUS_SUCCESS);
  for (KEVENT* event : {&notification, &zeroed, &synchronization}) {
    EXPECT_EQ(Wait(event, 0), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(event, IO_NO_INCREMENT, FALSE), 0);  // the state before
    EXPECT_EQ(KeSetEvent(event, IO_NO_INCREMENT, FALSE), 1);
    IrqlGuard level(DISPATCH_LEVEL);  // a test of the state may be made at DISPATCH_LEVEL
    EXPECT_EQ(Wait(event, 0), STATUS_SUCCESS);
    EXPECT_EQ(Wait(event, 0), event == &synchronization ? STATUS_TIMEOUT : STATUS_SUCCESS);
  }
  EXPECT_EQ(KeResetEvent(&notification), 1);
  EXPECT_EQ(KeReadStateEvent(&notification), 0);
  KeClearEvent(&zeroed);
  EXPECT_EQ(Wait(&zeroed, 0), STATUS_TIMEOUT);
}

}  // namespace
