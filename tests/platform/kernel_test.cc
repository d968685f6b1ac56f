// Events, waits, the clock, interrupt levels, spin locks, pool memory and work items.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Ne;
using tolvex::platform::CancelLockGuard;
using tolvex::platform::Clock;
using tolvex::platform::IrqlGuard;
using tolvex::platform::Platform;
using tolvex::platform::PlatformScope;
using tolvex::platform::PoolMonitor;
using tolvex::platform::SpinLockGuard;
using SteadyClock = std::chrono::steady_clock;

constexpr ULONG kTagA = PoolTag("TstA");
constexpr ULONG kTagB = PoolTag("TstB");

NTSTATUS Wait(KEVENT* event, LONGLONG milliseconds) {  // -1: no time-out
  LARGE_INTEGER timeout =
      RelativeMilliseconds(static_cast<ULONGLONG>(std::max<LONGLONG>(milliseconds, 0)));
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE,
                               milliseconds < 0 ? nullptr : &timeout);
}

void Delay(ULONGLONG milliseconds) {
  LARGE_INTEGER interval = RelativeMilliseconds(milliseconds);
  (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

class KernelTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(pool().OutstandingAllocations(), 0u) << pool().Describe(); }
  PoolMonitor& pool() { return platform_.pool(); }

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
    Delay(10);
    KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE);
  });
  EXPECT_EQ(Wait(&synchronization, -1), STATUS_SUCCESS);
  setter.join();
  EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
}

// Real mode spends delays and stalls, skip mode none; waits are real in both. While recording,
// the clock notes per thread what was asked.
TEST_F(KernelTest, ClockSpendsOrSkipsDelaysAndRecordsPerThreadWhatWasAsked) {
  KEVENT signalled;
  KEVENT quiet{};
  KeInitializeEvent(&signalled, NotificationEvent, TRUE);
  Delay(5);  // not recorded
  clock_.StartRecording();
  auto start = SteadyClock::now();
  Delay(15);
  KeStallExecutionProcessor(3000);
  EXPECT_GE(SteadyClock::now() - start, std::chrono::microseconds(18000));
  clock_.SetDelayMode(Clock::DelayMode::kSkip);
  start = SteadyClock::now();
  Delay(8000);
  KeStallExecutionProcessor(8'000'000);
  EXPECT_LT(SteadyClock::now() - start, std::chrono::seconds(5));
  for (LONGLONG ms : {-1, 0, 30, 450}) EXPECT_EQ(Wait(&signalled, ms), STATUS_SUCCESS);
  // Only the waits that ran out are noted as such; a test of the state (0) is none.
  EXPECT_EQ(Wait(&quiet, 0), STATUS_TIMEOUT);
  start = SteadyClock::now();
  EXPECT_EQ(Wait(&quiet, 20), STATUS_TIMEOUT);
  EXPECT_GE(SteadyClock::now() - start, std::chrono::milliseconds(20));
  std::thread::id other_id;
  std::thread other = platform_.StartSystemThread("other", [&] {
    other_id = std::this_thread::get_id();
    Delay(22);
    (void)Wait(&quiet, 2);
  });
  other.join();
  clock_.StopRecording();
  Delay(11);  // not recorded
  const auto me = std::this_thread::get_id();
  EXPECT_THAT(clock_.WaitsMs(me), ElementsAre(-1, 0, 30, 450, 0, 20));
  EXPECT_THAT(clock_.RanOutMs(me), ElementsAre(20));
  EXPECT_THAT(clock_.DelaysMs(me), ElementsAre(15u, 8000u));
  EXPECT_EQ(clock_.StallCount(me), 2u);
  EXPECT_THAT(clock_.WaitsMs(other_id), ElementsAre(2));
  EXPECT_THAT(clock_.RanOutMs(other_id), ElementsAre(2));
  EXPECT_THAT(clock_.DelaysMs(other_id), ElementsAre(22u));
  EXPECT_EQ(clock_.StallCount(other_id), 0u);
  EXPECT_THAT(clock_.DelaysMs(), ElementsAre(15u, 8000u, 22u));
  std::vector<LONGLONG> stalls;
  for (const Clock::Record& record : clock_.Records()) {
    if (record.kind == Clock::Kind::kStall) stalls.push_back(record.amount);
  }
  EXPECT_THAT(stalls, ElementsAre(3000, 8'000'000));
  clock_.StartRecording();  // a new recording starts empty
  EXPECT_THAT(clock_.Records(), IsEmpty());
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
  auto bump = [](long& count) {
    const long seen = count;
    std::this_thread::yield();
    count = seen + 1;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(platform_.StartSystemThread("locker", [&] {
      (void)Wait(&go, -1);
      for (int i = 0; i < kRounds; ++i) {
        {
          SpinLockGuard guard(&lock);
          if (KeGetCurrentIrql() != DISPATCH_LEVEL) wrong_level.fetch_add(1);
          bump(plain_count);
        }
        CancelLockGuard guard;
        bump(cancel_count);
      }
    }));
  }
  KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(plain_count, kThreads * kRounds);
  EXPECT_EQ(cancel_count, kThreads * kRounds);
  EXPECT_EQ(wrong_level.load(), 0);
}

