// Card reset and the reading of the Answer To Reset: the frames of cold and warm resets, the
// waits for each part of the ATR, where the ATR ends, its interface bytes, the repeat after a
// damaged character, and what every failure leaves behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>

#include "driver/stc/stc.h"
#include "support/card_bench.h"

namespace {

using ::testing::ElementsAre;
using tolvex::testutil::Bytes;
using tolvex::testutil::Cat;
using tolvex::testutil::Feeder;

// STCInitUART's frames, which begin every reset: UART mode, guard time 13, character waiting
// time 9600, no retries.
const std::vector<Bytes> kUartSetUp = {{0x82, 0x6F}, {0xC1},       {0xC2},
                                       {0x81, 0x0D}, {0x82, 0x6F}, {0x85, 0x80, 0x25, 0x00},
                                       {0xC2},       {0x82, 0x6C}};
const Bytes kPowerOff = {0x84, 0x00};
const Bytes kResetCommand = {0x83, 0x1D};
const Bytes kAck = {STC_OK};

// The bench's read wait for a command's one-byte answer.
constexpr LONGLONG kAnswerWait = tolvex::testutil::BenchWait(1);

class CardReset : public tolvex::testutil::CardBenchTest {
 protected:
  NTSTATUS Reset(bool warm, ULONG room = sizeof(atr_)) {
    std::fill(std::begin(atr_), std::end(atr_), 0xEE);
    length_ = room;
    return STCReset(reader(), warm ? TRUE : FALSE, atr_, &length_);
  }
  Bytes Atr() const { return Bytes(atr_, atr_ + std::min<ULONG>(length_, sizeof(atr_))); }
  size_t Count(const Bytes& frame) {
    const auto frames = Frames();
    return static_cast<size_t>(std::count(frames.begin(), frames.end(), frame));
  }
  // The waits of the ATR's reads: not those for a command's answer, nor a write's (no limit).
  std::vector<LONGLONG> AtrWaits() {
    std::vector<LONGLONG> waits = Waits();
    std::erase(waits, kAnswerWait);
    std::erase(waits, -1);
    return waits;
  }

