// Pool memory with tags, fault injection, and work items.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

// Names each case of a table after its `name`.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Ne;
using tolvex::platform::Platform;
using tolvex::platform::PlatformScope;
using tolvex::platform::PoolMonitor;
using tolvex::platform::SpinLockGuard;

constexpr ULONG kTagA = PoolTag("TstA");
constexpr ULONG kTagB = PoolTag("TstB");

class PoolTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(platform_.pool().OutstandingAllocations(), 0u) << platform_.pool().Describe();
  }
  PoolMonitor& pool() { return platform_.pool(); }

  Platform platform_;
  PlatformScope scope_{platform_};
};

TEST_F(PoolTest, CountsAllocationsAndBytesPerTag) {
  PVOID a1 = ExAllocatePoolWithTag(NonPagedPool, 100, kTagA);
  PVOID a2 = ExAllocatePoolWithTag(PagedPool, 28, kTagA);
  PVOID b1 = ExAllocatePoolWithTag(NonPagedPool, 7, kTagB);
  ASSERT_NE(a1, nullptr);
  ASSERT_NE(a2, nullptr);
  ASSERT_NE(b1, nullptr);
  EXPECT_EQ(pool().Usage(kTagA).allocations, 2u);
  EXPECT_EQ(pool().Usage(kTagA).bytes, 128u);
  EXPECT_EQ(pool().Usage(kTagB).allocations, 1u);
  EXPECT_EQ(pool().Usage(kTagB).bytes, 7u);
  EXPECT_EQ(pool().OutstandingAllocations(), 3u);
  EXPECT_THAT(pool().Describe(), HasSubstr("TstA: 2 allocations, 128 bytes"));
  EXPECT_THAT(pool().Describe(), HasSubstr("TstB: 1 allocations, 7 bytes"));

  ExFreePoolWithTag(a1, kTagA);
  const PoolMonitor::TagUsage usage = pool().Usage(kTagA);
  EXPECT_EQ(usage.allocations, 1u);
  EXPECT_EQ(usage.bytes, 28u);
  EXPECT_EQ(usage.total_allocations, 2u);  // ever allocated, freed or not
  ExFreePool(a2);
  ExFreePool(b1);
  EXPECT_EQ(pool().Usage(kTagA).allocations, 0u);
  EXPECT_EQ(pool().Describe(), "nothing");
}

TEST_F(PoolTest, NewMemoryIsFilledNotZeroed) {
  constexpr size_t kBytes = 64;
  auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kBytes, kTagA));
  ASSERT_NE(p, nullptr);
  EXPECT_THAT(std::vector<UCHAR>(p, p + kBytes), Each(Ne(0)));
  ExFreePool(p);
}

// Fault injection: one or more rules, then a sequence of allocations and which of them fail.
struct FailureRule {
  ULONG tag;
  size_t skip;
  size_t count;
};
struct FailureCase {
  const char* name;
  std::vector<FailureRule> rules;
  std::vector<ULONG> tags;      // allocations made, in order
  std::vector<bool> succeeded;  // expected outcome of each
};
void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class PoolFailureTest : public PoolTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PoolFailureTest, FailsTheChosenAllocations) {
  const FailureCase& c = GetParam();
  for (const FailureRule& rule : c.rules) pool().FailAllocations(rule.tag, rule.skip, rule.count);
  std::vector<bool> succeeded;
  std::vector<PVOID> blocks;
  for (ULONG tag : c.tags) {
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    succeeded.push_back(p != nullptr);
    if (p != nullptr) blocks.push_back(p);
  }
  EXPECT_EQ(succeeded, c.succeeded);
  // A failed allocation is not counted.
  EXPECT_EQ(pool().OutstandingAllocations(), blocks.size());
  EXPECT_EQ(pool().Usage(kTagA).total_allocations + pool().Usage(kTagB).total_allocations,
            blocks.size());
  for (PVOID p : blocks) ExFreePool(p);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PoolFailureTest,
    ::testing::Values(FailureCase{"FirstOfTag", {{kTagA, 0, 1}}, {kTagA, kTagA}, {false, true}},
                      FailureCase{"SkipThenCount",
                                  {{kTagA, 2, 2}},
                                  {kTagA, kTagA, kTagA, kTagA, kTagA},
                                  {true, true, false, false, true}},
                      FailureCase{"OtherTagsUntouched",
                                  {{kTagA, 0, 1}},
                                  {kTagB, kTagA, kTagB},
                                  {true, false, true}},
                      FailureCase{"OtherTagsDoNotCountTowardsTheSkip",
                                  {{kTagA, 1, 1}},
                                  {kTagB, kTagB, kTagA, kTagA},
                                  {true, true, true, false}},
                      FailureCase{"TagZeroMeansAnyTag",
                                  {{0, 1, 2}},
                                  {kTagB, kTagA, kTagB, kTagA},
                                  {true, false, false, true}},
                      FailureCase{"RulesCountIndependently",
                                  {{0, 3, 1}, {kTagA, 0, 1}},
                                  {kTagA, kTagB, kTagB, kTagB},
                                  {false, true, true, false}},
                      FailureCase{"ZeroCountFailsNothing", {{kTagA, 0, 0}}, {kTagA}, {true}}),
    CaseName<FailureCase>);

