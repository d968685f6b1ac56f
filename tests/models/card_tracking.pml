/*
 * The card-tracking request: cancellation against completion, exactly once.
 *
 * Mirrors
 *   src/smclib/device_control.cc: TrackPresence (parks the request, under the library's lock)
 *   src/driver/card/card_tracking.cc: CBCardTracking (sets its cancel routine, under the cancel
 *     lock), CBUpdateCardState (a presence change completes it), DrvCancel (the cancel routine)
 *   src/driver/frame/requests.cc: DrvCancelTracking (open, close and teardown take it out)
 *   src/driver/frame/teardown.cc: DrvUnloadDevice (teardown, once ListenerIdle is signalled)
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
 * Checked: completion exactly once in every interleaving (assertion at IofCompleteRequest,
 * and the application waits for it, so a request nobody completes is an invalid end state);
 * the cancel routine is cleared before completion (the platform's own check) and the library
 * no longer names the request; nothing touches the request after its release; no deadlock
 * between the library's lock taken before the cancel lock and the cancel routine entered with
 * the cancel lock held (invalid end states); LTL exactly_once.
 *
 * Switches (spin -D...): FAULTY_UPDATE_IGNORES_ROUTINE, FAULTY_CANCEL_LOCK_ORDER (faults that
 * must be found); UNLOAD_FREES_OSDATA (teardown then releases the library's data, as
 * DrvUnloadDevice does with SmartcardExit: spin finds DrvCancel using it afterwards, see
 * README.md); REPORTS (presence reports of the receive worker).
 */

#define NONE     0
#define TRACKING 1   /* CancelTracking, the routine CBCardTracking installs */

#ifndef REPORTS
#define REPORTS 2    /* presence reports of the receive worker */
#endif

byte os_lock;        /* OsData->SpinLock */
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

/* DrvCancelTracking: open, close and teardown. */
inline cancel_tracking(r, mine) {
  touch_os();
  acquire(os_lock);
  if
  :: parked ->
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
  :: mine -> touch(); complete()
  :: else
  fi
}

/* The application: sends the request (SmartcardDeviceControl -> TrackPresence ->
   CBCardTracking), then Request::Wait finishes it once the driver has completed it. */
proctype Application() {
  byte r;
  bool cancelled;
  touch_os();
  acquire(os_lock);
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
           acquire(os_lock);
           release(cancel_lock);
#else
           release(cancel_lock);
           touch_os();
           acquire(os_lock);
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
     touch_os();
     acquire(os_lock);
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
  bool mine;
  if
  :: skip
  :: cancel_tracking(r, mine)
  fi;
  open_close_done = true
}

/* DrvUnloadDevice. It releases the library's data only once the listener is idle; requests
   are not dispatched to a device that is being torn down. */
proctype Unload() {
  byte r;
  bool mine;
  listener_idle;
  dispatched;
  open_close_done;
  cancel_tracking(r, mine);
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
