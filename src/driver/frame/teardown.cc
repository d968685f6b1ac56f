// Teardown of a reader device, driver unload, and the removal routine.
#include "driver/frame/frame.h"
#include "driver/stc/stc.h"

void DrvUnloadDevice(PDEVICE_OBJECT DeviceObject) {
  auto* extension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
  PSMARTCARD_EXTENSION smartcard = &extension->SmartcardExtension;
  PREADER_EXTENSION reader = smartcard->ReaderExtension;

  if (reader != nullptr) {
    if (reader->SerialFileObject != nullptr) {
      if (extension->InterfaceReady) {
        if (reader->FirmwareMajor != 0 || reader->FirmwareMinor != 0) {
          if (NT_SUCCESS(STCPowerOff(reader))) (void)STCCloseSTC(reader);
        }
        // A wait mask of 0 ends the listener's wait; the removal routine runs next.
        ULONG mask = 0;
        if (NT_SUCCESS(IFSerialIoctl(reader, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask),
                                     nullptr, 0))) {
          LARGE_INTEGER timeout = RelativeMilliseconds(100);
          (void)KeWaitForSingleObject(&extension->SerialRemoved, Executive, KernelMode, FALSE,
                                      &timeout);
        }
      }
      // Letting go of the port also cancels whatever it still holds for the listener.
      ObfDereferenceObject(reader->SerialFileObject);
      reader->SerialFileObject = nullptr;
      // Nothing the listener runs (its completion, a pass, the removal routine) may outlive the
      // records it uses.
      if (extension->InterfaceReady) {
        (void)KeWaitForSingleObject(&reader->ListenerIdle, Executive, KernelMode, FALSE, nullptr);
      }
    }
    ExFreePool(reader);
    smartcard->ReaderExtension = nullptr;
  }

  if (smartcard->OsData != nullptr) {
    DrvCancelTracking(smartcard, TrackingInFlight::kAwait);
    if (extension->LinkName.Buffer != nullptr) (void)IoDeleteSymbolicLink(&extension->LinkName);
    SmartcardExit(smartcard);
  }
  IoDeleteDevice(DeviceObject);
}

void DrvUnloadDriver(PDRIVER_OBJECT DriverObject) {
  while (DriverObject->DeviceObject != nullptr) DrvUnloadDevice(DriverObject->DeviceObject);
}

void DrvWaitForDeviceRemoval(PVOID Context) {
  auto* device = static_cast<PDEVICE_OBJECT>(Context);
  auto* extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
  PREADER_EXTENSION reader = extension->SmartcardExtension.ReaderExtension;
  IFWaitListenerStopped(reader);
  IFListenerEnded(reader);  // before the purge: a caller waits for nothing that can come
  ULONG mask = SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
  (void)IFSerialIoctl(reader, IOCTL_SERIAL_PURGE, &mask, sizeof(mask), nullptr, 0);
  KeSetEvent(&extension->SerialRemoved, IO_NO_INCREMENT, FALSE);
  // The listener's last touch of the records.
  KeSetEvent(&reader->ListenerIdle, IO_NO_INCREMENT, FALSE);
}
