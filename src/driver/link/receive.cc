// Receive path: the listener, the receive worker, and reading from the receive buffer.
#include <cstring>

#include "driver/card/card.h"
#include "driver/link/link.h"
#include "platform/platform.h"

using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;
using tolvex::platform::SpinLockGuard;

namespace {

// The card's waiting time extension: while it is in force, the end-of-block report and a quiet
// line do not end a read.
bool WaitingTimeExtended(PREADER_EXTENSION ReaderExtension) {
  return SharedLoad(ReaderExtension->SmartcardExtension->T1.Wtx) != 0;
}

NTSTATUS QueuedBytes(PREADER_EXTENSION ReaderExtension, ULONG* count) {
  SERIAL_STATUS status_record{};
  NTSTATUS status = IFSerialIoctl(ReaderExtension, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0,
                                  &status_record, sizeof(status_record));
  *count = status == STATUS_SUCCESS ? status_record.AmountInInQueue : 0;
  return status;
}

// The worker has no caller to tell of a request that could not be built for want of memory,
// and bytes it leaves at the port no wait will report again (a wait fires for bytes that come
// after it is armed): it pauses and tries again, a few times, before it gives up as it does on
// any failed request.
constexpr int kResourceTries = 5;
constexpr ULONG kResourcePauseMs = 10;

template <typename Request>
NTSTATUS WorkerRequest(Request request) {
  NTSTATUS status = request();
  for (int tries = 1; status == STATUS_INSUFFICIENT_RESOURCES && tries < kResourceTries; ++tries) {
    SysDelay(kResourcePauseMs);
    status = request();
  }
  return status;
}

// --- All of the following run with ReceiveLock held. ---

// Takes n bytes from the front of the receive buffer.
void TakeBytes(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Count) {
  if (Count == 0) return;
  std::memcpy(Buffer, ReaderExtension->ReceiveBuffer, Count);
  ReaderExtension->ReceivedCount -= Count;
  std::memmove(ReaderExtension->ReceiveBuffer, ReaderExtension->ReceiveBuffer + Count,
               ReaderExtension->ReceivedCount);
}

// A new ticket for a read that is about to wait.
ULONG NextTicket(PREADER_EXTENSION ReaderExtension) {
  if (++ReaderExtension->ReadTicket == 0) ReaderExtension->ReadTicket = 1;
  return ReaderExtension->ReadTicket;
}

bool ReadWaitsForBytes(PREADER_EXTENSION ReaderExtension) {
  return ReaderExtension->ExpectedCount != NOBODY_WAITS;
}

// The ticket of the read that waits for bytes now, 0 if none does.
ULONG BytesWaiter(PREADER_EXTENSION ReaderExtension) {
  return ReadWaitsForBytes(ReaderExtension) ? ReaderExtension->ReadTicket : 0;
}

// Answers the read that waits (for bytes or for the end of the block). Its wake-up is owed
// until WakeReader sets DataEvent.
void AnswerRead(PREADER_EXTENSION ReaderExtension, NTSTATUS status) {
  SharedStore(ReaderExtension->ReadStatus, status);
  ReaderExtension->AnsweredTicket = ReaderExtension->ReadTicket;
  ReaderExtension->ExpectedCount = NOBODY_WAITS;
  ReaderExtension->BlockEndWaits = FALSE;
  ReaderExtension->WakeOwed = TRUE;
}

// How the exchange ends for the reads still to come in it; the first report stands.
void EndExchange(PREADER_EXTENSION ReaderExtension, NTSTATUS status) {
  if (ReaderExtension->ExchangeEnd == STATUS_SUCCESS) ReaderExtension->ExchangeEnd = status;
}

// The reader's error as a read's outcome. While the card's waiting time is extended it is the
// reader's own code, which IFRead translates; otherwise, as the reader falls silent after it,
// the read has timed out.
NTSTATUS ReaderErrorOutcome(PREADER_EXTENSION ReaderExtension) {
  return WaitingTimeExtended(ReaderExtension) ? STATUS_UNSUCCESSFUL : STATUS_IO_TIMEOUT;
}

// What a read that ended with `status` returns (IFRead's verdict); takes its bytes on success.
NTSTATUS Verdict(PREADER_EXTENSION ReaderExtension, NTSTATUS status, PUCHAR Buffer, ULONG Count) {
  if (status != STATUS_SUCCESS) {
    if (status == STATUS_IO_TIMEOUT || status == STATUS_TIMEOUT) return STATUS_IO_TIMEOUT;
    // The reader reported an error: its code stands at the front of the buffer. A success
    // code there would claim bytes that were never delivered; the worker's report stands.
    const NTSTATUS translated = SmartOSToNt(ReaderExtension->ReceiveBuffer[0]);
    return translated == STATUS_SUCCESS ? status : translated;
  }
  if (ReaderExtension->ReceivedCount < Count) return STATUS_IO_TIMEOUT;
  TakeBytes(ReaderExtension, Buffer, Count);
  return STATUS_SUCCESS;
}

// --- End of the functions under ReceiveLock. ---

// Sets DataEvent for an answered read that has not been woken yet.
void WakeReader(PREADER_EXTENSION ReaderExtension) {
  SpinLockGuard lock(&ReaderExtension->ReceiveLock);
  if (!ReaderExtension->WakeOwed) return;
  ReaderExtension->WakeOwed = FALSE;
  KeSetEvent(&ReaderExtension->DataEvent, IO_SERIAL_INCREMENT, FALSE);
}

// Waits for the answer to the read of `ticket`, at most `milliseconds` in all: the answer's
// status, or STATUS_TIMEOUT once the read has withdrawn. A wake-up that is not this read's
// answer does not end the wait.
NTSTATUS AwaitAnswer(PREADER_EXTENSION ReaderExtension, ULONG ticket, ULONG milliseconds) {
  const ULONGLONG span = ULONGLONG{milliseconds} * 10000;
  const ULONGLONG deadline = KeQueryInterruptTime() + span;
  LARGE_INTEGER timeout{-static_cast<LONGLONG>(span)};
  for (;;) {
    const NTSTATUS wait =
        KeWaitForSingleObject(&ReaderExtension->DataEvent, Executive, KernelMode, FALSE, &timeout);
    SpinLockGuard lock(&ReaderExtension->ReceiveLock);
    KeClearEvent(&ReaderExtension->DataEvent);
    if (ReaderExtension->AnsweredTicket == ticket) {
      ReaderExtension->WakeOwed = FALSE;
      return SharedLoad(ReaderExtension->ReadStatus);
    }
    const ULONGLONG now = KeQueryInterruptTime();
    if (wait == STATUS_TIMEOUT || now >= deadline) {
      // Gone: nothing may be addressed to this read any more.
      ReaderExtension->ExpectedCount = NOBODY_WAITS;
      ReaderExtension->BlockEndWaits = FALSE;
      return STATUS_TIMEOUT;
    }
    timeout.QuadPart = -static_cast<LONGLONG>(deadline - now);
  }
}

// One pass of the receive worker.
class ReceivePass {
 public:
  explicit ReceivePass(PREADER_EXTENSION reader) : reader_(reader) {}

