/*
 * The card-tracking request: cancellation against completion, exactly once.
 *
 * Mirrors
 *   src/smclib/device_control.cc: TrackPresence (parks the request, under the library's lock)
 *   src/driver/card/card_tracking.cc: CBCardTracking (sets its cancel routine, under the cancel
 *     lock), CBUpdateCardState (a presence change completes it), DrvCancel (the cancel routine)
 *   src/driver/frame/requests.cc: DrvCancelTracking (open and close take it out, leaving a
 *     cancellation in flight to DrvCancel; teardown, with TrackingInFlight::kAwait, retries
 *     until the library names no request)
 *   src/driver/frame/teardown.cc: DrvUnloadDevice (teardown, once ListenerIdle is signalled;
 *     SmartcardExit releases OsData after DrvCancelTracking)
 *   src/platform/io.cc: IoCancelIrp, IoSetCancelRoutine, IofCompleteRequest
 *   src/host/host.cc: Request::Cancel, Request::Wait (the application's side)
 *
 * One request, one reader. A step is one lock acquisition or release, or one access to a
 * shared word: OsData->NotificationIrp (parked), Irp->CancelRoutine (routine), Irp->Cancel
 * (cancel_flag). IoSetCancelRoutine is an atomic exchange. The two spin locks are mutual
 * exclusion on a word holding the owner's _pid + 1, so that taking a lock one already holds
 * is caught too. The application finishes and releases the request (freed) once the driver
 * has completed it, under the mutex its Cancel also holds; every access of the driver or the
 * library to the request asserts that it is not released yet.
 *
 * Abstracted away: the card states themselves (a report either changes presence or it does
 * not, chosen freely), the state test and the "busy" refusal of TrackPresence (the request is
 * always parked), status and information values, interrupt levels.
 *
 * Teardown's retry. DrvCancelTracking with kAwait finds the request still named but its
 * routine gone only while DrvCancel is between the cancel lock and the library's (whoever
 * else takes the routine clears the pointer in the same hold of the library's lock, and the
 * library sets the routine under that lock too). It then pauses 1 ms, holding nothing, and
 * tries again. The pause is modelled as lasting until another thread has taken the library's
 * lock (os_taken_by_other): with a plain yield, weak fairness alone would let teardown take
 * the lock ahead of DrvCancel for ever (DrvCancel's acquisition is enabled only while
 * teardown does not hold the lock, so it is not continuously enabled), an endless retry no
 * real schedule produces: the pausing thread holds no lock for 1 ms while DrvCancel spins for
 * it. Nothing is lost for safety: a try that finds the routine gone changes nothing (it
 * exchanges a null routine for null, and releases the locks it took), so the schedules in
 * which teardown tries more often before DrvCancel reach no state this model does not; and a
 * pause that nobody ends would show as an invalid end state.
 *
 * Checked: completion exactly once in every interleaving (assertion at IofCompleteRequest,
 * and the application waits for it, so a request nobody completes is an invalid end state);
 * the cancel routine is cleared before completion (the platform's own check) and the library
 * no longer names the request; nothing touches the request after its release; no deadlock
 * between the library's lock taken before the cancel lock and the cancel routine entered with
 * the cancel lock held (invalid end states); LTL exactly_once. With UNLOAD_FREES_OSDATA,
 * nothing touches OsData (its lock included) once SmartcardExit has released it.
 *
 * Switches (spin -D...): FAULTY_UPDATE_IGNORES_ROUTINE, FAULTY_CANCEL_LOCK_ORDER,
 * FAULTY_UNLOAD_LEAVES_IN_FLIGHT (teardown's DrvCancelTracking returns at once when the
 * routine is already gone, and SmartcardExit releases OsData under DrvCancel: to be used with
 * UNLOAD_FREES_OSDATA) are faults that must be found; UNLOAD_FREES_OSDATA (teardown then
 * releases the library's data, as DrvUnloadDevice does with SmartcardExit); REPORTS (presence
 * reports of the receive worker).
 */

#define NONE     0
#define TRACKING 1   /* CancelTracking, the routine CBCardTracking installs */

#ifndef REPORTS
#define REPORTS 2    /* presence reports of the receive worker */
#endif

byte os_lock;        /* OsData->SpinLock */
bool os_taken_by_other; /* another thread took os_lock since teardown last released it */
byte cancel_lock;    /* the platform's cancel spin lock */
byte app_mutex;      /* Request::Irp::mutex in the host */

bool parked;         /* OsData->NotificationIrp names the request */
byte routine;        /* Irp->CancelRoutine */
bool cancel_flag;    /* Irp->Cancel */
byte completed;      /* completions by the driver or the library */
bool freed;          /* the application finished and released the request */
bool os_released;    /* SmartcardExit released OsData */

bool dispatched;     /* TrackPresence returned STATUS_PENDING */
bool listener_idle;  /* the receive worker reports no more (ListenerIdle) */
bool open_close_done;

inline acquire(l) {
  assert(l != _pid + 1);
  atomic { l == 0 -> l = _pid + 1 }
}

inline release(l) {
  assert(l == _pid + 1);
  l = 0
}

/* An access of the driver or the library to the request. */
inline touch() {
  assert(!freed)
}

/* An access to the library's data, OsData. */
inline touch_os() {
  assert(!os_released)
}

