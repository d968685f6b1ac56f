// T=1: how the driver moves the library's blocks to the card and the card's blocks back (the
// reads of each block, the waiting time extension, invalid lengths, damaged characters, a mute
// card), with the library's own block engine turning the crank.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

#include "sim/t1_block.h"
#include "smclib/t1.h"
#include "support/card_bench.h"

namespace {

using ::testing::ElementsAre;
using tolvex::testutil::BenchWait;
using tolvex::testutil::Bytes;
using tolvex::testutil::Cat;
using tolvex::testutil::DataFrames;
using tolvex::testutil::Feeder;
using tolvex::testutil::kBenchInterval;
using tolvex::testutil::Relayed;
namespace t1 = tolvex::sim::t1;

const Bytes kBlockEnd = {STC_ESCAPE, STC_BLOCK_END};
const Bytes kReadEight = {0x00, 0xB0, 0x00, 0x00, 0x08};
const Bytes kEightAndOk = {1, 2, 3, 0x10, 5, 6, 7, 8, 0x90, 0x00};

class T1Exchange : public tolvex::testutil::CardBenchTest {
 protected:
  void SetUp() override {
    CardBenchTest::SetUp();
    SetState(SCARD_SPECIFIC);
    card().Protocol.Selected = SCARD_PROTOCOL_T1;
    card().T1.IFSC = 32;
    UseEdc(T1_EDC_LRC);
    SmartcardT1Reset(smartcard());
    smartcard()->T1.IfsdAnnounced = TRUE;  // the card has had our IFSD
    Request(kReadEight);
  }
  void UseEdc(UCHAR edc) { card().T1.EDC = edc; }
  // A block with the card's error detection code.
  Bytes Block(UCHAR pcb, const Bytes& inf = {}) {
    return t1::Encode(t1::Block{0, pcb, inf},
                      card().T1.EDC == T1_EDC_CRC ? t1::Edc::kCrc : t1::Edc::kLrc);
  }
  // A block as the card says it: relayed, and the reader's end-of-block report after it.
  static Bytes Said(const Bytes& block) { return Cat(Relayed(block), kBlockEnd); }
  // What the reader sends once the driver has written `block`: 90 for each frame, `wire` after
  // the last.
  void Card(const Bytes& block, const Bytes& wire) {
    const auto frames = DataFrames(block);
    for (size_t i = 0; i + 1 < frames.size(); ++i) script().Expect(frames[i], {});
    script().Expect(frames.back(), Cat({STC_OK}, wire));
  }
  // The reader refuses the frame that carries `block`.
  void Refuse(const Bytes& block) {
    script().Expect(DataFrames(block).front(), {STC_READER_ERROR});
  }
  void Request(const Bytes& apdu) { SetIo(Cat({2, 0, 0, 0, 8, 0, 0, 0}, apdu), 8 + 258); }
  NTSTATUS Transmit() { return CBT1Transmit(smartcard()); }
  // The response the application got, behind its header.
  Bytes Response() {
    EXPECT_GE(information_, 8u);
    if (information_ < 8) return {};
    EXPECT_EQ(Io(8), (Bytes{2, 0, 0, 0, 8, 0, 0, 0}));
    return Bytes(io_.begin() + 8, io_.begin() + static_cast<std::ptrdiff_t>(information_));
  }
};

TEST_F(T1Exchange, PrologueThenTheRestThenTheBlockEnd) {
  // The card's block arrives piece by piece as the driver waits: 3 bytes, then LEN 10 and
  // LRC, then the end-of-block report, awaited for the read interval.
  const Bytes answer = Block(0x00, kEightAndOk);
  Card(Block(0x00, kReadEight), {});
  Record();
  Feeder feeder(bench_, {{BenchWait(3), Relayed(Bytes(answer.begin(), answer.begin() + 3))},
                         {BenchWait(11), Relayed(Bytes(answer.begin() + 3, answer.end()))},
                         {kBenchInterval, kBlockEnd}});
  ASSERT_EQ(Transmit(), STATUS_SUCCESS);
  EXPECT_EQ(feeder.done(), 3u);
  EXPECT_EQ(Response(), kEightAndOk);
}

TEST_F(T1Exchange, BlockWithoutInformationIsHandedOnWhole) {
  // R(0): the card asks for our I-block again, in 3 + 1 bytes.
  Card(Block(0x00, kReadEight), Said(Block(0x80)));
  Card(Block(0x00, kReadEight), Said(Block(0x00, kEightAndOk)));
  ASSERT_EQ(Transmit(), STATUS_SUCCESS);
  EXPECT_EQ(Response(), kEightAndOk);
  EXPECT_EQ(Frames(), (std::vector<Bytes>{Cat({0x49}, Block(0x00, kReadEight)),
                                          Cat({0x49}, Block(0x00, kReadEight))}));
}

TEST_F(T1Exchange, LongestBlockOf258Bytes) {
  Request({0x00, 0xB0, 0x00, 0x00, 0xFC});
  Bytes inf(252);
  for (size_t i = 0; i < inf.size(); ++i) inf[i] = static_cast<UCHAR>(i * 13 + 7);  // 10s too
  inf.push_back(0x90);
  inf.push_back(0x00);
  ASSERT_EQ(Block(0x00, inf).size(), 258u);
  Card(Block(0x00, {0x00, 0xB0, 0x00, 0x00, 0xFC}), Said(Block(0x00, inf)));
  ASSERT_EQ(Transmit(), STATUS_SUCCESS);
  EXPECT_EQ(Response(), inf);
}

TEST_F(T1Exchange, InvalidLengthIsLetPassAndNothingIsHandedOn) {
  // LEN 255: after 254 ms, the library gets no block, takes it as silence and asks again.
  Card(Block(0x00, kReadEight), {0x00, 0x00, 0xFF});
  Card(Block(0x82), Said(Block(0x00, kEightAndOk)));
  Record();
  ASSERT_EQ(Transmit(), STATUS_SUCCESS);
  EXPECT_THAT(Delays(), ElementsAre(254));
  EXPECT_EQ(Response(), kEightAndOk);
}

TEST_F(T1Exchange, CardThatOnlyEverSendsInvalidLengthsIsMuteAndSwitchedOff) {
  script().Default({STC_OK, 0x00, 0x00, 0xFF});
  Record();
  EXPECT_EQ(Transmit(), STATUS_DEVICE_PROTOCOL_ERROR);
  // The block, three R-blocks, three S(RESYNCH request)s: each let pass; then the pause for a
  // mute card and the power-off.
  EXPECT_THAT(Delays(), ElementsAre(254, 254, 254, 254, 254, 254, 254, 254, 200));
  const auto frames = Frames();
  ASSERT_EQ(frames.size(), 8u);
  EXPECT_EQ(frames[0], Cat({0x49}, Block(0x00, kReadEight)));
  EXPECT_EQ(frames[1], Cat({0x44}, Block(0x82)));
  EXPECT_EQ(frames[6], Cat({0x44}, Block(0xC0)));
  EXPECT_EQ(frames[7], (Bytes{0x84, 0x00}));
  EXPECT_EQ(State(), SCARD_PRESENT);
  EXPECT_EQ(card().Protocol.Selected, SCARD_PROTOCOL_UNDEFINED);
}

TEST_F(T1Exchange, WaitingTimeExtensionMultipliesTheWaitForTheNextBlockOnly) {
  reader()->ReadTotalTimeout = 500;
  Card(Block(0x00, kReadEight), Said(Block(0xC3, {0x03})));
  Card(Block(0xE3, {0x03}), {});
  Record();
  // The prologue after S(WTX response 3): 50 x 3 + 500 x 3.
  Feeder feeder(bench_, {{150 + 1500, Said(Block(0x00, kEightAndOk))}});
  ASSERT_EQ(Transmit(), STATUS_SUCCESS);
  EXPECT_EQ(feeder.done(), 1u);
  EXPECT_EQ(Response(), kEightAndOk);
  EXPECT_EQ(reader()->ReadTotalTimeout, 500u);
  EXPECT_EQ(smartcard()->T1.Wtx, 0);
}

TEST_F(T1Exchange, WaitingTimeExtensionEndsAlsoWhenNoBlockCame) {
  reader()->ReadTotalTimeout = 500;
  Card(Block(0x00, kReadEight), Said(Block(0xC3, {0x03})));
  Card(Block(0xE3, {0x03}), {});  // and nothing from the card in 1650 ms
  Card(Block(0x82), {});
  Record();
  // The library asks again; that block's answer is awaited 50 x 3 + 500 again.
  Feeder feeder(bench_, {{1650, {}}, {650, Said(Block(0x00, kEightAndOk))}});
  ASSERT_EQ(Transmit(), STATUS_SUCCESS);
  EXPECT_EQ(feeder.done(), 2u);
  EXPECT_EQ(reader()->ReadTotalTimeout, 500u);
  EXPECT_EQ(smartcard()->T1.Wtx, 0);
}

TEST_F(T1Exchange, WaitingTimeExtensionThatCannotBeSentChangesNoTimeOut) {
  reader()->ReadTotalTimeout = 500;
  Card(Block(0x00, kReadEight), Said(Block(0xC3, {0x03})));
  Refuse(Block(0xE3, {0x03}));
  EXPECT_EQ(Transmit(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reader()->ReadTotalTimeout, 500u);
}

TEST_F(T1Exchange, IfsResponseIsSentAsPartOfTheIBlockExchange) {
  // The library hands over S(IFS response) with T1.State E1 and the I-block exchange as the
  // original state; the driver sends it with the state set back to the I-block's.
  const Bytes response = DataFrames(Block(0xE1, {0x20})).front();
  std::atomic<ULONG> state_sent{0};
  bench_.line().SetListener([&](std::span<const UCHAR> frame) {
    if (Bytes(frame.begin(), frame.end()) == response) state_sent = smartcard()->T1.State;
    script().HostWrote(frame);
  });
  Card(Block(0x00, kReadEight), Said(Block(0xC1, {0x20})));
  Card(Block(0xE1, {0x20}), Said(Block(0x00, kEightAndOk)));
  ASSERT_EQ(Transmit(), STATUS_SUCCESS);
  EXPECT_EQ(state_sent.load(), T1_I_BLOCK);
  EXPECT_EQ(Response(), kEightAndOk);
}

TEST_F(T1Exchange, DamagedCharacterFailsTheLibrarysCheckEvenWhenItsPlaceHolderFits) {
  // The damaged character was a 00, which its place holder matches: the LRC alone would pass.
  const Bytes answer = Block(0x00, {0x00, 0x01, 0x90, 0x00});
  Bytes damaged = Bytes(answer.begin(), answer.begin() + 3);
  damaged.insert(damaged.end(), {STC_ESCAPE, STC_CHARACTER_ERROR});
  // No end-of-block report: the driver does not wait for one after a damaged character.
  damaged = Cat(damaged, Relayed(Bytes(answer.begin() + 4, answer.end())));
  Card(Block(0x00, kReadEight), damaged);
  Card(Block(0x81), Said(answer));  // R(0, EDC error): the card sends it again
  Record();
  ASSERT_EQ(Transmit(), STATUS_SUCCESS);
  EXPECT_THAT(Delays(), ElementsAre(254));
  EXPECT_EQ(Response(), (Bytes{0x00, 0x01, 0x90, 0x00}));
  EXPECT_EQ(Frames().size(), 2u);
}

TEST_F(T1Exchange, LateEndOfADamagedBlockDoesNotEndTheAnswerToTheNextOne) {
  // The reader reports the end of the damaged block only after the driver, having given up on
  // it, has written R(0): the report comes before the reader's answer to that frame, while the
  // driver waits for the answer. It belongs to the block before, and is no time-out.
  const Bytes answer = Block(0x00, {0x00, 0x01, 0x90, 0x00});
  Bytes damaged = Bytes(answer.begin(), answer.begin() + 3);
  damaged.insert(damaged.end(), {STC_ESCAPE, STC_CHARACTER_ERROR});
  damaged = Cat(damaged, Relayed(Bytes(answer.begin() + 4, answer.end())));
  // The reader's bytes come from the feeder alone, each piece once its read waits.
  script().Expect(DataFrames(Block(0x00, kReadEight)).back(), {});
  script().Expect(DataFrames(Block(0x81)).back(), {});
  Record();
  Feeder feeder(bench_, {{BenchWait(1), Cat({STC_OK}, damaged)},
                         {BenchWait(1), Cat(kBlockEnd, Cat({STC_OK}, Said(answer)))}});
  ASSERT_EQ(Transmit(), STATUS_SUCCESS);
  EXPECT_EQ(feeder.done(), 2u);
  EXPECT_EQ(Response(), (Bytes{0x00, 0x01, 0x90, 0x00}));
  EXPECT_TRUE(RanOut().empty());
}

TEST_F(T1Exchange, CrcBlocksEndInTwoBytes) {
  UseEdc(T1_EDC_CRC);
  const Bytes answer = Block(0x00, kEightAndOk);
  Card(Block(0x00, kReadEight), {});
  Record();
  Feeder feeder(bench_, {{BenchWait(3), Relayed(Bytes(answer.begin(), answer.begin() + 3))},
                         {BenchWait(12), Said(Bytes(answer.begin() + 3, answer.end()))}});
  ASSERT_EQ(Transmit(), STATUS_SUCCESS);
  EXPECT_EQ(feeder.done(), 2u);
  EXPECT_EQ(Response(), kEightAndOk);
}

TEST_F(T1Exchange, RequestAfterABrokenOffOneStartsWithAResynchronisation) {
  Refuse(Block(0x00, kReadEight));
  EXPECT_EQ(Transmit(), STATUS_UNSUCCESSFUL);

  const Bytes select = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01};
  Request(select);
  Card(Block(0xC0), Said(Block(0xE0)));
  Card(Block(0xC1, {0xFE}), Said(Block(0xE1, {0xFE})));
  Card(Block(0x00, select), Said(Block(0x00, {0x90, 0x00})));
  ASSERT_EQ(Transmit(), STATUS_SUCCESS);
  EXPECT_EQ(Response(), (Bytes{0x90, 0x00}));
  const auto frames = Frames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[1], Cat({0x44}, Block(0xC0)));
}

}  // namespace