  void Run() {
    // A failed status request ends the pass quietly: no purge, nobody answered.
    if (AskPort() != STATUS_SUCCESS || queued_ == 0) return;
    for (;;) {
      UCHAR byte;
      if (!ReadByte(&byte)) return;
      Next next;
      if (!reader_->EscapePending && byte == STC_ESCAPE) {
        reader_->EscapePending = TRUE;
        next = Next::kRead;  // the code is on its way
      } else if (reader_->EscapePending && byte != STC_ESCAPE) {
        reader_->EscapePending = FALSE;
        next = Event(byte);
      } else {
        reader_->EscapePending = FALSE;
        next = Data(byte);
      }
      if (next == Next::kAskPort) {
        // Nobody waits for more: the pass ends once the port is empty.
        if (AskPort() != STATUS_SUCCESS || queued_ == 0) return;
      }
    }
  }

  // The end of the pass, once the listener is armed again.
  void Finish() {
    if (read_failed_) {
      SpinLockGuard lock(&reader_->ReceiveLock);
      reader_->PurgePending = TRUE;
      // The line stayed quiet for the port's read time-out: that ends the read that waited for
      // bytes all the while, unless the card has asked for more time. A read that began
      // waiting later has not had its time.
      if (read_status_ == STATUS_TIMEOUT && !WaitingTimeExtended(reader_) && quiet_for_ != 0 &&
          BytesWaiter(reader_) == quiet_for_) {
        AnswerRead(reader_, STATUS_TIMEOUT);
      }
    }
    WakeReader(reader_);
  }

