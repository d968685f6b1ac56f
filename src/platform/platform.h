// The kernel-services layer: one Platform is one machine's worth of kernel.
//
// Theory of operation
// -------------------
// The driver and the serial port drivers are written against the kernel programming
// interface of ke.h, ex.h, io.h and rtl.h. Those functions are free functions, as the driver
// expects; the state behind them (pool accounting, the name table, the registry, the work
// queue, the cancel spin lock, the clock) belongs to a Platform object, so that one process
// can run several independent machines (a test per fixture, a pcscd reader per Lun).
//
// A thread reaches its platform through a thread-local pointer. Threads the platform starts
// (system worker threads, serial port threads) carry it from birth; any other thread that
// calls into a driver enters the platform with a PlatformScope first. Calling a kernel service
// from a thread without a platform stops the process with a verifier message.
//
// Threads inside a platform:
//  - system worker threads (four), which run work items from the critical work queue;
//  - threads started with StartSystemThread (serial port threads, simulators);
//  - callers' threads inside a PlatformScope (applications, tests, the tools).
//
// Verifier. What a kernel would stop the machine for, this layer stops the process for, with a
// message naming the broken rule ("*** tolvex verifier: ..."): waits and sleeps at
// DISPATCH_LEVEL, a request completed twice, pool freed twice or never allocated, a spin lock
// re-acquired by its owner, a driver unloaded with pool of its tag still allocated, a work item
// queued while still queued. Tests show each check with a death test.
//
// Clock. All waits with a time-out, sleeps and stalls pass through Clock, which can record
// them (tests assert "25 ms eight times, then 450 ms") and can skip sleeps and stalls instead
// of spending them (DelayMode::kSkip), so that tests do not wait out the reader's pacing
// delays. Wait time-outs are always real: a wait ends when its event is signalled or its time
// has truly passed.
//
// Fault sites. Every kernel service that can fail for want of memory (pool, requests, device,
// file and driver objects, symbolic links) takes its caller's file and line as trailing
// default arguments, so each call in a driver is a site of its own without the driver saying
// so. The service marks its duration with a ServiceSite; what it allocates inside (a request
// built for the caller allocates the request and its system buffer) counts for the caller's
// site, one entry per pool tag. FaultSites counts every site reached and can make a chosen
// site fail once, so a test can starve each call of a scenario in turn. Work items and system
// threads are counted as sites too, but never fail: queuing and starting them cannot.
#pragma once

#include <atomic>
#include <chrono>
#include <compare>
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/ex.h"
#include "platform/io.h"
#include "platform/ke.h"
#include "platform/ntdef.h"
#include "platform/rtl.h"

namespace tolvex::platform {

// Stops the process with a verifier message. Never returns.
[[noreturn]] void BugCheck(const char* rule, const char* format = nullptr, ...)
    __attribute__((format(printf, 2, 3)));

class Clock {
 public:
  // kRanOut: a wait whose time ran out (its amount as the wait's), noted when it returns.
  enum class Kind { kDelay, kStall, kWait, kRanOut };
  enum class DelayMode { kReal, kSkip };
  struct Record {
    Kind kind;
    // Delays and waits: 100 ns units (positive; -1 for a wait without limit). Stalls: us.
    LONGLONG amount;
    std::thread::id thread;
  };

  void SetDelayMode(DelayMode mode) { delay_mode_.store(mode); }
  DelayMode delay_mode() const { return delay_mode_.load(); }

  // Recording is off by default; records are kept from StartRecording until StopRecording.
  void StartRecording();
  void StopRecording();
  std::vector<Record> Records() const;
  void ClearRecords();
  // The delays (kDelay) asked for, in milliseconds, in order; only those of `thread` if given.
  std::vector<ULONG> DelaysMs(std::optional<std::thread::id> thread = std::nullopt) const;
  // Wait time-outs in milliseconds (-1: no limit), in order.
  std::vector<LONGLONG> WaitsMs(std::optional<std::thread::id> thread = std::nullopt) const;
  // The time-outs of the waits that ran out (rather than being ended by their event).
  std::vector<LONGLONG> RanOutMs(std::optional<std::thread::id> thread = std::nullopt) const;
  // Number of stalls, and their total in microseconds.
  size_t StallCount(std::optional<std::thread::id> thread = std::nullopt) const;

