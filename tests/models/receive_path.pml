/*
 * The receive path: every read gets its own exchange's bytes, and ends for its own reasons.
 *
 * Mirrors
 *   src/driver/link/receive.cc: IFReadWorkRoutine and ReceivePass (Run, ReadByte, Data, Event,
 *     ReaderError, CharacterError, CardGone, BlockEnd, Answered, AfterByte, Finish), IFRead,
 *     IFReadLastCWT, AwaitAnswer, AnswerRead, EndExchange, WakeReader, Verdict, TakeBytes,
 *     IFSerialWaitOnMask (the re-arm at the end of a pass)
 *   src/driver/link/stc_protocol.cc: IFWrite (the purge a failed read left, then a new exchange
 *     under ReceiveLock, DataEvent cleared, the frame written)
 *   src/driver/link/serial_io.cc: IFSerialRead (one byte, ended by the port's read time-outs)
 *   src/serial/serial_port.h, serial_port.cc: reads with time-outs, the event history (a wait
 *     armed after bytes arrived completes at once), IOCTL_SERIAL_PURGE (TXCLEAR),
 *     IOCTL_SERIAL_GET_COMMSTATUS (AmountInInQueue)
 *   src/driver/card/t1.cc: CBT1Transmit (the order of the reads in an exchange, T1.Wtx set for
 *     the command and its first reads, cleared after them)
 *
 * Processes: Caller (a script of EXCHANGES exchanges, each as CBT1Transmit makes it: IFWrite
 * of a command that asks for the answer and, or not, CHARS - 1 card bytes; IFRead of the
 * answer; IFRead of the card bytes; maybe IFReadLastCWT; T1.Wtx on or off for the command and
 * its first reads, in every exchange but the last), Worker (the receive passes, one after the
 * other as PassTurn orders them), Reader (the reader and the card behind it: a stream of bytes
 * for each command, into the port's receive queue).
 *
 * A step is one critical section under ReceiveLock (held only for short stretches, never
 * across a wait or a serial request), one access to a shared word outside it (T1.Wtx,
 * BlockEndStatus, DataEvent), or one action of the port; what touches only a thread's own
 * variables goes with the step before, and so does a step of the worker that the other
 * threads cannot tell from the one before (Worker). The port: a receive queue of RXQ bytes; the
 * wait-on-mask (pending, or its events gathered in a history, so a wait armed after bytes came
 * completes at once); the frame written and not yet taken by the reader; a serial read of one
 * byte takes a queued byte, or waits for one, or, while the queue is empty, fails with the
 * port's read time-out.
 *
 * Data is abstracted to ownership: a card character is its exchange and its position in that
 * exchange's stream (the reader's answer byte is position 0), CHAR(e, p); a byte on the line
 * carries its kind (data, 0x10, the codes 0x83, 0x84, 0x85/0x86, 0x88) and the exchange it
 * belongs to. The receive buffer holds characters; a slot beyond ReceivedCount holds nothing
 * that can pass for a character (NOTCHAR, or ERRMARK, the reader's error code ReaderError
 * leaves there).
 *
 * The reader, for each command it takes: maybe a report of the exchange before (0x10 0x83, or
 * a damaged character 0x10 0x88) that was on its way before the command; the answer byte, or
 * the reader's error (0x10 0x84); after the answer the card's characters (data, data 0x10 sent
 * as 0x10 0x10, or damaged, 0x10 0x88), at most as many as the command asks for; the end of the
 * block (0x10 0x83) at any point after the answer ("early", before a read of the card bytes
 * starts, or "late", while it waits), or the reader's error before the last character; a card
 * inserted (0x10 0x85) or removed (0x10 0x86) at any point. Once the card is out it sends
 * nothing, and the reader does not give up on its characters (0x84) either: the removal is
 * its report on them (the reader's own answer to a command, or its 0x84 instead, still come).
 * The driver records the card's state (CBUpdateCardState); a removal after the command's
 * answer ends the exchange and answers a read that waits for the card's bytes or its end of
 * block; IFRead waits for none of the card's bytes once the answer is in and the card is out. EXTRAS bounds how many reports of an exchange
 * before, escaped or damaged characters and card reports come in a run.
 *
 * Time. Nothing measures time; a time-out is a choice, made only where the design's timing
 * allows it. The reader takes a frame at once and sends the two bytes of a pair back to back
 * (they arrive together), so no time-out ends while a frame waits for the reader. The caller's
 * limits (ReadIntervalTimeout x n + ReadTotalTimeout) are far longer than the worker takes to
 * file a byte, so the caller's time runs out only on a quiet line: the port's queue empty and
 * the worker holding no byte it has read (g_holding). A read's time does not run out once it
 * is answered, so an answered read that is never woken stays blocked (an invalid end state). A
 * line that stays quiet for a time-out (the caller's, or the port's while T1.Wtx is 0) means
 * the reader has given up on the exchange: after it, only reports about the card's characters
 * (0x83, 0x88) still come (g_cut).
 *
 * IFWrite's purge clears the port's transmit queue only, at any moment of a pass. Purging the
 * receive queue too, as the faults PURGE_SPLITS_PAIRS and PURGE_DROPS_REPORTS do, discards what
 * must not be (README.md): between the two bytes of a pair (the worker has read the 0x10), the
 * pair's code; a card report waiting in the port's queue.
 *
 * Abstracted away: status values other than success, the time-outs and the reader's own code
 * (Verdict's translation, SmartOSToNt); CharacterErrorStatus; the card-state update itself
 * (CBUpdateCardState); failed status, write or wait requests; the listener's set-up and
 * teardown (listener_teardown.pml); ticket wrap-around.
 *
 * Checked, by assertions: a read that succeeds takes exactly the next characters of its own
 * exchange, in order; a read that fails does so because its own time ran out, or because of
 * an answer addressed to it for a cause of its own exchange (0x83 before its bytes while T1.Wtx
 * is 0; 0x84; the port's time-out of a serial read that began while it already waited, T1.Wtx
 * 0), or because its own exchange has already ended so (ExchangeEnd); IFReadLastCWT succeeds
 * only on its own exchange's 0x83 and fails only when its time ran out or the card was
 * reported gone while it waited; an answer goes only to
 * a read that is there; the worker never starts a serial read from an empty port, nor ends a
 * pass, while an answered read is owed its wake-up; ReceivedCount stays below the buffer's size;
 * a purge discards nothing of an exchange that goes on (neither the frame on its way to the
 * reader nor what the reader sent for it) and no card report. Invalid end states: a read left
 * waiting (a lost wake-up), a deadlock. LTL answered_read_wakes: an answered read is woken;
 * LTL script_ends: the caller gets through its script.
 *
 * Switches (spin -D...), faults that must be found:
 *   FAULTY_WAKE_WITHOUT_TICKET  wake-ups not addressed: WakeReader sets DataEvent whenever it is
 *                               called, and AwaitAnswer takes any wake-up for its answer
 *   FAULTY_NO_WITHDRAW          a read whose time ran out leaves ExpectedCount and
 *                               BlockEndWaits as they are
 *   FAULTY_NO_ANSWER_PENDING    BlockEnd without the AnswerPending test
 *   FAULTY_QUIET_ENDS_ANY_READ  Finish answers whichever read waits for bytes now, not only the
 *                               one that waited when the failed serial read began
 *   FAULTY_WORKER_PURGE         the worker purges the port in Finish, after WakeReader, instead
 *                               of IFWrite before the next frame
 *   FAULTY_CLEAR_BEFORE_WAIT    AwaitAnswer clears DataEvent before each wait instead of after
 *   FAULTY_GONE_ANSWERS_ANYONE  CardGone answers whether or not a read waits
 *   FAULTY_ABSENT_BEFORE_ANSWER IFRead fails at once on a card recorded out without waiting for
 *                               the reader's answer to the command
 *   PURGE_SPLITS_PAIRS, PURGE_DROPS_REPORTS   IFWrite purges the receive queue too (above).
 * Bounds:
 * EXCHANGES (2), CHARS (3: the answer and two card bytes), EXTRAS (1; STALE, ODD_CHARS, CARDS set
 * to 0 leave out reports of an exchange before, escaped or damaged characters, card reports),
 * RXQ (3), NO_WTX (T1.Wtx always 0).
 */