  UCHAR atr_[64];
  ULONG length_ = 0;
};

TEST_F(CardReset, ColdResetSwitchesTheCardOffFor200MsBeforeTheResetCommand) {
  script().Expect(kResetCommand, {0x90, 0x3B, 0x02, 0x14, 0x50});
  Record();
  ASSERT_EQ(Reset(false), STATUS_SUCCESS);
  EXPECT_EQ(Atr(), (Bytes{0x3B, 0x02, 0x14, 0x50}));
  std::vector<Bytes> expected = kUartSetUp;
  expected.push_back(kPowerOff);
  expected.push_back(kResetCommand);
  EXPECT_EQ(Frames(), expected);
  // The power-off's 200 ms, and 5 ms for the card after its ATR.
  EXPECT_THAT(Delays(), ElementsAre(200, 5));
}

TEST_F(CardReset, WarmResetSendsNoPowerOff) {
  script().Expect(kResetCommand, {0x90, 0x3B, 0x02, 0x14, 0x50});
  Record();
  ASSERT_EQ(Reset(true), STATUS_SUCCESS);
  std::vector<Bytes> expected = kUartSetUp;
  expected.push_back(kResetCommand);
  EXPECT_EQ(Frames(), expected);
  EXPECT_THAT(Delays(), ElementsAre(5));
}

TEST_F(CardReset, TsIsAwaited120MsThenEachPartAt1200MsPerBytePlus1200) {
  // 3B 92 13 80 31 20 45 44 55 44: TA1 and TD1, TD2 (T=1), TA3 and TB3, two historical
  // bytes, TCK. Each part arrives only once its read waits.
  Record();
  Feeder feeder(bench_, {{120, {0x3B}},
                         {2400, {0x92}},
                         {3600, {0x13, 0x80}},
                         {2400, {0x31}},
                         {3600, {0x20, 0x45}},
                         {3600, {0x44, 0x55}},
                         {2400, {0x44}}});
  ASSERT_EQ(Reset(false), STATUS_SUCCESS);
  EXPECT_EQ(feeder.done(), 7u);
  EXPECT_EQ(Atr(), (Bytes{0x3B, 0x92, 0x13, 0x80, 0x31, 0x20, 0x45, 0x44, 0x55, 0x44}));
  EXPECT_THAT(AtrWaits(), ElementsAre(120, 2400, 3600, 2400, 3600, 3600, 2400));
}

TEST_F(CardReset, MissingTckEndsTheAtrAfterItsWait) {
  // TD1 announces T=1 and there is no TD2: a TCK is due. The card's turn ends without it.
  Record();
  Feeder feeder(bench_, {{120, {0x3B}},
                         {2400, {0x81}},
                         {2400, {0x01}},
                         {2400, {0x41}},
                         {2400, {STC_ESCAPE, STC_BLOCK_END}}});
  ASSERT_EQ(Reset(false), STATUS_SUCCESS);
  EXPECT_EQ(feeder.done(), 5u);
  EXPECT_EQ(Atr(), (Bytes{0x3B, 0x81, 0x01, 0x41}));
  EXPECT_THAT(AtrWaits(), ElementsAre(120, 2400, 2400, 2400, 2400));
}

struct AtrCase {
  const char* name;
  Bytes sent;                                      // the reader's bytes after its 90, in one piece
  Bytes atr;                                       // what the ATR is taken to be
  std::vector<std::pair<ULONG, UCHAR>> interface;  // AtrInterfaceBytes entries present
  friend void PrintTo(const AtrCase& c, std::ostream* os) { *os << c.name; }
};

class AtrShape : public CardReset, public ::testing::WithParamInterface<AtrCase> {};

TEST_P(AtrShape, EndsWhereItsStructureSaysAndKeepsGroupsOneToThree) {
  const AtrCase& c = GetParam();
  for (auto& entry : reader()->AtrInterfaceBytes) entry = {1, 0x77};  // a previous card's
  // What lies behind the table in the record, up to the next member's event type and reserved
  // bytes: nothing else changes those.
  constexpr size_t kEnd =
      offsetof(READER_EXTENSION, AtrInterfaceBytes) + sizeof(READER_EXTENSION::AtrInterfaceBytes);
  constexpr size_t kBehind = offsetof(READER_EXTENSION, PassTurn) + 4 - kEnd;
  const UCHAR* record = reinterpret_cast<const UCHAR*>(reader());
  const Bytes behind(record + kEnd, record + kEnd + kBehind);
  script().Expect(kResetCommand, Cat(kAck, c.sent));
  ASSERT_EQ(Reset(false), STATUS_SUCCESS);
  EXPECT_EQ(Atr(), c.atr);
  EXPECT_EQ(Bytes(record + kEnd, record + kEnd + kBehind), behind);
  for (ULONG k = 0; k < 12; ++k) {
    const auto it = std::find_if(c.interface.begin(), c.interface.end(),
                                 [k](const auto& entry) { return entry.first == k; });
    const ATR_INTERFACE_BYTE& entry = reader()->AtrInterfaceBytes[k];
    if (it == c.interface.end()) {
      EXPECT_EQ(entry.Present, 0) << "entry " << k;
    } else {
      EXPECT_EQ(entry.Present, 1) << "entry " << k;
      EXPECT_EQ(entry.Value, it->second) << "entry " << k;
    }
  }
}

// A stray AA after an ATR shows that nothing beyond its end is taken.
INSTANTIATE_TEST_SUITE_P(
    Atrs, AtrShape,
    ::testing::Values(AtrCase{"TsAndT0AwaitNoTck", {0x3B, 0x00, 0xAA}, {0x3B, 0x00}, {}},
                      AtrCase{"InverseConventionTsIsStoredAs3F", {0x03, 0x00}, {0x3F, 0x00}, {}},
                      AtrCase{"TdChainAloneWithTck",
                              {0x3B, 0x80, 0x80, 0x01, 0x01},
                              {0x3B, 0x80, 0x80, 0x01, 0x01},
                              {{3, 0x80}, {7, 0x01}}},
                      AtrCase{"Td2AnnouncingT0OverridesTd1",
                              {0x3B, 0x80, 0x81, 0x00, 0xAA},
                              {0x3B, 0x80, 0x81, 0x00},
                              {{3, 0x81}, {7, 0x00}}},
                      AtrCase{"AllFourBytesOfTheFirstGroup",
                              {0x3B, 0xF0, 0x11, 0x22, 0x33, 0x00, 0xAA},
                              {0x3B, 0xF0, 0x11, 0x22, 0x33, 0x00},
                              {{0, 0x11}, {1, 0x22}, {2, 0x33}, {3, 0x00}}},
                      // TD3 announces a fourth group (TA4 FE, TB4 45): read and counted, kept in
                      // the ATR only.
                      AtrCase{"FourthGroupIsReadButNotKept",
                              {0x3B, 0x80, 0x80, 0x81, 0x31, 0xFE, 0x45, 0x0B},
                              {0x3B, 0x80, 0x80, 0x81, 0x31, 0xFE, 0x45, 0x0B},
                              {{3, 0x80}, {7, 0x81}, {11, 0x31}}}),
    [](const auto& test) { return std::string(test.param.name); });

struct FailureCase {
  const char* name;
  bool warm;
  ULONG room;
  std::vector<Bytes> answers;  // to each reset command in turn; 90 alone after those
  std::vector<Feeder::Step> steps;
  NTSTATUS status;
  size_t resets;
  std::vector<LONGLONG> ran_out = {};  // the ATR's waits that end by their time, not a report
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class ResetFailure : public CardReset, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ResetFailure, LeavesTheLengthAloneAndTheCardOff) {
  const FailureCase& c = GetParam();
  for (const Bytes& answer : c.answers) script().Expect(kResetCommand, answer);
  Record();
  Feeder feeder(bench_, c.steps);
  EXPECT_EQ(Reset(c.warm, c.room), c.status);
  EXPECT_EQ(feeder.done(), c.steps.size());  // every read that was to come did come
  EXPECT_EQ(length_, c.room);
  EXPECT_EQ(Count(kResetCommand), c.resets);
  EXPECT_EQ(RanOut(), c.ran_out);
  // The reset's own power-off comes right after the last reset command, and ends it.
  const auto frames = Frames();
  const auto last_reset = std::find(frames.rbegin(), frames.rend(), kResetCommand).base();
  ASSERT_NE(last_reset, frames.end());
  EXPECT_EQ(std::vector<Bytes>(last_reset, frames.end()), std::vector<Bytes>{kPowerOff});
  // One power-off before a cold reset, none before the warm repeat, one at the end.
  EXPECT_EQ(Count(kPowerOff), c.warm ? 1u : 2u);
}

const Bytes kDamagedAtr = {0x90, 0x3B, 0x02, STC_ESCAPE, STC_CHARACTER_ERROR, 0x41};

INSTANTIATE_TEST_SUITE_P(
    Failures, ResetFailure,
    ::testing::Values(
        FailureCase{"SilentCard", false, 64, {kAck}, {}, STATUS_UNRECOGNIZED_MEDIA, 1, {120}},
        FailureCase{"CardStopsAfterT0DespiteHistoricalBytes",
                    false,
                    64,
                    {kAck},
                    {{120, {0x3B}}, {2400, {0x02}}, {3600, {STC_ESCAPE, STC_BLOCK_END}}},
                    STATUS_UNRECOGNIZED_MEDIA,
                    1},
        // T0 84 announces TD1 and four historical bytes; none comes. The reader reports the
        // end of the card's block while the read for TD1 waits, or before it begins.
        FailureCase{"TruncatedAtrReportedWhileTd1IsAwaited",
                    false,
                    64,
                    {kAck},
                    {{120, {0x3B}}, {2400, {0x84}}, {2400, {STC_ESCAPE, STC_BLOCK_END}}},
                    STATUS_UNRECOGNIZED_MEDIA,
                    1},
        FailureCase{"TruncatedAtrReportedBeforeTd1IsAwaited",
                    false,
                    64,
                    {{0x90, 0x3B, 0x84, STC_ESCAPE, STC_BLOCK_END}},
                    {},
                    STATUS_UNRECOGNIZED_MEDIA,
                    1},
        FailureCase{"InvalidTsIsJudgedAfterT0",
                    false,
                    64,
                    {kAck},
                    {{120, {0x12}}, {2400, {0x00}}},
                    STATUS_DATA_ERROR,
                    1},
        FailureCase{"AtrLargerThanTheRoom",
                    false,
                    3,
                    {{0x90, 0x3B, 0x02, 0x14, 0x50}},
                    {},
                    STATUS_BUFFER_TOO_SMALL,
                    1},
        FailureCase{"RefusedResetCommand", false, 64, {{0x84}}, {}, STATUS_DATA_ERROR, 1},
        FailureCase{
            "DamagedTwice", false, 64, {kDamagedAtr, kDamagedAtr}, {}, STATUS_IO_TIMEOUT, 2},
        FailureCase{"DamagedOnAWarmReset", true, 64, {kDamagedAtr}, {}, STATUS_IO_TIMEOUT, 1}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(CardReset, DamagedColdAtrIsRepeatedOnceAsAWarmResetWithTheWholeRoom) {
  // The first ATR came with a damaged character; the second is longer than the first, so it
  // fits only if the caller's length word was restored for the repeat.
  script().Expect(kResetCommand, kDamagedAtr);
  script().Expect(kResetCommand, {0x90, 0x3B, 0x03, 0x14, 0x50, 0x51});
  ASSERT_EQ(Reset(false), STATUS_SUCCESS);
  EXPECT_EQ(Atr(), (Bytes{0x3B, 0x03, 0x14, 0x50, 0x51}));
  std::vector<Bytes> expected = kUartSetUp;
  expected.push_back(kPowerOff);
  expected.push_back(kResetCommand);
  expected.insert(expected.end(), kUartSetUp.begin(), kUartSetUp.end());
  expected.push_back(kResetCommand);
  EXPECT_EQ(Frames(), expected);
}

}  // namespace
