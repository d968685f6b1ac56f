// The receive path: the reader's escaped stream, its event codes, the receive buffer's bound,
// and IFRead's waits and verdicts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "support/card_bench.h"
#include "support/wait.h"

namespace {

using ::testing::ElementsAre;
using tolvex::platform::PlatformScope;
using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;
using tolvex::platform::SpinLockGuard;
using tolvex::testutil::Bytes;
using tolvex::testutil::Hex;
using tolvex::testutil::WaitUntil;

class ReceivePath : public tolvex::testutil::LinkBenchTest {
 protected:
  ULONG CardState() { return SharedLoad(smartcard()->ReaderCapabilities.CurrentState); }
};

// A command's answer as the reader sends it, and a read of `count` bytes of it.
struct StreamCase {
  const char* name;
  UCHAR wtx;          // the card's waiting time extension in force
  const char* reply;  // in hex
  ULONG count;
  NTSTATUS status;
  const char* data;  // delivered; none: the read's buffer is left alone
  ULONG left_after;  // bytes left in the receive buffer afterwards
  NTSTATUS character_error = STATUS_SUCCESS;
  friend void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }
};

class ReceivedStream : public ReceivePath, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(ReceivedStream, IsDecodedIntoTheBuffer) {
  const StreamCase& c = GetParam();
  SetWtx(c.wtx);
  Command(Hex(c.reply));
  EXPECT_EQ(Read(c.count), c.status);
  EXPECT_EQ(bytes_, *c.data != 0 ? Hex(c.data) : Bytes(c.count, 0xEE));
  WaitUntilQuiet();
  EXPECT_EQ(Received(), c.left_after);
  EXPECT_EQ(SharedLoad(reader()->CharacterErrorStatus), c.character_error);
}

// The reports that end a read, before it or while it waits, are in handover_test.cc. After a
// reader error the read's verdict is the reader's code at the front of the buffer, as
// the reader's codes translate, unless that is a success code; without a waiting time
// extension the reader falls silent after its error: a time-out.
const StreamCase kStreams[] = {
    {"EscapeCodesInsideData", 0, "41 10 10 10 10 42", 4, STATUS_SUCCESS, "41 10 10 42", 0},
    {"IgnoredCodesStoreNothing", 0, "10 90 10 81 10 87 10 8F 42", 1, STATUS_SUCCESS, "42", 0},
    {"BytesBehindTheAwaitedOnesStay", 0, "90 3B 00", 1, STATUS_SUCCESS, "90", 2},
    {"DamagedCharacterKeepsItsPlaceAsZero", 0, "90 10 88 41 42", 4, STATUS_SUCCESS, "90 00 41 42",
     0, STATUS_DATA_ERROR},
    {"ReportsBeforeTheAnswerBelongToTheExchangeBefore", 0, "10 83 10 88 90 41", 2, STATUS_SUCCESS,
     "90 41", 0},
    {"ReaderErrorEndsAReadForMoreThanTheBufferHolds", 2, "10 84", 800, STATUS_DATA_ERROR, "", 0},
    {"ReaderErrorBehindASuccessCodeIsNoSuccess", 2, "90 10 84", 2, STATUS_UNSUCCESSFUL, "", 1},
    {"ReaderErrorBehindAnOverrunCode", 2, "81 10 84", 2, STATUS_DATA_OVERRUN, "", 1},
    {"ReaderErrorBehindAParityCode", 2, "82 10 84", 2, STATUS_CRC_ERROR, "", 1},
    {"ReaderErrorBehindABlockEndCode", 2, "83 10 84", 2, STATUS_IO_TIMEOUT, "", 1},
    {"ReaderErrorBehindDataThatIsNoCode", 2, "41 10 84", 2, STATUS_UNSUCCESSFUL, "", 1},
};

