// Requests: building device control requests, sending them to a driver, completion routines,
// pending requests and cancellation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "support/test_driver.h"

namespace {

// Names each case of a table after its `name`.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using tolvex::platform::IrqlGuard;
using tolvex::platform::Platform;
using tolvex::testing::TestDriverTest;

constexpr ULONG kBufferedCode =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeitherCode =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kIrpTag = PoolTag("Irp ");
constexpr ULONG kBufferTag = PoolTag("IoBf");
constexpr NTSTATUS kUntouched = TOLVEX_STATUS(0xDEADBEEF);

// What a completion routine saw; `result` is what it returns.
struct CompletionProbe {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  BOOLEAN pending_returned = FALSE;
  NTSTATUS status = kUntouched;
  NTSTATUS result = STATUS_SUCCESS;
};

NTSTATUS Probe(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* probe = static_cast<CompletionProbe*>(context);
  ++probe->calls;
  probe->device = device;
  probe->pending_returned = irp->PendingReturned;
  probe->status = irp->IoStatus.Status;
  return probe->result;
}

// Hands a request on to the next driver as it is, without a completion routine.
void CopyStackToNext(PIRP irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  *next = *current;
  next->CompletionRoutine = nullptr;
  next->Context = nullptr;
  next->Control = 0;
}

class RequestTest : public TestDriverTest {
 protected:
  void TearDown() override {
    for (std::thread& thread : threads_) thread.join();
    TestDriverTest::TearDown();
  }

  PIRP Build(PDEVICE_OBJECT device, ULONG code, PVOID in, ULONG in_length, PVOID out,
             ULONG out_length, BOOLEAN internal = FALSE) {
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    iosb_ = IO_STATUS_BLOCK{kUntouched, 0xBAD};
    return IoBuildDeviceIoControlRequest(code, device, in, in_length, out, out_length, internal,
                                         &done_, &iosb_);
  }

  bool Finished() { return KeReadStateEvent(&done_) != 0; }

  bool WaitFinished() {
    LARGE_INTEGER timeout = RelativeMilliseconds(5000);
    return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
  }

  // A handler that keeps every request pending in held_.
  Handler Hold() {
    return [this](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      held_ = irp;
      return STATUS_PENDING;
    };
  }

  // Completes held_ from another thread of the platform.
  void CompleteElsewhere(NTSTATUS status, ULONG_PTR information = 0) {
    PIRP irp = held_;
    threads_.push_back(platform_.StartSystemThread(
        "completer", [irp, status, information] { Complete(irp, status, information); }));
  }

  size_t LiveRequests() { return platform_.pool().Usage(kIrpTag).allocations; }