/* The library's lock, which lives in OsData: spinning on it is an access too. */
inline acquire_os() {
  touch_os();
  assert(os_lock != _pid + 1);
  atomic { os_lock == 0 -> touch_os(); os_lock = _pid + 1; os_taken_by_other = true }
}

/* IofCompleteRequest by the driver or the library: the platform's checks, then the host's
   completion routine signals "done" and the application may finish the request at once.
   The library's data no longer names the request by then. */
inline complete() {
  atomic {
    assert(!freed);
    assert(!parked);
    assert(routine == NONE);
    assert(completed == 0);
    completed++
  }
}

inline exchange_routine(r) {
  atomic { r = routine; routine = NONE }
}

/* DrvCancelTracking: open and close (await false, TrackingInFlight::kLeave) and teardown
   (await true, kAwait). A try that finds the request named but its routine gone leaves it to
   DrvCancel; with await it pauses (until another thread has taken the library's lock, see
   above) and tries again, until the library names no request. */
inline cancel_tracking(r, named, mine, await) {
  do
  :: acquire_os();
     if
     :: await -> os_taken_by_other = false
     :: else
     fi;
     named = parked;
     if
     :: named ->
        acquire(cancel_lock);
        touch();
        exchange_routine(r);
        release(cancel_lock);
        if
        :: r != NONE -> parked = false; mine = true
        :: else          /* a cancellation got there first: DrvCancel completes it */
        fi
     :: else
     fi;
     release(os_lock);
     if
     :: mine -> touch(); complete(); break
     :: !mine && (!named || !await) -> break
     :: else -> os_taken_by_other   /* KeDelayExecutionThread, 1 ms */
     fi
  od
}

/* The application: sends the request (SmartcardDeviceControl -> TrackPresence ->
   CBCardTracking), then Request::Wait finishes it once the driver has completed it. */
proctype Application() {
  byte r;
  bool cancelled;
  acquire_os();
  touch();                   /* IoMarkIrpPending, Information */
  parked = true;
  /* CBCardTracking */
  acquire(cancel_lock);
  touch();
  routine = TRACKING;
  release(cancel_lock);
  /* Cancelled before the routine was set: IoCancelIrp found none, so the library completes it. */
  touch();
  if
  :: cancel_flag ->
     exchange_routine(r);
     if
     :: r != NONE -> parked = false; cancelled = true
     :: else
     fi
  :: else
  fi;
  release(os_lock);
  if
  :: cancelled -> touch(); complete()
  :: else
  fi;
  dispatched = true;
  /* Request::Wait */
  completed > 0;
  acquire(app_mutex);
  freed = true;
  release(app_mutex)
}

/* Request::Cancel, from another thread of the application, at any time, or never. */
proctype Canceller() {
  byte r;
  if
  :: skip
  :: acquire(app_mutex);
     if
     :: !freed ->
        /* IoCancelIrp */
        acquire(cancel_lock);
        cancel_flag = true;
        exchange_routine(r);
        if
        :: r == NONE -> release(cancel_lock)
        :: else ->
           /* DrvCancel, entered with the cancel lock held */
           touch();
           routine = NONE;
           touch();          /* IoStatus: cancelled */
           touch_os();       /* smartcard->OsData */
#ifdef FAULTY_CANCEL_LOCK_ORDER
           acquire_os();
           release(cancel_lock);
#else
           release(cancel_lock);
           acquire_os();
#endif
           if
           :: parked -> parked = false   /* it still names this request */
           :: else
           fi;
           release(os_lock);
           touch();
           complete()
        fi
     :: else
     fi;
     release(app_mutex)
  fi
}

/* The receive worker: card inserted or removed reports (CBUpdateCardState), then the
   listener ends (ListenerIdle). */
proctype Worker() {
  byte n, r;
  do
  :: n < REPORTS ->
     n++;
     acquire_os();
     if
     :: parked ->            /* presence changed, and a request is parked */
        acquire(cancel_lock);
        touch();
        exchange_routine(r);
        release(cancel_lock);
#ifdef FAULTY_UPDATE_IGNORES_ROUTINE
        touch();
        parked = false;
        complete()
#else
        if
        :: r != NONE -> touch(); parked = false; complete()
        :: else              /* a cancellation got there first: DrvCancel completes it */
        fi
#endif
     :: true                 /* no change of presence, or nothing parked */
     fi;
     release(os_lock)
  :: break
  od;
  listener_idle = true
}

/* Another application opens the reader, or the handle is closed (DrvOpenClose). */
proctype OpenClose() {
  byte r;
  bool named, mine;
  if
  :: skip
  :: cancel_tracking(r, named, mine, false)
  fi;
  open_close_done = true
}

/* DrvUnloadDevice. It releases the library's data only once the listener is idle; requests
   are not dispatched to a device that is being torn down. */
proctype Unload() {
  byte r;
  bool named, mine;
  listener_idle;
  dispatched;
  open_close_done;
#ifdef FAULTY_UNLOAD_LEAVES_IN_FLIGHT
  cancel_tracking(r, named, mine, false);   /* returns at once when the routine is gone */
#else
  cancel_tracking(r, named, mine, true);    /* TrackingInFlight::kAwait */
#endif
#ifdef UNLOAD_FREES_OSDATA
  os_released = true         /* SmartcardExit */
#endif
}

init {
  atomic {
    run Application();
    run Canceller();
    run Worker();
    run OpenClose();
    run Unload()
  }
}

ltl exactly_once { [] (completed <= 1) && <> (completed == 1 && freed) }
