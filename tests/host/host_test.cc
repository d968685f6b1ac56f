// The host as the tools and the pcscd driver use it: its options, the names it gives the driver's
// statuses, and a request dropped while still in flight.
#include "host/host.h"

#include <gtest/gtest.h>

#include "host/reader.h"
#include "host/status.h"
#include "platform/ntdef.h"
#include "platform/platform.h"

namespace tolvex::host {
namespace {

TEST(Host, KeepsTheDriversPausesForARealReaderAndSkipsThemOnlyWhenAsked) {
  using Mode = platform::Clock::DelayMode;
  EXPECT_EQ(Host().platform().clock().delay_mode(), Mode::kReal);
  EXPECT_EQ(Host({.skip_delays = true}).platform().clock().delay_mode(), Mode::kSkip);
}

TEST(Host, StatusesAreNamedAndAnUnknownOneIsShownByItsValue) {
  EXPECT_EQ(StatusName(STATUS_IO_TIMEOUT), "STATUS_IO_TIMEOUT");
  EXPECT_EQ(StatusName(static_cast<Status>(0xC0FE0001u)), "0xC0FE0001");
}

TEST(Host, RequestDroppedInFlightIsCancelledAndTheReaderGoesOn) {
  Host host({.skip_delays = true});
  host.AddSimulatedPort(0);  // an empty reader: a wait for a card stays in flight
  ASSERT_EQ(host.Start(), STATUS_SUCCESS);
  auto [opened, reader] = Reader::Open(host, 0);
  ASSERT_EQ(opened, STATUS_SUCCESS);
  {
    const auto wait = reader->StartWaitForCard(CardWait::kPresent);
    ASSERT_NE(wait, nullptr);
    EXPECT_FALSE(wait->done());
  }  // its end cancels it and waits for it
  EXPECT_EQ(reader->State().status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace tolvex::host
