// What a cold reset sets beyond the ATR, a PTS answer without PTS1, and the timing the controller
// and the serial port are given for T=1, and the fall-back when a card refuses its PTS.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <tuple>
#include <vector>

#include "support/card_bench.h"
#include "support/stc_wire.h"

namespace {

using tolvex::testutil::Bytes;

class CardPower : public tolvex::testutil::CardBenchTest {};

TEST_F(CardPower, ResetsEffectsBeyondTheAtr) {
  // A good ATR sets the card's parameters and the serial waits follow them: T=0 with WI 10.
  script().Expect(tolvex::testutil::kResetCommand, {STC_OK, 0x3B, 0x02, 0x14, 0x50});
  SetIo({}, 64);
  card().Protocol.Selected = SCARD_PROTOCOL_T1;  // the previous card's
  smartcard()->MinorIoControlCode = SCARD_COLD_RESET;
  ASSERT_EQ(CBCardPower(smartcard()), STATUS_SUCCESS);
  EXPECT_EQ(std::tuple(card().HistoricalChars.Length, reader()->ReadIntervalTimeout,
                       reader()->ReadTotalTimeout),
            std::tuple(2, 1346u, 1396u));
}

class ProtocolSelection : public tolvex::testutil::CardBenchTest {
 protected:
  // A card after its reset that offers T=0 and T=1, with the PTS proposal of `type` and Dl;
  // the library's reply buffer is the 32-bit protocol mask.
  void Negotiable(UCHAR type, UCHAR dl) {
    SetState(SCARD_NEGOTIABLE);
    card().Protocol.Supported = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    card().Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
    card().PtsData = {.Type = type, .Fl = 1, .Dl = dl};
    SetIo({}, 4);
    smartcard()->MinorIoControlCode = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  }
};

TEST_F(ProtocolSelection, AnswerWithoutPts1IsNotReadFurtherAndEndsWithTheCardOff) {
  // With the default parameters there is no fall-back. A fourth byte awaited would never
  // come: with a read time-out of 20 s, a quick end shows none was awaited.
  Negotiable(PTS_TYPE_DEFAULT, 1);
  reader()->ReadIntervalTimeout = 0;
  reader()->ReadTotalTimeout = 20000;
  script().Expect({0x44, 0xFF, 0x11, 0x11, 0xFF}, {STC_OK, 0xFF, 0x01, 0xFE});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CBSetProtocol(smartcard()), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(card().Protocol.Selected, SCARD_PROTOCOL_UNDEFINED);
  EXPECT_EQ(information_, 0u);
  EXPECT_EQ(Io(4), Bytes(4, 0));
  EXPECT_EQ(Frames(),
            (std::vector<Bytes>{{0x44, 0xFF, 0x11, 0x11, 0xFF}, tolvex::testutil::kPowerOff}));
  EXPECT_EQ(State(), SCARD_PRESENT);
}

TEST_F(ProtocolSelection, RefusedPtsResetsTheCardColdOnceAndAsksWithItsDefaults) {
  // The card's own pair (PTS1 13) is refused: the card is reset cold and asked again with the
  // pair its new ATR allows this reader (the defaults), never a third time.
  const Bytes own = {0x44, 0xFF, 0x11, 0x13, 0xFD}, defaults = {0x44, 0xFF, 0x11, 0x11, 0xFF};
  const Bytes atr = {0x3B, 0x92, 0x13, 0x80, 0x31, 0x20, 0x45, 0x44, 0x55, 0x44};
  for (const bool echoed : {true, false}) {
    SCOPED_TRACE(echoed ? "echoed after the reset" : "refused twice");
    ReaderAnswersEverything();
    Negotiable(PTS_TYPE_OPTIMAL, 3);
    script().Expect(own, {STC_OK, 0xFF, 0x01, 0xFE});
    script().Expect(tolvex::testutil::kResetCommand, tolvex::testutil::Cat({STC_OK}, atr));
    script().Expect(
        defaults, echoed ? Bytes{STC_OK, 0xFF, 0x11, 0x11, 0xFF} : Bytes{STC_OK, 0xFF, 0x01, 0xFE});
    EXPECT_EQ(CBSetProtocol(smartcard()), echoed ? STATUS_SUCCESS : STATUS_DEVICE_PROTOCOL_ERROR);
    const auto frames = Frames();
    std::vector<Bytes> pts;
    std::copy_if(frames.begin(), frames.end(), std::back_inserter(pts),
                 [](const Bytes& f) { return f.size() > 1 && f[0] == 0x44 && f[1] == 0xFF; });
    EXPECT_EQ(pts, (std::vector<Bytes>{own, defaults}));
    const auto reset = std::find(frames.begin(), frames.end(), tolvex::testutil::kResetCommand);
    ASSERT_NE(reset, frames.end());
    EXPECT_NE(std::find(frames.begin(), reset, tolvex::testutil::kPowerOff),
              reset);  // a cold reset
    EXPECT_EQ(std::tuple(card().PtsData.Type, card().Protocol.Selected, State()),
              echoed ? std::tuple(PTS_TYPE_DEFAULT, SCARD_PROTOCOL_T1, SCARD_SPECIFIC)
                     : std::tuple(PTS_TYPE_DEFAULT, SCARD_PROTOCOL_UNDEFINED, SCARD_PRESENT));
    EXPECT_EQ(Io(4), echoed ? (Bytes{2, 0, 0, 0}) : Bytes(4, 0));
  }
}

using Timing = tolvex::testutil::CardBenchTest;

TEST_F(Timing, ProgramsTheControllerAndTheSerialWaitsForT1) {
  // T=1 at F 372, D 1, with CWI 13 and BWI 4: guard time 12, CWT 8203 + 820 = 9023 (0x233F),
  // BWT 15371 + 1537 = 16908 (0x420C), retries 0; waits 852 ms and 1597 ms, plus 30 %.
  card().Fl = 1;
  card().Dl = 1;
  card().Protocol.Selected = SCARD_PROTOCOL_T1;
  bench_.port().ClearRequests();
  ASSERT_EQ(CBSynchronizeSTC(smartcard()), STATUS_SUCCESS);
  ASSERT_EQ(CBSynchronizeCOMM(smartcard()), STATUS_SUCCESS);
  EXPECT_EQ(Frames(),
            tolvex::testutil::Wire("C2, 82 6C, C1, C2, 81 0C, 82 6F, 85 3F 23 00, 86 0C 42 00"));
  EXPECT_EQ(std::tuple(reader()->ReadIntervalTimeout, reader()->ReadTotalTimeout),
            std::tuple(1157u, 2176u));
  // The defaults of the protocol in force are written back, and only those.
  EXPECT_EQ(std::tuple(card().T0.WI, card().T1.CWI, card().T1.BWI), std::tuple(0, 13, 4));
  // The port gets the same two values, multipliers 0 and a write constant of 1000 ms.
  const auto requests = bench_.port().Requests();
  ASSERT_FALSE(requests.empty());
  ASSERT_EQ(requests.back().code, IOCTL_SERIAL_SET_TIMEOUTS);
  const SERIAL_TIMEOUTS sent{1157, 0, 2176, 0, 1000};
  const auto* bytes = reinterpret_cast<const UCHAR*>(&sent);
  EXPECT_EQ(requests.back().input, Bytes(bytes, bytes + sizeof(sent)));
  // A card's own CWI is kept, and its shorter character wait is the port's interval.
  card().T1.CWI = 5;
  ASSERT_EQ(CBSynchronizeCOMM(smartcard()), STATUS_SUCCESS);
  EXPECT_EQ(card().T1.CWI, 5);
  EXPECT_LT(reader()->ReadIntervalTimeout, 1157u);
}

}  // namespace
