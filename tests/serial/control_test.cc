// The port's control requests: settings, line requests, status, purge, the event mask and
// waits on it, and the buffers they take.
#include <array>

#include "serial/port_fixture.h"

namespace tolvex::serial::port_tests {
namespace {

using ControlTest = SerialPortTest;
using HeldControlTest = HeldPortTest;
using WaitMaskTest = SerialPortTest;

const SERIAL_LINE_CONTROL kLine{STOP_BITS_2, EVEN_PARITY, 5};  // the fewest data bits
const SERIAL_CHARS kChars{0x1A, 0x3F, 0x00, 0x7E, 0x11, 0x13};
const SERIAL_HANDFLOW kFlow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE,
                            SERIAL_RTS_CONTROL | SERIAL_XOFF_CONTINUE, 128, 512};
const struct {
  ULONG set, get;
  Bytes value;
} kSettings[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, BytesOf(SERIAL_BAUD_RATE{115200})},
    {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL, BytesOf(kLine)},
    {IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, BytesOf(kChars)},
    {IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW, BytesOf(kFlow)},
    {IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS, BytesOf(SERIAL_TIMEOUTS{50, 2, 100, 3})},
    {IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK, BytesOf(ULONG{SERIAL_EV_VALID})},
};

TEST_F(ControlTest, SettingsAreKeptAndPassedToTheLineAndRefusedRequestsChangeNothing) {
  EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 9600u);
  std::vector<Bytes> set;
  for (const auto& s : kSettings) {
    ASSERT_EQ(Call(s.set, s.value).status, STATUS_SUCCESS);
    set.push_back(s.value);
  }
  auto reported = [this] {
    std::vector<Bytes> all;
    for (const auto& s : kSettings) all.push_back(Call(s.get, {}, s.value.size()).output);
    return all;
  };
  EXPECT_EQ(reported(), set);
  const LineSettings seen = line_->settings();  // as the first four rows of kSettings
  EXPECT_EQ((std::vector{BytesOf(SERIAL_BAUD_RATE{seen.baud_rate}), BytesOf(seen.line_control),
                         BytesOf(seen.chars), BytesOf(seen.handflow)}),
            std::vector(set.begin(), set.begin() + 4));

  constexpr NTSTATUS kInvalid = STATUS_INVALID_PARAMETER;
  constexpr NTSTATUS kTooSmall = STATUS_BUFFER_TOO_SMALL;
  const struct {
    ULONG code;
    Bytes input;
    ULONG output_length;
    NTSTATUS status;
  } kRefusals[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(SERIAL_BAUD_RATE{0}), 0, kInvalid},
      {IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 4}), 0,
       kInvalid},
      {IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 9}), 0,
       kInvalid},
      {IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(SERIAL_LINE_CONTROL{STOP_BIT_1, 5, 8}), 0, kInvalid},
      {IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(SERIAL_LINE_CONTROL{3, NO_PARITY, 8}), 0, kInvalid},
      {IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(SERIAL_TIMEOUTS{kMax, kMax, kMax, 0, 0}), 0, kInvalid},
      {IOCTL_SERIAL_SET_HANDFLOW, BytesOf(SERIAL_HANDFLOW{0x04, 0, 0, 0}), 0, kInvalid},
      {IOCTL_SERIAL_SET_HANDFLOW, BytesOf(SERIAL_HANDFLOW{0, 0x20, 0, 0}), 0, kInvalid},
      {IOCTL_SERIAL_SET_HANDFLOW, BytesOf(SERIAL_HANDFLOW{0, 0, -1, 0}), 0, kInvalid},
      {IOCTL_SERIAL_SET_HANDFLOW, BytesOf(SERIAL_HANDFLOW{0, 0, 0, -1}), 0, kInvalid},
      {IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(ULONG{SERIAL_EV_RXCHAR | 0x200}), 0, kInvalid},
      {IOCTL_SERIAL_PURGE, BytesOf(ULONG{0}), 0, kInvalid},
      {IOCTL_SERIAL_PURGE, BytesOf(ULONG{SERIAL_PURGE_RXCLEAR | 0x10}), 0, kInvalid},
      {IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(sizeof(SERIAL_LINE_CONTROL) - 1), 0, kTooSmall},
      {IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS) - 1, kTooSmall},
      {IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG) - 1, kTooSmall},
      {kCarrierCode, {1, 2, 3, 4}, 4, STATUS_INVALID_DEVICE_REQUEST},
      {SerialControlCode(11), {1, 2, 3, 4}, 4, STATUS_INVALID_DEVICE_REQUEST},
  };
  line_->Send({1, 2, 3});
  for (const auto& c : kRefusals) {
    SCOPED_TRACE(::testing::Message() << "code 0x" << std::hex << c.code << ", " << std::dec
                                      << c.input.size() << " bytes in, " << c.output_length);
    Result result = Call(c.code, c.input, c.output_length);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(result.output, Bytes(c.output_length, kUntouched));
    EXPECT_EQ(reported(), set);
  }
  EXPECT_EQ(port_->receive_queue(), 3u) << "a refused purge purged";
  EXPECT_FALSE(port_->has_pending_wait());
}