#ifndef EXCHANGES
#define EXCHANGES 2
#endif
#ifndef CHARS
#define CHARS 3
#endif
#ifndef STALE
#define STALE 1              /* reports of the exchange before */
#endif
#ifndef CARDS
#define CARDS 1              /* card events */
#endif
#ifndef ODD_CHARS
#define ODD_CHARS 1          /* characters sent escaped or damaged */
#endif
#ifndef EXTRAS
#define EXTRAS 1             /* how many of those in a run */
#endif
#ifndef RXQ
#define RXQ 3
#endif
#ifndef NO_WTX
#define WTX
#endif

/* RECEIVE_BUFFER_SIZE: data fills at most BUF - 1 slots, so CHARS always fit. */
#define BUF (CHARS + 1)
#define NOBODY 255           /* NOBODY_WAITS */

/* Bytes on the line: kind, exchange, position. */
#define K_DATA 1
#define K_ESC  2             /* 0x10 */
#define K_END  3             /* 0x83, end of the card's block */
#define K_ERR  4             /* 0x84, the reader gave up */
#define K_CARD 5             /* 0x85, 0x86, card inserted or removed */
#define K_DMG  6             /* 0x88, a damaged character */
#define CHAR(e, p) ((e) * 4 + (p))
#define RAW(k, t) ((k) * 16 + (t))
#define KIND(b) ((b) / 16)
#define TAG(b) ((b) % 16)
#define EXCH(t) ((t) / 4)
#define NOTCHAR 0            /* no character */
#define ERRMARK 3            /* the reader's error code left in the buffer */

