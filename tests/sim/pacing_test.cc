// Paced mode: bytes go out when the wires would have carried them.
#include <gtest/gtest.h>

#include "sim_host.h"

namespace tolvex::sim::testing {
namespace {

using std::chrono::milliseconds;

TEST(Pacing, WireTimes) {
  const LineTiming timing;
  EXPECT_EQ(timing.SerialBytes(1), Nanos(520'833));  // 10 bits at 19200 baud
  EXPECT_EQ(timing.SerialBytes(24), Nanos(12'500'000));
  EXPECT_EQ(timing.Etus(1, 372), Nanos(103'911));  // 372 clocks at 3.58 MHz
  EXPECT_EQ(timing.CharacterToCard(2, 0, 372), timing.Etus(14, 372));
  EXPECT_EQ(timing.CharacterToCard(255, 1, 372), timing.Etus(11, 372));
  EXPECT_EQ(timing.CharacterFromCard(93), timing.Etus(12, 93));
}

TEST(Pacing, ResetToEndOfBlockTakesWhatTheWiresAllow) {
  SimHost host(ReaderOptions{.paced = true});
  host.sim().InsertCard("t0", false);
  host.Write({0x85, 0x10, 0x00, 0x00});  // character waiting time 16 ETU
  ASSERT_TRUE(host.sim().WaitIdle(milliseconds(5000)));
  host.sim().ClearTranscript();
  host.TakeWire();

  const auto before = SimClock::now();
  host.Write({0x83, 0x1D});
  ASSERT_TRUE(host.sim().WaitIdle(milliseconds(5000)));
  const auto elapsed = SimClock::now() - before;
  EXPECT_EQ(host.TakeWire(), (Bytes{0x90, 0x3B, 0x02, 0x14, 0x50, 0x10, 0x83}));

  const LineTiming timing;
  const Nanos expected = timing.Clocks(ReaderOptions{}.atr_delay_clocks) +
                         4 * timing.Etus(12, 372) + timing.Etus(16, 372) + timing.SerialBytes(2);
  const Transcript transcript = host.sim().transcript();
  const auto frame = transcript.Of(EntryKind::kWriteRegister).at(0);
  const auto end = transcript.Of(EntryKind::kEvent).at(0);
  EXPECT_EQ(end.code, kEventBlockEnd);
  EXPECT_EQ(end.at - frame.at, expected);  // computed: the same on any machine
  EXPECT_GE(elapsed, expected);            // never early
}

TEST(Pacing, HostSpeakingFirstWithdrawsTheEndOfBlockReport) {
  SimHost host(ReaderOptions{.paced = true});
  host.sim().InsertCard("t0", false);
  host.Write({0x85, 0xFF, 0xFF, 0xFF});  // a character waiting time of half an hour
  host.Write({0x83, 0x1D});
  host.Write({0xC0});
  ASSERT_TRUE(host.sim().WaitIdle(milliseconds(5000)));
  EXPECT_EQ(host.TakeWire(), (Bytes{0x90, 0x90, 0x21, 0x3B, 0x02, 0x14, 0x50}));
  EXPECT_EQ(host.sim().transcript().Count(EntryKind::kEventWithdrawn), 1u);
}

}  // namespace
}  // namespace tolvex::sim::testing
