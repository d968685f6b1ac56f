// The card's answer to reset: the smart card library's parsing and card-capability update on
// raw bytes (most inputs), and the driver's reading of the ATR as the reader relays it
// (STCReadATR) and its cold reset (CBCardPower), which hands the ATR to the library.
//
// Input: a selector byte, a salt byte, then the card's bytes.
//   Every input: the library alone, SmartcardUpdateCardCapabilities and SmartcardSplitAtr on
//   the bytes; selector bit 0 picks the reader's capabilities (start-up's, or a faster reader).
//   One input in eight, by a hash of the whole input (the salt is there to steer it): also the
//   driver. The reader relays the bytes after its 90, escaped, and ends with its end-of-block
//   report; selector bit 2: the character at (selector >> 4) comes damaged (10 88 in its
//   place); bit 1: the ATR buffer holds 33 bytes instead of 64. STCReadATR reads them, then a
//   cold reset (the bytes it took, nothing behind) runs CBCardPower. The hash, rather than a
//   selector bit, keeps most executions on the fast path however the corpus grows: a driver
//   input's mutations mostly hash to the library alone.
// An ATR is checked against a reading of ISO/IEC 7816-3 of the harness's own: its structure,
// what the card offers, and the parameters the library derives; a failure leaves no protocol,
// and the driver stores an ATR whole or refuses it with a status.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "driver/stc/stc.h"
#include "link_fuzz.h"

