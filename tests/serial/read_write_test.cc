// Reads and their time-outs, and writes.
#include "serial/port_fixture.h"

namespace tolvex::serial::port_tests {
namespace {

using ReadTest = SerialPortTest;
using WriteTest = SerialPortTest;
using HeldWriteTest = HeldPortTest;
using SteadyClock = std::chrono::steady_clock;

constexpr ULONG kMax = SERIAL_TIMEOUT_MAX;

std::chrono::milliseconds Since(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start);
}

TEST_F(ReadTest, BytesAlreadyThereAreServedAtOnce) {
  line_->Send(Sequence(6));
  auto read = StartRead(4);
  EXPECT_EQ(read->dispatch_status(), STATUS_SUCCESS);
  ASSERT_TRUE(read->done());
  EXPECT_EQ(read->status(), STATUS_SUCCESS);
  EXPECT_EQ(read->completion_irql(), PASSIVE_LEVEL);
  EXPECT_EQ(read->Finish(), Sequence(4));
  EXPECT_EQ(port_->receive_queue(), 2u);
}

TEST_F(ReadTest, PendingReadIsCompletedByThePortThreadAtDispatchLevel) {
  auto read = StartRead(5);
  ASSERT_EQ(read->dispatch_status(), STATUS_PENDING);
  line_->Send({1, 2});
  line_->Send({3, 4, 5, 6});
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(read->status(), STATUS_SUCCESS);
  EXPECT_EQ(read->information(), 5u);
  EXPECT_EQ(read->completion_irql(), DISPATCH_LEVEL);
  EXPECT_TRUE(read->pending_returned());
  EXPECT_EQ(read->completions(), 1);
  EXPECT_EQ(read->Finish(), Sequence(5));
  EXPECT_EQ(port_->receive_queue(), 1u);
}

TEST_F(ReadTest, ReadsAreServedFirstInFirstOut) {
  auto first = StartRead(3);
  auto second = StartRead(3);
  ASSERT_EQ(second->dispatch_status(), STATUS_PENDING);
  line_->Send(Sequence(6));
  ASSERT_TRUE(second->Wait());
  ASSERT_TRUE(first->Wait());
  EXPECT_EQ(first->Finish(), Sequence(3, 1));
  EXPECT_EQ(second->Finish(), Sequence(3, 4));

  // A read that would not wait still waits its turn behind one that does.
  auto waiting = StartRead(4);
  line_->Send({10});
  ASSERT_TRUE(WaitUntil([&] { return port_->receive_queue() == 0; }));  // it has begun
  SetTimeouts(SERIAL_TIMEOUTS{kMax, 0, 0, 0, 0});
  auto immediate = StartRead(4);
  EXPECT_EQ(immediate->dispatch_status(), STATUS_PENDING);
  line_->Send(Sequence(5, 11));
  ASSERT_TRUE(immediate->Wait());
  EXPECT_EQ(waiting->Finish(), Sequence(4, 10));
  // Its turn come, it takes what is there, and that is a success.
  EXPECT_EQ(immediate->status(), STATUS_SUCCESS);
  EXPECT_EQ(immediate->Finish(), Sequence(2, 14));
}

TEST_F(ReadTest, ZeroLengthReadSucceedsAtOnce) {
  for (bool with_read_pending : {false, true}) {
    auto pending = with_read_pending ? StartRead(1) : nullptr;
    auto read = StartRead(0);
    EXPECT_EQ(read->dispatch_status(), STATUS_SUCCESS);
    EXPECT_EQ(read->status(), STATUS_SUCCESS);
    EXPECT_EQ(read->information(), 0u);
  }
}

TEST_F(ReadTest, WithoutTimeOutsAReadWaitsUntilItsBytesComeOrItIsCancelled) {
  auto read = StartRead(4);
  ASSERT_EQ(read->dispatch_status(), STATUS_PENDING);
  EXPECT_FALSE(read->Wait(100ms));
  line_->Send(Sequence(4));
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(read->status(), STATUS_SUCCESS);
  EXPECT_EQ(read->Finish(), Sequence(4));

  auto cancelled = StartRead(4);
  EXPECT_FALSE(cancelled->Wait(50ms));
  EXPECT_TRUE(cancelled->Cancel());
  ASSERT_TRUE(cancelled->done());
  EXPECT_EQ(cancelled->status(), STATUS_CANCELLED);
}

TEST_F(ReadTest, TotalTimeOutIsMultiplierTimesLengthPlusConstant) {
  SetTimeouts(SERIAL_TIMEOUTS{0, 15, 30, 0, 0});  // 4 bytes: 90 ms
  const auto start = SteadyClock::now();
  auto read = StartRead(4);
  ASSERT_EQ(read->dispatch_status(), STATUS_PENDING);
  ASSERT_TRUE(read->Wait());
  EXPECT_GE(Since(start), 90ms);
  EXPECT_EQ(read->status(), STATUS_TIMEOUT);
  EXPECT_EQ(read->information(), 0u);
  EXPECT_TRUE(read->Finish().empty());
  EXPECT_EQ(read->buffer(), Bytes(4, 0xEE));

  // Bytes that came before the time-out go with it.
  SetTimeouts(SERIAL_TIMEOUTS{0, 0, 40, 0, 0});
  line_->Send({7, 8});
  auto partial = StartRead(5);
  ASSERT_EQ(partial->dispatch_status(), STATUS_PENDING);
  ASSERT_TRUE(partial->Wait());
  EXPECT_EQ(partial->status(), STATUS_TIMEOUT);
  EXPECT_EQ(partial->information(), 2u);
  EXPECT_EQ(partial->Finish(), (Bytes{7, 8}));
}

TEST_F(ReadTest, IntervalTimeOutRunsFromEachByte) {
  SetTimeouts(SERIAL_TIMEOUTS{30, 0, 0, 0, 0});
  auto read = StartRead(8);
  // The interval does not run before the first byte.
  EXPECT_FALSE(read->Wait(100ms));
  const auto start = SteadyClock::now();
  line_->Send({1, 2, 3});
  ASSERT_TRUE(read->Wait());
  EXPECT_GE(Since(start), 30ms);
  EXPECT_EQ(read->status(), STATUS_TIMEOUT);
  EXPECT_EQ(read->Finish(), (Bytes{1, 2, 3}));

  // With a long total time-out, the interval still ends the read first.
  SetTimeouts(SERIAL_TIMEOUTS{20, 0, 60000, 0, 0});
  auto second = StartRead(8);
  line_->Send({4});
  ASSERT_TRUE(second->Wait());
  EXPECT_EQ(second->status(), STATUS_TIMEOUT);
  EXPECT_EQ(second->Finish(), Bytes{4});
}

TEST_F(ReadTest, EachByteRestartsTheIntervalTimeOut) {
  SetTimeouts(SERIAL_TIMEOUTS{100, 0, 0, 0, 0});
  // Should this thread be held up past the interval between the two bytes, the read rightly
  // ends with one; that attempt shows nothing and is made again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    auto read = StartRead(3);
    line_->Send({1});
    std::this_thread::sleep_for(50ms);
    const auto second = SteadyClock::now();
    line_->Send({2});
    ASSERT_TRUE(read->Wait());
    ASSERT_EQ(read->status(), STATUS_TIMEOUT);
    if (read->information() == 1) {
      ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR}), STATUS_SUCCESS);
      continue;
    }
    EXPECT_GE(Since(second), 100ms) << "the interval ran from the first byte only";
    EXPECT_EQ(read->Finish(), (Bytes{1, 2}));
    return;
  }
  GTEST_SKIP() << "the two bytes never went out within the interval";
}

