// Opening and closing the port, and unloading the driver.
#include "serial/port_fixture.h"

namespace tolvex::serial::port_tests {
namespace {

using LifecycleTest = SerialPortTest;

TEST_F(LifecycleTest, OneHandleAtATimeAndClosingCancelsWhatIsPendingAndForgetsWhatCameMeanwhile) {
  EXPECT_EQ(Open(), STATUS_ACCESS_DENIED);
  // The first handle keeps working.
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{19200}), STATUS_SUCCESS);
  SetWaitMask(SERIAL_EV_DSR);
  line_->Send(Sequence(kReceiveQueueSize + 4));  // an overrun, to be forgotten as well
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR}), STATUS_SUCCESS);
  RequestPtr read = StartRead(4);
  RequestPtr queued = StartRead(4);
  RequestPtr wait = StartWait();
  ASSERT_EQ(wait->dispatch, STATUS_PENDING);
  Close();
  for (Request* request : {read.get(), queued.get(), wait.get()}) {
    EXPECT_EQ(request->status, STATUS_CANCELLED);
    EXPECT_EQ(request->completions.load(), 1);
  }
  EXPECT_FALSE(line_->is_open());
  const size_t kept = port_->receive_queue();
  line_->Send({1, 2, 3});
  line_->SetDsr(false);
  EXPECT_EQ(port_->receive_queue(), kept);

  // A closed port takes no request, and writes nothing into a caller's buffer.
  for (ULONG code : {IOCTL_SERIAL_GET_COMMSTATUS, IOCTL_SERIAL_WAIT_ON_MASK, kCarrierCode}) {
    Result result = Call(code, {1, 2, 3, 4}, sizeof(SERIAL_STATUS));
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(result.output, Bytes(sizeof(SERIAL_STATUS), kUntouched));
  }
  EXPECT_EQ(StartRead(4)->dispatch, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(StartWrite({1, 2})->dispatch, STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(line_->TakeWritten().empty());
  EXPECT_FALSE(port_->has_pending_wait());

  // A failed open leaves it closed; opened again, it works with the settings it had, and
  // nothing from before.
  line_->FailNextOpen(STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Open(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(port_->is_open());
  EXPECT_FALSE(line_->is_open());
  ASSERT_EQ(Open(), STATUS_SUCCESS);
  EXPECT_TRUE(port_->is_open());
  EXPECT_TRUE(line_->is_open());
  EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 19200u);
  EXPECT_EQ(line_->settings().baud_rate, 19200u);
  const SERIAL_STATUS status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.AmountInInQueue, 0u);
  EXPECT_EQ(status.Errors, 0u);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0u);
  SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR);
  EXPECT_EQ(StartWait()->dispatch, STATUS_PENDING);
}

TEST_F(LifecycleTest, UnloadingCancelsPendingRequestsAndFreesEverything) {
  SetWaitMask(SERIAL_EV_DSR);
  RequestPtr read = StartRead(8);
  RequestPtr wait = StartWait();
  line_->Send({1, 2, 3});
  ASSERT_TRUE(WaitUntil([&] { return port_->receive_queue() == 0; }));

  platform_.UnloadDriver(driver_);
  driver_ = nullptr;
  for (Request* request : {read.get(), wait.get()}) {
    EXPECT_EQ(request->status, STATUS_CANCELLED);
    EXPECT_EQ(request->completions.load(), 1);
  }
  EXPECT_EQ(read->information, 3u);
  EXPECT_FALSE(line_->is_open()) << "the line was left open";
  EXPECT_EQ(platform_.FindDevice(u"\\Device\\Serial0"), nullptr);
  read.reset();
  wait.reset();
  // The handle outlived the driver; letting it go frees the device (TearDown counts the pool).
  Close();
  line_->Send({4});  // bytes from a line whose port is gone go nowhere
}

}  // namespace
}  // namespace tolvex::serial::port_tests