/* Statuses */
#define S_OK      0
#define S_TIMEOUT 1          /* STATUS_TIMEOUT, STATUS_IO_TIMEOUT */
#define S_READER  2          /* the reader's own code, while T1.Wtx is set */

/* Why a read was answered (ghost) */
#define C_BYTES 1
#define C_END   2
#define C_ERR   3
#define C_QUIET 4
#define C_GONE  5            /* the card was reported gone after the command's answer */

/* What the worker does after a byte */
#define N_READ 0
#define N_ASK  1

/* What the byte read is */
#define CL_ESC   0
#define CL_DATA  1
#define CL_EVENT 2

/* The reader's stream */
#define ST_IDLE   0          /* no command yet */
#define ST_ANSWER 1          /* the command taken, its answer not sent */
#define ST_DATA   2          /* answered: the card's characters */
#define ST_OVER   3          /* ended (0x83) or given up (0x84) */

/* --- The reader extension --- */
byte count;                  /* ReceivedCount */
byte buf[BUF];               /* ReceiveBuffer */
byte expected = NOBODY;      /* ExpectedCount */
byte read_status;            /* ReadStatus */
byte read_ticket;            /* ReadTicket */
byte answered_ticket;        /* AnsweredTicket */
bool block_end_waits;        /* BlockEndWaits */
bool wake_owed;              /* WakeOwed */
bool answer_pending;         /* AnswerPending */
byte exchange_end;           /* ExchangeEnd */
bool purge_pending;          /* PurgePending */
byte block_end_status = S_TIMEOUT; /* BlockEndStatus, shared word */
bool esc_pending;            /* EscapePending: the worker has read the 0x10 of a pair */
bool data_event;             /* DataEvent, notification */
bool wtx;                    /* the library's T1.Wtx != 0, shared word */
bool card_absent;            /* ReaderCapabilities.CurrentState == SCARD_ABSENT, shared word */

/* --- The port --- */
chan rx = [RXQ] of { byte }; /* the receive queue */
byte tx;                     /* the frame written and not yet taken by the reader: its exchange */
bool history;                /* "character received" gathered since the last wait took it */
bool wait_armed = true;      /* the wait-on-mask request is pending (set-up armed it) */
bool pass_due;               /* the wait completed: a pass is queued */

/* --- Ghosts --- */
byte chars[EXCHANGES + 1];   /* characters each command asks for */
byte g_exch;                 /* the exchange since the last IFWrite reset */
byte g_over;                 /* exchanges up to this one are over: the caller has gone on */
byte g_taken;                /* characters of g_exch the caller has taken */
byte g_read;                 /* the caller's reads that wait, numbered from 1 */
byte g_waiting;              /* the read that waits now, 0 if none */
byte g_answered;             /* the read the last answer was for */
byte g_cause;                /* and why */
bool g_expired;              /* the current read's own time ran out */
byte g_quiet_reader;         /* the read that waited when the last serial read began */
byte g_end_exch;             /* the exchange whose report set ExchangeEnd */
byte g_block_end_exch;       /* the exchange whose 0x83 set BlockEndStatus */
bool g_cut;                  /* the line went quiet: the reader sends only reports now */
bool g_lost_report;          /* a purge discarded a card report */
byte g_cards_queued;         /* card reports (0x85, 0x86) in the port's queue */
bool g_holding;              /* the worker has read a byte and not handled it yet */
bool g_done;                 /* the caller got through its script */

/* A byte reaches the port: queued; it completes the pending wait or goes into the history. */
inline arrive(x) {
  rx!x;
  if
  :: wait_armed -> wait_armed = false; pass_due = true
  :: else -> history = true
  fi
}

/* IOCTL_SERIAL_PURGE with TXCLEAR, in the calling thread before its frame: nothing of an
   exchange that goes on may be discarded. The receive queue is not purged. The faults
   PURGE_SPLITS_PAIRS and PURGE_DROPS_REPORTS purge it too (RXCLEAR), the first at any moment
   but one when a card report waits, the second at any moment but between the two bytes of a
   pair: spin must find each harm. */