TEST_F(ControlTest, StatusCountsBytesReportsAnOverrunOnceAndTheModemLines) {
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS),
            SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_DCD_STATE);
  // The receive queue has a fixed size, whatever the caller asks for: past it bytes are
  // dropped, the newest first.
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, std::array<ULONG, 2>{65536, 4096}), STATUS_SUCCESS);
  line_->Send(Sequence(5));
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, 5u);
  line_->Send(Sequence(kReceiveQueueSize, 6));
  const SERIAL_STATUS status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.AmountInInQueue, kReceiveQueueSize);
  EXPECT_EQ(status.Errors, SERIAL_ERROR_QUEUEOVERRUN);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u) << "reported twice";
  RequestPtr read = StartRead(kReceiveQueueSize);
  ASSERT_EQ(read->dispatch, STATUS_SUCCESS);
  EXPECT_EQ(read->Finish(), Sequence(kReceiveQueueSize));
}

TEST_F(HeldControlTest, LineRequestsReachTheLineAndPurgeAbortsOnlyWhatItNames) {
  for (ULONG code : {IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF, IOCTL_SERIAL_SET_DTR,
                     IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS}) {
    EXPECT_EQ(Call(code).status, STATUS_SUCCESS);
  }
  RequestPtr read = StartRead(4);
  RequestPtr first = StartWrite(Sequence(10));
  RequestPtr second = StartWrite(Sequence(5, 11));
  ASSERT_EQ(second->dispatch, STATUS_PENDING);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 15u);
  held().Grant(4);
  ASSERT_TRUE(WaitUntil([&] { return held().taken().size() == 4; }));
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 11u);
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE,
                ULONG{SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR}),
            STATUS_SUCCESS);
  EXPECT_EQ(first->outcome(), Outcome(STATUS_CANCELLED, 4));
  EXPECT_EQ(second->outcome(), Outcome(STATUS_CANCELLED, 0));
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 0u);
  EXPECT_FALSE(read->done());
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXABORT}), STATUS_SUCCESS);
  EXPECT_EQ(read->outcome(), Outcome(STATUS_CANCELLED, 0));
  EXPECT_EQ(held().calls(), (std::vector<std::string>{"break on", "break off", "dtr on", "dtr off",
                                                      "rts on", "rts off", "purge 12", "purge 0"}));
}