// --- Pool ----------------------------------------------------------------------------------------

TEST_F(KernelTest, PoolCountsAllocationsAndBytesPerTagAndFillsNewMemory) {
  auto* a1 = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 100, kTagA));
  PVOID a2 = ExAllocatePoolWithTag(PagedPool, 28, kTagA);
  PVOID b1 = ExAllocatePoolWithTag(NonPagedPool, 7, kTagB);
  EXPECT_THAT(std::vector<UCHAR>(a1, a1 + 100), Each(Ne(0)));  // filled, not zeroed
  EXPECT_EQ(pool().OutstandingAllocations(), 3u);
  EXPECT_EQ(pool().Describe(), "TstA: 2 allocations, 128 bytes, TstB: 1 allocations, 7 bytes");
  ExFreePoolWithTag(a1, kTagA);
  const PoolMonitor::TagUsage usage = pool().Usage(kTagA);
  EXPECT_EQ(usage.allocations, 1u);
  EXPECT_EQ(usage.bytes, 28u);
  EXPECT_EQ(usage.total_allocations, 2u);  // ever allocated, freed or not
  ExFreePool(a2);
  ExFreePool(b1);
  EXPECT_EQ(pool().Describe(), "nothing");
}

// Fault injection: rules (tag, skip, count), then allocations and whether each succeeds.
TEST_F(KernelTest, PoolFailsTheAllocationsTheRulesChoose) {
  struct Rule {
    ULONG tag;
    size_t skip;
    size_t count;
  };
  const struct {
    const char* name;
    std::vector<Rule> rules;
    std::vector<ULONG> tags;
    std::vector<bool> succeeded;
  } cases[] = {
      {"first of a tag", {{kTagA, 0, 1}}, {kTagA, kTagA}, {0, 1}},
      {"skip then count", {{kTagA, 2, 2}}, {kTagA, kTagA, kTagA, kTagA, kTagA}, {1, 1, 0, 0, 1}},
      {"other tags untouched", {{kTagA, 0, 1}}, {kTagB, kTagA, kTagB}, {1, 0, 1}},
      {"other tags skip nothing", {{kTagA, 1, 1}}, {kTagB, kTagB, kTagA, kTagA}, {1, 1, 1, 0}},
      {"tag 0 is any tag", {{0, 1, 2}}, {kTagB, kTagA, kTagB, kTagA}, {1, 0, 0, 1}},
      {"rules count apart", {{0, 3, 1}, {kTagA, 0, 1}}, {kTagA, kTagB, kTagB, kTagB}, {0, 1, 1, 0}},
      {"count 0 fails nothing", {{kTagA, 0, 0}}, {kTagA}, {1}},
      {"cleared", {{0, 0, 5}, {0, 0, 0}}, {kTagA}, {1}},  // a rule of nothing: ClearFailures
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const Rule& rule : c.rules) {
      if (rule.count == 0 && rule.tag == 0) {
        pool().ClearFailures();
      } else {
        pool().FailAllocations(rule.tag, rule.skip, rule.count);
      }
    }
    std::vector<bool> succeeded;
    std::vector<PVOID> blocks;
    for (ULONG tag : c.tags) {
      PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
      succeeded.push_back(p != nullptr);
      if (p != nullptr) blocks.push_back(p);
    }
    EXPECT_EQ(succeeded, c.succeeded);
    EXPECT_EQ(pool().OutstandingAllocations(), blocks.size());  // a failed one is not counted
    for (PVOID p : blocks) ExFreePool(p);
  }
}

