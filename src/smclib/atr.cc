// SmartcardUpdateCardCapabilities: reads the card's answer to reset (CardCapabilities.ATR) and
// derives from it what the library and the driver need to talk to the card.
//
// How it works. The ATR is walked once, every byte read checked against ATR.Length: TS, T0,
// the interface bytes group by group (TAi TBi TCi as Yi announces them, TDi announcing the next
// group and a protocol, to any depth), the K historical bytes and the check byte TCK. Group 1
// is global (TA1 Fi/Di, TB1 the old programming voltage bytes, TC1 the extra guard time N);
// group 2 holds TA2 (specific mode) and TC2 (T=0's WI); from group 3 on, a group belongs to the
// protocol named by the TD before it, and the first TA, TB and TC of a T=1 group give IFSC,
// CWI/BWI and the error detection code. T=15 groups are global and carry nothing used here.
// Everything is gathered in a local record and checked before CardCapabilities is touched.
//
// Choices:
//  - The buffer is taken as already decoded by the driver: TS reads 3B for the direct
//    convention and 3F for the inverse one, and the bytes after it are plain values.
//  - TCK is required as soon as a TD names a protocol other than T=0 (T=15 included); it must
//    then be the last byte and make the exclusive-or of T0..TCK zero. With T=0 alone, one
//    byte after the historical bytes is tolerated and not checked; anything more is refused.
//  - Protocols offered: every T named in a TD, T=15 aside; T=0 alone when there is no TD1 or
//    when the TDs name only T=15.
//  - Specific mode (TA2): the card works in the protocol of TA2's low nibble, which becomes
//    Protocol.Selected and the only one in Protocol.Supported. With TA2's implicit-parameters
//    bit, Fl and Dl are the defaults and TA1 is neither used nor checked.
//  - N, T0.WI (TC2), CWI and BWI are stored as the card sent them, 0 when absent (the driver
//    applies its defaults for absent values). IFSC is 32 when absent.
//  - PtsData: Type PTS_TYPE_OPTIMAL when the card has TA1 and is not in specific mode, else
//    PTS_TYPE_DEFAULT. In negotiable mode, Fl/Dl are TA1's pair when the reader can run it --
//    its maximum clock within the pair's fmax, and a data rate of clock * D / F at most 1%
//    above ReaderCapabilities.DataRate.Max -- and the default pair 1/1 otherwise; the pairs
//    between the two are not proposed, since a card is only bound to accept TA1's and the
//    default. In specific mode they are the pair the card already works with.
//    PtsData.CLKFrequency is the reader's maximum clock (kHz) and PtsData.DataRate the
//    resulting rate in bits per second, capped at DataRate.Max.
//  - The T=1 state of the previous card is reset (see SmartcardT1Reset), success or not.
//  - On failure Protocol.Supported and Protocol.Selected are 0 and there are no historical
//    bytes; the other fields keep their previous values.
//
// Statuses:
//  STATUS_SUCCESS             the ATR is good and the card speaks T=0 or T=1
//  STATUS_INVALID_PARAMETER   no extension
//  STATUS_DATA_ERROR          TS is neither 3B nor 3F
//  STATUS_UNRECOGNIZED_MEDIA  length 0, 1 or above 33; cut short; trailing bytes; TCK missing
//                             or wrong; a reserved Fi or Di in use; IFSC 0 or 255; BWI above 9
//  STATUS_NOT_SUPPORTED       the card offers, or in specific mode works in, neither T=0 nor T=1
#include <algorithm>
#include <cstring>
#include <iterator>

#include "platform/platform.h"
#include "smclib/smclib.h"
#include "smclib/t1.h"

