// The port's control requests: settings, line requests, status, purge, and their buffers.
#include "serial/port_fixture.h"

namespace tolvex::serial::port_tests {
namespace {

using ControlRequestTest = SerialPortTest;
using HeldControlRequestTest = HeldPortTest;

struct QueueSize {
  ULONG InSize;
  ULONG OutSize;
};

// What the port reports of its settings, one GET request each.
std::vector<Bytes> Snapshot(PDEVICE_OBJECT device) {
  std::vector<Bytes> all;
  for (auto [code, size] : {std::pair{IOCTL_SERIAL_GET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE)},
                            std::pair{IOCTL_SERIAL_GET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL)},
                            std::pair{IOCTL_SERIAL_GET_CHARS, sizeof(SERIAL_CHARS)},
                            std::pair{IOCTL_SERIAL_GET_HANDFLOW, sizeof(SERIAL_HANDFLOW)},
                            std::pair{IOCTL_SERIAL_GET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS)},
                            std::pair{IOCTL_SERIAL_GET_WAIT_MASK, sizeof(ULONG)}}) {
    auto request = Request::Control(device, code, {}, static_cast<ULONG>(size));
    EXPECT_EQ(request->Send(), STATUS_SUCCESS);
    all.push_back(request->Finish());
  }
  return all;
}

TEST_F(ControlRequestTest, SettingsAreKeptReportedAndPassedToTheLine) {
  EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 9600u);

  ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{115200}), STATUS_SUCCESS);
  const SERIAL_LINE_CONTROL line{STOP_BITS_2, EVEN_PARITY, 7};
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, line), STATUS_SUCCESS);
  const SERIAL_CHARS chars{0x1A, 0x3F, 0x00, 0x7E, 0x11, 0x13};
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
  const SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE,
                             SERIAL_RTS_CONTROL | SERIAL_XOFF_CONTINUE, 128, 512};
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, flow), STATUS_SUCCESS);
  const SERIAL_TIMEOUTS timeouts{50, 2, 100, 3, 1000};
  SetTimeouts(timeouts);

  EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 115200u);
  EXPECT_EQ(BytesOf(Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL)), BytesOf(line));
  EXPECT_EQ(BytesOf(Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS)), BytesOf(chars));
  EXPECT_EQ(BytesOf(Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW)), BytesOf(flow));
  EXPECT_EQ(BytesOf(Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS)), BytesOf(timeouts));

  const LineSettings seen = line_->settings();
  EXPECT_EQ(seen.baud_rate, 115200u);
  EXPECT_EQ(BytesOf(seen.line_control), BytesOf(line));
  EXPECT_EQ(BytesOf(seen.chars), BytesOf(chars));
  EXPECT_EQ(BytesOf(seen.handflow), BytesOf(flow));
}

TEST_F(ControlRequestTest, InvalidValuesAreRefusedAndChangeNothing) {
  constexpr ULONG kMax = SERIAL_TIMEOUT_MAX;
  const struct {
    const char* what;
    ULONG code;
    Bytes input;
  } cases[] = {
      {"baud rate 0", IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(SERIAL_BAUD_RATE{0})},
      {"4 data bits", IOCTL_SERIAL_SET_LINE_CONTROL,
       BytesOf(SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 4})},
      {"9 data bits", IOCTL_SERIAL_SET_LINE_CONTROL,
       BytesOf(SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 9})},
      {"parity 5", IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(SERIAL_LINE_CONTROL{STOP_BIT_1, 5, 8})},
      {"stop bits 3", IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(SERIAL_LINE_CONTROL{3, NO_PARITY, 8})},
      {"all read time-outs MAXULONG", IOCTL_SERIAL_SET_TIMEOUTS,
       BytesOf(SERIAL_TIMEOUTS{kMax, kMax, kMax, 0, 0})},
      {"handshake bit 0x04", IOCTL_SERIAL_SET_HANDFLOW, BytesOf(SERIAL_HANDFLOW{0x04, 0, 0, 0})},
      {"flow bit 0x20", IOCTL_SERIAL_SET_HANDFLOW, BytesOf(SERIAL_HANDFLOW{0, 0x20, 0, 0})},
      {"negative XonLimit", IOCTL_SERIAL_SET_HANDFLOW, BytesOf(SERIAL_HANDFLOW{0, 0, -1, 0})},
      {"negative XoffLimit", IOCTL_SERIAL_SET_HANDFLOW, BytesOf(SERIAL_HANDFLOW{0, 0, 0, -1})},
      {"wait mask bit 0x200", IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(ULONG{SERIAL_EV_RXCHAR | 0x200})},
      {"purge mask 0", IOCTL_SERIAL_PURGE, BytesOf(ULONG{0})},
      {"purge bit 0x10", IOCTL_SERIAL_PURGE, BytesOf(ULONG{SERIAL_PURGE_RXCLEAR | 0x10})},
  };
  // Settings other than the defaults, so that a refused request cannot look like a reset.
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_DSR}), STATUS_SUCCESS);
  SetTimeouts(SERIAL_TIMEOUTS{10, 20, 30, 40, 50});
  line_->Send({1, 2, 3});
  const std::vector<Bytes> before = Snapshot(device_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Result result = Call(c.code, c.input);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(Snapshot(device_), before);
  }
  EXPECT_EQ(port_->receive_queue(), 3u) << "a refused purge purged";
}

