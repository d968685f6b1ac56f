// Reads and their time-outs, and writes.
#include "serial/port_fixture.h"

namespace tolvex::serial::port_tests {
namespace {

using ReadTest = SerialPortTest;
using WriteTest = SerialPortTest;
using HeldWriteTest = HeldPortTest;

TEST_F(ReadTest, BytesThereAreServedAtOnceAndPendingReadsInTurnByThePortThread) {
  line_->Send(Sequence(6));
  RequestPtr served = StartRead(4);
  EXPECT_EQ(served->dispatch, STATUS_SUCCESS);
  EXPECT_EQ(served->irql, PASSIVE_LEVEL);
  EXPECT_EQ(served->Finish(), Sequence(4));

  RequestPtr first = StartRead(3);
  RequestPtr second = StartRead(3);
  EXPECT_EQ(StartRead(0)->dispatch, STATUS_SUCCESS);  // a zero-length read waits for nothing
  ASSERT_EQ(second->dispatch, STATUS_PENDING);
  line_->Send({7, 8});
  line_->Send(Sequence(3, 9));
  ASSERT_TRUE(second->Wait());
  for (Request* read : {first.get(), second.get()}) {
    EXPECT_EQ(read->status, STATUS_SUCCESS);
    EXPECT_EQ(read->irql, DISPATCH_LEVEL);
    EXPECT_TRUE(read->pending_returned);
    EXPECT_EQ(read->completions.load(), 1);
  }
  EXPECT_EQ(first->Finish(), Sequence(3, 5));
  EXPECT_EQ(second->Finish(), Sequence(3, 8));

  // A read that would not wait still waits its turn behind one that does, then takes what is
  // there, and that is a success.
  RequestPtr waiting = StartRead(4);
  ASSERT_TRUE(WaitUntil([&] { return port_->receive_queue() == 0; }));  // it has begun
  SetTimeouts(SERIAL_TIMEOUTS{kMax, 0, 0, 0, 0});
  RequestPtr immediate = StartRead(4);
  EXPECT_EQ(immediate->dispatch, STATUS_PENDING);
  line_->Send(Sequence(5, 12));
  ASSERT_TRUE(immediate->Wait());
  EXPECT_EQ(waiting->Finish(), Sequence(4, 11));
  EXPECT_EQ(immediate->status, STATUS_SUCCESS);
  EXPECT_EQ(immediate->Finish(), Sequence(2, 15));
}

// A read under each kind of time-out (interval, multiplier, constant): the bytes there before
// it starts and the bursts sent after, `pause` apart, and how it ends. It is still pending
// `quiet` after it starts, and ends no sooner than `after_last` after the last burst (after
// its start when there is none).
struct TimeoutCase {
  const char* name;
  SERIAL_TIMEOUTS timeouts;
  ULONG length;
  Bytes before;
  std::vector<Bytes> bursts;
  NTSTATUS dispatch;  // STATUS_PENDING when the read waits
  NTSTATUS status;
  Bytes got;
  std::chrono::milliseconds after_last, quiet, pause;
};
TimeoutCase Row(const char* name, SERIAL_TIMEOUTS timeouts, ULONG length, Bytes before,
                std::vector<Bytes> bursts, NTSTATUS dispatch, NTSTATUS status, Bytes got,
                std::chrono::milliseconds after_last = 0ms, std::chrono::milliseconds quiet = 0ms,
                std::chrono::milliseconds pause = 0ms) {
  return {name, timeouts, length, before, bursts, dispatch, status, got, after_last, quiet, pause};
}
void PrintTo(const TimeoutCase& c, std::ostream* os) {
  *os << c.name;
}
class ReadTimeoutTest : public SerialPortTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ReadTimeoutTest, ReadEndsAsItsTimeOutsSay) {
  const TimeoutCase& c = GetParam();
  SetTimeouts(c.timeouts);
  line_->Send(c.before);
  auto last = SteadyClock::now();
  auto gap = last - last;
  RequestPtr read = StartRead(c.length);
  EXPECT_EQ(read->dispatch, c.dispatch);
  if (c.quiet > 0ms) {
    EXPECT_FALSE(read->Wait(c.quiet)) << "ended early";
  }
  for (const Bytes& burst : c.bursts) {
    if (&burst != &c.bursts.front()) std::this_thread::sleep_for(c.pause);
    gap = SteadyClock::now() - last;
    last = SteadyClock::now();
    line_->Send(burst);
  }
  ASSERT_TRUE(read->Wait());
  EXPECT_GE(SteadyClock::now() - last, c.after_last);
  if (c.pause > 0ms && read->information < c.got.size() && gap >= c.after_last) {
    GTEST_SKIP() << "this thread was held up between two bursts for longer than the interval";
  }
  EXPECT_EQ(read->status, c.status);
  EXPECT_EQ(read->Finish(), c.got);
  Bytes buffer = c.got;
  buffer.resize(c.length, kUntouched);
  EXPECT_EQ(read->buffer(), buffer);
}

const TimeoutCase kTimeoutCases[] = {
    Row("NoTimeOutsWaitForEveryByte", {0, 0, 0}, 4, {}, {{1, 2}, {3, 4}}, STATUS_PENDING,
        STATUS_SUCCESS, {1, 2, 3, 4}, 0ms, 50ms),
    Row("TotalIsMultiplierTimesLengthPlusConstant", {0, 15, 30}, 4, {}, {}, STATUS_PENDING,
        STATUS_TIMEOUT, {}, 90ms),
    Row("TotalKeepsTheBytesThatCame", {0, 0, 40}, 5, {7, 8}, {}, STATUS_PENDING, STATUS_TIMEOUT,
        {7, 8}, 40ms),
    Row("IntervalRunsOnlyOnceBytesCome", {30, 0, 0}, 8, {}, {{1, 2, 3}}, STATUS_PENDING,
        STATUS_TIMEOUT, {1, 2, 3}, 30ms, 50ms),
    Row("EachByteRestartsTheInterval", {300, 0, 0}, 8, {}, {{1}, {2}}, STATUS_PENDING,
        STATUS_TIMEOUT, {1, 2}, 300ms, 0ms, 30ms),
    Row("IntervalEndsTheReadBeforeALongTotal", {20, 0, 60000}, 8, {}, {{4}}, STATUS_PENDING,
        STATUS_TIMEOUT, {4}, 20ms),
    Row("MaxIntervalReturnsAtOnceWithWhatIsThere", {kMax, 0, 0}, 4, {5, 6}, {}, STATUS_SUCCESS,
        STATUS_SUCCESS, {5, 6}),
    Row("MaxIntervalAndMultiplierReturnOnTheFirstBytes", {kMax, kMax, 60000}, 10, {}, {{1, 2}},
        STATUS_PENDING, STATUS_SUCCESS, {1, 2}, 0ms, 30ms),
    Row("MaxIntervalAndMultiplierEndByTheConstant", {kMax, kMax, 30}, 10, {}, {}, STATUS_PENDING,
        STATUS_TIMEOUT, {}, 30ms),
    Row("HugeTotalIsNoTimeOut", {0, kMax, 0}, 4096, {}, {Sequence(4096)}, STATUS_PENDING,
        STATUS_SUCCESS, Sequence(4096), 0ms, 50ms),
};
INSTANTIATE_TEST_SUITE_P(Kinds, ReadTimeoutTest, ::testing::ValuesIn(kTimeoutCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(WriteTest, FarEndGetsEachWriteWholeAndTheListenerOneChunkPerWrite) {
  for (const Bytes& data : {Bytes{0xFF}, Sequence(300, 7), Bytes{}}) {
    RequestPtr write = StartWrite(data);
    EXPECT_EQ(write->dispatch, STATUS_SUCCESS);
    EXPECT_EQ(write->information, data.size());
    EXPECT_EQ(line_->TakeWritten(), data);
  }
  std::mutex mutex;
  std::vector<Bytes> chunks;
  line_->SetListener([&](std::span<const UCHAR> chunk) {
    std::lock_guard lock(mutex);
    chunks.emplace_back(chunk.begin(), chunk.end());
  });
  const std::vector<Bytes> sent = {Sequence(5), Sequence(1, 0x80), Sequence(64, 0x10)};
  for (const Bytes& data : sent) StartWrite(data);
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return chunks.size() == sent.size();
  }));
  line_->SetListener(nullptr);
  StartWrite({0x42});
  EXPECT_EQ(line_->TakeWritten(), Bytes{0x42});
  std::lock_guard lock(mutex);
  EXPECT_EQ(chunks, sent);
}

