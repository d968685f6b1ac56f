// Pool memory with tags, fault injection, and work items.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::Ne;
using tolvex::platform::Platform;
using tolvex::platform::PlatformScope;
using tolvex::platform::PoolMonitor;
using tolvex::platform::SpinLockGuard;

constexpr ULONG kTagA = PoolTag("TstA");
constexpr ULONG kTagB = PoolTag("TstB");

class PoolTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(pool().OutstandingAllocations(), 0u) << pool().Describe(); }
  PoolMonitor& pool() { return platform_.pool(); }

  Platform platform_;
  PlatformScope scope_{platform_};
};

TEST_F(PoolTest, CountsAllocationsAndBytesPerTagAndFillsNewMemory) {
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
TEST_F(PoolTest, FailsTheAllocationsTheRulesChoose) {
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const Rule& rule : c.rules) pool().FailAllocations(rule.tag, rule.skip, rule.count);
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
  pool().FailAllocations(0, 0, 5);
  pool().ClearFailures();
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_NE(p, nullptr) << "a cleared rule failed an allocation";
  ExFreePool(p);
}

// --- Work items --------------------------------------------------------------------------------

using WorkItemTest = PoolTest;

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
    if (self->gate != nullptr)
      (void)KeWaitForSingleObject(self->gate, Executive, KernelMode, FALSE, nullptr);
    if (++self->runs < self->wanted) ExQueueWorkItem(&self->item, CriticalWorkQueue);
  }
};

TEST_F(WorkItemTest, RunsOnANamedWorkerAtPassiveLevelAndMayQueueItselfAgain) {
  Item item;
  item.wanted = 5;
  {
    KSPIN_LOCK lock = 0;
    SpinLockGuard guard(&lock);  // queuing is allowed at DISPATCH_LEVEL
    ExQueueWorkItem(&item.item, CriticalWorkQueue);
  }
  platform_.DrainWorkQueue();
  EXPECT_EQ(item.runs, 5);
  EXPECT_EQ(item.thread_name, "worker");
  EXPECT_EQ(item.irql, PASSIVE_LEVEL);
  EXPECT_EQ(item.platform, &platform_);
}

constexpr ULONG kItemTag = PoolTag("TstW");

TEST_F(WorkItemTest, RoutineMayFreeItsItem) {
  static std::atomic<int> runs{0};
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

TEST_F(WorkItemTest, ItemsRunInTheOrderTheyWereQueuedAndDrainWaitsForThem) {
  // The platform has four system worker threads. With three of them held, the fourth takes
  // the items one after the other, so the order they run in is the order of the queue.
  KEVENT gate;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  std::vector<Item> held(3);
  for (Item& item : held) {
    item.gate = &gate;
    ExQueueWorkItem(&item.item, CriticalWorkQueue);
    (void)KeWaitForSingleObject(&item.started, Executive, KernelMode, FALSE, nullptr);
  }
  std::vector<int> order;
  std::vector<Item> items(8);
  for (int i = 0; i < 8; ++i) {
    items[i].order = &order;
    items[i].index = i;
    ExQueueWorkItem(&items[i].item, CriticalWorkQueue);
  }
  for (Item& item : items) {
    (void)KeWaitForSingleObject(&item.started, Executive, KernelMode, FALSE, nullptr);
  }
  EXPECT_THAT(order, ElementsAre(0, 1, 2, 3, 4, 5, 6, 7));
  std::thread opener = platform_.StartSystemThread("opener", [&] {
    LARGE_INTEGER pause = RelativeMilliseconds(20);
    (void)KeDelayExecutionThread(KernelMode, FALSE, &pause);
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
  });
  platform_.DrainWorkQueue();  // waits for the held items still running
  for (Item& item : held) EXPECT_EQ(item.runs, 1);
  opener.join();
}

}  // namespace