  void Note(Kind kind, LONGLONG amount);

 private:
  std::atomic<DelayMode> delay_mode_{DelayMode::kReal};
  std::atomic<bool> recording_{false};
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

class PoolMonitor {
 public:
  struct TagUsage {
    size_t allocations = 0;  // currently allocated
    size_t bytes = 0;
    size_t total_allocations = 0;  // ever allocated
  };

  PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag);
  // Stops the process if pool of `type` may not be allocated at the current level.
  void CheckLevel(POOL_TYPE type, ULONG tag) const;
  void Free(PVOID p, std::optional<ULONG> expected_tag);

  TagUsage Usage(ULONG tag) const;
  size_t OutstandingAllocations() const;
  // Lists outstanding allocations ("SCB3: 2 allocations, 1200 bytes") for messages.
  std::string Describe() const;

  // Fault injection: of the allocations with `tag` (0: any tag) from now on, let `skip`
  // succeed, then fail the next `count`.
  void FailAllocations(ULONG tag, size_t skip, size_t count = 1);
  void ClearFailures();

 private:
  struct Failure {
    ULONG tag;
    size_t skip;
    size_t count;
  };
  bool ShouldFail(ULONG tag);

  mutable std::mutex mutex_;
  std::unordered_map<PVOID, std::pair<ULONG, SIZE_T>> live_;
  std::map<ULONG, TagUsage> usage_;
  std::vector<Failure> failures_;
};

// Counts the sites reached and fails one chosen site once (see "Fault sites" above).
class FaultSites {
 public:
  struct Site {
    std::string file;  // from the source tree's top: "src/driver/link/receive.cc"
    int line = 0;
    std::string service;  // the kernel service called there: "IoBuildDeviceIoControlRequest"
    std::string what;     // what it allocates: a pool tag ("IoBf"), "link", "work item"
    bool can_fail = true;
    auto operator<=>(const Site&) const = default;
    // "src/driver/link/receive.cc:316 IoBuildDeviceIoControlRequest [IoBf]"
    std::string Describe() const;
  };

  // Records an arrival at the site of the service running on the calling thread (the
  // innermost ServiceSite's caller); true when the armed failure hits it.
  bool Reach(std::string_view what, bool can_fail = true);

  // The sites reached since the last ClearSeen, with how often.
  std::map<Site, size_t> Seen() const;
  void ClearSeen();

  // Arms one failure: of the arrivals at `site` from now on, let `skip` through and fail the
  // next. Replaces a failure armed before.
  void FailAt(const Site& site, size_t skip = 0);
  void Disarm();
  // While held, arrivals at the armed site neither count towards `skip` nor fail.
  void Hold(bool held);
  // Whether the armed failure has happened.
  bool failed() const;

 private:
  // An arrival as Reach sees it: the frame's raw pointers (each file's and service's name is
  // a literal, so equal pointers are the same site).
  struct Arrival {
    const char* file;
    int line;
    const char* service;
    std::string what;
    bool can_fail;
    bool operator==(const Arrival&) const = default;
  };
  struct ArrivalHash {
    size_t operator()(const Arrival& arrival) const;
  };
  static Site SiteOf(const Arrival& arrival);

  mutable std::mutex mutex_;
  std::unordered_map<Arrival, size_t, ArrivalHash> arrivals_;
  std::optional<Site> target_;
  size_t skip_ = 0;
  bool held_ = false;
  bool failed_ = false;
};

// The caller a kernel service runs for, on the calling thread.
struct SiteFrame {
  const char* service = nullptr;
  const char* file = nullptr;
  int line = 0;
  bool must_succeed = false;  // nothing fails in it
};

// Marks a kernel service's duration on the calling thread and names its caller's site. The
// outermost one counts: what a service does for its caller through other services (a request
// it allocates through IoAllocateIrp, a buffer through the pool) belongs to its caller's site.
class ServiceSite {
 public:
  ServiceSite(const char* service, const char* file, int line);
  ~ServiceSite();
  ServiceSite(const ServiceSite&) = delete;
  ServiceSite& operator=(const ServiceSite&) = delete;
  // The innermost frame of the calling thread; null outside every service.
  static const SiteFrame* Current();

