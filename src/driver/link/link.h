// Reader link: the serial line to the reader and the STC byte protocol over it.
//
// Theory of operation
// -------------------
// Set-up. IFInitializeInterface sends the port its configuration, request by request in the
// order of ConfigTable, each followed by a 25 ms pause, then pauses 450 ms and arms the
// receive listener. Every serial request goes through IFSerialSend, which builds it with an
// event and a status block of its own: a control request (IFSerialIoctl) is awaited for at
// most ReadTotalTimeout, a read (IFSerialRead) or a write (IFWrite) until the port ends it.
//
// Listening. A wait-on-mask request is always pending at the port while the reader runs. When
// the port completes it, IFReadThreadCallback (the port's completion context, maybe at a
// raised level) only queues a work item: the receive worker when a character arrived, the
// removal routine otherwise (the wait mask was replaced, or the data-set-ready line changed;
// no listener is armed after that).
//
// Receiving. The receive worker (IFReadWorkRoutine, on a system worker thread) drains the port
// one byte at a time with IFSerialRead. The reader escapes its stream with 0x10: 0x10 0x10 is
// the data byte 0x10; 0x10 followed by a code is an event (card inserted 0x85 or removed 0x86,
// end of block 0x83, reader error 0x84, damaged character 0x88). Data goes into ReceiveBuffer
// (at most 767 bytes). While a read waits for more bytes the worker reads on byte after byte,
// each read bounded by the port's read time-outs; otherwise it ends the pass once the port is
// empty.
//
// Commands and their exchanges. Every exchange with the STC is one frame written with IFWrite
// and its answer taken with IFRead. One command is outstanding per reader: the callers (one
// thread at a time per reader) send a command and read its answer before the next. Everything
// the reader sends after a command belongs to that command's exchange, in order: the answer
// first, then the card's bytes, the end of the card's block (0x83) or the reader's error
// (0x84). IFWrite starts a new exchange (under ReceiveLock): it empties the receive buffer and
// forgets how the last one ended, so nothing from before a command can end a read after it.
// A report about the card's characters (0x83, 0x88) that comes after a command but before its
// answer was sent before the reader saw the command: it belongs to the exchange before, and is
// dropped.
//
// Who a report is for. IFRead and IFReadLastCWT each wait under a ticket of their own, taken
// under ReceiveLock together with what they wait for (ExpectedCount bytes, or the end of the
// block). The worker answers the read that waits at the moment an outcome is decided, under
// the same lock, by its ticket: the awaited bytes are there (success, also when one of them
// came damaged: CharacterErrorStatus tells); the block ended before them (0xC00000B5); the
// reader gave up (0xC00000B5, or while the card's waiting time is extended the reader's code,
// translated); or, for the read that waited all the while, the line stayed quiet for the
// port's read time-out (0xC00000B5). How the exchange ended (0x83, 0x84) is also kept for the
// rest of it, so that a read that comes after the report ends at once, as if it had waited.
// A read that runs out its own time withdraws under the lock, so that no answer is ever
// addressed to a read that has gone; a read woken by anything but its own answer waits on for
// the rest of its time. The worker sets DataEvent for an answer before it could block (a read
// from an empty port, the end of its pass) and at the latest once it has taken the bytes that
// were queued at the port when the answer was made, so a burst behind the awaited bytes is in
// the buffer (and discarded by the next command) before the caller is woken.
//
// Purging. A serial read of the worker that failed (the port's read time-out included) leaves
// the port's transmit queue to be purged. The next command does it, before its frame goes out:
// a purge from the worker itself could clear a command that the woken caller had just written.
// The receive queue is never purged while the reader is heard: the worker takes everything
// the reader sent, in order, and the next command discards what is left of the exchange
// before; a purge there could part an escape from its code or drop a card report.
//
// Passes and their requests. A wait request's completion routine queues the pass, and the
// platform then finishes the request (status block, WaitEvent). A pass first waits for that
// (WaitEvent) and for its turn (PassTurn), so it never re-arms while the previous wait is still
// being finished, and two passes never overlap: the wait armed at the end of a pass may
// complete at once and queue the next pass before this one has reported.
//
// Requests of the worker (the port's status, a byte, the wait armed again) that cannot be
// built for want of memory are tried again a few times, 10 ms apart: the worker has no caller
// to tell, and bytes left at the port would not be reported by the next wait.
//
// Ending. The listener ends with the removal routine (DrvWaitForDeviceRemoval), after a wait
// that completed without a received character. The routine waits like a pass does
// (IFWaitListenerStopped), does its work, and signals ListenerIdle as its very last act.
// From then on nothing the reader sends is taken in, so no read can be answered by the reader
// any more: the routine (or a pass that could not arm the listener again) answers the read that
// waits with the time-out status at once, under ReceiveLock, and every later read that the
// buffered bytes cannot satisfy returns that status without waiting (IFListenerEnded). The
// caller of a command in flight as the reader is unplugged learns it now, not when its own
// time runs out.
//
// Locks and shared words. ReceiveLock guards the receive buffer and its counters, the tickets,
// ReadStatus, the exchange's state (AnswerPending, ExchangeEnd, PurgePending), ListenerOver and
// the setting of DataEvent for an answer; it is held only for short stretches, never across a
// wait or a serial request. CharacterErrorStatus, BlockEndStatus, the two read time-outs and the
// library's T1.Wtx are plain words shared between the callers' thread and the worker, read and
// written whole.
#pragma once

