// Events and waits on them.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/platform.h"

namespace {

using tolvex::platform::IrqlGuard;
using tolvex::platform::Platform;
using tolvex::platform::PlatformScope;

NTSTATUS Wait(KEVENT* event, ULONGLONG milliseconds) {
  LARGE_INTEGER timeout = RelativeMilliseconds(milliseconds);
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
}

TEST(KernelTest, EventsReleaseWaitsAsTheirTypeSays) {
  Platform platform;
  PlatformScope scope(platform);
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

TEST(KernelTest, SleeperIsWokenByTheNextSetWhateverHappenedToTheEventMeanwhile) {
  // A set makes the wake-up call only for a word that a sleeper has marked: a clear, a reset or
  // a re-initialisation while it sleeps must not lose the mark.
  static constexpr struct {
    const char* meanwhile;
    EVENT_TYPE type;
    void (*act)(KEVENT*);
  } kCases[] = {
      {"nothing", NotificationEvent, [](KEVENT*) {}},
      {"nothing", SynchronizationEvent, [](KEVENT*) {}},
      {"clear", NotificationEvent, [](KEVENT* e) { KeClearEvent(e); }},
      {"reset", SynchronizationEvent, [](KEVENT* e) { EXPECT_EQ(KeResetEvent(e), 0); }},
      {"initialised", NotificationEvent,
       [](KEVENT* e) { KeInitializeEvent(e, NotificationEvent, FALSE); }},
      {"initialised", SynchronizationEvent,
       [](KEVENT* e) { KeInitializeEvent(e, SynchronizationEvent, FALSE); }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.meanwhile);
    Platform platform;
    PlatformScope scope(platform);
    KEVENT event;
    KeInitializeEvent(&event, c.type, FALSE);
    auto sleeper = std::async(std::launch::async, [&] {
      PlatformScope in(platform);
      return Wait(&event, 10'000);
    });
    // Asleep once it has marked the word (the mark itself reads as not signalled).
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (__atomic_load_n(&event.Header.SignalState, __ATOMIC_ACQUIRE) == 0 &&
           std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    c.act(&event);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    ASSERT_EQ(sleeper.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(sleeper.get(), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), c.type == NotificationEvent ? 1 : 0);
  }
}

}  // namespace