#ifdef PURGE_SPLITS_PAIRS
#define PURGE_RECEIVE_NOW (g_cards_queued == 0)
#endif
#ifdef PURGE_DROPS_REPORTS
#define PURGE_RECEIVE_NOW (!g_holding && !esc_pending)
#endif
inline purge_port(x) {
  atomic {
    assert(tx == 0 || tx <= g_over);
    tx = 0;
#ifdef PURGE_RECEIVE_NOW
    if
    :: PURGE_RECEIVE_NOW ->
       do
       :: rx?x ->
          assert(EXCH(TAG(x)) <= g_over);
          g_lost_report = (KIND(x) == K_CARD);
          assert(!g_lost_report)           /* a card inserted or removed, never reported */
       :: len(rx) == 0 -> break
       od
    :: else
    fi;
#endif
    x = 0
  };
  fast = false
}

/* --- The reader and the card --- */

/* Tags: CHAR(e, p) is a character; the reports 0x83 and 0x84 of exchange e carry REPORT(e)
   (position 3: no character), a card report carries CARD_IN (0x85) or CARD_OUT (0x86)
   (exchange 0: none). */
#if CHARS > 3 || EXCHANGES > 3
#error "CHARS and EXCHANGES are at most 3: a tag holds exchange x 4 + position"
#endif
#define REPORT(e) CHAR(e, 3)
#define CARD_IN NOTCHAR
#define CARD_OUT 1

/* An event: the escape and its code, sent back to back, arrive in one step. */
inline pair(c, t) {
  arrive(RAW(K_ESC, t));
  arrive(RAW(c, t))
}

/* The reader sends only once it has taken the frame written, and while the queue has room. */
#define ROOM1 (tx == 0 && len(rx) < RXQ)
#define ROOM2 (tx == 0 && len(rx) < RXQ - 1)

/* The reader and the card behind it: for each command taken, a well-formed stream (st, the
   next character's position p); extras counts the odd bytes of the run (EXTRAS). */
proctype Reader() {
  byte k, st, p, extras;
  bool gone;                                /* the card is out: it says nothing more */
end:
  do
  :: atomic {                               /* the frame, taken at once */
       tx != 0 -> k = tx; tx = 0; st = ST_ANSWER; p = 0; g_cut = false
     }
  :: atomic {                               /* the answer */
       ROOM1 && st == ST_ANSWER && !g_cut ->
       arrive(RAW(K_DATA, CHAR(k, 0))); p = 1; st = ST_DATA
     }
  :: atomic {                               /* 0x84 instead, or before the last character */
       ROOM2 && (st == ST_ANSWER || st == ST_DATA && p < chars[k] && !gone) && !g_cut ->
       pair(K_ERR, REPORT(k)); st = ST_OVER
     }
  :: atomic {                               /* a card's character, as many as asked for */
       ROOM1 && st == ST_DATA && p < chars[k] && !g_cut && !gone ->
       arrive(RAW(K_DATA, CHAR(k, p))); p++
     }
#if ODD_CHARS
  :: atomic {                               /* the data byte 0x10, sent 0x10 0x10 */
       ROOM2 && st == ST_DATA && p < chars[k] && !g_cut && !gone && extras < EXTRAS ->
       pair(K_ESC, CHAR(k, p)); p++; extras++
     }
  :: atomic {                               /* a damaged character, 0x10 0x88 */
       ROOM2 && st == ST_DATA && p < chars[k] && !gone && extras < EXTRAS ->
       pair(K_DMG, CHAR(k, p)); p++; extras++
     }
#endif
  :: atomic {                               /* the end of the block (0x83), early or late */
       ROOM2 && st == ST_DATA -> pair(K_END, REPORT(k)); st = ST_OVER
     }
#if STALE
  :: atomic {                               /* a report of the exchange before, on its way */
       ROOM2 && st == ST_ANSWER && k > 1 && extras < EXTRAS ->
       if
       :: pair(K_END, REPORT(k - 1))        /* its end of the block */
       :: pair(K_DMG, CHAR(k - 1, CHARS - 1))   /* its last character, damaged */
       fi;
       extras++
     }
#endif
#if CARDS
  :: atomic {                               /* a card inserted or removed (0x85, 0x86) */
       ROOM2 && extras < EXTRAS ->
       if
       :: pair(K_CARD, CARD_IN); gone = false
       :: pair(K_CARD, CARD_OUT); gone = true
       fi;
       g_cards_queued++; extras++
     }
#endif
  od
}

/* --- Under ReceiveLock --- */