TEST_F(PoolTest, ClearFailuresDropsPendingRules) {
  pool().FailAllocations(0, 0, 5);
  pool().ClearFailures();
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_NE(p, nullptr);
  if (p != nullptr) ExFreePool(p);
}

// --- Work items --------------------------------------------------------------------------------

// What a work item routine saw when it ran.
struct Sighting {
  KEVENT ran;
  PVOID parameter = nullptr;
  std::thread::id thread;
  KIRQL irql = HIGH_LEVEL;
  Platform* platform = nullptr;
};

void Observe(PVOID parameter) {
  auto* sighting = static_cast<Sighting*>(parameter);
  sighting->parameter = parameter;
  sighting->thread = std::this_thread::get_id();
  sighting->irql = KeGetCurrentIrql();
  sighting->platform = Platform::CurrentOrNull();
  KeSetEvent(&sighting->ran, IO_NO_INCREMENT, FALSE);
}

using WorkItemTest = PoolTest;

TEST_F(WorkItemTest, RunsOnAWorkerThreadAtPassiveLevelWithItsParameter) {
  Sighting sighting;
  KeInitializeEvent(&sighting.ran, NotificationEvent, FALSE);
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, Observe, &sighting);
  KSPIN_LOCK lock = 0;
  {
    SpinLockGuard guard(&lock);  // queuing is allowed at DISPATCH_LEVEL
    ExQueueWorkItem(&item, CriticalWorkQueue);
  }
  LARGE_INTEGER timeout = RelativeMilliseconds(5000);
  ASSERT_EQ(KeWaitForSingleObject(&sighting.ran, Executive, KernelMode, FALSE, &timeout),
            STATUS_SUCCESS);
  platform_.DrainWorkQueue();
  EXPECT_EQ(sighting.parameter, &sighting);
  EXPECT_NE(sighting.thread, std::this_thread::get_id());
  EXPECT_EQ(sighting.irql, PASSIVE_LEVEL);
  EXPECT_EQ(sighting.platform, &platform_);
}

struct Repeater {
  WORK_QUEUE_ITEM item;
  int runs = 0;
  int wanted = 0;
};

void RunAgain(PVOID parameter) {
  auto* repeater = static_cast<Repeater*>(parameter);
  if (++repeater->runs < repeater->wanted) ExQueueWorkItem(&repeater->item, CriticalWorkQueue);
}

TEST_F(WorkItemTest, RoutineMayQueueItsItemAgain) {
  Repeater repeater;
  repeater.wanted = 5;
  ExInitializeWorkItem(&repeater.item, RunAgain, &repeater);
  ExQueueWorkItem(&repeater.item, CriticalWorkQueue);
  platform_.DrainWorkQueue();
  EXPECT_EQ(repeater.runs, 5);
}

constexpr ULONG kItemTag = PoolTag("TstW");

struct SelfFreeing {
  WORK_QUEUE_ITEM item;
  std::atomic<int>* runs;
};

void FreeMyself(PVOID parameter) {
  auto* self = static_cast<SelfFreeing*>(parameter);
  self->runs->fetch_add(1);
  ExFreePoolWithTag(self, kItemTag);
}

