// Driver, device and file objects, the name table and symbolic links.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/test_driver.h"

namespace {

using ::testing::ElementsAre;
using tolvex::testing::TestDriverTest;

constexpr ULONG kDeviceTag = PoolTag("Devi");
constexpr ULONG kFileTag = PoolTag("File");
constexpr ULONG kDriverObjectTag = PoolTag("Drv ");

UNICODE_STRING Text(const char16_t* text) {
  UNICODE_STRING result;
  RtlInitUnicodeString(&result, text);
  return result;
}

class ObjectTest : public TestDriverTest {
 protected:
  // A device that records the major function of every request and completes it with the
  // status given for creates (success otherwise).
  PDEVICE_OBJECT AddRecordingDevice(const char16_t* name, NTSTATUS create_status = STATUS_SUCCESS) {
    return AddDevice(name, [this, create_status](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      majors_.push_back(stack->MajorFunction);
      files_.push_back(stack->FileObject);
      if (stack->MajorFunction == IRP_MJ_CREATE) access_ = stack->Parameters.Create.DesiredAccess;
      return Complete(irp, stack->MajorFunction == IRP_MJ_CREATE ? create_status : STATUS_SUCCESS);
    });
  }

  size_t Live(ULONG tag) { return platform_.pool().Usage(tag).allocations; }

  std::vector<UCHAR> majors_;
  std::vector<PFILE_OBJECT> files_;
  ULONG access_ = 0;
};

// --- Devices and names ---------------------------------------------------------------------

TEST_F(ObjectTest, CreateDeviceRefusesANameAlreadyTaken) {
  AddRecordingDevice(u"\\Device\\Probe0");
  UNICODE_STRING same = Text(u"\\DEVICE\\probe0");
  PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
  const NTSTATUS status =
      IoCreateDevice(driver_, 16, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(static_cast<ULONG>(status), 0xC0000035u);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(Live(kDeviceTag), 1u);
}

TEST_F(ObjectTest, NamesAreFoundWithoutRegardToCase) {
  PDEVICE_OBJECT device = AddRecordingDevice(u"\\Device\\Probe0");
  EXPECT_EQ(platform_.FindDevice(u"\\Device\\Probe0"), device);
  EXPECT_EQ(platform_.FindDevice(u"\\device\\PROBE0"), device);
  EXPECT_EQ(platform_.FindDevice(u"\\Device\\Probe1"), nullptr);
  EXPECT_EQ(platform_.DeviceName(device), u"\\Device\\Probe0");
}

TEST_F(ObjectTest, NewDeviceHasAZeroedExtensionAndBelongsToItsDriver) {
  UNICODE_STRING name = Text(u"\\Device\\Plain");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, 64, &name, FILE_DEVICE_SMARTCARD, 0, TRUE, &device),
            STATUS_SUCCESS);
  ASSERT_NE(device->DeviceExtension, nullptr);
  const auto* extension = static_cast<const UCHAR*>(device->DeviceExtension);
  EXPECT_EQ(std::vector<UCHAR>(extension, extension + 64), std::vector<UCHAR>(64, 0));
  EXPECT_EQ(device->DriverObject, driver_);
  EXPECT_EQ(driver_->DeviceObject, device);
  EXPECT_EQ(device->DeviceType, FILE_DEVICE_SMARTCARD);
  EXPECT_EQ(device->StackSize, 1);
  EXPECT_EQ(device->Flags & DO_EXCLUSIVE, DO_EXCLUSIVE);
}

// --- Symbolic links ------------------------------------------------------------------------

TEST_F(ObjectTest, SymbolicLinkResolvesToItsDeviceUntilDeleted) {
  PDEVICE_OBJECT device = AddRecordingDevice(u"\\Device\\Probe0");
  UNICODE_STRING link = Text(u"\\DosDevices\\Probe");
  UNICODE_STRING target = Text(u"\\Device\\Probe0");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(platform_.FindDevice(u"\\DosDevices\\Probe"), device);
  EXPECT_EQ(platform_.FindDevice(u"\\dosdevices\\probe"), device);

  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(platform_.FindDevice(u"\\DosDevices\\Probe"), nullptr);
  EXPECT_EQ(platform_.FindDevice(u"\\Device\\Probe0"), device);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ObjectTest, LinksMayPointAtLinks) {
  PDEVICE_OBJECT device = AddRecordingDevice(u"\\Device\\Probe0");
  UNICODE_STRING first = Text(u"\\GLOBAL??\\Probe");
  UNICODE_STRING second = Text(u"\\DosDevices\\Probe");
  UNICODE_STRING target = Text(u"\\Device\\Probe0");
  ASSERT_EQ(IoCreateSymbolicLink(&first, &target), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateSymbolicLink(&second, &first), STATUS_SUCCESS);
  EXPECT_EQ(platform_.FindDevice(u"\\DosDevices\\Probe"), device);
  EXPECT_EQ(IoDeleteSymbolicLink(&second), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&first), STATUS_SUCCESS);
}

