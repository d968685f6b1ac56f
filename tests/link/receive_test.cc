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
class ReportEndsTheRead : public ReceivePath, public ::testing::WithParamInterface<ReportCase> {};

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

}  // namespace