/* AnswerRead: the outcome of the read that waits; its wake-up is owed until it is given. */
inline answer(s, c) {
  assert(g_waiting != 0);                   /* an answer only to a read that is there */
  read_status = s;
  answered_ticket = read_ticket;
  expected = NOBODY;
  block_end_waits = false;
  wake_owed = true;
  g_answered = g_waiting; g_cause = c
}

/* ReceivePass::Answered: the wake-up at once if the port holds nothing more that is known,
   else once the bytes queued there now are taken (wake_in). */
inline answered() {
  if
  :: queued != 0 -> wake_in = queued
  :: else -> wake_owed = false; data_event = true
  fi
}

/* WakeReader */
inline wake_reader() {
#ifdef FAULTY_WAKE_WITHOUT_TICKET
  wake_owed = false; data_event = true      /* whenever it is called */
#else
  if
  :: wake_owed -> wake_owed = false; data_event = true
  :: else
  fi
#endif
}

/* EndExchange: the first report stands. t: the report's tag. */
inline end_exchange(s, t) {
  if
  :: exchange_end == S_OK -> exchange_end = s; g_end_exch = EXCH(t)
  :: else
  fi
}

/* A character into ReceiveBuffer, if there is room: there always is, as an exchange's
   characters fill at most BUF - 1 slots. */
inline file(t) {
  if
  :: count + 1 < BUF -> buf[count] = t; count++
  :: else -> assert(count + 1 < BUF)        /* a character dropped */
  fi
}

/* TakeBytes of a read that succeeds: the next n characters of its own exchange, in order.
   What stays moves to the front; the slots it leaves hold no character. */
inline take(n, i) {
  i = 0;
  do
  :: i < n -> assert(buf[i] == CHAR(g_exch, g_taken)); g_taken++; i++
  :: else -> break
  od;
  i = 0;
  do
  :: i + n < count -> buf[i] = buf[i + n]; i++
  :: i + n >= count && i < BUF -> buf[i] = NOTCHAR; i++
  :: i >= BUF -> break
  od;
  count = count - n;
  i = 0
}

/* --- The receive worker --- */

/* ReceivePass::Data, ReaderError, CharacterError, BlockEnd (b: the byte read) */
inline data(b) {
  answer_pending = false;
  file(TAG(b));
  if
  :: expected != NOBODY && count >= expected -> answer(S_OK, C_BYTES); answered()
  :: else
  fi
}

inline reader_error(b) {                    /* the answer, and the end of the exchange */
  if
  :: count < BUF -> buf[count] = ERRMARK    /* where the awaited answer would start */
  :: else
  fi;
  answer_pending = false;
  if                                        /* ReaderErrorOutcome */
  :: wtx -> end_exchange(S_READER, TAG(b))
  :: else -> end_exchange(S_TIMEOUT, TAG(b))
  fi;
  if
  :: expected != NOBODY -> answer(exchange_end, C_ERR); answered()
  :: else
  fi
}

inline character_error(b) {                 /* the damaged character keeps its place */
  if
  :: answer_pending                         /* a character of the exchange before */
  :: else ->
     file(TAG(b));
     if
     :: expected != NOBODY && count >= expected -> answer(S_OK, C_BYTES); answered()
     :: else
     fi
  fi
}

#ifdef FAULTY_NO_ANSWER_PENDING
#define BEFORE_THIS_COMMAND false
#else
#define BEFORE_THIS_COMMAND answer_pending
#endif

inline block_end(b) {
  if
  :: BEFORE_THIS_COMMAND                    /* the end of the block before this command */
  :: else ->
     end_exchange(S_TIMEOUT, TAG(b));
     if
     :: expected != NOBODY -> answer(S_TIMEOUT, C_END); answered()   /* before the bytes */
     :: else ->
        block_end_status = S_OK; g_block_end_exch = EXCH(TAG(b));
        if
        :: block_end_waits -> answer(S_OK, C_END); answered()
        :: else
        fi
     fi
  fi
}

#ifdef FAULTY_GONE_ANSWERS_ANYONE
#define GONE_ANSWERS true
#else
#define GONE_ANSWERS (expected != NOBODY || block_end_waits)
#endif

/* CardGone: once the command's answer is in, none of the card's bytes will come for this
   exchange: it ends, and a read that waits for the card's bytes or its end of block is
   answered now. The removal concerns whichever exchange is current (g_exch, a ghost). */
inline card_gone() {
  if
  :: answer_pending                         /* the reader's answer is still awaited */
  :: else ->
     end_exchange(S_TIMEOUT, REPORT(g_exch));
     if
     :: GONE_ANSWERS -> answer(S_TIMEOUT, C_GONE); answered()
     :: else
     fi
  fi
}