TEST_F(ObjectTest, DeletingANameThatIsNotALinkFails) {
  PDEVICE_OBJECT device = AddRecordingDevice(u"\\Device\\Probe0");
  UNICODE_STRING device_name = Text(u"\\Device\\Probe0");
  UNICODE_STRING unknown = Text(u"\\DosDevices\\Nothing");
  EXPECT_EQ(IoDeleteSymbolicLink(&device_name), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoDeleteSymbolicLink(&unknown), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(platform_.FindDevice(u"\\Device\\Probe0"), device);
}

TEST_F(ObjectTest, LinkToADeletedDeviceResolvesToNothing) {
  PDEVICE_OBJECT device = AddRecordingDevice(u"\\Device\\Probe0");
  UNICODE_STRING link = Text(u"\\DosDevices\\Probe");
  UNICODE_STRING target = Text(u"\\Device\\Probe0");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  IoDeleteDevice(device);
  EXPECT_EQ(platform_.FindDevice(u"\\DosDevices\\Probe"), nullptr);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

// --- Opening devices -------------------------------------------------------------------------

TEST_F(ObjectTest, OpenSendsCreateAndLastDereferenceSendsCleanupThenClose) {
  PDEVICE_OBJECT device = AddRecordingDevice(u"\\Device\\Probe0");
  UNICODE_STRING name = Text(u"\\Device\\Probe0");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT opened = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &opened), STATUS_SUCCESS);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(opened, device);
  EXPECT_EQ(file->DeviceObject, device);
  EXPECT_THAT(majors_, ElementsAre(IRP_MJ_CREATE));
  EXPECT_EQ(access_, FILE_ALL_ACCESS);

  ObfReferenceObject(file);
  ObfDereferenceObject(file);
  EXPECT_THAT(majors_, ElementsAre(IRP_MJ_CREATE));  // a reference is still held

  ObfDereferenceObject(file);
  EXPECT_THAT(majors_, ElementsAre(IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE));
  EXPECT_THAT(files_, ElementsAre(file, file, file));
  EXPECT_EQ(Live(kFileTag), 0u);
  EXPECT_EQ(device->ReferenceCount, 0);
}

TEST_F(ObjectTest, OpenFailsWithTheCreateStatusAndLeavesNoFileObject) {
  struct Refusal {
    NTSTATUS status;
    const char16_t* name;
  };
  for (Refusal refusal : {Refusal{STATUS_ACCESS_DENIED, u"\\Device\\Refuses0"},
                          Refusal{STATUS_SHARING_VIOLATION, u"\\Device\\Refuses1"}}) {
    SCOPED_TRACE(NtStatusName(refusal.status));
    majors_.clear();
    PDEVICE_OBJECT device = AddRecordingDevice(refusal.name, refusal.status);
    UNICODE_STRING name = Text(refusal.name);
    PFILE_OBJECT file = reinterpret_cast<PFILE_OBJECT>(1);
    PDEVICE_OBJECT opened = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &opened), refusal.status);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(opened, nullptr);
    EXPECT_THAT(majors_, ElementsAre(IRP_MJ_CREATE));  // no cleanup or close for a failed open
    EXPECT_EQ(Live(kFileTag), 0u);
    EXPECT_EQ(device->ReferenceCount, 0);
  }
}

