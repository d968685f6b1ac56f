// The verifier: each kernel rule it enforces, shown to stop the process with its message.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/test_driver.h"

namespace {

using tolvex::platform::CancelLockGuard;
using tolvex::platform::Clock;
using tolvex::platform::IrqlGuard;
using tolvex::platform::Platform;
using tolvex::platform::PlatformScope;
using tolvex::platform::SpinLockGuard;
using tolvex::testing::TestDriverTest;

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS);

std::string Rule(const std::string& rule) {
  return "\\*\\*\\* tolvex verifier: " + rule;
}

class VerifierDeathTest : public TestDriverTest {
 protected:
  void SetUp() override {
    // The platform runs threads of its own: the child must start afresh, not fork them.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TestDriverTest::SetUp();
  }

  // Builds a device control request for `device` and sends it; returns the request, which
  // may well be finished by then.
  static PIRP Send(PDEVICE_OBJECT device) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    UCHAR output[4] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(kCode, device, nullptr, 0, output, sizeof(output),
                                             FALSE, &done, &iosb);
    (void)IofCallDriver(device, irp);
    return irp;
  }
};

// --- Interrupt levels --------------------------------------------------------------------------

TEST_F(VerifierDeathTest, WaitThatCanBlockAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock = 0;
        SpinLockGuard guard(&lock);
        LARGE_INTEGER timeout = RelativeMilliseconds(10);
        (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
      },
      Rule("wait at DISPATCH_LEVEL"));
  EXPECT_DEATH(
      {
        IrqlGuard guard(DISPATCH_LEVEL);
        (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      Rule("wait at DISPATCH_LEVEL"));
}

TEST_F(VerifierDeathTest, SleepAtDispatchLevelEvenWhenSleepsAreSkipped) {
  platform_.clock().SetDelayMode(Clock::DelayMode::kSkip);
  EXPECT_DEATH(
      {
        IrqlGuard guard(DISPATCH_LEVEL);
        LARGE_INTEGER interval = RelativeMilliseconds(1);
        (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
      },
      Rule("sleep at DISPATCH_LEVEL"));
}

TEST_F(VerifierDeathTest, PagedPoolAtDispatchLevel) {
  EXPECT_DEATH(
      {
        IrqlGuard guard(DISPATCH_LEVEL);
        (void)ExAllocatePoolWithTag(PagedPool, 16, kDriverTag);
      },
      Rule("paged pool allocated at DISPATCH_LEVEL"));
}

// --- Spin locks ------------------------------------------------------------------------------

TEST_F(VerifierDeathTest, SpinLockAcquiredAgainByItsHolder) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock = 0;
        SpinLockGuard guard(&lock);
        (void)KfAcquireSpinLock(&lock);
      },
      Rule("spin lock acquired again by the thread that holds it"));
  EXPECT_DEATH(
      {
        CancelLockGuard guard;
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
      },
      Rule("spin lock acquired again by the thread that holds it"));
}

// --- Pool --------------------------------------------------------------------------------------

TEST_F(VerifierDeathTest, PoolFreedTwice) {
  EXPECT_DEATH(
      {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kDriverTag);
        ExFreePool(p);
        ExFreePool(p);
      },
      Rule("freeing pool memory that is not allocated"));
}

TEST_F(VerifierDeathTest, FreeingMemoryThePoolDidNotHandOut) {
  EXPECT_DEATH(
      {
        ULONG local = 0;
        ExFreePool(&local);
      },
      Rule("freeing pool memory that is not allocated"));
}

TEST_F(VerifierDeathTest, PoolFreedWithAnotherTag) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kDriverTag);
  ASSERT_NE(p, nullptr);
  EXPECT_DEATH(ExFreePoolWithTag(p, PoolTag("Othr")),
               Rule("freeing pool memory with the wrong tag: .* has tag TstD, freed as Othr"));
  ExFreePoolWithTag(p, kDriverTag);
}

TEST_F(VerifierDeathTest, KernelServiceFromAThreadWithoutAPlatform) {
  EXPECT_DEATH(
      {
        std::thread stranger([] { (void)ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag); });
        stranger.join();
      },
      Rule("kernel service called from a thread without a platform"));
}