TEST_F(HeldWriteTest, WriteWaitsForTheLineAndEndsByItsTimeOut) {
  RequestPtr write = StartWrite(Sequence(6));
  ASSERT_EQ(write->dispatch, STATUS_PENDING);
  held().Grant(2);
  held().Grant(4);
  ASSERT_TRUE(write->Wait());
  EXPECT_EQ(write->outcome(), Outcome(STATUS_SUCCESS, 6));
  EXPECT_EQ(write->irql, DISPATCH_LEVEL);

  SetTimeouts(SERIAL_TIMEOUTS{0, 0, 0, 10, 20});  // 5 bytes: 70 ms
  held().Grant(3);
  const auto start = SteadyClock::now();
  RequestPtr slow = StartWrite(Sequence(5, 20));
  ASSERT_EQ(slow->dispatch, STATUS_PENDING);
  ASSERT_TRUE(slow->Wait());
  EXPECT_GE(SteadyClock::now() - start, 70ms);
  EXPECT_EQ(slow->outcome(), Outcome(STATUS_TIMEOUT, 3));
  Bytes all = Sequence(6);
  for (UCHAR byte : Sequence(3, 20)) all.push_back(byte);
  EXPECT_EQ(held().taken(), all);
}

}  // namespace
}  // namespace tolvex::serial::port_tests
