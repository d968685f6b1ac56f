// The receive path: the reader's escaped stream, its event codes, the receive buffer's bound,
// and IFRead's waits and verdicts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "driver/card/card.h"
#include "support/link_bench.h"
#include "support/wait.h"

namespace {

using ::testing::ElementsAre;
using tolvex::host::LinkBench;
using tolvex::platform::PlatformScope;
using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;
using tolvex::platform::SpinLockGuard;
using tolvex::testutil::WaitUntil;
using Bytes = std::vector<UCHAR>;

constexpr UCHAR kCommand = 0x01;  // a frame the scripted reader answers as told

class ReceivePath : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(bench_.Start(), STATUS_SUCCESS); }

  PREADER_EXTENSION reader() { return bench_.reader(); }

  // Sends a command that the reader answers with `reply`.
  void Command(Bytes reply) {
    bench_.script().Expect({kCommand}, std::move(reply));
    ASSERT_EQ(IFWrite(reader(), &kCommand, 1), STATUS_SUCCESS);
  }

  NTSTATUS Read(ULONG count, Bytes* bytes) {
    bytes->assign(count, 0xEE);
    return IFRead(reader(), bytes->data(), count);
  }

  ULONG Received() {
    SpinLockGuard lock(&reader()->ReceiveLock);
    return reader()->ReceivedCount;
  }

  UCHAR BufferAt(ULONG index) {
    SpinLockGuard lock(&reader()->ReceiveLock);
    return reader()->ReceiveBuffer[index];
  }

  void SetWtx(UCHAR value) { SharedStore(bench_.smartcard()->T1.Wtx, value); }

  // Waits until the worker has taken everything from the port and its passes are over.
  void WaitUntilQuiet() {
    ASSERT_TRUE(WaitUntil([&] {
      bench_.platform().DrainWorkQueue();
      return bench_.port().receive_queue() == 0 && bench_.port().has_pending_wait();
    }));
    bench_.platform().DrainWorkQueue();
  }

  LinkBench bench_;
  PlatformScope scope_{bench_.platform()};
};

struct StreamCase {
  const char* name;
  Bytes reply;
  ULONG count;
  NTSTATUS status;
  Bytes data;        // delivered on success
  ULONG left_after;  // bytes left in the receive buffer afterwards
};

