// Events, waits, the clock, interrupt levels and spin locks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using tolvex::platform::CancelLockGuard;
using tolvex::platform::Clock;
using tolvex::platform::IrqlGuard;
using tolvex::platform::Platform;
using tolvex::platform::PlatformScope;
using tolvex::platform::SpinLockGuard;
using SteadyClock = std::chrono::steady_clock;

NTSTATUS Wait(KEVENT* event, LONGLONG milliseconds) {  // -1: no time-out
  LARGE_INTEGER timeout =
      RelativeMilliseconds(static_cast<ULONGLONG>(std::max<LONGLONG>(milliseconds, 0)));
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE,
                               milliseconds < 0 ? nullptr : &timeout);
}

class KernelTest : public ::testing::Test {
 protected:
  Platform platform_;
  PlatformScope scope_{platform_};
  Clock& clock_ = platform_.clock();
};

TEST_F(KernelTest, EventsReleaseWaitsAsTheirTypeSays) {
  // A notification event releases every wait until it is cleared; zeroed memory is one, not
  // signalled. A synchronization event releases one wait and clears itself.
  KEVENT notification;
  KEVENT zeroed{};
  KEVENT synchronization;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
  EXPECT_EQ(Wait(&synchronization, 0), STATUS_SUCCESS);
  for (KEVENT* event : {&notification, &zeroed, &synchronization}) {
    EXPECT_EQ(KeReadStateEvent(event), 0);
    EXPECT_EQ(Wait(event, 0), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(event, IO_NO_INCREMENT, FALSE), 0);  // the state before
    EXPECT_EQ(KeSetEvent(event, IO_NO_INCREMENT, FALSE), 1);  // and a second set adds nothing
    KSPIN_LOCK lock = 0;
    SpinLockGuard guard(&lock);  // a test of the state may be made at DISPATCH_LEVEL
    EXPECT_EQ(Wait(event, 0), STATUS_SUCCESS);
    EXPECT_EQ(Wait(event, 0), event == &synchronization ? STATUS_TIMEOUT : STATUS_SUCCESS);
  }
  EXPECT_EQ(KeResetEvent(&notification), 1);
  EXPECT_EQ(KeResetEvent(&notification), 0);
  KeClearEvent(&zeroed);
  EXPECT_EQ(Wait(&zeroed, 0), STATUS_TIMEOUT);

  // A wait without a time-out ends when another thread sets the event.
  std::thread setter = platform_.StartSystemThread("setter", [&] {
    KEVENT never{};
    (void)Wait(&never, 10);
    KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE);
  });
  EXPECT_EQ(Wait(&synchronization, -1), STATUS_SUCCESS);
  setter.join();
  EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
}