namespace {

constexpr UCHAR kDirectConvention = 0x3B;
constexpr UCHAR kInverseConvention = 0x3F;
constexpr UCHAR kImplicitParameters = 0x10;  // TA2, bit 5
constexpr UCHAR kDefaultFl = 1;
constexpr UCHAR kDefaultDl = 1;
constexpr UCHAR kDefaultIfsc = 32;
constexpr UCHAR kMaximumBwi = 9;
constexpr UCHAR kTransmissionProtocols = 15;  // T=15 is not one: it carries global bytes

// What the ATR says, before it is checked and applied.
struct Atr {
  bool inverse = false;
  bool has_ta1 = false;
  UCHAR ta1 = 0;
  UCHAR tb1 = 0;
  UCHAR n = 0;
  bool has_ta2 = false;
  UCHAR ta2 = 0;
  UCHAR wi = 0;
  bool has_td1 = false;
  USHORT offered = 0;  // bit T for each protocol a TD names
  bool has_ifsc = false;
  UCHAR ifsc = 0;
  bool has_t1_tb = false;
  UCHAR t1_tb = 0;
  bool has_t1_tc = false;
  UCHAR t1_tc = 0;
  UCHAR historical[15] = {};
  UCHAR historical_length = 0;
};

// Walks the ATR's structure; checks nothing but the structure and TCK. Its parts go to
// `parts` as they are met, when it is given.
NTSTATUS Walk(const UCHAR* bytes, ULONG length, Atr* atr, ATR_STRUCTURE* parts = nullptr) {
  if (length == 0 || length > MAXIMUM_ATR_LENGTH) return STATUS_UNRECOGNIZED_MEDIA;
  if (bytes[0] != kDirectConvention && bytes[0] != kInverseConvention) return STATUS_DATA_ERROR;
  atr->inverse = bytes[0] == kInverseConvention;

  ULONG at = 1;
  auto next = [&](UCHAR* value) {
    if (at >= length) return false;
    *value = bytes[at++];
    return true;
  };

  UCHAR t0;
  if (!next(&t0)) return STATUS_UNRECOGNIZED_MEDIA;
  if (parts != nullptr) parts->T0 = t0;
  auto note = [parts](ULONG group, UCHAR kind, UCHAR value) {
    if (parts == nullptr || parts->InterfaceCount >= std::size(parts->Interface)) return;
    parts->Interface[parts->InterfaceCount++] =
        ATR_INTERFACE_ENTRY{static_cast<UCHAR>(group), kind, value};
  };
  UCHAR present = t0 >> 4;  // Yi: which of TAi TBi TCi TDi follow
  const UCHAR historical = t0 & 0x0F;
  bool tck_required = false;
  UCHAR protocol = 0;  // the protocol of the current group, named by the TD before it

  // Every turn either ends or reads a TD byte, so the walk ends within the ATR's length.
  for (ULONG group = 1;; ++group) {
    UCHAR ta = 0, tb = 0, tc = 0, td = 0;
    const bool has_ta = (present & 1) != 0;
    const bool has_tb = (present & 2) != 0;
    const bool has_tc = (present & 4) != 0;
    const bool has_td = (present & 8) != 0;
    if ((has_ta && !next(&ta)) || (has_tb && !next(&tb)) || (has_tc && !next(&tc)) ||
        (has_td && !next(&td))) {
      return STATUS_UNRECOGNIZED_MEDIA;
    }
    if (has_ta) note(group, 0, ta);
    if (has_tb) note(group, 1, tb);
    if (has_tc) note(group, 2, tc);
    if (has_td) note(group, 3, td);
    if (group == 1) {
      atr->has_ta1 = has_ta;
      atr->ta1 = ta;
      atr->tb1 = tb;
      atr->n = tc;
    } else if (group == 2) {
      atr->has_ta2 = has_ta;
      atr->ta2 = ta;
      atr->wi = tc;
    } else if (protocol == 1) {
      if (has_ta && !atr->has_ifsc) {
        atr->has_ifsc = true;
        atr->ifsc = ta;
      }
      if (has_tb && !atr->has_t1_tb) {
        atr->has_t1_tb = true;
        atr->t1_tb = tb;
      }
      if (has_tc && !atr->has_t1_tc) {
        atr->has_t1_tc = true;
        atr->t1_tc = tc;
      }
    }
    if (!has_td) break;
    if (group == 1) atr->has_td1 = true;
    present = td >> 4;
    protocol = td & 0x0F;
    atr->offered |= static_cast<USHORT>(1u << protocol);
    if (protocol != 0) tck_required = true;
  }

  if (length - at < historical) return STATUS_UNRECOGNIZED_MEDIA;
  std::memcpy(atr->historical, bytes + at, historical);
  atr->historical_length = historical;
  if (parts != nullptr) {
    parts->HistoricalOffset = at;
    parts->HistoricalLength = historical;
  }
  at += historical;

  const ULONG rest = length - at;
  if (parts != nullptr && rest >= 1) {
    parts->HasTck = TRUE;
    parts->Tck = bytes[at];
  }
  if (tck_required) {
    if (rest != 1) return STATUS_UNRECOGNIZED_MEDIA;  // TCK missing, or bytes after it
    UCHAR check = 0;
    for (ULONG i = 1; i < length; ++i) check ^= bytes[i];
    if (check != 0) return STATUS_UNRECOGNIZED_MEDIA;
  } else if (rest > 1) {
    return STATUS_UNRECOGNIZED_MEDIA;
  }
  return STATUS_SUCCESS;
}

bool ValidFiDi(UCHAR fl, UCHAR dl) {
  return ClockRateConversion[fl].F != 0 && BitRateAdjustment[dl].DNumerator != 0 &&
         BitRateAdjustment[dl].DDivisor != 0;
}

// The data rate (bits per second) of a pair at the reader's maximum clock, or 0 when it has
// none.
ULONGLONG DataRate(const READER_CAPABILITIES& reader, UCHAR fl, UCHAR dl) {
  const ULONGLONG clock = ULONGLONG{reader.CLKFrequency.Max} * 1000;
  const CLOCK_RATE_CONVERSION& f = ClockRateConversion[fl];
  const BIT_RATE_ADJUSTMENT& d = BitRateAdjustment[dl];
  if (f.F == 0 || d.DDivisor == 0) return 0;
  return clock * d.DNumerator / (ULONGLONG{f.F} * d.DDivisor);
}

// Whether the reader can run the pair: its clock within the pair's fmax and the resulting
// rate at most 1% above its maximum data rate.
bool ReaderCanRun(const READER_CAPABILITIES& reader, UCHAR fl, UCHAR dl) {
  const ULONGLONG clock = ULONGLONG{reader.CLKFrequency.Max} * 1000;
  const CLOCK_RATE_CONVERSION& f = ClockRateConversion[fl];
  const BIT_RATE_ADJUSTMENT& d = BitRateAdjustment[dl];
  if (clock == 0 || clock > f.fs) return false;
  // clock * D / F <= max * 1.01, in integers.
  return clock * d.DNumerator * 100 <= ULONGLONG{reader.DataRate.Max} * 101 * f.F * d.DDivisor;
}

void ForgetProtocols(SCARD_CARD_CAPABILITIES* card) {
  card->Protocol.Supported = 0;
  card->Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
  card->HistoricalChars.Length = 0;
}

NTSTATUS Apply(PSMARTCARD_EXTENSION extension, const Atr& atr) {
  SCARD_CARD_CAPABILITIES& card = extension->CardCapabilities;
  const READER_CAPABILITIES& reader = extension->ReaderCapabilities;

  // Protocols.
  ULONG supported = 0;
  ULONG selected = SCARD_PROTOCOL_UNDEFINED;
  const bool specific = atr.has_ta2;
  const bool implicit = specific && (atr.ta2 & kImplicitParameters) != 0;
  if (specific) {
    const UCHAR protocol = atr.ta2 & 0x0F;
    if (protocol == 0) selected = SCARD_PROTOCOL_T0;
    if (protocol == 1) selected = SCARD_PROTOCOL_T1;
    supported = selected;
  } else {
    USHORT offered = atr.offered & static_cast<USHORT>(~(1u << kTransmissionProtocols));
    if (!atr.has_td1 || offered == 0) offered = 1;  // T=0 alone
    if (offered & 1) supported |= SCARD_PROTOCOL_T0;
    if (offered & 2) supported |= SCARD_PROTOCOL_T1;
  }
  if (supported == 0) return STATUS_NOT_SUPPORTED;

  // Transmission factors.
  UCHAR fl = kDefaultFl, dl = kDefaultDl;
  if (atr.has_ta1 && !implicit) {
    fl = atr.ta1 >> 4;
    dl = atr.ta1 & 0x0F;
    if (!ValidFiDi(fl, dl)) return STATUS_UNRECOGNIZED_MEDIA;
  }

  // T=1.
  const UCHAR ifsc = atr.has_ifsc ? atr.ifsc : kDefaultIfsc;
  if (ifsc == 0 || ifsc == 0xFF) return STATUS_UNRECOGNIZED_MEDIA;
  const UCHAR cwi = atr.has_t1_tb ? (atr.t1_tb & 0x0F) : 0;
  const UCHAR bwi = atr.has_t1_tb ? (atr.t1_tb >> 4) : 0;
  if (bwi > kMaximumBwi) return STATUS_UNRECOGNIZED_MEDIA;

  // All good: fill in.
  card.InversConvention = atr.inverse ? TRUE : FALSE;
  card.ClockRateConversion = ClockRateConversion;
  card.BitRateAdjustment = BitRateAdjustment;
  card.Fl = fl;
  card.Dl = dl;
  card.II = (atr.tb1 >> 5) & 0x03;
  card.P = atr.tb1 & 0x1F;
  card.N = atr.n;
  card.Protocol.Supported = supported;
  card.Protocol.Selected = selected;
  card.T0.WI = atr.wi;
  card.T1.IFSC = ifsc;
  card.T1.CWI = cwi;
  card.T1.BWI = bwi;
  card.T1.EDC = atr.has_t1_tc && (atr.t1_tc & 1) != 0 ? T1_EDC_CRC : T1_EDC_LRC;
  std::memcpy(card.HistoricalChars.Buffer, atr.historical, atr.historical_length);
  card.HistoricalChars.Length = atr.historical_length;

  PTS_DATA& pts = card.PtsData;
  pts.Type = atr.has_ta1 && !specific ? PTS_TYPE_OPTIMAL : PTS_TYPE_DEFAULT;
  if (specific) {
    pts.Fl = fl;
    pts.Dl = dl;
  } else if (atr.has_ta1 && ReaderCanRun(reader, fl, dl)) {
    pts.Fl = fl;
    pts.Dl = dl;
  } else {
    pts.Fl = kDefaultFl;
    pts.Dl = kDefaultDl;
  }
  pts.CLKFrequency = reader.CLKFrequency.Max;
  pts.DataRate = static_cast<ULONG>(
      std::min<ULONGLONG>(DataRate(reader, pts.Fl, pts.Dl), reader.DataRate.Max));
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS SmartcardSplitAtr(const UCHAR* AtrBytes, ULONG Length, ATR_STRUCTURE* Structure) {
  RtlZeroMemory(Structure, sizeof(*Structure));
  Atr atr;
  return Walk(AtrBytes, Length, &atr, Structure);
}

NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  SCARD_CARD_CAPABILITIES& card = SmartcardExtension->CardCapabilities;
  Atr atr;
  NTSTATUS status = Walk(card.ATR.Buffer, card.ATR.Length, &atr);
  if (NT_SUCCESS(status)) status = Apply(SmartcardExtension, atr);
  if (!NT_SUCCESS(status)) ForgetProtocols(&card);
  SmartcardT1Reset(SmartcardExtension);
  return status;
}
