// Fault sites: which call a kernel service's allocations count for, and one site failing once.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <vector>

#include "support/test_driver.h"

namespace {

using tolvex::platform::FaultSites;
using tolvex::testing::TestDriverTest;
using Site = FaultSites::Site;

constexpr const char* kThisFile = "tests/platform/fault_sites_test.cc";
constexpr ULONG kBufferedCode =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

int g_created_line = 0;  // where the create of the test's device allocated

Site Here(int line, const char* service, const char* what) {
  return Site{kThisFile, line, service, what, true};
}

class FaultSitesTest : public TestDriverTest {
 protected:
  FaultSites& faults() { return platform_.faults(); }
  std::set<Site> Seen() {
    std::set<Site> sites;
    for (const auto& [site, count] : faults().Seen()) sites.insert(site);
    return sites;
  }
};

// What the calls of each row count for: the caller's line, whatever the service allocates
// inside; a driver called meanwhile for its own calls; a handle's close for nothing.
TEST_F(FaultSitesTest, AllocationsCountForTheCallersSite) {
  UCHAR buffer[8] = {};
  PDEVICE_OBJECT device = AddDevice(u"\\Device\\Sited", [](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) {
      // clang-format off
      ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 4, kDriverTag)); const int line = __LINE__;
      // clang-format on
      g_created_line = line;
    }
    return Complete(irp, STATUS_SUCCESS);
  });
  ASSERT_NE(device, nullptr);
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PFILE_OBJECT file = nullptr;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Sited");
  const struct {
    const char* name;
    std::function<std::set<Site>()> calls;  // makes the calls, returns the sites expected
  } rows[] = {
      {"pool: its own line and tag",
       [&] {
         // clang-format off
         ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag)); const int line = __LINE__;
         // clang-format on
         return std::set<Site>{Here(line, "ExAllocatePoolWithTag", "TstD")};
       }},
      {"request: the request and its buffer at the builder's line",
       [&] {
         // clang-format off
         PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, device, buffer, 8, buffer, 8, FALSE, &event, &iosb); const int line = __LINE__;
         // clang-format on
         EXPECT_EQ(IofCallDriver(device, irp), STATUS_SUCCESS);
         return std::set<Site>{Here(line, "IoBuildDeviceIoControlRequest", "Irp "),
                               Here(line, "IoBuildDeviceIoControlRequest", "IoBf")};
       }},
      {"open: the file and create request at the opener's line, the driver's own at its line",
       [&] {
         PDEVICE_OBJECT opened = nullptr;
         // clang-format off
         const NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &opened); const int line = __LINE__;
         // clang-format on
         EXPECT_EQ(status, STATUS_SUCCESS);
         return std::set<Site>{Here(line, "IoGetDeviceObjectPointer", "File"),
                               Here(line, "IoGetDeviceObjectPointer", "Irp "),
                               Here(g_created_line, "ExAllocatePoolWithTag", "TstD")};
       }},
      {"close: nothing, it must get through",
       [&] {
         ObfDereferenceObject(file);
         return std::set<Site>{};
       }},
  };
  for (const auto& row : rows) {
    faults().ClearSeen();
    const std::set<Site> expected = row.calls();
    std::vector<std::string> seen, wanted;
    for (const Site& site : Seen()) seen.push_back(site.Describe());
    for (const Site& site : expected) wanted.push_back(site.Describe());
    EXPECT_EQ(seen, wanted) << row.name;
  }
}

// One arrival at the armed site fails, once: the one `skip` arrivals on, not counting those
// while held. Other sites never fail.
TEST_F(FaultSitesTest, TheArmedSiteFailsOnceAtTheArrivalAsked) {
  const auto allocate = [] { return ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag); };
  const int line = __LINE__ - 1;
  const struct {
    const char* name;
    size_t skip;
    size_t held;  // arrivals at the start made while held
    int fails;    // the arrival that fails, from 1; 0: none
    bool other_site;
  } rows[] = {
      {"the first", 0, 0, 1, false},      {"the third", 2, 0, 3, false},
      {"not while held", 0, 2, 3, false}, {"past the last arrival", 9, 0, 0, false},
      {"another site", 0, 0, 0, true},
  };
  for (const auto& row : rows) {
    Site site = Here(line, "ExAllocatePoolWithTag", "TstD");
    if (row.other_site) site.line += 1000;
    faults().FailAt(site, row.skip);
    int failed_at = 0, failures = 0;
    for (int arrival = 1; arrival <= 5; ++arrival) {
      faults().Hold(static_cast<size_t>(arrival) <= row.held);
      PVOID p = allocate();
      if (p == nullptr) {
        ++failures;
        failed_at = arrival;
      } else {
        ExFreePool(p);
      }
    }
    EXPECT_EQ(failed_at, row.fails) << row.name;
    EXPECT_EQ(failures, row.fails == 0 ? 0 : 1) << row.name;
    EXPECT_EQ(faults().failed(), row.fails != 0) << row.name;
    faults().Disarm();
  }
}

}  // namespace