/* AfterByte, and QueuedBytes when nobody waits for more */
inline after_byte() {
  if
  :: expected != NOBODY -> next = N_READ
  :: else -> next = N_ASK; queued = len(rx)
  fi;
  g_holding = false; b = 0; cl = 0
}

/* Finish's quiet-line rule: the port's read time-out ends the read that waited for bytes all
   the while, unless the card has asked for more time. */
#ifdef FAULTY_QUIET_ENDS_ANY_READ
#define QUIET_ENDS_READ (!wtx && expected != NOBODY)
#else
#define QUIET_ENDS_READ (!wtx && quiet_for != 0 && expected != NOBODY && read_ticket == quiet_for)
#endif

/* The end of a pass: IFSerialWaitOnMask (listen again), then Finish under ReceiveLock
   (PurgePending and the quiet-line rule, if a serial read failed; WakeReader). */
inline end_pass() {
  if
  :: history -> history = false; pass_due = true   /* characters came: it completes at once */
  :: else -> wait_armed = true
  fi;
  if
  :: failed ->
#ifndef FAULTY_WORKER_PURGE
     purge_pending = true;
#endif
     if
     :: QUIET_ENDS_READ ->
        answer(S_TIMEOUT, C_QUIET);
        assert(g_answered == g_quiet_reader)   /* it waited when the failed read began */
     :: else
     fi
  :: else
  fi;
  wake_reader();
  assert(!wake_owed);                       /* nobody is owed a wake-up when the pass ends */
  queued = 0; wake_in = 0; waiter = 0; quiet_for = 0; next = 0; g_quiet_reader = 0
#ifndef FAULTY_WORKER_PURGE
  ; failed = false
#endif
}

#ifdef FAULTY_WORKER_PURGE
/* The worker purges both queues (TXCLEAR, RXCLEAR) after WakeReader, as the driver once did:
   the caller it woke may have written its next frame, and the reader answered it. */
inline worker_purge(x) {
  atomic {
    assert(tx == 0 || tx <= g_over);
    tx = 0;
    do
    :: rx?x ->
       assert(EXCH(TAG(x)) <= g_over);
       g_lost_report = (KIND(x) == K_CARD);
       assert(!g_lost_report)
    :: len(rx) == 0 -> break
    od;
    x = 0; failed = false
  }
}
#endif

/* IFReadWorkRoutine: the passes, one after the other (PassTurn). ReceivePass's own state:
   queued (the bytes known to be at the port, less those read since), wake_in (the bytes to
   take before an owed wake-up is given), failed (a serial read failed), quiet_for (the ticket
   of the read that waited for bytes when it began), next (after a byte: read on, or ask the
   port); waiter, b, cl serve one byte.

   A step goes with the one before when whatever the other threads can do between them
   commutes with one of the two, so that joining them loses no outcome: QueuedBytes goes with
   the start of the pass, with CBUpdateCardState and with AfterByte; the WakeReader before a
   read from an empty port with BytesWaiter; the WakeReader that ends the countdown with the
   serial read (an owed wake-up is for an answered read, which only waits for it); T1.Wtx
   with BlockEnd (the caller writes it only between its reads); the re-arm, Finish and its
   WakeReader with each other and with the serial read that failed. */