 private:
  enum class Next { kRead, kAskPort };

  NTSTATUS AskPort() {
    return WorkerRequest([this] { return QueuedBytes(reader_, &queued_); });
  }

  // Reads one byte; false when the read failed, which ends the pass.
  bool ReadByte(PUCHAR byte) {
    ULONG waiter;
    {
      SpinLockGuard lock(&reader_->ReceiveLock);
      waiter = BytesWaiter(reader_);
    }
    // A read from an empty port may block until its time-out: an owed wake-up goes first.
    if (queued_ == 0) WakeReader(reader_);
    const NTSTATUS status =
        WorkerRequest([this] { return IFSerialRead(reader_, &reader_->ReadByte, 1); });
    if (queued_ != 0) --queued_;
    if (wake_in_ != 0 && --wake_in_ == 0) WakeReader(reader_);
    if (status != STATUS_SUCCESS) {
      read_failed_ = true;
      read_status_ = status;
      quiet_for_ = waiter;
      return false;
    }
    *byte = reader_->ReadByte;
    return true;
  }

  // An answer was made (ReceiveLock held): the reader is woken at once if the port holds
  // nothing more that is known, else once the bytes queued there now are taken.
  void Answered() {
    if (queued_ != 0) {
      wake_in_ = queued_;
      return;
    }
    reader_->WakeOwed = FALSE;
    KeSetEvent(&reader_->DataEvent, IO_SERIAL_INCREMENT, FALSE);
  }

  Next AfterByte() {
    SpinLockGuard lock(&reader_->ReceiveLock);
    return ReadWaitsForBytes(reader_) ? Next::kRead : Next::kAskPort;
  }

  Next Data(UCHAR byte) {
    {
      SpinLockGuard lock(&reader_->ReceiveLock);
      reader_->AnswerPending = FALSE;
      if (reader_->ReceivedCount + 1 < RECEIVE_BUFFER_SIZE) {
        reader_->ReceiveBuffer[reader_->ReceivedCount++] = byte;
      }  // else: the buffer is full and the byte is dropped
      if (ReadWaitsForBytes(reader_) && reader_->ReceivedCount >= reader_->ExpectedCount) {
        AnswerRead(reader_, STATUS_SUCCESS);
        Answered();
      }
    }
    return AfterByte();
  }

  Next Event(UCHAR code) {
    switch (code) {
      case STC_CARD_INSERTED:
      case STC_CARD_REMOVED:
        CBUpdateCardState(reader_->SmartcardExtension,
                          code == STC_CARD_INSERTED ? SCARD_PRESENT : SCARD_ABSENT);
        if (code == STC_CARD_REMOVED) CardGone();
        // The pass ends here unless the port still holds bytes: the wait armed next does not
        // fire for bytes already there, so a report right behind this one (the card put back
        // at once) would wait for the reader's next byte.
        return Next::kAskPort;
      case STC_READER_ERROR:
        ReaderError();
        break;
      case STC_CHARACTER_ERROR:
        CharacterError();
        break;
      case STC_BLOCK_END:
        if (!WaitingTimeExtended(reader_)) BlockEnd();
        break;
      default:
        break;  // reports the driver does not act on
    }
    return AfterByte();
  }

  // The reader gave up on the command: that is its answer, and the end of the exchange. The
  // code is left where the awaited answer would start, for IFRead to translate; the count is
  // not raised, so nothing that did not arrive can ever be taken as received.
  void ReaderError() {
    SpinLockGuard lock(&reader_->ReceiveLock);
    if (reader_->ReceivedCount < RECEIVE_BUFFER_SIZE) {
      reader_->ReceiveBuffer[reader_->ReceivedCount] = STC_READER_ERROR;
    }
    reader_->AnswerPending = FALSE;
    EndExchange(reader_, ReaderErrorOutcome(reader_));
    if (ReadWaitsForBytes(reader_)) {
      AnswerRead(reader_, reader_->ExchangeEnd);
      Answered();
    }
  }