namespace {

using tolvex::fuzz::Bytes;
using tolvex::fuzz::Check;
using tolvex::fuzz::FuzzLink;
using tolvex::fuzz::Relayed;

// The link's wait for reads the reader answers (every one here: the reader's stream ends with
// its end-of-block report), ms.
constexpr ULONG kAnsweredWait = 2000;

// What ISO/IEC 7816-3 reads in an ATR, with the library's documented choices.
struct Reading {
  NTSTATUS structure = STATUS_SUCCESS;  // of the bytes' structure and TCK
  bool inverse = false;
  std::optional<UCHAR> ta[4], tb[4], tc[4], td[4];  // groups 1 to 3 (index 1..3)
  bool has_td1 = false;
  unsigned offered = 0;  // bit T for every T a TD names
  std::optional<UCHAR> ifsc, t1_tb, t1_tc;
  size_t historical_at = 0;
  size_t historical = 0;
};

Reading Read(std::span<const UCHAR> atr) {
  Reading r;
  const size_t n = atr.size();
  if (n == 0 || n > MAXIMUM_ATR_LENGTH) {
    r.structure = STATUS_UNRECOGNIZED_MEDIA;
    return r;
  }
  if (atr[0] != 0x3B && atr[0] != 0x3F) {
    r.structure = STATUS_DATA_ERROR;
    return r;
  }
  r.inverse = atr[0] == 0x3F;
  if (n < 2) {
    r.structure = STATUS_UNRECOGNIZED_MEDIA;
    return r;
  }
  size_t at = 2;
  unsigned y = atr[1] >> 4;
  const size_t k = atr[1] & 0x0F;
  unsigned t = 0;  // the protocol the TD before the group names
  bool tck = false;
  for (size_t i = 1;; ++i) {
    std::optional<UCHAR> bytes[4];
    for (int j = 0; j < 4; ++j) {
      if ((y & (1u << j)) == 0) continue;
      if (at >= n) {
        r.structure = STATUS_UNRECOGNIZED_MEDIA;
        return r;
      }
      bytes[j] = atr[at++];
    }
    if (i <= 3) {
      r.ta[i] = bytes[0];
      r.tb[i] = bytes[1];
      r.tc[i] = bytes[2];
      r.td[i] = bytes[3];
    }
    if (i >= 3 && t == 1) {
      if (!r.ifsc) r.ifsc = bytes[0];
      if (!r.t1_tb) r.t1_tb = bytes[1];
      if (!r.t1_tc) r.t1_tc = bytes[2];
    }
    if (!bytes[3]) break;
    if (i == 1) r.has_td1 = true;
    t = *bytes[3] & 0x0F;
    r.offered |= 1u << t;
    tck = tck || t != 0;
    y = *bytes[3] >> 4;
  }
  if (n - at < k) {
    r.structure = STATUS_UNRECOGNIZED_MEDIA;
    return r;
  }
  r.historical_at = at;
  r.historical = k;
  at += k;
  if (tck) {
    UCHAR check = 0;
    for (size_t i = 1; i < n; ++i) check ^= atr[i];
    if (n - at != 1 || check != 0) r.structure = STATUS_UNRECOGNIZED_MEDIA;
  } else if (n - at > 1) {
    r.structure = STATUS_UNRECOGNIZED_MEDIA;
  }
  return r;
}

bool CanRun(const READER_CAPABILITIES& reader, UCHAR fl, UCHAR dl) {
  const ULONGLONG clock = ULONGLONG{reader.CLKFrequency.Max} * 1000;
  const CLOCK_RATE_CONVERSION& f = ClockRateConversion[fl];
  const BIT_RATE_ADJUSTMENT& d = BitRateAdjustment[dl];
  if (clock == 0 || clock > f.fs || f.F == 0 || d.DDivisor == 0) return false;
  // The rate clock x D / F at most 1 % above the reader's maximum.
  return clock * d.DNumerator * 100 <= ULONGLONG{reader.DataRate.Max} * 101 * f.F * d.DDivisor;
}

// Checks what SmartcardUpdateCardCapabilities made of `atr` (in CardCapabilities.ATR) and
// returned.
// `synchronized`: the driver's timing has since written its defaults back for what the card
// left out (WI 10; CWI 13 and BWI 4 for T=1).
void CheckCapabilities(const SMARTCARD_EXTENSION& ext, std::span<const UCHAR> atr, NTSTATUS status,
                       bool synchronized) {
  const SCARD_CARD_CAPABILITIES& card = ext.CardCapabilities;
  Check(card.ATR.Length == atr.size() && std::equal(atr.begin(), atr.end(), card.ATR.Buffer),
        "the ATR is left as it was");
  const Reading r = Read(atr);

  // What the library is to decide, in its order.
  NTSTATUS expected = r.structure;
  const bool specific = r.ta[2].has_value();
  const bool implicit = specific && (*r.ta[2] & 0x10) != 0;
  ULONG supported = 0;
  if (specific) {
    const UCHAR t = *r.ta[2] & 0x0F;
    supported = t == 0 ? SCARD_PROTOCOL_T0 : t == 1 ? SCARD_PROTOCOL_T1 : 0;
  } else {
    unsigned offered = r.offered & ~(1u << 15);
    if (!r.has_td1 || offered == 0) offered = 1;
    if (offered & 1) supported |= SCARD_PROTOCOL_T0;
    if (offered & 2) supported |= SCARD_PROTOCOL_T1;
  }
  UCHAR fl = 1, dl = 1;
  if (r.ta[1] && !implicit) {
    fl = *r.ta[1] >> 4;
    dl = *r.ta[1] & 0x0F;
  }
  const UCHAR ifsc = r.ifsc.value_or(32);
  const UCHAR bwi = r.t1_tb ? static_cast<UCHAR>(*r.t1_tb >> 4) : 0;
  if (expected == STATUS_SUCCESS) {
    if (supported == 0) {
      expected = STATUS_NOT_SUPPORTED;
    } else if (ClockRateConversion[fl].F == 0 || BitRateAdjustment[dl].DNumerator == 0 ||
               BitRateAdjustment[dl].DDivisor == 0) {
      expected = STATUS_UNRECOGNIZED_MEDIA;
    } else if (ifsc == 0 || ifsc == 0xFF || bwi > 9) {
      expected = STATUS_UNRECOGNIZED_MEDIA;
    }
  }
  Check(status == expected, "the ATR's status is as ISO/IEC 7816-3 reads it");

  ATR_STRUCTURE parts;
  Check(SmartcardSplitAtr(atr.data(), static_cast<ULONG>(atr.size()), &parts) == r.structure,
        "the ATR splits as it parses");
  if (r.structure == STATUS_SUCCESS) {
    Check(parts.HistoricalOffset == r.historical_at && parts.HistoricalLength == r.historical,
          "the split finds the historical bytes");
  }

  if (status != STATUS_SUCCESS) {
    Check(card.Protocol.Supported == 0 && card.Protocol.Selected == SCARD_PROTOCOL_UNDEFINED &&
              card.HistoricalChars.Length == 0,
          "a refused ATR leaves no protocol");
    return;
  }
  // Offered: only the protocols the ATR names (T=0 when it names none).
  Check(card.Protocol.Supported == supported, "the protocols are those the ATR offers");
  Check(card.Protocol.Selected == (specific ? supported : SCARD_PROTOCOL_UNDEFINED),
        "only specific mode selects a protocol");
  Check(card.HistoricalChars.Length == r.historical &&
            std::equal(card.HistoricalChars.Buffer, card.HistoricalChars.Buffer + r.historical,
                       atr.begin() + r.historical_at),
        "the historical bytes are the ATR's");
  Check(card.InversConvention == (r.inverse ? TRUE : FALSE), "the convention is TS's");
  Check(card.Fl == fl && card.Dl == dl, "Fl and Dl are TA1's, or the defaults");
  const UCHAR tb1 = r.tb[1].value_or(0);
  Check(card.II == ((tb1 >> 5) & 3) && card.P == (tb1 & 0x1F) && card.N == r.tc[1].value_or(0),
        "TB1 and TC1 are kept");
  const UCHAR wi = r.tc[2].value_or(0);
  const UCHAR cwi = r.t1_tb ? (*r.t1_tb & 0x0F) : 0;
  const bool t1 = card.Protocol.Selected == SCARD_PROTOCOL_T1;
  Check(card.T0.WI == wi || (synchronized && wi == 0 && !t1 && card.T0.WI == 10),
        "TC2 is T=0's WI");
  Check(card.T1.IFSC == ifsc &&
            (card.T1.BWI == bwi || (synchronized && bwi == 0 && t1 && card.T1.BWI == 4)) &&
            (card.T1.CWI == cwi || (synchronized && cwi == 0 && t1 && card.T1.CWI == 13)) &&
            card.T1.EDC == (r.t1_tc && (*r.t1_tc & 1) ? T1_EDC_CRC : T1_EDC_LRC),
        "the T=1 bytes are the first of a T=1 group");
  const PTS_DATA& pts = card.PtsData;
  Check(pts.Type == (r.ta[1] && !specific ? PTS_TYPE_OPTIMAL : PTS_TYPE_DEFAULT),
        "a PTS is proposed for TA1 in negotiable mode");
  const bool own = specific || (r.ta[1] && CanRun(ext.ReaderCapabilities, fl, dl));
  Check(pts.Fl == (own ? fl : 1) && pts.Dl == (own ? dl : 1),
        "the PTS proposes TA1's pair when the reader runs it, else the defaults");
  Check(pts.CLKFrequency == ext.ReaderCapabilities.CLKFrequency.Max &&
            pts.DataRate <= ext.ReaderCapabilities.DataRate.Max,
        "the PTS's clock and rate are the reader's");
}

// The reader capabilities: start-up's, or a faster reader's.
void SetReader(READER_CAPABILITIES& reader, bool fast) {
  reader.CLKFrequency.Default = reader.CLKFrequency.Max = fast ? 5000 : 3580;
  reader.DataRate.Default = reader.DataRate.Max = fast ? 250000 : 9600;
  reader.MaxIFSD = 254;
}

void Library(std::span<const UCHAR> atr, bool fast) {
  static SMARTCARD_EXTENSION ext;
  ext = SMARTCARD_EXTENSION{};
  SetReader(ext.ReaderCapabilities, fast);
  SCARD_CARD_CAPABILITIES& card = ext.CardCapabilities;
  // The previous card's: a refused ATR must not leave them.
  card.Protocol.Supported = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  card.Protocol.Selected = SCARD_PROTOCOL_T1;
  card.HistoricalChars.Length = 5;
  const size_t length = std::min<size_t>(atr.size(), ATR_BUFFER_SIZE);
  std::copy_n(atr.begin(), length, card.ATR.Buffer);
  card.ATR.Length = static_cast<UCHAR>(length);
  const NTSTATUS status = SmartcardUpdateCardCapabilities(&ext);
  CheckCapabilities(ext, atr.first(length), status, false);
}

// What STCReadATR is to make of the card's bytes (the damaged one already 0), read by the
// ATR's structure into `room` bytes: its status, length and interface bytes of groups 1 to 3.
struct DriverReading {
  NTSTATUS status = STATUS_SUCCESS;
  size_t length = 0;
  std::optional<UCHAR> table[12];
};

DriverReading ReadAsDriver(const Bytes& card, size_t room) {
  DriverReading d;
  size_t at = 0;
  // A read of `count` more: the bytes must be there (else the card gave no complete answer)
  // and fit the room.
  auto take = [&](size_t count) {
    if (at + count > card.size()) {
      d.status = STATUS_UNRECOGNIZED_MEDIA;
      return false;
    }
    if (at + count > room) {
      d.status = STATUS_BUFFER_TOO_SMALL;
      return false;
    }
    at += count;
    return true;
  };
  if (!take(1) || !take(1)) return d;
  const UCHAR ts = card[0] == 0x03 ? 0x3F : card[0];
  if (ts != 0x3B && ts != 0x3F) {
    d.status = STATUS_DATA_ERROR;
    return d;
  }
  unsigned present = card[1] >> 4;
  for (size_t group = 1; present != 0; ++group) {
    const size_t start = at;
    if (!take(static_cast<size_t>(std::popcount(present)))) return d;
    size_t next = start;
    for (unsigned j = 0; j < 4; ++j) {
      if ((present & (1u << j)) == 0) continue;
      if (group <= 3) d.table[4 * (group - 1) + j] = card[next];
      ++next;
    }
    if ((present & 8) == 0) break;
    present = card[at - 1] >> 4;
  }
  if (!take(card[1] & 0x0F)) return d;
  const auto& td1 = d.table[3];
  const auto& td2 = d.table[7];
  const unsigned protocol = td2 ? (*td2 & 0x0F) : td1 ? (*td1 & 0x0F) : 0;
  if (protocol != 0 && at < card.size()) {
    if (!take(1)) return d;  // a TCK that does not fit
  }
  d.length = at;
  return d;
}

// The reader as the driver's reset sees it: every register command answered 90, the reset
// command with 90 and `atr` (the reader's bytes).
FuzzLink::Responder ResetAnswer(Bytes atr) {
  return [atr](std::span<const UCHAR> frame) {
    const Bytes reset = {static_cast<UCHAR>(STC_WRITE_REGISTER | STC_RESET_REGISTER),
                         STC_RESET_CARD};
    if (std::equal(frame.begin(), frame.end(), reset.begin(), reset.end())) return atr;
    return Bytes{STC_OK};
  };
}

// The reader's bytes for the card's: 90, the card's bytes escaped (the damaged one as 10 88),
// its end-of-block report.
constexpr size_t kNoDamage = SIZE_MAX;

Bytes Stream(const Bytes& card, size_t damaged) {
  Bytes wire{STC_OK};
  for (size_t i = 0; i < card.size(); ++i) {
    if (damaged == i) {
      wire.insert(wire.end(), {STC_ESCAPE, STC_CHARACTER_ERROR});
    } else {
      const Bytes one = Relayed(std::span<const UCHAR>(&card[i], 1));
      wire.insert(wire.end(), one.begin(), one.end());
    }
  }
  wire.insert(wire.end(), {STC_ESCAPE, STC_BLOCK_END});
  return wire;
}

void Driver(UCHAR selector, std::span<const UCHAR> bytes) {
  FuzzLink& link = tolvex::fuzz::Link();
  tolvex::platform::PlatformScope scope(link.bench().platform());
  Bytes card(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 80));
  size_t damaged = kNoDamage;
  const size_t at = selector >> 4;
  if ((selector & 0x04) && at < card.size()) damaged = at;
  const size_t room = (selector & 0x02) ? MAXIMUM_ATR_LENGTH : ATR_BUFFER_SIZE;
  Bytes as_read = card;  // the damaged character keeps its place as a 0
  if (damaged != kNoDamage) as_read[damaged] = 0;
  const DriverReading expected = ReadAsDriver(as_read, room);
  PREADER_EXTENSION reader = link.reader();

