// Protocol selection: a Protocol Type Selection exchange with the card (ISO/IEC 7816-3).
#include <cstring>
#include <optional>

#include "driver/card/card.h"
#include "driver/link/link.h"
#include "platform/platform.h"

using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;
using tolvex::platform::SpinLockGuard;

namespace {

constexpr UCHAR kPtss = 0xFF;

// Sends the PTS request for the protocol chosen and the parameters in PtsData; true when the
// card echoes it.
bool Negotiate(PSMARTCARD_EXTENSION smartcard, ULONG requested) {
  SCARD_CARD_CAPABILITIES& card = smartcard->CardCapabilities;
  PREADER_EXTENSION reader = smartcard->ReaderExtension;
  UCHAR request[4];
  request[0] = kPtss;
  if ((requested & SCARD_PROTOCOL_T1) && (card.Protocol.Supported & SCARD_PROTOCOL_T1)) {
    request[1] = 0x11;  // PTS1 follows; T=1
    card.Protocol.Selected = SCARD_PROTOCOL_T1;
  } else {
    request[1] = 0x10;  // PTS1 follows; T=0
    card.Protocol.Selected = SCARD_PROTOCOL_T0;
  }
  request[2] = static_cast<UCHAR>((card.PtsData.Fl << 4) | card.PtsData.Dl);
  request[3] = static_cast<UCHAR>(request[0] ^ request[1] ^ request[2]);

  if (IFWriteSTCData(reader, request, sizeof(request)) != STATUS_SUCCESS) return false;
  UCHAR reply[5] = {};
  ULONG length = sizeof(reply);
  if (IFReadSTCData(reader, reply, &length, 3) != STATUS_SUCCESS) return false;
  // PTS1 present and PTS2, PTS3 absent: one more byte, the check byte. Any other answer
  // differs from the request in its PTS0 and is not read further.
  if ((reply[1] >> 4) == 1) {
    length = 2;
    if (IFReadSTCData(reader, reply + 3, &length, 1) != STATUS_SUCCESS) return false;
  }
  return std::memcmp(reply, request, sizeof(request)) == 0;
}

NTSTATUS Finish(PSMARTCARD_EXTENSION smartcard, NTSTATUS outcome) {
  SCARD_CARD_CAPABILITIES& card = smartcard->CardCapabilities;
  ULONG reply = 0;
  if (outcome == STATUS_SUCCESS) {
    {
      SpinLockGuard lock(&smartcard->OsData->SpinLock);
      SharedStore(smartcard->ReaderCapabilities.CurrentState, SCARD_SPECIFIC);
    }
    reply = card.Protocol.Selected;
    *smartcard->IoRequest.Information = sizeof(reply);
  } else {
    card.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
    *smartcard->IoRequest.Information = 0;
  }
  // The library makes sure the reply buffer holds the 32-bit protocol mask.
  std::memcpy(smartcard->IoRequest.ReplyBuffer, &reply, sizeof(reply));
  return outcome;
}

}  // namespace

NTSTATUS CBSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
  SCARD_CARD_CAPABILITIES& card = SmartcardExtension->CardCapabilities;
  {
    // Bytes that wait unread (a TCK the ATR reading did not expect, say) would be taken for
    // the card's answer.
    SpinLockGuard lock(&reader->ReceiveLock);
    if (reader->ReceivedCount != 0) return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  const ULONG requested = SmartcardExtension->MinorIoControlCode;

  std::optional<NTSTATUS> outcome;
  if (SharedLoad(SmartcardExtension->ReaderCapabilities.CurrentState) == SCARD_SPECIFIC &&
      (card.Protocol.Selected & requested) != 0) {
    outcome = STATUS_SUCCESS;
  }
  if ((card.Protocol.Supported & requested) == 0 ||
      (SmartcardExtension->ReaderCapabilities.SupportedProtocols & requested) == 0) {
    outcome = STATUS_INVALID_DEVICE_REQUEST;
  }
  if (outcome) return Finish(SmartcardExtension, *outcome);

  bool fell_back = false;
  for (;;) {
    if (Negotiate(SmartcardExtension, requested)) {
      card.Fl = card.PtsData.Fl;
      card.Dl = card.PtsData.Dl;
      (void)CBSynchronizeSTC(SmartcardExtension);
      (void)CBSynchronizeCOMM(SmartcardExtension);
      return Finish(SmartcardExtension, STATUS_SUCCESS);
    }
    // Not confirmed: once, a cold reset and the card's default parameters; then give up with
    // the card switched off, also when the card does not come back from that reset (a reset
    // that failed may have left it powered, and the card state must not stay "negotiable").
    if (card.PtsData.Type != PTS_TYPE_DEFAULT && !fell_back) {
      fell_back = true;
      card.PtsData.Type = PTS_TYPE_DEFAULT;
      SmartcardExtension->MinorIoControlCode = SCARD_COLD_RESET;
      if (CBCardPower(SmartcardExtension) == STATUS_SUCCESS) {
        // The new ATR's parameters stand, but not another fall-back.
        card.PtsData.Type = PTS_TYPE_DEFAULT;
        continue;
      }
    }
    SmartcardExtension->MinorIoControlCode = SCARD_POWER_DOWN;
    (void)CBCardPower(SmartcardExtension);
    return Finish(SmartcardExtension, STATUS_DEVICE_PROTOCOL_ERROR);
  }
}
