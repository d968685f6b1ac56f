// ATRs of the card models, and PTS requests answered right after them.
#include <gtest/gtest.h>

#include "sim/dual_card.h"
#include "sim/t1_block.h"
#include "sim_host.h"

namespace tolvex::sim::testing {
namespace {

TEST(Atr, ModelsAnnounceTheirProtocolsAndParameters) {
  const AtrInfo t0 = ParseAtr(Bytes{0x3B, 0x02, 0x14, 0x50});
  EXPECT_TRUE(t0.valid);
  EXPECT_EQ(t0.protocols, std::vector<int>{0});

  const AtrInfo t1 = ParseAtr(T1Atr({.ifsc = 0x40, .bwi = 3, .cwi = 6}));
  EXPECT_TRUE(t1.valid);
  EXPECT_EQ(t1.protocols, std::vector<int>{1});
  EXPECT_EQ(t1.ifsc, 0x40);
  EXPECT_EQ(t1.bwi, 3);
  EXPECT_EQ(t1.cwi, 6);

  const Bytes dual_atr = DualAtr({});
  const AtrInfo dual = ParseAtr(dual_atr);
  EXPECT_TRUE(dual.valid);
  EXPECT_EQ(dual.protocols, (std::vector<int>{0, 1}));
  EXPECT_EQ(dual.ta1, 0x13);
  EXPECT_EQ(dual.ifsc, 32);

  Bytes bad_tck = dual_atr;
  bad_tck.back() ^= 0xFF;
  EXPECT_FALSE(ParseAtr(bad_tck).valid);
  EXPECT_FALSE(ParseAtr(Bytes{0x12, 0x02, 0x14, 0x50}).valid);
  EXPECT_FALSE(ParseAtr(Bytes{0x3B, 0x02, 0x14}).valid);
}

struct PtsCase {
  const char* name;
  const char* model;
  PtsPolicy policy;
  Bytes request;
  Bytes answer;  // empty: no answer
  int protocol;  // spoken afterwards (-1: mute)
  unsigned clocks_per_etu;
};

TEST(Pts, AnswersByModelAndPolicy) {
  const Bytes to_t1 = {0xFF, 0x11, 0x13, 0xFD};
  const Bytes refused_t1 = {0xFF, 0x01, 0xFE};
  const PtsCase cases[] = {
      {"dual to T=1 at TA1", "dual", PtsPolicy::kAccept, to_t1, to_t1, 1, 93},
      {"dual to T=0", "dual", PtsPolicy::kAccept, {0xFF, 0x00, 0xFF}, {0xFF, 0x00, 0xFF}, 0, 372},
      {"dual refuses", "dual", PtsPolicy::kRefuseAlways, to_t1, refused_t1, 1, 372},
      {"refusal with no PTS1 to leave out",
       "dual",
       PtsPolicy::kRefuseAlways,
       refused_t1,
       {},
       -1,
       372},
      {"dual: a speed it lacks", "dual", PtsPolicy::kAccept, {0xFF, 0x11, 0x96, 0x78}, {}, -1, 372},
      {"bad PCK", "dual", PtsPolicy::kAccept, {0xFF, 0x11, 0x13, 0x00}, {}, -1, 372},
      {"t0 echoes T=0",
       "t0",
       PtsPolicy::kAccept,
       {0xFF, 0x10, 0x11, 0xFE},
       {0xFF, 0x10, 0x11, 0xFE},
       0,
       372},
      {"t1 echoes T=1", "t1", PtsPolicy::kAccept, refused_t1, refused_t1, 1, 372},
      {"t1 does not speak T=0", "t1", PtsPolicy::kAccept, {0xFF, 0x00, 0xFF}, {}, -1, 372},
      {"PTS2 left out of the answer",
       "t0",
       PtsPolicy::kAccept,
       {0xFF, 0x20, 0x03, 0xDC},
       {0xFF, 0x00, 0xFF},
       0,
       372},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimHost host;
    host.sim().InsertCard(MakeCard(c.model), false);
    host.sim().WithCard([&](Card& card) { card.SetPtsPolicy(c.policy); });
    host.Reset();
    const Reply reply = host.ToCard(c.request);
    EXPECT_EQ(reply.card, c.answer);
    EXPECT_EQ(reply.block_ends, c.answer.empty() ? 0 : 1);
    host.sim().WithCard([&](Card& card) {
      EXPECT_EQ(card.clocks_per_etu(), c.clocks_per_etu);
      if (c.protocol >= 0) {
        EXPECT_EQ(card.protocol(), c.protocol);
      }
    });
    // The card speaks the protocol (or nothing): SELECT of the file.
    const Bytes select = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01};
    Bytes expected;
    if (c.protocol == 0) {
      expected = {0xA4};
      host.ToCard(Bytes(select.begin(), select.begin() + 5));
      EXPECT_EQ(host.ToCard({0x01, 0x01}).card, (Bytes{0x90, 0x00}));
    } else if (c.protocol == 1) {
      const auto answer =
          t1::Decode(host.ToCard(t1::Encode({0, 0, select}, t1::Edc::kLrc)).card, t1::Edc::kLrc);
      ASSERT_TRUE(answer.has_value());
      EXPECT_EQ(answer->inf, (Bytes{0x90, 0x00}));
    } else {
      EXPECT_TRUE(host.ToCard(select).card.empty());
    }
  }
}

TEST(Pts, RefusedOnceThenAcceptedAfterTheNextReset) {
  SimHost host;
  host.sim().InsertCard(MakeDualCard({.pts = PtsPolicy::kRefuseOnce}), false);
  const Bytes request = {0xFF, 0x11, 0x13, 0xFD};
  host.Reset();
  EXPECT_EQ(host.ToCard(request).card, (Bytes{0xFF, 0x01, 0xFE}));
  host.Reset();
  EXPECT_EQ(host.ToCard(request).card, request);
}

TEST(Pts, OnlyRightAfterTheAtr) {
  SimHost host;
  host.sim().InsertCard(MakeCard("t0"), false);
  host.Reset();
  host.ToCard({0x00, 0x84, 0x00, 0x00, 0x04});
  // Now FF is a class byte like any other.
  EXPECT_EQ(host.ToCard({0xFF, 0x10, 0x11, 0xFE, 0x00}).card, (Bytes{0x6E, 0x00}));
}

}  // namespace
}  // namespace tolvex::sim::testing