class ReceivedStream : public ReceivePath, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(ReceivedStream, IsDecodedIntoTheBuffer) {
  const StreamCase& c = GetParam();
  Command(c.reply);
  Bytes bytes;
  EXPECT_EQ(Read(c.count, &bytes), c.status);
  if (c.status == STATUS_SUCCESS) {
    EXPECT_EQ(bytes, c.data);
  }
  WaitUntilQuiet();
  EXPECT_EQ(Received(), c.left_after);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, ReceivedStream,
    ::testing::Values(
        StreamCase{"EscapedEscapeIsOneDataByte", {0x10, 0x10}, 1, STATUS_SUCCESS, {0x10}, 0},
        StreamCase{"EscapeCodesInsideData",
                   {0x41, 0x10, 0x10, 0x10, 0x10, 0x42},
                   4,
                   STATUS_SUCCESS,
                   {0x41, 0x10, 0x10, 0x42},
                   0},
        StreamCase{"IgnoredCodesStoreNothing",
                   {0x10, 0x90, 0x10, 0x81, 0x10, 0x87, 0x10, 0x8F, 0x42},
                   1,
                   STATUS_SUCCESS,
                   {0x42},
                   0},
        StreamCase{
            "BytesBehindTheAwaitedOnesStay", {0x90, 0x3B, 0x00}, 1, STATUS_SUCCESS, {0x90}, 2},
        StreamCase{"DamagedCharacterKeepsItsPlaceAsZero",
                   {0x90, 0x10, 0x88, 0x41, 0x42},
                   4,
                   STATUS_SUCCESS,
                   {0x90, 0x00, 0x41, 0x42},
                   0},
        StreamCase{"CardReportsBeforeTheAnswerBelongToTheExchangeBefore",
                   {0x10, 0x83, 0x10, 0x88, 0x90, 0x41},
                   2,
                   STATUS_SUCCESS,
                   {0x90, 0x41},
                   0},
        StreamCase{"BlockEndAfterAllAwaitedBytes",
                   {0x41, 0x42, 0x10, 0x83},
                   2,
                   STATUS_SUCCESS,
                   {0x41, 0x42},
                   0},
        StreamCase{
            "BlockEndBeforeTheAwaitedBytes", {0x41, 0x10, 0x83}, 3, STATUS_IO_TIMEOUT, {}, 1},
        StreamCase{"DamagedLastAwaitedByteCompletesTheRead",
                   {0x41, 0x42, 0x10, 0x88},
                   3,
                   STATUS_SUCCESS,
                   {0x41, 0x42, 0x00},
                   0},
        StreamCase{"ReaderErrorThenQuietLine", {0x10, 0x84}, 1, STATUS_IO_TIMEOUT, {}, 0}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(ReceivePath, DamagedCharacterIsReportedButNotOneOfTheExchangeBefore) {
  Command({0x10, 0x88, 0x90, 0x41});
  Bytes bytes;
  ASSERT_EQ(Read(2, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(SharedLoad(reader()->CharacterErrorStatus), STATUS_SUCCESS);
  Command({0x90, 0x10, 0x88, 0x41});
  ASSERT_EQ(Read(3, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(SharedLoad(reader()->CharacterErrorStatus), STATUS_DATA_ERROR);
}

TEST_F(ReceivePath, EscapeSplitAcrossTwoPassesIsAnEvent) {
  SharedStore(bench_.smartcard()->ReaderCapabilities.CurrentState, SCARD_ABSENT);
  bench_.line().Send({0x10});
  WaitUntilQuiet();  // the pass that read the escape byte is over
  bench_.line().Send({0x85});
  EXPECT_TRUE(WaitUntil([&] {
    return SharedLoad(bench_.smartcard()->ReaderCapabilities.CurrentState) == SCARD_PRESENT;
  }));
  WaitUntilQuiet();
  EXPECT_EQ(Received(), 0u);  // 0x85 was not taken as data
}

TEST_F(ReceivePath, InsertionAndRemovalReachTheCardState) {
  auto state = [&] { return SharedLoad(bench_.smartcard()->ReaderCapabilities.CurrentState); };
  bench_.line().Send({0x10, 0x85});
  EXPECT_TRUE(WaitUntil([&] { return state() == SCARD_PRESENT; }));
  bench_.line().Send({0x10, 0x86});
  EXPECT_TRUE(WaitUntil([&] { return state() == SCARD_ABSENT; }));
}

TEST_F(ReceivePath, CardEventsInOneBurstAreAllTaken) {
  // Pulled out and put back at once: both reports, and the bytes behind them, are taken.
  Command({});
  auto state = [&] { return SharedLoad(bench_.smartcard()->ReaderCapabilities.CurrentState); };
  bench_.line().Send({0x10, 0x86, 0x10, 0x85, 0x41, 0x42});
  Bytes bytes;
  EXPECT_EQ(Read(2, &bytes), STATUS_SUCCESS);
  EXPECT_THAT(bytes, ElementsAre(0x41, 0x42));
  EXPECT_EQ(state(), SCARD_PRESENT);
  bench_.line().Send({0x10, 0x85, 0x10, 0x86});
  EXPECT_TRUE(WaitUntil([&] { return state() == SCARD_ABSENT; }));
  WaitUntilQuiet();
  EXPECT_EQ(bench_.port().receive_queue(), 0u);
}

TEST_F(ReceivePath, BufferHoldsAtMost767Bytes) {
  Command({});
  Bytes stream(800);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<UCHAR>(i % 7);  // no 0x10
  bench_.line().Send(stream);
  WaitUntilQuiet();
  EXPECT_EQ(Received(), 767u);
  Bytes bytes;
  ASSERT_EQ(Read(767, &bytes), STATUS_SUCCESS);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), stream.begin()));  // the first ones kept
}

TEST_F(ReceivePath, BytesThatCameWhileNobodyWaitedAreTakenAtOnce) {
  Command({0x41, 0x42, 0x43});
  ASSERT_TRUE(WaitUntil([&] { return Received() == 3; }));
  bench_.platform().clock().StartRecording();
  Bytes bytes;
  ASSERT_EQ(Read(2, &bytes), STATUS_SUCCESS);
  EXPECT_THAT(bytes, ElementsAre(0x41, 0x42));
  EXPECT_TRUE(bench_.platform().clock().WaitsMs(std::this_thread::get_id()).empty());
  EXPECT_EQ(Received(), 1u);
  // The next command drops what is left; it is never taken for the new answer.
  Command({0x90});
  ASSERT_EQ(Read(1, &bytes), STATUS_SUCCESS);
  EXPECT_THAT(bytes, ElementsAre(0x90));
}

TEST_F(ReceivePath, ReadForMoreThanArrivedWaitsIntervalPerByteAndTotal) {
  Command({0x41, 0x42});
  ASSERT_TRUE(WaitUntil([&] { return Received() == 2; }));
  bench_.platform().clock().StartRecording();
  Bytes bytes;
  EXPECT_EQ(Read(3, &bytes), STATUS_IO_TIMEOUT);
  // 50 ms per expected byte plus 100 ms, as the start-up values give.
  EXPECT_THAT(bench_.platform().clock().WaitsMs(std::this_thread::get_id()), ElementsAre(250));
  EXPECT_EQ(Received(), 2u);  // a failed read takes nothing
}

TEST_F(ReceivePath, WaitUsesTheTimeOutsStandingAtTheTimeOfTheRead) {
  SharedStore(reader()->ReadIntervalTimeout, 3);
  SharedStore(reader()->ReadTotalTimeout, 7);
  bench_.platform().clock().StartRecording();
  Bytes bytes;
  EXPECT_EQ(Read(5, &bytes), STATUS_IO_TIMEOUT);
  EXPECT_THAT(bench_.platform().clock().WaitsMs(std::this_thread::get_id()), ElementsAre(22));
}

TEST_F(ReceivePath, ReadOfNothingReturnsAtOnce) {
  bench_.platform().clock().StartRecording();
  Bytes bytes;
  EXPECT_EQ(Read(0, &bytes), STATUS_SUCCESS);
  EXPECT_TRUE(bench_.platform().clock().WaitsMs(std::this_thread::get_id()).empty());
}

TEST_F(ReceivePath, ReaderErrorIsTranslatedWhileTheWaitingTimeIsExtended) {
  SetWtx(2);
  Command({0x10, 0x84});
  Bytes bytes;
  EXPECT_EQ(Read(1, &bytes), STATUS_DATA_ERROR);
}

TEST_F(ReceivePath, ReaderErrorAfterASuccessCodeIsNeverSuccess) {
  SetWtx(2);
  Command({0x90, 0x10, 0x84});
  Bytes bytes;
  EXPECT_EQ(Read(2, &bytes), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Received(), 1u);  // the 0x90 is still there, not taken
}

TEST_F(ReceivePath, ReaderErrorForAReadLargerThanTheBufferEndsItsWait) {
  // 800 bytes can never arrive; the reader's error must end the wait early and safely.
  SetWtx(2);
  Command({0x10, 0x84});
  Bytes bytes;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Read(800, &bytes), STATUS_DATA_ERROR);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));  // not 40 s
  EXPECT_EQ(Received(), 0u);
}