INSTANTIATE_TEST_SUITE_P(Streams, ReceivedStream, ::testing::ValuesIn(kStreams),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(ReceivePath, EscapeSplitAcrossTwoPassesIsAnEvent) {
  SharedStore(smartcard()->ReaderCapabilities.CurrentState, SCARD_ABSENT);
  bench_.line().Send({0x10});
  WaitUntilQuiet();  // the pass that read the escape byte is over
  bench_.line().Send({0x85});
  EXPECT_TRUE(WaitUntil([&] { return CardState() == SCARD_PRESENT; }));
  WaitUntilQuiet();
  EXPECT_EQ(Received(), 0u);  // 0x85 was not taken as data
}

TEST_F(ReceivePath, CardEventsInOneBurstAreAllTaken) {
  // Pulled out and put back at once: both reports, and the bytes behind them, are taken.
  Command({});
  bench_.line().Send({0x10, 0x86, 0x10, 0x85, 0x41, 0x42});
  EXPECT_EQ(Read(2), STATUS_SUCCESS);
  EXPECT_THAT(bytes_, ElementsAre(0x41, 0x42));
  EXPECT_EQ(CardState(), SCARD_PRESENT);
  bench_.line().Send({0x10, 0x85, 0x10, 0x86});
  EXPECT_TRUE(WaitUntil([&] { return CardState() == SCARD_ABSENT; }));
  WaitUntilQuiet();
  EXPECT_EQ(bench_.port().receive_queue(), 0u);
}

TEST_F(ReceivePath, BytesThatCameWhileNobodyWaitedAreTakenAtOnce) {
  Command({0x41, 0x42, 0x43});
  ASSERT_TRUE(WaitUntil([&] { return Received() == 3; }));
  Record();
  ASSERT_EQ(Read(2), STATUS_SUCCESS);
  EXPECT_THAT(bytes_, ElementsAre(0x41, 0x42));
  EXPECT_TRUE(Waits().empty());
  EXPECT_EQ(Received(), 1u);
  // The next command drops what is left; it is never taken for the new answer.
  Command({0x90});
  ASSERT_EQ(Read(1), STATUS_SUCCESS);
  EXPECT_THAT(bytes_, ElementsAre(0x90));
}

TEST_F(ReceivePath, ReadWaitsIntervalPerByteAndTotalAsTheyStandAtTheRead) {
  Record();
  EXPECT_EQ(Read(0), STATUS_SUCCESS);
  EXPECT_TRUE(Waits().empty());  // at once
  Command({0x41, 0x42});
  ASSERT_TRUE(WaitUntil([&] { return Received() == 2; }));
  ExpectSilence();
  Record();
  EXPECT_EQ(Read(3), STATUS_IO_TIMEOUT);  // start-up's 50 ms per byte and 100 ms
  EXPECT_EQ(Received(), 2u);              // a failed read takes nothing
  SharedStore(reader()->ReadIntervalTimeout, 3);
  SharedStore(reader()->ReadTotalTimeout, 7);
  EXPECT_EQ(Read(5), STATUS_IO_TIMEOUT);
  EXPECT_THAT(Waits(), ElementsAre(250, 22));
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
  // Nobody waited: no wake-up is left lying for a later read. But the exchange is over, so a
  // read for more than the buffer holds ends at once, and one for less takes its bytes.
  EXPECT_EQ(KeReadStateEvent(&reader()->DataEvent), 0);
  Record();
  EXPECT_EQ(Read(768), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(Waits().empty());
  ASSERT_EQ(Read(767), STATUS_SUCCESS);
  EXPECT_TRUE(std::equal(bytes_.begin(), bytes_.end(), stream.begin()));  // the first ones kept
}

TEST_F(ReceivePath, BlockEndIsRecordedUnlessTheWaitingTimeIsExtended) {
  // Without the report, IFReadLastCWT waits ReadIntervalTimeout and reports the time-out.
  for (const auto& [wtx, status, waits] :
       {std::tuple{UCHAR{0}, STATUS_SUCCESS, std::vector<LONGLONG>{}},
        std::tuple{UCHAR{3}, STATUS_IO_TIMEOUT, std::vector<LONGLONG>{50}}}) {
    SetWtx(wtx);
    Command({0x41, 0x10, 0x83});
    ASSERT_TRUE(WaitUntil([&] { return Received() == 1; }));
    WaitUntilQuiet();  // and the report that came with the byte is taken too
    Record();
    EXPECT_EQ(IFReadLastCWT(reader()), status) << int{wtx};
    EXPECT_EQ(Waits(), waits) << int{wtx};
  }
}

TEST_F(ReceivePath, ReaderWhoseBytesCameBeforeAnEventIsNotHeldUntilTheLineIsQuiet) {
  // The port's read time-out is long: a pass that waited for the quiet line after the
  // end-of-block report would hold the reader's answer back for 30 s.
  ASSERT_EQ(bench_.SetTimeouts({50, 0, 30000, 0, 1000}), STATUS_SUCCESS);
  SharedStore(reader()->ReadTotalTimeout, 60000);
  Command({0x90, 0x02, 0x40, 0x00, 0x42, 0x10, 0x83});
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Read(1), STATUS_SUCCESS);
  ASSERT_EQ(Read(4), STATUS_SUCCESS);
  EXPECT_THAT(bytes_, ElementsAre(0x02, 0x40, 0x00, 0x42));
  EXPECT_EQ(IFReadLastCWT(reader()), STATUS_SUCCESS);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST_F(ReceivePath, QuietLineEndsTheWaitEarlyAndTheNextCommandPurgesFirst) {
  Command({});
  const auto start = std::chrono::steady_clock::now();
  // A huge wait of its own; the worker's read time-out on the quiet line (100 ms) ends it. The
  // byte comes once the read waits, so the pass that takes it reads on for the rest.
  SharedStore(reader()->ReadTotalTimeout, 60000);
  std::thread reader_sends([&] {
    PlatformScope scope(bench_.platform());
    if (WaitUntil([&] {
          SpinLockGuard lock(&reader()->ReceiveLock);
          return reader()->ExpectedCount != NOBODY_WAITS;
        })) {
      bench_.line().Send({0x41});
    }
  });
  EXPECT_EQ(Read(3), STATUS_IO_TIMEOUT);
  reader_sends.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  SharedStore(reader()->ReadTotalTimeout, 100);
  WaitUntilQuiet();
  // The port's transmit queue is purged by the next command, before its frame: never after it,
  // where the purge could take the frame away; the receive queue never. Then no more.
  for (const bool purged : {true, false}) {
    bench_.port().ClearRequests();
    Command({0x90});
    ASSERT_EQ(Read(1), STATUS_SUCCESS);
    std::vector<ULONG> kinds;  // writes as 0
    for (const auto& r : bench_.port().Requests()) {
      if (r.major == IRP_MJ_WRITE || r.code == IOCTL_SERIAL_PURGE) kinds.push_back(r.code);
    }
    EXPECT_EQ(kinds, (purged ? std::vector<ULONG>{IOCTL_SERIAL_PURGE, 0} : std::vector<ULONG>{0}));
    if (purged) {
      EXPECT_EQ(bench_.port().Requests().front().input, (Bytes{SERIAL_PURGE_TXCLEAR, 0, 0, 0}));
    }
  }
}

TEST_F(ReceivePath, QuietLineDoesNotEndTheWaitWhileTheWaitingTimeIsExtended) {
  SetWtx(2);
  Command({0x41});
  SharedStore(reader()->ReadTotalTimeout, 400);
  Record();
  EXPECT_EQ(Read(3), STATUS_IO_TIMEOUT);
  // It ran out its own wait: 3 x 50 + 400 ms, well past the port's 100 ms read time-out.
  EXPECT_THAT(Waits(), ElementsAre(550));
}

TEST_F(ReceivePath, DataSetReadyChangeRunsTheRemovalRoutineAndListeningEnds) {
  bench_.line().SetDsr(false);
  ASSERT_TRUE(bench_.WaitForRemoval(1, std::chrono::seconds(10)));
  bench_.platform().DrainWorkQueue();
  EXPECT_FALSE(bench_.port().has_pending_wait());
  // Nothing the reader sends is taken in any more.
  ExpectSilence();
  Command({0x90});
  EXPECT_EQ(Read(1), STATUS_IO_TIMEOUT);
}

}  // namespace
