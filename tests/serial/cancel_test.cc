// Cancelling pending requests, its races with the port thread, and the context requests are
// completed in.
#include <future>
#include <random>

#include "serial/port_fixture.h"

namespace tolvex::serial::port_tests {
namespace {

using CancelTest = SerialPortTest;
using HeldCancelTest = HeldPortTest;

TEST_F(CancelTest, CancelledReadKeepsTheCountOfBytesItGot) {
  auto read = StartRead(6);
  line_->Send({1, 2});
  ASSERT_TRUE(WaitUntil([&] { return port_->receive_queue() == 0; }));  // the read has them
  EXPECT_TRUE(read->Cancel());
  ASSERT_TRUE(read->done());
  EXPECT_EQ(read->status(), STATUS_CANCELLED);
  EXPECT_EQ(read->information(), 2u);
  EXPECT_EQ(read->completions(), 1);

  // The next read starts afresh.
  line_->Send({3, 4});
  auto next = StartRead(2);
  ASSERT_TRUE(next->Wait());
  EXPECT_EQ(next->Finish(), (Bytes{3, 4}));
}

TEST_F(CancelTest, CancellingAQueuedReadLeavesTheOthersInOrder) {
  auto first = StartRead(2);
  auto middle = StartRead(2);
  auto last = StartRead(2);
  EXPECT_TRUE(middle->Cancel());
  EXPECT_EQ(middle->status(), STATUS_CANCELLED);
  line_->Send(Sequence(4));
  ASSERT_TRUE(last->Wait());
  EXPECT_EQ(first->Finish(), Sequence(2, 1));
  EXPECT_EQ(last->Finish(), Sequence(2, 3));
}

TEST_F(CancelTest, CancelledWaitCompletesAndAnotherMayFollow) {
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR}), STATUS_SUCCESS);
  auto wait = StartWait();
  ASSERT_EQ(wait->dispatch_status(), STATUS_PENDING);
  EXPECT_TRUE(wait->Cancel());
  EXPECT_EQ(wait->status(), STATUS_CANCELLED);
  EXPECT_FALSE(port_->has_pending_wait());
  auto next = StartWait();
  EXPECT_EQ(next->dispatch_status(), STATUS_PENDING);
  line_->Send({1});
  ASSERT_TRUE(next->Wait());
  EXPECT_EQ(ValueOf<ULONG>(next->Finish()), SERIAL_EV_RXCHAR);
}

TEST_F(HeldCancelTest, CancelledWriteKeepsTheCountOfBytesTheLineTook) {
  auto write = StartWrite(Sequence(8));
  auto queued = StartWrite(Sequence(2, 9));
  held().Grant(3);
  ASSERT_TRUE(WaitUntil([&] { return held().taken().size() == 3; }));
  EXPECT_TRUE(write->Cancel());
  EXPECT_EQ(write->status(), STATUS_CANCELLED);
  EXPECT_EQ(write->information(), 3u);
  // The queued write goes next, whole.
  held().Grant(2);
  ASSERT_TRUE(queued->Wait());
  EXPECT_EQ(queued->status(), STATUS_SUCCESS);
  EXPECT_EQ(held().taken(), (Bytes{1, 2, 3, 9, 10}));
}

