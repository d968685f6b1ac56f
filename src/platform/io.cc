#include "platform/io.h"

#include <algorithm>
#include <mutex>
#include <unordered_set>

#include "platform/platform.h"

using tolvex::platform::BugCheck;
using tolvex::platform::Platform;

namespace {

constexpr ULONG kIrpTag = PoolTag("Irp ");
constexpr ULONG kBufferTag = PoolTag("IoBf");

// Every request alive in the process, so that completing or sending a finished one is caught
// before its freed memory is read.
std::mutex g_irps_mutex;
std::unordered_set<PIRP>& LiveIrps() {
  static auto* irps = new std::unordered_set<PIRP>();
  return *irps;
}

void CheckLive(PIRP irp, const char* what) {
  std::lock_guard lock(g_irps_mutex);
  if (LiveIrps().count(irp) == 0) {
    BugCheck(what, "request %p is already finished, or was never built", static_cast<void*>(irp));
  }
}

IO_STACK_LOCATION* Stack(PIRP irp) {
  return reinterpret_cast<IO_STACK_LOCATION*>(irp + 1);
}

// Finishes a request whose completion walk has ended: output copy, status block, event, free.
void FinishRequest(PIRP irp) {
  const NTSTATUS status = irp->IoStatus.Status;
  if (irp->Flags & IRP_BUFFERED_IO) {
    if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) && irp->IoStatus.Information != 0) {
      if (irp->IoStatus.Information > irp->UserBufferLength) {
        BugCheck("request completed with more bytes than its output buffer holds",
                 "%zu bytes for a buffer of %u", static_cast<size_t>(irp->IoStatus.Information),
                 irp->UserBufferLength);
      }
      std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
      ExFreePool(irp->AssociatedIrp.SystemBuffer);
      irp->AssociatedIrp.SystemBuffer = nullptr;
    }
  }
  PKEVENT event = irp->UserEvent;
  if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
  IoFreeIrp(irp);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation;
}

PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

void IoMarkIrpPending(PIRP Irp) {
  IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                            BOOLEAN InvokeOnCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->CompletionRoutine = Routine;
  next->Context = Context;
  next->Control = 0;
  if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN /*ChargeQuota*/, const char* file, int line) {
  tolvex::platform::ServiceSite site("IoAllocateIrp", file, line);
  if (StackSize < 1) BugCheck("request allocated without a stack location");
  const size_t size = sizeof(IRP) + static_cast<size_t>(StackSize) * sizeof(IO_STACK_LOCATION);
  auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag));
  if (irp == nullptr) return nullptr;
  std::memset(irp, 0, size);
  irp->Type = IO_TYPE_IRP;
  irp->Size = static_cast<USHORT>(size);
  irp->StackCount = StackSize;
  irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = Stack(irp) + StackSize;
  std::lock_guard lock(g_irps_mutex);
  LiveIrps().insert(irp);
  return irp;
}

