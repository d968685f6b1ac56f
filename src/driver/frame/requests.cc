// Open, close and control requests of applications.
#include <atomic>

#include "driver/frame/frame.h"
#include "platform/platform.h"

void DrvCancelTracking(PSMARTCARD_EXTENSION smartcard, TrackingInFlight in_flight) {
  POS_DEP_DATA os = smartcard->OsData;
  if (os == nullptr) return;
  for (;;) {
    PIRP irp = nullptr;
    {
      tolvex::platform::SpinLockGuard lock(&os->SpinLock);
      if (os->NotificationIrp == nullptr) return;
      PDRIVER_CANCEL routine;
      {
        tolvex::platform::CancelLockGuard cancel_lock;
        routine = IoSetCancelRoutine(os->NotificationIrp, nullptr);
      }
      if (routine != nullptr) {
        irp = os->NotificationIrp;
        os->NotificationIrp = nullptr;
      }
    }
    if (irp != nullptr) {
      irp->IoStatus.Status = STATUS_CANCELLED;
      irp->IoStatus.Information = 0;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return;
    }
    if (in_flight == TrackingInFlight::kLeave) return;
    // DrvCancel is between the cancel lock and the library's, or the library is about to set
    // the routine: either takes a moment.
    LARGE_INTEGER pause = RelativeMilliseconds(1);
    (void)KeDelayExecutionThread(KernelMode, FALSE, &pause);
  }
}

NTSTATUS DrvOpenClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto* extension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
  (void)KeWaitForSingleObject(&extension->ReaderStarted, Executive, KernelMode, FALSE, nullptr);

  // For open and close alike: a new handle, or none, has no use for the old one's watch.
  DrvCancelTracking(&extension->SmartcardExtension);

  Irp->IoStatus.Information = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE) {
    // Test and set in one step: of two opens at the same moment, one gets the reader.
    BOOLEAN closed = FALSE;
    if (!std::atomic_ref<BOOLEAN>(extension->ReaderOpen)
             .compare_exchange_strong(closed, TRUE, std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
      status = STATUS_DEVICE_BUSY;
    }
  } else {
    std::atomic_ref<BOOLEAN>(extension->ReaderOpen).store(FALSE, std::memory_order_release);
  }
  Irp->IoStatus.Status = status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS DrvDeviceIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto* extension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
  return SmartcardDeviceControl(&extension->SmartcardExtension, Irp);
}

NTSTATUS DrvGenericIOCTL(PSMARTCARD_EXTENSION SmartcardExtension) {
  PIRP irp = SmartcardExtension->OsData->CurrentIrp;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_READER_GET_VERSIONS) {
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(READER_VERSION_INFO)) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      const PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
      const READER_VERSION_INFO info{SmartcardExtension->Version, DRIVER_VERSION_MAJOR,
                                     DRIVER_VERSION_MINOR, reader->FirmwareMajor,
                                     reader->FirmwareMinor};
      std::memcpy(irp->AssociatedIrp.SystemBuffer, &info, sizeof(info));
      irp->IoStatus.Information = sizeof(info);
      status = STATUS_SUCCESS;
    }
  }
  irp->IoStatus.Status = status;
  return status;
}
