#include "platform/ke.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <thread>

#include "platform/platform.h"

using tolvex::platform::BugCheck;
using tolvex::platform::Clock;
using tolvex::platform::Platform;

namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;

// A token per thread, never 0, for spin lock ownership.
ULONG_PTR ThreadToken() {
  static std::atomic<ULONG_PTR> next{1};
  thread_local ULONG_PTR token = next.fetch_add(1);
  return token;
}

LONGLONG NowTicks() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count() /
         100;
}

long Futex(LONG* address, int op, LONG value, const timespec* timeout) {
  return syscall(SYS_futex, address, op, value, timeout, nullptr, 0);
}

}  // namespace

KIRQL KeGetCurrentIrql() {
  return t_irql;
}

void KeRaiseIrql(KIRQL NewIrql, KIRQL* OldIrql) {
  if (NewIrql < t_irql) {
    BugCheck("interrupt level raised to a lower level", "from %u to %u", t_irql, NewIrql);
  }
  *OldIrql = t_irql;
  t_irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > t_irql) {
    BugCheck("interrupt level lowered to a higher level", "from %u to %u", t_irql, NewIrql);
  }
  t_irql = NewIrql;
}

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  __atomic_store_n(SpinLock, static_cast<KSPIN_LOCK>(0), __ATOMIC_RELEASE);
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  if (t_irql > DISPATCH_LEVEL) {
    BugCheck("spin lock acquired above DISPATCH_LEVEL", "level %u", t_irql);
  }
  const ULONG_PTR me = ThreadToken();
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == me) {
    BugCheck("spin lock acquired again by the thread that holds it", "lock %p",
             static_cast<void*>(SpinLock));
  }
  KIRQL old = t_irql;
  t_irql = DISPATCH_LEVEL;
  for (unsigned spins = 0;; ++spins) {
    KSPIN_LOCK expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      return old;
    }
    // The holder may have been preempted: this is user space, not a raised processor.
    if (spins > 64) std::this_thread::yield();
  }
}

void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != ThreadToken()) {
    BugCheck("spin lock released by a thread that does not hold it", "lock %p",
             static_cast<void*>(SpinLock));
  }
  __atomic_store_n(SpinLock, static_cast<KSPIN_LOCK>(0), __ATOMIC_RELEASE);
  KeLowerIrql(NewIrql);
}

void IoAcquireCancelSpinLock(KIRQL* Irql) {
  *Irql = KfAcquireSpinLock(Platform::Current().cancel_lock());
}

void IoReleaseCancelSpinLock(KIRQL Irql) {
  KfReleaseSpinLock(Platform::Current().cancel_lock(), Irql);
}

LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(const_cast<LONG*>(Target), Value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand) {
  LONG expected = Comperand;
  __atomic_compare_exchange_n(const_cast<LONG*>(Destination), &expected, Exchange, false,
                              __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return expected;
}

LONG InterlockedIncrement(LONG volatile* Addend) {
  return __atomic_add_fetch(const_cast<LONG*>(Addend), 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* Addend) {
  return __atomic_sub_fetch(const_cast<LONG*>(Addend), 1, __ATOMIC_SEQ_CST);
}

PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return __atomic_exchange_n(const_cast<PVOID*>(Target), Value, __ATOMIC_SEQ_CST);
}

// An event's word: signalled (1), or not signalled (0) or not signalled with a thread that may
// be asleep on it (kWaiting). A waiter marks the word before it sleeps, and only a setter that
// finds the mark makes the wake-up call: setting an event nobody waits on (a request completed
// on the caller's own thread, most of them) is one atomic exchange, no system call. The mark is
// only ever cleared by a set, never by a clear or a re-initialisation, so no sleeper is missed;
// a waiter that leaves on its time-out may leave its mark behind: one spare wake-up call later.
constexpr LONG kWaiting = 2;

void KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = Type;
  LONG* state = &Event->Header.SignalState;
  if (State) {
    if (__atomic_exchange_n(state, 1, __ATOMIC_ACQ_REL) == kWaiting) {
      Futex(state, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
    }
    return;
  }
  // Fresh memory holds anything; a word that carries the mark keeps it.
  LONG current = __atomic_load_n(state, __ATOMIC_ACQUIRE);
  while (
      current != 0 && current != kWaiting &&
      !__atomic_compare_exchange_n(state, &current, 0, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
  }
}

LONG KeSetEvent(PKEVENT Event, LONG /*Increment*/, BOOLEAN /*Wait*/) {
  LONG* state = &Event->Header.SignalState;
  const LONG previous = __atomic_exchange_n(state, 1, __ATOMIC_ACQ_REL);
  // A waiter may return as soon as it sees the state, and its event may go out of scope: only
  // the address is used from here on, and a futex wake on it never touches the memory.
  if (previous == kWaiting) Futex(state, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
  return previous == 1 ? 1 : 0;
}

void KeClearEvent(PKEVENT Event) {
  LONG signalled = 1;  // not signalled already (marked or not): nothing to do
  __atomic_compare_exchange_n(&Event->Header.SignalState, &signalled, 0, false, __ATOMIC_ACQ_REL,
                              __ATOMIC_RELAXED);
}

LONG KeResetEvent(PKEVENT Event) {
  LONG signalled = 1;
  return __atomic_compare_exchange_n(&Event->Header.SignalState, &signalled, 0, false,
                                     __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)
             ? 1
             : 0;
}

LONG KeReadStateEvent(PKEVENT Event) {
  return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE) == 1 ? 1 : 0;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               LARGE_INTEGER* Timeout) {
  auto* event = static_cast<PKEVENT>(Object);
  if (event->Header.Type != NotificationEvent && event->Header.Type != SynchronizationEvent) {
    BugCheck("wait on an object that is not an event", "object %p", Object);
  }
  if (Timeout != nullptr && Timeout->QuadPart > 0) {
    BugCheck("wait with an absolute time-out", "this platform takes relative time-outs only");
  }
  const bool bounded = Timeout != nullptr;
  const LONGLONG span = bounded ? -Timeout->QuadPart : -1;
  if (t_irql >= DISPATCH_LEVEL && span != 0) {
    BugCheck("wait at DISPATCH_LEVEL", "a thread at level %u may not block (time-out %lld)", t_irql,
             static_cast<long long>(span));
  }
  Platform::Current().clock().Note(Clock::Kind::kWait, span);

  const bool synchronization = event->Header.Type == SynchronizationEvent;
  LONG* state = &event->Header.SignalState;
  const LONGLONG deadline = bounded ? NowTicks() + span : 0;
  for (;;) {
    if (synchronization) {
      LONG expected = 1;
      if (__atomic_compare_exchange_n(state, &expected, 0, false, __ATOMIC_ACQ_REL,
                                      __ATOMIC_ACQUIRE)) {
        return STATUS_SUCCESS;
      }
    } else if (__atomic_load_n(state, __ATOMIC_ACQUIRE) == 1) {
      return STATUS_SUCCESS;
    }
    timespec remaining{};
    if (bounded) {
      LONGLONG left = deadline - NowTicks();
      if (left <= 0) {
        if (span != 0) Platform::Current().clock().Note(Clock::Kind::kRanOut, span);
        return STATUS_TIMEOUT;
      }
      remaining.tv_sec = static_cast<time_t>(left / 10000000);
      remaining.tv_nsec = static_cast<long>((left % 10000000) * 100);
    }
    // Marked before sleeping, so that the next set makes the wake-up call; the sleep ends at
    // once if the word is no longer the mark (set meanwhile).
    LONG clear = 0;
    if (!__atomic_compare_exchange_n(state, &clear, kWaiting, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE) &&
        clear == 1) {
      continue;
    }
    Futex(state, FUTEX_WAIT_PRIVATE, kWaiting, bounded ? &remaining : nullptr);
  }
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, LARGE_INTEGER* Interval) {
  if (t_irql >= DISPATCH_LEVEL) {
    BugCheck("sleep at DISPATCH_LEVEL", "a thread at level %u may not sleep", t_irql);
  }
  if (Interval == nullptr || Interval->QuadPart > 0) {
    BugCheck("delay without a relative interval");
  }
  const LONGLONG span = -Interval->QuadPart;
  Clock& clock = Platform::Current().clock();
  clock.Note(Clock::Kind::kDelay, span);
  if (clock.delay_mode() == Clock::DelayMode::kReal && span > 0) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(span * 100));
  }
  return STATUS_SUCCESS;
}

ULONGLONG KeQueryInterruptTime() {
  return static_cast<ULONGLONG>(NowTicks());
}

void KeStallExecutionProcessor(ULONG MicroSeconds) {
  Clock& clock = Platform::Current().clock();
  clock.Note(Clock::Kind::kStall, MicroSeconds);
  if (clock.delay_mode() == Clock::DelayMode::kSkip) return;
  const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
  while (std::chrono::steady_clock::now() < end) {
  }
}
