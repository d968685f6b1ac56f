// The card's answer to a PTS (protocol and parameter selection, ISO/IEC 7816-3), through the
// driver's protocol selection (CBSetProtocol) on a card that has just been reset.
//
// Input:
//   byte 0   bits 0-2: the card, by its ATR (kCards); bits 3-4: the protocols asked for
//            (T=0 1, T=1 2, both 3, none 0); bit 5: the card's own TA1 pair is proposed (as a
//            faster reader would), not the one the library chose for this reader
//   byte 1   bit 0: the card's answers go on past what the driver reads; bit 1: the reader ends
//            them with its error report, not the end of the block; bits 2-3: 0, or 1 + the
//            place of a damaged character in the first answer; bits 4-5: the card's answer to
//            the fall-back's reset: its ATR (0, 3), none (1), an ATR the library refuses (2)
//   byte 2   the first answer's length (% 16), then its bytes; the rest: the second answer
//            (to the PTS after the fall-back's cold reset)
// Every answer the reader relays after its 90, escaped, with the end report behind it, so that
// no read waits out its time. The outcome is checked against the PTS rules: success only when
// the card echoed the request byte for byte (PTSS, PTS0, PTS1, PCK), the protocol and the
// parameters then those asked; otherwise a failure with the card switched off and no protocol
// selected; with answers that go on, what holds whatever the timing.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "driver/stc/stc.h"
#include "link_fuzz.h"

