// Jitter mode: fast mode's stream, cut and delayed at random, the same way for the same seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <stdexcept>
#include <thread>

#include "sim_host.h"

namespace tolvex::sim::testing {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr milliseconds kWait(5000);
const Bytes kReset = {0x83, 0x1D};

Jitter Quick(std::uint64_t seed) {
  return Jitter{.seed = seed, .max_gap = microseconds(200), .block_end_max_delay = milliseconds(3)};
}

// A card event, a read of an escaped revision, a reset and a T=1 echo of bytes that need
// escaping, the host waiting each time until the reader is done: what came, send by send.
std::vector<Bytes> Session(std::optional<Jitter> jitter) {
  SimHost host(ReaderOptions{.firmware = 0x10, .jitter = jitter});
  host.sim().InsertCard("t1");
  const Bytes echo = {0x80, 0xEE, 0x00, 0x00, 0x04, 0x10, 0x10, 0x83, 0x10, 0x04};
  const Bytes block = t1::Encode(t1::Block{0x00, t1::IPcb(0, false), echo}, t1::Edc::kLrc);
  const Bytes writes[] = {
      {0xC0}, kReset, Cat({static_cast<std::uint8_t>(0x40 | block.size())}, block), {0xC4}};
  std::vector<Bytes> chunks;
  for (const Bytes& write : writes) {
    host.Write(write);
    EXPECT_TRUE(host.sim().WaitIdle(kWait));
    for (Bytes& chunk : host.TakeChunks()) chunks.push_back(std::move(chunk));
  }
  return chunks;
}

Bytes Joined(const std::vector<Bytes>& chunks) {
  Bytes all;
  for (const Bytes& chunk : chunks) all.insert(all.end(), chunk.begin(), chunk.end());
  return all;
}

TEST(Jitter, SameSeedSameCutsAndFastModesBytes) {
  const std::vector<Bytes> fast = Session(std::nullopt);
  std::vector<std::vector<Bytes>> runs;
  int pairs_cut = 0;  // sends ending between an escape byte and the byte after it
  for (std::uint64_t seed : {1, 2, 3}) {
    SCOPED_TRACE(seed);
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

TEST(Jitter, EndOfBlockReportComesSometimesAtOnceSometimesLaterWithinBounds) {
  const Jitter jitter = Quick(4);
  SimHost host(ReaderOptions{.jitter = jitter});
  host.sim().InsertCard("t0", false);
  for (int i = 0; i < 24; ++i) {
    host.Write(kReset);
    ASSERT_TRUE(host.sim().WaitIdle(kWait));
  }
  // Times in the transcript are the moments the pieces were given, not measured ones.
  const auto entries = host.sim().transcript().entries;
  int delays = 0, at_once = 0, later = 0;
  for (std::size_t i = 1; i < entries.size(); ++i) {
    if (entries[i].kind != EntryKind::kEvent) continue;
    ASSERT_EQ(entries[i - 1].kind, EntryKind::kCardBytes);
    const Nanos delay = entries[i].at - entries[i - 1].at;
    EXPECT_GE(delay, Nanos(0));
    EXPECT_LE(delay, jitter.block_end_max_delay + jitter.max_gap);  // its two bytes may come apart
    ++delays;
    at_once += delay <= 2 * jitter.max_gap;
    later += delay > milliseconds(1);
  }
  EXPECT_EQ(delays, 24);
  EXPECT_GT(at_once, 0);
  EXPECT_GT(later, 0);
  EXPECT_EQ(Joined(host.TakeChunks()).size(), 24 * 7u);  // 90 3B 02 14 50 10 83 each time
}

TEST(Jitter, HostWriteWithdrawsAReportStillHeldBack) {
  // Reports either at once or most likely hours later; the bytes themselves without gaps.
  SimHost host(ReaderOptions{
      .jitter =
          Jitter{.seed = 9, .max_gap = Nanos(0), .block_end_max_delay = std::chrono::hours(1)}});
  host.sim().InsertCard("t0", false);
  constexpr int kRounds = 10;
  for (int i = 0; i < kRounds; ++i) {
    host.Write(kReset);
    (void)host.sim().WaitIdle(milliseconds(100));  // all but a held report is out by then
    host.Write({0xC0});
  }
  ASSERT_TRUE(host.sim().WaitIdle(kWait));
  const Transcript transcript = host.sim().transcript();
  const std::size_t sent = transcript.Count(EntryKind::kEvent);
  EXPECT_EQ(sent + transcript.Count(EntryKind::kEventWithdrawn), std::size_t{kRounds});
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, std::size_t{kRounds});
  // Each round: the answer, the ATR, its report if it came in time, then the revision.
  const Bytes wire = host.TakeWire();
  std::size_t at = 0;
  for (int i = 0; i < kRounds; ++i) {
    const Bytes atr = {0x90, 0x3B, 0x02, 0x14, 0x50};
    ASSERT_LE(at + atr.size() + 1, wire.size());
    ASSERT_TRUE(std::equal(atr.begin(), atr.end(), wire.begin() + static_cast<long>(at)));
    at += atr.size();
    if (wire.at(at) == kEscape) {
      EXPECT_EQ(wire.at(at + 1), kEventBlockEnd);
      at += 2;
    }
    EXPECT_EQ(wire.at(at++), 0x21);
  }
  EXPECT_EQ(at, wire.size());
}

TEST(Jitter, CardMovesFromAnotherThreadNeverLandInsideAPair) {
  SimHost host(ReaderOptions{.firmware = 0x10, .jitter = Quick(6)});
  std::atomic<bool> done = false;
  std::thread mover([&] {
    for (int i = 0; i < 100 && !done; ++i) {
      if (i % 2) {
        host.sim().RemoveCard();
      } else {
        host.sim().InsertCard("t0");
      }
    }
  });
  constexpr int kCommands = 200;
  for (int i = 0; i < kCommands; ++i) host.Write({0xC0});  // answered 10 10
  done = true;
  mover.join();
  ASSERT_TRUE(host.sim().WaitIdle(kWait));
  int answers = 0;
  for (const StreamItem& item : host.Take()) {
    if (item.event) {
      EXPECT_TRUE(item.value == kEventCardInserted || item.value == kEventCardRemoved);
    } else {
      EXPECT_EQ(item.value, 0x10);
      ++answers;
    }
  }
  EXPECT_EQ(answers, kCommands);
}

TEST(Jitter, WithdrawingNeverLeavesHalfAPair) {
  struct Case {
    const char* name;
    Nanos escape_due;  // the piece with 10; the one with 83 is an hour away
    std::size_t withdrawn;
  };
  const Case cases[] = {{"escape already due: both go", -std::chrono::hours(1), 0},
                        {"both pending: both withdrawn", std::chrono::hours(1), 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scheduler scheduler(std::nullopt, [](LineItem) {});
    const TimePoint now = SimClock::now();
    const Nanos hour = std::chrono::hours(1);
    scheduler.Add(LineItem{.bytes = {kEscape}, .ready = now + c.escape_due, .block_end = true});
    scheduler.Add(LineItem{
        .bytes = {kEventBlockEnd}, .ready = now + hour, .block_end = true, .continues_pair = true});
    EXPECT_EQ(scheduler.Withdraw(now, false).size(), c.withdrawn);
    EXPECT_EQ(scheduler.LastReady(), c.withdrawn == 0 ? now + hour : TimePoint{});
  }
}

TEST(Jitter, RefusedWithPacing) {
  EXPECT_THROW(ReaderSim(Line{}, ReaderOptions{.paced = true, .jitter = Jitter{}}),
               std::invalid_argument);
}

}  // namespace
}  // namespace tolvex::sim::testing
