// The receive path: the reader's escaped stream, the receive buffer's bound, and the hand-over
// between the receive worker and the reads that wait on it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "support/card_bench.h"

namespace {

using ::testing::ElementsAre;
using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;
using tolvex::platform::SpinLockGuard;
using tolvex::testutil::Bytes;
using tolvex::testutil::Feeder;
using tolvex::testutil::Hex;
using tolvex::testutil::kBenchInterval;
using Clock = std::chrono::steady_clock;

// A read's own time, never run out here: whatever ends a read ends it long before.
constexpr ULONG kLongWait = 60000;
constexpr auto kWellBefore = std::chrono::seconds(30);

class ReceivePath : public tolvex::testutil::LinkBenchTest {
 protected:
  // A command answered 90, the answer taken: what follows belongs to its exchange.
  void Answered() {
    Command({STC_OK});
    ASSERT_EQ(Read(1), STATUS_SUCCESS);
    ASSERT_EQ(bytes_, Bytes{STC_OK});
    reader()->ReadTotalTimeout = kLongWait;
  }
  static LONGLONG ReadWait(ULONG count) { return LONGLONG{kBenchInterval} * count + kLongWait; }
};
using Handover = ReceivePath;

// After a reader error the read's verdict is the reader's code in front of it, unless that is a
// success code; the read's buffer is left alone.
TEST_F(ReceivePath, ReaderErrorGivesTheVerdictOfTheCodeBeforeIt) {
  SetWtx(2);
  const std::pair<const char*, NTSTATUS> kReplies[] = {
      {"90 10 84", STATUS_UNSUCCESSFUL}, {"81 10 84", STATUS_DATA_OVERRUN},
      {"82 10 84", STATUS_CRC_ERROR},    {"83 10 84", STATUS_IO_TIMEOUT},
      {"41 10 84", STATUS_UNSUCCESSFUL},
  };
  for (const auto& [reply, status] : kReplies) {
    SCOPED_TRACE(reply);
    Command(Hex(reply));
    EXPECT_EQ(Read(2), status);
    EXPECT_EQ(bytes_, Bytes(2, 0xEE));
    WaitUntilQuiet();
    EXPECT_EQ(Received(), 1u);
  }
}

TEST_F(ReceivePath, BufferHoldsAtMost767BytesAndAReaderErrorInItsLastCell) {
  SetWtx(2);
  Command({});
  Bytes stream(800);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<UCHAR>(i % 7);  // no 0x10
  bench_.line().Send(stream);
  WaitUntilQuiet();
  ASSERT_EQ(Received(), 767u);
  bench_.line().Send({0x10, 0x88, 0x10, 0x84});
  WaitUntilQuiet();
  EXPECT_EQ(Received(), 767u);
  {
    SpinLockGuard lock(&reader()->ReceiveLock);
    EXPECT_EQ(reader()->ReceiveBuffer[766], stream[766]);
    EXPECT_EQ(reader()->ReceiveBuffer[767], STC_READER_ERROR);  // never beyond
  }
  EXPECT_EQ(SharedLoad(reader()->CharacterErrorStatus), STATUS_DATA_ERROR);
  // The exchange is over: a read for more than the buffer holds ends at once, without a wait
  // left lying for it, and one for less takes its bytes.
  EXPECT_EQ(KeReadStateEvent(&reader()->DataEvent), 0);
  Record();
  EXPECT_EQ(Read(768), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(Waits().empty());
  ASSERT_EQ(Read(767), STATUS_SUCCESS);
  EXPECT_TRUE(std::equal(bytes_.begin(), bytes_.end(), stream.begin()));
}

struct ReportCase {
  const char* name;
  UCHAR wtx;
  const char* stream;  // after the answer
  ULONG count;
  NTSTATUS status;
  const char* data = "";  // delivered on success
  NTSTATUS character_error = STATUS_SUCCESS;
};
const ReportCase kReports[] = {
    {"BytesThenBlockEnd", 0, "41 42 10 83", 2, STATUS_SUCCESS, "41 42"},
    {"ReaderErrorWhileTheWaitingTimeIsExtended", 2, "10 84", 1, STATUS_DATA_ERROR},
    {"DamagedLastByte", 0, "41 10 88", 2, STATUS_SUCCESS, "41 00", STATUS_DATA_ERROR},
    // The card pulled out in the middle of its answer: the rest never comes.
    {"CardRemoved", 0, "41 10 86", 2, STATUS_IO_TIMEOUT},
    // Nothing more comes: the line quiet for the port's read time-out ends the read.
    {"LineFallsQuiet", 0, "41", 2, STATUS_IO_TIMEOUT},
};
class ReportEndsTheRead : public Handover, public ::testing::WithParamInterface<ReportCase> {};

// A report that comes while the read waits ends it at once, long before its own time.
TEST_P(ReportEndsTheRead, AtOnceWhileItWaits) {
  const ReportCase& c = GetParam();
  SetWtx(c.wtx);
  Answered();
  const auto start = Clock::now();
  Record();
  Feeder feeder(bench_, {{ReadWait(c.count), Hex(c.stream)}});
  EXPECT_EQ(Read(c.count), c.status);
  EXPECT_EQ(feeder.done(), 1u);
  EXPECT_THAT(Waits(), ElementsAre(ReadWait(c.count)));
  EXPECT_LT(Clock::now() - start, kWellBefore);
  if (c.status == STATUS_SUCCESS) {
    EXPECT_EQ(bytes_, Hex(c.data));
  }
  EXPECT_EQ(SharedLoad(reader()->CharacterErrorStatus), c.character_error);
}

INSTANTIATE_TEST_SUITE_P(Reports, ReportEndsTheRead, ::testing::ValuesIn(kReports),
                         [](const auto& test) { return std::string(test.param.name); });

// With the card reported gone, a read for the card's bytes after the reader's answer ends at
// once: nothing more comes in the exchange.
TEST_F(ReceivePath, NoReadWaitsForTheBytesOfACardThatIsGone) {
  for (const ULONG state : {ULONG{SCARD_PRESENT}, ULONG{SCARD_ABSENT}}) {
    SCOPED_TRACE(state);
    SharedStore(smartcard()->ReaderCapabilities.CurrentState, state);
    Answered();
    ExpectSilence();
    Record();
    EXPECT_EQ(Read(3), STATUS_IO_TIMEOUT);
    EXPECT_EQ(Waits().size(), state == SCARD_ABSENT ? 0u : 1u);
  }
}

TEST_F(Handover, ReportsOfTheExchangeBeforeNeverEndTheAnswersRead) {
  // The reader sent the card's end of block, a damaged character and the card's removal
  // before it saw the command; they reach the driver while it waits for the command's answer.
  Command({});
  reader()->ReadTotalTimeout = kLongWait;
  Record();
  Feeder feeder(bench_, {{ReadWait(1), {0x10, 0x83, 0x10, 0x88, 0x10, 0x86, 0x10, 0x83, STC_OK}}});
  ASSERT_EQ(Read(1), STATUS_SUCCESS);
  EXPECT_EQ(bytes_, Bytes{STC_OK});
  EXPECT_EQ(SharedLoad(reader()->CharacterErrorStatus), STATUS_SUCCESS);
  EXPECT_EQ(SharedLoad(reader()->BlockEndStatus), STATUS_IO_TIMEOUT);
}

// The read's own time runs out while the worker waits at the port for the rest of the answer:
// the read ends by its time, and the worker's port read, which fails later, leaves the next
// command a purge of whatever waits to go out to the reader.
TEST_F(Handover, ReadThatRunsOutWhileTheWorkerWaitsAtThePort) {
  SERIAL_TIMEOUTS timeouts{0, 0, 2000, 0, 1000};  // the worker's reads wait 2 s
  ASSERT_EQ(
      IFSerialIoctl(reader(), IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), nullptr, 0),
      STATUS_SUCCESS);
  Answered();
  reader()->ReadTotalTimeout = 1000;
  Record();
  Feeder feeder(bench_, {{1100, {0x41}}});
  EXPECT_EQ(Read(2), STATUS_IO_TIMEOUT);
  EXPECT_EQ(RanOut(), std::vector<LONGLONG>{1100});
  ASSERT_TRUE(tolvex::testutil::WaitUntil([&] {
    SpinLockGuard lock(&reader()->ReceiveLock);  // (the port untouched: no other order made)
    return reader()->PurgePending != FALSE;
  }));
  bench_.port().ClearRequests();
  Command({STC_OK});
  ASSERT_FALSE(bench_.port().Requests().empty());
  EXPECT_EQ(bench_.port().Requests().front().code, IOCTL_SERIAL_PURGE);
}

TEST_F(Handover, FrameThePortDoesNotTakeIsAnErrorAndNoAnswerIsAwaited) {
  SERIAL_TIMEOUTS timeouts{50, 0, 100, 0, 50};  // writes end in 50 ms
  ASSERT_EQ(
      IFSerialIoctl(reader(), IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), nullptr, 0),
      STATUS_SUCCESS);
  bench_.line().HoldWrites(true);
  Record();
  const UCHAR value = 0x12;
  EXPECT_EQ(IFWriteSTCRegister(reader(), 5, 1, &value), STATUS_IO_TIMEOUT);
  EXPECT_THAT(Waits(), ElementsAre(-1));  // the write's own, ended by the port's time-out
  bench_.line().HoldWrites(false);
  EXPECT_TRUE(Frames().empty());
}

}  // namespace