  // STCReadATR, after the reset command, as ResetOnce reads it.
  link.Begin(ResetAnswer(Stream(card, damaged)));
  link.SetWaits(0, kAnsweredWait);
  const UCHAR reset = STC_RESET_CARD;
  Check(IFWriteSTCRegister(reader, STC_RESET_REGISTER, 1, &reset) == STATUS_SUCCESS,
        "the reader takes the reset command");
  UCHAR atr[ATR_BUFFER_SIZE + 16];
  std::fill(std::begin(atr), std::end(atr), 0xEE);
  ULONG length = static_cast<ULONG>(room);
  const NTSTATUS status = STCReadATR(reader, atr, &length);
  Check(status == expected.status, "the ATR is read by its structure");
  Check(std::all_of(atr + room, std::end(atr), [](UCHAR b) { return b == 0xEE; }),
        "nothing is written past the ATR's room");
  if (status == STATUS_SUCCESS) {
    Check(length == expected.length, "the ATR's length is its structure's");
    Bytes want(as_read.begin(), as_read.begin() + expected.length);
    if (want[0] == 0x03) want[0] = 0x3F;
    Check(std::equal(want.begin(), want.end(), atr), "the ATR is the card's bytes");
    for (size_t k = 0; k < 12; ++k) {
      const ATR_INTERFACE_BYTE& entry = reader->AtrInterfaceBytes[k];
      Check(entry.Present == (expected.table[k] ? 1 : 0) &&
                (!expected.table[k] || entry.Value == *expected.table[k]),
            "the interface bytes of groups 1 to 3 are kept");
    }
  }
  link.Quiet();
  Check(tolvex::platform::SharedLoad(reader->CharacterErrorStatus) ==
            (damaged != kNoDamage ? STATUS_DATA_ERROR : STATUS_SUCCESS),
        "a damaged character is told");
  link.End();
  if (status != STATUS_SUCCESS || length > ATR_BUFFER_SIZE) return;