proctype Worker() {
  byte queued, wake_in, waiter, quiet_for, next, b, cl, x;
  bool failed;
end:
  do
  :: atomic {                               /* its turn; Run: QueuedBytes */
       pass_due -> pass_due = false; queued = len(rx); next = N_ASK
     };
     do
     :: atomic { next == N_ASK && queued == 0 -> end_pass(); break }   /* Run returns */
     :: atomic {                            /* ReadByte */
          next == N_READ || queued != 0 ->
          if                                /* BytesWaiter */
          :: expected != NOBODY -> waiter = read_ticket; g_quiet_reader = g_waiting
          :: else -> waiter = 0; g_quiet_reader = 0
          fi;
          if                                /* an owed wake-up before a read that may block */
          :: queued == 0 -> wake_reader()
          :: else
          fi
        };
        atomic {                            /* IFSerialRead of one byte */
          if
          :: rx?b ->
             g_holding = true;
             if
             :: KIND(b) == K_CARD -> g_cards_queued--
             :: else
             fi
          :: len(rx) == 0 && tx == 0 ->     /* the port's read time-out: the line stayed quiet */
             assert(!wake_owed);            /* nobody is owed a wake-up while the worker blocks */
             failed = true; quiet_for = waiter;
             if
             :: !wtx -> g_cut = true
             :: else
             fi
          fi;
          waiter = 0;
          if
          :: queued != 0 -> queued--
          :: else
          fi;
          if                                /* the countdown of an owed wake-up */
          :: wake_in == 1 -> wake_in = 0; wake_reader()
          :: wake_in > 1 -> wake_in--
          :: else
          fi;
          if
          :: failed -> end_pass(); break    /* ReadByte failed: Run returns */
          :: else
          fi;
          if                                /* Run: the escape */
          :: !esc_pending && KIND(b) == K_ESC ->
             esc_pending = true; g_holding = false; b = 0; cl = CL_ESC; next = N_READ
          :: esc_pending && KIND(b) != K_ESC -> esc_pending = false; cl = CL_EVENT
          :: else -> esc_pending = false; cl = CL_DATA
          fi
        };
        if
        :: cl == CL_ESC                     /* its code is on its way */
        :: atomic {                         /* Event: CBUpdateCardState; QueuedBytes */
             cl == CL_EVENT && KIND(b) == K_CARD && TAG(b) == CARD_IN ->
             card_absent = false; next = N_ASK; queued = len(rx); g_holding = false; b = 0; cl = 0
           }
        :: atomic {                         /* CBUpdateCardState, the card gone */
             cl == CL_EVENT && KIND(b) == K_CARD && TAG(b) == CARD_OUT -> card_absent = true
           };
           atomic {                         /* CardGone under ReceiveLock; QueuedBytes */
             card_gone(); next = N_ASK; queued = len(rx); g_holding = false; b = 0; cl = 0
           }
        :: atomic {
             cl == CL_DATA || cl == CL_EVENT && KIND(b) != K_CARD ->
             if
             :: cl == CL_DATA -> data(b)
             :: cl == CL_EVENT && KIND(b) == K_ERR -> reader_error(b)
             :: cl == CL_EVENT && KIND(b) == K_DMG -> character_error(b)
             :: cl == CL_EVENT && KIND(b) == K_END ->
                if
                :: !wtx -> block_end(b)     /* unless WaitingTimeExtended */
                :: else
                fi
             :: else                        /* a code the driver does not act on */
             fi;
             g_holding = false
           };
           atomic { after_byte() }
        fi
     od
#ifdef FAULTY_WORKER_PURGE
     ;
     if
     :: failed -> worker_purge(x)
     :: else
     fi
#endif
  od
}

/* --- The caller's reads --- */

/* The caller's time runs out only on a quiet line, and not once the read's outcome is decided:
   answered, or (IFRead) its exchange ended by the reader's report. IFReadLastCWT does not look
   at the exchange's end: its time can run out after a removal report ended the exchange before
   it began. */
#define LINE_QUIET (len(rx) == 0 && !g_holding && tx == 0)

/* NextTicket, for a read about to wait */
inline next_ticket(ticket) {
  read_ticket++; ticket = read_ticket;
  g_read++; g_waiting = g_read; g_expired = false
}

/* AwaitAnswer: the answer's status, or S_TIMEOUT once the read has withdrawn. A wake-up that
   is not its answer does not end the wait. */
inline await_answer(ticket, st, out, woke) {
  do
  ::
#ifdef FAULTY_CLEAR_BEFORE_WAIT
     data_event = false;                    /* KeClearEvent, before the wait */
#endif
     if                                     /* KeWaitForSingleObject */
     :: atomic { data_event -> woke = true }
     :: atomic {                            /* its time runs out */
          LINE_QUIET && g_answered != g_waiting && (exchange_end == S_OK || n == 0) ->
          out = true; g_cut = true
        }
     fi;
     atomic {                               /* under ReceiveLock */
#ifndef FAULTY_CLEAR_BEFORE_WAIT
       data_event = false;
#endif
       if
#ifdef FAULTY_WAKE_WITHOUT_TICKET
       :: woke || answered_ticket == ticket ->  /* any wake-up, taken for its answer */
#else
       :: answered_ticket == ticket ->      /* its answer */
#endif
          wake_owed = false; st = read_status; g_waiting = 0; break
       :: else ->
          if
          :: out ->                         /* gone: nothing may be addressed to it now */
#ifndef FAULTY_NO_WITHDRAW
             expected = NOBODY; block_end_waits = false;
#endif
             st = S_TIMEOUT; g_expired = true; g_waiting = 0; break
          :: else -> woke = false           /* it waits on */
          fi
       fi
     }
  od
}

#ifdef FAULTY_ABSENT_BEFORE_ANSWER
#define ANSWER_PENDING false
#else
#define ANSWER_PENDING answer_pending
#endif

