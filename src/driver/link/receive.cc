// Receive path: the listener, the receive worker, and reading from the receive buffer.
#include <algorithm>

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

void PurgePort(PREADER_EXTENSION ReaderExtension) {
  ULONG mask = SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
  // Nobody to tell if it fails: the next command finds out soon enough.
  (void)IFSerialIoctl(ReaderExtension, IOCTL_SERIAL_PURGE, &mask, sizeof(mask), nullptr, 0);
}

void PassEnd(PREADER_EXTENSION reader, NTSTATUS pass_status, bool wake, bool satisfied,
             bool read_failed, NTSTATUS report);

// Hands a status to the reader of the buffer and wakes it.
void Report(PREADER_EXTENSION ReaderExtension, NTSTATUS status) {
  SharedStore(ReaderExtension->ReadStatus, status);
  KeSetEvent(&ReaderExtension->DataEvent, IO_SERIAL_INCREMENT, FALSE);
}

bool ReaderWaits(PREADER_EXTENSION ReaderExtension) {
  SpinLockGuard lock(&ReaderExtension->ReceiveLock);
  return ReaderExtension->ExpectedCount != NOBODY_WAITS;
}

NTSTATUS QueuedBytes(PREADER_EXTENSION ReaderExtension, ULONG* count) {
  SERIAL_STATUS status_record{};
  NTSTATUS status = IFSerialIoctl(ReaderExtension, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0,
                                  &status_record, sizeof(status_record));
  *count = status == STATUS_SUCCESS ? status_record.AmountInInQueue : 0;
  return status;
}

// Takes n bytes from the front of the receive buffer. ReceiveLock held.
void TakeBytes(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Count) {
  if (Count == 0) return;
  std::memcpy(Buffer, ReaderExtension->ReceiveBuffer, Count);
  ReaderExtension->ReceivedCount -= Count;
  std::memmove(ReaderExtension->ReceiveBuffer, ReaderExtension->ReceiveBuffer + Count,
               ReaderExtension->ReceivedCount);
}

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
  bool wake = false;
  bool read_failed = false;
  NTSTATUS pass_status = STATUS_SUCCESS;
  // What this pass reports to a waiting IFRead. It is handed over together with the wake-up, so
  // a later pass that wakes nobody (there is one after almost every pass, for the port keeps the
  // "character received" event of the bytes this pass read) cannot overwrite a report before
  // IFRead has taken it.
  NTSTATUS report = STATUS_SUCCESS;
  // A waiting reader's count was reached in this pass.
  bool satisfied = false;

  ULONG queued = 0;
  // A failed status request ends the pass quietly: no purge, nobody woken.
  if (QueuedBytes(reader, &queued) == STATUS_SUCCESS && queued != 0) {
    for (;;) {
      NTSTATUS status = IFSerialRead(reader, &reader->ReadByte, 1);
      if (status != STATUS_SUCCESS) {
        read_failed = true;
        pass_status = status;
        break;
      }
      const UCHAR byte = reader->ReadByte;

      // Undo the escaping.
      if (!reader->EscapePending && byte == STC_ESCAPE) {
        reader->EscapePending = TRUE;
        continue;
      }
      if (reader->EscapePending && byte != STC_ESCAPE) {
        reader->EscapePending = FALSE;
        bool end_pass = false;
        switch (byte) {
          case STC_CARD_INSERTED:
          case STC_CARD_REMOVED:
            CBUpdateCardState(reader->SmartcardExtension,
                              byte == STC_CARD_INSERTED ? SCARD_PRESENT : SCARD_ABSENT);
            // The pass ends here unless the port still holds bytes: the wait armed next does
            // not fire for bytes already there, so a report right behind this one (the card
            // put back at once) would wait for the reader's next byte.
            pass_status = QueuedBytes(reader, &queued);
            end_pass = pass_status != STATUS_SUCCESS || queued == 0;
            break;
          case STC_READER_ERROR: {
            // The reader gave up on the command. The code is left where the awaited answer
            // would start, for IFRead to translate; the count is not raised, so nothing that
            // did not arrive can ever be taken as received.
            SpinLockGuard lock(&reader->ReceiveLock);
            if (reader->ReceivedCount < RECEIVE_BUFFER_SIZE) {
              reader->ReceiveBuffer[reader->ReceivedCount] = STC_READER_ERROR;
            }
            report = STATUS_UNSUCCESSFUL;
            wake = true;
            break;
          }
          case STC_CHARACTER_ERROR: {
            // The damaged character keeps its place as a 0, if there is room for it.
            SpinLockGuard lock(&reader->ReceiveLock);
            if (reader->ReceivedCount + 1 < RECEIVE_BUFFER_SIZE) {
              reader->ReceiveBuffer[reader->ReceivedCount++] = 0;
            }
            SharedStore(reader->CharacterErrorStatus, STATUS_DATA_ERROR);
            if (reader->ReceivedCount >= reader->ExpectedCount) wake = true;
            break;
          }
          case STC_BLOCK_END:
            if (!WaitingTimeExtended(reader)) {
              SpinLockGuard lock(&reader->ReceiveLock);
              if (reader->ExpectedCount != NOBODY_WAITS &&
                  reader->ReceivedCount < reader->ExpectedCount) {
                report = STATUS_IO_TIMEOUT;  // the block ended before the awaited bytes came
              } else {
                SharedStore(reader->BlockEndStatus, STATUS_SUCCESS);
              }
              wake = true;
            }
            break;
          default:
            break;  // reports the driver does not act on
        }
        if (end_pass) break;
        // As after a data byte: read on while a reader still waits for bytes; otherwise end
        // the pass as soon as the port has nothing more, rather than on the quiet line's
        // time-out, which would hold back the wake-up of a reader whose bytes all came.
        if (ReaderWaits(reader)) continue;
        pass_status = QueuedBytes(reader, &queued);
        if (pass_status != STATUS_SUCCESS || queued == 0) break;
        continue;
      }
      reader->EscapePending = FALSE;

      // A data byte.
      bool reader_waits;
      {
        SpinLockGuard lock(&reader->ReceiveLock);
        if (reader->ReceivedCount + 1 >= RECEIVE_BUFFER_SIZE) continue;  // full: dropped
        reader->ReceiveBuffer[reader->ReceivedCount++] = byte;
        if (reader->ReceivedCount >= reader->ExpectedCount) {
          if (reader->ExpectedCount != NOBODY_WAITS) wake = satisfied = true;
          reader->ExpectedCount = NOBODY_WAITS;
        }
        reader_waits = reader->ExpectedCount != NOBODY_WAITS;
      }
      if (reader_waits) continue;  // read on without asking: more is expected
      pass_status = QueuedBytes(reader, &queued);
      if (pass_status != STATUS_SUCCESS || queued == 0) break;
    }
  }

  // End of the pass: listen again first, then report.
  const bool listening = IFSerialWaitOnMask(reader) == STATUS_SUCCESS;
  PassEnd(reader, pass_status, wake, satisfied, read_failed, report);
  // The pass's last touch of the record. A listener that could not be armed again is over:
  // nothing of it runs after this pass.
  if (listening) {
    KeSetEvent(&reader->PassTurn, IO_NO_INCREMENT, FALSE);
  } else {
    KeSetEvent(&reader->ListenerIdle, IO_NO_INCREMENT, FALSE);
  }
}

