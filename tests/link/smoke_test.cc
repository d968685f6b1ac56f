#include <gtest/gtest.h>

#include "host/link_bench.h"

namespace {
using tolvex::host::LinkBench;

TEST(LinkSmoke, ReadsFirmwareRevision) {
  LinkBench bench;
  tolvex::platform::PlatformScope scope(bench.platform());
  bench.script().Always({0xC0}, {0x21});
  ASSERT_EQ(bench.Start(), STATUS_SUCCESS);
  ASSERT_EQ(IFGetFirmwareRevision(bench.reader()), STATUS_SUCCESS);
  EXPECT_EQ(bench.reader()->FirmwareMajor, 2);
  EXPECT_EQ(bench.reader()->FirmwareMinor, 1);
}
}  // namespace
