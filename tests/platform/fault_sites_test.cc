// Fault sites: one site failing once, at the arrival asked.
#include <gtest/gtest.h>

#include "support/test_driver.h"

namespace {

using tolvex::platform::FaultSites;
using tolvex::testing::TestDriverTest;
using Site = FaultSites::Site;

constexpr const char* kThisFile = "tests/platform/fault_sites_test.cc";
Site Here(int line, const char* service, const char* what) {
  return Site{kThisFile, line, service, what, true};
}

class FaultSitesTest : public TestDriverTest {
 protected:
  FaultSites& faults() { return platform_.faults(); }
};

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
