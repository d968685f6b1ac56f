// Faults the reader produces on demand, and their names.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <utility>

#include "sim_host.h"

namespace tolvex::sim::testing {
namespace {

const Bytes kReset = {0x83, 0x1D};
const Bytes kAtrWithEnd = {0x90, 0x3B, 0x02, 0x14, 0x50, 0x10, 0x83};

class Faults : public ::testing::Test {
 protected:
  Faults() { host_.sim().InsertCard("t0", false); }
  Bytes ResetWire() {
    host_.Write(kReset);
    return host_.TakeWire();
  }
  SimHost host_;
};

TEST_F(Faults, NegativeAnswerOrSilenceForTheNextCommandOnly) {
  host_.sim().NegativeAnswer(0x85);
  EXPECT_EQ(host_.Command({0x82, 0x4F}), 0x85);
  EXPECT_EQ(host_.Command({0xC2}), 0x00);  // the write was not carried out
  host_.sim().SilenceNextCommand();
  EXPECT_EQ(host_.Command({0x82, 0x4F}), -1);
  EXPECT_EQ(host_.Command({0xC2}), 0x00);
  EXPECT_EQ(ResetWire(), kAtrWithEnd);
}

TEST_F(Faults, DamagesTheKthCardByteFromNow) {
  host_.sim().DamageCardByte(3);
  EXPECT_EQ(ResetWire(), (Bytes{0x90, 0x3B, 0x02, 0x10, 0x88, 0x50, 0x10, 0x83}));
  const auto damaged = host_.sim().transcript().Of(EntryKind::kDamagedCharacter);
  ASSERT_EQ(damaged.size(), 1u);
  EXPECT_EQ(damaged[0].code, 0x14);
  EXPECT_EQ(ResetWire(), kAtrWithEnd);
}

TEST_F(Faults, AtrFaultsApplyToTheNextResets) {
  struct Case {
    const char* name;
    void (*set)(ReaderSim&);
    Bytes wire;
  };
  const Case cases[] = {
      {"no end of block", [](ReaderSim& s) { s.SkipBlockEnd(); }, {0x90, 0x3B, 0x02, 0x14, 0x50}},
      {"mute", [](ReaderSim& s) { s.MuteAfterReset(); }, {0x90}},
      {"cut after T0", [](ReaderSim& s) { s.ShortAtr(); }, {0x90, 0x3B, 0x02, 0x10, 0x83}},
      {"invalid TS", [](ReaderSim& s) { s.BadTs(); }, {0x90, 0x12, 0x02, 0x14, 0x50, 0x10, 0x83}},
      {"reader error", [](ReaderSim& s) { s.ReaderErrorNext(); }, {0x90, 0x10, 0x84}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.set(host_.sim());
    EXPECT_EQ(ResetWire(), c.wire);
    EXPECT_EQ(ResetWire(), kAtrWithEnd);
  }
}

TEST_F(Faults, ShortAtrReportsEarlyOrLateWithTheChosenT0) {
  struct Case {
    const char* name;
    ShortAtrReport report;
    std::optional<std::uint8_t> t0;
    Bytes atr;  // as sent
  };
  const Case cases[] = {
      {"early", ShortAtrReport::kEarly, std::nullopt, {0x3B, 0x02}},
      {"late", ShortAtrReport::kLate, std::nullopt, {0x3B, 0x02}},
      {"late, TD1 and four historical bytes announced", ShortAtrReport::kLate, 0x84, {0x3B, 0x84}},
  };
  const std::chrono::milliseconds late(40);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    host_.sim().ClearTranscript();
    host_.sim().ShortAtr(1, c.report, late, c.t0);
    const auto before = SimClock::now();
    host_.Write(kReset);
    ASSERT_TRUE(host_.sim().WaitIdle(std::chrono::milliseconds(5000)));
    const auto elapsed = SimClock::now() - before;
    EXPECT_EQ(host_.TakeWire(), Cat(Cat({0x90}, c.atr), {0x10, kEventBlockEnd}));
    const Transcript transcript = host_.sim().transcript();
    const auto card = transcript.Of(EntryKind::kCardBytes).at(0);
    EXPECT_EQ(card.bytes, c.atr);
    const Nanos report_after = transcript.Of(EntryKind::kEvent).at(0).at - card.at;
    if (c.report == ShortAtrReport::kLate) {
      EXPECT_EQ(report_after, late);  // computed
      EXPECT_GE(elapsed, late);       // never early
    } else {
      EXPECT_EQ(report_after, Nanos(0));
    }
    EXPECT_EQ(ResetWire(), kAtrWithEnd);
  }
}

TEST(ShortAtr, HostWritingFirstWithdrawsTheLateReportInEveryMode) {
  const std::pair<const char*, ReaderOptions> modes[] = {
      {"fast", {}}, {"paced", {.paced = true}}, {"jitter", {.jitter = Jitter{.seed = 5}}}};
  for (const auto& [name, options] : modes) {
    SCOPED_TRACE(name);
    SimHost host(options);
    host.sim().InsertCard("t0", false);
    host.sim().ShortAtr(1, ShortAtrReport::kLate, std::chrono::minutes(1));
    host.Write(kReset);
    ASSERT_TRUE(host.WaitForBytes(3, std::chrono::milliseconds(5000)));  // 90 3B 02
    host.Write({0xC0});
    ASSERT_TRUE(host.sim().WaitIdle(std::chrono::milliseconds(5000)));
    EXPECT_EQ(host.TakeWire(), (Bytes{0x90, 0x3B, 0x02, 0x21}));
    EXPECT_EQ(host.sim().transcript().Count(EntryKind::kEventWithdrawn), 1u);
  }
}

TEST_F(Faults, CountedFaultsLastAsAsked) {
  host_.sim().SkipBlockEnd(-1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ResetWire(), (Bytes{0x90, 0x3B, 0x02, 0x14, 0x50}));
  host_.sim().ClearFaults();
  EXPECT_EQ(ResetWire(), kAtrWithEnd);
  host_.sim().MuteAfterReset(2);
  EXPECT_EQ(ResetWire(), (Bytes{0x90}));
  // A mute card does not answer commands either.
  EXPECT_EQ(host_.Command({0x45, 0x00, 0x84, 0x00, 0x00, 0x08}), 0x90);
  EXPECT_EQ(ResetWire(), (Bytes{0x90}));
  EXPECT_EQ(ResetWire(), kAtrWithEnd);
}

TEST_F(Faults, CardRemovedMidExchangeStopsAnswering) {
  host_.Reset();
  EXPECT_EQ(host_.ToCard({0x00, 0xA4, 0x00, 0x00, 0x02}).card, (Bytes{0xA4}));
  host_.sim().RemoveCard();
  EXPECT_EQ(host_.TakeWire(), (Bytes{0x10, kEventCardRemoved}));
  EXPECT_EQ(host_.Command({0x42, 0x01, 0x01}), 0x90);
}

TEST_F(Faults, NoiseIsSeededAndCounted) {
  auto run = [](std::uint32_t seed) {
    SimHost host;
    host.sim().InsertCard("t0", false);
    host.sim().LineNoise(seed, 5);
    for (int i = 0; i < 20; ++i) host.Write({0x83, 0x1D});
    std::size_t strays = 0;
    for (const auto& entry : host.sim().transcript().Of(EntryKind::kNoise)) {
      strays += entry.bytes.size();
    }
    EXPECT_EQ(strays, 5u);
    return host.TakeWire();
  };
  const Bytes wire = run(7);
  EXPECT_EQ(wire.size(), 20 * kAtrWithEnd.size() + 5);
  EXPECT_EQ(run(7), wire);
  EXPECT_NE(run(8), wire);
}

TEST_F(Faults, DataSetReadyDropsAndComesBack) {
  host_.sim().SetDsr(false);
  host_.sim().SetDsr(true);
  EXPECT_EQ(host_.dsr(), (std::vector<bool>{false, true}));
  EXPECT_EQ(host_.sim().transcript().Count(EntryKind::kDsr), 2u);
}

TEST_F(Faults, EveryNamedFaultIsTaken) {
  const std::map<std::string_view, std::vector<std::string>> args = {
      {"noise", {"42", "3"}}, {"pts-refuse", {"once"}}, {"insert", {"t1"}}};
  for (const auto& command : FaultCommands()) {
    SCOPED_TRACE(std::string(command.name));
    const auto it = args.find(command.name);
    const std::vector<std::string> a = it == args.end() ? std::vector<std::string>{} : it->second;
    if (!host_.sim().card_present()) host_.sim().InsertCard("t1", false);
    EXPECT_EQ(ApplyFault(host_.sim(), command.name, a).rfind("ok", 0), 0u);
  }
  host_.sim().InsertCard("t0", false);
  for (const auto& [name, a] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"no-such-fault", {}},
           {"negative", {"90"}},
           {"negative", {"zz"}},
           {"noise", {}},
           {"damage", {"0"}},
           {"wtx", {}},  // a T=0 card has none
           {"pts-refuse", {"sometimes"}},
           {"short-atr", {"late", "soon"}},
           {"short-atr", {"t0"}},
           {"short-atr", {"2", "late"}}}) {
    EXPECT_EQ(ApplyFault(host_.sim(), name, a).rfind("error: ", 0), 0u) << name;
  }
  host_.sim().ClearFaults();
  ApplyFault(host_.sim(), "bad-ts", std::vector<std::string>{"3F", "always"});
  EXPECT_EQ(host_.sim().faults().Describe(), "bad-ts=0x3Fxalways");
  host_.sim().ClearFaults();
  ApplyFault(host_.sim(), "short-atr", std::vector<std::string>{"late", "250", "t0", "84", "2"});
  EXPECT_EQ(host_.sim().faults().Describe(), "short-atr=2 late=250ms t0=0x84");
}

}  // namespace
}  // namespace tolvex::sim::testing
