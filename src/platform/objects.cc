// Device objects, file objects, the name table and symbolic links.
#include <algorithm>

#include "platform/platform.h"

namespace tolvex::platform {

namespace {
constexpr ULONG kDeviceTag = PoolTag("Devi");
constexpr ULONG kFileTag = PoolTag("File");
constexpr size_t kExtensionAlignment = 16;

size_t DeviceHeaderSize() {
  return (sizeof(DEVICE_OBJECT) + kExtensionAlignment - 1) / kExtensionAlignment *
         kExtensionAlignment;
}
}  // namespace

NTSTATUS Platform::CreateDevice(PDRIVER_OBJECT driver, ULONG extension_size, PUNICODE_STRING name,
                                DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                                PDEVICE_OBJECT* device) {
  *device = nullptr;
  const size_t size = DeviceHeaderSize() + extension_size;
  auto* object = static_cast<PDEVICE_OBJECT>(ExAllocatePoolWithTag(NonPagedPool, size, kDeviceTag));
  if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(object, 0, size);
  object->Type = IO_TYPE_DEVICE;
  object->Size = static_cast<USHORT>(std::min<size_t>(size, 0xFFFF));
  object->DriverObject = driver;
  object->DeviceExtension =
      extension_size != 0 ? reinterpret_cast<UCHAR*>(object) + DeviceHeaderSize() : nullptr;
  object->DeviceType = type;
  object->Characteristics = characteristics;
  object->StackSize = 1;
  object->Flags = exclusive ? DO_EXCLUSIVE : 0;
  if (name != nullptr && name->Buffer != nullptr) {
    // The name's entry.
    NTSTATUS status =
        faults_.Reach("name") ? STATUS_INSUFFICIENT_RESOURCES : InsertName(View(*name), object, {});
    if (!NT_SUCCESS(status)) {
      ExFreePool(object);
      return status;
    }
  }
  std::lock_guard lock(names_mutex_);
  object->NextDevice = driver->DeviceObject;
  driver->DeviceObject = object;
  *device = object;
  return STATUS_SUCCESS;
}

void Platform::DeleteDevice(PDEVICE_OBJECT device) {
  std::u16string name = DeviceName(device);
  if (!name.empty()) RemoveName(name);
  bool release = false;
  {
    std::lock_guard lock(names_mutex_);
    PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
    while (*link != nullptr && *link != device) link = &(*link)->NextDevice;
    if (*link == nullptr) {
      BugCheck("deleting a device that is not in its driver's list", "device %p",
               static_cast<void*>(device));
    }
    *link = device->NextDevice;
    device->NextDevice = nullptr;
    if (__atomic_load_n(&device->ReferenceCount, __ATOMIC_SEQ_CST) == 0) {
      release = true;
    } else {
      delete_pending_.insert(device);
    }
  }
  if (release) ExFreePool(device);
}

void Platform::ReleaseDevice(PDEVICE_OBJECT device) {
  bool release = false;
  {
    std::lock_guard lock(names_mutex_);
    if (__atomic_sub_fetch(&device->ReferenceCount, 1, __ATOMIC_SEQ_CST) == 0) {
      release = delete_pending_.erase(device) != 0;
    }
  }
  if (release) ExFreePool(device);
}

NTSTATUS Platform::SendSynchronous(PDEVICE_OBJECT device, UCHAR major, PFILE_OBJECT file,
                                   ULONG access) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  irp->UserEvent = &event;
  irp->UserIosb = &iosb;
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->FileObject = file;
  if (major == IRP_MJ_CREATE) stack->Parameters.Create.DesiredAccess = access;
  NTSTATUS status = IofCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

NTSTATUS Platform::OpenDevice(std::u16string_view name, ULONG access, PFILE_OBJECT* file,
                              PDEVICE_OBJECT* device) {
  *file = nullptr;
  *device = nullptr;
  PDEVICE_OBJECT target = nullptr;
  {
    // Resolve and reference in one step, so that a concurrent delete cannot free the device
    // in between.
    std::lock_guard lock(names_mutex_);
    NTSTATUS status = ResolveNameLocked(name, &target);
    if (!NT_SUCCESS(status)) return status;
    __atomic_add_fetch(&target->ReferenceCount, 1, __ATOMIC_SEQ_CST);
  }
  auto* object =
      static_cast<PFILE_OBJECT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FILE_OBJECT), kFileTag));
  if (object == nullptr) {
    ReleaseDevice(target);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memset(object, 0, sizeof(FILE_OBJECT));
  object->Type = IO_TYPE_FILE;
  object->Size = sizeof(FILE_OBJECT);
  object->DeviceObject = target;
  object->ReferenceCount = 1;
  NTSTATUS status = SendSynchronous(target, IRP_MJ_CREATE, object, access);
  if (!NT_SUCCESS(status)) {
    ExFreePool(object);
    ReleaseDevice(target);
    return status;
  }
  *file = object;
  *device = target;
  return STATUS_SUCCESS;
}

void Platform::ReferenceObject(PVOID object) {
  const SHORT type = *static_cast<SHORT*>(object);
  if (type == IO_TYPE_FILE) {
    __atomic_add_fetch(&static_cast<PFILE_OBJECT>(object)->ReferenceCount, 1, __ATOMIC_SEQ_CST);
  } else if (type == IO_TYPE_DEVICE) {
    __atomic_add_fetch(&static_cast<PDEVICE_OBJECT>(object)->ReferenceCount, 1, __ATOMIC_SEQ_CST);
  } else {
    BugCheck("reference to an object of unknown type", "object %p", object);
  }
}

void Platform::DereferenceObject(PVOID object) {
  const SHORT type = *static_cast<SHORT*>(object);
  if (type == IO_TYPE_DEVICE) {
    ReleaseDevice(static_cast<PDEVICE_OBJECT>(object));
    return;
  }
  if (type != IO_TYPE_FILE) BugCheck("dereference of an object of unknown type", "%p", object);
  auto* file = static_cast<PFILE_OBJECT>(object);
  const LONG left = __atomic_sub_fetch(&file->ReferenceCount, 1, __ATOMIC_SEQ_CST);
  if (left < 0) BugCheck("file object dereferenced more often than referenced", "%p", object);
  if (left > 0) return;
  PDEVICE_OBJECT device = file->DeviceObject;
  bool has_driver = false;
  {
    std::lock_guard lock(names_mutex_);
    has_driver = device->DriverObject != nullptr;  // null once its driver is unloaded
  }
  // The last reference: the driver sees the handle's cleanup and close. Their statuses have no
  // one to go to.
  if (has_driver) {
    // These two must get through: no one could try them again.
    ServiceSiteBarrier must(true);
    (void)SendSynchronous(device, IRP_MJ_CLEANUP, file, 0);
    (void)SendSynchronous(device, IRP_MJ_CLOSE, file, 0);
  }
  file->Type = 0;
  ExFreePool(file);
  ReleaseDevice(device);
}

NTSTATUS Platform::CreateLink(std::u16string_view link, std::u16string_view target) {
  return InsertName(link, nullptr, target);
}

NTSTATUS Platform::DeleteLink(std::u16string_view link) {
  // Checked and removed under one hold of the lock: a device may not take the name in between.
  std::lock_guard lock(names_mutex_);
  auto it = names_.find(FoldCase(link));
  if (it == names_.end() || it->second.device != nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  names_.erase(it);
  return STATUS_SUCCESS;
}

}  // namespace tolvex::platform
