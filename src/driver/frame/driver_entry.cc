// Driver entry and the registry configuration.
#include "driver/frame/frame.h"
#include "platform/rtl.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DrvOpenClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DrvOpenClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DrvDeviceIoControl;
  DriverObject->DriverUnload = DrvUnloadDriver;

  ULONG mask = 0;
  NTSTATUS status = DrvGetConfiguration(RegistryPath, &mask);
  if (status != STATUS_SUCCESS) return status;
  if (mask == 0) return STATUS_UNSUCCESSFUL;

  NTSTATUS result = STATUS_UNSUCCESSFUL;
  for (ULONG index = 0; index < MAXIMUM_READERS && mask != 0; ++index, mask >>= 1) {
    // A reader that fails to start is gone again; its status is not passed on.
    if ((mask & 1) && DrvInitDeviceObject(DriverObject, index) == STATUS_SUCCESS) {
      result = STATUS_SUCCESS;
    }
  }
  return result;
}

NTSTATUS DrvGetConfiguration(PUNICODE_STRING RegistryPath, PULONG PortMask) {
  *PortMask = 0;
  static constexpr WCHAR kParameters[] = u"\\Parameters";
  constexpr ULONG kAppended = sizeof(kParameters) - sizeof(WCHAR);  // 22 bytes
  const ULONG size = ULONG{RegistryPath->Length} + kAppended + sizeof(WCHAR);
  if (size > 0xFFFF) return STATUS_INVALID_PARAMETER;  // no room in a counted string

  UNICODE_STRING path{0, static_cast<USHORT>(size),
                      static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, size, DRIVER_POOL_TAG))};
  if (path.Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyUnicodeString(&path, RegistryPath);
  (void)RtlAppendUnicodeToString(&path, kParameters);  // fits: the room was made for it

  // COMMask is read straight into the 32-bit mask. Its type is checked first, so a value of
  // another type (a string, a longer binary) is refused and never written over the mask.
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
  table[0].Name = const_cast<PWSTR>(u"COMMask");
  table[0].EntryContext = PortMask;
  table[0].DefaultType = REG_DWORD | (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT);
  table[0].DefaultData = PortMask;
  table[0].DefaultLength = sizeof(ULONG);
  const NTSTATUS status =
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.Buffer, table, nullptr, nullptr);

  ExFreePool(path.Buffer);
  return status;
}