TEST_F(ControlRequestTest, ShortBuffersAreRefusedAndNothingIsWritten) {
  const struct {
    ULONG code;
    Bytes input;          // a valid input, one byte too long for the test
    ULONG output_length;  // the output the request needs
  } cases[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(SERIAL_BAUD_RATE{19200}), 0},
      {IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(SERIAL_LINE_CONTROL{STOP_BITS_2, ODD_PARITY, 7}), 0},
      {IOCTL_SERIAL_SET_CHARS, BytesOf(SERIAL_CHARS{1, 2, 3, 4, 5, 6}), 0},
      {IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(SERIAL_TIMEOUTS{1, 2, 3, 4, 5}), 0},
      {IOCTL_SERIAL_SET_HANDFLOW, BytesOf(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, 0, 1, 2}), 0},
      {IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(ULONG{SERIAL_EV_RXCHAR}), 0},
      {IOCTL_SERIAL_PURGE, BytesOf(ULONG{SERIAL_PURGE_RXCLEAR}), 0},
      {IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(QueueSize{8192, 8192}), 0},
      {IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(SERIAL_BAUD_RATE)},
      {IOCTL_SERIAL_GET_LINE_CONTROL, {}, sizeof(SERIAL_LINE_CONTROL)},
      {IOCTL_SERIAL_GET_CHARS, {}, sizeof(SERIAL_CHARS)},
      {IOCTL_SERIAL_GET_TIMEOUTS, {}, sizeof(SERIAL_TIMEOUTS)},
      {IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof(SERIAL_HANDFLOW)},
      {IOCTL_SERIAL_GET_WAIT_MASK, {}, sizeof(ULONG)},
      {IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG)},
      {IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)},
      {IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)},
  };
  line_->Send({1, 2, 3});
  const std::vector<Bytes> before = Snapshot(device_);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "control code 0x" << std::hex << c.code);
    // The full-sized request is what the port expects...
    Bytes input = c.input;
    if (!input.empty()) input.pop_back();
    const ULONG output_length = c.output_length == 0 ? 0 : c.output_length - 1;
    // ...and one byte short of it is refused, with the caller's buffer as it was.
    Result result = Call(c.code, input, output_length);
    EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(result.output, Bytes(output_length, 0xEE));
    EXPECT_EQ(Snapshot(device_), before);
  }
  EXPECT_EQ(port_->receive_queue(), 3u);
  EXPECT_FALSE(port_->has_pending_wait());
}

TEST_F(ControlRequestTest, UnknownControlCodeIsAnInvalidDeviceRequest) {
  for (ULONG code : {kCarrierCode, SerialControlCode(6), SerialControlCode(11),
                     CTL_CODE(FILE_DEVICE_SMARTCARD, 1, METHOD_BUFFERED, 0)}) {
    SCOPED_TRACE(code);
    Result result = Call(code, {1, 2, 3, 4}, 4);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(result.output, Bytes(4, 0xEE));
  }
}

TEST_F(ControlRequestTest, QueueSizeIsTakenAsAdvice) {
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, QueueSize{65536, 4096}), STATUS_SUCCESS);
}

