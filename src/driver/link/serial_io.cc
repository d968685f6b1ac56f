// Serial port set-up, control requests, one-byte reads, and the driver's delay.
#include "driver/link/link.h"
#include "platform/platform.h"

using tolvex::platform::SharedLoad;
using tolvex::platform::SpinLockGuard;

const ULONG ConfigTable[9] = {
    IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
    IOCTL_SERIAL_SET_TIMEOUTS,  IOCTL_SERIAL_SET_HANDFLOW,     IOCTL_SERIAL_PURGE,
    IOCTL_SERIAL_SET_BREAK_OFF, IOCTL_SERIAL_SET_WAIT_MASK,    0,
};

namespace {

// The member of the configuration that goes with a set-up request, and its length.
void ConfigInput(PSERIAL_CONFIG config, ULONG code, PVOID* input, ULONG* length) {
  switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
      *input = &config->BaudRate;
      *length = sizeof(config->BaudRate);
      return;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      *input = &config->LineControl;
      *length = sizeof(config->LineControl);
      return;
    case IOCTL_SERIAL_SET_CHARS:
      *input = &config->Chars;
      *length = sizeof(config->Chars);
      return;
    case IOCTL_SERIAL_SET_TIMEOUTS:
      *input = &config->Timeouts;
      *length = sizeof(config->Timeouts);
      return;
    case IOCTL_SERIAL_SET_HANDFLOW:
      *input = &config->HandFlow;
      *length = sizeof(config->HandFlow);
      return;
    case IOCTL_SERIAL_PURGE:
      *input = &config->PurgeMask;
      *length = sizeof(config->PurgeMask);
      return;
    case IOCTL_SERIAL_SET_WAIT_MASK:
      *input = &config->EventMask;
      *length = sizeof(config->EventMask);
      return;
    default:  // IOCTL_SERIAL_SET_BREAK_OFF
      *input = nullptr;
      *length = 0;
      return;
  }
}

// Completion routine of IFSerialSend's device control requests: wakes the sender and keeps the
// request alive, so that the sender can still cancel it safely; the sender finishes it.
NTSTATUS SerialRequestDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS IFInitializeInterface(PREADER_EXTENSION ReaderExtension, PSERIAL_CONFIG SerialConfig) {
  NTSTATUS status = STATUS_SUCCESS;
  for (const ULONG* code = ConfigTable; *code != 0; ++code) {
    PVOID input;
    ULONG length;
    ConfigInput(SerialConfig, *code, &input, &length);
    status = IFSerialIoctl(ReaderExtension, *code, input, length, nullptr, 0);
    SysDelay(25);
    if (status != STATUS_SUCCESS) break;
  }
  SysDelay(450);
  if (status == STATUS_SUCCESS) {
    {
      // Nobody reads yet, and no command has gone out.
      SpinLockGuard lock(&ReaderExtension->ReceiveLock);
      ReaderExtension->ExpectedCount = NOBODY_WAITS;
    }
    KeInitializeEvent(&ReaderExtension->PassTurn, SynchronizationEvent, TRUE);
    KeInitializeEvent(&ReaderExtension->ListenerIdle, NotificationEvent, FALSE);
    status = IFSerialWaitOnMask(ReaderExtension);
  }
  // Not listening: nothing will ever need to be waited for.
  if (status != STATUS_SUCCESS)
    KeInitializeEvent(&ReaderExtension->ListenerIdle, NotificationEvent, TRUE);
  return status;
}

NTSTATUS IFSerialSend(PREADER_EXTENSION ReaderExtension, const SERIAL_REQUEST& Request,
                      ULONG_PTR* Information) {
  if (Information != nullptr) *Information = 0;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK status_block{};
  PIRP irp = IoBuildDeviceIoControlRequest(Request.IoctlCode, ReaderExtension->SerialDeviceObject,
                                           Request.InputBuffer, Request.InputBufferLength,
                                           Request.OutputBuffer, Request.OutputBufferLength, FALSE,
                                           &event, &status_block);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  if (Request.MajorFunction == IRP_MJ_READ) {
    stack->MajorFunction = IRP_MJ_READ;
    stack->Parameters.Read.Length = Request.OutputBufferLength;
    stack->Parameters.Read.ByteOffset.QuadPart = 0;
  } else if (Request.MajorFunction == IRP_MJ_WRITE) {
    stack->MajorFunction = IRP_MJ_WRITE;
    stack->Parameters.Write.Length = Request.InputBufferLength;
    stack->Parameters.Write.ByteOffset.QuadPart = 0;
  } else {
    IoSetCompletionRoutine(irp, SerialRequestDone, &event, TRUE, TRUE, TRUE);
  }

  NTSTATUS status = IofCallDriver(ReaderExtension->SerialDeviceObject, irp);
  if (Request.MajorFunction != IRP_MJ_DEVICE_CONTROL) {
    if (status == STATUS_PENDING) {
      // No limit here: the port's own read and write time-outs end the request.
      (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = status_block.Status;
    }
    if (Information != nullptr) *Information = status_block.Information;
    return status;
  }
  if (status == STATUS_PENDING) {
    LARGE_INTEGER timeout = RelativeMilliseconds(SharedLoad(ReaderExtension->ReadTotalTimeout));
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      // The port kept the request past our time. It refers to this frame's event, status
      // block and buffers: take it back, and wait until the port has let go of it.
      IoCancelIrp(irp);
      (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    status = irp->IoStatus.Status;
  }
  if (Information != nullptr) *Information = irp->IoStatus.Information;
  // Finish the request: its output is copied to the caller's buffer and the request released.
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS IFSerialIoctl(PREADER_EXTENSION ReaderExtension, ULONG IoctlCode, PVOID InputBuffer,
                       ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength) {
  const SERIAL_REQUEST request{IRP_MJ_DEVICE_CONTROL, IoctlCode,    InputBuffer,
                               InputBufferLength,     OutputBuffer, OutputBufferLength};
  return IFSerialSend(ReaderExtension, request, nullptr);
}

NTSTATUS IFSerialRead(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Length) {
  const SERIAL_REQUEST request{IRP_MJ_READ, IOCTL_READER_SERIAL_READ, nullptr, 0, Buffer, Length};
  ULONG_PTR information = 0;
  NTSTATUS status = IFSerialSend(ReaderExtension, request, &information);
  // A read that came back without all its bytes ran out of time, whatever the port said.
  if (status == STATUS_SUCCESS && information != Length) status = STATUS_TIMEOUT;
  return status;
}

void SysDelay(ULONG Milliseconds) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    LARGE_INTEGER interval = RelativeMilliseconds(Milliseconds);
    (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
    return;
  }
  const ULONGLONG stalls = ULONGLONG{Milliseconds} * 20;
  for (ULONGLONG i = 0; i < stalls; ++i) KeStallExecutionProcessor(50);
}
