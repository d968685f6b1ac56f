// The T=0 card's procedure-byte dialogue, through the reader.
#include <gtest/gtest.h>

#include "sim/application.h"
#include "sim/t0_card.h"
#include "sim_host.h"

namespace tolvex::sim::testing {
namespace {

const Bytes kSelectFileHeader = {0x00, 0xA4, 0x00, 0x00, 0x02};
const Bytes kFileId = {0x01, 0x01};

class T0 : public ::testing::Test {
 protected:
  void Start(T0Options options = {}) {
    host_.sim().InsertCard(MakeT0Card(T0CardOptions{.t0 = options}), false);
    host_.Reset();
  }
  Bytes File(std::size_t offset, std::size_t n) const {
    const Bytes& file = Application::FileContents();
    return Bytes(file.begin() + static_cast<std::ptrdiff_t>(offset),
                 file.begin() + static_cast<std::ptrdiff_t>(offset + n));
  }
  SimHost host_;
};

TEST_F(T0, AckHandsTheTurnToTheHostWithoutEndOfBlock) {
  Start();
  Reply reply = host_.ToCard(kSelectFileHeader);
  EXPECT_EQ(reply.card, (Bytes{0xA4}));
  EXPECT_EQ(reply.block_ends, 0);
  reply = host_.ToCard(kFileId);
  EXPECT_EQ(reply.card, (Bytes{0x90, 0x00}));
  EXPECT_EQ(reply.block_ends, 1);

  reply = host_.ToCard({0x00, 0xB0, 0x00, 0x00, 0x00});  // Le 00: 256 bytes
  EXPECT_EQ(reply.card, Cat(Cat({0xB0}, File(0, 256)), {0x90, 0x00}));
  EXPECT_EQ(reply.block_ends, 1);
}

TEST_F(T0, NullBytesComeBeforeProcedureAndStatusBytes) {
  Start({.nulls = 2});
  Reply reply = host_.ToCard(kSelectFileHeader);
  EXPECT_EQ(reply.card, (Bytes{0x60, 0x60, 0xA4}));
  EXPECT_EQ(reply.block_ends, 0);
  EXPECT_EQ(host_.ToCard(kFileId).card, (Bytes{0x60, 0x60, 0x90, 0x00}));
}

TEST_F(T0, OneByteAtATimeToTheCard) {
  Start({.bytewise = -1});
  EXPECT_EQ(host_.ToCard(kSelectFileHeader).card, (Bytes{0x5B}));
  Reply reply = host_.ToCard({0x01});
  EXPECT_EQ(reply.card, (Bytes{0x5B}));
  EXPECT_EQ(reply.block_ends, 0);
  EXPECT_EQ(host_.ToCard({0x01}).card, (Bytes{0x90, 0x00}));
}

TEST_F(T0, FirstBytesOneAtATimeThenTheRestAfterAck) {
  Start({.bytewise = 2});
  host_.ToCard(kSelectFileHeader);
  host_.ToCard(kFileId);
  EXPECT_EQ(host_.ToCard({0x00, 0xB0, 0x00, 0x00, 0x04}).card,
            Cat(Cat({0x4F, File(0, 1)[0], 0x4F, File(1, 1)[0], 0xB0}, File(2, 2)), {0x90, 0x00}));

  EXPECT_EQ(host_.ToCard({0x80, 0xEE, 0x00, 0x00, 0x03}).card, (Bytes{0x11}));
  EXPECT_EQ(host_.ToCard({0xAA}).card, (Bytes{0x11}));
  EXPECT_EQ(host_.ToCard({0xBB}).card, (Bytes{0xEE}));
  EXPECT_EQ(host_.ToCard({0xCC}).card, (Bytes{0x61, 0x03}));
}

TEST_F(T0, WrongLeGets6CWithTheRightLength) {
  Start();
  host_.ToCard(kSelectFileHeader);
  host_.ToCard(kFileId);
  const Reply reply = host_.ToCard({0x00, 0xB0, 0x01, 0x30, 0x20});  // 16 bytes left at 304
  EXPECT_EQ(reply.card, (Bytes{0x6C, 0x10}));
  EXPECT_EQ(reply.block_ends, 1);
  EXPECT_EQ(host_.ToCard({0x00, 0xB0, 0x01, 0x30, 0x10}).card,
            Cat(Cat({0xB0}, File(0x130, 16)), {0x90, 0x00}));
}

TEST_F(T0, CaseFourAnswers61ThenGetResponse) {
  Start();
  EXPECT_EQ(host_.ToCard({0x80, 0xEE, 0x00, 0x00, 0x03}).card, (Bytes{0xEE}));
  EXPECT_EQ(host_.ToCard({0xAA, 0xBB, 0xCC}).card, (Bytes{0x61, 0x03}));
  EXPECT_EQ(host_.ToCard({0x00, 0xC0, 0x00, 0x00, 0x05}).card, (Bytes{0x6C, 0x03}));
  EXPECT_EQ(host_.ToCard({0x00, 0xC0, 0x00, 0x00, 0x02}).card,
            (Bytes{0xC0, 0xAA, 0xBB, 0x61, 0x01}));
  EXPECT_EQ(host_.ToCard({0x00, 0xC0, 0x00, 0x00, 0x01}).card, (Bytes{0xC0, 0xCC, 0x90, 0x00}));
  EXPECT_EQ(host_.ToCard({0x00, 0xC0, 0x00, 0x00, 0x01}).card, (Bytes{0x69, 0x85}));
}

TEST_F(T0, GetChallengeFollowsTheSeedFromEachReset) {
  Start();
  const Bytes expected = Cat(Cat({0x84}, Application::ChallengeBytes(0x5EED, 8)), {0x90, 0x00});
  EXPECT_EQ(host_.ToCard({0x00, 0x84, 0x00, 0x00, 0x08}).card, expected);
  EXPECT_NE(host_.ToCard({0x00, 0x84, 0x00, 0x00, 0x08}).card, expected);
  host_.Reset();
  EXPECT_EQ(host_.ToCard({0x00, 0x84, 0x00, 0x00, 0x08}).card, expected);
}

TEST_F(T0, ErrorStatusWords) {
  struct Case {
    const char* name;
    std::vector<Bytes> steps;  // each sent in turn; the last reply ends with the status
    std::uint16_t sw;
  };
  const Case cases[] = {
      {"unknown class", {{0x10, 0xA4, 0x04, 0x00, 0x07}}, 0x6E00},
      {"unknown instruction", {{0x00, 0x22, 0x00, 0x00, 0x00}}, 0x6D00},
      {"no current EF", {{0x00, 0xB0, 0x00, 0x00, 0x10}}, 0x6986},
      {"no such file", {kSelectFileHeader, {0x02, 0x02}}, 0x6A82},
      {"no such application", {{0x00, 0xA4, 0x04, 0x00, 0x02}, {0xA0, 0x00}}, 0x6A82},
      {"wrong file id length", {{0x00, 0xA4, 0x00, 0x00, 0x03}, {0x01, 0x01, 0x01}}, 0x6700},
      {"select P1", {{0x00, 0xA4, 0x02, 0x00, 0x02}, kFileId}, 0x6B00},
      {"challenge P1", {{0x00, 0x84, 0x01, 0x00, 0x08}}, 0x6B00},
      {"offset past the end", {kSelectFileHeader, kFileId, {0x00, 0xB0, 0x02, 0x00, 0x01}}, 0x6B00},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start();
    Reply reply;
    for (const Bytes& step : c.steps) reply = host_.ToCard(step);
    ASSERT_EQ(reply.card.size(), 2u);
    EXPECT_EQ(reply.card[0] << 8 | reply.card[1], c.sw);
    EXPECT_EQ(reply.block_ends, 1);
  }
}

}  // namespace
}  // namespace tolvex::sim::testing