TEST_F(ReceivePath, ReaderErrorAndDamagedCharacterWithAFullBufferStayInside) {
  SetWtx(2);
  Command({});
  bench_.line().Send(Bytes(767, 0x55));
  WaitUntilQuiet();
  ASSERT_EQ(Received(), 767u);
  bench_.line().Send({0x10, 0x88, 0x10, 0x84});
  WaitUntilQuiet();
  EXPECT_EQ(Received(), 767u);
  EXPECT_EQ(BufferAt(766), 0x55);
  EXPECT_EQ(BufferAt(767), STC_READER_ERROR);  // the buffer's last cell, never beyond
  EXPECT_EQ(SharedLoad(reader()->CharacterErrorStatus), STATUS_DATA_ERROR);
  // Nobody waited: no wake-up is left lying for a later read. But the exchange is over, so a
  // read for more than the buffer holds ends at once, and one for less takes its bytes.
  EXPECT_EQ(KeReadStateEvent(&reader()->DataEvent), 0);
  bench_.platform().clock().StartRecording();
  Bytes bytes;
  EXPECT_EQ(Read(768, &bytes), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(bench_.platform().clock().WaitsMs(std::this_thread::get_id()).empty());
  EXPECT_EQ(Read(767, &bytes), STATUS_SUCCESS);
}

TEST_F(ReceivePath, BlockEndWithAllBytesThereIsRecorded) {
  SharedStore(reader()->BlockEndStatus, STATUS_IO_TIMEOUT);
  Command({0x41, 0x10, 0x83});
  Bytes bytes;
  ASSERT_EQ(Read(1, &bytes), STATUS_SUCCESS);
  EXPECT_TRUE(WaitUntil([&] { return SharedLoad(reader()->BlockEndStatus) == STATUS_SUCCESS; }));
  bench_.platform().clock().StartRecording();
  EXPECT_EQ(IFReadLastCWT(reader()), STATUS_SUCCESS);
  EXPECT_TRUE(bench_.platform().clock().WaitsMs(std::this_thread::get_id()).empty());
}

TEST_F(ReceivePath, ReaderWhoseBytesCameBeforeAnEventIsNotHeldUntilTheLineIsQuiet) {
  // The port's read time-out is long: a pass that waited for the quiet line after the
  // end-of-block report would hold the reader's answer back for 30 s.
  SERIAL_TIMEOUTS timeouts{50, 0, 30000, 0, 1000};
  ASSERT_EQ(
      IFSerialIoctl(reader(), IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), nullptr, 0),
      STATUS_SUCCESS);
  SharedStore(reader()->BlockEndStatus, STATUS_IO_TIMEOUT);
  SharedStore(reader()->ReadTotalTimeout, 60000);
  Command({0x90, 0x02, 0x40, 0x00, 0x42, 0x10, 0x83});
  const auto start = std::chrono::steady_clock::now();
  Bytes bytes;
  ASSERT_EQ(Read(1, &bytes), STATUS_SUCCESS);
  ASSERT_EQ(Read(4, &bytes), STATUS_SUCCESS);
  EXPECT_THAT(bytes, ElementsAre(0x02, 0x40, 0x00, 0x42));
  EXPECT_EQ(IFReadLastCWT(reader()), STATUS_SUCCESS);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST_F(ReceivePath, BlockEndWhileNobodyWaitsIsRecorded) {
  SharedStore(reader()->BlockEndStatus, STATUS_IO_TIMEOUT);
  bench_.line().Send({0x10, 0x83});
  EXPECT_TRUE(WaitUntil([&] { return SharedLoad(reader()->BlockEndStatus) == STATUS_SUCCESS; }));
}

TEST_F(ReceivePath, BlockEndIsIgnoredWhileTheWaitingTimeIsExtended) {
  SetWtx(3);
  SharedStore(reader()->BlockEndStatus, STATUS_IO_TIMEOUT);
  Command({0x41, 0x10, 0x83});
  WaitUntilQuiet();
  EXPECT_EQ(SharedLoad(reader()->BlockEndStatus), STATUS_IO_TIMEOUT);
  bench_.platform().clock().StartRecording();
  // Without the report, IFReadLastCWT waits ReadIntervalTimeout and reports the time-out.
  EXPECT_EQ(IFReadLastCWT(reader()), STATUS_IO_TIMEOUT);
  EXPECT_THAT(bench_.platform().clock().WaitsMs(std::this_thread::get_id()), ElementsAre(50));
}

TEST_F(ReceivePath, QuietLineEndsTheWaitEarlyAndTheNextCommandPurgesFirst) {
  Command({});
  Bytes bytes;
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
  EXPECT_EQ(Read(3, &bytes), STATUS_IO_TIMEOUT);
  reader_sends.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  SharedStore(reader()->ReadTotalTimeout, 100);
  WaitUntilQuiet();
  // The port's transmit queue is purged by the next command, before its frame: never after it,
  // where the purge could take the frame away; the receive queue never. Then no more.
  for (const bool purged : {true, false}) {
    bench_.port().ClearRequests();
    Command({0x90});
    ASSERT_EQ(Read(1, &bytes), STATUS_SUCCESS);
    const auto requests = bench_.port().Requests();
    std::vector<std::pair<UCHAR, ULONG>> kinds;
    for (const auto& r : requests) {
      if (r.major == IRP_MJ_WRITE || r.code == IOCTL_SERIAL_PURGE)
        kinds.emplace_back(r.major, r.code);
    }
    auto write = std::pair<UCHAR, ULONG>{IRP_MJ_WRITE, 0};
    auto purge = std::pair<UCHAR, ULONG>{IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_PURGE};
    if (purged) {
      EXPECT_THAT(kinds, ElementsAre(purge, write));
      EXPECT_EQ(requests.front().input, (Bytes{SERIAL_PURGE_TXCLEAR, 0, 0, 0}));
    } else {
      EXPECT_THAT(kinds, ElementsAre(write));
    }
  }
}

TEST_F(ReceivePath, QuietLineDoesNotEndTheWaitWhileTheWaitingTimeIsExtended) {
  SetWtx(2);
  Command({0x41});
  SharedStore(reader()->ReadTotalTimeout, 400);
  bench_.platform().clock().StartRecording();
  Bytes bytes;
  EXPECT_EQ(Read(3, &bytes), STATUS_IO_TIMEOUT);
  // It ran out its own wait: 3 x 50 + 400 ms, well past the port's 100 ms read time-out.
  EXPECT_THAT(bench_.platform().clock().WaitsMs(std::this_thread::get_id()), ElementsAre(550));
}

TEST_F(ReceivePath, DataSetReadyChangeRunsTheRemovalRoutineAndListeningEnds) {
  bench_.line().SetDsr(false);
  ASSERT_TRUE(bench_.WaitForRemoval(1, std::chrono::seconds(10)));
  bench_.platform().DrainWorkQueue();
  EXPECT_FALSE(bench_.port().has_pending_wait());
  // The removal routine purged the port.
  const auto requests = bench_.port().Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().code, IOCTL_SERIAL_PURGE);
  // Nothing the reader sends is taken in any more.
  Command({0x90});
  Bytes bytes;
  EXPECT_EQ(Read(1, &bytes), STATUS_IO_TIMEOUT);
}

