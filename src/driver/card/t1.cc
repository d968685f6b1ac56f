// T=1 transmission: moving the library's blocks to the card and the card's blocks back.
#include <cstring>

#include "driver/card/card.h"
#include "driver/link/link.h"
#include "platform/platform.h"

using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;

namespace {

constexpr ULONG kRecoveryDelay = 254;  // ms
constexpr UCHAR kInvalidLength = 255;

}  // namespace

NTSTATUS CBT1Transmit(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
  SMARTCARD_REQUEST& request = SmartcardExtension->SmartcardRequest;
  SMARTCARD_REPLY& reply = SmartcardExtension->SmartcardReply;
  // A new request: the library keeps the first word of the application's reply buffer at
  // SCARD_PROTOCOL_T1 while an exchange is in progress; a zero there tells it that this one is
  // new, also after an exchange that was broken off.
  auto& io = SmartcardExtension->IoRequest;
  if (io.ReplyBuffer != nullptr && io.ReplyBufferLength >= sizeof(ULONG)) {
    std::memset(io.ReplyBuffer, 0, sizeof(ULONG));
  }
  // And the block reply the library examines starts out empty.
  std::memset(reply.Buffer, 0, 4);

  NTSTATUS status;
  do {
    // The reader reported the card gone (maybe another in its place, not yet reset): no more
    // blocks to it, nor waits for its answers.
    if (SharedLoad(SmartcardExtension->ReaderCapabilities.CurrentState) != SCARD_SPECIFIC) {
      status = STATUS_NO_MEDIA;
      break;
    }
    SmartcardExtension->T1.NAD = 0;
    request.BufferLength = 0;
    status = SmartcardT1Request(SmartcardExtension);
    if (status != STATUS_SUCCESS) break;
    // The card's answer to our S(IFS response) belongs to the I-block exchange in progress.
    if (SmartcardExtension->T1.State == T1_IFS_RESPONSE &&
        SmartcardExtension->T1.OriginalState == T1_I_BLOCK) {
      SmartcardExtension->T1.State = T1_I_BLOCK;
    }
    SharedStore(reader->CharacterErrorStatus, STATUS_SUCCESS);
    SharedStore(reader->BlockEndStatus, STATUS_IO_TIMEOUT);

    status = IFWriteSTCData(reader, request.Buffer, request.BufferLength);
    reply.BufferLength = 0;
    if (status != STATUS_SUCCESS) break;

    // The card asked for more time: its answer to this block is awaited that much longer.
    const UCHAR wtx = SharedLoad(SmartcardExtension->T1.Wtx);
    if (wtx != 0) SharedStore(reader->ReadTotalTimeout, SharedLoad(reader->ReadTotalTimeout) * wtx);
    ULONG length = reply.BufferSize;
    const NTSTATUS prologue = IFReadSTCData(reader, reply.Buffer, &length, 3);
    if (wtx != 0) {
      SharedStore(reader->ReadTotalTimeout, SharedLoad(reader->ReadTotalTimeout) / wtx);
      SharedStore(SmartcardExtension->T1.Wtx, 0);
    }

    if (prologue == STATUS_SUCCESS) {
      const UCHAR information = reply.Buffer[2];
      if (information == kInvalidLength) {
        SysDelay(kRecoveryDelay);  // an invalid block: let the card finish, take nothing
      } else {
        // The rest: the information field and the epilogue, one byte of LRC or two of CRC.
        const ULONG epilogue = SmartcardExtension->CardCapabilities.T1.EDC == T1_EDC_CRC ? 2 : 1;
        length = reply.BufferSize - 3;
        const NTSTATUS rest =
            IFReadSTCData(reader, reply.Buffer + 3, &length, information + epilogue);
        if (rest == STATUS_SUCCESS && SharedLoad(reader->CharacterErrorStatus) == 0) {
          (void)IFReadLastCWT(reader);  // the reader's end-of-block report, if it comes
        }
        reply.BufferLength = 3 + information + epilogue;
      }
    }

    if (SharedLoad(reader->CharacterErrorStatus) != 0) {
      // A damaged character: after a pause, make sure the library's check fails.
      SysDelay(kRecoveryDelay);
      if (reply.BufferLength != 0) reply.Buffer[reply.BufferLength - 1] ^= 0xFF;
    }
    status = SmartcardT1Reply(SmartcardExtension);
  } while (status == STATUS_MORE_PROCESSING_REQUIRED);

  if (status == STATUS_IO_TIMEOUT) {
    SysDelay(kRecoveryDelay);
    SmartcardExtension->MinorIoControlCode = SCARD_POWER_DOWN;
    (void)CBCardPower(SmartcardExtension);
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  return status;
}
