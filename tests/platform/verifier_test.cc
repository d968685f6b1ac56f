// The verifier: each kernel rule it enforces, shown to stop the process with its message.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>

#include "support/test_driver.h"

namespace {

using tolvex::platform::Clock;
using tolvex::platform::IrqlGuard;
using tolvex::platform::Platform;
using tolvex::platform::SpinLockGuard;
using tolvex::testing::TestDriverTest;
using Handler = TestDriverTest::Handler;

class VerifierDeathTest;
struct Rule {
  const char* name;
  std::function<void(VerifierDeathTest&)> breach;
  const char* message;  // after "*** tolvex verifier: "
};

class VerifierDeathTest : public TestDriverTest, public ::testing::WithParamInterface<Rule> {
 public:
  void SetUp() override {
    // The platform runs threads of its own: the child must start afresh, not fork them.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TestDriverTest::SetUp();
  }
  // Sends a device control request with a 4-byte output buffer to a device of the test driver
  // with `handler`, or to the device in front of it, which passes the request on.
  void Send(Handler handler, bool through_another = false) {
    PDEVICE_OBJECT device = AddDevice(nullptr, std::move(handler));
    if (through_another) {
      device = AddDevice(nullptr, [device](PDEVICE_OBJECT, PIRP irp) {
        return IofCallDriver(device, irp);  // with no stack location of its own
      });
    }
    UCHAR output[4] = {};
    (void)IofCallDriver(device, IoBuildDeviceIoControlRequest(0x810, device, nullptr, 0, output, 4,
                                                              FALSE, nullptr, nullptr));
  }
  void Unload() { platform_.UnloadDriver(driver_); }
  Clock& clock() { return platform_.clock(); }
};

TEST_P(VerifierDeathTest, StopsTheProcessWithTheRuleBroken) {
  EXPECT_DEATH(GetParam().breach(*this),
               std::string("\\*\\*\\* tolvex verifier: ") + GetParam().message);
}

// A rule broken by the device a request is sent to (through a device in front of it).
Rule Sent(const char* name, Handler handler, const char* message, bool through_another = false) {
  return {name, [=](VerifierDeathTest& test) { test.Send(handler, through_another); }, message};
}

void HoldWorker(PVOID gate) {
  (void)KeWaitForSingleObject(gate, Executive, KernelMode, FALSE, nullptr);
}

PVOID Allocate(POOL_TYPE type = NonPagedPool) {
  return ExAllocatePoolWithTag(type, 24, TestDriverTest::kDriverTag);
}

const Rule kRules[] = {
    {"WaitThatCanBlockAtDispatchLevel",
     [](VerifierDeathTest&) {
       KEVENT event{};
       SpinLockGuard guard(Platform::Current().cancel_lock());
       LARGE_INTEGER timeout = RelativeMilliseconds(10);
       (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
     },
     "wait at DISPATCH_LEVEL"},
    {"SleepAtDispatchLevelEvenWhenSleepsAreSkipped",
     [](VerifierDeathTest& test) {
       test.clock().SetDelayMode(Clock::DelayMode::kSkip);
       IrqlGuard guard(DISPATCH_LEVEL);
       LARGE_INTEGER interval = RelativeMilliseconds(1);
       (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
     },
     "sleep at DISPATCH_LEVEL"},
    {"PagedPoolAtDispatchLevel",
     [](VerifierDeathTest&) {
       IrqlGuard guard(DISPATCH_LEVEL);
       (void)Allocate(PagedPool);
     },
     "paged pool allocated at DISPATCH_LEVEL"},
    {"SpinLockAcquiredAgainByItsHolder",
     [](VerifierDeathTest&) {
       KSPIN_LOCK lock = 0;
       SpinLockGuard guard(&lock);
       (void)KfAcquireSpinLock(&lock);
     },
     "spin lock acquired again by the thread that holds it"},
    {"SpinLockAcquiredAboveDispatchLevel",
     [](VerifierDeathTest&) {
       KSPIN_LOCK lock = 0;
       IrqlGuard guard(HIGH_LEVEL);
       (void)KfAcquireSpinLock(&lock);
     },
     "spin lock acquired above DISPATCH_LEVEL"},
    {"PoolFreedTwice",
     [](VerifierDeathTest&) {
       PVOID p = Allocate();
       ExFreePool(p);
       ExFreePool(p);
     },
     "freeing pool memory that is not allocated"},
    {"PoolFreedWithAnotherTag",
     [](VerifierDeathTest&) { ExFreePoolWithTag(Allocate(), PoolTag("Othr")); },
     "freeing pool memory with the wrong tag: .* has tag TstD, freed as Othr"},
    {"KernelServiceFromAThreadWithoutAPlatform",
     [](VerifierDeathTest&) { std::thread([] { (void)Allocate(); }).join(); },
     "kernel service called from a thread without a platform"},
    {"DriverUnloadedWithPoolOfItsTag",
     [](VerifierDeathTest& test) {
       (void)Allocate();
       test.Unload();
     },
     "driver unloaded with pool of its tag still allocated: .*TstD: 1 allocations, 24 bytes"},
    {"DriverUnloadedWithDevicesLeft",
     [](VerifierDeathTest&) {
       Platform& platform = Platform::Current();
       PDRIVER_OBJECT careless = nullptr;
       auto entry = [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
         PDEVICE_OBJECT device;
         return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
       };
       (void)platform.LoadDriver(u"\\Driver\\Careless", entry, u"\\Registry\\C", 0, &careless);
       platform.UnloadDriver(careless);
     },
     "driver unloaded with devices still present"},
    {"WorkItemQueuedWhileStillQueued",
     [](VerifierDeathTest&) {
       // With all four system worker threads held, a queued item stays queued.
       KEVENT gate{};
       WORK_QUEUE_ITEM items[5];
       for (WORK_QUEUE_ITEM& item : items) ExInitializeWorkItem(&item, HoldWorker, &gate);
       for (int i = 0; i < 10; ++i) ExQueueWorkItem(&items[std::min(i, 4)], CriticalWorkQueue);
     },
     "work item queued while it is still queued"},
    Sent(
        "RequestCompletedTwice",
        [](PDEVICE_OBJECT, PIRP irp) {
          TestDriverTest::Complete(irp, STATUS_SUCCESS);
          // The request is freed: only its address may be used again.
          IofCompleteRequest(irp, IO_NO_INCREMENT);
          return STATUS_SUCCESS;
        },
        "request completed twice"),
    Sent(
        "RequestCompletedWithItsCancelRoutineSet",
        [](PDEVICE_OBJECT, PIRP irp) {
          (void)IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
          return TestDriverTest::Complete(irp, STATUS_SUCCESS);
        },
        "request completed with its cancel routine still set"),
    Sent(
        "RequestCompletedWithStatusPending",
        [](PDEVICE_OBJECT, PIRP irp) {
          IoMarkIrpPending(irp);
          return TestDriverTest::Complete(irp, STATUS_PENDING);
        },
        "request completed with STATUS_PENDING"),
    Sent(
        "RequestCompletedWithMoreBytesThanItsOutputBufferHolds",
        [](PDEVICE_OBJECT, PIRP irp) { return TestDriverTest::Complete(irp, STATUS_SUCCESS, 5); },
        "request completed with more bytes than its output buffer holds"),
    Sent(
        "RequestSentWithNoStackLocationLeft",
        [](PDEVICE_OBJECT, PIRP irp) { return TestDriverTest::Complete(irp, STATUS_SUCCESS); },
        "request sent with no stack location left", true),
};
INSTANTIATE_TEST_SUITE_P(Rules, VerifierDeathTest, ::testing::ValuesIn(kRules),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
