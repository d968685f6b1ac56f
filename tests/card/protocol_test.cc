// Protocol selection: the PTS request on the wire, the card's answers, the fall-back to a cold
// reset with default parameters, and the requests refused before any exchange.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "support/card_bench.h"
#include "support/wait.h"

namespace {

using tolvex::testutil::Bytes;
using tolvex::testutil::Cat;
using tolvex::testutil::Relayed;

const Bytes kPowerOff = {0x84, 0x00};
const Bytes kResetCommand = {0x83, 0x1D};
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

TEST_F(ProtocolSelection, RawProtocolIsRefusedWithoutAnExchange) {
  EXPECT_EQ(Select(SCARD_PROTOCOL_RAW), STATUS_INVALID_DEVICE_REQUEST);
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

}  // namespace
