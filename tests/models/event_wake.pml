/*
 * Kernel events on a futex word: no waiter is left asleep once its set has happened.
 *
 * Mirrors
 *   src/platform/ke.cc: KeInitializeEvent (TRUE: an exchange to 1, and the wake-up call when
 *     it found the mark; FALSE: a load, then compare-exchanges that turn anything but 0 and
 *     the mark into 0), KeSetEvent (an exchange to 1; the wake-up call only when it found the
 *     mark; returns 1 when the event was signalled, else 0), KeClearEvent and KeResetEvent (a
 *     compare-exchange 1 -> 0: a mark stays), KeReadStateEvent (a load: 1 when signalled, else
 *     0), KeWaitForSingleObject (the loop: the take, a compare-exchange 1 -> 0 for a
 *     synchronization event or a load that finds 1 for a notification event; the time-out;
 *     the mark, a compare-exchange 0 -> kWaiting that starts over when it finds 1; the sleep,
 *     FUTEX_WAIT on kWaiting).
 *
 * The word (SignalState) holds 0 (not signalled), 1 (signalled) or KW (kWaiting: not
 * signalled, and a waiter may be asleep on it). Each __atomic_* operation of ke.cc is one step
 * (atomic). FUTEX_WAIT is one step too: if the word still holds the value, the thread goes to
 * sleep (asleep[me]), else it returns at once; a sleep ends when FUTEX_WAKE (every sleeper on
 * the word, one step) wakes it, or on its own: a spurious wake-up or the sleep's time-out
 * (at most SPURIOUS times per waiter, and only while a set of the scenario is still to come:
 * after the last set, a sleep that ends on its own would only hide a lost wake-up, the waiter
 * going round the loop as a wake-up makes it do). A waiter's time-out at the top of the loop
 * is a free choice (at most TIMEOUTS times per waiter): the wait returns STATUS_TIMEOUT,
 * maybe leaving its mark, and the caller waits again, as the driver's callers do until their
 * answer comes.
 *
 * Processes, in three scenarios (init picks one, or -DSCENARIO=1, 2 or 3 does):
 *   1. A synchronization event, two Waiters and two SyncSetters, handing answers over the
 *      way the driver's reads get theirs (a ticket per read, then the wake-up through
 *      DataEvent): a waiter asks (its ticket, asked[me]) and then waits; setter i sets once
 *      waiter i has asked and the set before it has been taken, so that no set is coalesced
 *      with another (a set is meant for one waiter; which waiter takes it is free).
 *   2. A notification event, two Waiters and one NotifySetter (the set comes at any moment).
 *   3. Two Waiters on a notification event or one on a synchronization event (init chooses
 *      which), and a Resetter
 *      that may set the event first, then clears it (KeClearEvent), resets it (KeResetEvent),
 *      reads it (KeReadStateEvent), re-initialises it (KeInitializeEvent FALSE) while the
 *      waiters mark and sleep, and then sets it (KeSetEvent, or KeInitializeEvent TRUE).
 *
 * Abstracted away: time (time-outs are choices, bounded in number), the event's type checks
 * and the interrupt-level checks, the clock's notes, memory orders (every step is sequentially
 * consistent: the acquire and release pairs of ke.cc give what this model needs), futex
 * private/shared, error returns of the futex call (EINTR, EAGAIN: both are "returned").
 *
 * Checked:
 *   - no lost wake-up: every waiter returns once the set meant for it has happened; a waiter
 *     left asleep is an invalid end state; LTL waiters_return: once all the sets have been
 *     made, every waiter eventually returns (weak fairness);
 *   - a synchronization event is taken by at most one waiter per set (takes never exceed the
 *     sets that found the event not signalled);
 *   - KeSetEvent, KeResetEvent and KeReadStateEvent return 0 or 1, never the mark;
 *   - no busy wait: a FUTEX_WAIT returns at once only when a set came after the waiter's mark.
 *
 * Switches (spin -D...), faults that must be found: FAULTY_CLEAR_ERASES_MARK (KeClearEvent
 * stores 0 whatever the word held), FAULTY_INIT_ERASES_MARK (KeInitializeEvent FALSE stores 0),
 * FAULTY_SLEEP_ON_ZERO (the sleep waits on 0, not on the mark), FAULTY_WAKE_ONLY_FROM_ZERO (a
 * set makes the wake-up call only when it found 0, the rule before the mark), FAULTY_NO_MARK
 * (the waiter sleeps on the mark without marking), FAULTY_TAKE_BY_LOAD (a synchronization
 * waiter loads 1, then stores 0: two steps), FAULTY_STATE_SHOWS_MARK (KeReadStateEvent
 * returns the word as it is). ALLOW_BUSY_WAIT drops the busy-wait check, to show what else a
 * fault breaks (FAULTY_NO_MARK breaks nothing else: the waiter never sleeps, it spins on the
 * word until the set). Bounds: SCENARIO, TIMEOUTS (default 1), SPURIOUS (default 1).
 */

