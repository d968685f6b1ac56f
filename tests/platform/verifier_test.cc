// The verifier: each kernel rule it enforces, shown to stop the process with its message.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "support/test_driver.h"

namespace {

using tolvex::platform::CancelLockGuard;
using tolvex::platform::Clock;
using tolvex::platform::IrqlGuard;
using tolvex::platform::Platform;
using tolvex::platform::SpinLockGuard;
using tolvex::testing::TestDriverTest;

class VerifierDeathTest;
struct Rule {
  const char* name;
  std::function<void(VerifierDeathTest&)> breach;
  const char* message;  // after "*** tolvex verifier: "
};
void PrintTo(const Rule& rule, std::ostream* os) {
  *os << rule.name;
}

class VerifierDeathTest : public TestDriverTest, public ::testing::WithParamInterface<Rule> {
 public:
  using TestDriverTest::Complete;
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
    PIRP irp = IoBuildDeviceIoControlRequest(0x810, device, nullptr, 0, output, 4, FALSE, nullptr,
                                             nullptr);
    (void)IofCallDriver(device, irp);
  }
  void Unload() { platform_.UnloadDriver(driver_); }
  Clock& clock() { return platform_.clock(); }
};

TEST_P(VerifierDeathTest, StopsTheProcessWithTheRuleBroken) {
  EXPECT_DEATH(GetParam().breach(*this),
               std::string("\\*\\*\\* tolvex verifier: ") + GetParam().message);
}

// A rule broken by the device a request is sent to (through a device in front of it).
Rule Sent(const char* name, TestDriverTest::Handler handler, const char* message,
          bool through_another = false) {
  return {name, [=](VerifierDeathTest& test) { test.Send(handler, through_another); }, message};
}

void HoldWorker(PVOID gate) {
  (void)KeWaitForSingleObject(gate, Executive, KernelMode, FALSE, nullptr);
}

const Rule kRules[] = {
    {"WaitThatCanBlockAtDispatchLevel",
     [](VerifierDeathTest&) {
       KEVENT event{};
       KSPIN_LOCK lock = 0;
       SpinLockGuard guard(&lock);
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
       (void)ExAllocatePoolWithTag(PagedPool, 16, TestDriverTest::kDriverTag);
     },
     "paged pool allocated at DISPATCH_LEVEL"},
    {"SpinLockAcquiredAgainByItsHolder",
     [](VerifierDeathTest&) {
       KSPIN_LOCK lock = 0;
       SpinLockGuard guard(&lock);
       (void)KfAcquireSpinLock(&lock);
     },
     "spin lock acquired again by the thread that holds it"},
    {"CancelLockAcquiredAgainByItsHolder",
     [](VerifierDeathTest&) {
       CancelLockGuard guard;
       KIRQL irql;
       IoAcquireCancelSpinLock(&irql);
     },
     "spin lock acquired again by the thread that holds it"},
    {"PoolFreedTwice",
     [](VerifierDeathTest&) {
       PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, TestDriverTest::kDriverTag);
       ExFreePool(p);
       ExFreePool(p);
     },
     "freeing pool memory that is not allocated"},
    {"PoolFreedWithAnotherTag",
     [](VerifierDeathTest&) {
       ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 16, TestDriverTest::kDriverTag),
                         PoolTag("Othr"));
     },
     "freeing pool memory with the wrong tag: .* has tag TstD, freed as Othr"},
    {"KernelServiceFromAThreadWithoutAPlatform",
     [](VerifierDeathTest&) {
       std::thread([] { (void)ExAllocatePoolWithTag(NonPagedPool, 8, 0); }).join();
     },
     "kernel service called from a thread without a platform"},
    {"DriverUnloadedWithPoolOfItsTag",
     [](VerifierDeathTest& test) {
       (void)ExAllocatePoolWithTag(NonPagedPool, 24, TestDriverTest::kDriverTag);
       test.Unload();
     },
     "driver unloaded with pool of its tag still allocated: .*TstD: 1 allocations, 24 bytes"},
    {"DriverUnloadedWithDevicesLeft",
     [](VerifierDeathTest&) {
       Platform& platform = Platform::Current();
       PDRIVER_OBJECT careless = nullptr;
       (void)platform.LoadDriver(
           u"\\Driver\\Careless",
           [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
             PDEVICE_OBJECT device;
             return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
           },
           u"\\Registry\\Careless", 0, &careless);
       platform.UnloadDriver(careless);
     },
     "driver unloaded with devices still present"},
    {"WorkItemQueuedWhileStillQueued",
     [](VerifierDeathTest&) {
       // With all four system worker threads held, a queued item stays queued.
       KEVENT gate{};
       WORK_QUEUE_ITEM held[4];
       for (WORK_QUEUE_ITEM& worker : held) {
         ExInitializeWorkItem(&worker, HoldWorker, &gate);
         ExQueueWorkItem(&worker, CriticalWorkQueue);
       }
       WORK_QUEUE_ITEM item;
       ExInitializeWorkItem(&item, HoldWorker, &gate);
       for (int i = 0; i < 6; ++i) ExQueueWorkItem(&item, CriticalWorkQueue);
     },
     "work item queued while it is still queued"},
    // Requests the test driver's device completes wrongly.
    Sent(
        "RequestCompletedTwice",
        [](PDEVICE_OBJECT, PIRP irp) {
          VerifierDeathTest::Complete(irp, STATUS_SUCCESS);
          // The request is freed: only its address may be used again.
          IofCompleteRequest(irp, IO_NO_INCREMENT);
          return STATUS_SUCCESS;
        },
        "request completed twice"),
    Sent(
        "RequestCompletedWithItsCancelRoutineSet",
        [](PDEVICE_OBJECT, PIRP irp) {
          (void)IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
          return VerifierDeathTest::Complete(irp, STATUS_SUCCESS);
        },
        "request completed with its cancel routine still set"),
    Sent(
        "RequestCompletedWithStatusPending",
        [](PDEVICE_OBJECT, PIRP irp) {
          IoMarkIrpPending(irp);
          return VerifierDeathTest::Complete(irp, STATUS_PENDING);
        },
        "request completed with STATUS_PENDING"),
    Sent(
        "RequestCompletedWithMoreBytesThanItsOutputBufferHolds",
        [](PDEVICE_OBJECT, PIRP irp) {
          return VerifierDeathTest::Complete(irp, STATUS_SUCCESS, 5);
        },
        "request completed with more bytes than its output buffer holds"),
    Sent(
        "RequestSentWithNoStackLocationLeft",
        [](PDEVICE_OBJECT, PIRP irp) { return VerifierDeathTest::Complete(irp, STATUS_SUCCESS); },
        "request sent with no stack location left", true),
};
INSTANTIATE_TEST_SUITE_P(Rules, VerifierDeathTest, ::testing::ValuesIn(kRules),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