TEST_F(KernelTest, ClockRecordsPerThreadWhatWasAskedWhileRecording) {
  KEVENT signalled;
  KEVENT quiet{};
  KeInitializeEvent(&signalled, NotificationEvent, TRUE);
  clock_.SetDelayMode(Clock::DelayMode::kSkip);
  LARGE_INTEGER delay = RelativeMilliseconds(5);
  (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);  // not recorded
  clock_.StartRecording();
  for (LONGLONG ms : {-1, 0, 30, 450}) EXPECT_EQ(Wait(&signalled, ms), STATUS_SUCCESS);
  // Only the waits that ran out are noted as such; a test of the state (0) is none.
  EXPECT_EQ(Wait(&quiet, 0), STATUS_TIMEOUT);
  const auto start = SteadyClock::now();
  EXPECT_EQ(Wait(&quiet, 20), STATUS_TIMEOUT);
  EXPECT_GE(SteadyClock::now() - start, std::chrono::milliseconds(20));  // wait time-outs are real
  delay = RelativeMilliseconds(11);
  (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
  KeStallExecutionProcessor(1);
  std::thread::id other_id;
  std::thread other = platform_.StartSystemThread("other", [&] {
    other_id = std::this_thread::get_id();
    LARGE_INTEGER theirs = RelativeMilliseconds(22);
    (void)KeDelayExecutionThread(KernelMode, FALSE, &theirs);
    (void)Wait(&quiet, 2);
  });
  other.join();
  clock_.StopRecording();
  (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);  // not recorded
  const auto me = std::this_thread::get_id();
  EXPECT_THAT(clock_.WaitsMs(me), ElementsAre(-1, 0, 30, 450, 0, 20));
  EXPECT_THAT(clock_.RanOutMs(me), ElementsAre(20));
  EXPECT_THAT(clock_.DelaysMs(me), ElementsAre(11u));
  EXPECT_EQ(clock_.StallCount(me), 1u);
  EXPECT_THAT(clock_.WaitsMs(other_id), ElementsAre(2));
  EXPECT_THAT(clock_.RanOutMs(other_id), ElementsAre(2));
  EXPECT_THAT(clock_.DelaysMs(other_id), ElementsAre(22u));
  EXPECT_EQ(clock_.StallCount(other_id), 0u);
  EXPECT_THAT(clock_.DelaysMs(), ElementsAre(11u, 22u));
  clock_.StartRecording();  // a new recording starts empty
  EXPECT_THAT(clock_.Records(), IsEmpty());
}

TEST_F(KernelTest, SkipModeSpendsNoDelayOrStallAndRealModeSpendsThemAll) {
  clock_.StartRecording();
  auto start = SteadyClock::now();
  LARGE_INTEGER delay = RelativeMilliseconds(15);
  (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
  KeStallExecutionProcessor(3000);
  EXPECT_GE(SteadyClock::now() - start, std::chrono::microseconds(18000));

  clock_.SetDelayMode(Clock::DelayMode::kSkip);
  start = SteadyClock::now();
  delay = RelativeMilliseconds(8000);
  (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
  KeStallExecutionProcessor(8'000'000);
  EXPECT_LT(SteadyClock::now() - start, std::chrono::seconds(5));
  EXPECT_THAT(clock_.DelaysMs(), ElementsAre(15u, 8000u));
  std::vector<LONGLONG> stalls;
  for (const Clock::Record& record : clock_.Records()) {
    if (record.kind == Clock::Kind::kStall) stalls.push_back(record.amount);
  }
  EXPECT_THAT(stalls, ElementsAre(3000, 8'000'000));
}

TEST_F(KernelTest, SpinLocksRaiseToDispatchLevelAndReleasesRestoreTheLevelBefore) {
  for (KIRQL start : {PASSIVE_LEVEL, APC_LEVEL, DISPATCH_LEVEL}) {
    SCOPED_TRACE(static_cast<int>(start));
    IrqlGuard level(start);
    KSPIN_LOCK outer;
    KSPIN_LOCK inner = 0;
    KeInitializeSpinLock(&outer);
    KIRQL inner_old;
    const KIRQL outer_old = KfAcquireSpinLock(&outer);
    KeAcquireSpinLock(&inner, &inner_old);
    EXPECT_EQ(outer_old, start);
    EXPECT_EQ(inner_old, DISPATCH_LEVEL);
    EXPECT_NE(outer, 0u);
    EXPECT_NE(inner, 0u);
    KeReleaseSpinLock(&inner, inner_old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(inner, 0u);
    KfReleaseSpinLock(&outer, outer_old);
    EXPECT_EQ(KeGetCurrentIrql(), start);
    EXPECT_EQ(outer, 0u);
  }
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  {
    // Each machine has its own cancel lock.
    CancelLockGuard guard;
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_NE(*platform_.cancel_lock(), 0u);
    Platform other;
    PlatformScope scope(other);
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    EXPECT_EQ(old, DISPATCH_LEVEL);
    EXPECT_NE(*other.cancel_lock(), 0u);
    IoReleaseCancelSpinLock(old);
    EXPECT_EQ(*other.cancel_lock(), 0u);
  }
  EXPECT_EQ(*platform_.cancel_lock(), 0u);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Threads take the locks all at once, read, give the processor away and write: a second holder
// would lose updates.
TEST_F(KernelTest, SpinLocksExcludeEachOtherAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 1500;
  KSPIN_LOCK lock = 0;
  long plain_count = 0;   // guarded by `lock`
  long cancel_count = 0;  // guarded by the cancel lock
  std::atomic<int> wrong_level{0};
  KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(platform_.StartSystemThread("locker", [&] {
      (void)Wait(&go, -1);
      for (int i = 0; i < kRounds; ++i) {
        {
          SpinLockGuard guard(&lock);
          if (KeGetCurrentIrql() != DISPATCH_LEVEL) wrong_level.fetch_add(1);
          const long seen = plain_count;
          std::this_thread::yield();
          plain_count = seen + 1;
        }
        CancelLockGuard guard;
        const long seen = cancel_count;
        std::this_thread::yield();
        cancel_count = seen + 1;
      }
    }));
  }
  KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(plain_count, kThreads * kRounds);
  EXPECT_EQ(cancel_count, kThreads * kRounds);
  EXPECT_EQ(wrong_level.load(), 0);
}

}  // namespace
