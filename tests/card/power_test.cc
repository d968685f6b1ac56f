// Card power, protocol selection and timing synchronisation, each a table of its calls with
// everything the call leaves behind: the status, the card's state and capabilities, the reply
// and its length, the frames on the wire and the waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "support/card_bench.h"
#include "support/stc_wire.h"

namespace {

using tolvex::testutil::Bytes;
using tolvex::testutil::Hex;
using tolvex::testutil::Program;
using tolvex::testutil::Wire;

// A power request in a card state, to a card that had T=1 in force and an ATR of four bytes: the
// reader's rules (the card's ATR behind the 90 that accepts the reset command), the status, the
// state, the ATR the library keeps, the reply and its length (0xEEEE: not written), every frame
// from the first power-off or reset command on, and the read waits left. None selects a protocol.
struct PowerCase {
  const char* name;
  ULONG code, before;
  const char* reader;
  NTSTATUS status;
  ULONG state;
  const char* atr;
  const char* reply;
  ULONG_PTR length;
  const char* wire;
  ULONG interval, total;
  friend void PrintTo(const PowerCase& c, std::ostream* os) { *os << c.name; }
};
class CardPower : public tolvex::testutil::CardBenchTest,
                  public ::testing::WithParamInterface<PowerCase> {};

TEST_P(CardPower, LeavesTheCardItsAtrAndNoProtocol) {
  const PowerCase& c = GetParam();
  SetState(c.before);
  card().Protocol.Selected = SCARD_PROTOCOL_T1;
  card().ATR = {{0x3B, 0x81, 0x81, 0x00}, 4};
  Program(script(), c.reader);
  SetIo({}, 64);
  smartcard()->MinorIoControlCode = c.code;
  EXPECT_EQ(CBCardPower(smartcard()), c.status);
  EXPECT_EQ(State(), c.state);
  EXPECT_EQ(Bytes(card().ATR.Buffer, card().ATR.Buffer + card().ATR.Length), Hex(c.atr));
  EXPECT_EQ(card().Protocol.Selected, SCARD_PROTOCOL_UNDEFINED);
  Bytes reply = Hex(c.reply);
  reply.resize(64, 0xEE);
  EXPECT_EQ(Io(64), reply);
  EXPECT_EQ(information_, c.length);
  auto frames = Frames();
  frames.erase(frames.begin(), std::find_if(frames.begin(), frames.end(), [](const Bytes& f) {
                 return f == Hex("84 00") || f == Hex("83 1D");
               }));
  EXPECT_EQ(frames, Wire(c.wire));
  EXPECT_EQ(std::pair(reader()->ReadIntervalTimeout, reader()->ReadTotalTimeout),
            std::pair(c.interval, c.total));
}

// 34 bytes: four groups of interface bytes (TD2 and TD3 name T=1), 15 historical bytes, TCK.
#define LONG_ATR                                           \
  "3B FF 11 00 00 F0 00 00 00 F1 00 00 00 F1 00 00 00 01 " \
  "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 3E"

const PowerCase kPowerCases[] = {
    {"PowerDown", SCARD_POWER_DOWN, SCARD_SPECIFIC, "* > 90", STATUS_SUCCESS, SCARD_PRESENT, "", "",
     0xEEEE, "84 00", 50, 1000},
    // T=0 with the defaults: the waits follow them, and no register is written for them.
    {"ColdReset", SCARD_COLD_RESET, SCARD_SPECIFIC, "83 1D > 90 3B 02 14 50", STATUS_SUCCESS,
     SCARD_SPECIFIC, "3B 02 14 50", "3B 02 14 50", 4, "84 00, 83 1D", 1346, 1396},
    // A card that is not powered is reset cold.
    {"WarmResetUnpowered", SCARD_WARM_RESET, SCARD_SWALLOWED, "83 1D > 90 3B 02 14 50",
     STATUS_SUCCESS, SCARD_SWALLOWED, "3B 02 14 50", "3B 02 14 50", 4, "84 00, 83 1D", 1346, 1396},
    {"SilentCard", SCARD_COLD_RESET, SCARD_SPECIFIC, "* > 90", STATUS_UNRECOGNIZED_MEDIA,
     SCARD_SPECIFIC, "", "", 0xEEEE, "84 00, 83 1D, 84 00", 0, 120},
    // Handed on, but more than the library takes: the card stays powered.
    {"AtrLongerThanTheLibraryTakes", SCARD_WARM_RESET, SCARD_SPECIFIC, "83 1D > 90 " LONG_ATR,
     STATUS_BUFFER_TOO_SMALL, SCARD_SPECIFIC, "", LONG_ATR, 34, "83 1D", 1200, 1200},
};
#undef LONG_ATR

INSTANTIATE_TEST_SUITE_P(Requests, CardPower, ::testing::ValuesIn(kPowerCases),
                         [](const auto& test) { return std::string(test.param.name); });

// A protocol request (the mask asked for) to a card after its reset, with the protocols it offers
// and the PTS proposal of its ATR (type and Dl): the reader's rules, the status, the PTS requests
// written, the cold resets made, the protocol in force and the state. The reply is that protocol
// (4 bytes) on success and 0 (no bytes) on failure; every read ends by the bytes it awaits.
struct PtsCase {
  const char* name;
  ULONG requested;
  ULONG offered;
  UCHAR type;
  UCHAR dl;
  const char* reader;
  NTSTATUS status;
  const char* pts;
  size_t resets;
  ULONG selected;
  ULONG state;
  friend void PrintTo(const PtsCase& c, std::ostream* os) { *os << c.name; }
};
class ProtocolSelection : public tolvex::testutil::CardBenchTest,
                          public ::testing::WithParamInterface<PtsCase> {};

TEST_P(ProtocolSelection, SelectsWhatTheCardConfirmsAndElseLeavesItOff) {
  const PtsCase& c = GetParam();
  SetState(SCARD_NEGOTIABLE);
  card().Protocol.Supported = c.offered;
  card().Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
  card().PtsData = {.Type = c.type, .Fl = 1, .Dl = c.dl};
  SetIo({}, 4);
  smartcard()->MinorIoControlCode = c.requested;
  Program(script(), c.reader);
  Record();
  EXPECT_EQ(CBSetProtocol(smartcard()), c.status);
  std::vector<Bytes> pts, frames = Frames();
  std::copy_if(frames.begin(), frames.end(), std::back_inserter(pts),
               [](const Bytes& f) { return f.size() > 1 && f[0] == 0x44 && f[1] == 0xFF; });
  EXPECT_EQ(pts, Wire(c.pts));
  // Each reset is cold: a power-off before it.
  for (auto at = frames.begin(); (at = std::find(at, frames.end(), Hex("83 1D"))) != frames.end();
       ++at) {
    EXPECT_EQ(*(at - 1), Hex("84 00"));
  }
  EXPECT_EQ(static_cast<size_t>(std::count(frames.begin(), frames.end(), Hex("83 1D"))), c.resets);
  EXPECT_EQ(std::tuple(card().Protocol.Selected, State()), std::tuple(c.selected, c.state));
  EXPECT_EQ(Io(4), (Bytes{static_cast<UCHAR>(c.selected), 0, 0, 0}));
  EXPECT_EQ(information_, c.status == STATUS_SUCCESS ? 4u : 0u);
  EXPECT_TRUE(RanOut().empty());
}

constexpr const char* kDefaults = "44 FF 11 11 FF";  // T=1 with the defaults
// T=1 with the card's own pair (PTS1 13), then with the defaults.
constexpr const char* kTwoPts = "44 FF 11 13 FD, 44 FF 11 11 FF";
const PtsCase kPtsCases[] = {
    {"NotOffered", SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T0, PTS_TYPE_DEFAULT, 1, "",
     STATUS_INVALID_DEVICE_REQUEST, "", 0, SCARD_PROTOCOL_UNDEFINED, SCARD_NEGOTIABLE},
    // With the default parameters there is no fall-back; no fourth byte is awaited.
    {"AnswerWithoutPts1", 3, 3, PTS_TYPE_DEFAULT, 1, "44 FF 11 11 FF > 90 FF 01 FE",
     STATUS_DEVICE_PROTOCOL_ERROR, kDefaults, 0, SCARD_PROTOCOL_UNDEFINED, SCARD_PRESENT},
    // The card's own pair refused: one cold reset, and the pair its new ATR allows this reader.
    {"RefusedThenEchoedWithTheDefaults", 3, 3, PTS_TYPE_OPTIMAL, 3,
     "44 FF 11 13 FD > 90 FF 01 FE, 83 1D > 90 3B 92 13 80 31 20 45 44 55 44, "
     "44 FF 11 11 FF > 90 FF 11 11 FF",
     STATUS_SUCCESS, kTwoPts, 1, SCARD_PROTOCOL_T1, SCARD_SPECIFIC},
    {"RefusedTwice", 3, 3, PTS_TYPE_OPTIMAL, 3,
     "44 FF 11 13 FD > 90 FF 01 FE, 83 1D > 90 3B 92 13 80 31 20 45 44 55 44, "
     "44 FF 11 11 FF > 90 FF 01 FE",
     STATUS_DEVICE_PROTOCOL_ERROR, kTwoPts, 1, SCARD_PROTOCOL_UNDEFINED, SCARD_PRESENT},
};

INSTANTIATE_TEST_SUITE_P(Requests, ProtocolSelection, ::testing::ValuesIn(kPtsCases),
                         [](const auto& test) { return std::string(test.param.name); });

// Timing synchronisation for a card's F, D and N and the protocol in force: the status of the
// controller's part and every frame it writes, the waiting integers it leaves (0 given: the
// protocol's default written back, for that protocol only), and the read waits, which the port
// gets as its time-outs with multipliers 0 and a write constant of 1000 ms.
struct TimingCase {
  const char* name;
  ULONG protocol;
  UCHAR fl, dl, n;
  const char *given, *left;  // WI, CWI, BWI
  NTSTATUS status;
  const char* wire;
  ULONG interval, total;
  friend void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.name; }
};
class Timing : public tolvex::testutil::CardBenchTest,
               public ::testing::WithParamInterface<TimingCase> {};

