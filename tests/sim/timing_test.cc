// Paced and jitter modes: the bytes go out when the wires would carry them, or at random
// moments drawn from a seed, and the stream stays what fast mode sends. Times are asserted on
// what the simulator computed and recorded; the wall clock only for "never early".
#include <gtest/gtest.h>

#include "sim_host.h"

namespace tolvex::sim::testing {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kWait(5000);

// From the host's reset frame to the end-of-block report after the ATR: the ATR's delay, four
// characters from the card, the character waiting time (register 5), the report's two bytes.
TEST(Pacing, ResetToEndOfBlockTakesWhatTheWiresAllow) {
  const LineTiming timing;
  EXPECT_EQ(timing.SerialBytes(1), Nanos(520'833));  // 10 bits at 19200 baud
  EXPECT_EQ(timing.Etus(1, 372), Nanos(103'911));    // 372 clocks at 3.58 MHz
  SimHost host(ReaderOptions{.paced = true});
  host.sim().InsertCard("t0", false);
  host.Wire("85 10 00 00");  // 16 ETU
  ASSERT_TRUE(host.sim().WaitIdle(kWait));
  host.sim().ClearTranscript();
  host.Wire();
  const auto before = SimClock::now();
  host.sim().HostWrote(H("83 1D"));
  ASSERT_TRUE(host.sim().WaitIdle(kWait));
  const auto elapsed = SimClock::now() - before;
  EXPECT_EQ(host.Wire(), "90 3B 02 14 50 10 83");
  const Nanos expected = timing.Clocks(10'000) + 4 * timing.Etus(12, 372) + timing.Etus(16, 372) +
                         timing.SerialBytes(2);
  const Transcript transcript = host.sim().transcript();
  EXPECT_EQ(
      transcript.Of(EntryKind::kEvent).at(0).at - transcript.Of(EntryKind::kWriteRegister).at(0).at,
      expected);
  EXPECT_GE(elapsed, expected);
}

// The card's turn-around: its answer starts that many ETU after the last character it took.
// GET CHALLENGE of 2 bytes to the T=0 card: the 5-byte header at 12 ETU a character, the
// turn-around, the ACK's 12 ETU, its byte on the serial line.
TEST(Pacing, TheCardAnswersItsTurnAroundAfterTheLastCharacterItTook) {
  for (const unsigned turnaround : {0u, 16u, 100u}) {
    SCOPED_TRACE(turnaround);
    ReaderOptions options{.paced = true};
    options.timing.card_turnaround_etu = turnaround;
    SimHost host(options);
    host.sim().InsertCard("t0", false);
    host.sim().HostWrote(H("83 1D"));
    ASSERT_TRUE(host.sim().WaitIdle(kWait));
    host.sim().ClearTranscript();
    host.sim().HostWrote(H("45 00 84 00 00 02"));
    ASSERT_TRUE(host.sim().WaitIdle(kWait));
    const LineTiming& timing = options.timing;
    const Nanos expected = 5 * timing.Etus(12, 372) + timing.Etus(turnaround, 372) +
                           timing.Etus(12, 372) + timing.SerialBytes(1);
    const Transcript transcript = host.sim().transcript();
    EXPECT_EQ(transcript.Of(EntryKind::kCardBytes).at(0).at -
                  transcript.Of(EntryKind::kWriteData).at(0).at,
              expected);
  }
}

Jitter Quick(std::uint64_t seed) {
  return Jitter{.seed = seed,
                .max_gap = std::chrono::microseconds(200),
                .block_end_max_delay = milliseconds(3)};
}

// A card event, a read of an escaped revision, a reset and a T=1 echo of bytes that need
// escaping, each awaited: what came, send by send.
std::vector<Bytes> Session(std::optional<Jitter> jitter) {
  SimHost host(ReaderOptions{.firmware = 0x10, .jitter = jitter});
  host.sim().InsertCard("t1");
  std::vector<Bytes> chunks;
  for (const char* write : {"C0", "83 1D", "4E 00 00 0A 80 EE 00 00 04 10 10 83 10 04 F7", "C4"}) {
    host.sim().HostWrote(H(write));
    EXPECT_TRUE(host.sim().WaitIdle(kWait));
    for (Bytes& chunk : host.TakeChunks()) chunks.push_back(std::move(chunk));
  }
  return chunks;
}

TEST(Jitter, TheSameSeedCutsTheSameWayAndTheBytesAreFastModes) {
  const std::vector<Bytes> fast = Session(std::nullopt);
  std::vector<std::vector<Bytes>> runs;
  int pairs_cut = 0;  // sends ending between an escape byte and the byte after it
  for (std::uint64_t seed : {1, 2, 3}) {
    runs.push_back(Session(Quick(seed)));
    EXPECT_EQ(Session(Quick(seed)), runs.back());
    EXPECT_EQ(Joined(runs.back()), Joined(fast));
    EXPECT_GT(runs.back().size(), fast.size());
    StreamDecoder decoder;
    std::vector<StreamItem> items;
    for (const Bytes& chunk : runs.back()) {
      decoder.Feed(chunk, items);
      pairs_cut += decoder.escape_pending();
    }
  }
  EXPECT_NE(runs[0], runs[1]);
  EXPECT_GT(pairs_cut, 0);
}

}  // namespace
}  // namespace tolvex::sim::testing