// --- Work items ----------------------------------------------------------------------------------

// A work item that notes where it ran, queues itself again until it has run `wanted` times,
// and may be held at a gate.
struct Item {
  WORK_QUEUE_ITEM item;
  KEVENT started;
  KEVENT* gate = nullptr;
  int runs = 0;
  int wanted = 1;
  KIRQL irql = HIGH_LEVEL;
  std::string thread_name;
  Platform* platform = nullptr;
  std::vector<int>* order = nullptr;
  int index = 0;

  Item() {
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    ExInitializeWorkItem(&item, Run, this);
  }
  static void Run(PVOID parameter) {
    static std::mutex mutex;
    auto* self = static_cast<Item*>(parameter);
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    self->thread_name = name;
    self->irql = KeGetCurrentIrql();
    self->platform = Platform::CurrentOrNull();
    if (self->order != nullptr) {
      std::lock_guard lock(mutex);
      self->order->push_back(self->index);
    }
    KeSetEvent(&self->started, IO_NO_INCREMENT, FALSE);
    if (self->gate != nullptr) (void)Wait(self->gate, -1);
    if (++self->runs < self->wanted) ExQueueWorkItem(&self->item, CriticalWorkQueue);
  }
};

// The platform has four system worker threads. With three of them held, the fourth takes the
// items one after the other, so the order they run in is the order of the queue.
TEST_F(KernelTest, WorkItemsRunInTurnOnNamedWorkersAtPassiveLevelAndDrainWaitsForThem) {
  KEVENT gate;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  std::vector<Item> held(3);
  for (Item& item : held) {
    item.gate = &gate;
    ExQueueWorkItem(&item.item, CriticalWorkQueue);
    (void)Wait(&item.started, -1);
  }
  std::vector<int> order;
  std::vector<Item> items(8);
  items.back().wanted = 3;  // and queues itself again twice
  {
    KSPIN_LOCK lock = 0;
    SpinLockGuard guard(&lock);  // queuing is allowed at DISPATCH_LEVEL
    for (int i = 0; i < 8; ++i) {
      items[i].order = &order;
      items[i].index = i;
      ExQueueWorkItem(&items[i].item, CriticalWorkQueue);
    }
  }
  for (Item& item : items) (void)Wait(&item.started, -1);
  std::thread opener = platform_.StartSystemThread("opener", [&] {
    Delay(20);
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
  });
  platform_.DrainWorkQueue();  // waits for the held items still running
  for (Item& item : held) EXPECT_EQ(item.runs, 1);
  EXPECT_THAT(order, ElementsAre(0, 1, 2, 3, 4, 5, 6, 7, 7, 7));
  EXPECT_EQ(items.back().runs, 3);
  for (Item& item : items) {
    EXPECT_EQ(item.thread_name, "worker");
    EXPECT_EQ(item.irql, PASSIVE_LEVEL);
    EXPECT_EQ(item.platform, &platform_);
  }
  opener.join();
}

constexpr ULONG kItemTag = PoolTag("TstW");

TEST_F(KernelTest, WorkItemRoutineMayFreeItsItem) {
  static std::atomic<int> runs;
  runs = 0;
  for (int i = 0; i < 3; ++i) {
    auto* item = static_cast<WORK_QUEUE_ITEM*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_QUEUE_ITEM), kItemTag));
    ExInitializeWorkItem(
        item,
        [](PVOID self) {
          runs.fetch_add(1);
          ExFreePoolWithTag(self, kItemTag);
        },
        item);
    ExQueueWorkItem(item, CriticalWorkQueue);
  }
  platform_.DrainWorkQueue();
  EXPECT_EQ(runs.load(), 3);
  EXPECT_EQ(pool().Usage(kItemTag).total_allocations, 3u);
}

}  // namespace