TEST_P(Timing, ProgramsTheControllerAndTheSerialWaitsForTheCard) {
  const TimingCase& c = GetParam();
  card().Protocol.Selected = c.protocol;
  std::tie(card().Fl, card().Dl, card().N) = std::tuple(c.fl, c.dl, c.n);
  const Bytes given = Hex(c.given);
  std::tie(card().T0.WI, card().T1.CWI, card().T1.BWI) = std::tuple(given[0], given[1], given[2]);
  bench_.port().ClearRequests();
  EXPECT_EQ(CBSynchronizeSTC(smartcard()), c.status);
  EXPECT_EQ(Frames(), Wire(c.wire));
  ASSERT_EQ(CBSynchronizeCOMM(smartcard()), STATUS_SUCCESS);
  EXPECT_EQ((Bytes{card().T0.WI, card().T1.CWI, card().T1.BWI}), Hex(c.left));
  EXPECT_EQ(std::tuple(reader()->ReadIntervalTimeout, reader()->ReadTotalTimeout),
            std::tuple(c.interval, c.total));
  const auto requests = bench_.port().Requests();
  ASSERT_FALSE(requests.empty());
  ASSERT_EQ(requests.back().code, IOCTL_SERIAL_SET_TIMEOUTS);
  const SERIAL_TIMEOUTS sent{c.interval, 0, c.total, 0, 1000};
  const auto* bytes = reinterpret_cast<const UCHAR*>(&sent);
  EXPECT_EQ(requests.back().input, Bytes(bytes, bytes + sizeof(sent)));
}