TEST_F(ReceivePath, AnswersAlwaysReachTheReaderWhateverTheTiming) {
  // The answer may arrive before IFRead checks the buffer, while it sets up its wait, or
  // after it sleeps; every interleaving must deliver exactly the answer.
  std::mt19937 random(1234);
  for (int round = 0; round < 150; ++round) {
    const ULONG count = 1 + random() % 40;
    Bytes answer(count);
    for (UCHAR& b : answer) b = static_cast<UCHAR>(0x20 + random() % 0x60);
    const UCHAR command = static_cast<UCHAR>(0x02 + round % 0x30);
    bench_.script().Expect({command}, answer);
    ASSERT_EQ(IFWrite(reader(), &command, 1), STATUS_SUCCESS);
    if (random() % 2) std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
    Bytes bytes;
    ASSERT_EQ(Read(count, &bytes), STATUS_SUCCESS) << "round " << round;
    ASSERT_EQ(bytes, answer) << "round " << round;
  }
}

TEST_F(ReceivePath, HostileStreamsNeverLeaveTheBuffer) {
  std::mt19937 random(99);
  SharedStore(reader()->ReadIntervalTimeout, 1);  // keeps each failed read short
  for (int round = 0; round < 20; ++round) {
    Bytes noise(1 + random() % 1200);
    for (UCHAR& b : noise) b = static_cast<UCHAR>(random() % 4 == 0 ? 0x10 : random());
    Command(noise);
    Bytes bytes;
    const ULONG count = random() % 900;
    const NTSTATUS status = Read(count, &bytes);
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_IO_TIMEOUT ||
                status == STATUS_DATA_ERROR || status == STATUS_UNSUCCESSFUL)
        << std::hex << status;
    EXPECT_LE(Received(), 767u);
  }
}

TEST(SmartOSToNtTest, TranslatesTheReaderCodes) {
  struct Case {
    UCHAR code;
    NTSTATUS status;
  };
  const Case cases[] = {
      {0x90, STATUS_SUCCESS},      {0x83, STATUS_IO_TIMEOUT},   {0x84, STATUS_DATA_ERROR},
      {0x88, STATUS_DATA_ERROR},   {0x81, STATUS_DATA_OVERRUN}, {0x82, STATUS_CRC_ERROR},
      {0x00, STATUS_UNSUCCESSFUL}, {0x10, STATUS_UNSUCCESSFUL}, {0x85, STATUS_UNSUCCESSFUL},
      {0x87, STATUS_UNSUCCESSFUL}, {0x8F, STATUS_UNSUCCESSFUL}, {0x91, STATUS_UNSUCCESSFUL},
      {0xFF, STATUS_UNSUCCESSFUL},
  };
  for (const Case& c : cases) EXPECT_EQ(SmartOSToNt(c.code), c.status) << int{c.code};
}

}  // namespace
