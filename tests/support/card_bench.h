// The link bench as device start-up leaves it, for the link, controller and card tests, with a
// feeder that puts the reader's bytes on the line only once the driver waits for them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "driver/card/card.h"
#include "driver/frame/frame.h"
#include "platform/platform.h"
#include "support/link_bench.h"
#include "support/sim_apdus.h"
#include "support/stc_wire.h"
#include "support/wait.h"

namespace tolvex::testutil {

using Bytes = std::vector<UCHAR>;

// Card bytes as the reader relays them: the escape byte 10 doubled.
inline Bytes Relayed(const Bytes& card) {
  Bytes wire;
  for (UCHAR b : card) {
    wire.push_back(b);
    if (b == STC_ESCAPE) wire.push_back(b);
  }
  return wire;
}

// The frames IFWriteSTCData writes for `data`: 40 | n and at most 24 bytes each.
inline std::vector<Bytes> DataFrames(const Bytes& data) {
  std::vector<Bytes> frames;
  size_t at = 0;
  do {
    const size_t n = std::min<size_t>(data.size() - at, STC_MAX_DATA_FRAME);
    Bytes frame{static_cast<UCHAR>(STC_WRITE_DATA | n)};
    frame.insert(frame.end(), data.begin() + at, data.begin() + at + n);
    frames.push_back(frame);
    at += n;
  } while (at < data.size());
  return frames;
}

// The reader's bytes for reads that must find nothing there yet: each step's bytes go on the
// line once the driver's thread has recorded a wait of `wait_ms` (IFRead records it just before
// it blocks), after the waits of the steps before. The clock must be recording.
class Feeder {
 public:
  struct Step {
    LONGLONG wait_ms;
    Bytes bytes;
  };

  // The waits watched are the constructing thread's.
  Feeder(host::LinkBench& bench, std::vector<Step> steps)
      : bench_(bench),
        steps_(std::move(steps)),
        driver_(std::this_thread::get_id()),
        thread_([this] { Run(); }) {}
  ~Feeder() {
    stop_ = true;
    thread_.join();
  }
  Feeder(const Feeder&) = delete;
  Feeder& operator=(const Feeder&) = delete;

  // Steps whose wait came (counted before their bytes go: the driver may be done by then).
  size_t done() const { return done_.load(); }

 private:
  void Run() {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    size_t seen = 0;
    for (const Step& step : steps_) {
      bool found = false;
      while (!found) {
        if (stop_ || std::chrono::steady_clock::now() > give_up) return;
        const std::vector<LONGLONG> waits = bench_.platform().clock().WaitsMs(driver_);
        for (; seen < waits.size() && !found; ++seen) found = waits[seen] == step.wait_ms;
        if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      ++done_;
      if (!step.bytes.empty()) bench_.line().Send(step.bytes);
    }
  }

  host::LinkBench& bench_;
  const std::vector<Step> steps_;
  const std::thread::id driver_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> done_{0};
  std::thread thread_;  // last: starts once the rest is there
};

// The link's read time-outs on the bench: a read of n bytes waits at most 50 x n + 1000 ms,
// ample for the scripted reader's answers however busy the machine.
inline constexpr ULONG kBenchInterval = 50;
inline constexpr ULONG kBenchTotal = 1000;
constexpr LONGLONG BenchWait(ULONG bytes) {
  return LONGLONG{kBenchInterval} * bytes + kBenchTotal;
}

// The link bench started, with helpers to drive the link and see what it asked the platform for.
class LinkBenchTest : public ::testing::Test {
 protected:
  static constexpr UCHAR kCommand = 0x01;  // a frame the scripted reader answers as told

  void SetUp() override {
    ASSERT_EQ(bench_.Start(), STATUS_SUCCESS);
    reader()->ReadIntervalTimeout = kBenchInterval;
    reader()->ReadTotalTimeout = kBenchTotal;
  }
  // For a test in which the reader stays silent: reads wait 50 x n + 100 ms, the start-up values.
  void ExpectSilence() { platform::SharedStore(reader()->ReadTotalTimeout, ULONG{100}); }

