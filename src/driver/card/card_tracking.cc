// Card presence and the library's tracking request.
#include "driver/card/card.h"
#include "driver/link/link.h"
#include "platform/platform.h"

using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;

namespace {

constexpr UCHAR kPowerStatusRegister = 4;
constexpr UCHAR kCardPresentBit = 0x01;

void CancelTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (void)DrvCancel(DeviceObject, Irp);
}

bool CardIn(ULONG state) {
  return state >= SCARD_PRESENT;
}

}  // namespace

void CBUpdateCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG NewState) {
  ULONG state = NewState;
  bool read_failed = false;
  if (NewState == SCARD_UNKNOWN) {
    UCHAR value = 0;
    if (IFReadSTCRegister(SmartcardExtension->ReaderExtension, kPowerStatusRegister, 1, &value) ==
        STATUS_SUCCESS) {
      state = (value & kCardPresentBit) ? SCARD_SWALLOWED : SCARD_ABSENT;
    } else {
      read_failed = true;
    }
  }

  // Until the reader is registered the library's data does not exist. Such an early report is
  // dropped: start-up reads the presence from the reader once registration is done.
  POS_DEP_DATA os = SmartcardExtension->OsData;
  if (os == nullptr) return;

  const ULONG current = SharedLoad(SmartcardExtension->ReaderCapabilities.CurrentState);
  const bool changed = current == SCARD_UNKNOWN || CardIn(current) != CardIn(state);

  tolvex::platform::SpinLockGuard lock(&os->SpinLock);
  if (NewState != SCARD_UNKNOWN) {
    SharedStore(SmartcardExtension->ReaderCapabilities.CurrentState, NewState);
  } else if (!read_failed) {
    // A card that is powered or has its protocol set keeps that state.
    if (!changed) return;
    SharedStore(SmartcardExtension->ReaderCapabilities.CurrentState, state);
  }
  if (!changed || os->NotificationIrp == nullptr) return;

  PIRP irp = os->NotificationIrp;
  PDRIVER_CANCEL cancel_routine;
  {
    tolvex::platform::CancelLockGuard cancel_lock;
    cancel_routine = IoSetCancelRoutine(irp, nullptr);
  }
  // A null routine: a cancellation got there first, and DrvCancel completes the request.
  if (cancel_routine == nullptr) return;
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  os->NotificationIrp = nullptr;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS CBCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  tolvex::platform::CancelLockGuard cancel_lock;
  IoSetCancelRoutine(SmartcardExtension->OsData->NotificationIrp, CancelTracking);
  return STATUS_PENDING;
}

NTSTATUS DrvCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  // The library's record is the first member of the device extension.
  auto* smartcard = static_cast<PSMARTCARD_EXTENSION>(DeviceObject->DeviceExtension);
  POS_DEP_DATA os = smartcard->OsData;
  Irp->CancelRoutine = nullptr;
  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = STATUS_CANCELLED;
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  {
    tolvex::platform::SpinLockGuard lock(&os->SpinLock);
    if (os->NotificationIrp == Irp) os->NotificationIrp = nullptr;
  }
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_CANCELLED;
}
