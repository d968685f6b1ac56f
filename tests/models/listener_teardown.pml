/*
 * Teardown against the listener's queued work: nothing of the listener runs on the records
 * after they are released.
 *
 * Mirrors
 *   src/driver/link/receive.cc: IFSerialWaitOnMask (arms the wait-on-mask request),
 *     IFReadThreadCallback (its completion routine: queues a work item), IFWaitListenerStopped
 *     (WaitEvent, then PassTurn), IFReadWorkRoutine (one receive pass; re-arms at its end)
 *   src/driver/frame/teardown.cc: DrvWaitForDeviceRemoval (the removal routine),
 *     DrvUnloadDevice (wait mask 0, up to 100 ms for SerialRemoved, the port let go,
 *     ListenerIdle, the records released)
 *   src/driver/link/serial_io.cc: IFInitializeInterface (the events' initial states)
 *   src/platform/io.cc: IofCompleteRequest, FinishRequest (completion routine, then status
 *     block, then the request's event)
 *   src/platform/platform.cc: QueueWorkItem, WorkerLoop
 *   src/serial/serial_port.cc: DeviceControl (WAIT_ON_MASK, SET_WAIT_MASK), ServiceWaitLocked,
 *     Cleanup, Dispatch (IRP_MJ_CLOSE)
 *
 * The port's lock is an atomic step: taking the wait out of its queue (and writing the events
 * into reader->WaitMask) happens under it, the completion runs after it, in the thread that
 * took the wait out (the port's thread, teardown's, or a pass's when the port refuses or
 * answers a new wait at once). A completion is three steps: the completion routine reads
 * WaitMask and queues a work item, the platform writes the status block, then sets WaitEvent.
 * Work items run on two worker threads (the platform has four; two are as many as can ever be
 * busy here). A wait with "character received" queues the pass, any other (mask replaced,
 * cancelled, refused, data-set-ready changed) the removal routine.
 *
 * Abstracted away: what a pass reads and decodes, the reports to IFRead (a pass's work on the
 * records is one step before and one after re-arming), STCPowerOff and STCCloseSTC, status
 * values, time (the 100 ms wait may end at any moment). The reader sends a bounded number of
 * characters (CHARS) and may change the data-set-ready line once.
 *
 * Checked: every access to the records asserts that they are not released; a work item is
 * never queued while still queued; the port never holds two waits; ListenerIdle is signalled
 * exactly once; teardown always finishes (invalid end states; LTL teardown_finishes); nothing
 * is left queued, or pending at the port, once the records are released (LTL
 * quiet_after_release).
 *
 * Switches (spin -D...), faults that must be found: FAULTY_NO_IDLE_WAIT (teardown releases the
 * records without waiting for ListenerIdle), FAULTY_EARLY_TURN (a pass hands on PassTurn before
 * its reports, its last touch of the records), FAULTY_NO_WAIT_EVENT (a pass does not wait for
 * the request that queued it to be finished). CHARS sets the characters the reader sends.
 */

#ifndef CHARS
#define CHARS 3
#endif

#define EV_RXCHAR 1
#define EV_DSR    2

/* The port */
bool port_open = true;
bool port_mask = true;   /* wait_mask_ != 0 */
byte history;            /* events seen since the last wait was answered */
bool wait_pending = true; /* the port holds the wait armed at set-up */
byte chars = CHARS;
bool dsr_change = true;  /* the line may change once */

/* The records: the reader's and the device's extension */
bool released;
byte wait_mask_word;     /* reader->WaitMask */
bool wait_event;         /* WaitEvent, notification */
bool pass_turn = true;   /* PassTurn, synchronization */
bool listener_idle;      /* ListenerIdle, notification */
byte idle_signals;
bool serial_removed;     /* SerialRemoved */
bool read_queued;        /* ReadWorkItem in the work queue */
bool removal_queued;     /* RemovalWorkItem in the work queue */

inline touch() {
  assert(!released)
}

inline queue_item(q) {
  atomic { touch(); assert(!q); q = true }
}

/* The wait request's completion, in the thread that took it from the port. */
inline finish_wait(m) {
  /* IFReadThreadCallback */
  atomic { touch(); m = wait_mask_word };
  if
  :: (m & EV_RXCHAR) != 0 -> queue_item(read_queued)
  :: else -> queue_item(removal_queued)
  fi;
  /* FinishRequest: the status block (WaitIoStatus), then WaitEvent: the last touch */
  atomic { touch() };
  atomic { touch(); wait_event = true }
}