#include "platform/ex.h"
#include "platform/io.h"
#include "platform/ke.h"
#include "platform/ntddser.h"
#include "smclib/smclib.h"

// Pool tag of the driver's records.
inline constexpr ULONG DRIVER_POOL_TAG = PoolTag("SCB3");

inline constexpr ULONG RECEIVE_BUFFER_SIZE = 768;
inline constexpr ULONG NOBODY_WAITS = 0xFFFFFFFF;

// The reader's one-byte codes: answers to commands, and events after the escape byte.
inline constexpr UCHAR STC_ESCAPE = 0x10;
inline constexpr UCHAR STC_DATA_OVERRUN = 0x81;
inline constexpr UCHAR STC_CRC_ERROR = 0x82;
inline constexpr UCHAR STC_BLOCK_END = 0x83;
inline constexpr UCHAR STC_READER_ERROR = 0x84;
inline constexpr UCHAR STC_CARD_INSERTED = 0x85;
inline constexpr UCHAR STC_CARD_REMOVED = 0x86;
inline constexpr UCHAR STC_CHARACTER_ERROR = 0x88;
inline constexpr UCHAR STC_OK = 0x90;

// Command bytes of the host's frames.
inline constexpr UCHAR STC_WRITE_REGISTER = 0x80;
inline constexpr UCHAR STC_READ_REGISTER = 0xC0;
inline constexpr UCHAR STC_WRITE_DATA = 0x40;
inline constexpr ULONG STC_MAX_DATA_FRAME = 24;

// Requests that carry reads and writes to the port: buffered control requests of the smart
// card device type, turned into a read or a write before they are sent.
inline constexpr ULONG IOCTL_READER_SERIAL_READ =
    CTL_CODE(FILE_DEVICE_SMARTCARD, 0, METHOD_BUFFERED, FILE_READ_ACCESS);
inline constexpr ULONG IOCTL_READER_SERIAL_WRITE =
    CTL_CODE(FILE_DEVICE_SMARTCARD, 0, METHOD_BUFFERED, FILE_WRITE_ACCESS);
// The wait-on-mask request built without a system buffer, so that the port writes the events
// straight into the record.
inline constexpr ULONG IOCTL_SERIAL_WAIT_ON_MASK_DIRECT =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 18, METHOD_NEITHER, FILE_ANY_ACCESS);

struct ATR_INTERFACE_BYTE {
  UCHAR Present;
  UCHAR Value;
};

struct READER_EXTENSION {
  ULONG DeviceIndex;
  PFILE_OBJECT SerialFileObject;
  PDEVICE_OBJECT SerialDeviceObject;
  WORK_QUEUE_ITEM RemovalWorkItem;
  WORK_QUEUE_ITEM ReadWorkItem;
  PSMARTCARD_EXTENSION SmartcardExtension;
  // The worker's own bytes, kept apart from bytes other threads read: a compiler may read
  // neighbouring bytes as one word.
  UCHAR ReadByte;
  BOOLEAN EscapePending;
  UCHAR ReceiveBuffer[RECEIVE_BUFFER_SIZE];
  ULONG ReceivedCount;
  ULONG ExpectedCount;  // NOBODY_WAITS unless an IFRead waits for this many bytes
  NTSTATUS ReadStatus;  // the answer to the read of AnsweredTicket
  // The read that waits, or waited last (IFRead or IFReadLastCWT), and the last one answered.
  // Tickets count from 1; 0 is nobody.
  ULONG ReadTicket;
  ULONG AnsweredTicket;
  ULONG BlockEndWaits;  // IFReadLastCWT waits, under ReadTicket
  ULONG WakeOwed;       // the answered read has not been woken yet
  // The exchange since the last command: its answer has not come yet; how it ended (0: it
  // goes on; else the status a read that the buffered bytes cannot satisfy ends with).
  ULONG AnswerPending;
  NTSTATUS ExchangeEnd;
  ULONG PurgePending;  // a serial read of the worker failed: the next command purges first
  ULONG ListenerOver;  // the listener has ended: nothing the reader sends is taken in any more
  NTSTATUS CharacterErrorStatus;  // shared word
  NTSTATUS BlockEndStatus;        // shared word
  ULONG WaitMask;
  ULONG ReadTotalTimeout;     // ms, shared word
  ULONG ReadIntervalTimeout;  // ms, shared word
  IO_STATUS_BLOCK WaitIoStatus;
  KEVENT WaitEvent;
  KEVENT DataEvent;
  KSPIN_LOCK ReceiveLock;
  UCHAR FirmwareMajor;
  UCHAR FirmwareMinor;
  // TA, TB, TC, TD of groups 1 to 3: entry 4 x (i - 1) + j.
  ATR_INTERFACE_BYTE AtrInterfaceBytes[12];
  // One worker pass at a time, and no removal routine while a pass runs: a synchronization
  // event, signalled while no pass runs.
  KEVENT PassTurn;
  // Signalled once the listener can no longer touch the records: its last wait has ended and
  // the removal routine has finished, or it could not be armed again. Cleared when set-up
  // arms it. Teardown waits for it before releasing anything the listener uses.
  KEVENT ListenerIdle;
};
using PREADER_EXTENSION = READER_EXTENSION*;

