// The port's control requests: settings, line requests, status, purge, the event mask and
// waits on it, and the buffers they take.
#include <array>
#include <functional>

#include "serial/port_fixture.h"

namespace tolvex::serial::port_tests {
namespace {

using ControlTest = SerialPortTest;
using HeldControlTest = HeldPortTest;
using WaitMaskTest = SerialPortTest;

// Settings other than the defaults, each set by one request and reported by another.
const SERIAL_LINE_CONTROL kLine{STOP_BITS_2, EVEN_PARITY, 7};
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
  const LineSettings seen = line_->settings();
  EXPECT_EQ(seen.baud_rate, 115200u);
  EXPECT_EQ(BytesOf(seen.line_control), BytesOf(kLine));
  EXPECT_EQ(BytesOf(seen.chars), BytesOf(kChars));
  EXPECT_EQ(BytesOf(seen.handflow), BytesOf(kFlow));

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
      // Buffers one byte short of what the request takes in, or gives out.
      {IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(sizeof(SERIAL_LINE_CONTROL) - 1), 0, kTooSmall},
      {IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS) - 1, kTooSmall},
      {IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG) - 1, kTooSmall},
      // Codes the port does not know.
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

TEST_F(ControlTest, StatusCountsBytesReportsErrorsOnceAndTheModemLines) {
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS),
            SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_DCD_STATE);
  line_->SetDsr(false);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS), SERIAL_CTS_STATE | SERIAL_DCD_STATE);
  EXPECT_EQ(BytesOf(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS)), BytesOf(SERIAL_STATUS{}));

  // The receive queue has a fixed size, whatever the caller asks for: past it bytes are
  // dropped, the newest first.
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, std::array<ULONG, 2>{65536, 4096}), STATUS_SUCCESS);
  line_->Send(Sequence(5));
  SERIAL_STATUS status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.AmountInInQueue, 5u);
  EXPECT_EQ(status.Errors, 0u);
  line_->Send(Sequence(kReceiveQueueSize, 6));
  status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.AmountInInQueue, kReceiveQueueSize);
  EXPECT_EQ(status.Errors, SERIAL_ERROR_QUEUEOVERRUN);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u) << "reported twice";
  RequestPtr read = StartRead(kReceiveQueueSize);
  ASSERT_EQ(read->dispatch, STATUS_SUCCESS);
  EXPECT_EQ(read->Finish(), Sequence(kReceiveQueueSize));
}

TEST_F(ControlTest, PurgeClearsTheReceiveQueueAndAbortsOnlyWhatItNames) {
  line_->Send(Sequence(7));
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_TXCLEAR}), STATUS_SUCCESS);
  EXPECT_EQ(port_->receive_queue(), 7u);
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR}), STATUS_SUCCESS);
  EXPECT_EQ(port_->receive_queue(), 0u);

  // A read under way and one behind it; a write the line does not take.
  RequestPtr first = StartRead(4);
  RequestPtr second = StartRead(4);
  line_->Send({1, 2});
  ASSERT_TRUE(WaitUntil([&] { return port_->receive_queue() == 0; }));
  line_->HoldWrites(true);
  RequestPtr write = StartWrite({9});
  ASSERT_EQ(write->dispatch, STATUS_PENDING);
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_TXABORT}), STATUS_SUCCESS);
  EXPECT_EQ(write->outcome(), Outcome(STATUS_CANCELLED, 0));
  EXPECT_FALSE(first->done());
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXABORT}), STATUS_SUCCESS);
  EXPECT_EQ(first->outcome(), Outcome(STATUS_CANCELLED, 2));
  EXPECT_EQ(second->outcome(), Outcome(STATUS_CANCELLED, 0));
  // The port goes on serving reads.
  line_->Send({3});
  RequestPtr third = StartRead(1);
  ASSERT_TRUE(third->Wait());
  EXPECT_EQ(third->Finish(), Bytes{3});
}

