// A small driver for tests of the kernel-services layer: every device it creates hands the
// requests it receives to a function the test gives it.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "platform/platform.h"

namespace tolvex::testing {

class TestDriverTest : public ::testing::Test {
 public:
  using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
  static constexpr ULONG kDriverTag = PoolTag("TstD");

  // Finishes a request the way a driver does at the end of its dispatch routine.
  static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }

 protected:
  void SetUp() override {
    auto entry = [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
      for (auto& dispatch : driver->MajorFunction) dispatch = Dispatch;
      driver->DriverUnload = Unload;
      return STATUS_SUCCESS;
    };
    ASSERT_EQ(platform_.LoadDriver(u"\\Driver\\PlatformTest", entry,
                                   u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\"
                                   u"PlatformTest",
                                   kDriverTag, &driver_),
              STATUS_SUCCESS);
  }

  void TearDown() override {
    if (driver_ != nullptr) platform_.UnloadDriver(driver_);
    EXPECT_EQ(platform_.pool().OutstandingAllocations(), 0u) << platform_.pool().Describe();
  }

  // Creates a device of the test driver; `name` may be null.
  PDEVICE_OBJECT AddDevice(const char16_t* name, Handler handler) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver_, sizeof(Extension), name ? &text : nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) return nullptr;
    handlers_.push_back(std::move(handler));
    static_cast<Extension*>(device->DeviceExtension)->handler = &handlers_.back();
    return device;
  }

  platform::Platform platform_;
  platform::PlatformScope scope_{platform_};
  PDRIVER_OBJECT driver_ = nullptr;

 private:
  struct Extension {
    Handler* handler;
  };

  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    return (*static_cast<Extension*>(device->DeviceExtension)->handler)(device, irp);
  }

  static void Unload(PDRIVER_OBJECT driver) {
    while (driver->DeviceObject != nullptr) IoDeleteDevice(driver->DeviceObject);
  }

  std::deque<Handler> handlers_;
};

}  // namespace tolvex::testing