namespace {

using tolvex::fuzz::Bytes;
using tolvex::fuzz::Check;
using tolvex::fuzz::FuzzLink;
using tolvex::fuzz::Input;
using tolvex::fuzz::Relayed;
using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;

constexpr ULONG kAnsweredWait = 2000;  // ms: every read here is answered, or ended by a report

// ATRs without their TCK (added when a TD names a protocol other than T=0).
const Bytes kCards[8] = {
    {0x3B, 0x02, 0x14, 0x50},                                // T=0, no TA1
    {0x3B, 0x92, 0x13, 0x80, 0x31, 0x20, 0x45, 0x44, 0x55},  // T=0 and T=1, TA1 13
    {0x3B, 0x80, 0x81, 0x31, 0xFE, 0x45},                    // T=1 alone
    {0x3B, 0x90, 0x11, 0x80, 0x31, 0xFE, 0x45},              // T=0 and T=1, TA1 11
    {0x3B, 0x90, 0x11, 0x10, 0x01},                          // specific mode, T=1
    {0x3B, 0x90, 0x96, 0x80, 0x31, 0x20, 0x45},              // T=0 and T=1, TA1 96
    {0x3F, 0x10, 0x18},                                      // inverse, T=0, TA1 18
    {0x3B, 0x90, 0x94, 0x81, 0x31, 0xFE, 0x45},              // T=1, TA1 94
};

Bytes WithTck(Bytes atr) {
  // TD bytes: follow the chain to see whether a protocol other than T=0 is named.
  size_t at = 2;
  unsigned y = atr[1] >> 4;
  bool tck = false;
  while (y != 0) {
    const size_t count = static_cast<size_t>(std::popcount(y));
    if (at + count > atr.size()) break;
    at += count;
    if ((y & 8) == 0) break;
    const UCHAR td = atr[at - 1];
    tck = tck || (td & 0x0F) != 0;
    y = td >> 4;
  }
  if (tck) {
    UCHAR check = 0;
    for (size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
    atr.push_back(check);
  }
  return atr;
}

// The PTS request the driver is to send for the card's proposal: PTSS, PTS0 (PTS1 follows,
// the protocol), PTS1 (Fl, Dl), PCK.
Bytes Request(const SCARD_CARD_CAPABILITIES& card, ULONG requested) {
  const bool t1 = (requested & SCARD_PROTOCOL_T1) && (card.Protocol.Supported & SCARD_PROTOCOL_T1);
  Bytes request{0xFF, static_cast<UCHAR>(t1 ? 0x11 : 0x10),
                static_cast<UCHAR>((card.PtsData.Fl << 4) | card.PtsData.Dl)};
  request.push_back(static_cast<UCHAR>(request[0] ^ request[1] ^ request[2]));
  return request;
}

bool IsPts(std::span<const UCHAR> frame) {
  return frame.size() >= 2 && frame[0] == (STC_WRITE_DATA | 4) && frame[1] == 0xFF;
}

// The card's answer as the driver reads it: three bytes, a fourth when PTS1 alone is announced
// (the damaged character as 0); whether it echoes `request`.
bool Echoes(const Bytes& seen, const Bytes& request) {
  if (seen.size() < 3) return false;
  UCHAR reply[4] = {seen[0], seen[1], seen[2], 0};
  if ((seen[1] >> 4) == 1) {
    if (seen.size() < 4) return false;
    reply[3] = seen[3];
  }
  return std::equal(request.begin(), request.end(), reply);
}

// The reader's bytes for a card answer.
Bytes Stream(const Bytes& answer, std::optional<size_t> damaged, bool reader_error) {
  Bytes wire{STC_OK};
  for (size_t i = 0; i < answer.size(); ++i) {
    if (damaged == i) {
      wire.insert(wire.end(), {STC_ESCAPE, STC_CHARACTER_ERROR});
      continue;
    }
    const Bytes one = Relayed(std::span<const UCHAR>(&answer[i], 1));
    wire.insert(wire.end(), one.begin(), one.end());
  }
  wire.insert(wire.end(), {STC_ESCAPE, reader_error ? STC_READER_ERROR : STC_BLOCK_END});
  return wire;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const UCHAR choice = in.Byte();
  const UCHAR flags = in.Byte();
  const Bytes atr = WithTck(kCards[choice & 7]);
  const ULONG requested = (choice >> 3) & 3;
  const bool own_pair = (choice & 0x20) != 0;
  const bool go_on = (flags & 1) != 0;
  const bool reader_error = (flags & 2) != 0;
  const UCHAR second_reset = (flags >> 4) & 3;
  // The fall-back's reset fails: the card is mute, or its ATR is refused (TD1 names T=1, no TCK).
  const bool reset_fails = second_reset == 1 || second_reset == 2;
  const std::optional<size_t> damaged =
      (flags >> 2) & 3 ? std::optional<size_t>(((flags >> 2) & 3) - 1) : std::nullopt;
  Bytes answers[2];
  answers[0] = in.Bytes(in.Byte() % 16);
  answers[1] = in.Rest();
  Bytes seen[2] = {answers[0], answers[1]};  // as the driver reads them
  if (damaged && *damaged < seen[0].size()) seen[0][*damaged] = 0;
  if (!go_on) {
    // No more than the driver reads of each answer: three bytes, four when PTS1 alone is
    // announced.
    for (int i = 0; i < 2; ++i) {
      const size_t reads = seen[i].size() >= 2 && (seen[i][1] >> 4) == 1 ? 4 : 3;
      answers[i].resize(std::min(answers[i].size(), reads));
      seen[i].resize(answers[i].size());
    }
  }

  FuzzLink& link = tolvex::fuzz::Link();
  tolvex::platform::PlatformScope scope(link.bench().platform());
  auto pts_count = std::make_shared<size_t>(0);
  link.Begin([atr, answers, damaged, reader_error, second_reset,
              pts_count](std::span<const UCHAR> frame) {
    const Bytes reset = {static_cast<UCHAR>(STC_WRITE_REGISTER | STC_RESET_REGISTER),
                         STC_RESET_CARD};
    if (std::equal(frame.begin(), frame.end(), reset.begin(), reset.end())) {
      if (second_reset == 1) return Stream({}, std::nullopt, false);
      if (second_reset == 2) return Stream({0x3B, 0x80, 0x01}, std::nullopt, false);
      return Stream(atr, std::nullopt, false);
    }
    if (IsPts(frame)) {
      const size_t i = (*pts_count)++;
      return Stream(answers[std::min<size_t>(i, 1)], i == 0 ? damaged : std::nullopt, reader_error);
    }
    return Bytes{STC_OK};
  });
  link.SetWaits(0, kAnsweredWait);

  // The card as its reset leaves it: the library's reading of its ATR, powered and negotiable.
  PSMARTCARD_EXTENSION ext = link.smartcard();
  SCARD_CARD_CAPABILITIES& card = ext->CardCapabilities;
  std::copy(atr.begin(), atr.end(), card.ATR.Buffer);
  card.ATR.Length = static_cast<UCHAR>(atr.size());
  Check(SmartcardUpdateCardCapabilities(ext) == STATUS_SUCCESS, "the card's ATR is good");
  if (own_pair && card.ATR.Buffer[1] & 0x10) {
    card.PtsData.Type = PTS_TYPE_OPTIMAL;
    card.PtsData.Fl = card.ATR.Buffer[2] >> 4;
    card.PtsData.Dl = card.ATR.Buffer[2] & 0x0F;
  }
  SharedStore(ext->ReaderCapabilities.CurrentState, SCARD_NEGOTIABLE);
  const ULONG supported = card.Protocol.Supported;
  const UCHAR type = card.PtsData.Type;
  const Bytes first = Request(card, requested);
  // The request after the fall-back: the parameters the ATR gives this reader, afresh.
  Bytes second;
  {
    SMARTCARD_EXTENSION scratch = *ext;
    (void)SmartcardUpdateCardCapabilities(&scratch);
    second = Request(scratch.CardCapabilities, requested);
  }
  UCHAR reply[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  ext->IoRequest.ReplyBuffer = reply;
  ext->IoRequest.ReplyBufferLength = sizeof(reply);
  link.information() = 0xEEEE;
  ext->MinorIoControlCode = requested;

  const NTSTATUS status = CBSetProtocol(ext);
  link.Quiet();

  std::vector<Bytes> pts;  // the PTS requests sent, without the frame's command byte
  bool reset = false;
  const std::vector<Bytes> frames = link.frames();
  for (const Bytes& frame : frames) {
    if (IsPts(frame)) pts.emplace_back(frame.begin() + 1, frame.end());
    reset = reset || frame == Bytes{STC_WRITE_REGISTER | STC_RESET_REGISTER, STC_RESET_CARD};
  }
  const ULONG state = SharedLoad(ext->ReaderCapabilities.CurrentState);
  ULONG mask;
  std::memcpy(&mask, reply, sizeof(mask));

  if ((supported & requested) == 0) {
    Check(status == STATUS_INVALID_DEVICE_REQUEST && frames.empty(),
          "a protocol the card does not offer is refused without a word to it");
    Check(state == SCARD_NEGOTIABLE, "a refused request leaves the card as it was");
  } else if (!go_on) {
    const bool confirmed_first = Echoes(seen[0], first);
    const bool fall_back = !confirmed_first && type != PTS_TYPE_DEFAULT;
    const bool confirmed =
        confirmed_first || (fall_back && !reset_fails && Echoes(seen[1], second));
    Check(status == (confirmed ? STATUS_SUCCESS : STATUS_DEVICE_PROTOCOL_ERROR),
          "success exactly when the card echoes the request");
    std::vector<Bytes> expected{first};
    if (fall_back && !reset_fails) expected.push_back(second);
    Check(pts == expected, "the PTS requests are those of the card's proposal");
    Check(reset == fall_back, "a refused proposal falls back to a cold reset, once");
  }
  if (status == STATUS_SUCCESS) {
    // The last request sent is the one the card echoed.
    Check(!pts.empty(), "success comes of a PTS exchange");
    const Bytes& last = pts.back();
    const ULONG protocol = (last[1] & 0x0F) == 1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    const Bytes& answer = seen[std::min<size_t>(pts.size() - 1, 1)];
    Check(Echoes(answer, last), "success only when the card echoed the request");
    Check(card.Protocol.Selected == protocol && (protocol & requested) != 0 &&
              (protocol & card.Protocol.Supported) != 0,
          "the protocol selected is the one asked for and echoed");
    Check(card.Fl == (last[2] >> 4) && card.Dl == (last[2] & 0x0F),
          "the parameters in force are those echoed");
    Check(state == SCARD_SPECIFIC, "a selected protocol is in force");
    Check(mask == protocol && link.information() == sizeof(ULONG),
          "the caller is told the protocol");
  } else {
    Check(status == STATUS_DEVICE_PROTOCOL_ERROR || status == STATUS_INVALID_DEVICE_REQUEST,
          "a failed selection has a clear status");
    Check(card.Protocol.Selected == SCARD_PROTOCOL_UNDEFINED, "no protocol after a failure");
    Check(mask == 0 && link.information() == 0, "the caller is told no protocol");
    if (status == STATUS_DEVICE_PROTOCOL_ERROR) {
      Check(state == SCARD_PRESENT, "a card whose selection failed is switched off");
      Check(
          !frames.empty() && frames.back() == Bytes{STC_WRITE_REGISTER | STC_POWER_REGISTER, 0x00},
          "the card is switched off last");
    }
  }
  link.End();
  return 0;
}
