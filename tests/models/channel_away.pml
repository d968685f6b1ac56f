/*
 * The pcscd handler's channel when its serial device goes away and comes back: who may stop
 * and start the channel's Host, and who wakes the card wait.
 *
 * Mirrors pcsc/channel.cc:
 *   WaitForChange (pcscd's polling thread): under poll_mutex_ it returns at once when closed_
 *     or stop_pending_, else sets polling_. Then, with no lock, StopOldHost stops the Host of a
 *     reader gone away (stopping_). Away (no Host): ComeBack tries the device; a start that
 *     succeeds puts the new Host in place under io_; otherwise it sleeps on woken_ under
 *     poll_mutex_ until stop_pending_ or closed_ (then it ends), or the pause's end. With a
 *     Host: the driver's card wait is started and named in waiting_ under poll_mutex_ (or
 *     cancelled there at once, if a stop or the close came), then waited for in slices; after
 *     each slice the device is looked at (gone_noticed_, or the device itself). Gone: GoAway
 *     takes io_, closes the reader and moves the Host to stopping_. At the end polling_ is
 *     cleared under poll_mutex_ and poll_ended_ notified.
 *   The other calls (Presence, Transmit, ...): under io_, the Host is used; a call that finds
 *     the device gone does not touch the Host: NoticeGone sets gone_noticed_ and, under
 *     poll_mutex_ (taken while io_ is held), cancels the card wait in flight.
 *   StopWaiting: under poll_mutex_, cancels the card wait in flight, or sets stop_pending_ and
 *     notifies woken_.
 *   Close: under poll_mutex_, sets closed_, cancels the card wait in flight, notifies woken_
 *     and waits on poll_ended_ until no wait runs; then, under io_, stops the Host and the one
 *     in stopping_.
 * Locks are atomic test-and-set steps; a condition variable wait releases the mutex and
 * sleeps until notified (woken) or, for ComeBack's pause, until its end, which may come only
 * while no stop or close is pending (a stop or close must wake it, not the pause's end).
 *
 * Scenario: the device goes once and comes back once, at any moments; a call of an
 * application twice; pcscd's stop function once; the close once. pcscd's polling thread polls
 * until the channel is closed.
 *
 * Properties:
 *   - a Host is running whenever a thread uses it (assertions at each use: the calls under
 *     io_, the card wait without it);
 *   - no deadlock, and the close always ends: the polling thread is never left asleep with the
 *     close waiting for it (invalid end states);
 *   - at the end every Host that was started has been stopped, exactly once.
 *
 * Faults (each must be found):
 *   FAULTY_CALL_GOES_AWAY     a call that finds the device gone stops the Host itself, under
 *                             io_, as the card wait goes on using it.
 *   FAULTY_CLOSE_NO_NOTIFY    the close does not notify woken_: a card wait asleep between
 *                             tries sleeps on.
 *   FAULTY_AWAY_UNDER_POLL    the card wait takes io_ for GoAway while holding poll_mutex_.
 */

#define NOBODY 0
#define NEVER 0
#define RUNNING 1
#define STOPPED 2
#define HOSTS 3

byte io = NOBODY;    /* io_, its holder */
byte poll = NOBODY;  /* poll_mutex_, its holder */

byte host = 0;       /* host_ (and reader_ with it): a Host's number, 0 none */
byte stopping = 0;   /* stopping_ */
bool away = false;
byte hstate[HOSTS];  /* each Host: NEVER started, RUNNING, STOPPED */
byte started = 1;    /* Hosts started, the first at the channel's opening */

bool polling = false, stop_pending = false, closed = false;
bool waiting = false, cancelled = false;  /* waiting_ names a card wait; it was cancelled */
bool gone_noticed = false;
byte woken = 0;      /* notifications of woken_ not yet taken */
bool asleep = false; /* the card wait sleeps between tries */

bool device = true;  /* the serial device is there */
bool closer_done = false;

inline lock(m) { atomic { m == NOBODY -> m = _pid } }
inline unlock(m) { assert(m == _pid); m = NOBODY }

inline stop(h) {
  assert(hstate[h] == RUNNING);
  hstate[h] = STOPPED
}

inline go_away() {
  lock(io);
  stopping = host;
  host = 0;
  away = true;
  unlock(io)
}