// Readers post reads and cancel them at varying moments while the far end streams bytes: each
// read completes exactly once, as read or as cancelled, and every byte sent is accounted for.
TEST_F(CancelTest, CancellationRacesWithCompletionAndNoByteGoesAstray) {
  constexpr int kReaders = 3;
  constexpr int kReadsEach = 300;
  std::atomic<bool> stop{false};
  std::atomic<size_t> sent{0};
  std::thread sender([&] {
    UCHAR next = 0;
    while (!stop.load()) {
      if (port_->receive_queue() > 64) {  // never near an overrun
        std::this_thread::yield();
        continue;
      }
      Bytes chunk(1 + next % 5);
      for (UCHAR& byte : chunk) byte = next++;
      line_->Send(chunk);
      sent += chunk.size();
      std::this_thread::yield();
    }
  });

  std::atomic<size_t> delivered{0};
  std::atomic<size_t> lost{0};
  auto reader = [&](unsigned seed) {
    platform::PlatformScope scope(platform_);
    std::minstd_rand random(seed);
    for (int i = 0; i < kReadsEach; ++i) {
      const ULONG length = 1 + random() % 8;
      auto read = Request::Read(device_, length);
      read->Send();
      // Every fourth read is left to complete; the others are cancelled at varying moments.
      if (i % 4 != 0) {
        for (unsigned spin = random() % 4; spin > 0; --spin) std::this_thread::yield();
        read->Cancel();
      }
      ASSERT_TRUE(read->Wait());
      ASSERT_EQ(read->completions(), 1);
      if (read->status() == STATUS_SUCCESS) {
        ASSERT_EQ(read->information(), length);
        const Bytes data = read->Finish();
        for (size_t k = 1; k < data.size(); ++k) {
          ASSERT_EQ(data[k], static_cast<UCHAR>(data[k - 1] + 1)) << "bytes out of order";
        }
        delivered += length;
      } else {
        ASSERT_EQ(read->status(), STATUS_CANCELLED);
        ASSERT_LE(read->information(), length);  // all of them, if the cancel won the race
        lost += read->information();
      }
    }
  };
  std::vector<std::thread> readers;
  for (unsigned k = 0; k < kReaders; ++k) readers.emplace_back(reader, 17 + k);
  for (std::thread& thread : readers) thread.join();
  stop = true;
  sender.join();

  SetTimeouts(SERIAL_TIMEOUTS{SERIAL_TIMEOUT_MAX, 0, 0, 0, 0});
  auto rest = StartRead(kReceiveQueueSize);
  ASSERT_EQ(rest->dispatch_status(), STATUS_SUCCESS);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);
  EXPECT_EQ(sent.load(), delivered.load() + lost.load() + rest->information());
  EXPECT_GE(delivered.load(), size_t{kReaders * kReadsEach / 4});
}

// Whatever completes a request must have let go of the port's lock: the completion routine
// of the driver above may send the port its next request from there.
TEST_F(CancelTest, RequestsAreNeverCompletedUnderThePortLock) {
  std::mutex probes_mutex;
  std::vector<std::future<void>> probes;  // a probe still blocked is let go at the end
  struct Watched {
    std::string what;
    std::unique_ptr<Request> request;
    std::shared_ptr<std::atomic<int>> lock;  // 0: not completed, 1: free, 2: held
  };
  std::vector<Watched> watched;
  auto watch = [&](std::string what, std::unique_ptr<Request> request) {
    auto lock = std::make_shared<std::atomic<int>>(0);
    request->OnCompletion([this, lock, &probes, &probes_mutex] {
      // Another thread takes the lock, and is given a long while to get it.
      auto probe = std::async(std::launch::async, [this] { (void)port_->receive_queue(); });
      *lock = probe.wait_for(2s) == std::future_status::ready ? 1 : 2;
      std::lock_guard guard(probes_mutex);
      probes.push_back(std::move(probe));
    });
    request->Send();
    watched.push_back(Watched{std::move(what), std::move(request), lock});
  };

  line_->Send({1});
  watch("read served at once", Request::Read(device_, 1));
  watch("read completed by the port thread", Request::Read(device_, 1));
  line_->Send({2});
  watch("read cancelled", Request::Read(device_, 1));
  watched.back().request->Cancel();
  watch("read aborted", Request::Read(device_, 1));
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXABORT}), STATUS_SUCCESS);
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR}), STATUS_SUCCESS);
  watch("wait ended by a new mask", Request::Control(device_, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4));
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{0}), STATUS_SUCCESS);
  watch("control request", Request::Control(device_, IOCTL_SERIAL_GET_COMMSTATUS, {}, 20));
  watch("write", Request::Write(device_, {1, 2}));
  watch("read pending at close", Request::Read(device_, 1));
  Close();
  watch("read on a closed port", Request::Read(device_, 1));
  watch("write on a closed port", Request::Write(device_, {1}));
  watch("control request on a closed port",
        Request::Control(device_, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4));

  for (Watched& w : watched) {
    SCOPED_TRACE(w.what);
    ASSERT_TRUE(w.request->Wait());
    EXPECT_EQ(w.lock->load(), 1) << "completed with the port's lock held";
  }
}

}  // namespace
}  // namespace tolvex::serial::port_tests