void IoFreeIrp(PIRP Irp) {
  {
    std::lock_guard lock(g_irps_mutex);
    if (LiveIrps().erase(Irp) == 0) {
      BugCheck("freeing a request that is not allocated", "request %p", static_cast<void*>(Irp));
    }
  }
  ExFreePool(Irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock, const char* file,
                                   int line) {
  tolvex::platform::ServiceSite site("IoBuildDeviceIoControlRequest", file, line);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    BugCheck("device control request built above PASSIVE_LEVEL", "level %u", KeGetCurrentIrql());
  }
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction =
      InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

  if (IoControlMethod(IoControlCode) == METHOD_NEITHER) {
    stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
    irp->UserBufferLength = OutputBufferLength;
  } else {
    // Buffered. The direct methods are carried the same way: this platform has no memory
    // descriptor lists, and a copy serves the drivers here as well as a mapping would.
    const ULONG size = std::max(InputBufferLength, OutputBufferLength);
    if (size != 0) {
      PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, size, kBufferTag);
      if (buffer == nullptr) {
        IoFreeIrp(irp);
        return nullptr;
      }
      std::memset(buffer, 0, size);
      if (InputBuffer != nullptr && InputBufferLength != 0) {
        std::memcpy(buffer, InputBuffer, InputBufferLength);
      }
      irp->AssociatedIrp.SystemBuffer = buffer;
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    if (OutputBuffer != nullptr && OutputBufferLength != 0) {
      irp->Flags |= IRP_INPUT_OPERATION;
      irp->UserBuffer = OutputBuffer;
      irp->UserBufferLength = OutputBufferLength;
    }
  }
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CheckLive(Irp, "request sent after it was finished");
  if (Irp->CurrentLocation <= 1) {
    BugCheck("request sent with no stack location left", "request %p", static_cast<void*>(Irp));
  }
  --Irp->CurrentLocation;
  --Irp->Tail.Overlay.CurrentStackLocation;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  const KIRQL level = KeGetCurrentIrql();
  if (level > DISPATCH_LEVEL) BugCheck("driver called above DISPATCH_LEVEL", "level %u", level);
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  NTSTATUS status;
  {
    // The driver called has sites of its own, also when a service calls it for its caller.
    tolvex::platform::ServiceSiteBarrier fresh(false);
    status = dispatch(DeviceObject, Irp);
  }
  if (KeGetCurrentIrql() != level) {
    BugCheck("dispatch routine returned at another interrupt level", "entered at %u, left at %u",
             level, KeGetCurrentIrql());
  }
  return status;
}

void IofCompleteRequest(PIRP Irp, CHAR /*PriorityBoost*/) {
  CheckLive(Irp, "request completed twice");
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    BugCheck("request completed with STATUS_PENDING", "request %p", static_cast<void*>(Irp));
  }
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) {
    BugCheck("request completed with its cancel routine still set", "request %p",
             static_cast<void*>(Irp));
  }
  if (Irp->CurrentLocation > Irp->StackCount + 1) {
    BugCheck("request completed twice", "request %p has no stack location left to complete",
             static_cast<void*>(Irp));
  }
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR control = stack->Control;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    stack->CompletionRoutine = nullptr;
    stack->Control = 0;
    ++Irp->CurrentLocation;
    ++Irp->Tail.Overlay.CurrentStackLocation;
    Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
    const NTSTATUS status = Irp->IoStatus.Status;
    const bool invoke =
        routine != nullptr &&
        ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
         (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                  ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                  : nullptr;
      if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }
  FinishRequest(Irp);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  CheckLive(Irp, "cancelling a finished request");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                              ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                              : nullptr;
  routine(device, Irp);
  if (KeGetCurrentIrql() != irql) {
    BugCheck("cancel routine returned holding the cancel spin lock");
  }
  return TRUE;
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject, const char* file, int line) {
  tolvex::platform::ServiceSite site("IoCreateDevice", file, line);
  return Platform::Current().CreateDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                                          DeviceCharacteristics, Exclusive, DeviceObject);
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  Platform::Current().DeleteDevice(DeviceObject);
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ULONG DesiredAccess,
                                  PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject,
                                  const char* file, int line) {
  tolvex::platform::ServiceSite site("IoGetDeviceObjectPointer", file, line);
  return Platform::Current().OpenDevice(tolvex::platform::View(*ObjectName), DesiredAccess,
                                        FileObject, DeviceObject);
}

void ObfReferenceObject(PVOID Object) {
  Platform::Current().ReferenceObject(Object);
}

void ObfDereferenceObject(PVOID Object) {
  Platform::Current().DereferenceObject(Object);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName,
                              const char* file, int line) {
  tolvex::platform::ServiceSite site("IoCreateSymbolicLink", file, line);
  // The link object.
  if (Platform::Current().faults().Reach("link")) return STATUS_INSUFFICIENT_RESOURCES;
  return Platform::Current().CreateLink(tolvex::platform::View(*SymbolicLinkName),
                                        tolvex::platform::View(*DeviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  return Platform::Current().DeleteLink(tolvex::platform::View(*SymbolicLinkName));
}
