// Events, waits, interrupt levels, spin locks and work items.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/platform.h"

namespace {

using ::testing::ElementsAre;
using tolvex::platform::IrqlGuard;
using tolvex::platform::Platform;
using tolvex::platform::PlatformScope;
using tolvex::platform::SpinLockGuard;

NTSTATUS Wait(KEVENT* event, LONGLONG milliseconds) {  // -1: no time-out
  LARGE_INTEGER timeout =
      RelativeMilliseconds(static_cast<ULONGLONG>(std::max<LONGLONG>(milliseconds, 0)));
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE,
                               milliseconds < 0 ? nullptr : &timeout);
}

class KernelTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(platform_.pool().OutstandingAllocations(), 0u) << platform_.pool().Describe();
  }

  Platform platform_;
  PlatformScope scope_{platform_};
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
    EXPECT_EQ(Wait(event, 0), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(event, IO_NO_INCREMENT, FALSE), 0);  // the state before
    EXPECT_EQ(KeSetEvent(event, IO_NO_INCREMENT, FALSE), 1);
    IrqlGuard level(DISPATCH_LEVEL);  // a test of the state may be made at DISPATCH_LEVEL
    EXPECT_EQ(Wait(event, 0), STATUS_SUCCESS);
    EXPECT_EQ(Wait(event, 0), event == &synchronization ? STATUS_TIMEOUT : STATUS_SUCCESS);
  }
  EXPECT_EQ(KeResetEvent(&notification), 1);
  EXPECT_EQ(KeReadStateEvent(&notification), 0);
  KeClearEvent(&zeroed);
  EXPECT_EQ(Wait(&zeroed, 0), STATUS_TIMEOUT);
}

// Spin locks raise to DISPATCH_LEVEL and their release restores the level before. Threads take
// one all at once, read, give the processor away and write: a second holder would lose updates.
TEST_F(KernelTest, SpinLocksRaiseTheLevelAndExcludeEachOther) {
  for (KIRQL start : {PASSIVE_LEVEL, APC_LEVEL, DISPATCH_LEVEL}) {
    SCOPED_TRACE(static_cast<int>(start));
    IrqlGuard level(start);
    KSPIN_LOCK outer = ~KSPIN_LOCK{0};  // until initialised
    KSPIN_LOCK inner = 0;
    KeInitializeSpinLock(&outer);
    KIRQL inner_old;
    const KIRQL outer_old = KfAcquireSpinLock(&outer);
    KeAcquireSpinLock(&inner, &inner_old);
    EXPECT_EQ(std::tuple(outer_old, inner_old), std::tuple(start, KIRQL{DISPATCH_LEVEL}));
    EXPECT_TRUE(outer != 0 && inner != 0);
    KeReleaseSpinLock(&inner, inner_old);
    EXPECT_EQ(std::tuple(KeGetCurrentIrql(), inner), std::tuple(KIRQL{DISPATCH_LEVEL}, 0u));
    KfReleaseSpinLock(&outer, outer_old);
    EXPECT_EQ(std::tuple(KeGetCurrentIrql(), outer), std::tuple(start, 0u));
  }
  KSPIN_LOCK lock = 0;
  long count = 0;  // guarded by `lock`
  KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.push_back(platform_.StartSystemThread("locker", [&] {
      (void)Wait(&go, -1);
      for (int i = 0; i < 3000; ++i) {
        SpinLockGuard guard(&lock);
        const long seen = count;
        std::this_thread::yield();
        count = seen + 1;
      }
    }));
  }
  KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(count, 4 * 3000);
}

// A work item that notes its turn and the name of the thread it ran on, may be held at a gate,
// and queues itself again until it has run `wanted` times.
struct Item {
  WORK_QUEUE_ITEM item;
  KEVENT started;
  KEVENT* gate = nullptr;
  int runs = 0;
  int wanted = 1;
  std::vector<std::string>* log = nullptr;
  char label = '?';

  Item() {
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    ExInitializeWorkItem(&item, Run, this);
  }
  static void Run(PVOID parameter) {
    auto* self = static_cast<Item*>(parameter);
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    if (self->log != nullptr) self->log->push_back(self->label + std::string(name));
    KeSetEvent(&self->started, IO_NO_INCREMENT, FALSE);
    if (self->gate != nullptr) (void)Wait(self->gate, -1);
    if (++self->runs < self->wanted) ExQueueWorkItem(&self->item, CriticalWorkQueue);
  }
};

// The platform has four system worker threads. With three of them held, the fourth takes the
// items one after the other, so the order they run in is the order of the queue.
TEST_F(KernelTest, WorkItemsRunInTurnOnNamedWorkersAndDrainWaitsForThem) {
  KEVENT gate;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  std::vector<Item> held(3);
  for (Item& item : held) {
    item.gate = &gate;
    ExQueueWorkItem(&item.item, CriticalWorkQueue);
    (void)Wait(&item.started, -1);
  }
  std::vector<std::string> log;  // written by one routine at a time
  std::vector<Item> items(3);
  items.back().wanted = 3;  // and queues itself again twice
  {
    IrqlGuard level(DISPATCH_LEVEL);  // queuing is allowed at DISPATCH_LEVEL
    for (size_t i = 0; i < items.size(); ++i) {
      items[i].log = &log;
      items[i].label = static_cast<char>('a' + i);
      ExQueueWorkItem(&items[i].item, CriticalWorkQueue);
    }
  }
  for (Item& item : items) (void)Wait(&item.started, -1);
  std::thread opener = platform_.StartSystemThread("opener", [&] {
    LARGE_INTEGER pause = RelativeMilliseconds(20);
    (void)KeDelayExecutionThread(KernelMode, FALSE, &pause);
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
  });
  platform_.DrainWorkQueue();  // waits for the held items still running
  for (Item& item : held) EXPECT_EQ(item.runs, 1);
  EXPECT_THAT(log, ElementsAre("aworker", "bworker", "cworker", "cworker", "cworker"));
  opener.join();
}

}  // namespace