const TimingCase kTimingCases[] = {
    // F 372, D 1: guard time 12, CWT 9023, BWT 16908; waits 852 ms and 1597 ms, plus 30 %.
    {"T1Defaults", SCARD_PROTOCOL_T1, 1, 1, 0, "00 00 00", "00 0D 04", STATUS_SUCCESS,
     "C2, 82 6C, C1, C2, 81 0C, 82 6F, 85 3F 23 00, 86 0C 42 00", 1157, 2176},
    {"T0Defaults", SCARD_PROTOCOL_T0, 1, 1, 0, "00 00 00", "0A 00 00", STATUS_SUCCESS,
     "C2, 82 6F, C1, C2, 81 0D, 82 6F, 85 40 29 00, 86 40 29 00", 1346, 1396},
    // F 512, D 4 (ETU 128), the longest guard time but one, the card's own CWI 5.
    {"T1FasterCard", SCARD_PROTOCOL_T1, 9, 3, 254, "00 05 00", "00 05 04", STATUS_SUCCESS,
     "C2, 82 6C, C1, C2, 81 0A, 82 EF, 85 2F 00 00, 86 DC BF 00", 51, 2174},
    // D 2 (ETU 186), N 255 (no extra guard time), WI 20.
    {"T0SlowerCard", SCARD_PROTOCOL_T0, 1, 2, 255, "14 00 00", "14 00 00", STATUS_SUCCESS,
     "C2, 82 6F, C1, C2, 81 0D, 82 6F, 85 00 A5 00, 86 00 A5 00", 2643, 2693},
    // None in force yet, as after a reset: no register written; the waits are T=0's.
    {"NoProtocol", SCARD_PROTOCOL_UNDEFINED, 1, 1, 0, "00 00 00", "0A 00 00", STATUS_UNSUCCESSFUL,
     "", 1346, 1396},
};

INSTANTIATE_TEST_SUITE_P(Cards, Timing, ::testing::ValuesIn(kTimingCases),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