/* IFRead of n bytes, or IFReadLastCWT (n == 0); ok: it succeeded. */
inline read(n, ok, ticket, st, fast, out, woke, i) {
  atomic {                                  /* under ReceiveLock */
    if
    :: n > 0 && count >= n ->               /* the bytes are there */
       take(n, i); ok = true; fast = true
    :: n > 0 && count < n && exchange_end != S_OK ->
       /* the exchange has ended short of them: Verdict(ExchangeEnd) fails */
       assert(g_end_exch == g_exch); ok = false; fast = true
    :: n > 0 && count < n && exchange_end == S_OK && !ANSWER_PENDING && card_absent ->
       /* answered, and the card reported gone: what is awaited is the card's, and will not
          come */
       ok = false; fast = true
    :: n > 0 && count < n && exchange_end == S_OK && (ANSWER_PENDING || !card_absent) ->
       expected = n; next_ticket(ticket)
    :: n == 0 && block_end_status == S_OK ->   /* the block has ended */
       assert(g_block_end_exch == g_exch); ok = true; fast = true
    :: n == 0 && block_end_status != S_OK ->
       block_end_waits = true; next_ticket(ticket)
    fi
  };
  if
  :: atomic { fast -> fast = false }
  :: !fast ->
     await_answer(ticket, st, out, woke);
     atomic {
       if
       :: n > 0 ->                          /* Verdict, under ReceiveLock */
          if
          :: st == S_OK && count >= n -> take(n, i); ok = true
          :: else ->
             ok = false;
             assert(g_expired || g_answered == g_read);   /* its own time, or its answer */
             if
             :: g_expired
             :: else ->                     /* for a cause of its own exchange */
                assert(g_cause != C_BYTES);
                assert(g_cause != C_END && g_cause != C_QUIET || !wtx);
                assert(g_cause == C_QUIET || g_end_exch == g_exch)
             fi
          fi
       :: else ->                           /* IFReadLastCWT: BlockEndStatus */
          ok = (block_end_status == S_OK);
          assert(!ok || g_block_end_exch == g_exch);
          assert(ok || g_expired || g_cause == C_GONE && g_answered == g_read)
       fi;
       ticket = 0; st = 0; out = false; woke = false
     }
  fi
}

/* IFWrite of exchange k's command. */
inline ifwrite(k, purge, x, i) {
  atomic { purge = purge_pending; purge_pending = false };
  if
  :: purge -> purge_port(x); x = 0          /* before the frame goes out */
  :: else
  fi;
  purge = false;
  atomic {                                  /* a new exchange */
    count = 0;
    i = 0;
    do
    :: i < BUF -> buf[i] = NOTCHAR; i++
    :: else -> i = 0; break
    od;
    answer_pending = true;
    exchange_end = S_OK;
    block_end_status = S_TIMEOUT;
    g_exch = k; g_taken = 0; g_end_exch = 0; g_block_end_exch = 0
  };
  atomic {
    data_event = false;                     /* KeClearEvent */
    tx = k                                  /* the port has taken the frame */
  }
}

/* The reads of an exchange, as CBT1Transmit makes them */
#define P_ANSWER 0           /* the answer to the command (IFWriteSTCData: IFRead of 1) */
#define P_DATA   1           /* the card's bytes (IFReadSTCData) */
#define P_CWT    2           /* the end of the card's block (IFReadLastCWT) */
#define P_DONE   3

proctype Caller() {
  byte k = 1, d, phase, n, ticket, st, x, i;
  bool ok, fast, out, woke, purge;
  do
  :: k <= EXCHANGES ->
     atomic {
       if                                   /* the command asks for the answer, and card bytes */
       :: d = 0
       :: d = CHARS - 1
       fi;
       chars[k] = 1 + d;
#ifdef WTX
       if                                   /* SmartcardT1Request: the card asked for more time */
       :: k < EXCHANGES || EXCHANGES == 1 -> wtx = true
       :: true
       fi;
#endif
       g_over = k - 1                       /* the caller has gone on from the exchange before */
     };
     ifwrite(k, purge, x, i);
     phase = P_ANSWER; n = 1;
     do
     :: phase != P_DONE ->
        read(n, ok, ticket, st, fast, out, woke, i);
        atomic {
          if
          :: phase == P_ANSWER && ok && d > 0 -> phase = P_DATA; n = d
          :: phase == P_DATA && ok ->
             wtx = false;                   /* the card's first bytes are in */
             if
             :: phase = P_CWT; n = 0
             :: phase = P_DONE; n = 0
             fi
          :: else -> wtx = false; phase = P_DONE; n = 0
          fi;
          ok = false
        }
     :: else -> break
     od;
     atomic { phase = 0; d = 0; k++ }
  :: else -> break
  od;
  g_done = true
}

init {
  atomic {
    run Caller();
    run Worker();
    run Reader()
  }
}

#define owed (g_waiting != 0 && g_answered == g_waiting)
ltl answered_read_wakes { [] (owed -> <> !owed) }
ltl script_ends { <> g_done }
