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
using tolvex::sim::WithTck;
using tolvex::testutil::Bytes;
using tolvex::testutil::Cat;

constexpr ULONG kT0 = SCARD_PROTOCOL_T0, kT1 = SCARD_PROTOCOL_T1;
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
  return WithTck(atr);
}
// 12 bytes: T=1 in TD1 and TD2, 5 historical bytes, TCK; and the same with a wrong TCK.
const Bytes kT1Atr = WithTck({0x3B, 0x85, 0x81, 0x31, 0x20, 0x45, 1, 2, 3, 4, 5});
const Bytes kBadTckAtr = Cat(Bytes(kT1Atr.begin(), kT1Atr.end() - 1), {UCHAR(~kT1Atr.back())});

class CardPower : public tolvex::testutil::CardBenchTest {
 protected:
  void SetUp() override {
    CardBenchTest::SetUp();
    PreviousCard();
    SetIo({}, 64);
  }
  // What the previous card left: an ATR, a protocol.
  void PreviousCard() {
    card().ATR.Length = 4;
    std::fill(std::begin(card().ATR.Buffer), std::end(card().ATR.Buffer), 0x77);
    card().Protocol.Selected = SCARD_PROTOCOL_T1;
  }
  NTSTATUS Power(ULONG minor) {
    smartcard()->MinorIoControlCode = minor;
    return CBCardPower(smartcard());
  }
  // The card's answer to the reset, after the reader's 90; none: the card is mute.
  void CardAnswers(const Bytes& atr) {
    script().Expect(kResetCommand, Cat({STC_OK}, tolvex::testutil::Relayed(atr)));
  }
  Bytes CardAtr() { return Bytes(card().ATR.Buffer, card().ATR.Buffer + card().ATR.Length); }
  void ExpectNoAtrNorProtocol() {
    EXPECT_EQ(CardAtr(), Bytes{});
    EXPECT_TRUE(std::all_of(std::begin(card().ATR.Buffer), std::end(card().ATR.Buffer),
                            [](UCHAR b) { return b == 0; }));
    EXPECT_EQ(card().Protocol.Selected, SCARD_PROTOCOL_UNDEFINED);
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
  ExpectNoAtrNorProtocol();
}

INSTANTIATE_TEST_SUITE_P(Answers, PowerDown,
                         ::testing::Values(PowerDownCase{"Acknowledged", {STC_OK}},
                                           PowerDownCase{"Refused", {STC_READER_ERROR}},
                                           PowerDownCase{"Unanswered", {}}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(CardPower, PowerDownRecordsPresentOnlyWhenACardIsIn) {
  // A power-down changes whether the card is powered, never whether one is there.
  for (ULONG before = SCARD_UNKNOWN; before <= SCARD_SPECIFIC; ++before) {
    SetState(before);
    EXPECT_EQ(Power(SCARD_POWER_DOWN), STATUS_SUCCESS);
    EXPECT_EQ(State(), std::min<ULONG>(before, SCARD_PRESENT)) << "from state " << before;
  }
}

TEST_F(CardPower, WarmResetIsColdUnlessTheCardIsPowered) {
  for (ULONG state = SCARD_PRESENT; state <= SCARD_SPECIFIC; ++state) {
    ReaderAnswersEverything();
    SetState(state);
    CardAnswers({0x3B, 0x02, 0x14, 0x50});
    ASSERT_EQ(Power(SCARD_WARM_RESET), STATUS_SUCCESS) << state;
    const auto frames = Frames();
    EXPECT_EQ(std::count(frames.begin(), frames.end(), kPowerOff), state <= SCARD_SWALLOWED ? 1 : 0)
        << state;
    EXPECT_THAT(Frames(), Contains(kResetCommand)) << state;
  }
}

struct ResetCase {
  const char* name;
  Bytes atr;  // none: the card says nothing
  ULONG room;
  NTSTATUS status;
  bool handed;      // the caller gets the ATR; else its buffer and Information are untouched
  bool kept;        // the card capabilities get it; else they are cleared
  ULONG supported;  // the protocols the ATR offers, when taken
  friend void PrintTo(const ResetCase& c, std::ostream* os) { *os << c.name; }
};

class ColdResetAtr : public CardPower, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ColdResetAtr, HandsTheAtrToTheCallerAndTheCardAsThereIsRoom) {
  const ResetCase& c = GetParam();
  CardAnswers(c.atr);
  SetIo({}, c.room);
  EXPECT_EQ(Power(SCARD_COLD_RESET), c.status);
  EXPECT_THAT(Frames(), Contains(kPowerOff));
  EXPECT_EQ(Io(c.handed ? c.atr.size() : c.room), c.handed ? c.atr : Bytes(c.room, 0xEE));
  EXPECT_EQ(information_, c.handed ? c.atr.size() : 0xEEEE);
  if (c.kept) {
    EXPECT_EQ(CardAtr(), c.atr);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(card().Protocol.Supported, c.supported);
    }
  } else {
    ExpectNoAtrNorProtocol();
  }
}

const ResetCase kResets[] = {
    {"FourBytes", {0x3B, 0x02, 0x14, 0x50}, 64, STATUS_SUCCESS, true, true, kT0},
    {"TwoBytesAreNotTaken", {0x3B, 0x00}, 64, STATUS_SUCCESS, false, false},
    {"ThirtyThreeBytes", LongAtr(false), 64, STATUS_SUCCESS, true, true, kT0 | kT1},
    {"ThirtyFourBytesAreHandedBackButRefused", LongAtr(true), 64, STATUS_BUFFER_TOO_SMALL, true,
     false},
    {"ThirtyFourBytesInRoomForThem", LongAtr(true), 34, STATUS_BUFFER_TOO_SMALL, true, false},
    {"ThirtyFourBytesInRoomForLess", LongAtr(true), 33, STATUS_BUFFER_TOO_SMALL, false, false},
    {"RoomTooSmallTheCardStillGetsIt", kT1Atr, 4, STATUS_SUCCESS, false, true, kT1},
    {"WrongTckIsTheLibrarysVerdict", kBadTckAtr, 4, STATUS_UNRECOGNIZED_MEDIA, false, true},
    {"MuteCard", {}, 64, STATUS_UNRECOGNIZED_MEDIA, false, false},
};

INSTANTIATE_TEST_SUITE_P(Atrs, ColdResetAtr, ::testing::ValuesIn(kResets),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(CardPower, ResetsEffectsBeyondTheAtr) {
  // A mute card is switched off again.
  CardAnswers({});
  EXPECT_EQ(Power(SCARD_COLD_RESET), STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_EQ(Frames().back(), kPowerOff);
  // A good ATR sets the card's parameters and the serial waits follow them: T=0 with WI 10.
  CardAnswers({0x3B, 0x02, 0x14, 0x50});
  ASSERT_EQ(Power(SCARD_COLD_RESET), STATUS_SUCCESS);
  EXPECT_EQ(card().HistoricalChars.Length, 2);
  EXPECT_EQ(reader()->ReadIntervalTimeout, 1346u);
  EXPECT_EQ(reader()->ReadTotalTimeout, 1396u);
}

TEST_F(CardPower, UnknownRequestIsRefusedWithNothingSent) {
  for (ULONG minor : {3u, 4u, 0xFFFFFFFFu}) {
    PreviousCard();
    EXPECT_EQ(Power(minor), STATUS_INVALID_DEVICE_REQUEST) << minor;
    ExpectNoAtrNorProtocol();
  }
  EXPECT_TRUE(Frames().empty());
}

}  // namespace