proctype Poller() {
  bool gone;
  do
  :: lock(poll);
    if
    :: closed -> unlock(poll); break
    :: else -> skip
    fi;
    if
    :: stop_pending -> stop_pending = false; unlock(poll)
    :: else ->
      polling = true;
      unlock(poll);
      /* StopOldHost: the card wait's own */
      if
      :: stopping != 0 -> stop(stopping); stopping = 0
      :: else -> skip
      fi;
      if
      :: host == 0 ->  /* away: ComeBack */
        do
        :: device && started < HOSTS ->
          atomic { hstate[started] = RUNNING; started++ }
          lock(io);
          host = started - 1;
          away = false;
          unlock(io);
          break
        :: else ->
          lock(poll);
          if
          :: stop_pending || closed -> stop_pending = false; unlock(poll); break
          :: else ->
            atomic { unlock(poll); asleep = true }
            atomic { (woken > 0 || !(stop_pending || closed)) -> asleep = false; woken = 0 }
            /* woken, or the pause's end: round again (the predicate is looked at under the lock) */
          fi
        od
      :: else ->  /* the card wait, on the Host, with no lock held */
        assert(hstate[host] == RUNNING);
        lock(poll);
        if
        :: stop_pending || closed -> stop_pending = false; cancelled = true
        :: else -> waiting = true
        fi;
        unlock(poll);
        /* Request::Wait in slices: it ends when cancelled, or a slice ends */
        gone = false;
        do
        :: cancelled -> break
        :: !cancelled ->  /* a slice ended: the device looked at */
          atomic { gone = gone_noticed || !device; gone_noticed = false };
          if
          :: gone -> break
          :: else -> assert(hstate[host] == RUNNING)  /* the request still on the Host */
          fi
        od;
        lock(poll);
        waiting = false;
        cancelled = false;
#ifdef FAULTY_AWAY_UNDER_POLL
        if
        :: gone -> go_away()
        :: else -> skip
        fi;
        unlock(poll)
#else
        unlock(poll);
        if
        :: gone -> go_away()
        :: else -> skip
        fi
#endif
      fi;
      lock(poll);
      polling = false;
      unlock(poll)
    fi
  od
}

proctype Call() {
  byte calls = 0;
  do
  :: calls < 2 ->
    calls++;
    lock(io);
    if
    :: host != 0 && !device ->  /* the device gone */
#ifdef FAULTY_CALL_GOES_AWAY
      stop(host);
      host = 0;
      away = true
#else
      gone_noticed = true;
      lock(poll);
      if
      :: waiting -> cancelled = true
      :: else -> skip
      fi;
      unlock(poll)
#endif
    :: host != 0 && device -> assert(hstate[host] == RUNNING)  /* a request on the Host */
    :: host == 0 -> skip  /* away or closed: answered at once */
    fi;
    unlock(io)
  :: else -> break
  od
}

proctype StopWaiting() {
  lock(poll);
  if
  :: waiting -> cancelled = true
  :: else -> stop_pending = true; woken = 1
  fi;
  unlock(poll)
}

proctype Close() {
  lock(poll);
  closed = true;
  if
  :: waiting -> cancelled = true
  :: else -> skip
  fi;
#ifndef FAULTY_CLOSE_NO_NOTIFY
  woken = 1;
#endif
  /* poll_ended_.wait(lock, !polling) */
  unlock(poll);
  atomic { !polling && poll == NOBODY -> poll = _pid };
  unlock(poll);
  lock(io);
  if
  :: stopping != 0 -> stop(stopping); stopping = 0
  :: else -> skip
  fi;
  if
  :: host != 0 -> stop(host); host = 0
  :: else -> skip
  fi;
  away = false;
  unlock(io);
  closer_done = true
}

proctype Device() {
  device = false;  /* gone */
  device = true    /* back */
}

init {
  byte h = 1;
  hstate[1] = RUNNING;
  host = 1;
  atomic {
    run Poller();
    run Call();
    run StopWaiting();
    run Close();
    run Device()
  }
  (_nr_pr == 1);
  /* Every Host started was stopped, once; none waits to be. */
  assert(closer_done && host == 0 && stopping == 0);
  do
  :: h < started -> assert(hstate[h] == STOPPED); h++
  :: else -> break
  od
}