TEST_F(HeldControlTest, LineRequestsReachTheLineAndStatusCountsBytesWaitingToGoOut) {
  for (ULONG code : {IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF, IOCTL_SERIAL_SET_DTR,
                     IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS}) {
    EXPECT_EQ(Call(code).status, STATUS_SUCCESS);
  }
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
  EXPECT_EQ(held().calls(), (std::vector<std::string>{"break on", "break off", "dtr on", "dtr off",
                                                      "rts on", "rts off", "purge 12"}));
}

// --- Waits on the event mask ----------------------------------------------------------------

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
      {"event character among others", SERIAL_EV_RXFLAG | SERIAL_EV_RXCHAR | SERIAL_EV_CTS,
       [&] {
         line_->Send({0x01, 0x7E});
       },
       SERIAL_EV_RXFLAG | SERIAL_EV_RXCHAR},
      {"transmit queue emptied", SERIAL_EV_TXEMPTY, [&] { StartWrite({0x55}); }, SERIAL_EV_TXEMPTY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetWaitMask(c.mask);
    RequestPtr wait = StartWait();
    ASSERT_EQ(wait->dispatch, STATUS_PENDING);
    EXPECT_TRUE(port_->has_pending_wait());
    c.cause();
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->outcome(), Outcome(STATUS_SUCCESS, sizeof(ULONG)));
    EXPECT_EQ(wait->irql, DISPATCH_LEVEL);
    EXPECT_EQ(ValueOf<ULONG>(wait->Finish()), c.events);
  }
}

TEST_F(WaitMaskTest, EventsAreTakenOnceAndNotLostBetweenWaits) {
  SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR);
  RequestPtr first = StartWait();
  line_->Send({1});
  ASSERT_TRUE(first->Wait());
  EXPECT_EQ(ValueOf<ULONG>(first->Finish()), SERIAL_EV_RXCHAR);
  // Nobody waits while these happen; the next wait takes them at once, and only once.
  line_->Send({2});
  line_->SetDsr(false);
  RequestPtr second = StartWait();
  EXPECT_EQ(second->dispatch, STATUS_SUCCESS);
  EXPECT_EQ(ValueOf<ULONG>(second->Finish()), SERIAL_EV_RXCHAR | SERIAL_EV_DSR);
  RequestPtr third = StartWait();
  EXPECT_EQ(third->dispatch, STATUS_PENDING);
  // A cancelled wait is done with; another may follow.
  EXPECT_TRUE(third->Cancel());
  EXPECT_EQ(third->status, STATUS_CANCELLED);
  EXPECT_FALSE(port_->has_pending_wait());
  RequestPtr fourth = StartWait();
  EXPECT_EQ(fourth->dispatch, STATUS_PENDING);
  StartWrite({4});  // an emptied transmit queue is no event of this mask
  EXPECT_FALSE(fourth->Wait(30ms));
  line_->SetDsr(true);
  ASSERT_TRUE(fourth->Wait());
  EXPECT_EQ(ValueOf<ULONG>(fourth->Finish()), SERIAL_EV_DSR);
}

TEST_F(WaitMaskTest, NewMaskEndsThePendingWaitWithNoEventsAndASecondWaitIsRefused) {
  RequestPtr unmasked = StartWait();
  EXPECT_EQ(unmasked->dispatch, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(unmasked->Finish(), Bytes{});
  for (ULONG next : {ULONG{SERIAL_EV_DSR}, ULONG{0}}) {
    SCOPED_TRACE(next);
    SetWaitMask(SERIAL_EV_RXCHAR);
    RequestPtr wait = StartWait();
    ASSERT_EQ(wait->dispatch, STATUS_PENDING);
    EXPECT_EQ(StartWait()->dispatch, STATUS_INVALID_PARAMETER);
    SetWaitMask(next);
    ASSERT_TRUE(wait->done());
    EXPECT_EQ(wait->status, STATUS_SUCCESS);
    EXPECT_EQ(wait->Finish(), Bytes(4, 0));
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), next);
  }
}

}  // namespace
}  // namespace tolvex::serial::port_tests
