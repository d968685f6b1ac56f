// The card's answer to reset: the smart card library's parsing (SmartcardUpdateCardCapabilities,
// SmartcardSplitAtr) on raw bytes, and, one input in eight (by a hash of the input, steered by
// its salt), the driver's reading of the ATR (STCReadATR) and cold reset (CBCardPower) too.
//
// Input: a selector byte, a salt byte, then the card's bytes. Selector bit 0: a faster reader;
// bit 1: an ATR buffer of 33 bytes, not 64; bit 2: the character at (selector >> 4) comes
// damaged. The reader relays the bytes after its 90 and ends with its end-of-block report.
//
// Checked: the library never writes the ATR, its status is one of its own (the split's when
// the split fails); a refused ATR leaves no protocol or historical bytes; a good one offers
// and selects T=0 or T=1 only, keeps the historical bytes the split finds and proposes no
// clock or rate beyond the reader's. The driver returns one of its statuses, writes nothing
// past the room, reads the card's own bytes behind a valid TS; the reset hands the caller
// the ATR it stores, never a damaged one; nothing waits and no memory is left.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "driver/stc/stc.h"
#include "link_fuzz.h"

namespace {

using tolvex::fuzz::Bytes;
using tolvex::fuzz::Check;
using tolvex::fuzz::FuzzLink;
using tolvex::fuzz::kNoDamage;
using tolvex::fuzz::OneOf;

constexpr ULONG kAnsweredWait = 2000;  // ms: every read here ends at the reader's report
constexpr size_t kCanary = 16;
constexpr UCHAR kFill = 0xEE;

bool Filled(const UCHAR* begin, const UCHAR* end) {
  return std::all_of(begin, end, [](UCHAR b) { return b == kFill; });
}

// What SmartcardUpdateCardCapabilities returned and left for `atr` (in CardCapabilities.ATR).
void CheckCapabilities(const SMARTCARD_EXTENSION& ext, std::span<const UCHAR> atr,
                       NTSTATUS status) {
  const SCARD_CARD_CAPABILITIES& card = ext.CardCapabilities;
  Check(card.ATR.Length == atr.size() && std::equal(atr.begin(), atr.end(), card.ATR.Buffer),
        "the ATR is read, never written");
  Check(OneOf(status,
              {STATUS_SUCCESS, STATUS_UNRECOGNIZED_MEDIA, STATUS_DATA_ERROR, STATUS_NOT_SUPPORTED}),
        "an ATR's status is one of the library's");
  ATR_STRUCTURE parts;
  const NTSTATUS split = SmartcardSplitAtr(atr.data(), static_cast<ULONG>(atr.size()), &parts);
  Check(split == STATUS_SUCCESS || status == split, "an ATR that does not split is refused so");
  Check(parts.InterfaceCount <= MAXIMUM_ATR_LENGTH, "the split stays within its table");
  if (status != STATUS_SUCCESS) {
    Check(card.Protocol.Supported == 0 && card.Protocol.Selected == SCARD_PROTOCOL_UNDEFINED &&
              card.HistoricalChars.Length == 0,
          "a refused ATR leaves no protocol");
    return;
  }
  const ULONG known = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  const ULONG selected = card.Protocol.Selected;
  Check(card.Protocol.Supported != 0 && (card.Protocol.Supported & ~known) == 0,
        "a good ATR offers T=0 or T=1");
  Check(selected == SCARD_PROTOCOL_UNDEFINED ||
            ((selected & card.Protocol.Supported) == selected && std::has_single_bit(selected)),
        "a protocol selected is one offered");
  Check(parts.HistoricalOffset + parts.HistoricalLength <= atr.size() &&
            card.HistoricalChars.Length == parts.HistoricalLength &&
            std::equal(card.HistoricalChars.Buffer,
                       card.HistoricalChars.Buffer + parts.HistoricalLength,
                       atr.begin() + parts.HistoricalOffset),
        "the historical bytes are those the split finds");
  Check(card.PtsData.CLKFrequency == ext.ReaderCapabilities.CLKFrequency.Max &&
            card.PtsData.DataRate <= ext.ReaderCapabilities.DataRate.Max,
        "the PTS proposes no more than the reader runs");
}

void Library(std::span<const UCHAR> atr, bool fast) {
  static SMARTCARD_EXTENSION ext;
  ext = SMARTCARD_EXTENSION{};
  READER_CAPABILITIES& reader = ext.ReaderCapabilities;
  reader.CLKFrequency.Default = reader.CLKFrequency.Max = fast ? 5000 : 3580;
  reader.DataRate.Default = reader.DataRate.Max = fast ? 250000 : 9600;
  reader.MaxIFSD = 254;
  SCARD_CARD_CAPABILITIES& card = ext.CardCapabilities;
  // The previous card's: a refused ATR must not leave them.
  card.Protocol.Supported = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  card.Protocol.Selected = SCARD_PROTOCOL_T1;
  card.HistoricalChars.Length = 5;
  const size_t length = std::min<size_t>(atr.size(), ATR_BUFFER_SIZE);
  std::copy_n(atr.begin(), length, card.ATR.Buffer);
  card.ATR.Length = static_cast<UCHAR>(length);
  const NTSTATUS status = SmartcardUpdateCardCapabilities(&ext);
  CheckCapabilities(ext, atr.first(length), status);
}

// The reader as the driver's reset sees it: every register command answered 90, the reset
// command with `atr` (the reader's bytes).
FuzzLink::Responder ResetAnswer(Bytes atr) {
  return [atr](std::span<const UCHAR> frame) {
    const Bytes reset = {static_cast<UCHAR>(STC_WRITE_REGISTER | STC_RESET_REGISTER),
                         STC_RESET_CARD};
    if (std::equal(frame.begin(), frame.end(), reset.begin(), reset.end())) return atr;
    return Bytes{STC_OK};
  };
}

void Driver(UCHAR selector, std::span<const UCHAR> bytes) {
  FuzzLink& link = tolvex::fuzz::Link();
  tolvex::platform::PlatformScope scope(link.bench().platform());
  const Bytes card(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 80));
  const size_t at = selector >> 4;
  const size_t damaged = (selector & 0x04) && at < card.size() ? at : kNoDamage;
  const ULONG room = (selector & 0x02) ? MAXIMUM_ATR_LENGTH : ATR_BUFFER_SIZE;
  PREADER_EXTENSION reader = link.reader();

