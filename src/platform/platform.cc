#include "platform/platform.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

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

// ---------------------------------------------------------------------------------------------
// Clock

void Clock::StartRecording() {
  std::lock_guard lock(mutex_);
  records_.clear();
  recording_.store(true);
}

void Clock::StopRecording() {
  recording_.store(false);
}

std::vector<Clock::Record> Clock::Records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

void Clock::ClearRecords() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

void Clock::Note(Kind kind, LONGLONG amount) {
  if (!recording_.load()) return;
  std::lock_guard lock(mutex_);
  records_.push_back(Record{kind, amount, std::this_thread::get_id()});
}

std::vector<ULONG> Clock::DelaysMs(std::optional<std::thread::id> thread) const {
  std::vector<ULONG> result;
  for (const Record& r : Records()) {
    if (r.kind == Kind::kDelay && (!thread || r.thread == *thread)) {
      result.push_back(static_cast<ULONG>(r.amount / 10000));
    }
  }
  return result;
}

namespace {

std::vector<LONGLONG> WaitRecordsMs(const std::vector<Clock::Record>& records, Clock::Kind kind,
                                    std::optional<std::thread::id> thread) {
  std::vector<LONGLONG> result;
  for (const Clock::Record& r : records) {
    if (r.kind == kind && (!thread || r.thread == *thread)) {
      result.push_back(r.amount < 0 ? -1 : r.amount / 10000);
    }
  }
  return result;
}

}  // namespace

std::vector<LONGLONG> Clock::WaitsMs(std::optional<std::thread::id> thread) const {
  return WaitRecordsMs(Records(), Kind::kWait, thread);
}

std::vector<LONGLONG> Clock::RanOutMs(std::optional<std::thread::id> thread) const {
  return WaitRecordsMs(Records(), Kind::kRanOut, thread);
}

size_t Clock::StallCount(std::optional<std::thread::id> thread) const {
  size_t count = 0;
  for (const Record& r : Records()) {
    if (r.kind == Kind::kStall && (!thread || r.thread == *thread)) ++count;
  }
  return count;
}

// ---------------------------------------------------------------------------------------------
// Pool

namespace {
// Allocation header, in front of every pool block.
struct alignas(16) PoolHeader {
  ULONG magic;
  ULONG tag;
  SIZE_T bytes;
};
constexpr ULONG kPoolMagic = 0x6C6F6F50;  // "Pool"
constexpr UCHAR kFreshFill = 0xA5;
constexpr UCHAR kFreedFill = 0xDD;

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return text;
}
}  // namespace

// Every rule that covers the tag counts the allocation, whichever of them makes it fail.
bool PoolMonitor::ShouldFail(ULONG tag) {
  bool fail = false;
  for (auto it = failures_.begin(); it != failures_.end();) {
    if (it->tag != 0 && it->tag != tag) {
      ++it;
    } else if (it->skip > 0) {
      --it->skip;
      ++it;
    } else {
      fail = true;
      it = --it->count == 0 ? failures_.erase(it) : it + 1;
    }
  }
  return fail;
}

PVOID PoolMonitor::Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  if (type == PagedPool && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    BugCheck("paged pool allocated at DISPATCH_LEVEL", "tag %s", TagText(tag).c_str());
  }
  {
    std::lock_guard lock(mutex_);
    if (ShouldFail(tag)) return nullptr;
  }
  auto* header = static_cast<PoolHeader*>(std::malloc(sizeof(PoolHeader) + bytes));
  if (header == nullptr) return nullptr;
  header->magic = kPoolMagic;
  header->tag = tag;
  header->bytes = bytes;
  PVOID p = header + 1;
  std::memset(p, kFreshFill, bytes);
  std::lock_guard lock(mutex_);
  live_.emplace(p, std::make_pair(tag, bytes));
  TagUsage& usage = usage_[tag];
  ++usage.allocations;
  ++usage.total_allocations;
  usage.bytes += bytes;
  return p;
}

void PoolMonitor::Free(PVOID p, std::optional<ULONG> expected_tag) {
  if (p == nullptr) BugCheck("freeing a null pool pointer");
  {
    std::lock_guard lock(mutex_);
    auto it = live_.find(p);
    if (it == live_.end()) {
      BugCheck("freeing pool memory that is not allocated",
               "%p was freed before, or never came from the pool", p);
    }
    if (expected_tag && *expected_tag != it->second.first) {
      BugCheck("freeing pool memory with the wrong tag", "%p has tag %s, freed as %s", p,
               TagText(it->second.first).c_str(), TagText(*expected_tag).c_str());
    }
    TagUsage& usage = usage_[it->second.first];
    --usage.allocations;
    usage.bytes -= it->second.second;
    live_.erase(it);
  }
  PoolHeader* header = static_cast<PoolHeader*>(p) - 1;
  std::memset(p, kFreedFill, header->bytes);
  header->magic = 0;
  std::free(header);
}

PoolMonitor::TagUsage PoolMonitor::Usage(ULONG tag) const {
  std::lock_guard lock(mutex_);
  auto it = usage_.find(tag);
  return it == usage_.end() ? TagUsage{} : it->second;
}

size_t PoolMonitor::OutstandingAllocations() const {
  std::lock_guard lock(mutex_);
  return live_.size();
}