// --- Drivers -------------------------------------------------------------------------------

TEST_F(VerifierDeathTest, DriverUnloadedWithPoolOfItsTag) {
  EXPECT_DEATH(
      {
        (void)ExAllocatePoolWithTag(NonPagedPool, 24, kDriverTag);
        platform_.UnloadDriver(driver_);
      },
      Rule("driver unloaded with pool of its tag still allocated: .*TstD: 1 allocations, 24 "
           "bytes"));
}

TEST_F(VerifierDeathTest, DriverUnloadedWithDevicesLeft) {
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT careless = nullptr;
        auto entry = [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
          PDEVICE_OBJECT device;
          return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        };
        (void)platform_.LoadDriver(u"\\Driver\\Careless", entry, u"\\Registry\\Careless", 0,
                                   &careless);
        platform_.UnloadDriver(careless);
      },
      Rule("driver unloaded with devices still present"));
}

// --- Work items ----------------------------------------------------------------------------

struct HeldWorker {
  WORK_QUEUE_ITEM item;
  KEVENT started;
  KEVENT* gate;
};

void HoldWorker(PVOID parameter) {
  auto* held = static_cast<HeldWorker*>(parameter);
  KeSetEvent(&held->started, IO_NO_INCREMENT, FALSE);
  (void)KeWaitForSingleObject(held->gate, Executive, KernelMode, FALSE, nullptr);
}

void Nothing(PVOID) {}

TEST_F(VerifierDeathTest, WorkItemQueuedWhileStillQueued) {
  EXPECT_DEATH(
      {
        // With all four system worker threads held, a queued item stays queued.
        KEVENT gate;
        KeInitializeEvent(&gate, NotificationEvent, FALSE);
        HeldWorker held[4];
        for (HeldWorker& worker : held) {
          KeInitializeEvent(&worker.started, NotificationEvent, FALSE);
          worker.gate = &gate;
          ExInitializeWorkItem(&worker.item, HoldWorker, &worker);
          ExQueueWorkItem(&worker.item, CriticalWorkQueue);
        }
        for (HeldWorker& worker : held) {
          (void)KeWaitForSingleObject(&worker.started, Executive, KernelMode, FALSE, nullptr);
        }
        WORK_QUEUE_ITEM item;
        ExInitializeWorkItem(&item, Nothing, nullptr);
        ExQueueWorkItem(&item, CriticalWorkQueue);
        ExQueueWorkItem(&item, CriticalWorkQueue);
      },
      Rule("work item queued while it is still queued"));
}

// --- Requests ------------------------------------------------------------------------------

TEST_F(VerifierDeathTest, RequestCompletedTwice) {
  PDEVICE_OBJECT device =
      AddDevice(nullptr, [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  EXPECT_DEATH(IofCompleteRequest(Send(device), IO_NO_INCREMENT), Rule("request completed twice"));
}

PDRIVER_CANCEL g_unused_cancel = [](PDEVICE_OBJECT, PIRP) {};

TEST_F(VerifierDeathTest, RequestCompletedWithItsCancelRoutineSet) {
  PDEVICE_OBJECT device = AddDevice(nullptr, [](PDEVICE_OBJECT, PIRP irp) {
    (void)IoSetCancelRoutine(irp, g_unused_cancel);
    return Complete(irp, STATUS_SUCCESS);
  });
  EXPECT_DEATH((void)Send(device), Rule("request completed with its cancel routine still set"));
}

TEST_F(VerifierDeathTest, RequestCompletedWithStatusPending) {
  PDEVICE_OBJECT device = AddDevice(nullptr, [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    Complete(irp, STATUS_PENDING);
    return STATUS_PENDING;
  });
  EXPECT_DEATH((void)Send(device), Rule("request completed with STATUS_PENDING"));
}

TEST_F(VerifierDeathTest, RequestCompletedWithMoreBytesThanItsOutputBufferHolds) {
  PDEVICE_OBJECT device = AddDevice(nullptr, [](PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_SUCCESS, 5);  // Send gives a 4-byte output buffer
  });
  EXPECT_DEATH((void)Send(device),
               Rule("request completed with more bytes than its output buffer holds"));
}

}  // namespace
