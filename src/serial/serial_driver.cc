// The serial port driver: one device per port, each request handed to its SerialPort.
#include <string>

#include "serial/serial_port.h"

namespace tolvex::serial {

namespace {

NTSTATUS DispatchToPort(PDEVICE_OBJECT device, PIRP irp) {
  return PortOf(device)->Dispatch(device, irp);
}

void UnloadSerialDriver(PDRIVER_OBJECT driver) {
  while (driver->DeviceObject != nullptr) {
    PDEVICE_OBJECT device = driver->DeviceObject;
    SerialPort* port = PortOf(device);
    port->Stop();
    delete port;
    IoDeleteDevice(device);
  }
}

}  // namespace

SerialPort* PortOf(PDEVICE_OBJECT device) {
  return *static_cast<SerialPort**>(device->DeviceExtension);
}

NTSTATUS LoadSerialDriver(platform::Platform& platform, std::vector<PortBinding> bindings,
                          PDRIVER_OBJECT* driver) {
  auto entry = [&platform, bindings = std::move(bindings)](PDRIVER_OBJECT object,
                                                           PUNICODE_STRING) -> NTSTATUS {
    object->MajorFunction[IRP_MJ_CREATE] = DispatchToPort;
    object->MajorFunction[IRP_MJ_CLOSE] = DispatchToPort;
    object->MajorFunction[IRP_MJ_CLEANUP] = DispatchToPort;
    object->MajorFunction[IRP_MJ_READ] = DispatchToPort;
    object->MajorFunction[IRP_MJ_WRITE] = DispatchToPort;
    object->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchToPort;
    object->DriverUnload = UnloadSerialDriver;
    for (const PortBinding& binding : bindings) {
      std::u16string name = u"\\Device\\Serial" + platform::ToU16(std::to_string(binding.index));
      UNICODE_STRING device_name{static_cast<USHORT>(name.size() * 2),
                                 static_cast<USHORT>(name.size() * 2), name.data()};
      PDEVICE_OBJECT device = nullptr;
      NTSTATUS status = IoCreateDevice(object, sizeof(SerialPort*), &device_name,
                                       FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
      if (!NT_SUCCESS(status)) {
        UnloadSerialDriver(object);
        return status;
      }
      device->Flags |= DO_BUFFERED_IO;
      auto* port = new SerialPort(binding.index, binding.backend);
      *static_cast<SerialPort**>(device->DeviceExtension) = port;
      port->Start(platform);
    }
    return STATUS_SUCCESS;
  };
  return platform.LoadDriver(u"\\Driver\\Serial", entry, u"", 0, driver);
}

}  // namespace tolvex::serial