#ifndef TIMEOUTS
#define TIMEOUTS 1
#endif
#ifndef SPURIOUS
#define SPURIOUS 1
#endif

#define KW 2         /* kWaiting, the mark */
#define WAITERS 2

byte word;           /* Event->Header.SignalState */
bool sync;           /* Event->Header.Type == SynchronizationEvent */
bool asleep[WAITERS]; /* in FUTEX_WAIT on the word */

/* What the checks look at */
byte gen;            /* sets (exchanges to 1) so far */
byte sets;           /* sets that found the event not signalled */
byte takes;          /* synchronization waits that took the event */
bool asked[WAITERS]; /* a waiter's ticket: it has called (or is about to call) the wait */
byte g_due;          /* sets the scenario makes for its waiters */
byte g_made;         /* those made so far */
byte g_waiters;      /* waiters of the scenario */
byte g_returned;     /* waiters that returned with STATUS_SUCCESS */

/* FUTEX_WAKE, INT_MAX */
inline futex_wake() {
  atomic { asleep[0] = false; asleep[1] = false }
}

/* The exchange to 1 of KeSetEvent and KeInitializeEvent(TRUE), and the wake-up call. */
inline signal(prev) {
  atomic {
    prev = word; word = 1; gen++;
    if
    :: prev != 1 -> sets++
    :: else
    fi
  };
#ifdef FAULTY_WAKE_ONLY_FROM_ZERO
  if
  :: prev == 0 -> futex_wake()
  :: else
  fi
#else
  if
  :: prev == KW -> futex_wake()
  :: else
  fi
#endif
}

/* KeSetEvent */
inline set_event(prev, ret) {
  signal(prev);
  if
  :: prev == 1 -> ret = 1
  :: else -> ret = 0
  fi;
  assert(ret == 0 || ret == 1)
}

/* KeInitializeEvent(TRUE) */
inline init_true(prev) {
  signal(prev)
}

/* KeInitializeEvent(FALSE): fresh memory holds anything; a word that carries the mark keeps it. */
inline init_false(current) {
#ifdef FAULTY_INIT_ERASES_MARK
  atomic { word = 0 }
#else
  atomic { current = word };
  do
  :: current == 0 || current == KW -> break
  :: else ->
     atomic {
       if
       :: word == current -> word = 0; current = 0
       :: else -> current = word
       fi
     }
  od
#endif
}

/* KeClearEvent */
inline clear_event() {
#ifdef FAULTY_CLEAR_ERASES_MARK
  atomic { word = 0 }
#else
  atomic {
    if
    :: word == 1 -> word = 0
    :: else
    fi
  }
#endif
}

/* KeResetEvent */
inline reset_event(ret) {
  atomic {
    if
    :: word == 1 -> word = 0; ret = 1
    :: else -> ret = 0
    fi
  };
  assert(ret == 0 || ret == 1)
}

/* KeReadStateEvent */
inline read_state(ret) {
  atomic {
#ifdef FAULTY_STATE_SHOWS_MARK
    ret = word
#else
    if
    :: word == 1 -> ret = 1
    :: else -> ret = 0
    fi
#endif
  };
  assert(ret == 0 || ret == 1)
}