 private:
  SiteFrame frame_;
  const SiteFrame* previous_;
};

// For its lifetime the calling thread is in no service: a driver called from inside a service
// (the create request of IoGetDeviceObjectPointer) has sites of its own. With must_succeed,
// nothing fails meanwhile: the platform's requests that must get through (a handle's cleanup
// and close, which no one could retry).
class ServiceSiteBarrier {
 public:
  explicit ServiceSiteBarrier(bool must_succeed);
  ~ServiceSiteBarrier();
  ServiceSiteBarrier(const ServiceSiteBarrier&) = delete;
  ServiceSiteBarrier& operator=(const ServiceSiteBarrier&) = delete;

 private:
  SiteFrame frame_;
  const SiteFrame* previous_;
};

class Registry {
 public:
  struct Value {
    ULONG type;
    std::vector<UCHAR> data;
  };
  void CreateKey(std::u16string_view path);
  void SetValue(std::u16string_view path, std::u16string_view name, ULONG type,
                std::vector<UCHAR> data);
  void SetDword(std::u16string_view path, std::u16string_view name, ULONG value);
  void SetString(std::u16string_view path, std::u16string_view name, std::u16string_view value);
  void DeleteValue(std::u16string_view path, std::u16string_view name);
  bool KeyExists(std::u16string_view path) const;
  std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name) const;

 private:
  static std::u16string KeyOf(std::u16string_view text);
  mutable std::mutex mutex_;
  std::map<std::u16string, std::map<std::u16string, Value>> keys_;
};

class Platform {
 public:
  Platform();
  ~Platform();
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  // The platform of the calling thread; stops the process if there is none.
  static Platform& Current();
  static Platform* CurrentOrNull();

  Clock& clock() { return clock_; }
  PoolMonitor& pool() { return pool_; }
  Registry& registry() { return registry_; }
  FaultSites& faults() { return faults_; }

  // Loads a driver: creates its driver object named `name` (for example u"\\Driver\\Tolvex")
  // and calls `entry` with it and `registry_path` on the calling thread. On failure the driver
  // object is released and its status returned. `pool_tag` is the driver's pool tag: unloading
  // with memory of that tag still allocated is a verifier stop (0: no check).
  using DriverEntryFunction = std::function<NTSTATUS(PDRIVER_OBJECT, PUNICODE_STRING)>;
  [[nodiscard]] NTSTATUS LoadDriver(std::u16string_view name, DriverEntryFunction entry,
                                    std::u16string_view registry_path, ULONG pool_tag,
                                    PDRIVER_OBJECT* driver, const char* file = __builtin_FILE(),
                                    int line = __builtin_LINE());
  // Calls the driver's unload routine, checks that it deleted its devices and freed its pool,
  // and releases the driver object.
  void UnloadDriver(PDRIVER_OBJECT driver);

  // Starts a thread that belongs to this platform. The returned thread must be joined before
  // the platform is destroyed.
  std::thread StartSystemThread(std::string name, std::function<void()> body,
                                const char* file = __builtin_FILE(), int line = __builtin_LINE());

  // Looks a name up, following symbolic links; null if unknown.
  PDEVICE_OBJECT FindDevice(std::u16string_view name);
  std::vector<std::u16string> Names() const;

  // Waits until no work item is queued or running on the work queue.
  void DrainWorkQueue();

  // The name a device was created with; empty if it has none.
  std::u16string DeviceName(PDEVICE_OBJECT device) const;

  // --- services behind the free functions (not for drivers) ---
  KSPIN_LOCK* cancel_lock() { return &cancel_lock_; }
  void QueueWorkItem(PWORK_QUEUE_ITEM item);
  NTSTATUS CreateDevice(PDRIVER_OBJECT driver, ULONG extension_size, PUNICODE_STRING name,
                        DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* device);
  void DeleteDevice(PDEVICE_OBJECT device);
  NTSTATUS OpenDevice(std::u16string_view name, ULONG access, PFILE_OBJECT* file,
                      PDEVICE_OBJECT* device);
  void ReferenceObject(PVOID object);
  void DereferenceObject(PVOID object);
  NTSTATUS CreateLink(std::u16string_view link, std::u16string_view target);
  NTSTATUS DeleteLink(std::u16string_view link);

 private:
  struct NameEntry {
    PDEVICE_OBJECT device = nullptr;  // a device, or
    std::u16string link;              // the name a symbolic link points at
  };
  struct DriverRecord {
    ULONG pool_tag = 0;
  };