  // STCReadATR, after the reset command, as the reset reads it.
  link.Begin(ResetAnswer(tolvex::fuzz::ReaderStream(card, damaged, STC_BLOCK_END)));
  link.SetWait(kAnsweredWait);
  const UCHAR reset = STC_RESET_CARD;
  Check(IFWriteSTCRegister(reader, STC_RESET_REGISTER, 1, &reset) == STATUS_SUCCESS,
        "the reader takes the reset command");
  UCHAR atr[ATR_BUFFER_SIZE + kCanary];
  std::fill(std::begin(atr), std::end(atr), kFill);
  ULONG length = room;
  const NTSTATUS status = STCReadATR(reader, atr, &length);
  Check(OneOf(status, {STATUS_SUCCESS, STATUS_UNRECOGNIZED_MEDIA, STATUS_BUFFER_TOO_SMALL,
                       STATUS_DATA_ERROR}),
        "the ATR's reading ends with one of its statuses");
  Check(Filled(atr + room, std::end(atr)), "nothing is written past the ATR's room");
  if (status == STATUS_SUCCESS) {
    Check(length >= 2 && length <= room, "the ATR is TS and T0 at least, within its room");
    Check(atr[0] == 0x3B || atr[0] == 0x3F, "the ATR's TS is one of the conventions");
    for (size_t i = 1; i < length; ++i) {
      Check(i == damaged || atr[i] == card[i], "the ATR is the card's bytes, in order");
    }
  }
  link.End();
  if (status != STATUS_SUCCESS) return;

  // A cold reset with the bytes STCReadATR took, through CBCardPower to the library.
  const size_t damage = damaged < length ? damaged : kNoDamage;
  link.Begin(ResetAnswer(tolvex::fuzz::ReaderStream(Bytes(card.begin(), card.begin() + length),
                                                    damage, STC_BLOCK_END)));
  link.SetWait(kAnsweredWait);
  PSMARTCARD_EXTENSION ext = link.smartcard();
  ext->CardCapabilities.Protocol.Supported = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;  // before
  Bytes reply(ATR_BUFFER_SIZE + kCanary, kFill);
  ext->IoRequest.ReplyBuffer = reply.data();
  ext->IoRequest.ReplyBufferLength = ATR_BUFFER_SIZE;
  ext->MinorIoControlCode = SCARD_COLD_RESET;
  const NTSTATUS power = CBCardPower(ext);
  const SCARD_CARD_CAPABILITIES& caps = ext->CardCapabilities;
  const ULONG_PTR given = link.information();
  Check(OneOf(power, {STATUS_SUCCESS, STATUS_IO_TIMEOUT, STATUS_BUFFER_TOO_SMALL,
                      STATUS_UNRECOGNIZED_MEDIA, STATUS_DATA_ERROR, STATUS_NOT_SUPPORTED}),
        "a reset ends with one of its statuses");
  Check(given <= ATR_BUFFER_SIZE && Filled(reply.data() + given, reply.data() + reply.size()),
        "nothing is written past the ATR given");
  Check(given == 0 || (given == length && std::equal(atr, atr + length, reply.begin())),
        "the caller gets the ATR as the reader read it");
  if (damage != kNoDamage) {
    Check(power != STATUS_SUCCESS && given == 0 && caps.ATR.Length == 0,
          "a damaged ATR is not handed on");
  }
  if (power == STATUS_SUCCESS) Check(caps.ATR.Length == length, "a good reset stores its ATR");
  if (caps.ATR.Length != 0) {
    Check(given == caps.ATR.Length && given <= MAXIMUM_ATR_LENGTH,
          "the ATR stored is the one given, no longer than any ATR");
    CheckCapabilities(*ext, std::span<const UCHAR>(reply.data(), given), power);
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
