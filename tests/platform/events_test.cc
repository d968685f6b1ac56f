// Events, waits, the clock, interrupt levels, spin locks and interlocked operations.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

constexpr auto kGenerous = std::chrono::seconds(5);

NTSTATUS Wait(KEVENT* event, LARGE_INTEGER* timeout) {
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, timeout);
}

NTSTATUS Poll(KEVENT* event) {
  LARGE_INTEGER zero{0};
  return Wait(event, &zero);
}

class KernelTest : public ::testing::Test {
 protected:
  Platform platform_;
  PlatformScope scope_{platform_};
};

// --- Events --------------------------------------------------------------------------------

using EventTest = KernelTest;

TEST_F(EventTest, NotificationEventReleasesEveryWaitUntilCleared) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(Poll(&event), STATUS_SUCCESS);
  EXPECT_EQ(Poll(&event), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  KeClearEvent(&event);
  EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST_F(EventTest, SynchronizationEventReleasesOneWaitAndClearsItself) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  EXPECT_EQ(Poll(&event), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);  // setting a signalled event adds nothing
  EXPECT_EQ(Poll(&event), STATUS_SUCCESS);
  EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST_F(EventTest, ZeroedMemoryIsANonSignalledNotificationEvent) {
  KEVENT event{};
  EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(Poll(&event), STATUS_SUCCESS);
  EXPECT_EQ(Poll(&event), STATUS_SUCCESS);
}

TEST_F(EventTest, SetAndResetReturnThePreviousState) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 0);
}

TEST_F(EventTest, RelativeTimeOutExpiresWithStatusTimeout) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = RelativeMilliseconds(20);
  const auto start = SteadyClock::now();
  const NTSTATUS status = Wait(&event, &timeout);
  const auto elapsed = SteadyClock::now() - start;
  EXPECT_EQ(status, STATUS_TIMEOUT);
  EXPECT_EQ(static_cast<ULONG>(status), 0x102u);
  // Time-outs are real: the wait lasted at least what it asked for.
  EXPECT_GE(elapsed, std::chrono::milliseconds(20));
  EXPECT_LT(elapsed, kGenerous);
}