TEST_F(WorkItemTest, RoutineMayFreeItsItem) {
  std::atomic<int> runs{0};
  for (int i = 0; i < 3; ++i) {
    auto* self = static_cast<SelfFreeing*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(SelfFreeing), kItemTag));
    ASSERT_NE(self, nullptr);
    self->runs = &runs;
    ExInitializeWorkItem(&self->item, FreeMyself, self);
    ExQueueWorkItem(&self->item, CriticalWorkQueue);
  }
  platform_.DrainWorkQueue();
  EXPECT_EQ(runs.load(), 3);
  EXPECT_EQ(pool().Usage(kItemTag).allocations, 0u);
  EXPECT_EQ(pool().Usage(kItemTag).total_allocations, 3u);
}

void SlowItem(PVOID parameter) {
  LARGE_INTEGER pause = RelativeMilliseconds(20);
  (void)KeDelayExecutionThread(KernelMode, FALSE, &pause);
  static_cast<std::atomic<bool>*>(parameter)->store(true);
}

TEST_F(WorkItemTest, DrainWaitsForItemsStillRunning) {
  std::atomic<bool> done{false};
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, SlowItem, &done);
  ExQueueWorkItem(&item, CriticalWorkQueue);
  platform_.DrainWorkQueue();
  EXPECT_TRUE(done.load());
}

// Holds a system worker thread until the gate opens.
struct Blocker {
  WORK_QUEUE_ITEM item;
  KEVENT started;
  KEVENT* gate;
};

void Block(PVOID parameter) {
  auto* blocker = static_cast<Blocker*>(parameter);
  KeSetEvent(&blocker->started, IO_NO_INCREMENT, FALSE);
  (void)KeWaitForSingleObject(blocker->gate, Executive, KernelMode, FALSE, nullptr);
}

struct Recorder {
  WORK_QUEUE_ITEM item;
  KEVENT done;
  int index;
  std::mutex* mutex;
  std::vector<int>* order;
};

void Record(PVOID parameter) {
  auto* recorder = static_cast<Recorder*>(parameter);
  {
    std::lock_guard lock(*recorder->mutex);
    recorder->order->push_back(recorder->index);
  }
  KeSetEvent(&recorder->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(WorkItemTest, ItemsRunInTheOrderTheyWereQueued) {
  // The platform has four system worker threads. With three of them held, the fourth takes
  // the items one after the other, so the order they run in is the order of the queue.
  constexpr int kHeld = 3;
  KEVENT gate;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  Blocker blockers[kHeld];
  // Lets the held workers go however the test ends.
  struct GateOpener {
    KEVENT* gate;
    Platform* platform;
    ~GateOpener() {
      KeSetEvent(gate, IO_NO_INCREMENT, FALSE);
      platform->DrainWorkQueue();
    }
  };
  std::mutex mutex;
  std::vector<int> order;
  Recorder recorders[8];
  GateOpener opener{&gate, &platform_};
  for (Blocker& blocker : blockers) {
    KeInitializeEvent(&blocker.started, NotificationEvent, FALSE);
    blocker.gate = &gate;
    ExInitializeWorkItem(&blocker.item, Block, &blocker);
    ExQueueWorkItem(&blocker.item, CriticalWorkQueue);
  }
  for (Blocker& blocker : blockers) {
    LARGE_INTEGER timeout = RelativeMilliseconds(5000);
    ASSERT_EQ(KeWaitForSingleObject(&blocker.started, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
  }
  for (int i = 0; i < 8; ++i) {
    recorders[i].index = i;
    recorders[i].mutex = &mutex;
    recorders[i].order = &order;
    KeInitializeEvent(&recorders[i].done, NotificationEvent, FALSE);
    ExInitializeWorkItem(&recorders[i].item, Record, &recorders[i]);
    ExQueueWorkItem(&recorders[i].item, CriticalWorkQueue);
  }
  // All of them on the one free worker, before the held workers are let go.
  for (Recorder& recorder : recorders) {
    LARGE_INTEGER timeout = RelativeMilliseconds(5000);
    EXPECT_EQ(KeWaitForSingleObject(&recorder.done, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
  }
  KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
  platform_.DrainWorkQueue();
  std::lock_guard lock(mutex);
  EXPECT_THAT(order, ElementsAre(0, 1, 2, 3, 4, 5, 6, 7));
}

}  // namespace
