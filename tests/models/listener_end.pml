/*
 * The end of the listener against the reads of a caller: no read waits for the reader once
 * nothing the reader sends can be taken in.
 *
 * Mirrors
 *   src/driver/link/receive.cc: IFListenerEnded (under ReceiveLock: ListenerOver set; the read
 *     that waits for bytes or for the end of the block answered with the time-out status, its
 *     wake-up given at once through DataEvent), IFRead and IFReadLastCWT (under ReceiveLock: a
 *     read that the buffered bytes cannot satisfy returns at once when ListenerOver is set,
 *     else takes a ticket and waits), AwaitAnswer (DataEvent, then under ReceiveLock the event
 *     cleared and the answer taken only if it is this read's ticket), AnswerRead, WakeReader and
 *     ReceivePass::Finish (a pass answers the read that waits, or not, and gives the wake-up
 *     it owes before its turn ends), IFReadWorkRoutine (a pass that cannot arm the listener
 *     again ends it);
 *   src/driver/frame/teardown.cc: DrvWaitForDeviceRemoval (after IFWaitListenerStopped: no
 *     pass runs any more; then IFListenerEnded).
 *
 * Processes: Caller (READS reads, default 3, each waiting for bytes or for the end of the
 * block), Listener (up to PASSES passes, default 2, each answering the read that waits or
 * not, then the end of the listener: the removal routine, or the last pass that could not arm
 * it again; both run after every pass).
 *
 * Abstracted away: the bytes (a pass's answer is success, the end's is the time-out status),
 * the exchange's own end (ExchangeEnd) and the card's removal, which end reads the same way
 * (receive_path.pml); time: no wait in this model runs out, so a read that nothing answers
 * stays blocked, which spin reports as an invalid end state. The reads' own time-outs would
 * end them later, which is the wait this design removes.
 *
 * Checked: every read ends (no invalid end state); a read answered by the end of the
 * listener gets the time-out status; a read that began waiting after the end is impossible.
 *
 * Faults that must be found: FAULTY_NO_OVER_CHECK (a read does not look at ListenerOver before
 * it waits: one that begins after the end waits for ever), FAULTY_OVER_OUTSIDE_LOCK (the end
 * looks for a waiting read, then sets ListenerOver in a second step: a read can begin to wait
 * in between), FAULTY_NO_WAKE (the end answers the read but does not set DataEvent).
 */

#ifndef READS
#define READS 3
#endif
#ifndef PASSES
#define PASSES 2
#endif

#define OK 1
#define TIMEOUT 2

bool lock;             /* ReceiveLock */
bool data_event;       /* DataEvent, a notification event */
bool over;             /* ListenerOver */
bool waits;            /* ExpectedCount != NOBODY_WAITS, or BlockEndWaits */
byte ticket;           /* ReadTicket */
byte answered;         /* AnsweredTicket */
byte read_status;      /* ReadStatus */
bool wake_owed;        /* WakeOwed */

byte g_ended_reads;    /* reads that returned */

inline acquire() { atomic { !lock -> lock = true } }
inline release() { lock = false }

/* AnswerRead, ReceiveLock held */
inline answer_read(status) {
  read_status = status;
  answered = ticket;
  waits = false;
  wake_owed = true
}

proctype Caller() {
  byte r;
  byte mine;
  byte status;
  for (r : 1 .. READS) {
    acquire();
#ifndef FAULTY_NO_OVER_CHECK
    if
    :: over -> release(); status = TIMEOUT; goto done
    :: else
    fi;
#endif
    assert(!over);  /* no read begins to wait once the listener is over */
    waits = true;
    ticket++;
    mine = ticket;
    release();
    /* AwaitAnswer: a wake-up that is not this read's answer does not end the wait */
    do
    :: data_event ->
       acquire();
       data_event = false;
       if
       :: answered == mine -> wake_owed = false; status = read_status; release(); break
       :: else -> release()
       fi
    od;
done:
    assert(status == OK || status == TIMEOUT);
    g_ended_reads++
  }
}

proctype Listener() {
  byte p;
  for (p : 1 .. PASSES) {
    /* A pass: it answers the read that waits, or finds nothing for it; then Finish gives the
       wake-up it owes (WakeReader) before the next pass may run. */
    acquire();
    if
    :: waits -> answer_read(OK)
    :: true
    fi;
    release();
    acquire();
    if
    :: wake_owed -> wake_owed = false; data_event = true
    :: else
    fi;
    release()
  }
  /* IFListenerEnded, after the last pass */
#ifdef FAULTY_OVER_OUTSIDE_LOCK
  bool found;
  acquire();
  found = waits;
  if
  :: found -> answer_read(TIMEOUT); wake_owed = false; data_event = true
  :: else
  fi;
  release();
  acquire();
  over = true;
  release()
#else
  acquire();
  over = true;
  if
  :: waits ->
     answer_read(TIMEOUT);
#ifndef FAULTY_NO_WAKE
     wake_owed = false;
     data_event = true
#endif
  :: else
  fi;
  release()
#endif
}

init {
  atomic {
    run Caller();
    run Listener()
  }
}