struct SERIAL_CONFIG {
  SERIAL_HANDFLOW HandFlow;
  SERIAL_CHARS Chars;
  SERIAL_TIMEOUTS Timeouts;
  SERIAL_BAUD_RATE BaudRate;
  SERIAL_LINE_CONTROL LineControl;
  ULONG EventMask;
  ULONG PurgeMask;
};
using PSERIAL_CONFIG = SERIAL_CONFIG*;

// The order in which the port is configured, ended by 0.
extern const ULONG ConfigTable[9];

// One request to the serial port, as IFSerialSend builds it: a device control request, or a
// read or a write (built as a device control request with the code given, then turned into
// one).
struct SERIAL_REQUEST {
  UCHAR MajorFunction;  // IRP_MJ_DEVICE_CONTROL, IRP_MJ_READ or IRP_MJ_WRITE
  ULONG IoctlCode;
  PVOID InputBuffer;  // a write's data
  ULONG InputBufferLength;
  PVOID OutputBuffer;  // a read's buffer
  ULONG OutputBufferLength;
};

// Serial access.
[[nodiscard]] NTSTATUS IFInitializeInterface(PREADER_EXTENSION ReaderExtension,
                                             PSERIAL_CONFIG SerialConfig);
// Sends a request to the port with an event and a status block of its own and waits for it:
// a device control request for at most ReadTotalTimeout (then it is taken back), a read or a
// write until the port completes it (its own time-outs end it). `Information` (may be null)
// gets the request's information.
[[nodiscard]] NTSTATUS IFSerialSend(PREADER_EXTENSION ReaderExtension,
                                    const SERIAL_REQUEST& Request, ULONG_PTR* Information);
[[nodiscard]] NTSTATUS IFSerialIoctl(PREADER_EXTENSION ReaderExtension, ULONG IoctlCode,
                                     PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                     ULONG OutputBufferLength);
[[nodiscard]] NTSTATUS IFSerialRead(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Length);
void SysDelay(ULONG Milliseconds);

// Receive path.
// The removal routine's first step: waits until the wait that ended the listener is finished
// and no pass runs.
void IFWaitListenerStopped(PREADER_EXTENSION ReaderExtension);
// The listener is over: the read that waits ends now with the time-out status, and later reads
// do not wait for what can no longer be taken in.
void IFListenerEnded(PREADER_EXTENSION ReaderExtension);
[[nodiscard]] NTSTATUS IFSerialWaitOnMask(PREADER_EXTENSION ReaderExtension);
NTSTATUS IFReadThreadCallback(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
void IFReadWorkRoutine(PVOID ReaderExtension);
[[nodiscard]] NTSTATUS IFRead(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Count);
[[nodiscard]] NTSTATUS IFReadLastCWT(PREADER_EXTENSION ReaderExtension);
NTSTATUS SmartOSToNt(UCHAR Code);

// STC command protocol.
[[nodiscard]] NTSTATUS IFWrite(PREADER_EXTENSION ReaderExtension, const UCHAR* Buffer, ULONG Count);
[[nodiscard]] NTSTATUS IFWriteSTCRegister(PREADER_EXTENSION ReaderExtension, UCHAR Register,
                                          ULONG Size, const UCHAR* Value);
[[nodiscard]] NTSTATUS IFReadSTCRegister(PREADER_EXTENSION ReaderExtension, UCHAR Register,
                                         ULONG Size, PUCHAR Value);
[[nodiscard]] NTSTATUS IFGetFirmwareRevision(PREADER_EXTENSION ReaderExtension);
[[nodiscard]] NTSTATUS IFWriteSTCData(PREADER_EXTENSION ReaderExtension, const UCHAR* Data,
                                      ULONG Length);
[[nodiscard]] NTSTATUS IFReadSTCData(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer,
                                     PULONG Length, ULONG Count);
