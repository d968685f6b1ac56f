// Card power: power-down, cold and warm reset.
#include <cstring>

#include "driver/card/card.h"
#include "driver/link/link.h"
#include "driver/stc/stc.h"
#include "platform/platform.h"

using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;
using tolvex::platform::SpinLockGuard;

namespace {

// A card in the reader is now unpowered: "present". Whether a card is in at all is for the
// reader to report: an empty reader (or one whose card was pulled during an exchange) stays
// empty, and nobody waiting for a card is told of one.
void RecordPowerDown(PSMARTCARD_EXTENSION SmartcardExtension) {
  POS_DEP_DATA os = SmartcardExtension->OsData;
  if (os == nullptr) return;
  ULONG& state = SmartcardExtension->ReaderCapabilities.CurrentState;
  SpinLockGuard lock(&os->SpinLock);
  if (SharedLoad(state) > SCARD_PRESENT) SharedStore(state, SCARD_PRESENT);
}

}  // namespace

NTSTATUS CBCardPower(PSMARTCARD_EXTENSION SmartcardExtension) {
  SCARD_CARD_CAPABILITIES& card = SmartcardExtension->CardCapabilities;
  std::memset(card.ATR.Buffer, 0, sizeof(card.ATR.Buffer));
  card.ATR.Length = 0;
  card.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;

  PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
  BOOLEAN warm;
  switch (SmartcardExtension->MinorIoControlCode) {
    case SCARD_POWER_DOWN:
      (void)STCPowerOff(reader);  // the card is off, answered or not
      RecordPowerDown(SmartcardExtension);
      return STATUS_SUCCESS;
    case SCARD_COLD_RESET:
      warm = FALSE;
      break;
    case SCARD_WARM_RESET:
      // A card that is not powered can only be reset cold.
      warm = SharedLoad(SmartcardExtension->ReaderCapabilities.CurrentState) > SCARD_SWALLOWED;
      break;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }

  UCHAR atr[ATR_BUFFER_SIZE];
  ULONG length = sizeof(atr);
  NTSTATUS status = STCReset(reader, warm, atr, &length);
  if (status != STATUS_SUCCESS) return status;
  // Every ATR read is handed on, the shortest (TS and T0 alone, as 3B 00) too: a reset reported
  // as good leaves the card's own capabilities, never the last card's.

  if (length <= SmartcardExtension->IoRequest.ReplyBufferLength) {
    std::memcpy(SmartcardExtension->IoRequest.ReplyBuffer, atr, length);
    *SmartcardExtension->IoRequest.Information = length;
  }
  if (length > MAXIMUM_ATR_LENGTH) return STATUS_BUFFER_TOO_SMALL;

  std::memcpy(card.ATR.Buffer, atr, length);
  card.ATR.Length = static_cast<UCHAR>(length);
  status = SmartcardUpdateCardCapabilities(SmartcardExtension);
  if (status == STATUS_SUCCESS) {
    (void)CBSynchronizeSTC(SmartcardExtension);
    (void)CBSynchronizeCOMM(SmartcardExtension);
  }
  return status;
}
