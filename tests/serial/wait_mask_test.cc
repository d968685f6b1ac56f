// Waiting on the event mask.
#include <functional>

#include "serial/port_fixture.h"

namespace tolvex::serial::port_tests {
namespace {

using WaitMaskTest = SerialPortTest;

TEST_F(WaitMaskTest, WaitCompletesWithTheEventsThatOccurred) {
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, SERIAL_CHARS{0, 0, 0, 0x7E, 0x11, 0x13}), STATUS_SUCCESS);
  const struct {
    const char* what;
    ULONG mask;
    std::function<void()> cause;
    ULONG events;
  } cases[] = {
      {"received byte", SERIAL_EV_RXCHAR, [&] { line_->Send({0x42}); }, SERIAL_EV_RXCHAR},
      {"data set ready dropped", SERIAL_EV_DSR, [&] { line_->SetDsr(false); }, SERIAL_EV_DSR},
      {"data set ready raised", SERIAL_EV_DSR | SERIAL_EV_RXCHAR, [&] { line_->SetDsr(true); },
       SERIAL_EV_DSR},
      {"event character", SERIAL_EV_RXFLAG,
       [&] {
         line_->Send({0x01, 0x7E});
       },
       SERIAL_EV_RXFLAG},
      {"event character among others", SERIAL_EV_RXFLAG | SERIAL_EV_RXCHAR | SERIAL_EV_CTS,
       [&] { line_->Send({0x7E}); }, SERIAL_EV_RXFLAG | SERIAL_EV_RXCHAR},
      {"transmit queue emptied", SERIAL_EV_TXEMPTY, [&] { StartWrite({0x55}); }, SERIAL_EV_TXEMPTY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, c.mask), STATUS_SUCCESS);
    auto wait = StartWait();
    ASSERT_EQ(wait->dispatch_status(), STATUS_PENDING);
    EXPECT_TRUE(port_->has_pending_wait());
    c.cause();
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->information(), sizeof(ULONG));
    EXPECT_EQ(wait->completion_irql(), DISPATCH_LEVEL);
    EXPECT_EQ(ValueOf<ULONG>(wait->Finish()), c.events);
  }
}

TEST_F(WaitMaskTest, NewMaskCompletesThePendingWaitWithNoEvents) {
  for (ULONG next : {ULONG{SERIAL_EV_DSR}, ULONG{0}}) {
    SCOPED_TRACE(next);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR}), STATUS_SUCCESS);
    auto wait = StartWait();
    ASSERT_EQ(wait->dispatch_status(), STATUS_PENDING);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, next), STATUS_SUCCESS);
    ASSERT_TRUE(wait->done());
    EXPECT_EQ(wait->status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->information(), sizeof(ULONG));
    EXPECT_EQ(wait->Finish(), Bytes(4, 0));
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), next);
  }
}

TEST_F(WaitMaskTest, EventsAreTakenOnceAndNotLostBetweenWaits) {
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_DSR}),
            STATUS_SUCCESS);
  auto first = StartWait();
  line_->Send({1});
  ASSERT_TRUE(first->Wait());
  EXPECT_EQ(ValueOf<ULONG>(first->Finish()), SERIAL_EV_RXCHAR);

  // The byte was reported: the next wait is for something new.
  auto second = StartWait();
  EXPECT_EQ(second->dispatch_status(), STATUS_PENDING);
  line_->SetDsr(false);
  ASSERT_TRUE(second->Wait());
  EXPECT_EQ(ValueOf<ULONG>(second->Finish()), SERIAL_EV_DSR);

  // Nobody waits while these happen; the next wait takes them at once, and only once.
  line_->Send({2});
  line_->SetDsr(true);
  auto third = StartWait();
  EXPECT_EQ(third->dispatch_status(), STATUS_SUCCESS);
  EXPECT_EQ(ValueOf<ULONG>(third->Finish()), SERIAL_EV_RXCHAR | SERIAL_EV_DSR);
  auto fourth = StartWait();
  EXPECT_EQ(fourth->dispatch_status(), STATUS_PENDING);
}

TEST_F(WaitMaskTest, EventsOutsideTheMaskDoNotCompleteTheWait) {
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_DSR}), STATUS_SUCCESS);
  auto wait = StartWait();
  ASSERT_EQ(wait->dispatch_status(), STATUS_PENDING);
  line_->Send({1, 2, 3});
  StartWrite({4});
  EXPECT_FALSE(wait->Wait(50ms));
  line_->SetDsr(false);
  ASSERT_TRUE(wait->Wait());
  EXPECT_EQ(ValueOf<ULONG>(wait->Finish()), SERIAL_EV_DSR);
}

TEST_F(WaitMaskTest, WaitWithoutMaskOrBesideAnotherWaitIsRefused) {
  auto unmasked = StartWait();
  EXPECT_EQ(unmasked->dispatch_status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(unmasked->Finish(), Bytes{});
  EXPECT_EQ(unmasked->buffer(), Bytes(4, 0xEE));

  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR}), STATUS_SUCCESS);
  auto first = StartWait();
  ASSERT_EQ(first->dispatch_status(), STATUS_PENDING);
  auto second = StartWait();
  EXPECT_EQ(second->dispatch_status(), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(first->done());
  line_->Send({1});
  ASSERT_TRUE(first->Wait());
  EXPECT_EQ(ValueOf<ULONG>(first->Finish()), SERIAL_EV_RXCHAR);
}

}  // namespace
}  // namespace tolvex::serial::port_tests