TEST_F(ObjectTest, OpenWaitsForACreateThatCompletesLater) {
  std::thread completer;
  PDEVICE_OBJECT device = AddDevice(u"\\Device\\Slow", [&](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_CREATE) {
      return Complete(irp, STATUS_SUCCESS);
    }
    IoMarkIrpPending(irp);
    completer = platform_.StartSystemThread("completer", [irp] {
      LARGE_INTEGER pause = RelativeMilliseconds(10);
      (void)KeDelayExecutionThread(KernelMode, FALSE, &pause);
      Complete(irp, STATUS_DEVICE_BUSY);
    });
    return STATUS_PENDING;
  });
  UNICODE_STRING name = Text(u"\\Device\\Slow");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT opened = nullptr;
  EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &opened), STATUS_DEVICE_BUSY);
  completer.join();
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(device->ReferenceCount, 0);
}

TEST_F(ObjectTest, OpenOfAnUnknownNameFails) {
  UNICODE_STRING name = Text(u"\\Device\\Nobody");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT opened = nullptr;
  EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &opened),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Live(kFileTag), 0u);
}

TEST_F(ObjectTest, DeviceDeletedWhileOpenLeavesTheNameTableAndIsFreedWithTheLastReference) {
  PDEVICE_OBJECT device = AddRecordingDevice(u"\\Device\\Probe0");
  UNICODE_STRING name = Text(u"\\Device\\Probe0");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT opened = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &opened), STATUS_SUCCESS);
  ObfReferenceObject(device);

  IoDeleteDevice(device);
  EXPECT_EQ(platform_.FindDevice(u"\\Device\\Probe0"), nullptr);
  EXPECT_EQ(driver_->DeviceObject, nullptr);
  EXPECT_EQ(Live(kDeviceTag), 1u);

  // The name is free again at once.
  PDEVICE_OBJECT successor = AddRecordingDevice(u"\\Device\\Probe0");
  EXPECT_EQ(platform_.FindDevice(u"\\Device\\Probe0"), successor);

  ObfDereferenceObject(file);  // the deleted device still hears the cleanup and close
  EXPECT_THAT(majors_, ElementsAre(IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE));
  EXPECT_EQ(Live(kDeviceTag), 2u);
  ObfDereferenceObject(device);
  EXPECT_EQ(Live(kDeviceTag), 1u);
}

TEST_F(ObjectTest, DeviceWithoutReferencesIsFreedWhenDeleted) {
  PDEVICE_OBJECT device = AddRecordingDevice(u"\\Device\\Probe0");
  EXPECT_EQ(Live(kDeviceTag), 1u);
  IoDeleteDevice(device);
  EXPECT_EQ(Live(kDeviceTag), 0u);
  EXPECT_EQ(platform_.FindDevice(u"\\Device\\Probe0"), nullptr);
}

// --- Drivers -------------------------------------------------------------------------------

TEST_F(ObjectTest, UnloadCallsTheUnloadRoutineAndReleasesTheDriver) {
  AddRecordingDevice(u"\\Device\\Probe0");
  AddRecordingDevice(nullptr);
  EXPECT_EQ(Live(kDeviceTag), 2u);
  EXPECT_EQ(Live(kDriverObjectTag), 1u);
  platform_.UnloadDriver(driver_);
  driver_ = nullptr;
  EXPECT_EQ(Live(kDeviceTag), 0u);
  EXPECT_EQ(Live(kDriverObjectTag), 0u);
  EXPECT_EQ(platform_.FindDevice(u"\\Device\\Probe0"), nullptr);
}

TEST_F(ObjectTest, FailedDriverEntryReleasesTheDriverObject) {
  PDRIVER_OBJECT second = reinterpret_cast<PDRIVER_OBJECT>(1);
  auto entry = [](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_NO_SUCH_DEVICE; };
  EXPECT_EQ(platform_.LoadDriver(u"\\Driver\\Second", entry, u"\\Registry\\Second", 0, &second),
            STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(Live(kDriverObjectTag), 1u);  // only the fixture's driver
}

TEST_F(ObjectTest, RequestsADriverDoesNotHandleAreRefused) {
  PDRIVER_OBJECT bare = nullptr;
  PDEVICE_OBJECT device = nullptr;
  auto entry = [&device](PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = [](PDRIVER_OBJECT self) { IoDeleteDevice(self->DeviceObject); };
    return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  };
  ASSERT_EQ(platform_.LoadDriver(u"\\Driver\\Bare", entry, u"\\Registry\\Bare", 0, &bare),
            STATUS_SUCCESS);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0),
                                           device, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IofCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(KeReadStateEvent(&done), 1);
  platform_.UnloadDriver(bare);
}

}  // namespace