// The waits on events that come while the port waits are the pseudo-terminal test's.
TEST_F(WaitMaskTest, WaitEndsWithTheEventsThatCameOrOnANewMaskAndOnlyOneWaits) {
  EXPECT_EQ(StartWait()->dispatch, STATUS_INVALID_PARAMETER);  // no mask yet
  SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR);
  line_->Send({2});
  line_->SetDsr(false);
  RequestPtr at_once = StartWait();  // the events that came while nobody waited
  EXPECT_EQ(at_once->dispatch, STATUS_SUCCESS);
  EXPECT_EQ(ValueOf<ULONG>(at_once->Finish()), SERIAL_EV_RXCHAR | SERIAL_EV_DSR);
  RequestPtr pending = StartWait();
  ASSERT_EQ(pending->dispatch, STATUS_PENDING);
  EXPECT_TRUE(port_->has_pending_wait());
  EXPECT_EQ(StartWait()->dispatch, STATUS_INVALID_PARAMETER);  // a second one
  line_->Send({3});
  ASSERT_TRUE(pending->Wait());
  EXPECT_EQ(pending->outcome(), Outcome(STATUS_SUCCESS, sizeof(ULONG)));
  EXPECT_EQ(pending->irql, DISPATCH_LEVEL);
  EXPECT_EQ(ValueOf<ULONG>(pending->Finish()), SERIAL_EV_RXCHAR);
  RequestPtr ended = StartWait();
  ASSERT_EQ(ended->dispatch, STATUS_PENDING);
  SetWaitMask(0);  // a new mask ends it with no events
  ASSERT_TRUE(ended->done());
  EXPECT_EQ(ended->status, STATUS_SUCCESS);
  EXPECT_EQ(ended->Finish(), Bytes(4, 0));
}

TEST_F(WaitMaskTest, WriteTakenAtOnceEndsAWaitOnlyWhenItsMaskHoldsTransmitEmpty) {
  // The line takes the write whole inside the request: the port thread is woken for the
  // pending wait only when the wait is for SERIAL_EV_TXEMPTY.
  static constexpr struct {
    ULONG mask;
    bool ends;
  } kCases[] = {
      {SERIAL_EV_TXEMPTY, true},
      {SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY, true},
      {SERIAL_EV_RXCHAR | SERIAL_EV_DSR, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.mask);
    SetWaitMask(c.mask);
    RequestPtr wait = StartWait();
    ASSERT_EQ(wait->dispatch, STATUS_PENDING);
    RequestPtr write = StartWrite(Sequence(3));
    ASSERT_EQ(write->dispatch, STATUS_SUCCESS);
    EXPECT_EQ(write->outcome(), Outcome(STATUS_SUCCESS, 3));
    EXPECT_EQ(wait->Wait(c.ends ? 5s : 100ms), c.ends);
    if (c.ends) {
      EXPECT_EQ(ValueOf<ULONG>(wait->Finish()), SERIAL_EV_TXEMPTY);
    }
    SetWaitMask(0);  // ends a wait still pending
  }
}

TEST_F(ControlTest, RequestRecordKeepsTheLatestRequestsAndStaysBounded) {
  // A reader sends requests for as long as it runs: the record keeps only the latest.
  for (size_t i = 0; i < kRequestRecordLimit + 10; ++i)
    (void)Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK);
  EXPECT_EQ(Call(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
  const std::vector<RequestRecord> requests = port_->Requests();
  EXPECT_LE(requests.size(), kRequestRecordLimit);
  EXPECT_GT(requests.size(), kRequestRecordLimit / 2);
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().code, IOCTL_SERIAL_SET_BREAK_OFF);
  EXPECT_EQ(requests.front().code, IOCTL_SERIAL_GET_WAIT_MASK);
}

using LifecycleTest = SerialPortTest;

TEST_F(LifecycleTest, OneHandleAtATimeAndClosingCancelsWhatIsPendingAndForgetsWhatCameMeanwhile) {
  EXPECT_EQ(Open(), STATUS_ACCESS_DENIED);
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
  line_->Send({1, 2, 3});
  EXPECT_EQ(port_->receive_queue(), 0u);
  // A closed port takes no request, and writes nothing into a caller's buffer.
  Result result = Call(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
  EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(result.output, Bytes(sizeof(SERIAL_STATUS), kUntouched));
  EXPECT_EQ(StartRead(4)->dispatch, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(StartWrite({1, 2})->dispatch, STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(line_->TakeWritten().empty());
  // A failed open leaves it closed; opened again, it has the settings it had, and nothing else.
  line_->FailNextOpen(STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Open(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(port_->is_open());
  ASSERT_EQ(Open(), STATUS_SUCCESS);
  EXPECT_EQ(line_->settings().baud_rate, 19200u);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0u);
}

}  // namespace
}  // namespace tolvex::serial::port_tests
