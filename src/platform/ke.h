// Kernel core services: interrupt levels, spin locks, notification events, waits, delays and
// interlocked operations.
//
// Interrupt level. Every thread has a current interrupt level (IRQL), PASSIVE_LEVEL when it
// starts. Acquiring a spin lock raises the thread to DISPATCH_LEVEL and releasing it restores
// the level saved at acquisition. Code at DISPATCH_LEVEL or above may not block: the verifier
// stops the process when such a thread waits with a non-zero time-out or sleeps.
//
// Spin locks are one pointer-sized word: 0 when free, otherwise a token of the owning thread.
// A thread that acquires a lock it already holds would spin forever on a real machine; the
// verifier stops it instead. Zeroed memory is a free lock.
//
// Events are a dispatcher header with a type and a state word; waiters sleep on the state
// word with a futex. A notification event stays signalled until cleared and releases every
// waiter; a synchronization event releases one waiter and clears itself. Zeroed memory is a
// non-signalled notification event.
//
// Every wait time-out, delay and stall is reported to the platform clock (platform.h), which
// can record them for tests and can skip delays instead of sleeping.
#pragma once

#include "platform/ntdef.h"

inline constexpr KIRQL PASSIVE_LEVEL = 0;
inline constexpr KIRQL APC_LEVEL = 1;
inline constexpr KIRQL DISPATCH_LEVEL = 2;
inline constexpr KIRQL HIGH_LEVEL = 15;

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL NewIrql, KIRQL* OldIrql);
void KeLowerIrql(KIRQL NewIrql);

using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
[[nodiscard]] KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
inline void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, KIRQL* OldIrql) {
  *OldIrql = KfAcquireSpinLock(SpinLock);
}
inline void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KfReleaseSpinLock(SpinLock, NewIrql);
}

// The I/O manager's cancel spin lock: one per platform.
void IoAcquireCancelSpinLock(KIRQL* Irql);
void IoReleaseCancelSpinLock(KIRQL Irql);

LONG InterlockedExchange(LONG volatile* Target, LONG Value);
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand);
LONG InterlockedIncrement(LONG volatile* Addend);
LONG InterlockedDecrement(LONG volatile* Addend);
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);

enum EVENT_TYPE : UCHAR { NotificationEvent = 0, SynchronizationEvent = 1 };
enum KWAIT_REASON { Executive = 0, UserRequest = 6, Suspended = 5 };
enum KPROCESSOR_MODE : CHAR { KernelMode = 0, UserMode = 1 };

struct DISPATCHER_HEADER {
  UCHAR Type;  // EVENT_TYPE
  UCHAR Reserved[3];
  LONG SignalState;
};

struct KEVENT {
  DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;

void KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PKEVENT Event, LONG Increment, BOOLEAN Wait);
void KeClearEvent(PKEVENT Event);
LONG KeResetEvent(PKEVENT Event);
LONG KeReadStateEvent(PKEVENT Event);

// Waits for an event. Timeout null: no limit; otherwise a relative time (negative, in units of
// 100 ns) or 0 (test the state). Returns STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, LARGE_INTEGER* Timeout);

// Sleeps for a relative interval (negative, in units of 100 ns). Never at DISPATCH_LEVEL.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                LARGE_INTEGER* Interval);

// Busy-waits a number of microseconds; allowed at any level.
void KeStallExecutionProcessor(ULONG MicroSeconds);

// Time since an arbitrary start, in units of 100 ns; it never goes back. Allowed at any level.
ULONGLONG KeQueryInterruptTime();

// Relative time-out of a number of milliseconds, in the units the waits take.
constexpr LARGE_INTEGER RelativeMilliseconds(ULONGLONG milliseconds) {
  return LARGE_INTEGER{-static_cast<LONGLONG>(milliseconds * 10000)};
}