  // A card character came damaged: it keeps its place as a 0, if there is room for it.
  void CharacterError() {
    SpinLockGuard lock(&reader_->ReceiveLock);
    if (reader_->AnswerPending) return;  // a character of the exchange before this command
    if (reader_->ReceivedCount + 1 < RECEIVE_BUFFER_SIZE) {
      reader_->ReceiveBuffer[reader_->ReceivedCount++] = 0;
    }
    SharedStore(reader_->CharacterErrorStatus, STATUS_DATA_ERROR);
    if (ReadWaitsForBytes(reader_) && reader_->ReceivedCount >= reader_->ExpectedCount) {
      AnswerRead(reader_, STATUS_SUCCESS);
      Answered();
    }
  }

  // The card was pulled out: none of its bytes will come for this exchange any more. Once the
  // command's answer is in, the exchange ends as at the end of the card's block, and a read
  // that waits for the card's bytes (or its end of block) ends now rather than when its own
  // time runs out (for T=0's final read, up to 258 times the character waiting time).
  void CardGone() {
    SpinLockGuard lock(&reader_->ReceiveLock);
    if (reader_->AnswerPending) return;  // the reader's answer to the command is still awaited
    EndExchange(reader_, STATUS_IO_TIMEOUT);
    if (ReadWaitsForBytes(reader_) || reader_->BlockEndWaits) {
      AnswerRead(reader_, STATUS_IO_TIMEOUT);
      Answered();
    }
  }

  // The card's character waiting time has passed: its block is over.
  void BlockEnd() {
    SpinLockGuard lock(&reader_->ReceiveLock);
    if (reader_->AnswerPending) return;       // the end of the block before this command
    EndExchange(reader_, STATUS_IO_TIMEOUT);  // no more bytes will come for it
    if (ReadWaitsForBytes(reader_)) {
      // It ended before the awaited bytes came.
      AnswerRead(reader_, STATUS_IO_TIMEOUT);
      Answered();
      return;
    }
    SharedStore(reader_->BlockEndStatus, STATUS_SUCCESS);
    if (reader_->BlockEndWaits) {
      AnswerRead(reader_, STATUS_SUCCESS);
      Answered();
    }
  }

  const PREADER_EXTENSION reader_;
  ULONG queued_ = 0;   // bytes known to be at the port, less those read since
  ULONG wake_in_ = 0;  // bytes to take before an owed wake-up is given; 0: none counted
  bool read_failed_ = false;
  NTSTATUS read_status_ = STATUS_SUCCESS;
  ULONG quiet_for_ = 0;  // the read that waited for bytes when the failed read began
};

}  // namespace

NTSTATUS IFSerialWaitOnMask(PREADER_EXTENSION ReaderExtension) {
  KeInitializeEvent(&ReaderExtension->WaitEvent, NotificationEvent, FALSE);
  // A wait that ends in error without the port writing the events must not be read as the
  // previous wait's "character received".
  ReaderExtension->WaitMask = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(
      IOCTL_SERIAL_WAIT_ON_MASK_DIRECT, ReaderExtension->SerialDeviceObject, nullptr, 0,
      &ReaderExtension->WaitMask, sizeof(ULONG), FALSE, &ReaderExtension->WaitEvent,
      &ReaderExtension->WaitIoStatus);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.InputBufferLength = 0;
  stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
  stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
  irp->AssociatedIrp.SystemBuffer = &ReaderExtension->WaitMask;
  IoSetCompletionRoutine(irp, IFReadThreadCallback, ReaderExtension, TRUE, TRUE, TRUE);
  // Normally pending; whatever the port says, its completion routine takes it from here.
  (void)IofCallDriver(ReaderExtension->SerialDeviceObject, irp);
  return STATUS_SUCCESS;
}