inline signal_idle() {
  atomic { touch(); assert(idle_signals == 0); idle_signals++; listener_idle = true }
}

/* IFSerialWaitOnMask, and the port's answer to WAIT_ON_MASK. */
inline arm_wait(m, listening, now) {
  atomic { touch(); wait_event = false };      /* KeInitializeEvent */
  atomic { touch(); wait_mask_word = 0 };
  if
  :: listening = false                          /* no memory for the request */
  :: listening = true;
     atomic {
       touch();
       assert(!wait_pending);
       if
       :: !port_open || !port_mask -> now = true /* refused: completed at once, WaitMask 0 */
       :: else ->
          if
          :: history != 0 -> now = true; wait_mask_word = history; history = 0
          :: else -> now = false; wait_pending = true
          fi
       fi
     };
     if
     :: now -> finish_wait(m)
     :: else
     fi
  fi
}

/* IFReadWorkRoutine */
inline pass(m, listening, now) {
  touch();
#ifndef FAULTY_NO_WAIT_EVENT
  atomic { wait_event -> touch() };
#endif
  atomic { pass_turn -> touch(); pass_turn = false };
  atomic { touch() };                           /* drains the port into the records */
  arm_wait(m, listening, now);
#ifdef FAULTY_EARLY_TURN
  if
  :: listening -> atomic { touch(); pass_turn = true }
  :: else
  fi;
  atomic { touch() };                           /* its reports */
  if
  :: listening
  :: else -> signal_idle()
  fi
#else
  atomic { touch() };                           /* reports what it found, wakes IFRead */
  if
  :: listening -> atomic { touch(); pass_turn = true }
  :: else -> signal_idle()
  fi
#endif
}

/* DrvWaitForDeviceRemoval */
inline removal() {
  touch();
  atomic { wait_event -> touch() };
  atomic { pass_turn -> touch(); pass_turn = false };
  atomic { touch() };                           /* the purge request */
  atomic { touch(); serial_removed = true };
  signal_idle()
}

proctype Worker() {
  byte m;
  bool listening, now;
end:
  do
  :: atomic { read_queued -> read_queued = false }; pass(m, listening, now)
  :: atomic { removal_queued -> removal_queued = false }; removal()
  od
}

/* The port's own thread: characters and line changes come in, a pending wait is answered. */
proctype PortThread() {
  byte m;
end:
  do
  :: atomic {
       chars > 0 -> chars--;
       if
       :: port_open && port_mask -> history = history | EV_RXCHAR
       :: else
       fi
     }
  :: atomic {
       dsr_change -> dsr_change = false;
       if
       :: port_open && port_mask -> history = history | EV_DSR
       :: else
       fi
     }
  :: atomic {
       wait_pending && history != 0 ->
       touch(); wait_pending = false; wait_mask_word = history; history = 0
     };
     finish_wait(m)
  od
}

/* DrvUnloadDevice, with the interface ready and the port open. */
proctype Teardown() {
  byte m;
  bool took;
  /* IOCTL_SERIAL_SET_WAIT_MASK 0: ends the pending wait with no events */
  if
  :: skip                                       /* the request could not be built */
  :: atomic {
       if
       :: wait_pending -> touch(); wait_pending = false; wait_mask_word = 0; took = true
       :: else -> took = false
       fi;
       port_mask = false;
       history = 0
     };
     if
     :: took -> finish_wait(m)
     :: else
     fi;
     /* up to 100 ms for SerialRemoved */
     if
     :: serial_removed
     :: skip                                    /* the time ran out */
     fi
  fi;
  /* ObfDereferenceObject: IRP_MJ_CLEANUP cancels the wait, IRP_MJ_CLOSE closes the port */
  atomic {
    if
    :: wait_pending -> wait_pending = false; took = true
    :: else -> took = false
    fi;
    port_mask = false;
    history = 0
  };
  if
  :: took -> finish_wait(m)
  :: else
  fi;
  port_open = false;
#ifndef FAULTY_NO_IDLE_WAIT
  listener_idle;
  assert(idle_signals == 1);
#endif
  released = true                               /* ExFreePool(reader), then the device */
}

init {
  atomic {
    run Worker();
    run Worker();
    run PortThread();
    run Teardown()
  }
}

ltl teardown_finishes { <> released }
ltl quiet_after_release { [] (released -> (!read_queued && !removal_queued && !wait_pending)) }
