// SmartcardUpdateCardCapabilities on a table of ATRs: real cards' and made-up ones, good,
// cut short, with bad check bytes and reserved values, each with the fields it must give.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "smclib/bytes.h"
#include "smclib/smclib.h"

namespace {

using tolvex::smclib_test::Bytes;
using tolvex::smclib_test::Hex;

constexpr ULONG T0 = SCARD_PROTOCOL_T0;
constexpr ULONG T1 = SCARD_PROTOCOL_T1;

struct AtrCase {
  const char* name;
  const char* atr;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG supported = T0;
  ULONG selected = SCARD_PROTOCOL_UNDEFINED;
  UCHAR fl = 1;
  UCHAR dl = 1;
  UCHAR n = 0;
  UCHAR wi = 0;
  UCHAR ifsc = 32;
  UCHAR cwi = 0;
  UCHAR bwi = 0;
  UCHAR edc = T1_EDC_LRC;
  const char* historical = "";
  bool inverse = false;
  UCHAR pts_type = PTS_TYPE_DEFAULT;
  UCHAR pts_fl = 1;
  UCHAR pts_dl = 1;
  ULONG pts_rate = 9623;  // the data rate of the pair chosen, capped at max_rate
  // The reader.
  ULONG clock_khz = 3580;
  ULONG max_rate = 115200;
  // ATR.Length when not the whole ATR (the buffer still holds all of it).
  int length = -1;
};

constexpr NTSTATUS kBad = STATUS_UNRECOGNIZED_MEDIA;

const AtrCase kCases[] = {
    // Real cards.
    {.name = "T0MinimalTwoHistoricalBytes", .atr = "3B 02 14 50", .historical = "14 50"},
    {.name = "StorageCardOffersT0AndT1",
     .atr = "3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A",
     .supported = T0 | T1,
     .historical = "80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00"},
    {.name = "T0WithTB1AndTC1",
     .atr = "3B 68 00 00 00 73 C8 40 12 00 90 00",
     .historical = "00 73 C8 40 12 00 90 00"},
    {.name = "T1WithTA1Fast",
     .atr = "3B DF 18 00 81 31 FE 7D 00 6B 15 0C 01 81 01 11 01 43 4E 53 10 31 80 E8",
     .supported = T1,
     .dl = 8,
     .ifsc = 254,
     .cwi = 13,
     .bwi = 7,
     .historical = "00 6B 15 0C 01 81 01 11 01 43 4E 53 10 31 80",
     .pts_type = PTS_TYPE_OPTIMAL,
     .pts_dl = 8,
     .pts_rate = 115200},  // 115483 is within 1% of 115200
    {.name = "T1WithTA1TooFastForTheReader",
     .atr = "3B DF 18 00 81 31 FE 7D 00 6B 15 0C 01 81 01 11 01 43 4E 53 10 31 80 E8",
     .supported = T1,
     .dl = 8,
     .ifsc = 254,
     .cwi = 13,
     .bwi = 7,
     .historical = "00 6B 15 0C 01 81 01 11 01 43 4E 53 10 31 80",
     .pts_type = PTS_TYPE_OPTIMAL,
     .pts_rate = 9600,
     .max_rate = 9600},
    {.name = "JavaCardT1",
     .atr = "3B E9 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 A7",
     .supported = T1,
     .ifsc = 254,
     .cwi = 5,
     .bwi = 4,
     .historical = "4A 43 4F 50 34 31 56 32 32"},
    {.name = "InverseConvention",
     .atr = "3F 65 25 08 22 04 68 90 00",
     .n = 8,
     .historical = "22 04 68 90 00",
     .inverse = true},
    {.name = "SimWithGlobalT15Group",  // TA3 belongs to T=15: not an IFSC
     .atr = "3B 9F 96 80 1F C7 80 31 E0 73 FE 21 1B 63 F1 00 00 83 00 90 00 36",
     .fl = 9,
     .dl = 6,
     .historical = "80 31 E0 73 FE 21 1B 63 F1 00 00 83 00 90 00",
     .pts_type = PTS_TYPE_OPTIMAL,
     .pts_rate = 9623},
    {.name = "SimFastReaderTakesTA1",
     .atr = "3B 9F 96 80 1F C7 80 31 E0 73 FE 21 1B 63 F1 00 00 83 00 90 00 36",
     .fl = 9,
     .dl = 6,
     .historical = "80 31 E0 73 FE 21 1B 63 F1 00 00 83 00 90 00",
     .pts_type = PTS_TYPE_OPTIMAL,
     .pts_fl = 9,
     .pts_dl = 6,
     .pts_rate = 223750,
     .max_rate = 250000},
    // Transmission factors and the reader's limits.
    {.name = "TA1DefaultPairCountsAs9600",
     .atr = "3B 10 11",
     .pts_type = PTS_TYPE_OPTIMAL,
     .pts_rate = 9600,
     .max_rate = 9600},
    {.name = "TA1D4AtTheReadersLimit",
     .atr = "3B D1 13 00 81 31 20 45 4A 5D",
     .supported = T1,
     .dl = 3,
     .cwi = 5,
     .bwi = 4,
     .historical = "4A",
     .pts_type = PTS_TYPE_OPTIMAL,
     .pts_dl = 3,
     .pts_rate = 38400,
     .max_rate = 38400},
    {.name = "TA1D4AboveTheReadersLimit",
     .atr = "3B D1 13 00 81 31 20 45 4A 5D",
     .supported = T1,
     .dl = 3,
     .cwi = 5,
     .bwi = 4,
     .historical = "4A",
     .pts_type = PTS_TYPE_OPTIMAL,
     .max_rate = 19200},
    {.name = "TA1WithinItsFmax",
     .atr = "3B 10 02",
     .fl = 0,
     .dl = 2,
     .pts_type = PTS_TYPE_OPTIMAL,
     .pts_fl = 0,
     .pts_dl = 2,
     .pts_rate = 19247},
    {.name = "ReaderClockAboveTheFmaxOfTA1",  // Fi code 0 allows 4 MHz only
     .atr = "3B 10 02",
     .fl = 0,
     .dl = 2,
     .pts_type = PTS_TYPE_OPTIMAL,
     .pts_rate = 13440,
     .clock_khz = 5000},
    {.name = "ExtraGuardTime255StoredAsIs", .atr = "3B 40 FF", .n = 255},
    {.name = "WorkWaitingIntegerFromTC2", .atr = "3B 80 40 14", .wi = 20},
    {.name = "T1WithCrc", .atr = "3B 80 81 41 01 41", .supported = T1, .edc = T1_EDC_CRC},
    // Every group, to a fifth one: TA2 puts the card in specific mode for T=0; the second TA
    // and TB for T=1 (TA4, TB4) do not override the first.
    {.name = "EveryGroupPresent",
     .atr = "3B F3 95 00 02 F0 80 00 14 F1 80 52 01 F1 20 33 00 1F 03 41 42 43 9C",
     .supported = T0,
     .selected = T0,
     .fl = 9,
     .dl = 5,
     .n = 2,
     .wi = 20,
     .ifsc = 128,
     .cwi = 2,
     .bwi = 5,
     .edc = T1_EDC_CRC,
     .historical = "41 42 43",
     .pts_fl = 9,
     .pts_dl = 5,
     .pts_rate = 111875},
    // Specific mode: the IFSC comes from the first TA of a T=1 group, here TA4.
    {.name = "SpecificModeT1",
     .atr = "3B 90 13 91 01 81 11 40 C3",
     .supported = T1,
     .selected = T1,
     .dl = 3,
     .ifsc = 64,
     .pts_dl = 3,
     .pts_rate = 38494},
    {.name = "SpecificModeT1CannotChange",
     .atr = "3B 90 13 91 81 81 11 40 43",
     .supported = T1,
     .selected = T1,
     .dl = 3,
     .ifsc = 64,
     .pts_dl = 3,
     .pts_rate = 38494},
    {.name = "SpecificModeImplicitParametersIgnoreTA1",
     .atr = "3B 90 13 91 11 81 11 40 D3",
     .supported = T1,
     .selected = T1,
     .ifsc = 64,
     .pts_rate = 9623},
    {.name = "ImplicitParametersLeaveAReservedTA1Unused",
     .atr = "3B 90 71 10 10",
     .selected = T0,
     .pts_rate = 9623},
    {.name = "OnlyT15NamedMeansT0", .atr = "3B 80 0F 8F", .pts_rate = 9623},
    {.name = "ThirtyThreeBytes",
     .atr = "3B FF 11 00 00 E1 00 00 F1 FE 45 01 F1 20 00 00 01 01 02 03 04 05 06 07 08 09 0A "
            "0B 0C 0D 0E 0F 94",
     .supported = T1,
     .ifsc = 254,
     .cwi = 5,
     .bwi = 4,
     .edc = T1_EDC_CRC,
     .historical = "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F",
     .pts_type = PTS_TYPE_OPTIMAL,
     .pts_rate = 9623},
    {.name = "TckAfterT0OnlyToleratedUnchecked",
     .atr = "3B 02 14 50 FF",
     .historical = "14 50",
     .pts_rate = 9623},
    // Refused.
    {.name = "ThirtyFourBytes",
     .atr = "3B FF 11 00 00 E1 00 00 F1 FE 45 01 F1 20 00 00 11 33 01 02 03 04 05 06 07 08 09 "
            "0A 0B 0C 0D 0E 0F B7",
     .status = kBad},
    {.name = "Empty", .atr = "", .status = kBad},
    {.name = "OnlyTS", .atr = "3B", .status = kBad},
    {.name = "OnlyABadTS", .atr = "00", .status = STATUS_DATA_ERROR},
    {.name = "BadTS", .atr = "3C 02 14 50", .status = STATUS_DATA_ERROR},
    {.name = "CutAfterT0", .atr = "3B 12", .status = kBad},
    {.name = "CutInsideInterfaceBytes", .atr = "3B DF 18 00 81 31 FE", .status = kBad},
    {.name = "CutInsideHistoricalBytes", .atr = "3B 02 14", .status = kBad},
    {.name = "LengthCutsAGoodAtr", .atr = "3B 02 14 50", .status = kBad, .length = 3},
    {.name = "RequiredTckMissing",
     .atr = "3B E9 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 A7",
     .status = kBad,
     .length = 17},
    {.name = "BadTck",
     .atr = "3B E9 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 A6",
     .status = kBad},
    {.name = "ByteAfterTck",
     .atr = "3B E9 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 A7 00",
     .status = kBad},
    {.name = "TwoBytesAfterT0OnlyAtr", .atr = "3B 02 14 50 00 00", .status = kBad},
    {.name = "ReservedFi7", .atr = "3B 10 71", .status = kBad},
    {.name = "ReservedFi15", .atr = "3B 10 F1", .status = kBad},
    {.name = "ReservedDi0", .atr = "3B 10 10", .status = kBad},
    {.name = "ReservedDi10", .atr = "3B 10 1A", .status = kBad},
    {.name = "Ifsc0", .atr = "3B 80 81 11 00 10", .status = kBad},
    {.name = "Ifsc255", .atr = "3B 80 81 11 FF EF", .status = kBad},
    {.name = "Bwi10", .atr = "3B 80 81 21 A5 85", .status = kBad},
    {.name = "OnlyT14Offered", .atr = "3B 80 0E 8E", .status = STATUS_NOT_SUPPORTED},
    {.name = "SpecificModeT14", .atr = "3B 90 11 10 0E", .status = STATUS_NOT_SUPPORTED},
};

class AtrTest : public ::testing::TestWithParam<AtrCase> {
 protected:
  void SetUp() override {
    std::memset(&extension_, 0, sizeof(extension_));
    // What a previous card left behind, to be replaced or cleared.
    extension_.CardCapabilities.Protocol.Supported = T0 | T1;
    extension_.CardCapabilities.Protocol.Selected = T1;
    extension_.CardCapabilities.HistoricalChars.Length = 9;
    extension_.ReaderCapabilities.MaxIFSD = 254;
  }

