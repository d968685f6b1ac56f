// The STC command protocol: writing frames to the reader and judging its answers.
#include <algorithm>

#include "driver/link/link.h"
#include "platform/platform.h"

using tolvex::platform::SharedStore;
using tolvex::platform::SpinLockGuard;

NTSTATUS IFWrite(PREADER_EXTENSION ReaderExtension, const UCHAR* Buffer, ULONG Count) {
  bool purge;
  {
    SpinLockGuard lock(&ReaderExtension->ReceiveLock);
    purge = ReaderExtension->PurgePending != FALSE;
    ReaderExtension->PurgePending = FALSE;
  }
  if (purge) {
    // The worker's read failed since the last command: whatever still waits to go out to the
    // reader goes now, before this frame, so that nothing of this exchange goes with it. The
    // receive side is left to the worker, which takes everything the reader sent, in order: a
    // purge there, at whatever moment the worker has reached, could part an escape from its
    // code or drop a card's insertion or removal report.
    ULONG mask = SERIAL_PURGE_TXCLEAR;
    // A port that cannot purge still takes the frame; the answer tells how it went.
    (void)IFSerialIoctl(ReaderExtension, IOCTL_SERIAL_PURGE, &mask, sizeof(mask), nullptr, 0);
  }
  {
    // A new exchange: its answer is what arrives next. Nothing of the last one stays: not its
    // bytes, nor how it ended.
    SpinLockGuard lock(&ReaderExtension->ReceiveLock);
    ReaderExtension->ReceivedCount = 0;
    ReaderExtension->AnswerPending = TRUE;
    ReaderExtension->ExchangeEnd = STATUS_SUCCESS;
    SharedStore(ReaderExtension->BlockEndStatus, STATUS_IO_TIMEOUT);
  }
  KeClearEvent(&ReaderExtension->DataEvent);

  const SERIAL_REQUEST request{
      IRP_MJ_WRITE, IOCTL_READER_SERIAL_WRITE, const_cast<UCHAR*>(Buffer), Count, nullptr, 0};
  ULONG_PTR information = 0;
  NTSTATUS status = IFSerialSend(ReaderExtension, request, &information);
  // A frame the port did not take whole never reached the reader: no answer will come. The
  // port's write time-out (0x102) is no success either.
  if (status == STATUS_TIMEOUT || (status == STATUS_SUCCESS && information != Count)) {
    status = STATUS_IO_TIMEOUT;
  }
  return status;
}

NTSTATUS IFWriteSTCRegister(PREADER_EXTENSION ReaderExtension, UCHAR Register, ULONG Size,
                            const UCHAR* Value) {
  if (Size > 4) return STATUS_INVALID_PARAMETER;  // a register holds at most four bytes
  UCHAR frame[5];
  frame[0] = static_cast<UCHAR>(STC_WRITE_REGISTER | (Register & 0x3F));
  std::copy_n(Value, Size, frame + 1);
  NTSTATUS status = IFWrite(ReaderExtension, frame, Size + 1);
  if (status != STATUS_SUCCESS) return status;
  UCHAR answer = 0;
  status = IFRead(ReaderExtension, &answer, 1);
  if (status != STATUS_SUCCESS) return status;
  return answer == STC_OK ? STATUS_SUCCESS : STATUS_DATA_ERROR;
}

NTSTATUS IFReadSTCRegister(PREADER_EXTENSION ReaderExtension, UCHAR Register, ULONG /*Size*/,
                           PUCHAR Value) {
  const UCHAR command = static_cast<UCHAR>(STC_READ_REGISTER | (Register & 0x3F));
  NTSTATUS status = IFWrite(ReaderExtension, &command, 1);
  if (status != STATUS_SUCCESS) return status;
  UCHAR answer = 0;
  status = IFRead(ReaderExtension, &answer, 1);
  if (status != STATUS_SUCCESS) return status;
  *Value = answer;
  return STATUS_SUCCESS;
}

NTSTATUS IFGetFirmwareRevision(PREADER_EXTENSION ReaderExtension) {
  UCHAR revision = 0;
  NTSTATUS status = IFReadSTCRegister(ReaderExtension, 0, 1, &revision);
  if (status != STATUS_SUCCESS) return status;
  ReaderExtension->FirmwareMajor = static_cast<UCHAR>(revision >> 4);
  ReaderExtension->FirmwareMinor = static_cast<UCHAR>(revision & 0x0F);
  return STATUS_SUCCESS;
}

NTSTATUS IFWriteSTCData(PREADER_EXTENSION ReaderExtension, const UCHAR* Data, ULONG Length) {
  ULONG offset = 0;
  do {  // at least one frame, also for no data
    const ULONG n = std::min(Length - offset, STC_MAX_DATA_FRAME);
    UCHAR frame[1 + STC_MAX_DATA_FRAME];
    frame[0] = static_cast<UCHAR>(STC_WRITE_DATA | n);
    std::copy_n(Data + offset, n, frame + 1);
    NTSTATUS status = IFWrite(ReaderExtension, frame, n + 1);
    if (status == STATUS_SUCCESS) {
      UCHAR answer = 0;
      status = IFRead(ReaderExtension, &answer, 1);
      // 0x88: the reader took the frame, though a character went wrong on the card's side.
      if (status == STATUS_SUCCESS && answer != STC_OK && answer != STC_CHARACTER_ERROR) {
        status = STATUS_UNSUCCESSFUL;
      }
    }
    if (status != STATUS_SUCCESS) return status;
    offset += n;
  } while (offset < Length);
  return STATUS_SUCCESS;
}

NTSTATUS IFReadSTCData(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, PULONG Length,
                       ULONG Count) {
  if (Count == 0) {
    *Length = 0;
    return STATUS_SUCCESS;
  }
  UCHAR scratch[RECEIVE_BUFFER_SIZE];
  if (Count > sizeof(scratch)) {
    // More than the receive buffer can ever hold: it could only end in a time-out.
    *Length = 0;
    return STATUS_BUFFER_TOO_SMALL;
  }
  NTSTATUS status = IFRead(ReaderExtension, scratch, Count);
  if (status != STATUS_SUCCESS) {
    *Length = 0;
    return status;
  }
  if (Count > *Length) {
    *Length = 0;  // the bytes are taken and lost
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::copy_n(scratch, Count, Buffer);
  *Length = Count;
  return STATUS_SUCCESS;
}