TEST_F(ReadTest, MaxIntervalWithoutTotalsReturnsAtOnceWithWhatIsThere) {
  SetTimeouts(SERIAL_TIMEOUTS{kMax, 0, 0, 0, 0});
  auto nothing = StartRead(4);
  EXPECT_EQ(nothing->dispatch_status(), STATUS_SUCCESS);
  EXPECT_EQ(nothing->status(), STATUS_SUCCESS);
  EXPECT_EQ(nothing->information(), 0u);

  line_->Send({5, 6});
  auto some = StartRead(4);
  EXPECT_EQ(some->dispatch_status(), STATUS_SUCCESS);
  EXPECT_EQ(some->status(), STATUS_SUCCESS);
  EXPECT_EQ(some->Finish(), (Bytes{5, 6}));
}

TEST_F(ReadTest, MaxIntervalAndMultiplierReturnOnTheFirstBytes) {
  SetTimeouts(SERIAL_TIMEOUTS{kMax, kMax, 60000, 0, 0});
  auto read = StartRead(10);
  ASSERT_EQ(read->dispatch_status(), STATUS_PENDING);
  line_->Send({1, 2});
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(read->status(), STATUS_SUCCESS);
  EXPECT_EQ(read->Finish(), (Bytes{1, 2}));

  line_->Send({3});
  auto there = StartRead(10);
  ASSERT_TRUE(there->Wait());
  EXPECT_EQ(there->status(), STATUS_SUCCESS);
  EXPECT_EQ(there->Finish(), Bytes{3});

  // No byte within the constant: a time-out with nothing.
  SetTimeouts(SERIAL_TIMEOUTS{kMax, kMax, 30, 0, 0});
  const auto start = SteadyClock::now();
  auto none = StartRead(10);
  ASSERT_TRUE(none->Wait());
  EXPECT_GE(Since(start), 30ms);
  EXPECT_EQ(none->status(), STATUS_TIMEOUT);
  EXPECT_EQ(none->information(), 0u);
}

