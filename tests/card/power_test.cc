// Card power (power-down, cold and warm resets, what a reset hands to the caller and to the
// card capabilities), protocol selection (the PTS request on the wire, the card's answers, the
// fall-back to a cold reset with default parameters, the requests refused before any exchange),
// and the timing the controller and the serial port are given for the protocol in force.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "sim/atr.h"
#include "support/card_bench.h"
#include "support/stc_wire.h"
#include "support/wait.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using tolvex::sim::WithTck;
using tolvex::testutil::Bytes;
using tolvex::testutil::Cat;
using tolvex::testutil::Hex;
using tolvex::testutil::Program;
using tolvex::testutil::Relayed;

constexpr ULONG kT0 = SCARD_PROTOCOL_T0, kT1 = SCARD_PROTOCOL_T1;
const Bytes kPowerOff = {0x84, 0x00};
const Bytes kResetCommand = {0x83, 0x1D};
// The longest ATR there is room for: T0 = FF, 15 interface bytes in groups 1 to 4 (TA1 11, no
// TA2, TC2 = WI 10, T=0 then T=1, IFSC 20, BWI 4 CWI 5, TA4 FE), 15 historical bytes and TCK,
// 33 bytes; or 34, with TD4 announcing a fifth group of one TA5.
Bytes LongAtr(bool with_ta5) {
  return WithTck(Hex(std::string("3B FF 11 00 00 E0 00 0A F1 20 45 00 F1 FE 00 00") +
                     (with_ta5 ? " 11 FE" : " 01") +
                     " 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F"));
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
    script().Expect(kResetCommand, Cat({STC_OK}, Relayed(atr)));
  }
  Bytes CardAtr() { return Bytes(card().ATR.Buffer, card().ATR.Buffer + card().ATR.Length); }
  void ExpectNoAtrNorProtocol() {
    EXPECT_EQ(CardAtr(), Bytes{});
    EXPECT_TRUE(std::all_of(std::begin(card().ATR.Buffer), std::end(card().ATR.Buffer),
                            [](UCHAR b) { return b == 0; }));
    EXPECT_EQ(card().Protocol.Selected, SCARD_PROTOCOL_UNDEFINED);
  }
};

