/*
 * A serial port's thread and the bytes that another thread brings: no read outlives its
 * deadline because the port thread slept past it.
 *
 * Mirrors src/serial/serial_port.cc:
 *   Read: a read that cannot be served at once is queued under the port's mutex (its total
 *     deadline starts, if its time-outs give one), and the port thread is woken (Wake: the
 *     event descriptor's counter goes up).
 *   Receive (the far end's thread): under the mutex the bytes join the queue and finish what
 *     they can (a read that has all its bytes completes here); a read still pending after a
 *     byte has its interval deadline moved to the byte's time plus the interval. Then, still
 *     under the mutex, the next deadline of the port is compared with the one the port thread
 *     recorded before it went to sleep (sleep_deadline_); only an earlier one wakes it.
 *   ThreadMain: under the mutex, the next deadline is computed and recorded in
 *     sleep_deadline_; the mutex is let go; ppoll sleeps until the event descriptor is
 *     readable (its counter is read and cleared) or the deadline; under the mutex again, every
 *     read that is due is completed (a time-out).
 *
 * Time is a counter (now) that the Clock process advances, to MAXT. A deadline is a value of
 * now; NONE stands for "no deadline" (greater than any time). The mutex is an atomic block.
 * The port thread's ppoll is one step that waits for the counter or for now reaching the
 * deadline it computed.
 *
 * Scenario: the host pends one read of two bytes (a total deadline or none: init chooses), the
 * far end sends up to two bytes at any moment; the interval time-out is INTERVAL.
 *
 * Who owns the wake-up: the thread that decided, under the mutex, that the port thread sleeps
 * too long owes it (owed) until it has made it; a wake-up the far end owes is on its way (the
 * far end is runnable), as the host's Wake after a queued read is.
 *
 * Property: the clock never passes a pending read's deadline while the port thread sleeps to a
 * later one with no wake-up made or owed (the read would end late: a caller hung past its
 * time-out). Checked as an assertion at each tick.
 *
 * Faults (each must be found):
 *   FAULTY_NO_DEADLINE_WAKE   Receive never wakes the port thread.
 *   FAULTY_WAKE_ONLY_IF_NONE  Receive wakes the port thread only when it sleeps with no
 *                             deadline at all (not when it sleeps to a later one).
 */

#define NONE 99
#define MAXT 5
#define INTERVAL 1
#define LENGTH 2

byte now = 0;
bool pending = false;     /* the read is queued */
bool started = false;     /* the read was issued (it is pending or done) */
byte got = 0;             /* bytes the read has */
byte total_deadline = NONE;
byte interval_deadline = NONE;
byte sleep_deadline = NONE; /* sleep_deadline_, as the port thread recorded it */
byte counter = 0;          /* the event descriptor's counter */
bool asleep = false;       /* the port thread is in ppoll */
byte sent = 0;             /* bytes the far end has sent */
byte queued = 0;           /* received bytes no read has taken */
byte owed = 0;             /* wake-ups decided under the mutex and not yet made */

inline next_deadline(d) {
  if
  :: pending -> d = (total_deadline < interval_deadline -> total_deadline : interval_deadline)
  :: else -> d = NONE
  fi
}

inline complete() {
  pending = false;
  total_deadline = NONE;
  interval_deadline = NONE
}

proctype Host(bool with_total) {
  atomic {
    started = true;
    got = (queued < LENGTH -> queued : LENGTH);
    queued = queued - got;
    if
    :: got == LENGTH -> skip  /* served at once */
    :: else ->
      pending = true;
      if
      :: with_total -> total_deadline = now + 3
      :: else -> skip
      fi;
      if
      :: got > 0 -> interval_deadline = now + INTERVAL
      :: else -> skip
      fi
    fi;
    owed++
  }
  atomic { counter++; owed-- }  /* Wake() */
}

proctype FarEnd() {
  byte next;
  bool wake;
  do
  :: sent < LENGTH ->
    atomic {
      sent++;
      if
      :: pending ->
        got++;
        if
        :: got == LENGTH -> complete()
        :: else -> interval_deadline = now + INTERVAL
        fi
      :: else -> queued++
      fi;
      next_deadline(next);
#ifdef FAULTY_NO_DEADLINE_WAKE
      wake = false
#elif defined(FAULTY_WAKE_ONLY_IF_NONE)
      wake = (next < sleep_deadline && sleep_deadline == NONE)
#else
      wake = (next < sleep_deadline)
#endif
      ;
      if
      :: wake -> owed++
      :: else -> skip
      fi
    }
    if
    :: wake -> atomic { counter++; owed-- }
    :: else -> skip
    fi
  :: else -> break
  od
}

proctype PortThread() {
  byte deadline;
  do
  :: atomic {
      next_deadline(deadline);
      sleep_deadline = deadline;
      asleep = true
    }
    /* ppoll: the counter, or the deadline */
end_sleep:
    atomic {
      (counter > 0 || now >= deadline) ->
      counter = 0;
      asleep = false
    }
    atomic {
      if
      :: pending && (now >= total_deadline || now >= interval_deadline) -> complete()
      :: else -> skip
      fi
    }
  od
}

proctype Clock() {
  byte due;
  do
  :: atomic {
      now < MAXT ->
      next_deadline(due);
      /* the tick that would take now past a due read while the port thread oversleeps */
      assert(!(asleep && counter == 0 && owed == 0 && due <= now && sleep_deadline > due));
      now++
    }
  :: now == MAXT -> break
  od
}

init {
  bool with_total;
  if
  :: with_total = true
  :: with_total = false
  fi;
  atomic {
    run PortThread();
    run FarEnd();
    run Host(with_total);
    run Clock()
  }
}
