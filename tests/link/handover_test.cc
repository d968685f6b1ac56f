// The hand-over between the receive worker and the reads that wait on it: a report ends the
// read it is for, whether it comes before the read or while it waits, and nothing ends a read
// but its own answer or its own time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <tuple>

#include "support/card_bench.h"
#include "support/wait.h"

namespace {

using ::testing::ElementsAre;
using tolvex::platform::PlatformScope;
using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;
using tolvex::testutil::Bytes;
using tolvex::testutil::Feeder;
using tolvex::testutil::Hex;
using tolvex::testutil::kBenchInterval;
using tolvex::testutil::WaitUntil;
using Clock = std::chrono::steady_clock;

// A read's own time, never run out in these tests: whatever ends a read ends it long before.
constexpr ULONG kLongWait = 60000;
constexpr auto kWellBefore = std::chrono::seconds(30);

class Handover : public tolvex::testutil::CardBenchTest {
 protected:
  // A command answered 90, the answer taken: what follows belongs to its exchange. The reads
  // then get the long wait.
  void Answered() {
    Command({STC_OK});
    ASSERT_EQ(Read(1), STATUS_SUCCESS);
    ASSERT_EQ(bytes_, Bytes{STC_OK});
    reader()->ReadTotalTimeout = kLongWait;
  }
  static LONGLONG ReadWait(ULONG count) { return LONGLONG{kBenchInterval} * count + kLongWait; }
  size_t PortRequests(UCHAR major, ULONG code = 0) {
    size_t n = 0;
    for (const auto& r : bench_.port().Requests()) n += r.major == major && r.code == code;
    return n;
  }
};

struct ReportCase {
  const char* name;
  UCHAR wtx;
  const char* stream;  // after the answer, in hex
  ULONG count;
  NTSTATUS status;
  const char* data = "";  // delivered on success
  NTSTATUS character_error = STATUS_SUCCESS;
};

const ReportCase kReports[] = {
    {"BlockEndBeforeTheBytes", 0, "41 10 83", 2, STATUS_IO_TIMEOUT},
    {"BytesThenBlockEnd", 0, "41 42 10 83", 2, STATUS_SUCCESS, "41 42"},
    {"ReaderError", 0, "10 84", 1, STATUS_IO_TIMEOUT},
    {"ReaderErrorWhileTheWaitingTimeIsExtended", 2, "10 84", 1, STATUS_DATA_ERROR},
    {"DamagedLastByte", 0, "41 10 88", 2, STATUS_SUCCESS, "41 00", STATUS_DATA_ERROR},
};

enum class When { kBeforeTheRead, kWhileItWaits };

class ReportEndsTheRead : public Handover,
                          public ::testing::WithParamInterface<std::tuple<ReportCase, When>> {};

TEST_P(ReportEndsTheRead, AtOnceWheneverItComes) {
  const auto& [c, when] = GetParam();
  SharedStore(smartcard()->T1.Wtx, c.wtx);
  Answered();
  const auto start = Clock::now();
  if (when == When::kBeforeTheRead) {
    bench_.line().Send(Hex(c.stream));
    WaitUntilQuiet();
    Record();
    EXPECT_EQ(Read(c.count), c.status);
    EXPECT_TRUE(Waits().empty());  // the outcome was there: no wait at all
  } else {
    Record();
    Feeder feeder(bench_, {{ReadWait(c.count), Hex(c.stream)}});
    EXPECT_EQ(Read(c.count), c.status);
    EXPECT_EQ(feeder.done(), 1u);
    EXPECT_THAT(Waits(), ElementsAre(ReadWait(c.count)));  // one wait, which the report ended
  }
  EXPECT_LT(Clock::now() - start, kWellBefore);
  if (c.status == STATUS_SUCCESS) {
    EXPECT_EQ(bytes_, Hex(c.data));
  }
  EXPECT_EQ(SharedLoad(reader()->CharacterErrorStatus), c.character_error);
}

INSTANTIATE_TEST_SUITE_P(Reports, ReportEndsTheRead,
                         ::testing::Combine(::testing::ValuesIn(kReports),
                                            ::testing::Values(When::kBeforeTheRead,
                                                              When::kWhileItWaits)),
                         [](const auto& test) {
                           return std::string(std::get<0>(test.param).name) +
                                  (std::get<1>(test.param) == When::kBeforeTheRead ? "_Before"
                                                                                   : "_While");
                         });

TEST_F(Handover, ReportsOfTheExchangeBeforeNeverEndTheAnswersRead) {
  // The reader sent the card's end of block and a damaged character before it saw the
  // command; they reach the driver while it waits for the command's answer.
  Command({});
  reader()->ReadTotalTimeout = kLongWait;
  Record();
  Feeder feeder(bench_, {{ReadWait(1), {0x10, 0x83, 0x10, 0x88, 0x10, 0x83, STC_OK}}});
  ASSERT_EQ(Read(1), STATUS_SUCCESS);
  EXPECT_EQ(bytes_, Bytes{STC_OK});
  EXPECT_EQ(SharedLoad(reader()->CharacterErrorStatus), STATUS_SUCCESS);
  EXPECT_EQ(SharedLoad(reader()->BlockEndStatus), STATUS_IO_TIMEOUT);
}

TEST_F(Handover, WakeUpsThatAreNotTheReadsAnswerDoNotEndIt) {
  // Bytes that came before any read (the very first pass) and wake-ups from elsewhere.
  bench_.line().Send({0x41});
  WaitUntilQuiet();
  reader()->ReadTotalTimeout = kLongWait;
  Record();
  std::thread other([&] {
    PlatformScope scope(bench_.platform());
    if (!WaitUntil([&] { return !Waits().empty(); })) return;
    for (int i = 0; i < 3; ++i) {
      KeSetEvent(&reader()->DataEvent, IO_NO_INCREMENT, FALSE);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    bench_.line().Send({0x42});
  });
  EXPECT_EQ(Read(2), STATUS_SUCCESS);
  other.join();
  EXPECT_EQ(bytes_, (Bytes{0x41, 0x42}));
}

TEST_F(Handover, QuietLineThatBeganBeforeTheReadDoesNotEndIt) {
  // The port's read time-out, long enough that the read below starts well within it (if it
  // did not, the test would pass without showing anything, never fail falsely).
  ASSERT_EQ(bench_.SetTimeouts({50, 0, 300, 0, 1000}), STATUS_SUCCESS);
  Answered();
  bench_.port().ClearRequests();
  // An escape byte alone: the worker reads on for the code that goes with it, and nobody waits.
  bench_.line().Send({STC_ESCAPE});
  ASSERT_TRUE(WaitUntil([&] { return PortRequests(IRP_MJ_READ) == 2; }));
  std::thread late([&] {
    // Once the worker's read has run out and it listens again, the rest of the pair comes. (At
    // least one wait: the first byte's event, gathered while no wait was pending, can complete
    // the next wait at once, and the empty pass after it arms another.)
    if (WaitUntil(
            [&] { return PortRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK) >= 1; })) {
      bench_.line().Send({STC_ESCAPE});
    }
  });
  EXPECT_EQ(Read(1), STATUS_SUCCESS);
  late.join();
  EXPECT_EQ(bytes_, Bytes{STC_ESCAPE});
}

TEST_F(Handover, BlockEndWaitEndsOnTheReport) {
  Answered();
  reader()->ReadIntervalTimeout = kLongWait;
  Record();
  const auto start = Clock::now();
  Feeder feeder(bench_, {{kLongWait, {0x41, 0x10, 0x83}}});
  EXPECT_EQ(IFReadLastCWT(reader()), STATUS_SUCCESS);
  EXPECT_LT(Clock::now() - start, kWellBefore);
  EXPECT_THAT(Waits(), ElementsAre(kLongWait));
}

TEST_F(Handover, FrameThePortDoesNotTakeIsAnErrorAndNoAnswerIsAwaited) {
  // The port gives up on a write after 50 ms.
  ASSERT_EQ(bench_.SetTimeouts({50, 0, 100, 0, 50}), STATUS_SUCCESS);
  bench_.line().HoldWrites(true);
  Record();
  const UCHAR value = 0x12;
  EXPECT_EQ(IFWriteSTCRegister(reader(), 5, 1, &value), STATUS_IO_TIMEOUT);
  EXPECT_THAT(Waits(), ElementsAre(-1));  // the write's own, ended by the port's time-out
  bench_.line().HoldWrites(false);
  EXPECT_TRUE(Frames().empty());
}

}  // namespace