// A power-down succeeds answered or not, waits 200 ms, and changes whether the card is
// powered, never whether one is there.
TEST_F(CardPower, PowerDownLeavesACardPresent) {
  const Bytes answers[] = {{STC_OK}, {STC_READER_ERROR}, {}};  // none: silence
  for (ULONG before = SCARD_UNKNOWN; before <= SCARD_SPECIFIC; ++before) {
    script().Clear();
    if (!answers[before % 3].empty()) script().Expect(kPowerOff, answers[before % 3]);
    PreviousCard();
    SetState(before);
    Record();
    EXPECT_EQ(Power(SCARD_POWER_DOWN), STATUS_SUCCESS);
    EXPECT_EQ(Frames(), std::vector<Bytes>{kPowerOff});
    EXPECT_THAT(Delays(), ElementsAre(200));
    EXPECT_EQ(State(), std::min<ULONG>(before, SCARD_PRESENT)) << "from state " << before;
    ExpectNoAtrNorProtocol();
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
    {"ThirtyFourBytesInRoomForThem", LongAtr(true), 34, STATUS_BUFFER_TOO_SMALL, true, false},
    {"ThirtyFourBytesInRoomForLess", LongAtr(true), 33, STATUS_BUFFER_TOO_SMALL, false, false},
    {"RoomTooSmallTheCardStillGetsIt", kT1Atr, 4, STATUS_SUCCESS, false, true, kT1},
    {"WrongTckIsTheLibrarysVerdict", kBadTckAtr, 4, STATUS_UNRECOGNIZED_MEDIA, false, true},
    {"MuteCard", {}, 64, STATUS_UNRECOGNIZED_MEDIA, false, false},
};

INSTANTIATE_TEST_SUITE_P(Atrs, ColdResetAtr, ::testing::ValuesIn(kResets),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(CardPower, ResetsEffectsBeyondTheAtr) {
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

// The dual-protocol card's ATR: TA1 13 (more than a 9600 bit/s reader runs), T=0 and T=1.
const Bytes kDualAtr = {0x3B, 0x92, 0x13, 0x80, 0x31, 0x20, 0x45, 0x44, 0x55, 0x44};

class ProtocolSelection : public tolvex::testutil::CardBenchTest {
 protected:
  void SetUp() override {
    CardBenchTest::SetUp();
    // A card after its reset: both protocols, default parameters, not yet negotiated.
    SetState(SCARD_NEGOTIABLE);
    card().Protocol.Supported = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    card().PtsData.Type = PTS_TYPE_DEFAULT;
    card().PtsData.Fl = 1;
    card().PtsData.Dl = 1;
    SetIo({}, 4);  // the library's reply buffer: the 32-bit protocol mask
  }
  NTSTATUS Select(ULONG requested) {
    smartcard()->MinorIoControlCode = requested;
    return CBSetProtocol(smartcard());
  }
  // The PTS requests written, in order.
  std::vector<Bytes> PtsFrames() {
    std::vector<Bytes> pts;
    for (const Bytes& frame : Frames()) {
      if (frame.size() > 1 && frame[0] == 0x44 && frame[1] == 0xFF) pts.push_back(frame);
    }
    return pts;
  }
  // What a refusal leaves: no protocol, an empty reply.
  void ExpectRefused() {
    EXPECT_EQ(card().Protocol.Selected, SCARD_PROTOCOL_UNDEFINED);
    EXPECT_EQ(information_, 0u);
    EXPECT_EQ(Io(4), Bytes(4, 0));
  }
};

struct PtsCase {
  const char* name;
  ULONG requested;
  ULONG supported;
  UCHAR fl, dl;
  Bytes frame;  // the request as written to the reader
  ULONG selected;
  friend void PrintTo(const PtsCase& c, std::ostream* os) { *os << c.name; }
};

class PtsRequest : public ProtocolSelection, public ::testing::WithParamInterface<PtsCase> {};

TEST_P(PtsRequest, IsEchoedAndTheProtocolIsInForce) {
  const PtsCase& c = GetParam();
  card().Protocol.Supported = c.supported;
  card().PtsData.Fl = c.fl;
  card().PtsData.Dl = c.dl;
  script().Expect(c.frame, Cat({STC_OK}, Relayed(Bytes(c.frame.begin() + 1, c.frame.end()))));
  ASSERT_EQ(Select(c.requested), STATUS_SUCCESS);
  EXPECT_EQ(PtsFrames(), std::vector<Bytes>{c.frame});
  EXPECT_EQ(Io(4), (Bytes{static_cast<UCHAR>(c.selected), 0, 0, 0}));
  EXPECT_EQ(information_, 4u);
  EXPECT_EQ(State(), SCARD_SPECIFIC);
  EXPECT_EQ(card().Protocol.Selected, c.selected);
  EXPECT_EQ(card().Fl, c.fl);
  EXPECT_EQ(card().Dl, c.dl);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, PtsRequest,
    ::testing::Values(
        PtsCase{"T1Preferred", 3, 3, 1, 1, {0x44, 0xFF, 0x11, 0x11, 0xFF}, SCARD_PROTOCOL_T1},
        PtsCase{"T0Asked", 1, 3, 1, 1, {0x44, 0xFF, 0x10, 0x11, 0xFE}, SCARD_PROTOCOL_T0},
        PtsCase{
            "T0WhenTheCardHasNoT1", 3, 1, 1, 1, {0x44, 0xFF, 0x10, 0x11, 0xFE}, SCARD_PROTOCOL_T0},
        PtsCase{
            "CardsOwnParameters", 2, 2, 9, 4, {0x44, 0xFF, 0x11, 0x94, 0x7A}, SCARD_PROTOCOL_T1}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(ProtocolSelection, ProtocolInForceIsKeptWithoutAnExchange) {
  SetState(SCARD_SPECIFIC);
  card().Protocol.Selected = SCARD_PROTOCOL_T1;
  ASSERT_EQ(Select(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), STATUS_SUCCESS);
  EXPECT_TRUE(Frames().empty());
  EXPECT_EQ(Io(4), (Bytes{2, 0, 0, 0}));
  EXPECT_EQ(information_, 4u);
}

TEST_F(ProtocolSelection, ProtocolTheCardLacksIsRefusedWithoutAnExchange) {
  SetState(SCARD_SPECIFIC);
  card().Protocol.Selected = SCARD_PROTOCOL_T0;
  card().Protocol.Supported = SCARD_PROTOCOL_T0;
  EXPECT_EQ(Select(SCARD_PROTOCOL_T1), STATUS_INVALID_DEVICE_REQUEST);
  ExpectRefused();
  EXPECT_TRUE(Frames().empty());
}

TEST_F(ProtocolSelection, AnswerWithoutPts1IsNotReadFurtherAndEndsWithTheCardOff) {
  // With the default parameters there is no fall-back. A fourth byte awaited would never come:
  // with a read time-out of 20 s, a quick end shows that none was awaited.
  reader()->ReadIntervalTimeout = 0;
  reader()->ReadTotalTimeout = 20000;
  script().Expect({0x44, 0xFF, 0x11, 0x11, 0xFF}, {STC_OK, 0xFF, 0x01, 0xFE});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Select(3), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  ExpectRefused();
  EXPECT_EQ(Frames(), (std::vector<Bytes>{{0x44, 0xFF, 0x11, 0x11, 0xFF}, kPowerOff}));
  EXPECT_EQ(State(), SCARD_PRESENT);
}

struct FallbackCase {
  const char* name;
  Bytes second_answer;  // to the request after the fall-back's reset
  NTSTATUS status;
  friend void PrintTo(const FallbackCase& c, std::ostream* os) { *os << c.name; }
};

class Fallback : public ProtocolSelection, public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(Fallback, ResetsTheCardColdOnceAndAsksWithItsDefaults) {
  // The card's own pair (PTS1 13) is refused: the card is reset, and asked again with the
  // pair its new ATR allows this reader (the defaults), never a third time.
  card().PtsData.Type = PTS_TYPE_OPTIMAL;
  card().PtsData.Dl = 3;
  script().Expect({0x44, 0xFF, 0x11, 0x13, 0xFD}, {STC_OK, 0xFF, 0x01, 0xFE});
  script().Expect(kResetCommand, Cat({STC_OK}, kDualAtr));
  script().Expect({0x44, 0xFF, 0x11, 0x11, 0xFF}, GetParam().second_answer);
  EXPECT_EQ(Select(3), GetParam().status);
  EXPECT_EQ(PtsFrames(),
            (std::vector<Bytes>{{0x44, 0xFF, 0x11, 0x13, 0xFD}, {0x44, 0xFF, 0x11, 0x11, 0xFF}}));
  const auto frames = Frames();
  const auto reset = std::find(frames.begin(), frames.end(), kResetCommand);
  ASSERT_NE(reset, frames.end());
  EXPECT_NE(std::find(frames.begin(), reset, kPowerOff), reset);  // a cold reset
  EXPECT_EQ(card().PtsData.Type, PTS_TYPE_DEFAULT);
  if (GetParam().status == STATUS_SUCCESS) {
    EXPECT_EQ(card().Protocol.Selected, SCARD_PROTOCOL_T1);
    EXPECT_EQ(State(), SCARD_SPECIFIC);
    EXPECT_EQ(Io(4), (Bytes{2, 0, 0, 0}));
  } else {
    ExpectRefused();
    EXPECT_EQ(frames.back(), kPowerOff);
    EXPECT_EQ(State(), SCARD_PRESENT);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Fallback,
    ::testing::Values(
        FallbackCase{"EchoedAfterTheReset", {STC_OK, 0xFF, 0x11, 0x11, 0xFF}, STATUS_SUCCESS},
        FallbackCase{"RefusedTwice", {STC_OK, 0xFF, 0x01, 0xFE}, STATUS_DEVICE_PROTOCOL_ERROR}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(ProtocolSelection, FallbackWhoseResetFailsGivesUp) {
  card().PtsData.Type = PTS_TYPE_OPTIMAL;
  script().Expect({0x44, 0xFF, 0x11, 0x11, 0xFF}, {STC_OK, 0xFF, 0x01, 0xFE});
  script().Expect(kResetCommand, {STC_OK});  // and no ATR
  EXPECT_EQ(Select(3), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(PtsFrames().size(), 1u);
  ExpectRefused();
  EXPECT_EQ(Frames().back(), kPowerOff);
}

TEST_F(ProtocolSelection, UnreadBytesStopTheSelectionBeforeAnyExchange) {
  bench_.line().Send({0x3F});  // a TCK nobody read, say
  ASSERT_TRUE(tolvex::testutil::WaitUntil([&] { return Received() == 1; }));
  EXPECT_EQ(Select(3), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_TRUE(Frames().empty());
  EXPECT_EQ(State(), SCARD_NEGOTIABLE);
}

struct TimingCase {
  const char* name;
  ULONG protocol;
  UCHAR n;
  // Expected: the register frames in order (after the retries' read of register 2), the waits.
  UCHAR guard_low;     // 81 xx
  UCHAR mode;          // the mode register's guard-time bit merged into 0x6F / 0x6C
  ULONG cwt, bwt;      // 85 and 86, three bytes each
  UCHAR retries_mode;  // 82 xx
  ULONG interval, total;
  friend void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.name; }
};

// T=0 with the default WI 10: guard time 13, both waiting times 9600 + 960 = 10560 (0x2940),
// retries 3; waits 997 ms + 30 % + 50 and 997 ms + 30 % + 100. T=1 with CWI 13 and BWI 4: guard
// time 12, CWT 8203 + 820 = 9023 (0x233F), BWT 15371 + 1537 = 16908 (0x420C), retries 0; waits
// 852 ms and 1597 ms, plus 30 %. N 255 means no extra guard time; N 254 gives guard times 267
// and 266, with bit 8 set in the mode register.
const TimingCase kWorkedFigures[] = {
    {"T0Defaults", SCARD_PROTOCOL_T0, 0, 0x0D, 0x6F, 0x2940, 0x2940, 0x6F, 1346, 1396},
    {"T1Defaults", SCARD_PROTOCOL_T1, 0, 0x0C, 0x6F, 0x233F, 0x420C, 0x6C, 1157, 2176},
    {"T0N255", SCARD_PROTOCOL_T0, 255, 0x0D, 0x6F, 0x2940, 0x2940, 0x6F, 1346, 1396},
    {"T0N254", SCARD_PROTOCOL_T0, 254, 0x0B, 0xEF, 0x2940, 0x2940, 0x6F, 1346, 1396},
    {"T1N254", SCARD_PROTOCOL_T1, 254, 0x0A, 0xEF, 0x233F, 0x420C, 0x6C, 1157, 2176},
};

class Timing : public tolvex::testutil::CardBenchTest,
               public ::testing::WithParamInterface<TimingCase> {
 protected:
  void SetUp() override {
    CardBenchTest::SetUp();
    card().Fl = 1;  // F 372
    card().Dl = 1;  // D 1
  }
  static Bytes Register(UCHAR code, ULONG value) {
    return {code, static_cast<UCHAR>(value), static_cast<UCHAR>(value >> 8),
            static_cast<UCHAR>(value >> 16)};
  }
  void ExpectWaits(ULONG interval, ULONG total) {
    EXPECT_EQ(reader()->ReadIntervalTimeout, interval);
    EXPECT_EQ(reader()->ReadTotalTimeout, total);
  }
};

TEST_P(Timing, ProgramsTheControllerAndTheSerialWaits) {
  const TimingCase& c = GetParam();
  card().Protocol.Selected = c.protocol;
  card().N = c.n;
  bench_.port().ClearRequests();

  ASSERT_EQ(CBSynchronizeSTC(smartcard()), STATUS_SUCCESS);
  ASSERT_EQ(CBSynchronizeCOMM(smartcard()), STATUS_SUCCESS);

  EXPECT_THAT(Frames(), ElementsAre(Bytes{0xC2}, Bytes{0x82, c.retries_mode}, Bytes{0xC1},
                                    Bytes{0xC2}, Bytes{0x81, c.guard_low}, Bytes{0x82, c.mode},
                                    Register(0x85, c.cwt), Register(0x86, c.bwt)));
  ExpectWaits(c.interval, c.total);
  // The defaults of the protocol in force are written back, and only those.
  const bool t1 = c.protocol == SCARD_PROTOCOL_T1;
  EXPECT_EQ(card().T0.WI, t1 ? 0 : 10);
  EXPECT_EQ(card().T1.CWI, t1 ? 13 : 0);
  EXPECT_EQ(card().T1.BWI, t1 ? 4 : 0);

  // The port gets the same two values, multipliers 0 and a write constant of 1000 ms.
  const auto requests = bench_.port().Requests();
  ASSERT_FALSE(requests.empty());
  ASSERT_EQ(requests.back().code, IOCTL_SERIAL_SET_TIMEOUTS);
  const SERIAL_TIMEOUTS sent{c.interval, 0, c.total, 0, 1000};
  const auto* bytes = reinterpret_cast<const UCHAR*>(&sent);
  EXPECT_EQ(requests.back().input, Bytes(bytes, bytes + sizeof(sent)));
}

INSTANTIATE_TEST_SUITE_P(WorkedFigures, Timing, ::testing::ValuesIn(kWorkedFigures),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(Timing, NoProtocolProgramsNothingAndTheWaitsFollowT0) {
  card().Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
  EXPECT_EQ(CBSynchronizeSTC(smartcard()), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(Frames().empty());
  EXPECT_EQ(card().T0.WI, 0);
  ASSERT_EQ(CBSynchronizeCOMM(smartcard()), STATUS_SUCCESS);
  EXPECT_EQ(card().T0.WI, 10);
  ExpectWaits(1346, 1396);
}

TEST_F(Timing, ZeroElementaryTimeUnitWritesNothing) {
  // F 372 with a divisor of 0: the ETU is 0, so only the retries are set.
  static const BIT_RATE_ADJUSTMENT broken[16] = {{0, 0}, {1, 0}};
  card().BitRateAdjustment = broken;
  card().Protocol.Selected = SCARD_PROTOCOL_T1;
  EXPECT_EQ(CBSynchronizeSTC(smartcard()), STATUS_SUCCESS);
  EXPECT_THAT(Frames(), ElementsAre(Bytes{0xC2}, Bytes{0x82, 0x6C}));
}

TEST_F(Timing, ReservedBitRateCodeIsReplacedByTheDefaults) {
  // A zero numerator would divide by zero: the card's default parameters are used instead.
  static const BIT_RATE_ADJUSTMENT reserved[16] = {};
  card().BitRateAdjustment = reserved;
  card().Protocol.Selected = SCARD_PROTOCOL_T0;
  ASSERT_EQ(CBSynchronizeSTC(smartcard()), STATUS_SUCCESS);
  ASSERT_EQ(CBSynchronizeCOMM(smartcard()), STATUS_SUCCESS);
  ExpectWaits(1346, 1396);
}

TEST_F(Timing, FailedRegisterWriteEndsTheProgramming) {
  script().Clear();
  // The retries, the guard time, its bit 8, and the CWT refused.
  Program(script(), "C1 >> 0D, C2 >> 6F, 82 6F > 90, 81 0D > 90, 82 6F > 90, 85 40 29 00 > 84");
  card().Protocol.Selected = SCARD_PROTOCOL_T0;
  EXPECT_EQ(CBSynchronizeSTC(smartcard()), STATUS_DATA_ERROR);
  EXPECT_EQ(Frames().back(), (Bytes{0x85, 0x40, 0x29, 0x00}));  // no BWT
}

}  // namespace
