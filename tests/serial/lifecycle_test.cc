// Opening and closing the port, the request log, and unloading the driver.
#include <tuple>

#include "serial/port_fixture.h"

namespace tolvex::serial::port_tests {
namespace {

using LifecycleTest = SerialPortTest;

auto Fields(const RequestRecord& record) {
  return std::make_tuple(record.major, record.code, record.input, record.length);
}

TEST_F(LifecycleTest, SecondOpenIsRefusedAndTheFirstHandleKeepsWorking) {
  EXPECT_EQ(Open(), STATUS_ACCESS_DENIED);
  EXPECT_TRUE(port_->is_open());
  line_->Send({1});
  auto read = StartRead(1);
  EXPECT_EQ(read->dispatch_status(), STATUS_SUCCESS);
  EXPECT_EQ(read->Finish(), Bytes{1});
}

TEST_F(LifecycleTest, FailedOpenLeavesThePortClosed) {
  Close();
  line_->FailNextOpen(STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Open(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(port_->is_open());
  EXPECT_FALSE(line_->is_open());
  line_->Send({1});
  EXPECT_EQ(port_->receive_queue(), 0u);

  ASSERT_EQ(Open(), STATUS_SUCCESS);
  EXPECT_TRUE(port_->is_open());
  EXPECT_TRUE(line_->is_open());
}

TEST_F(LifecycleTest, ClosingCancelsWhatIsPendingThenClosesTheLine) {
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR}), STATUS_SUCCESS);
  auto read = StartRead(4);
  auto queued = StartRead(4);
  auto wait = StartWait();
  ASSERT_EQ(wait->dispatch_status(), STATUS_PENDING);
  port_->ClearRequests();

  Close();
  for (auto* request : {read.get(), queued.get(), wait.get()}) {
    ASSERT_TRUE(request->done());
    EXPECT_EQ(request->status(), STATUS_CANCELLED);
    EXPECT_EQ(request->completions(), 1);
  }
  const std::vector<RequestRecord> log = port_->Requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].major, IRP_MJ_CLEANUP);
  EXPECT_EQ(log[1].major, IRP_MJ_CLOSE);
  EXPECT_FALSE(port_->is_open());
  EXPECT_FALSE(line_->is_open());
}

TEST_F(LifecycleTest, RequestsOnAClosedPortAreRefused) {
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{19200}), STATUS_SUCCESS);
  Close();
  auto read = StartRead(4);
  EXPECT_EQ(read->dispatch_status(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(read->information(), 0u);
  auto write = StartWrite({1, 2});
  EXPECT_EQ(write->dispatch_status(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(line_->TakeWritten().empty());

  const struct {
    ULONG code;
    Bytes input;
    ULONG output_length;
  } controls[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(SERIAL_BAUD_RATE{9600}), 0},
      {IOCTL_SERIAL_GET_BAUD_RATE, {}, 4},
      {IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(ULONG{SERIAL_EV_RXCHAR}), 0},
      {IOCTL_SERIAL_WAIT_ON_MASK, {}, 4},
      {IOCTL_SERIAL_GET_COMMSTATUS, {}, 20},
      {IOCTL_SERIAL_PURGE, BytesOf(ULONG{SERIAL_PURGE_RXCLEAR}), 0},
      {IOCTL_SERIAL_SET_DTR, {}, 0},
  };
  for (const auto& c : controls) {
    SCOPED_TRACE(::testing::Message() << "control code 0x" << std::hex << c.code);
    Result result = Call(c.code, c.input, c.output_length);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(result.output, Bytes(c.output_length, 0xEE));
  }
  EXPECT_FALSE(port_->has_pending_wait());

  // Opened again, it works, with the settings it had.
  ASSERT_EQ(Open(), STATUS_SUCCESS);
  EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 19200u);
  EXPECT_EQ(line_->settings().baud_rate, 19200u);
}

TEST_F(LifecycleTest, BytesAndEventsWhileClosedAreDropped) {
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_DSR}),
            STATUS_SUCCESS);
  line_->Send(Sequence(kReceiveQueueSize + 1));  // an overrun, to be forgotten as well
  Close();
  const size_t kept = port_->receive_queue();
  line_->Send({1, 2, 3});
  line_->SetDsr(false);
  EXPECT_EQ(port_->receive_queue(), kept);

  ASSERT_EQ(Open(), STATUS_SUCCESS);
  const SERIAL_STATUS status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.AmountInInQueue, 0u);
  EXPECT_EQ(status.Errors, 0u);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0u);
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_DSR}),
            STATUS_SUCCESS);
  auto wait = StartWait();
  EXPECT_EQ(wait->dispatch_status(), STATUS_PENDING);
}

TEST_F(LifecycleTest, RequestLogRecordsEveryRequestInOrder) {
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{38400}), STATUS_SUCCESS);
  (void)Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
  StartWrite({0x60, 0x00, 0x02});
  line_->Send({1, 2});
  StartRead(2);
  Call(kCarrierCode, {9, 8}, 4);
  Close();

  using Row = decltype(Fields(RequestRecord{}));
  const std::vector<Row> expected = {
      {IRP_MJ_CREATE, 0, {}, 0},
      {IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(SERIAL_BAUD_RATE{38400}), 0},
      {IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3},
      {IRP_MJ_WRITE, 0, {0x60, 0x00, 0x02}, 3},
      {IRP_MJ_READ, 0, {}, 2},
      {IRP_MJ_DEVICE_CONTROL, kCarrierCode, {9, 8}, 4},
      {IRP_MJ_CLEANUP, 0, {}, 0},
      {IRP_MJ_CLOSE, 0, {}, 0},
  };
  std::vector<Row> seen;
  for (const RequestRecord& record : port_->Requests()) seen.push_back(Fields(record));
  EXPECT_EQ(seen, expected);

  port_->ClearRequests();
  EXPECT_TRUE(port_->Requests().empty());
}

TEST_F(LifecycleTest, UnloadingCancelsPendingRequestsAndFreesEverything) {
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_DSR}), STATUS_SUCCESS);
  auto read = StartRead(8);
  auto wait = StartWait();
  line_->Send({1, 2, 3});
  ASSERT_TRUE(WaitUntil([&] { return port_->receive_queue() == 0; }));
  ASSERT_EQ(wait->dispatch_status(), STATUS_PENDING);

  platform_.UnloadDriver(driver_);
  driver_ = nullptr;
  for (auto* request : {read.get(), wait.get()}) {
    ASSERT_TRUE(request->done());
    EXPECT_EQ(request->status(), STATUS_CANCELLED);
    EXPECT_EQ(request->completions(), 1);
  }
  EXPECT_EQ(read->information(), 3u);
  read->Finish();
  wait->Finish();
  EXPECT_FALSE(line_->is_open()) << "the line was left open";
  EXPECT_EQ(platform_.FindDevice(u"\\Device\\Serial0"), nullptr);
  // The handle outlived the driver; letting it go frees the device (TearDown counts the pool).
  Close();
  // Bytes from a line whose port is gone go nowhere.
  line_->Send({4});
}

}  // namespace
}  // namespace tolvex::serial::port_tests
