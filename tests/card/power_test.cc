// Card power: power-down, cold and warm resets, and what a reset hands to the caller and to the
// card capabilities.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/atr.h"
#include "support/card_bench.h"

namespace {

using ::testing::Contains;
using ::testing::Not;
using tolvex::testutil::Bytes;
using tolvex::testutil::Cat;

const Bytes kPowerOff = {0x84, 0x00};
const Bytes kResetCommand = {0x83, 0x1D};

// The longest ATR there is room for: T0 = FF, 15 interface bytes in groups 1 to 4 (TA1 11, no
// TA2, T=0 then T=1, IFSC 20, BWI 4 CWI 5), 15 historical bytes and TCK, 33 bytes; or 34,
// with a fifth group of one TA5.
Bytes LongAtr(bool with_ta5) {
  Bytes atr = {0x3B, 0xFF, 0x11, 0x00, 0x00, 0xE0,  // TA1 TB1 TC1 TD1 (TB2 TC2 TD2 follow)
               0x00, 0x0A, 0xF1,                    // TB2, TC2 = WI 10, TD2: T=1, all of group 3
               0x20, 0x45, 0x00, 0xF1,              // TA3 TB3 TC3 TD3: all of group 4
               0xFE, 0x00, 0x00};                   // TA4 TB4 TC4
  atr.push_back(with_ta5 ? 0x11 : 0x01);            // TD4: TA5 follows, or nothing
  if (with_ta5) atr.push_back(0xFE);
  for (UCHAR k = 0; k < 15; ++k) atr.push_back(static_cast<UCHAR>(0x41 + k));
  return tolvex::sim::WithTck(atr);
}

class CardPower : public tolvex::testutil::CardBenchTest {
 protected:
  void SetUp() override {
    CardBenchTest::SetUp();
    // What the previous card left: an ATR, a protocol.
    card().ATR.Length = 4;
    std::fill(std::begin(card().ATR.Buffer), std::end(card().ATR.Buffer), 0x77);
    card().Protocol.Selected = SCARD_PROTOCOL_T1;
    SetIo({}, 64);
  }
  NTSTATUS Power(ULONG minor) {
    smartcard()->MinorIoControlCode = minor;
    return CBCardPower(smartcard());
  }
  void CardAnswers(const Bytes& atr) {
    script().Expect(kResetCommand, Cat({STC_OK}, tolvex::testutil::Relayed(atr)));
  }
  bool AtrFieldsClear() {
    return card().ATR.Length == 0 &&
           std::all_of(std::begin(card().ATR.Buffer), std::end(card().ATR.Buffer),
                       [](UCHAR b) { return b == 0; });
  }
};

struct PowerDownCase {
  const char* name;
  Bytes answer;  // the reader's answer to the power-off, none: silence
  friend void PrintTo(const PowerDownCase& c, std::ostream* os) { *os << c.name; }
};

class PowerDown : public CardPower, public ::testing::WithParamInterface<PowerDownCase> {};

TEST_P(PowerDown, SucceedsAnsweredOrNotAndLeavesTheCardPresent) {
  script().Clear();
  if (!GetParam().answer.empty()) script().Expect(kPowerOff, GetParam().answer);
  SetState(SCARD_SPECIFIC);
  Record();
  EXPECT_EQ(Power(SCARD_POWER_DOWN), STATUS_SUCCESS);
  EXPECT_EQ(Frames(), std::vector<Bytes>{kPowerOff});
  EXPECT_THAT(Delays(), ::testing::ElementsAre(200));
  EXPECT_EQ(State(), SCARD_PRESENT);
  EXPECT_TRUE(AtrFieldsClear());
  EXPECT_EQ(card().Protocol.Selected, SCARD_PROTOCOL_UNDEFINED);
}

INSTANTIATE_TEST_SUITE_P(Answers, PowerDown,
                         ::testing::Values(PowerDownCase{"Acknowledged", {STC_OK}},
                                           PowerDownCase{"Refused", {STC_READER_ERROR}},
                                           PowerDownCase{"Unanswered", {}}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(CardPower, PowerDownRecordsPresentOnlyWhenACardIsIn) {
  // A power-down changes whether the card is powered, never whether one is there.
  const std::pair<ULONG, ULONG> cases[] = {
      {SCARD_UNKNOWN, SCARD_UNKNOWN},  {SCARD_ABSENT, SCARD_ABSENT},
      {SCARD_PRESENT, SCARD_PRESENT},  {SCARD_SWALLOWED, SCARD_PRESENT},
      {SCARD_POWERED, SCARD_PRESENT},  {SCARD_NEGOTIABLE, SCARD_PRESENT},
      {SCARD_SPECIFIC, SCARD_PRESENT},
  };
  for (const auto& [before, after] : cases) {
    SetState(before);
    EXPECT_EQ(Power(SCARD_POWER_DOWN), STATUS_SUCCESS);
    EXPECT_EQ(State(), after) << "from state " << before;
  }
}

class WarmReset : public CardPower, public ::testing::WithParamInterface<ULONG> {};

TEST_P(WarmReset, IsColdUnlessTheCardIsPowered) {
  SetState(GetParam());
  CardAnswers({0x3B, 0x02, 0x14, 0x50});
  ASSERT_EQ(Power(SCARD_WARM_RESET), STATUS_SUCCESS);
  if (GetParam() <= SCARD_SWALLOWED) {
    EXPECT_THAT(Frames(), Contains(kPowerOff));
  } else {
    EXPECT_THAT(Frames(), Not(Contains(kPowerOff)));
  }
  EXPECT_THAT(Frames(), Contains(kResetCommand));
}

std::string StateName(const ::testing::TestParamInfo<ULONG>& info) {
  const char* const names[] = {"Unknown", "Absent",     "Present", "Swallowed",
                               "Powered", "Negotiable", "Specific"};
  return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(States, WarmReset,
                         ::testing::Values(SCARD_PRESENT, SCARD_SWALLOWED, SCARD_POWERED,
                                           SCARD_NEGOTIABLE, SCARD_SPECIFIC),
                         StateName);

TEST_F(CardPower, ColdResetHandsTheAtrToTheCallerAndTheCard) {
  const Bytes atr = {0x3B, 0x02, 0x14, 0x50};
  CardAnswers(atr);
  ASSERT_EQ(Power(SCARD_COLD_RESET), STATUS_SUCCESS);
  EXPECT_THAT(Frames(), Contains(kPowerOff));
  EXPECT_EQ(Io(4), atr);
  EXPECT_EQ(information_, 4u);
  EXPECT_EQ(Bytes(card().ATR.Buffer, card().ATR.Buffer + card().ATR.Length), atr);
  EXPECT_EQ(card().Protocol.Supported, SCARD_PROTOCOL_T0);
  EXPECT_EQ(card().HistoricalChars.Length, 2);
  // The serial waits follow the card's parameters: T=0 with WI 10.
  EXPECT_EQ(reader()->ReadIntervalTimeout, 1346u);
  EXPECT_EQ(reader()->ReadTotalTimeout, 1396u);
}

TEST_F(CardPower, TwoByteAtrIsNotTaken) {
  CardAnswers({0x3B, 0x00});
  EXPECT_EQ(Power(SCARD_COLD_RESET), STATUS_SUCCESS);
  EXPECT_EQ(Io(64), Bytes(64, 0xEE));
  EXPECT_EQ(information_, 0xEEEEu);
  EXPECT_TRUE(AtrFieldsClear());
  EXPECT_EQ(card().Protocol.Selected, SCARD_PROTOCOL_UNDEFINED);
}

TEST_F(CardPower, AtrOf33BytesIsTaken) {
  const Bytes atr = LongAtr(false);
  ASSERT_EQ(atr.size(), 33u);
  CardAnswers(atr);
  ASSERT_EQ(Power(SCARD_COLD_RESET), STATUS_SUCCESS);
  EXPECT_EQ(Io(33), atr);
  EXPECT_EQ(information_, 33u);
  EXPECT_EQ(Bytes(card().ATR.Buffer, card().ATR.Buffer + card().ATR.Length), atr);
  EXPECT_EQ(card().Protocol.Supported, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
}

TEST_F(CardPower, AtrOf34BytesIsHandedBackButRefused) {
  const Bytes atr = LongAtr(true);
  ASSERT_EQ(atr.size(), 34u);
  for (ULONG room : {34u, 64u}) {
    CardAnswers(atr);
    SetIo({}, room);
    EXPECT_EQ(Power(SCARD_COLD_RESET), STATUS_BUFFER_TOO_SMALL) << room;
    EXPECT_EQ(Io(34), atr) << room;
    EXPECT_EQ(information_, 34u) << room;
    EXPECT_TRUE(AtrFieldsClear()) << room;
  }
  CardAnswers(atr);
  SetIo({}, 33);
  EXPECT_EQ(Power(SCARD_COLD_RESET), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Io(33), Bytes(33, 0xEE));
  EXPECT_EQ(information_, 0xEEEEu);
}

TEST_F(CardPower, ReplyBufferTooSmallForTheAtrGetsNothingAndTheCardStillGetsIt) {
  // 12 bytes: T=1 in TD1 and TD2, 5 historical bytes, TCK. With a wrong TCK the library's
  // verdict on the ATR is what the reset returns.
  const Bytes good = tolvex::sim::WithTck({0x3B, 0x85, 0x81, 0x31, 0x20, 0x45, 1, 2, 3, 4, 5});
  Bytes bad = good;
  bad.back() ^= 0xFF;
  for (const auto& [atr, status] :
       {std::pair{good, STATUS_SUCCESS}, std::pair{bad, STATUS_UNRECOGNIZED_MEDIA}}) {
    ASSERT_EQ(atr.size(), 12u);
    CardAnswers(atr);
    SetIo({}, 4);
    EXPECT_EQ(Power(SCARD_COLD_RESET), status);
    EXPECT_EQ(Io(4), Bytes(4, 0xEE));
    EXPECT_EQ(information_, 0xEEEEu);
    EXPECT_EQ(Bytes(card().ATR.Buffer, card().ATR.Buffer + card().ATR.Length), atr);
  }
}

TEST_F(CardPower, FailedResetClearsTheProtocolAndTheAtr) {
  script().Expect(kResetCommand, {STC_OK});  // and the card says nothing
  EXPECT_EQ(Power(SCARD_COLD_RESET), STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_TRUE(AtrFieldsClear());
  EXPECT_EQ(card().Protocol.Selected, SCARD_PROTOCOL_UNDEFINED);
  EXPECT_EQ(Frames().back(), kPowerOff);
}

TEST_F(CardPower, UnknownRequestIsRefusedWithNothingSent) {
  for (ULONG minor : {3u, 4u, 0xFFFFFFFFu}) {
    card().ATR.Length = 4;
    card().ATR.Buffer[0] = 0x3B;
    card().Protocol.Selected = SCARD_PROTOCOL_T0;
    EXPECT_EQ(Power(minor), STATUS_INVALID_DEVICE_REQUEST) << minor;
    EXPECT_TRUE(AtrFieldsClear()) << minor;
    EXPECT_EQ(card().Protocol.Selected, SCARD_PROTOCOL_UNDEFINED) << minor;
  }
  EXPECT_TRUE(Frames().empty());
}

}  // namespace