NTSTATUS IFReadThreadCallback(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* reader = static_cast<PREADER_EXTENSION>(Context);
  if (reader->WaitMask & SERIAL_EV_RXCHAR) {
    ExQueueWorkItem(&reader->ReadWorkItem, CriticalWorkQueue);
  } else {
    ExQueueWorkItem(&reader->RemovalWorkItem, CriticalWorkQueue);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

void IFWaitListenerStopped(PREADER_EXTENSION ReaderExtension) {
  (void)KeWaitForSingleObject(&ReaderExtension->WaitEvent, Executive, KernelMode, FALSE, nullptr);
  (void)KeWaitForSingleObject(&ReaderExtension->PassTurn, Executive, KernelMode, FALSE, nullptr);
}

void IFReadWorkRoutine(PVOID Context) {
  auto* reader = static_cast<PREADER_EXTENSION>(Context);
  // The wait request that queued this pass is finished, and no other pass runs.
  IFWaitListenerStopped(reader);
  ReceivePass pass(reader);
  pass.Run();
  // Listen again first, then hand over what the pass decided.
  const bool listening =
      WorkerRequest([reader] { return IFSerialWaitOnMask(reader); }) == STATUS_SUCCESS;
  pass.Finish();
  // The pass's last touch of the record. A listener that could not be armed again is over:
  // nothing of it runs after this pass.
  if (listening) {
    KeSetEvent(&reader->PassTurn, IO_NO_INCREMENT, FALSE);
  } else {
    IFListenerEnded(reader);
    KeSetEvent(&reader->ListenerIdle, IO_NO_INCREMENT, FALSE);
  }
}

void IFListenerEnded(PREADER_EXTENSION ReaderExtension) {
  SpinLockGuard lock(&ReaderExtension->ReceiveLock);
  ReaderExtension->ListenerOver = TRUE;
  if (ReadWaitsForBytes(ReaderExtension) || ReaderExtension->BlockEndWaits) {
    AnswerRead(ReaderExtension, STATUS_IO_TIMEOUT);
    ReaderExtension->WakeOwed = FALSE;
    KeSetEvent(&ReaderExtension->DataEvent, IO_SERIAL_INCREMENT, FALSE);
  }
}

NTSTATUS IFRead(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Count) {
  ULONG ticket;
  {
    SpinLockGuard lock(&ReaderExtension->ReceiveLock);
    if (ReaderExtension->ReceivedCount >= Count) {
      TakeBytes(ReaderExtension, Buffer, Count);
      return STATUS_SUCCESS;
    }
    // The exchange has ended short of these bytes: nothing more will come for them.
    if (ReaderExtension->ExchangeEnd != STATUS_SUCCESS) {
      return Verdict(ReaderExtension, ReaderExtension->ExchangeEnd, Buffer, Count);
    }
    // The reader has answered the command and reported the card gone (before the command, or
    // before its answer): what is still awaited is the card's, and will not come.
    if (!ReaderExtension->AnswerPending &&
        SharedLoad(ReaderExtension->SmartcardExtension->ReaderCapabilities.CurrentState) ==
            SCARD_ABSENT) {
      return STATUS_IO_TIMEOUT;
    }
    // Nobody takes in what the reader sends any more.
    if (ReaderExtension->ListenerOver) return STATUS_IO_TIMEOUT;
    ReaderExtension->ExpectedCount = Count;
    ticket = NextTicket(ReaderExtension);
  }
  const ULONG milliseconds = SharedLoad(ReaderExtension->ReadIntervalTimeout) * Count +
                             SharedLoad(ReaderExtension->ReadTotalTimeout);
  const NTSTATUS status = AwaitAnswer(ReaderExtension, ticket, milliseconds);
  SpinLockGuard lock(&ReaderExtension->ReceiveLock);
  return Verdict(ReaderExtension, status, Buffer, Count);
}

NTSTATUS IFReadLastCWT(PREADER_EXTENSION ReaderExtension) {
  ULONG ticket;
  {
    SpinLockGuard lock(&ReaderExtension->ReceiveLock);
    const NTSTATUS ended = SharedLoad(ReaderExtension->BlockEndStatus);
    if (ended == STATUS_SUCCESS || ReaderExtension->ListenerOver) return ended;
    ReaderExtension->BlockEndWaits = TRUE;
    ticket = NextTicket(ReaderExtension);
  }
  (void)AwaitAnswer(ReaderExtension, ticket, SharedLoad(ReaderExtension->ReadIntervalTimeout));
  return SharedLoad(ReaderExtension->BlockEndStatus);
}

NTSTATUS SmartOSToNt(UCHAR Code) {
  switch (Code) {
    case STC_OK:
      return STATUS_SUCCESS;
    case STC_DATA_OVERRUN:
      return STATUS_DATA_OVERRUN;
    case STC_CRC_ERROR:
      return STATUS_CRC_ERROR;
    case STC_BLOCK_END:
      return STATUS_IO_TIMEOUT;
    case STC_READER_ERROR:
    case STC_CHARACTER_ERROR:
      return STATUS_DATA_ERROR;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}