  SMARTCARD_EXTENSION extension_;
};

TEST_P(AtrTest, GivesItsFields) {
  const AtrCase& c = GetParam();
  const Bytes atr = Hex(c.atr);
  ASSERT_LE(atr.size(), sizeof(extension_.CardCapabilities.ATR.Buffer));
  // Whatever follows the ATR in the buffer must not be read.
  std::memset(extension_.CardCapabilities.ATR.Buffer, 0x11, ATR_BUFFER_SIZE);
  if (!atr.empty()) std::memcpy(extension_.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
  extension_.CardCapabilities.ATR.Length =
      static_cast<UCHAR>(c.length >= 0 ? c.length : static_cast<int>(atr.size()));
  extension_.ReaderCapabilities.CLKFrequency.Max = c.clock_khz;
  extension_.ReaderCapabilities.DataRate.Max = c.max_rate;

  ASSERT_EQ(SmartcardUpdateCardCapabilities(&extension_), c.status);

  const SCARD_CARD_CAPABILITIES& card = extension_.CardCapabilities;
  if (c.status != STATUS_SUCCESS) {
    EXPECT_EQ(card.Protocol.Supported, 0u);
    EXPECT_EQ(card.Protocol.Selected, SCARD_PROTOCOL_UNDEFINED);
    EXPECT_EQ(card.HistoricalChars.Length, 0);
    return;
  }
  EXPECT_EQ(card.Protocol.Supported, c.supported);
  EXPECT_EQ(card.Protocol.Selected, c.selected);
  EXPECT_EQ(card.Fl, c.fl);
  EXPECT_EQ(card.Dl, c.dl);
  EXPECT_EQ(card.N, c.n);
  EXPECT_EQ(card.T0.WI, c.wi);
  EXPECT_EQ(card.T1.IFSC, c.ifsc);
  EXPECT_EQ(card.T1.CWI, c.cwi);
  EXPECT_EQ(card.T1.BWI, c.bwi);
  EXPECT_EQ(card.T1.EDC, c.edc);
  EXPECT_EQ(card.InversConvention, c.inverse ? TRUE : FALSE);
  const Bytes historical = Hex(c.historical);
  EXPECT_EQ(
      Bytes(card.HistoricalChars.Buffer, card.HistoricalChars.Buffer + card.HistoricalChars.Length),
      historical);
  EXPECT_EQ(card.PtsData.Type, c.pts_type);
  EXPECT_EQ(card.PtsData.Fl, c.pts_fl);
  EXPECT_EQ(card.PtsData.Dl, c.pts_dl);
  EXPECT_EQ(card.PtsData.CLKFrequency, c.clock_khz);
  EXPECT_EQ(card.PtsData.DataRate, c.pts_rate);
  EXPECT_EQ(card.ClockRateConversion, ClockRateConversion);
  EXPECT_EQ(card.BitRateAdjustment, BitRateAdjustment);
  // The T=1 engine starts from the card's IFSC.
  EXPECT_EQ(extension_.T1.IFSC, c.ifsc);
}

INSTANTIATE_TEST_SUITE_P(Atrs, AtrTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<AtrCase>& param) {
                           return std::string(param.param.name);
                         });

void LoadAtr(SMARTCARD_EXTENSION* extension, const char* text) {
  const Bytes atr = Hex(text);
  std::memcpy(extension->CardCapabilities.ATR.Buffer, atr.data(), atr.size());
  extension->CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
}

TEST(AtrT1Reset, ANewCardStartsTheBlockProtocolAfresh) {
  SMARTCARD_EXTENSION extension{};
  extension.ReaderCapabilities.MaxIFSD = 254;
  T1_DATA& t1 = extension.T1;
  t1.IFSC = 16;
  t1.IFSD = 20;
  t1.IfsdAnnounced = TRUE;
  t1.SSN = 1;
  t1.RSN = 1;
  t1.Wtx = 7;
  t1.State = T1_R_BLOCK;
  t1.OriginalState = T1_I_BLOCK;
  t1.NeedResynch = TRUE;
  LoadAtr(&extension, "3B E9 00 00 81 31 FE 45 4A 43 4F 50 34 31 56 32 32 A7");

  ASSERT_EQ(SmartcardUpdateCardCapabilities(&extension), STATUS_SUCCESS);
  EXPECT_EQ(t1.IFSC, 254);
  EXPECT_EQ(t1.IFSD, 254);
  EXPECT_EQ(t1.IfsdAnnounced, FALSE);
  EXPECT_EQ(t1.SSN, 0);
  EXPECT_EQ(t1.RSN, 0);
  EXPECT_EQ(t1.Wtx, 0);
  EXPECT_EQ(t1.State, T1_INIT);
  EXPECT_EQ(t1.OriginalState, T1_INIT);
  EXPECT_EQ(t1.NeedResynch, FALSE);
}

TEST(AtrT1Reset, IfsdFollowsTheReadersMaximum) {
  const struct {
    ULONG max_ifsd;
    UCHAR ifsd;
  } cases[] = {{0, 254}, {32, 32}, {254, 254}, {255, 254}, {1000, 254}};
  for (const auto& c : cases) {
    SMARTCARD_EXTENSION extension{};
    extension.ReaderCapabilities.MaxIFSD = c.max_ifsd;
    LoadAtr(&extension, "3B 02 14 50");
    ASSERT_EQ(SmartcardUpdateCardCapabilities(&extension), STATUS_SUCCESS);
    EXPECT_EQ(extension.T1.IFSD, c.ifsd) << "MaxIFSD " << c.max_ifsd;
  }
}

TEST(AtrT1Reset, EvenARefusedAtrEndsThePreviousCardsSession) {
  SMARTCARD_EXTENSION extension{};
  extension.T1.IfsdAnnounced = TRUE;
  extension.T1.SSN = 1;
  LoadAtr(&extension, "3B 10 71");
  ASSERT_EQ(SmartcardUpdateCardCapabilities(&extension), STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_EQ(extension.T1.IfsdAnnounced, FALSE);
  EXPECT_EQ(extension.T1.SSN, 0);
  EXPECT_EQ(extension.T1.IFSC, 32);
}

TEST(AtrArguments, NoExtension) {
  EXPECT_EQ(SmartcardUpdateCardCapabilities(nullptr), STATUS_INVALID_PARAMETER);
}

}  // namespace
