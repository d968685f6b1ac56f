// SmartcardUpdateCardCapabilities on a table of ATRs: real cards' and made-up ones, good,
// cut short, with bad check bytes and reserved values, each with what the library makes of it,
// and SmartcardSplitAtr, the ATR in its parts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>

#include "smclib/bytes.h"
#include "smclib/smclib.h"

namespace {

using tolvex::smclib_test::Bytes;
using tolvex::smclib_test::Hex;
using tolvex::smclib_test::ToHex;

struct AtrCase {
  const char* name;
  const char* atr;
  // What the library made of it (Outcome below), or why it refused it.
  const char* outcome;
  // The reader.
  ULONG max_rate = 115200;
  ULONG clock_khz = 3580;
  int length = -1;  // ATR.Length when not the whole ATR (the buffer still holds all of it)
};

const char* const kRefused = "refused";  // STATUS_UNRECOGNIZED_MEDIA

const AtrCase kCases[] = {
    // A SIM: TA3 belongs to T=15, not an IFSC.
    {"SimWithGlobalT15Group", "3B 9F 96 80 1F C7 80 31 E0 73 FE 21 1B 63 F1 00 00 83 00 90 00 36",
     "T0 Fl9 Dl6 [80 31 E0 73 FE 21 1B 63 F1 00 00 83 00 90 00] PTS optimal 9623"},
    // Transmission factors and the reader's limits.
    {"TA1D4AboveTheReadersLimit", "3B D1 13 00 81 31 20 45 4A 5D",
     "T1 Dl3 CWI5 BWI4 [4A] PTS optimal 9623", 19200},
    // Fi code 0 allows 4 MHz only.
    {"ReaderClockAboveTheFmaxOfTA1", "3B 10 02", "T0 Fl0 Dl2 PTS optimal 13440", 115200, 5000},
    // Every group, to a fifth one: TA2 puts the card in specific mode for T=0; the second TA
    // and TB for T=1 (TA4, TB4) do not override the first.
    {"EveryGroupPresent", "3B F3 95 00 02 F0 80 00 14 F1 80 52 01 F1 20 33 00 1F 03 41 42 43 9C",
     "T0 sel T0 Fl9 Dl5 N2 WI20 IFSC128 CWI2 BWI5 CRC [41 42 43] PTS Fl9 Dl5 111875"},
    // Specific mode: the IFSC comes from the first TA of a T=1 group, here TA4.
    {"SpecificModeT1", "3B 90 13 91 01 81 11 40 C3", "T1 sel T1 Dl3 IFSC64 PTS Dl3 38494"},
    {"TckAfterT0OnlyToleratedUnchecked", "3B 02 14 50 FF", "T0 [14 50] PTS 9623"},
    // Refused.
    {"BadTS", "3C 02 14 50", "bad TS"},
    {"RequiredTckMissing", "3B E9 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 A7", kRefused,
     115200, 3580, 17},
    {"TwoBytesAfterT0OnlyAtr", "3B 02 14 50 00 00", kRefused},
    {"ReservedFi7", "3B 10 71", kRefused},
    {"Ifsc0", "3B 80 81 11 00 10", kRefused},
    {"Bwi10", "3B 80 81 21 A5 85", kRefused},
    {"OnlyT14Offered", "3B 80 0E 8E", "no protocol"},
};

std::string Protocols(ULONG mask) {  // SCARD_PROTOCOL_T0 is 1, SCARD_PROTOCOL_T1 2
  const char* const kNames[] = {"none", "T0", "T1", "T0+T1"};
  return mask < 4 ? kNames[mask] : "protocols " + std::to_string(mask);
}

// Names the protocols (and the one selected in specific mode), then only what differs from a
// plain T=0 card's values: Fl, Dl, N, WI, IFSC, CWI, BWI, the EDC, the convention, the
// historical bytes, the T=1 engine's IFSD; then the PTS proposal and its data rate.
std::string Outcome(NTSTATUS status, const SMARTCARD_EXTENSION& extension) {
  const SCARD_CARD_CAPABILITIES& card = extension.CardCapabilities;
  if (status != STATUS_SUCCESS) {
    const bool cleared = card.Protocol.Supported == 0 && card.HistoricalChars.Length == 0 &&
                         card.Protocol.Selected == SCARD_PROTOCOL_UNDEFINED;
    return std::string(status == STATUS_UNRECOGNIZED_MEDIA ? kRefused
                       : status == STATUS_DATA_ERROR       ? "bad TS"
                       : status == STATUS_NOT_SUPPORTED    ? "no protocol"
                                                           : "another status") +
           (cleared ? "" : " (protocols kept)");
  }
  std::ostringstream out;
  out << Protocols(card.Protocol.Supported);
  if (card.Protocol.Selected != SCARD_PROTOCOL_UNDEFINED) {
    out << " sel " << Protocols(card.Protocol.Selected);
  }
  auto field = [&](const char* name, int value, int plain) {
    if (value != plain) out << ' ' << name << value;
  };
  field("Fl", card.Fl, 1);
  field("Dl", card.Dl, 1);
  field("N", card.N, 0);
  field("WI", card.T0.WI, 0);
  field("IFSC", card.T1.IFSC, 32);
  field("CWI", card.T1.CWI, 0);
  field("BWI", card.T1.BWI, 0);
  if (card.T1.EDC != T1_EDC_LRC) out << (card.T1.EDC == T1_EDC_CRC ? " CRC" : " EDC?");
  if (card.InversConvention) out << " inverse";
  if (card.HistoricalChars.Length != 0) {
    out << " [" << ToHex(card.HistoricalChars.Buffer, card.HistoricalChars.Length) << "]";
  }
  field("IFSD", extension.T1.IFSD, 254);
  out << " PTS" << (card.PtsData.Type == PTS_TYPE_OPTIMAL ? " optimal" : "");
  field("Fl", card.PtsData.Fl, 1);
  field("Dl", card.PtsData.Dl, 1);
  out << ' ' << card.PtsData.DataRate;
  return out.str();
}

class AtrTest : public ::testing::TestWithParam<AtrCase> {};

TEST_P(AtrTest, GivesItsFieldsAndStartsTheBlockProtocolAfresh) {
  const AtrCase& c = GetParam();
  SMARTCARD_EXTENSION extension{};
  // What a previous card left behind, to be replaced or cleared.
  SCARD_CARD_CAPABILITIES& card = extension.CardCapabilities;
  card.Protocol.Supported = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  card.Protocol.Selected = SCARD_PROTOCOL_T1;
  card.HistoricalChars.Length = 9;
  T1_DATA& t1 = extension.T1;
  std::memset(&t1, 0x5A, sizeof(t1));
  extension.ReaderCapabilities.MaxIFSD = 254;
  extension.ReaderCapabilities.CLKFrequency.Max = c.clock_khz;
  extension.ReaderCapabilities.DataRate.Max = c.max_rate;
  const Bytes atr = Hex(c.atr);
  // Whatever follows the ATR in the buffer must not be read.
  std::memset(card.ATR.Buffer, 0x11, ATR_BUFFER_SIZE);
  std::copy(atr.begin(), atr.end(), card.ATR.Buffer);
  card.ATR.Length = static_cast<UCHAR>(c.length >= 0 ? c.length : static_cast<int>(atr.size()));

  const NTSTATUS status = SmartcardUpdateCardCapabilities(&extension);
  EXPECT_EQ(Outcome(status, extension), c.outcome);
  if (status == STATUS_SUCCESS) {
    EXPECT_EQ(card.PtsData.CLKFrequency, c.clock_khz);
    EXPECT_EQ(card.ClockRateConversion, ClockRateConversion);
    EXPECT_EQ(card.BitRateAdjustment, BitRateAdjustment);
  }
  // Success or not, the previous card's T=1 session is over: the engine starts from the new
  // card's IFSC (32 without one), with all else at its start (0, T1_INIT), IFSD unannounced.
  EXPECT_EQ(t1.IFSC, status == STATUS_SUCCESS ? card.T1.IFSC : 32);
  EXPECT_EQ(t1.IfsdAnnounced | t1.SSN | t1.RSN | t1.Wtx | t1.State | t1.OriginalState | t1.Phase |
                t1.Retries | t1.Resynchs | t1.Turns | t1.NeedResynch,
            0u);
}

INSTANTIATE_TEST_SUITE_P(Atrs, AtrTest, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(AtrSplit, GivesEveryPartInOrder) {
  const Bytes atr = Hex("3B F3 95 00 02 F0 80 00 14 F1 80 52 01 F1 20 33 00 1F 03 41 42 43 9C");
  ATR_STRUCTURE parts;
  std::memset(&parts, 0xEE, sizeof(parts));  // whatever the caller's structure held
  ASSERT_EQ(SmartcardSplitAtr(atr.data(), static_cast<ULONG>(atr.size()), &parts), STATUS_SUCCESS);
  std::string interface;
  for (ULONG i = 0; i < std::min<ULONG>(parts.InterfaceCount, MAXIMUM_ATR_LENGTH); ++i) {
    const ATR_INTERFACE_ENTRY& entry = parts.Interface[i];
    interface += std::string(i == 0 ? "T" : " T") + "ABCD"[entry.Kind % 4] +
                 std::to_string(entry.Group) + "=" + ToHex(&entry.Value, 1);
  }
  EXPECT_EQ(interface,
            "TA1=95 TB1=00 TC1=02 TD1=F0 TA2=80 TB2=00 TC2=14 TD2=F1 TA3=80 TB3=52 TC3=01 TD3=F1 "
            "TA4=20 TB4=33 TC4=00 TD4=1F TA5=03");
  EXPECT_EQ(
      std::tuple(parts.T0, parts.HistoricalOffset, parts.HistoricalLength, parts.HasTck, parts.Tck),
      std::tuple(UCHAR{0xF3}, ULONG{19}, ULONG{3}, BOOLEAN{TRUE}, UCHAR{0x9C}));
}

}  // namespace
