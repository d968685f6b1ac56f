// The T=1 card's block protocol, through the reader.
#include <gtest/gtest.h>

#include "sim/application.h"
#include "sim/t1_card.h"
#include "sim_host.h"

namespace tolvex::sim::testing {
namespace {

using t1::Block;

const Bytes kChallenge8 = {0x00, 0x84, 0x00, 0x00, 0x08};

Block I(int ns, Bytes inf, bool more = false) {
  return Block{0x00, t1::IPcb(ns, more), std::move(inf)};
}
Block R(int nr, std::uint8_t error = t1::kRFine) {
  return Block{0x00, t1::RPcb(nr, error), {}};
}
Block S(std::uint8_t type, bool response, Bytes inf = {}) {
  return Block{0x00, t1::SPcb(type, response), std::move(inf)};
}

class T1 : public ::testing::Test {
 protected:
  void Start(T1CardOptions options = {}) {
    host_.edc = options.crc ? t1::Edc::kCrc : t1::Edc::kLrc;
    host_.sim().InsertCard(MakeT1Card(std::move(options)), false);
    const Reply atr = host_.Reset();
    EXPECT_TRUE(ParseAtr(atr.card).valid);
    EXPECT_EQ(atr.block_ends, 1);
  }
  // Sends a chain of I-blocks (acknowledged by R-blocks) and collects the card's chained
  // answer, acknowledging each part. `ns` is the host's next N(S), updated.
  Bytes Transact(const Bytes& apdu, std::size_t ifsc, int& ns) {
    std::size_t at = 0;
    Block answer;
    for (;;) {
      const std::size_t n = std::min(ifsc, apdu.size() - at);
      const bool more = at + n < apdu.size();
      answer = host_.Exchange(I(ns, Bytes(apdu.begin() + at, apdu.begin() + at + n), more));
      ns ^= 1;
      at += n;
      if (!more) break;
      EXPECT_EQ(answer.pcb, t1::RPcb(ns, t1::kRFine)) << t1::Describe(answer);
    }
    Bytes response;
    for (;;) {
      EXPECT_TRUE(t1::IsI(answer.pcb)) << t1::Describe(answer);
      response.insert(response.end(), answer.inf.begin(), answer.inf.end());
      if (!t1::More(answer.pcb)) return response;
      answer = host_.Exchange(R(t1::Ns(answer.pcb) ^ 1));
    }
  }
  SimHost host_;
};

TEST_F(T1, ExchangesIBlocksWithAlternatingSequenceNumbers) {
  Start();
  const Bytes challenge = Application::ChallengeBytes(0x5EED, 16);
  Block answer = host_.Exchange(I(0, kChallenge8));
  EXPECT_EQ(answer.pcb, t1::IPcb(0, false));
  EXPECT_EQ(answer.inf, Cat(Bytes(challenge.begin(), challenge.begin() + 8), {0x90, 0x00}));
  answer = host_.Exchange(Block{0x12, t1::IPcb(1, false), kChallenge8});
  EXPECT_EQ(answer.nad, 0x21);  // addresses swapped
  EXPECT_EQ(answer.pcb, t1::IPcb(1, false));
  EXPECT_EQ(answer.inf, Cat(Bytes(challenge.begin() + 8, challenge.end()), {0x90, 0x00}));
}

TEST_F(T1, ChainsBothWays) {
  Start();
  Bytes echo = {0x80, 0xEE, 0x00, 0x00, 70};
  for (int i = 0; i < 70; ++i) echo.push_back(static_cast<std::uint8_t>(i));
  echo.push_back(0x00);
  int ns = 0;
  // 76 bytes in: 32 + 32 + 12, and 72 out: 32 + 32 + 8.
  const Bytes response = Transact(echo, 32, ns);
  EXPECT_EQ(response, Cat(Bytes(echo.begin() + 5, echo.end() - 1), {0x90, 0x00}));
}

TEST_F(T1, IfsRequestFromTheHostSetsTheCardsBlockSize) {
  Start();
  EXPECT_EQ(host_.Exchange(S(t1::kSIfs, false, {0x80})).pcb, t1::SPcb(t1::kSIfs, true));
  host_.ToCard(t1::Encode(I(0, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01}), t1::Edc::kLrc));
  const auto blocks = host_.Blocks(I(1, {0x00, 0xB0, 0x00, 0x00, 0x00}));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].inf.size(), 128u);
  EXPECT_TRUE(t1::More(blocks[0].pcb));
  EXPECT_EQ(host_.Exchange(R(0)).inf.size(), 128u);
  EXPECT_EQ(host_.Exchange(R(1)).inf, (Bytes{0x90, 0x00}));
}