TEST_F(ControlRequestTest, WaitMaskIsKept) {
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0u);
  const ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_DSR | SERIAL_EV_TXEMPTY;
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_SUCCESS);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), mask);
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_VALID), STATUS_SUCCESS);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), SERIAL_EV_VALID);
}

TEST_F(ControlRequestTest, ModemStatusFollowsTheLine) {
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS),
            SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_DCD_STATE);
  line_->SetDsr(false);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS), SERIAL_CTS_STATE | SERIAL_DCD_STATE);
}

TEST_F(ControlRequestTest, CommStatusCountsReceivedBytesAndReportsErrorsOnce) {
  Result empty = Call(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
  ASSERT_EQ(empty.status, STATUS_SUCCESS);
  EXPECT_EQ(empty.information, 20u);
  EXPECT_EQ(BytesOf(ValueOf<SERIAL_STATUS>(empty.output)), BytesOf(SERIAL_STATUS{}));

  line_->Send(Sequence(5));
  SERIAL_STATUS status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.AmountInInQueue, 5u);
  EXPECT_EQ(status.Errors, 0u);
  EXPECT_EQ(status.AmountInOutQueue, 0u);

  // Past the receive queue's size bytes are dropped, the newest first.
  line_->Send(Sequence(kReceiveQueueSize, 6));
  status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.AmountInInQueue, kReceiveQueueSize);
  EXPECT_EQ(status.Errors, SERIAL_ERROR_QUEUEOVERRUN);
  status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.Errors, 0u) << "an error is reported once";
  EXPECT_EQ(status.AmountInInQueue, kReceiveQueueSize);

  auto read = StartRead(kReceiveQueueSize);
  ASSERT_EQ(read->dispatch_status(), STATUS_SUCCESS);
  EXPECT_EQ(read->Finish(), Sequence(kReceiveQueueSize));
}

TEST_F(ControlRequestTest, PurgeClearsTheReceiveQueueAndAbortsReads) {
  line_->Send(Sequence(7));
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_TXCLEAR}), STATUS_SUCCESS);
  EXPECT_EQ(port_->receive_queue(), 7u);
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR}), STATUS_SUCCESS);
  EXPECT_EQ(port_->receive_queue(), 0u);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, 0u);

  auto first = StartRead(4);
  auto second = StartRead(4);
  ASSERT_EQ(second->dispatch_status(), STATUS_PENDING);
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_TXABORT}), STATUS_SUCCESS);
  EXPECT_FALSE(first->done());
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXABORT}), STATUS_SUCCESS);
  for (auto* read : {first.get(), second.get()}) {
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->status(), STATUS_CANCELLED);
    EXPECT_EQ(read->information(), 0u);
  }
  // The port goes on serving reads.
  line_->Send({9});
  auto third = StartRead(1);
  ASSERT_TRUE(third->Wait());
  EXPECT_EQ(third->Finish(), Bytes{9});
}

TEST_F(HeldControlRequestTest, LineRequestsReachTheLineWithoutBuffers) {
  for (ULONG code : {IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF, IOCTL_SERIAL_SET_DTR,
                     IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS}) {
    Result result = Call(code);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
  }
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE,
                ULONG{SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR}),
            STATUS_SUCCESS);
  EXPECT_EQ(held().calls(), (std::vector<std::string>{"break on", "break off", "dtr on", "dtr off",
                                                      "rts on", "rts off", "purge 12"}));
}

TEST_F(HeldControlRequestTest, CommStatusCountsEveryByteWaitingToGoOut) {
  auto first = StartWrite(Sequence(10));
  auto second = StartWrite(Sequence(5, 11));
  ASSERT_EQ(first->dispatch_status(), STATUS_PENDING);
  ASSERT_EQ(second->dispatch_status(), STATUS_PENDING);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 15u);
  held().Grant(4);
  ASSERT_TRUE(WaitUntil([&] { return held().taken().size() == 4; }));
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 11u);

  // Aborting the writes empties the transmit queue.
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_TXABORT}), STATUS_SUCCESS);
  for (auto* write : {first.get(), second.get()}) {
    ASSERT_TRUE(write->Wait());
    EXPECT_EQ(write->status(), STATUS_CANCELLED);
  }
  EXPECT_EQ(first->information(), 4u);
  EXPECT_EQ(second->information(), 0u);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 0u);
}

}  // namespace
}  // namespace tolvex::serial::port_tests