  KEVENT done_;
  IO_STATUS_BLOCK iosb_;
  PIRP held_ = nullptr;
  std::vector<std::thread> threads_;
};

// --- Building and sending ------------------------------------------------------------------

TEST_F(RequestTest, BufferedRequestCarriesItsInputInASystemBufferOfTheLargerLength) {
  struct Lengths {
    ULONG in;
    ULONG out;
  };
  for (Lengths lengths : {Lengths{4, 16}, Lengths{16, 4}, Lengths{0, 8}, Lengths{8, 0}}) {
    SCOPED_TRACE(std::to_string(lengths.in) + " in, " + std::to_string(lengths.out) + " out");
    std::vector<UCHAR> input(lengths.in);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<UCHAR>(0x10 + i);
    std::vector<UCHAR> output(lengths.out, 0xEE);
    std::vector<UCHAR> seen_input;
    IO_STACK_LOCATION seen_stack{};
    PVOID seen_buffer = nullptr;
    PDEVICE_OBJECT device = AddDevice(nullptr, [&](PDEVICE_OBJECT, PIRP irp) {
      seen_stack = *IoGetCurrentIrpStackLocation(irp);
      seen_buffer = irp->AssociatedIrp.SystemBuffer;
      auto* buffer = static_cast<UCHAR*>(seen_buffer);
      seen_input.assign(buffer, buffer + lengths.in);
      const UCHAR reply[] = {0x90, 0x00, 0x42};
      const ULONG answered = std::min<ULONG>(lengths.out, sizeof(reply));
      std::memcpy(buffer, reply, answered);
      return Complete(irp, STATUS_SUCCESS, answered);
    });
    PIRP irp = Build(device, kBufferedCode, input.data(), lengths.in, output.data(), lengths.out);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(platform_.pool().Usage(kBufferTag).bytes, std::max(lengths.in, lengths.out));

    EXPECT_EQ(IofCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(seen_stack.MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(seen_stack.DeviceObject, device);
    EXPECT_EQ(seen_stack.Parameters.DeviceIoControl.IoControlCode, kBufferedCode);
    EXPECT_EQ(seen_stack.Parameters.DeviceIoControl.InputBufferLength, lengths.in);
    EXPECT_EQ(seen_stack.Parameters.DeviceIoControl.OutputBufferLength, lengths.out);
    EXPECT_NE(seen_buffer, static_cast<PVOID>(input.data()));
    EXPECT_NE(seen_buffer, static_cast<PVOID>(output.data()));
    EXPECT_EQ(seen_input, input);

    // Exactly IoStatus.Information bytes come back.
    const size_t answered = std::min<size_t>(lengths.out, 3);
    std::vector<UCHAR> expected(lengths.out, 0xEE);
    const UCHAR reply[] = {0x90, 0x00, 0x42};
    std::copy(reply, reply + answered, expected.begin());
    EXPECT_EQ(output, expected);
    EXPECT_TRUE(Finished());
    EXPECT_EQ(iosb_.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb_.Information, answered);
    EXPECT_EQ(platform_.pool().Usage(kBufferTag).allocations, 0u);
    EXPECT_EQ(LiveRequests(), 0u);
  }
}

struct CopyBackCase {
  const char* name;
  NTSTATUS status;
  bool copied;
};
void PrintTo(const CopyBackCase& c, std::ostream* os) {
  *os << c.name;
}

class BufferedCopyBackTest : public RequestTest,
                             public ::testing::WithParamInterface<CopyBackCase> {};

TEST_P(BufferedCopyBackTest, OutputComesBackUnlessTheStatusIsAnError) {
  const CopyBackCase& c = GetParam();
  PDEVICE_OBJECT device = AddDevice(nullptr, [&](PDEVICE_OBJECT, PIRP irp) {
    std::memset(irp->AssociatedIrp.SystemBuffer, 0x5A, 4);
    return Complete(irp, c.status, 4);
  });
  std::vector<UCHAR> output(8, 0xEE);
  PIRP irp = Build(device, kBufferedCode, nullptr, 0, output.data(), 8);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IofCallDriver(device, irp), c.status);
  EXPECT_EQ(iosb_.Status, c.status);
  EXPECT_EQ(iosb_.Information, 4u);
  const std::vector<UCHAR> head(output.begin(), output.begin() + 4);
  const std::vector<UCHAR> tail(output.begin() + 4, output.end());
  EXPECT_THAT(head, Each(c.copied ? 0x5A : 0xEE));
  EXPECT_THAT(tail, Each(0xEE));
}

INSTANTIATE_TEST_SUITE_P(Statuses, BufferedCopyBackTest,
                         ::testing::Values(CopyBackCase{"Success", STATUS_SUCCESS, true},
                                           CopyBackCase{"Warning", STATUS_BUFFER_OVERFLOW, true},
                                           CopyBackCase{"DeviceError", STATUS_IO_DEVICE_ERROR,
                                                        false},
                                           CopyBackCase{"Cancelled", STATUS_CANCELLED, false}),
                         CaseName<CopyBackCase>);

TEST_F(RequestTest, NeitherMethodPassesTheCallersBuffersAsTheyAre) {
  UCHAR input[6] = {1, 2, 3, 4, 5, 6};
  UCHAR output[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  PVOID seen_input = nullptr;
  PVOID seen_output = nullptr;
  PVOID seen_system_buffer = &seen_input;
  PDEVICE_OBJECT device = AddDevice(nullptr, [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    seen_input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    seen_output = irp->UserBuffer;
    seen_system_buffer = irp->AssociatedIrp.SystemBuffer;
    static_cast<UCHAR*>(irp->UserBuffer)[0] = 0x77;
    return Complete(irp, STATUS_SUCCESS, 1);
  });
  PIRP irp = Build(device, kNeitherCode, input, sizeof(input), output, sizeof(output));
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IofCallDriver(device, irp), STATUS_SUCCESS);
  EXPECT_EQ(seen_input, static_cast<PVOID>(input));
  EXPECT_EQ(seen_output, static_cast<PVOID>(output));
  EXPECT_EQ(seen_system_buffer, nullptr);
  EXPECT_THAT(output, ElementsAre(0x77, 0xEE, 0xEE, 0xEE));
  EXPECT_EQ(platform_.pool().Usage(kBufferTag).total_allocations, 0u);
  EXPECT_EQ(iosb_.Information, 1u);
}

TEST_F(RequestTest, InternalDeviceControlHasItsOwnMajorFunction) {
  UCHAR major = 0xFF;
  PDEVICE_OBJECT device = AddDevice(nullptr, [&](PDEVICE_OBJECT, PIRP irp) {
    major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    return Complete(irp, STATUS_SUCCESS);
  });
  PIRP irp = Build(device, kBufferedCode, nullptr, 0, nullptr, 0, TRUE);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IofCallDriver(device, irp), STATUS_SUCCESS);
  EXPECT_EQ(major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
}

TEST_F(RequestTest, BuildReturnsNullWhenPoolFailsAndLeavesNothingBehind) {
  PDEVICE_OBJECT device =
      AddDevice(nullptr, [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  const size_t before = platform_.pool().OutstandingAllocations();
  for (ULONG tag : {kIrpTag, kBufferTag}) {
    SCOPED_TRACE(tag == kIrpTag ? "request" : "system buffer");
    UCHAR buffer[8] = {};
    platform_.pool().FailAllocations(tag, 0, 1);
    EXPECT_EQ(Build(device, kBufferedCode, buffer, 8, buffer, 8), nullptr);
    EXPECT_EQ(platform_.pool().OutstandingAllocations(), before) << platform_.pool().Describe();
  }
}

// --- Completion routines -------------------------------------------------------------------

struct FlagsCase {
  const char* name;
  NTSTATUS status;
  bool cancelled;
  bool on_success, on_error, on_cancel;
  bool invoked;
};
void PrintTo(const FlagsCase& c, std::ostream* os) {
  *os << c.name;
}

class CompletionFlagsTest : public RequestTest, public ::testing::WithParamInterface<FlagsCase> {};

TEST_P(CompletionFlagsTest, RoutineRunsWhenItsFlagsMatchTheOutcome) {
  const FlagsCase& c = GetParam();
  PDEVICE_OBJECT device = AddDevice(nullptr, Hold());
  PIRP irp = Build(device, kBufferedCode, nullptr, 0, nullptr, 0);
  ASSERT_NE(irp, nullptr);
  CompletionProbe probe;
  IoSetCompletionRoutine(irp, Probe, &probe, c.on_success, c.on_error, c.on_cancel);
  ASSERT_EQ(IofCallDriver(device, irp), STATUS_PENDING);
  if (c.cancelled) {
    EXPECT_FALSE(IoCancelIrp(held_));  // no cancel routine: only marks it
  }
  Complete(held_, c.status);
  EXPECT_EQ(probe.calls, c.invoked ? 1 : 0);
  if (c.invoked) {
    EXPECT_EQ(probe.status, c.status);
  }
  EXPECT_TRUE(Finished());
  EXPECT_EQ(iosb_.Status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, CompletionFlagsTest,
    ::testing::Values(
        FlagsCase{"SuccessOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
        FlagsCase{"SuccessOnErrorOrCancel", STATUS_SUCCESS, false, false, true, true, false},
        FlagsCase{"ErrorOnError", STATUS_IO_DEVICE_ERROR, false, false, true, false, true},
        FlagsCase{"ErrorOnSuccessOrCancel", STATUS_IO_DEVICE_ERROR, false, true, false, true,
                  false},
        FlagsCase{"WarningIsNotSuccess", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
        FlagsCase{"CancelledOnCancel", STATUS_CANCELLED, true, false, false, true, true},
        FlagsCase{"CancelledOnSuccess", STATUS_CANCELLED, true, true, false, false, false},
        FlagsCase{"CancelledButSucceededOnCancel", STATUS_SUCCESS, true, false, false, true, true},
        FlagsCase{"CancelStatusWithoutCancelOnCancel", STATUS_CANCELLED, false, false, false, true,
                  false}),
    CaseName<FlagsCase>);

TEST_F(RequestTest, MoreProcessingRequiredHaltsCompletionUntilTheRequestIsCompletedAgain) {
  PDEVICE_OBJECT device = AddDevice(nullptr, [](PDEVICE_OBJECT, PIRP irp) {
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "OK", 2);
    return Complete(irp, STATUS_SUCCESS, 2);
  });
  UCHAR output[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  PIRP irp = Build(device, kBufferedCode, nullptr, 0, output, sizeof(output));
  ASSERT_NE(irp, nullptr);
  CompletionProbe probe;
  probe.result = STATUS_MORE_PROCESSING_REQUIRED;
  IoSetCompletionRoutine(irp, Probe, &probe, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(device, irp), STATUS_SUCCESS);
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(probe.device, nullptr);  // the request's builder has no device of its own
  // Still alive and unfinished: nothing reported, nothing copied, nothing freed.
  EXPECT_FALSE(Finished());
  EXPECT_EQ(iosb_.Status, kUntouched);
  EXPECT_THAT(output, Each(0xEE));
  EXPECT_EQ(LiveRequests(), 1u);

  IofCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(probe.calls, 1);
  EXPECT_TRUE(Finished());
  EXPECT_EQ(iosb_.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb_.Information, 2u);
  EXPECT_THAT(output, ElementsAre('O', 'K', 0xEE, 0xEE));
  EXPECT_EQ(LiveRequests(), 0u);
}

// An upper driver that sends a request down, takes it back with a completion routine, waits
// for it and then finishes it itself: the usual way to handle a request after the lower
// driver is done with it.
struct Forwarding {
  KEVENT back;
  PDEVICE_OBJECT routine_device = nullptr;
};

NTSTATUS TakeBack(PDEVICE_OBJECT device, PIRP, PVOID context) {
  auto* forwarding = static_cast<Forwarding*>(context);
  forwarding->routine_device = device;
  KeSetEvent(&forwarding->back, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(RequestTest, UpperDriverTakesTheRequestBackAndFinishesIt) {
  PDEVICE_OBJECT lower = AddDevice(nullptr, [this](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held_ = irp;
    CompleteElsewhere(STATUS_SUCCESS, 1);
    return STATUS_PENDING;
  });
  Forwarding forwarding;
  bool routine_ran_before_return = false;
  PDEVICE_OBJECT upper = AddDevice(nullptr, [&](PDEVICE_OBJECT, PIRP irp) {
    KeInitializeEvent(&forwarding.back, NotificationEvent, FALSE);
    CopyStackToNext(irp);
    IoSetCompletionRoutine(irp, TakeBack, &forwarding, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
      (void)KeWaitForSingleObject(&forwarding.back, Executive, KernelMode, FALSE, nullptr);
    }
    routine_ran_before_return = KeReadStateEvent(&forwarding.back) != 0;
    // The request is the upper driver's again.
    return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information + 2);
  });
  upper->StackSize = 2;
  PIRP irp = Build(upper, kBufferedCode, nullptr, 0, nullptr, 0);
  ASSERT_NE(irp, nullptr);
  CompletionProbe probe;
  IoSetCompletionRoutine(irp, Probe, &probe, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(upper, irp), STATUS_SUCCESS);
  EXPECT_TRUE(routine_ran_before_return);
  EXPECT_EQ(forwarding.routine_device, upper);
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(probe.device, nullptr);
  EXPECT_TRUE(Finished());
  EXPECT_EQ(iosb_.Information, 3u);
}

TEST_F(RequestTest, PendingReturnedReachesTheCallerThroughAnUpperDriver) {
  for (bool pend : {true, false}) {
    SCOPED_TRACE(pend ? "lower driver pends" : "lower driver completes at once");
    PDEVICE_OBJECT lower = AddDevice(nullptr, [this, pend](PDEVICE_OBJECT, PIRP irp) {
      if (!pend) return Complete(irp, STATUS_SUCCESS);
      IoMarkIrpPending(irp);
      held_ = irp;
      return STATUS_PENDING;
    });
    PDEVICE_OBJECT upper = AddDevice(nullptr, [lower](PDEVICE_OBJECT, PIRP irp) {
      CopyStackToNext(irp);
      return IofCallDriver(lower, irp);
    });
    upper->StackSize = 2;
    PIRP irp = Build(upper, kBufferedCode, nullptr, 0, nullptr, 0);
    ASSERT_NE(irp, nullptr);
    CompletionProbe probe;
    IoSetCompletionRoutine(irp, Probe, &probe, TRUE, TRUE, TRUE);
    const NTSTATUS status = IofCallDriver(upper, irp);
    if (pend) {
      EXPECT_EQ(status, STATUS_PENDING);
      EXPECT_FALSE(Finished());
      CompleteElsewhere(STATUS_SUCCESS);
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
    }
    ASSERT_TRUE(WaitFinished());
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(probe.pending_returned, pend ? TRUE : FALSE);
    EXPECT_EQ(iosb_.Status, STATUS_SUCCESS);
  }
}

// --- Cancellation --------------------------------------------------------------------------

// What a cancel routine saw; found through the request's first driver context word.
struct CancelSighting {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  bool cancel_lock_held = false;
  KIRQL irql = PASSIVE_LEVEL;
  BOOLEAN cancel = FALSE;
  KIRQL cancel_irql = HIGH_LEVEL;
  PDRIVER_CANCEL routine_left = nullptr;
};

void CancelProbe(PDEVICE_OBJECT device, PIRP irp) {
  auto* sighting = static_cast<CancelSighting*>(irp->Tail.Overlay.DriverContext[0]);
  ++sighting->calls;
  sighting->device = device;
  sighting->cancel_lock_held = *Platform::Current().cancel_lock() != 0;
  sighting->irql = KeGetCurrentIrql();
  sighting->cancel = irp->Cancel;
  sighting->cancel_irql = irp->CancelIrql;
  sighting->routine_left = irp->CancelRoutine;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

class CancelTest : public RequestTest {
 protected:
  PDEVICE_OBJECT AddCancellableDevice() {
    return AddDevice(nullptr, [this](PDEVICE_OBJECT, PIRP irp) {
      irp->Tail.Overlay.DriverContext[0] = &sighting_;
      IoMarkIrpPending(irp);
      (void)IoSetCancelRoutine(irp, CancelProbe);
      held_ = irp;
      return STATUS_PENDING;
    });
  }
  CancelSighting sighting_;
};

TEST_F(CancelTest, CancelRoutineRunsWithTheCancelLockHeldAndCompletesTheRequest) {
  for (KIRQL level : {PASSIVE_LEVEL, APC_LEVEL}) {
    SCOPED_TRACE(static_cast<int>(level));
    sighting_ = CancelSighting{};
    PDEVICE_OBJECT device = AddCancellableDevice();
    PIRP irp = Build(device, kBufferedCode, nullptr, 0, nullptr, 0);
    ASSERT_NE(irp, nullptr);
    ASSERT_EQ(IofCallDriver(device, irp), STATUS_PENDING);
    {
      IrqlGuard guard(level);
      EXPECT_TRUE(IoCancelIrp(held_));
      EXPECT_EQ(KeGetCurrentIrql(), level);
    }
    EXPECT_EQ(sighting_.calls, 1);
    EXPECT_EQ(sighting_.device, device);
    EXPECT_TRUE(sighting_.cancel_lock_held);
    EXPECT_EQ(sighting_.irql, DISPATCH_LEVEL);
    EXPECT_EQ(sighting_.cancel, TRUE);
    EXPECT_EQ(sighting_.cancel_irql, level);
    EXPECT_EQ(sighting_.routine_left, nullptr);
    EXPECT_EQ(*platform_.cancel_lock(), 0u);
    EXPECT_TRUE(Finished());
    EXPECT_EQ(iosb_.Status, STATUS_CANCELLED);
  }
}

TEST_F(CancelTest, CancelWithoutARoutineOnlyMarksTheRequest) {
  PDEVICE_OBJECT device = AddDevice(nullptr, Hold());
  PIRP irp = Build(device, kBufferedCode, nullptr, 0, nullptr, 0);
  ASSERT_NE(irp, nullptr);
  ASSERT_EQ(IofCallDriver(device, irp), STATUS_PENDING);
  EXPECT_FALSE(IoCancelIrp(held_));
  EXPECT_EQ(held_->Cancel, TRUE);
  EXPECT_FALSE(Finished());
  EXPECT_EQ(*platform_.cancel_lock(), 0u);
  Complete(held_, STATUS_CANCELLED);
  EXPECT_TRUE(Finished());
}

TEST_F(CancelTest, DriverThatTookItsCancelRoutineBackKeepsTheRequest) {
  PDEVICE_OBJECT device = AddCancellableDevice();
  PIRP irp = Build(device, kBufferedCode, nullptr, 0, nullptr, 0);
  ASSERT_NE(irp, nullptr);
  ASSERT_EQ(IofCallDriver(device, irp), STATUS_PENDING);
  // The driver completes: whoever exchanges the routine for null owns the completion.
  EXPECT_EQ(IoSetCancelRoutine(held_, nullptr), &CancelProbe);
  EXPECT_FALSE(IoCancelIrp(held_));
  EXPECT_EQ(sighting_.calls, 0);
  EXPECT_FALSE(Finished());
  Complete(held_, STATUS_SUCCESS);
  EXPECT_EQ(iosb_.Status, STATUS_SUCCESS);
}

}  // namespace
