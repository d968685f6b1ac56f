// The verifier: each kernel rule it enforces, shown to stop the process with its message.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/test_driver.h"

namespace {

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
  void SetUp() override {
    // The platform runs threads of its own: the child must start afresh, not fork them.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TestDriverTest::SetUp();
  }
  void Unload() { platform_.UnloadDriver(driver_); }
  Clock& clock() { return platform_.clock(); }
};

TEST_P(VerifierDeathTest, StopsTheProcessWithTheRuleBroken) {
  EXPECT_DEATH(GetParam().breach(*this),
               std::string("\\*\\*\\* tolvex verifier: ") + GetParam().message);
}

PVOID Allocate(POOL_TYPE type = NonPagedPool) {
  return ExAllocatePoolWithTag(type, 24, TestDriverTest::kDriverTag);
}

const Rule kRules[] = {
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
    {"DriverUnloadedWithPoolOfItsTag",
     [](VerifierDeathTest& test) {
       (void)Allocate();
       test.Unload();
     },
     "driver unloaded with pool of its tag still allocated: .*TstD: 1 allocations, 24 bytes"},
};
INSTANTIATE_TEST_SUITE_P(Rules, VerifierDeathTest, ::testing::ValuesIn(kRules),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