TEST_F(ReadTest, HugeTotalTimeOutDoesNotEndTheReadEarly) {
  // 0xFFFFFFFF ms for each of 4096 bytes is far beyond what the clock can count.
  SetTimeouts(SERIAL_TIMEOUTS{0, kMax, 0, 0, 0});
  auto read = StartRead(4096);
  ASSERT_EQ(read->dispatch_status(), STATUS_PENDING);
  EXPECT_FALSE(read->Wait(50ms));
  line_->Send(Sequence(4096));
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(read->status(), STATUS_SUCCESS);
  EXPECT_EQ(read->information(), 4096u);
}

TEST_F(WriteTest, TheFarEndReceivesEachWriteAsItWas) {
  for (const Bytes& data : {Bytes{0x60, 0x00, 0x01}, Sequence(300, 7), Bytes{0xFF}}) {
    auto write = StartWrite(data);
    EXPECT_EQ(write->dispatch_status(), STATUS_SUCCESS);
    EXPECT_EQ(write->status(), STATUS_SUCCESS);
    EXPECT_EQ(write->information(), data.size());
    EXPECT_EQ(line_->TakeWritten(), data);
  }
  auto empty = StartWrite({});
  EXPECT_EQ(empty->status(), STATUS_SUCCESS);
  EXPECT_EQ(empty->information(), 0u);
  EXPECT_TRUE(line_->TakeWritten().empty());
}

TEST_F(WriteTest, ListenerGetsOneChunkPerWrite) {
  std::mutex mutex;
  std::vector<Bytes> chunks;
  line_->SetListener([&](std::span<const UCHAR> chunk) {
    std::lock_guard lock(mutex);
    chunks.emplace_back(chunk.begin(), chunk.end());
  });
  const std::vector<Bytes> sent = {Sequence(5), Sequence(1, 0x80), Sequence(64, 0x10)};
  for (const Bytes& data : sent) EXPECT_EQ(StartWrite(data)->status(), STATUS_SUCCESS);
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return chunks.size() >= sent.size();
  }));
  line_->SetListener(nullptr);
  EXPECT_EQ(chunks, sent);
}

TEST_F(HeldWriteTest, WriteWaitsForTheLineAndEndsByItsTimeOut) {
  auto write = StartWrite(Sequence(6));
  ASSERT_EQ(write->dispatch_status(), STATUS_PENDING);
  held().Grant(2);
  held().Grant(4);
  ASSERT_TRUE(write->Wait());
  EXPECT_EQ(write->status(), STATUS_SUCCESS);
  EXPECT_EQ(write->information(), 6u);
  EXPECT_EQ(write->completion_irql(), DISPATCH_LEVEL);
  EXPECT_EQ(held().taken(), Sequence(6));

  SetTimeouts(SERIAL_TIMEOUTS{0, 0, 0, 10, 20});  // 5 bytes: 70 ms
  held().Grant(3);
  const auto start = SteadyClock::now();
  auto slow = StartWrite(Sequence(5, 20));
  ASSERT_EQ(slow->dispatch_status(), STATUS_PENDING);
  ASSERT_TRUE(slow->Wait());
  EXPECT_GE(Since(start), 70ms);
  EXPECT_EQ(slow->status(), STATUS_TIMEOUT);
  EXPECT_EQ(slow->information(), 3u);
  Bytes all = Sequence(6);
  for (UCHAR byte : Sequence(3, 20)) all.push_back(byte);
  EXPECT_EQ(held().taken(), all);
}

}  // namespace
}  // namespace tolvex::serial::port_tests