  void WorkerLoop();
  NTSTATUS InsertName(std::u16string_view name, PDEVICE_OBJECT device, std::u16string_view link);
  void RemoveName(std::u16string_view name);
  NTSTATUS ResolveName(std::u16string_view name, PDEVICE_OBJECT* device) const;
  NTSTATUS ResolveNameLocked(std::u16string_view name, PDEVICE_OBJECT* device) const;
  void ReleaseDevice(PDEVICE_OBJECT device);
  NTSTATUS SendSynchronous(PDEVICE_OBJECT device, UCHAR major, PFILE_OBJECT file, ULONG access);

  Clock clock_;
  PoolMonitor pool_;
  Registry registry_;
  FaultSites faults_;
  KSPIN_LOCK cancel_lock_ = 0;

  mutable std::mutex names_mutex_;
  std::map<std::u16string, NameEntry> names_;  // key: folded name
  std::unordered_map<PDEVICE_OBJECT, std::u16string> device_names_;
  std::unordered_map<PDRIVER_OBJECT, DriverRecord> drivers_;
  std::unordered_set<PDEVICE_OBJECT> delete_pending_;

  std::mutex work_mutex_;
  std::condition_variable work_cv_;
  std::condition_variable work_idle_cv_;
  std::deque<PWORK_QUEUE_ITEM> work_queue_;
  size_t work_running_ = 0;
  bool work_stop_ = false;
  std::vector<std::thread> workers_;
};

// Makes `platform` the calling thread's platform for the scope's lifetime.
class PlatformScope {
 public:
  explicit PlatformScope(Platform& platform);
  ~PlatformScope();
  PlatformScope(const PlatformScope&) = delete;
  PlatformScope& operator=(const PlatformScope&) = delete;

 private:
  Platform* previous_;
};

// Scoped spin lock: raises to DISPATCH_LEVEL for the guard's lifetime.
class SpinLockGuard {
 public:
  explicit SpinLockGuard(KSPIN_LOCK* lock) : lock_(lock), old_irql_(KfAcquireSpinLock(lock)) {}
  ~SpinLockGuard() { KfReleaseSpinLock(lock_, old_irql_); }
  SpinLockGuard(const SpinLockGuard&) = delete;
  SpinLockGuard& operator=(const SpinLockGuard&) = delete;

 private:
  KSPIN_LOCK* lock_;
  KIRQL old_irql_;
};

// Scoped cancel spin lock.
class CancelLockGuard {
 public:
  CancelLockGuard() { IoAcquireCancelSpinLock(&old_irql_); }
  ~CancelLockGuard() { IoReleaseCancelSpinLock(old_irql_); }
  CancelLockGuard(const CancelLockGuard&) = delete;
  CancelLockGuard& operator=(const CancelLockGuard&) = delete;

 private:
  KIRQL old_irql_ = PASSIVE_LEVEL;
};

// Raises the calling thread to `level` for the guard's lifetime.
class IrqlGuard {
 public:
  explicit IrqlGuard(KIRQL level) { KeRaiseIrql(level, &old_irql_); }
  ~IrqlGuard() { KeLowerIrql(old_irql_); }
  IrqlGuard(const IrqlGuard&) = delete;
  IrqlGuard& operator=(const IrqlGuard&) = delete;

 private:
  KIRQL old_irql_ = PASSIVE_LEVEL;
};

// Plain 8- and 32-bit words that threads share without a lock (a status one thread posts and
// another polls) are read and written whole, with these.
template <typename T>
T SharedLoad(const T& word) {
  static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= 8);
  return std::atomic_ref<T>(const_cast<T&>(word)).load(std::memory_order_relaxed);
}
template <typename T, typename V>
void SharedStore(T& word, V value) {
  static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= 8);
  std::atomic_ref<T>(word).store(static_cast<T>(value), std::memory_order_relaxed);
}

// UTF-16 helpers for names and messages.
std::u16string ToU16(std::string_view text);
// Folds ASCII letters to lower case, as the name table and the registry compare names.
std::u16string FoldCase(std::u16string_view text);
std::string ToUtf8(std::u16string_view text);
std::u16string_view View(const UNICODE_STRING& text);
// A pool tag as its four characters ("Irp "), unprintable ones as '?'.
std::string TagText(ULONG tag);

}  // namespace tolvex::platform
