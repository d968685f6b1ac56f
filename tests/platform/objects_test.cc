// Device and file objects, the name table and symbolic links.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "support/test_driver.h"

namespace {

using ::testing::ElementsAre;
using tolvex::testing::TestDriverTest;

constexpr ULONG kDeviceTag = PoolTag("Devi");
constexpr ULONG kFileTag = PoolTag("File");

class ObjectTest : public TestDriverTest {
 protected:
  // A device that records the major function and file of every request and completes it with
  // the status given for creates (success otherwise).
  PDEVICE_OBJECT AddRecordingDevice(const char16_t* name, NTSTATUS create_status = STATUS_SUCCESS) {
    return AddDevice(name, [this, create_status](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      majors_.push_back(stack->MajorFunction);
      files_.push_back(stack->FileObject);
      if (stack->MajorFunction == IRP_MJ_CREATE) access_ = stack->Parameters.Create.DesiredAccess;
      return Complete(irp, stack->MajorFunction == IRP_MJ_CREATE ? create_status : STATUS_SUCCESS);
    });
  }
  NTSTATUS Open(const char16_t* name, PFILE_OBJECT* file, PDEVICE_OBJECT* device = nullptr) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    PDEVICE_OBJECT opened = reinterpret_cast<PDEVICE_OBJECT>(1);
    *file = reinterpret_cast<PFILE_OBJECT>(1);
    const NTSTATUS status = IoGetDeviceObjectPointer(&text, FILE_ALL_ACCESS, file, &opened);
    if (device != nullptr) *device = opened;
    if (!NT_SUCCESS(status)) {
      EXPECT_EQ(std::tuple(*file, opened), std::tuple(nullptr, nullptr));
    }
    return status;
  }
  NTSTATUS Link(const std::u16string& link, const char16_t* target) {  // null: delete it
    UNICODE_STRING link_text;
    UNICODE_STRING target_text;
    RtlInitUnicodeString(&link_text, link.c_str());
    RtlInitUnicodeString(&target_text, target);
    return target ? IoCreateSymbolicLink(&link_text, &target_text)
                  : IoDeleteSymbolicLink(&link_text);
  }
  size_t Live(ULONG tag) { return platform_.pool().Usage(tag).allocations; }

  std::vector<UCHAR> majors_;
  std::vector<PFILE_OBJECT> files_;
  ULONG access_ = 0;
};

