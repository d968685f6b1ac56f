// Reads and their time-outs, writes, and cancelling them, also in a race with the port thread.
#include <random>

#include "serial/port_fixture.h"

namespace tolvex::serial::port_tests {
namespace {

using SteadyClock = std::chrono::steady_clock;
using HeldWriteTest = HeldPortTest;
using CancelTest = SerialPortTest;

// A read under a kind of time-out, and the bytes sent once it waits. It is still pending
// `quiet` after it starts, and ends no sooner than `after_last` after the bytes. An interval
// runs only once bytes come; a maximal interval and multiplier return on the first bytes.
struct TimeoutCase {
  const char* name;
  SERIAL_TIMEOUTS timeouts;
  ULONG length;
  Bytes sent;
  NTSTATUS status;
  Bytes got;
  std::chrono::milliseconds after_last{}, quiet{};
  friend void PrintTo(const TimeoutCase& c, std::ostream* os) { *os << c.name; }
};
class ReadTimeoutTest : public SerialPortTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ReadTimeoutTest, ReadEndsAsItsTimeOutsSay) {
  const TimeoutCase& c = GetParam();
  SetTimeouts(c.timeouts);
  RequestPtr read = StartRead(c.length);
  EXPECT_EQ(read->dispatch, STATUS_PENDING);
  if (c.quiet > 0ms) {
    EXPECT_FALSE(read->Wait(c.quiet)) << "ended early";
  }
  const auto last = SteadyClock::now();
  line_->Send(c.sent);
  ASSERT_TRUE(read->Wait());
  EXPECT_GE(SteadyClock::now() - last, c.after_last);
  EXPECT_EQ(read->status, c.status);
  EXPECT_EQ(read->Finish(), c.got);
  Bytes buffer = c.got;
  buffer.resize(c.length, kUntouched);
  EXPECT_EQ(read->buffer(), buffer);
}

const TimeoutCase kTimeoutCases[] = {
    {"Interval", {30, 0, 0}, 8, {1, 2, 3}, STATUS_TIMEOUT, {1, 2, 3}, 30ms, 50ms},
    {"AnyByte", {kMax, kMax, 60000}, 10, {1, 2}, STATUS_SUCCESS, {1, 2}, 0ms, 30ms},
};
INSTANTIATE_TEST_SUITE_P(Kinds, ReadTimeoutTest, ::testing::ValuesIn(kTimeoutCases),
                         [](const auto& row) { return std::string(row.param.name); });

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
  EXPECT_EQ(held().taken(), (Bytes{1, 2, 3, 4, 5, 6, 20, 21, 22}));
}

// Requests that ask for nothing, or for what the port does not do: each ends at once with its
// status and no byte, and the byte waiting on the line is still there for the next read.
TEST_F(CancelTest, EmptyAndUnknownRequestsEndAtOnceAndTakeNothing) {
  const struct {
    const char* name;
    UCHAR major;
    NTSTATUS status;
  } rows[] = {{"a read of nothing", IRP_MJ_READ, STATUS_SUCCESS},
              {"a write of nothing", IRP_MJ_WRITE, STATUS_SUCCESS},
              {"an internal control request", IRP_MJ_INTERNAL_DEVICE_CONTROL,
               STATUS_INVALID_DEVICE_REQUEST}};
  line_->Send({0x42});
  for (const auto& row : rows) {
    Request request(device_, kCarrierCode, {}, 0, row.major);
    EXPECT_EQ(request.dispatch, row.status) << row.name;
    EXPECT_EQ(request.outcome(), Outcome(row.status, 0)) << row.name;
    EXPECT_TRUE(line_->TakeWritten().empty()) << row.name;
  }
  RequestPtr read = StartRead(1);
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(read->Finish(), Bytes{0x42});
}

// Readers post reads and cancel them at varying moments while the far end streams bytes: each
// read completes exactly once, as read or as cancelled, and every byte sent is accounted for.
// A port that let the cancel routine and its thread both take a read loses or repeats bytes
// here; under ThreadSanitizer the test also shows any touch of the port's state without its lock.
TEST_F(CancelTest, CancellationRacesWithCompletionAndNoByteGoesAstray) {
  std::atomic<bool> stop{false};
  std::atomic<size_t> sent{0};
  std::thread sender([&] {
    for (UCHAR next = 0; !stop.load(); std::this_thread::yield()) {
      if (port_->receive_queue() > 64) continue;  // never near an overrun
      Bytes chunk;
      for (size_t n = 1 + next % 5; n > 0; --n) chunk.push_back(next++);
      line_->Send(chunk);
      sent += chunk.size();
    }
  });
  std::atomic<size_t> delivered{0};
  auto reader = [&](unsigned seed) {
    platform::PlatformScope scope(platform_);
    std::minstd_rand random(seed);
    for (int i = 0; i < 300; ++i) {
      const ULONG length = 1 + random() % 8;
      Request read(device_, kCarrierCode, {}, length, IRP_MJ_READ);
      if (i % 4 != 0) {  // every fourth read is left to complete
        for (unsigned spin = random() % 4; spin > 0; --spin) std::this_thread::yield();
        read.Cancel();
      }
      ASSERT_TRUE(read.Wait());
      ASSERT_EQ(read.completions.load(), 1);
      if (read.status == STATUS_SUCCESS) {
        ASSERT_EQ(read.information, length);
        const Bytes data = read.Finish();
        for (size_t k = 1; k < data.size(); ++k) {
          ASSERT_EQ(data[k], static_cast<UCHAR>(data[k - 1] + 1)) << "bytes out of order";
        }
      } else {
        ASSERT_EQ(read.status, STATUS_CANCELLED);
        ASSERT_LE(read.information, length);  // all of them, if the cancel won the race
      }
      delivered += read.information;
    }
  };
  std::vector<std::thread> readers;
  for (unsigned k = 0; k < 3; ++k) readers.emplace_back(reader, 17 + k);
  for (std::thread& thread : readers) thread.join();
  stop = true;
  sender.join();

  SetTimeouts(SERIAL_TIMEOUTS{kMax, 0, 0, 0, 0});
  RequestPtr rest = StartRead(kReceiveQueueSize);
  ASSERT_EQ(rest->dispatch, STATUS_SUCCESS);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);
  EXPECT_EQ(sent.load(), delivered.load() + rest->information);
}

}  // namespace
}  // namespace tolvex::serial::port_tests
