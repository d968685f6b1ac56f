// The card's answer to a PTS request, through the driver's protocol selection (CBSetProtocol)
// on a card that has just been reset.
//
// Input: byte 0 bits 0-2: the card, by its ATR (kCards); bits 3-4: the protocols asked for.
// Byte 1 bit 1: the reader ends the card's answers with its error report, not the end of the
// block; bits 2-3: 0, or 1 + the place of a damaged character in the first answer; bits 4-5:
// the answer to the fall-back's reset: the ATR (0, 3), none (1), one the library refuses (2).
// Byte 2: the first answer's length (% 16), then its bytes; the rest: every later answer.
//
// Checked: the status is one of protocol selection's; nothing is written past the 4-byte
// reply; a success tells the caller one protocol, asked for, offered and in force; a failure
// selects no protocol and tells none; nothing waits and no memory is left.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "driver/stc/stc.h"
#include "link_fuzz.h"

namespace tolvex::fuzz {
namespace {

constexpr ULONG kAnsweredWait = 2000;  // ms: every read here is answered, or ended by a report

const Bytes kCards[8] = {
    {0x3B, 0x02, 0x14, 0x50},                                      // T=0, no TA1
    {0x3B, 0x92, 0x13, 0x80, 0x31, 0x20, 0x45, 0x44, 0x55, 0x44},  // T=0 and T=1, TA1 13
    {0x3B, 0x80, 0x81, 0x31, 0xFE, 0x45, 0x8B},                    // T=1 alone
    {0x3B, 0x90, 0x11, 0x80, 0x31, 0xFE, 0x45, 0x8B},              // T=0 and T=1, TA1 11
    {0x3B, 0x90, 0x11, 0x10, 0x01},                                // specific mode, T=1
    {0x3B, 0x90, 0x96, 0x80, 0x31, 0x20, 0x45, 0xD2},              // T=0 and T=1, TA1 96
    {0x3F, 0x10, 0x18},                                            // inverse, T=0, TA1 18
    {0x3B, 0x90, 0x94, 0x81, 0x31, 0xFE, 0x45, 0x0F},              // T=1, TA1 94
};

// A PTS request of the driver's: a data frame of four bytes, PTSS first.
bool IsPts(std::span<const UCHAR> frame) {
  return frame.size() >= 2 && frame[0] == (STC_WRITE_DATA | 4) && frame[1] == 0xFF;
}

void SelectProtocol(Input& in) {
  const UCHAR choice = in.Byte();
  const UCHAR flags = in.Byte();
  const Bytes& atr = kCards[choice & 7];
  const ULONG requested = (choice >> 3) & 3;
  const UCHAR end = (flags & 2) != 0 ? STC_READER_ERROR : STC_BLOCK_END;
  const UCHAR second_reset = (flags >> 4) & 3;
  const size_t damaged = (flags >> 2) & 3 ? ((flags >> 2) & 3) - 1 : kNoDamage;
  const Bytes first = in.Bytes(in.Byte() % 16), later = in.Rest();

  FuzzLink& link = Link();
  platform::PlatformScope scope(link.bench().platform());
  auto requests = std::make_shared<size_t>(0);
  link.Begin([=](std::span<const UCHAR> frame) {
    if (IsReset(frame)) {
      if (second_reset == 1) return ReaderStream({}, kNoDamage, STC_BLOCK_END);
      if (second_reset == 2) return ReaderStream({0x3B, 0x80, 0x01}, kNoDamage, STC_BLOCK_END);
      return ReaderStream(atr, kNoDamage, STC_BLOCK_END);
    }
    if (!IsPts(frame)) return Bytes{STC_OK};
    return ++*requests == 1 ? ReaderStream(first, damaged, end)
                            : ReaderStream(later, kNoDamage, end);
  });
  link.SetWait(kAnsweredWait);

  // The card as its reset leaves it: the library's reading of its ATR, powered and negotiable.
  PSMARTCARD_EXTENSION ext = link.smartcard();
  SCARD_CARD_CAPABILITIES& card = ext->CardCapabilities;
  std::copy(atr.begin(), atr.end(), card.ATR.Buffer);
  card.ATR.Length = static_cast<UCHAR>(atr.size());
  Check(SmartcardUpdateCardCapabilities(ext) == STATUS_SUCCESS, "the card's ATR is good");
  platform::SharedStore(ext->ReaderCapabilities.CurrentState, SCARD_NEGOTIABLE);
  const ULONG supported = card.Protocol.Supported;
  Bytes reply(4 + kCanary, kFill);
  ext->IoRequest.ReplyBuffer = reply.data();
  ext->IoRequest.ReplyBufferLength = 4;
  link.information() = 0xEEEE;
  ext->MinorIoControlCode = requested;

  const NTSTATUS status = CBSetProtocol(ext);
  link.Quiet();

  Check(
      OneOf(status, {STATUS_SUCCESS, STATUS_DEVICE_PROTOCOL_ERROR, STATUS_INVALID_DEVICE_REQUEST}),
      "the status is one of protocol selection's");
  Check(Untouched(reply, 4, reply.size()), "nothing is written past the mask");
  ULONG mask;
  std::memcpy(&mask, reply.data(), sizeof(mask));
  const ULONG state = platform::SharedLoad(ext->ReaderCapabilities.CurrentState);
  if (status == STATUS_SUCCESS) {
    Check(link.information() == sizeof(ULONG) && mask == card.Protocol.Selected,
          "the caller is told the protocol selected");
    Check(std::has_single_bit(mask) && (mask & requested & supported) == mask,
          "the protocol selected is one asked for and offered");
    Check(state == SCARD_SPECIFIC, "a selected protocol is in force");
  } else {
    Check(card.Protocol.Selected == SCARD_PROTOCOL_UNDEFINED && mask == 0 &&
              link.information() == 0 && state != SCARD_SPECIFIC,
          "a failure selects no protocol and tells none");
  }
  link.End();
}

}  // namespace
}  // namespace tolvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tolvex::fuzz::Input in(data, size);
  tolvex::fuzz::SelectProtocol(in);
  return 0;
}
