// What a cold reset sets beyond the ATR, a PTS answer without PTS1, and the timing the controller
// and the serial port are given for T=1.
#include <gtest/gtest.h>

#include <chrono>
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
  EXPECT_EQ(card().HistoricalChars.Length, 2);
  EXPECT_EQ(reader()->ReadIntervalTimeout, 1346u);
  EXPECT_EQ(reader()->ReadTotalTimeout, 1396u);
}

class ProtocolSelection : public tolvex::testutil::CardBenchTest {};

TEST_F(ProtocolSelection, AnswerWithoutPts1IsNotReadFurtherAndEndsWithTheCardOff) {
  // A card after its reset, with the default parameters: there is no fall-back. A fourth byte
  // awaited would never come: with a read time-out of 20 s, a quick end shows none was awaited.
  SetState(SCARD_NEGOTIABLE);
  card().Protocol.Supported = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  card().PtsData = {.Type = PTS_TYPE_DEFAULT, .Fl = 1, .Dl = 1};
  SetIo({}, 4);  // the library's reply buffer: the 32-bit protocol mask
  smartcard()->MinorIoControlCode = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
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
  EXPECT_EQ(reader()->ReadIntervalTimeout, 1157u);
  EXPECT_EQ(reader()->ReadTotalTimeout, 2176u);
  // The defaults of the protocol in force are written back, and only those.
  EXPECT_EQ(card().T0.WI, 0);
  EXPECT_EQ(card().T1.CWI, 13);
  EXPECT_EQ(card().T1.BWI, 4);
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
