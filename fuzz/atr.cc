// The card's answer to reset: the smart card library's parsing (SmartcardUpdateCardCapabilities)
// on raw bytes and, one input in eight, the driver's reading of the ATR (STCReadATR) and cold
// reset (CBCardPower) too.
//
// Input: a selector byte, a byte whose low three bits 0 take the input through the driver, then
// the card's bytes. Selector bit 0: a faster reader; bit 1: an ATR buffer of 33 bytes, not 64;
// bit 2: the character at (selector >> 4) comes damaged. The reader relays the bytes after its
// 90 and ends with its end-of-block report.
//
// Checked: statuses from each call's set; the library never writes the ATR, a refused one
// leaves no protocol or historical bytes, a good one offers T=0 or T=1 only, selects one it
// offers and proposes no clock or rate beyond the reader's; the driver writes nothing past the
// room given and never hands on a damaged ATR; nothing waits and no memory is left.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "driver/stc/stc.h"
#include "link_fuzz.h"

namespace tolvex::fuzz {
namespace {

constexpr ULONG kAnsweredWait = 2000;  // ms: every read here ends at the reader's report

// What SmartcardUpdateCardCapabilities returned and left for `atr` (in CardCapabilities.ATR).
void CheckCapabilities(const SMARTCARD_EXTENSION& ext, std::span<const UCHAR> atr,
                       NTSTATUS status) {
  const SCARD_CARD_CAPABILITIES& card = ext.CardCapabilities;
  Check(card.ATR.Length == atr.size() && std::equal(atr.begin(), atr.end(), card.ATR.Buffer),
        "the ATR is read, never written");
  Check(OneOf(status,
              {STATUS_SUCCESS, STATUS_UNRECOGNIZED_MEDIA, STATUS_DATA_ERROR, STATUS_NOT_SUPPORTED}),
        "an ATR's status is one of the library's");
  if (status != STATUS_SUCCESS) {
    Check(card.Protocol.Supported == 0 && card.Protocol.Selected == SCARD_PROTOCOL_UNDEFINED &&
              card.HistoricalChars.Length == 0,
          "a refused ATR leaves no protocol");
    return;
  }
  const ULONG offered = card.Protocol.Supported, selected = card.Protocol.Selected;
  Check(offered != 0 && (offered & ~ULONG{SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1}) == 0,
        "a good ATR offers T=0 or T=1");
  Check(selected == SCARD_PROTOCOL_UNDEFINED ||
            ((selected & offered) == selected && std::has_single_bit(selected)),
        "a protocol selected is one offered");
  Check(card.HistoricalChars.Length <= 15 && card.HistoricalChars.Length + 2u <= atr.size(),
        "the historical bytes are within the ATR, after TS and T0");
  Check(card.PtsData.CLKFrequency <= ext.ReaderCapabilities.CLKFrequency.Max &&
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
  CheckCapabilities(ext, atr.first(length), SmartcardUpdateCardCapabilities(&ext));
}

// The reader: every register command answered 90, the reset command with `stream`.
void BeginReset(FuzzLink& link, Bytes stream) {
  link.Begin(
      [stream](std::span<const UCHAR> frame) { return IsReset(frame) ? stream : Bytes{STC_OK}; });
  link.SetWait(kAnsweredWait);
}

void Driver(UCHAR selector, std::span<const UCHAR> bytes) {
  FuzzLink& link = Link();
  platform::PlatformScope scope(link.bench().platform());
  Bytes card(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 80));
  const size_t at = selector >> 4;
  const size_t damaged = (selector & 0x04) && at < card.size() ? at : kNoDamage;
  const ULONG room = (selector & 0x02) ? MAXIMUM_ATR_LENGTH : ATR_BUFFER_SIZE;

  // STCReadATR, after the reset command, as the reset reads it.
  BeginReset(link, ReaderStream(card, damaged, STC_BLOCK_END));
  const UCHAR reset = STC_RESET_CARD;
  Check(IFWriteSTCRegister(link.reader(), STC_RESET_REGISTER, 1, &reset) == STATUS_SUCCESS,
        "the reader takes the reset command");
  Bytes atr(ATR_BUFFER_SIZE + kCanary, kFill);
  ULONG length = room;
  const NTSTATUS status = STCReadATR(link.reader(), atr.data(), &length);
  Check(OneOf(status, {STATUS_SUCCESS, STATUS_UNRECOGNIZED_MEDIA, STATUS_BUFFER_TOO_SMALL,
                       STATUS_DATA_ERROR}),
        "the ATR's reading ends with one of its statuses");
  Check(Untouched(atr, room, atr.size()), "nothing is written past the ATR's room");
  Check(status != STATUS_SUCCESS || (length >= 2 && length <= room),
        "the ATR is TS and T0 at least, within its room");
  link.End();
  if (status != STATUS_SUCCESS) return;

  // A cold reset on the ATR STCReadATR took, through CBCardPower to the library.
  card.resize(length);
  BeginReset(link, ReaderStream(card, damaged, STC_BLOCK_END));
  PSMARTCARD_EXTENSION ext = link.smartcard();
  ext->CardCapabilities.Protocol.Supported = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;  // before
  Bytes reply(ATR_BUFFER_SIZE + kCanary, kFill);
  ext->IoRequest.ReplyBuffer = reply.data();
  ext->IoRequest.ReplyBufferLength = ATR_BUFFER_SIZE;
  ext->MinorIoControlCode = SCARD_COLD_RESET;
  const NTSTATUS power = CBCardPower(ext);
  const ULONG_PTR given = link.information();
  const UCHAR stored = ext->CardCapabilities.ATR.Length;
  Check(OneOf(power, {STATUS_SUCCESS, STATUS_IO_TIMEOUT, STATUS_BUFFER_TOO_SMALL,
                      STATUS_UNRECOGNIZED_MEDIA, STATUS_DATA_ERROR, STATUS_NOT_SUPPORTED}),
        "a reset ends with one of its statuses");
  Check(given <= ATR_BUFFER_SIZE && Untouched(reply, given, reply.size()),
        "nothing is written past the ATR given");
  Check(damaged >= length || (power != STATUS_SUCCESS && given == 0 && stored == 0),
        "a damaged ATR is not handed on");
  if (stored != 0) {
    Check(given == stored, "the ATR stored is the one given");
    CheckCapabilities(*ext, std::span<const UCHAR>(reply.data(), given), power);
  }
  link.End();
}

}  // namespace
}  // namespace tolvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::span<const UCHAR> bytes(data + 2, size - 2);
  tolvex::fuzz::Library(bytes, (data[0] & 0x01) != 0);
  if ((data[1] & 7) == 0) tolvex::fuzz::Driver(data[0], bytes);
  return 0;
}