/* KeWaitForSingleObject, with a time-out; a caller whose wait ran out waits again. */
proctype Waiter(byte me) {
  byte expected;
  byte seen;          /* gen at the mark */
  byte spurious;
  byte timeouts;
  bool taken;
  bool slept;
  asked[me] = true;
wait:
  /* The take */
  if
  :: sync ->
#ifdef FAULTY_TAKE_BY_LOAD
     atomic { taken = (word == 1) };
     if
     :: taken -> atomic { word = 0; assert(takes < sets); takes++ }
     :: else
     fi
#else
     atomic {
       if
       :: word == 1 -> word = 0; taken = true; assert(takes < sets); takes++
       :: else
       fi
     }
#endif
  :: else -> atomic { taken = (word == 1) }
  fi;
  if
  :: taken -> goto done
  :: else
  fi;
  /* The time-out: STATUS_TIMEOUT, and the caller waits again */
  if
  :: timeouts < TIMEOUTS -> timeouts++; goto wait
  :: skip
  fi;
  /* The mark: 0 -> kWaiting; finding 1, start over */
#ifdef FAULTY_NO_MARK
  atomic { expected = word; seen = gen };
  if
  :: expected == 1 -> goto wait
  :: else
  fi;
#else
  atomic {
    expected = word;
    if
    :: word == 0 -> word = KW
    :: else
    fi;
    seen = gen
  };
  if
  :: expected == 1 -> goto wait
  :: else
  fi;
#endif
  /* FUTEX_WAIT on kWaiting: asleep while the word holds it, else back at once */
  atomic {
#ifdef FAULTY_SLEEP_ON_ZERO
    if
    :: word == 0 -> asleep[me] = true; slept = true
    :: else -> slept = false
    fi
#else
    if
    :: word == KW -> asleep[me] = true; slept = true
    :: else -> slept = false
    fi
#endif
  };
  if
  :: !slept ->
#ifndef ALLOW_BUSY_WAIT
     assert(gen != seen)                 /* back at once: only because a set came */
#else
     skip
#endif
  :: else ->
     if
     :: atomic { !asleep[me] }        /* woken */
     :: atomic {                       /* a spurious wake-up, or the sleep's time-out */
          asleep[me] && spurious < SPURIOUS && g_made < g_due -> spurious++; asleep[me] = false
        }
     fi
  fi;
  goto wait;
done:
  g_returned++
}

/* Scenario 1: the set for waiter i comes after it asked and after the set before was taken. */
proctype SyncSetter(byte i) {
  byte prev, ret;
  atomic { asked[i] && takes == i };
  set_event(prev, ret);
  g_made++
}

/* Scenario 2 */
proctype NotifySetter() {
  byte prev, ret;
  set_event(prev, ret);
  g_made++;
  read_state(ret)
}

/* Scenario 3: clear, reset and re-initialise race with the waiter; then the set. */
proctype Resetter() {
  byte prev, ret;
  if
  :: set_event(prev, ret)
  :: skip
  fi;
  clear_event();
  reset_event(ret);
  read_state(ret);
  init_false(prev);
  read_state(ret);
  if
  :: set_event(prev, ret)
  :: init_true(prev)
  fi;
  g_made++
}

init {
  byte scenario;
#ifdef SCENARIO
  scenario = SCENARIO;
#else
  if
  :: scenario = 1
  :: scenario = 2
  :: scenario = 3
  fi;
#endif
  atomic {
    if
    :: scenario == 1 ->
       sync = true; g_due = 2; g_waiters = 2;
       run Waiter(0); run Waiter(1); run SyncSetter(0); run SyncSetter(1)
    :: scenario == 2 ->
       sync = false; g_due = 1; g_waiters = 2;
       run Waiter(0); run Waiter(1); run NotifySetter()
    :: scenario == 3 ->
       if
       :: sync = false; g_waiters = 2; run Waiter(0); run Waiter(1)
       :: sync = true; g_waiters = 1; run Waiter(0)  /* one set: one waiter */
       fi;
       g_due = 1;
       run Resetter()
    fi
  }
}

ltl waiters_return { [] ((g_due > 0 && g_made == g_due) -> <> (g_returned == g_waiters)) }