TEST_F(EventTest, WaitWithoutTimeOutEndsWhenAnotherThreadSetsTheEvent) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::thread setter([&] {
    PlatformScope scope(platform_);
    LARGE_INTEGER pause = RelativeMilliseconds(10);
    (void)KeDelayExecutionThread(KernelMode, FALSE, &pause);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  EXPECT_EQ(Wait(&event, nullptr), STATUS_SUCCESS);
  setter.join();
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(EventTest, ZeroTimeOutWaitIsAllowedAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KSPIN_LOCK lock = 0;
  SpinLockGuard guard(&lock);
  EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(Poll(&event), STATUS_SUCCESS);
}

// --- Clock ---------------------------------------------------------------------------------

using ClockTest = KernelTest;

TEST_F(ClockTest, RecordsTheWaitTimeOutsAskedFor) {
  KEVENT signalled;
  KeInitializeEvent(&signalled, NotificationEvent, TRUE);
  platform_.clock().StartRecording();
  LARGE_INTEGER zero{0};
  LARGE_INTEGER thirty = RelativeMilliseconds(30);
  LARGE_INTEGER long_one = RelativeMilliseconds(450);
  EXPECT_EQ(Wait(&signalled, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Wait(&signalled, &zero), STATUS_SUCCESS);
  EXPECT_EQ(Wait(&signalled, &thirty), STATUS_SUCCESS);
  EXPECT_EQ(Wait(&signalled, &long_one), STATUS_SUCCESS);
  EXPECT_THAT(platform_.clock().WaitsMs(), ElementsAre(-1, 0, 30, 450));
  EXPECT_THAT(platform_.clock().DelaysMs(), IsEmpty());
  // Only the waits that ran out are noted as such; a test of the state (0) is none.
  EXPECT_THAT(platform_.clock().RanOutMs(), IsEmpty());
  KEVENT quiet;
  KeInitializeEvent(&quiet, NotificationEvent, FALSE);
  LARGE_INTEGER short_one = RelativeMilliseconds(2);
  EXPECT_EQ(Wait(&quiet, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(Wait(&quiet, &short_one), STATUS_TIMEOUT);
  EXPECT_THAT(platform_.clock().RanOutMs(), ElementsAre(2));
}

TEST_F(ClockTest, RecordsNothingOutsideARecording) {
  Clock& clock = platform_.clock();
  clock.SetDelayMode(Clock::DelayMode::kSkip);
  LARGE_INTEGER delay = RelativeMilliseconds(5);
  (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
  clock.StartRecording();
  delay = RelativeMilliseconds(6);
  (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
  clock.StopRecording();
  delay = RelativeMilliseconds(7);
  (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
  EXPECT_THAT(clock.DelaysMs(), ElementsAre(6u));
  clock.StartRecording();  // a new recording starts empty
  EXPECT_THAT(clock.DelaysMs(), IsEmpty());
}

TEST_F(ClockTest, SkipModeReturnsAtOnceAndStillRecords) {
  Clock& clock = platform_.clock();
  clock.SetDelayMode(Clock::DelayMode::kSkip);
  clock.StartRecording();
  const auto start = SteadyClock::now();
  LARGE_INTEGER delay = RelativeMilliseconds(25);
  for (int i = 0; i < 8; ++i) (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
  delay = RelativeMilliseconds(8000);
  (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
  KeStallExecutionProcessor(8'000'000);
  KeStallExecutionProcessor(50);
  EXPECT_LT(SteadyClock::now() - start, kGenerous);
  EXPECT_THAT(clock.DelaysMs(), ElementsAre(25u, 25u, 25u, 25u, 25u, 25u, 25u, 25u, 8000u));
  EXPECT_EQ(clock.StallCount(), 2u);
  std::vector<LONGLONG> stalls;
  for (const Clock::Record& record : clock.Records()) {
    if (record.kind == Clock::Kind::kStall) stalls.push_back(record.amount);
  }
  EXPECT_THAT(stalls, ElementsAre(8'000'000, 50));
}

TEST_F(ClockTest, RealModeSpendsDelaysAndStalls) {
  platform_.clock().StartRecording();
  const auto start = SteadyClock::now();
  LARGE_INTEGER delay = RelativeMilliseconds(15);
  (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
  const auto after_delay = SteadyClock::now();
  KeStallExecutionProcessor(3000);
  const auto after_stall = SteadyClock::now();
  EXPECT_GE(after_delay - start, std::chrono::milliseconds(15));
  EXPECT_GE(after_stall - after_delay, std::chrono::microseconds(3000));
  EXPECT_THAT(platform_.clock().DelaysMs(), ElementsAre(15u));
  EXPECT_EQ(platform_.clock().StallCount(), 1u);
}

TEST_F(ClockTest, RecordsAreKeptPerThread) {
  Clock& clock = platform_.clock();
  clock.SetDelayMode(Clock::DelayMode::kSkip);
  clock.StartRecording();
  LARGE_INTEGER mine = RelativeMilliseconds(11);
  (void)KeDelayExecutionThread(KernelMode, FALSE, &mine);
  KeStallExecutionProcessor(1);
  std::thread::id other_id;
  std::thread other = platform_.StartSystemThread("other", [&] {
    other_id = std::this_thread::get_id();
    LARGE_INTEGER theirs = RelativeMilliseconds(22);
    (void)KeDelayExecutionThread(KernelMode, FALSE, &theirs);
    KEVENT event{};
    (void)Wait(&event, &theirs);
  });
  other.join();
  const auto me = std::this_thread::get_id();
  EXPECT_THAT(clock.DelaysMs(me), ElementsAre(11u));
  EXPECT_THAT(clock.DelaysMs(other_id), ElementsAre(22u));
  EXPECT_THAT(clock.WaitsMs(me), IsEmpty());
  EXPECT_THAT(clock.WaitsMs(other_id), ElementsAre(22));
  EXPECT_EQ(clock.StallCount(me), 1u);
  EXPECT_EQ(clock.StallCount(other_id), 0u);
  EXPECT_EQ(clock.DelaysMs().size(), 2u);
}

// --- Interrupt levels and spin locks --------------------------------------------------------

using SpinLockTest = KernelTest;

TEST_F(SpinLockTest, AcquireRaisesToDispatchLevelAndReleaseRestoresTheLevelBefore) {
  for (KIRQL start : {PASSIVE_LEVEL, APC_LEVEL, DISPATCH_LEVEL}) {
    SCOPED_TRACE(static_cast<int>(start));
    KIRQL before;
    KeRaiseIrql(start, &before);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    const KIRQL old = KfAcquireSpinLock(&lock);
    EXPECT_EQ(old, start);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_NE(lock, 0u);
    KfReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), start);
    EXPECT_EQ(lock, 0u);
    KeLowerIrql(before);
  }
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, NestedLocksRestoreTheirLevelsInReverseOrder) {
  KSPIN_LOCK outer = 0;
  KSPIN_LOCK inner = 0;
  KIRQL outer_old;
  KIRQL inner_old;
  KeAcquireSpinLock(&outer, &outer_old);
  KeAcquireSpinLock(&inner, &inner_old);
  EXPECT_EQ(outer_old, PASSIVE_LEVEL);
  EXPECT_EQ(inner_old, DISPATCH_LEVEL);
  KeReleaseSpinLock(&inner, inner_old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_NE(outer, 0u);
  KeReleaseSpinLock(&outer, outer_old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, CancelSpinLockBelongsToThePlatform) {
  KIRQL old;
  IoAcquireCancelSpinLock(&old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_NE(*platform_.cancel_lock(), 0u);
  {
    // Another machine's cancel lock is another lock.
    Platform other;
    PlatformScope scope(other);
    CancelLockGuard guard;
    EXPECT_NE(*other.cancel_lock(), 0u);
  }
  IoReleaseCancelSpinLock(old);
  EXPECT_EQ(*platform_.cancel_lock(), 0u);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, GuardsHoldForTheirScope) {
  KSPIN_LOCK lock = 0;
  {
    SpinLockGuard guard(&lock);
    EXPECT_NE(lock, 0u);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  }
  EXPECT_EQ(lock, 0u);
  {
    CancelLockGuard guard;
    EXPECT_NE(*platform_.cancel_lock(), 0u);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  }
  EXPECT_EQ(*platform_.cancel_lock(), 0u);
  {
    IrqlGuard apc(APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    {
      IrqlGuard dispatch(DISPATCH_LEVEL);
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    }
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  }
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, LocksExcludeEachOtherAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 1500;
  KSPIN_LOCK lock = 0;
  long plain_count = 0;   // guarded by `lock`
  long cancel_count = 0;  // guarded by the cancel lock
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> wrong_level{0};
  KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      PlatformScope scope(platform_);
      (void)KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
      for (int i = 0; i < kRounds; ++i) {
        {
          SpinLockGuard guard(&lock);
          if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
          if (KeGetCurrentIrql() != DISPATCH_LEVEL) wrong_level.fetch_add(1);
          // Read, give the processor away, write: a second holder would lose updates.
          const long seen = plain_count;
          std::this_thread::yield();
          plain_count = seen + 1;
          inside.fetch_sub(1);
        }
        CancelLockGuard guard;
        const long seen = cancel_count;
        std::this_thread::yield();
        cancel_count = seen + 1;
      }
      if (KeGetCurrentIrql() != PASSIVE_LEVEL) wrong_level.fetch_add(1);
    });
  }
  KeSetEvent(&go, IO_NO_INCREMENT, FALSE);  // all of them at once
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(plain_count, kThreads * kRounds);
  EXPECT_EQ(cancel_count, kThreads * kRounds);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(wrong_level.load(), 0);
}

// --- Interlocked operations ------------------------------------------------------------------

TEST(InterlockedTest, OperationsReturnWhatTheCallerExpects) {
  volatile LONG value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);  // the new value
  EXPECT_EQ(InterlockedDecrement(&value), 5);
  EXPECT_EQ(InterlockedExchange(&value, -3), 5);              // the old value
  EXPECT_EQ(InterlockedCompareExchange(&value, 20, 11), -3);  // no match: unchanged
  EXPECT_EQ(static_cast<LONG>(value), -3);
  EXPECT_EQ(InterlockedCompareExchange(&value, 20, -3), -3);
  EXPECT_EQ(static_cast<LONG>(value), 20);
  int a = 0;
  int b = 0;
  PVOID volatile pointer = &a;
  EXPECT_EQ(InterlockedExchangePointer(&pointer, &b), &a);
  EXPECT_EQ(static_cast<PVOID>(pointer), &b);
}

TEST(InterlockedTest, ConcurrentIncrementsAreNotLost) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  volatile LONG counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) InterlockedIncrement(&counter);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(static_cast<LONG>(counter), kThreads * kRounds);
}

}  // namespace