  void Command(const Bytes& reply) {
    script().Expect({kCommand}, reply);
    ASSERT_EQ(IFWrite(reader(), &kCommand, 1), STATUS_SUCCESS);
  }
  // Reads `count` bytes into bytes_, filled with 0xEE first.
  NTSTATUS Read(ULONG count) {
    bytes_.assign(count, 0xEE);
    return IFRead(reader(), bytes_.data(), count);
  }
  ULONG Received() {
    platform::SpinLockGuard lock(&reader()->ReceiveLock);
    return reader()->ReceivedCount;
  }
  void SetWtx(UCHAR value) { platform::SharedStore(smartcard()->T1.Wtx, value); }
  // Until the worker has taken everything the port holds and its passes are over.
  void WaitUntilQuiet() {
    ASSERT_TRUE(WaitUntil([&] {
      bench_.platform().DrainWorkQueue();
      return bench_.port().receive_queue() == 0 && bench_.port().has_pending_wait();
    }));
    bench_.platform().DrainWorkQueue();
  }

  // Delays and waits this thread asked the platform for, from now on.
  void Record() {
    bench_.platform().clock().ClearRecords();
    bench_.platform().clock().StartRecording();
  }
  std::vector<ULONG> Delays() { return bench_.platform().clock().DelaysMs(driver_); }
  std::vector<LONGLONG> Waits() { return bench_.platform().clock().WaitsMs(driver_); }
  // Those of the waits that ran out their time.
  std::vector<LONGLONG> RanOut() { return bench_.platform().clock().RanOutMs(driver_); }

  sim::ScriptedReader& script() { return bench_.script(); }
  std::vector<Bytes> Frames() { return script().frames(); }
  PREADER_EXTENSION reader() { return bench_.reader(); }
  PSMARTCARD_EXTENSION smartcard() { return bench_.smartcard(); }

  host::LinkBench bench_;
  platform::PlatformScope scope_{bench_.platform()};
  const std::thread::id driver_ = std::this_thread::get_id();
  Bytes bytes_;
};

// The library's record filled in by DrvSetupSmartcardExtension, with buffers of the sizes it asks
// for in `request` and `reply`.
inline void SetUpSmartcard(PSMARTCARD_EXTENSION card, Bytes& request, Bytes& reply) {
  DrvSetupSmartcardExtension(card);
  request.assign(card->SmartcardRequest.BufferSize, 0);
  reply.assign(card->SmartcardReply.BufferSize, 0);
  card->SmartcardRequest.Buffer = request.data();
  card->SmartcardReply.Buffer = reply.data();
  card->CardCapabilities.ClockRateConversion = ClockRateConversion;
  card->CardCapabilities.BitRateAdjustment = BitRateAdjustment;
}

// A reader with a card in it, on the bench. The scripted reader answers every frame 90 unless
// told otherwise, and register reads with what a card reset leaves in them; the library's
// record as SetUpSmartcard leaves it.
class CardBenchTest : public LinkBenchTest {
 protected:
  void SetUp() override {
    LinkBenchTest::SetUp();
    if (HasFatalFailure()) return;
    SetUpSmartcard(smartcard(), request_, reply_);
    smartcard()->IoRequest.Information = &information_;
    SetState(SCARD_SWALLOWED);
    ReaderAnswersEverything();
  }

  // Back to the reader's standing answers, with the frames so far forgotten.
  void ReaderAnswersEverything() {
    script().Clear();
    script().Always({0xC1}, {0x0D});
    script().Always({0xC2}, {0x6F});
    script().Default({STC_OK});
  }

  // The application's request, in a buffer the reply shares (as the library's buffered
  // requests do): `reply_room` bytes for the reply, the whole filled with 0xEE beyond the
  // request. Information starts out as 0xEEEE.
  void SetIo(const Bytes& request, ULONG reply_room) {
    io_.assign(std::max<size_t>(request.size(), reply_room), 0xEE);
    std::copy(request.begin(), request.end(), io_.begin());
    auto& io = smartcard()->IoRequest;
    io.RequestBuffer = io_.data();
    io.RequestBufferLength = static_cast<ULONG>(request.size());
    io.ReplyBuffer = io_.data();
    io.ReplyBufferLength = reply_room;
    information_ = 0xEEEE;
  }
  Bytes Io(size_t count) const { return Bytes(io_.begin(), io_.begin() + count); }

  void SetState(ULONG state) {
    platform::SharedStore(smartcard()->ReaderCapabilities.CurrentState, state);
  }
  ULONG State() { return platform::SharedLoad(smartcard()->ReaderCapabilities.CurrentState); }
  SCARD_CARD_CAPABILITIES& card() { return smartcard()->CardCapabilities; }

  Bytes request_;
  Bytes reply_;
  Bytes io_;
  ULONG_PTR information_ = 0;
};

}  // namespace tolvex::testutil