TEST_F(T1, CardAsksForWaitingTimeAndItsOwnIfsBeforeAnswering) {
  Start();
  host_.sim().WithCard([](Card& card) {
    EXPECT_TRUE(card.RequestIfs(0x10));
    EXPECT_TRUE(card.RequestWtx(0x03, 1));
  });
  EXPECT_EQ(host_.Exchange(I(0, kChallenge8)).pcb, t1::SPcb(t1::kSIfs, false));
  const Block wtx = host_.Exchange(S(t1::kSIfs, true, {0x10}));
  EXPECT_EQ(wtx.pcb, t1::SPcb(t1::kSWtx, false));
  EXPECT_EQ(wtx.inf, (Bytes{0x03}));
  EXPECT_EQ(host_.Exchange(S(t1::kSWtx, true, {0x03})).pcb, t1::IPcb(0, false));
  // The card now takes 16 bytes a block.
  EXPECT_EQ(host_.Exchange(I(1, Bytes(17, 0x00))).pcb, t1::RPcb(1, t1::kROtherError));
}

TEST_F(T1, InvalidBlocksGetRBlocks) {
  struct Case {
    const char* name;
    Bytes raw;
    std::uint8_t pcb;
  };
  Bytes bad_lrc = t1::Encode(I(0, kChallenge8), t1::Edc::kLrc);
  bad_lrc.back() ^= 0x01;
  const Case cases[] = {
      {"bad LRC", bad_lrc, t1::RPcb(0, t1::kREdcError)},
      {"N(S) out of turn", t1::Encode(I(1, kChallenge8), t1::Edc::kLrc),
       t1::RPcb(0, t1::kROtherError)},
      {"above IFSC", t1::Encode(I(0, Bytes(33, 0x00)), t1::Edc::kLrc),
       t1::RPcb(0, t1::kROtherError)},
      {"unasked WTX response", t1::Encode(S(t1::kSWtx, true, {0x01}), t1::Edc::kLrc),
       t1::RPcb(0, t1::kROtherError)},
      {"LEN FF", {0x00, 0x00, 0xFF, 0x01, 0x02}, t1::RPcb(0, t1::kROtherError)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start();
    const Reply reply = host_.ToCard(c.raw);
    EXPECT_EQ(reply.card, t1::Encode(Block{0x00, c.pcb, {}}, t1::Edc::kLrc));
    EXPECT_EQ(reply.block_ends, 1);
  }
}

TEST_F(T1, RBlockAsksForTheLastBlockAgain) {
  Start();
  const Block first = host_.Exchange(I(0, kChallenge8));
  EXPECT_EQ(host_.Exchange(R(1, t1::kREdcError)).inf, first.inf);
  EXPECT_EQ(host_.Exchange(R(1)).inf, first.inf);
}

TEST_F(T1, ParityErrorTheCardFindsGetsAnRBlockThenTheRetryWorks) {
  Start();
  host_.sim().WithCard([](Card& card) { EXPECT_TRUE(card.DamageNextBlock()); });
  EXPECT_EQ(host_.Exchange(I(0, kChallenge8)).pcb, t1::RPcb(0, t1::kREdcError));
  EXPECT_EQ(host_.Exchange(I(0, kChallenge8)).pcb, t1::IPcb(0, false));
}

TEST_F(T1, ResynchResetsSequenceNumbers) {
  Start();
  host_.Exchange(I(0, kChallenge8));
  EXPECT_EQ(host_.Exchange(S(t1::kSResynch, false)).pcb, t1::SPcb(t1::kSResynch, true));
  EXPECT_EQ(host_.Exchange(I(0, kChallenge8)).pcb, t1::IPcb(0, false));
}

TEST_F(T1, AbortEndsTheCardsChain) {
  Start();
  host_.Exchange(I(0, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01}));
  EXPECT_TRUE(t1::More(host_.Exchange(I(1, {0x00, 0xB0, 0x00, 0x00, 0x40})).pcb));
  EXPECT_EQ(host_.Exchange(S(t1::kSAbort, false)).pcb, t1::SPcb(t1::kSAbort, true));
  const Block answer = host_.Exchange(I(0, kChallenge8));
  EXPECT_EQ(answer.pcb, t1::IPcb(0, false));  // chain dropped, sequence numbers go on
  EXPECT_EQ(answer.inf.size(), 10u);
}

TEST_F(T1, CrcCardAnnouncesCrcAndUsesIt) {
  EXPECT_EQ(t1::Crc16(Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x906E);
  EXPECT_TRUE(ParseAtr(T1Atr({.crc = true})).crc);
  EXPECT_FALSE(ParseAtr(T1Atr({})).crc);
  Start({.crc = true});
  int ns = 0;
  EXPECT_EQ(Transact({0x00, 0x84, 0x00, 0x00, 0x30}, 32, ns).size(), 0x32u);
  Bytes bad = t1::Encode(I(ns, kChallenge8), t1::Edc::kCrc);
  bad[bad.size() - 2] ^= 0x40;
  EXPECT_EQ(host_.ToCard(bad).card, t1::Encode(R(ns, t1::kREdcError), t1::Edc::kCrc));
}

}  // namespace
}  // namespace tolvex::sim::testing
