// Cancelling pending requests, its races with the port thread, and the context requests are
// completed in.
#include <future>
#include <random>

#include "serial/port_fixture.h"

namespace tolvex::serial::port_tests {
namespace {

using CancelTest = SerialPortTest;
using HeldCancelTest = HeldPortTest;

TEST_F(CancelTest, CancelledReadsKeepTheBytesTheyGotAndTheOthersKeepTheirTurn) {
  RequestPtr first = StartRead(6);
  RequestPtr middle = StartRead(2);
  RequestPtr last = StartRead(2);
  line_->Send({1, 2});
  ASSERT_TRUE(WaitUntil([&] { return port_->receive_queue() == 0; }));  // the first has them
  EXPECT_TRUE(middle->Cancel());
  EXPECT_EQ(middle->outcome(), Outcome(STATUS_CANCELLED, 0));
  EXPECT_TRUE(first->Cancel());
  EXPECT_EQ(first->outcome(), Outcome(STATUS_CANCELLED, 2));
  EXPECT_EQ(first->completions.load(), 1);
  line_->Send({3, 4, 5});
  ASSERT_TRUE(last->Wait());
  EXPECT_EQ(last->Finish(), (Bytes{3, 4}));
}

TEST_F(HeldCancelTest, CancelledWriteKeepsTheCountOfBytesTheLineTookAndTheNextGoesWhole) {
  RequestPtr write = StartWrite(Sequence(8));
  RequestPtr queued = StartWrite(Sequence(2, 9));
  held().Grant(3);
  ASSERT_TRUE(WaitUntil([&] { return held().taken().size() == 3; }));
  EXPECT_TRUE(write->Cancel());
  EXPECT_EQ(write->outcome(), Outcome(STATUS_CANCELLED, 3));
  held().Grant(2);
  ASSERT_TRUE(queued->Wait());
  EXPECT_EQ(queued->status, STATUS_SUCCESS);
  EXPECT_EQ(held().taken(), (Bytes{1, 2, 3, 9, 10}));
}

// The cancel routine takes the port's lock like everything else that touches its queues: a
// read cancelled while a control request holds the lock stays pending until it is let go.
TEST_F(HeldCancelTest, CancelWaitsForThePortsLock) {
  std::promise<void> inside;
  std::promise<void> leave;
  held().during_call = [&, left = leave.get_future().share()] {
    inside.set_value();
    left.wait();
  };
  RequestPtr read = StartRead(4);
  std::thread holder =
      platform_.StartSystemThread("holder", [&] { Call(IOCTL_SERIAL_SET_BREAK_ON); });
  inside.get_future().wait();  // the port's lock is held from now on
  std::atomic<bool> cancelling{false};
  std::thread canceller = platform_.StartSystemThread("canceller", [&] {
    cancelling = true;
    read->Cancel();
  });
  EXPECT_TRUE(WaitUntil([&] { return cancelling.load(); }));
  EXPECT_FALSE(read->Wait(200ms)) << "cancelled without the port's lock";
  leave.set_value();
  holder.join();
  canceller.join();
  held().during_call = nullptr;
  EXPECT_EQ(read->status, STATUS_CANCELLED);
}

// Readers post reads and cancel them at varying moments while the far end streams bytes: each
// read completes exactly once, as read or as cancelled, and every byte sent is accounted for.
// A port that let the cancel routine and its thread both take a read loses or repeats bytes
// here; under ThreadSanitizer the test also shows any touch of the port's state without its lock.
TEST_F(CancelTest, CancellationRacesWithCompletionAndNoByteGoesAstray) {
  constexpr int kReaders = 3;
  constexpr int kReadsEach = 300;
  std::atomic<bool> stop{false};
  std::atomic<size_t> sent{0};
  std::thread sender([&] {
    for (UCHAR next = 0; !stop.load(); std::this_thread::yield()) {
      if (port_->receive_queue() > 64) continue;  // never near an overrun
      Bytes chunk(1 + next % 5);
      for (UCHAR& byte : chunk) byte = next++;
      line_->Send(chunk);
      sent += chunk.size();
    }
  });
  std::atomic<size_t> delivered{0};
  auto reader = [&](unsigned seed) {
    platform::PlatformScope scope(platform_);
    std::minstd_rand random(seed);
    for (int i = 0; i < kReadsEach; ++i) {
      const ULONG length = 1 + random() % 8;
      Request read(device_, kCarrierCode, {}, length, IRP_MJ_READ);
      // Every fourth read is left to complete; the others are cancelled at varying moments.
      if (i % 4 != 0) {
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
  for (unsigned k = 0; k < kReaders; ++k) readers.emplace_back(reader, 17 + k);
  for (std::thread& thread : readers) thread.join();
  stop = true;
  sender.join();

  SetTimeouts(SERIAL_TIMEOUTS{kMax, 0, 0, 0, 0});
  RequestPtr rest = StartRead(kReceiveQueueSize);
  ASSERT_EQ(rest->dispatch, STATUS_SUCCESS);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);
  EXPECT_EQ(sent.load(), delivered.load() + rest->information);
}

// Whatever completes a request must have let go of the port's lock: the completion routine
// of the driver above may send the port its next request from there.
TEST_F(CancelTest, RequestsAreNeverCompletedUnderThePortLock) {
  std::mutex mutex;
  std::vector<std::future<void>> probes;  // a probe still blocked is let go at the end
  std::vector<RequestPtr> requests;
  // Sends a request whose completion has another thread take the port's lock, and gives that
  // thread a long while to get it.
  auto send = [&](const char* what, ULONG code, Bytes input, ULONG output, UCHAR major) {
    requests.push_back(std::make_unique<Request>(device_, code, input, output, major, [&, what] {
      auto probe = std::async(std::launch::async, [this] { (void)port_->receive_queue(); });
      EXPECT_EQ(probe.wait_for(2s), std::future_status::ready) << what << ": completed locked";
      std::lock_guard guard(mutex);
      probes.push_back(std::move(probe));
    }));
  };
  auto read = [&](const char* what) { send(what, kCarrierCode, {}, 1, IRP_MJ_READ); };
  line_->Send({1});
  read("read served at once");
  read("read completed by the port thread");
  line_->Send({2});
  read("read cancelled");
  requests.back()->Cancel();
  read("read aborted");
  ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXABORT}), STATUS_SUCCESS);
  send("control request", IOCTL_SERIAL_GET_COMMSTATUS, {}, 20, IRP_MJ_DEVICE_CONTROL);
  send("write", kCarrierCode, {1, 2}, 0, IRP_MJ_WRITE);
  read("read pending at close");
  Close();
  read("read on a closed port");
  send("write on a closed port", kCarrierCode, {1}, 0, IRP_MJ_WRITE);
  for (RequestPtr& request : requests) EXPECT_TRUE(request->Wait());
}

}  // namespace
}  // namespace tolvex::serial::port_tests