TEST_F(ObjectTest, NamesIgnoreCaseAndLinksResolveThroughLinksToTheirDeviceUntilDeleted) {
  PDEVICE_OBJECT device = AddRecordingDevice(u"\\Device\\Probe0");
  EXPECT_EQ(platform_.DeviceName(device), u"\\Device\\Probe0");
  UNICODE_STRING same;
  RtlInitUnicodeString(&same, u"\\DEVICE\\probe0");
  PDEVICE_OBJECT refused = reinterpret_cast<PDEVICE_OBJECT>(1);
  EXPECT_EQ(IoCreateDevice(driver_, 16, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &refused),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(refused, nullptr);
  ASSERT_EQ(Link(u"\\GLOBAL??\\Probe", u"\\Device\\Probe0"), STATUS_SUCCESS);
  ASSERT_EQ(Link(u"\\DosDevices\\Probe", u"\\GLOBAL??\\Probe"), STATUS_SUCCESS);
  EXPECT_EQ(platform_.FindDevice(u"\\dosdevices\\PROBE"), device);
  EXPECT_EQ(Link(u"\\DosDevices\\Probe", nullptr), STATUS_SUCCESS);
  EXPECT_EQ(platform_.FindDevice(u"\\DosDevices\\Probe"), nullptr);
  // Only a link is deleted as one.
  for (const char16_t* name : {u"\\DosDevices\\Probe", u"\\Device\\Probe0", u"\\Nothing"}) {
    EXPECT_EQ(Link(name, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
  }
  EXPECT_EQ(platform_.FindDevice(u"\\GLOBAL??\\Probe"), device);
  // Seven links in a row resolve; an eighth is one too many (a loop of links would never end).
  std::u16string previous = u"\\Device\\Probe0";
  for (char16_t i = u'1'; i <= u'8'; ++i) {
    const std::u16string link = u"\\Chain" + std::u16string(1, i);
    ASSERT_EQ(Link(link, previous.c_str()), STATUS_SUCCESS);
    EXPECT_EQ(platform_.FindDevice(link), i < u'8' ? device : nullptr) << static_cast<char>(i);
    previous = link;
  }
  // A link to a deleted device resolves to nothing, and the device leaves no memory behind
  // nor the driver's list (where it is not the first).
  PDEVICE_OBJECT later = AddRecordingDevice(u"\\Device\\Probe1");
  IoDeleteDevice(device);
  EXPECT_EQ(platform_.FindDevice(u"\\GLOBAL??\\Probe"), nullptr);
  EXPECT_EQ(driver_->DeviceObject, later);
  EXPECT_EQ(later->NextDevice, nullptr);
  EXPECT_EQ(Live(kDeviceTag), 1u);
}

// An open sends a create and the last dereference a cleanup and a close, heard even by a device
// deleted while open; that leaves the name table at once and is freed with its last reference.
TEST_F(ObjectTest, DeviceDeletedWhileOpenLeavesTheNameTableAndIsFreedWithTheLastReference) {
  PDEVICE_OBJECT device = AddRecordingDevice(u"\\Device\\Probe0");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT opened = nullptr;
  ASSERT_EQ(Open(u"\\Device\\Probe0", &file, &opened), STATUS_SUCCESS);
  EXPECT_EQ(std::pair(opened, file->DeviceObject), std::pair(device, device));
  EXPECT_EQ(access_, FILE_ALL_ACCESS);
  ObfReferenceObject(file);
  ObfDereferenceObject(file);
  ObfReferenceObject(device);
  IoDeleteDevice(device);
  EXPECT_EQ(driver_->DeviceObject, nullptr);
  PDEVICE_OBJECT successor = AddRecordingDevice(u"\\Device\\Probe0");
  EXPECT_EQ(platform_.FindDevice(u"\\Device\\Probe0"), successor);
  EXPECT_THAT(majors_, ElementsAre(IRP_MJ_CREATE));  // a reference is still held
  ObfDereferenceObject(file);
  EXPECT_THAT(majors_, ElementsAre(IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE));
  EXPECT_THAT(files_, ElementsAre(file, file, file));
  EXPECT_EQ(std::pair(Live(kFileTag), Live(kDeviceTag)), std::pair(0ul, 2ul));
  EXPECT_EQ(device->ReferenceCount, 1);
  ObfDereferenceObject(device);
  EXPECT_EQ(Live(kDeviceTag), 1u);
}

TEST_F(ObjectTest, FailedOpenLeavesNoFileObjectAndNoReference) {
  std::thread completer;
  AddDevice(u"\\Device\\Slow", [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    completer = platform_.StartSystemThread("completer", [irp] {
      LARGE_INTEGER pause = RelativeMilliseconds(10);
      (void)KeDelayExecutionThread(KernelMode, FALSE, &pause);
      Complete(irp, STATUS_DEVICE_BUSY);
    });
    return STATUS_PENDING;
  });
  const struct {
    const char16_t* name;
    NTSTATUS status;
    bool recording;
  } cases[] = {
      {u"\\Device\\Refuses", STATUS_ACCESS_DENIED, true},
      {u"\\Device\\Slow", STATUS_DEVICE_BUSY, false},  // completed later: the open waits
      {u"\\Device\\Nobody", STATUS_OBJECT_NAME_NOT_FOUND, false},
      {u"\\Device\\Refuses", STATUS_INSUFFICIENT_RESOURCES, false},  // no file object
  };
  for (const auto& c : cases) {
    majors_.clear();
    PDEVICE_OBJECT device =
        c.recording ? AddRecordingDevice(c.name, c.status) : platform_.FindDevice(c.name);
    PFILE_OBJECT file = nullptr;
    if (c.status == STATUS_INSUFFICIENT_RESOURCES) platform_.pool().FailAllocations(kFileTag, 0);
    EXPECT_EQ(Open(c.name, &file), c.status);
    if (completer.joinable()) completer.join();
    EXPECT_EQ(Live(kFileTag), 0u);
    if (device != nullptr) {
      EXPECT_EQ(device->ReferenceCount, 0);
    }
    // No cleanup or close for a failed open.
    EXPECT_EQ(majors_, c.recording ? std::vector<UCHAR>{IRP_MJ_CREATE} : std::vector<UCHAR>{});
  }
}

}  // namespace