  // A cold reset with the bytes STCReadATR took, through CBCardPower to the library.
  const size_t damage = damaged < length ? damaged : kNoDamage;
  link.Begin(ResetAnswer(Stream(Bytes(card.begin(), card.begin() + length), damage)));
  link.SetWaits(0, kAnsweredWait);
  PSMARTCARD_EXTENSION ext = link.smartcard();
  ext->CardCapabilities.Protocol.Supported = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;  // before
  Bytes reply(ATR_BUFFER_SIZE, 0xEE);
  ext->IoRequest.ReplyBuffer = reply.data();
  ext->IoRequest.ReplyBufferLength = static_cast<ULONG>(reply.size());
  ext->MinorIoControlCode = SCARD_COLD_RESET;
  const NTSTATUS power = CBCardPower(ext);
  const SCARD_CARD_CAPABILITIES& caps = ext->CardCapabilities;
  Bytes stored = as_read;
  if (stored[0] == 0x03) stored[0] = 0x3F;
  stored.resize(length);
  if (damage != kNoDamage) {
    // Damaged twice (the cold reset and its warm repeat): never handed on.
    Check(power == STATUS_IO_TIMEOUT, "a damaged ATR is refused");
    Check(caps.ATR.Length == 0 && link.information() == 0, "a damaged ATR is not handed on");
  } else if (length > MAXIMUM_ATR_LENGTH) {
    Check(power == STATUS_BUFFER_TOO_SMALL && caps.ATR.Length == 0,
          "an ATR longer than any ATR is refused");
  } else {
    // Stored whole, or refused with a status.
    Check(caps.ATR.Length == length || power != STATUS_SUCCESS,
          "a good reset stores the ATR whole");
    if (caps.ATR.Length != 0) {
      Check(caps.ATR.Length == length, "the ATR is stored whole");
      Check(link.information() == length && std::equal(stored.begin(), stored.end(), reply.begin()),
            "the caller gets the ATR");
      CheckCapabilities(*ext, stored, power, power == STATUS_SUCCESS);
    }
  }
  link.End();
}

// Whether the input goes through the driver too: FNV-1a of the input, one in eight.
bool ThroughDriver(const uint8_t* data, size_t size) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
  return (hash & 7) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const UCHAR selector = data[0];
  const std::span<const UCHAR> bytes(data + 2, size - 2);
  Library(bytes, (selector & 0x01) != 0);
  if (ThroughDriver(data, size)) Driver(selector, bytes);
  return 0;
}
