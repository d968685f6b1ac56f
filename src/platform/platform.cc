#include "platform/platform.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tolvex::platform {

namespace {
thread_local Platform* t_platform = nullptr;
constexpr int kWorkerThreads = 4;

// Sentinel stored in a work item's Flink while it sits in the queue.
LIST_ENTRY* const kQueuedMark = reinterpret_cast<LIST_ENTRY*>(static_cast<uintptr_t>(1));
}  // namespace

void BugCheck(const char* rule, const char* format, ...) {
  std::fprintf(stderr, "*** tolvex verifier: %s", rule);
  if (format != nullptr) {
    std::fputs(": ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
  }
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

Platform::Platform() = default;

Platform::~Platform() {
  {
    std::lock_guard lock(work_mutex_);
    work_stop_ = true;
  }
  work_cv_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  if (!work_queue_.empty()) {
    BugCheck("platform destroyed with work items still queued", "%zu items", work_queue_.size());
  }
}

Platform& Platform::Current() {
  if (t_platform == nullptr) BugCheck("kernel service called from a thread without a platform");
  return *t_platform;
}

Platform* Platform::CurrentOrNull() {
  return t_platform;
}

PlatformScope::PlatformScope(Platform& platform) : previous_(t_platform) {
  t_platform = &platform;
}

PlatformScope::~PlatformScope() {
  t_platform = previous_;
}

std::thread Platform::StartSystemThread(std::string name, std::function<void()> body,
                                        const char* file, int line) {
  // A driver's threads are sites (that never fail); the platform's own workers, started for
  // the first work item, are not.
  if (ServiceSite::Current() == nullptr) {
    ServiceSite site("StartSystemThread", file, line);
    (void)faults_.Reach("thread", false);
  }
  return std::thread([this, name = std::move(name), body = std::move(body)] {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    PlatformScope scope(*this);
    body();
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
      BugCheck("system thread ended at a raised interrupt level", "%s", name.c_str());
    }
  });
}

void Platform::QueueWorkItem(PWORK_QUEUE_ITEM item) {
  LIST_ENTRY* expected = nullptr;
  if (!__atomic_compare_exchange_n(&item->List.Flink, &expected, kQueuedMark, false,
                                   __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    BugCheck("work item queued while it is still queued", "item %p", static_cast<void*>(item));
  }
  {
    std::lock_guard lock(work_mutex_);
    if (workers_.empty()) {
      for (int i = 0; i < kWorkerThreads; ++i) {
        workers_.push_back(StartSystemThread("worker", [this] { WorkerLoop(); }));
      }
    }
    work_queue_.push_back(item);
  }
  // Once the lock is let go: a worker woken under it would only block again on the lock. None
  // can miss the item: each looks at the queue under the lock before it waits.
  work_cv_.notify_one();
}

void Platform::WorkerLoop() {
  std::unique_lock lock(work_mutex_);
  for (;;) {
    work_cv_.wait(lock, [this] { return work_stop_ || !work_queue_.empty(); });
    if (work_queue_.empty()) return;  // stopping, nothing left
    PWORK_QUEUE_ITEM item = work_queue_.front();
    work_queue_.pop_front();
    ++work_running_;
    PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
    PVOID parameter = item->Parameter;
    // Off the queue before the routine runs: it may queue the item again, or free it.
    __atomic_store_n(&item->List.Flink, static_cast<LIST_ENTRY*>(nullptr), __ATOMIC_RELEASE);
    lock.unlock();
    routine(parameter);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
      BugCheck("work item routine returned at a raised interrupt level", "routine %p",
               reinterpret_cast<void*>(routine));
    }
    lock.lock();
    --work_running_;
    if (work_running_ == 0 && work_queue_.empty()) work_idle_cv_.notify_all();
  }
}

void Platform::DrainWorkQueue() {
  std::unique_lock lock(work_mutex_);
  work_idle_cv_.wait(lock, [this] { return work_running_ == 0 && work_queue_.empty(); });
}

NTSTATUS Platform::InsertName(std::u16string_view name, PDEVICE_OBJECT device,
                              std::u16string_view link) {
  if (name.empty() || name.front() != u'\\') return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard lock(names_mutex_);
  auto [it, inserted] = names_.try_emplace(FoldCase(name));
  if (!inserted) return STATUS_OBJECT_NAME_COLLISION;
  it->second.device = device;
  it->second.link = std::u16string(link);
  if (device != nullptr) device_names_[device] = std::u16string(name);
  return STATUS_SUCCESS;
}

void Platform::RemoveName(std::u16string_view name) {
  std::lock_guard lock(names_mutex_);
  auto it = names_.find(FoldCase(name));
  if (it == names_.end()) return;
  if (it->second.device != nullptr) device_names_.erase(it->second.device);
  names_.erase(it);
}

std::u16string Platform::DeviceName(PDEVICE_OBJECT device) const {
  std::lock_guard lock(names_mutex_);
  auto it = device_names_.find(device);
  return it == device_names_.end() ? std::u16string() : it->second;
}

NTSTATUS Platform::ResolveName(std::u16string_view name, PDEVICE_OBJECT* device) const {
  std::lock_guard lock(names_mutex_);
  return ResolveNameLocked(name, device);
}

NTSTATUS Platform::ResolveNameLocked(std::u16string_view name, PDEVICE_OBJECT* device) const {
  std::u16string current = FoldCase(name);
  for (int depth = 0; depth < 8; ++depth) {
    auto it = names_.find(current);
    if (it == names_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (it->second.device != nullptr) {
      *device = it->second.device;
      return STATUS_SUCCESS;
    }
    current = FoldCase(it->second.link);
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

PDEVICE_OBJECT Platform::FindDevice(std::u16string_view name) {
  PDEVICE_OBJECT device = nullptr;
  return NT_SUCCESS(ResolveName(name, &device)) ? device : nullptr;
}

std::vector<std::u16string> Platform::Names() const {
  std::lock_guard lock(names_mutex_);
  std::vector<std::u16string> result;
  for (const auto& [name, entry] : names_) result.push_back(name);
  return result;
}

namespace {
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

constexpr ULONG kDriverTag = PoolTag("Drv ");
}  // namespace

NTSTATUS Platform::LoadDriver(std::u16string_view name, DriverEntryFunction entry,
                              std::u16string_view registry_path, ULONG pool_tag,
                              PDRIVER_OBJECT* driver, const char* file, int line) {
  PlatformScope scope(*this);
  *driver = nullptr;
  // Driver object, its extension and both names in one block.
  const size_t name_bytes = (name.size() + 1) * sizeof(char16_t);
  const size_t path_bytes = (registry_path.size() + 1) * sizeof(char16_t);
  const size_t size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION) + name_bytes + path_bytes;
  DRIVER_OBJECT* object;
  {
    // Only the driver object counts for the caller's site: DriverEntry's calls have their own.
    ServiceSite site("LoadDriver", file, line);
    object = static_cast<DRIVER_OBJECT*>(ExAllocatePoolWithTag(NonPagedPool, size, kDriverTag));
  }
  if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(object, 0, size);
  auto* extension = reinterpret_cast<DRIVER_EXTENSION*>(object + 1);
  auto* name_chars = reinterpret_cast<char16_t*>(extension + 1);
  auto* path_chars = name_chars + name.size() + 1;
  std::memcpy(name_chars, name.data(), name.size() * sizeof(char16_t));
  std::memcpy(path_chars, registry_path.data(), registry_path.size() * sizeof(char16_t));
  object->Type = IO_TYPE_DRIVER;
  object->Size = static_cast<SHORT>(sizeof(DRIVER_OBJECT));
  object->DriverExtension = extension;
  extension->DriverObject = object;
  object->DriverName = UNICODE_STRING{static_cast<USHORT>(name.size() * 2),
                                      static_cast<USHORT>(name_bytes), name_chars};
  for (auto& dispatch : object->MajorFunction) dispatch = InvalidDeviceRequest;
  UNICODE_STRING path{static_cast<USHORT>(registry_path.size() * 2),
                      static_cast<USHORT>(path_bytes), path_chars};
  extension->ServiceKeyName = path;
  {
    std::lock_guard lock(names_mutex_);
    drivers_[object] = DriverRecord{pool_tag};
  }
  NTSTATUS status = entry(object, &path);
  if (!NT_SUCCESS(status)) {
    if (object->DeviceObject != nullptr) {
      BugCheck("driver entry failed but left devices behind", "status 0x%08X",
               static_cast<ULONG>(status));
    }
    {
      std::lock_guard lock(names_mutex_);
      drivers_.erase(object);
    }
    ExFreePool(object);
    return status;
  }
  *driver = object;
  return STATUS_SUCCESS;
}

void Platform::UnloadDriver(PDRIVER_OBJECT driver) {
  PlatformScope scope(*this);
  if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
  if (driver->DeviceObject != nullptr) {
    BugCheck("driver unloaded with devices still present");
  }
  ULONG tag = 0;
  {
    std::lock_guard lock(names_mutex_);
    // Devices that open handles keep alive outlive their driver: nothing is sent to them any
    // more (DereferenceObject).
    for (PDEVICE_OBJECT device : delete_pending_) {
      if (device->DriverObject == driver) device->DriverObject = nullptr;
    }
    auto it = drivers_.find(driver);
    if (it != drivers_.end()) {
      tag = it->second.pool_tag;
      drivers_.erase(it);
    }
  }
  if (tag != 0) {
    // Work items of the driver that are still running may hold its memory a little longer.
    DrainWorkQueue();
    PoolMonitor::TagUsage usage = pool_.Usage(tag);
    if (usage.allocations != 0) {
      BugCheck("driver unloaded with pool of its tag still allocated", "%s",
               pool_.Describe().c_str());
    }
  }
  ExFreePool(driver);
}

}  // namespace tolvex::platform