namespace {

void PassEnd(PREADER_EXTENSION reader, NTSTATUS pass_status, bool wake, bool satisfied,
             bool read_failed, NTSTATUS report) {
  if (pass_status == STATUS_TIMEOUT && !WaitingTimeExtended(reader)) {
    // The line went quiet. That ends the wait of a reader still waiting for bytes; a reader
    // whose bytes all came in this pass (before an event code, after which the worker reads on
    // until the line is quiet) gets this pass's own report, not a time-out for data it has.
    bool still_waiting;
    {
      SpinLockGuard lock(&reader->ReceiveLock);
      still_waiting = reader->ExpectedCount != NOBODY_WAITS;
    }
    Report(reader, satisfied && !still_waiting ? report : STATUS_TIMEOUT);
    PurgePort(reader);
    return;
  }
  if (wake) Report(reader, report);
  if (read_failed) PurgePort(reader);
}

}  // namespace

NTSTATUS IFRead(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Count) {
  {
    SpinLockGuard lock(&ReaderExtension->ReceiveLock);
    if (ReaderExtension->ReceivedCount >= Count) {
      TakeBytes(ReaderExtension, Buffer, Count);
      return STATUS_SUCCESS;
    }
    ReaderExtension->ExpectedCount = Count;
  }

  const ULONG milliseconds = SharedLoad(ReaderExtension->ReadIntervalTimeout) * Count +
                             SharedLoad(ReaderExtension->ReadTotalTimeout);
  LARGE_INTEGER timeout = RelativeMilliseconds(milliseconds);
  const NTSTATUS wait =
      KeWaitForSingleObject(&ReaderExtension->DataEvent, Executive, KernelMode, FALSE, &timeout);
  KeClearEvent(&ReaderExtension->DataEvent);
  NTSTATUS status = wait == STATUS_SUCCESS ? SharedLoad(ReaderExtension->ReadStatus) : wait;

  SpinLockGuard lock(&ReaderExtension->ReceiveLock);
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

NTSTATUS IFReadLastCWT(PREADER_EXTENSION ReaderExtension) {
  if (SharedLoad(ReaderExtension->BlockEndStatus) == STATUS_SUCCESS) return STATUS_SUCCESS;
  LARGE_INTEGER timeout = RelativeMilliseconds(SharedLoad(ReaderExtension->ReadIntervalTimeout));
  (void)KeWaitForSingleObject(&ReaderExtension->DataEvent, Executive, KernelMode, FALSE, &timeout);
  KeClearEvent(&ReaderExtension->DataEvent);
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