std::string PoolMonitor::Describe() const {
  std::lock_guard lock(mutex_);
  std::string text;
  for (const auto& [tag, usage] : usage_) {
    if (usage.allocations == 0) continue;
    if (!text.empty()) text += ", ";
    text += TagText(tag) + ": " + std::to_string(usage.allocations) + " allocations, " +
            std::to_string(usage.bytes) + " bytes";
  }
  return text.empty() ? "nothing" : text;
}

void PoolMonitor::FailAllocations(ULONG tag, size_t skip, size_t count) {
  std::lock_guard lock(mutex_);
  if (count > 0) failures_.push_back(Failure{tag, skip, count});
}

void PoolMonitor::ClearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

// ---------------------------------------------------------------------------------------------
// Registry

std::u16string Registry::KeyOf(std::u16string_view text) {
  std::u16string folded = FoldCase(text);
  while (!folded.empty() && folded.back() == u'\\') folded.pop_back();
  return folded;
}

void Registry::CreateKey(std::u16string_view path) {
  std::lock_guard lock(mutex_);
  keys_[KeyOf(path)];
}

void Registry::SetValue(std::u16string_view path, std::u16string_view name, ULONG type,
                        std::vector<UCHAR> data) {
  std::lock_guard lock(mutex_);
  keys_[KeyOf(path)][KeyOf(name)] = Value{type, std::move(data)};
}

void Registry::SetDword(std::u16string_view path, std::u16string_view name, ULONG value) {
  std::vector<UCHAR> data(4);
  std::memcpy(data.data(), &value, 4);
  SetValue(path, name, REG_DWORD, std::move(data));
}

void Registry::SetString(std::u16string_view path, std::u16string_view name,
                         std::u16string_view value) {
  std::vector<UCHAR> data((value.size() + 1) * sizeof(char16_t), 0);
  std::memcpy(data.data(), value.data(), value.size() * sizeof(char16_t));
  SetValue(path, name, REG_SZ, std::move(data));
}

void Registry::DeleteValue(std::u16string_view path, std::u16string_view name) {
  std::lock_guard lock(mutex_);
  auto key = keys_.find(KeyOf(path));
  if (key != keys_.end()) key->second.erase(KeyOf(name));
}

bool Registry::KeyExists(std::u16string_view path) const {
  std::lock_guard lock(mutex_);
  return keys_.count(KeyOf(path)) != 0;
}

std::optional<Registry::Value> Registry::GetValue(std::u16string_view path,
                                                  std::u16string_view name) const {
  std::lock_guard lock(mutex_);
  auto key = keys_.find(KeyOf(path));
  if (key == keys_.end()) return std::nullopt;
  auto value = key->second.find(KeyOf(name));
  if (value == key->second.end()) return std::nullopt;
  return value->second;
}

// ---------------------------------------------------------------------------------------------
// Platform

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

std::thread Platform::StartSystemThread(std::string name, std::function<void()> body) {
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
  std::lock_guard lock(work_mutex_);
  if (workers_.empty()) {
    for (int i = 0; i < kWorkerThreads; ++i) {
      workers_.push_back(StartSystemThread("worker", [this] { WorkerLoop(); }));
    }
  }
  work_queue_.push_back(item);
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

std::u16string FoldCase(std::u16string_view text) {
  std::u16string folded(text);
  for (char16_t& c : folded) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return folded;
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
                              PDRIVER_OBJECT* driver) {
  PlatformScope scope(*this);
  *driver = nullptr;
  // Driver object, its extension and both names in one block.
  const size_t name_bytes = (name.size() + 1) * sizeof(char16_t);
  const size_t path_bytes = (registry_path.size() + 1) * sizeof(char16_t);
  const size_t size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION) + name_bytes + path_bytes;
  auto* object = static_cast<DRIVER_OBJECT*>(ExAllocatePoolWithTag(NonPagedPool, size, kDriverTag));
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

// ---------------------------------------------------------------------------------------------
// Text helpers

std::u16string ToU16(std::string_view text) {
  std::u16string result;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    char32_t code = c;
    size_t extra = 0;
    if (c >= 0xF0) {
      code = c & 0x07;
      extra = 3;
    } else if (c >= 0xE0) {
      code = c & 0x0F;
      extra = 2;
    } else if (c >= 0xC0) {
      code = c & 0x1F;
      extra = 1;
    }
    ++i;
    for (size_t k = 0; k < extra && i < text.size(); ++k, ++i) {
      code = (code << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      result.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      result.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      result.push_back(static_cast<char16_t>(code));
    }
  }
  return result;
}

std::string ToUtf8(std::u16string_view text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size()) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (code < 0x80) {
      result.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      result.push_back(static_cast<char>(0xC0 | (code >> 6)));
      result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      result.push_back(static_cast<char>(0xE0 | (code >> 12)));
      result.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      result.push_back(static_cast<char>(0xF0 | (code >> 18)));
      result.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return result;
}

std::u16string_view View(const UNICODE_STRING& text) {
  if (text.Buffer == nullptr) return {};
  return std::u16string_view(text.Buffer, text.Length / sizeof(WCHAR));
}

}  // namespace tolvex::platform
