// Transmission: dispatch by protocol, and T=0's procedure-byte dialogue.
#include "driver/card/card.h"
#include "driver/link/link.h"
#include "platform/platform.h"

using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;

namespace {

constexpr UCHAR kNullByte = 0x60;

// The exchange of one T=0 command: what has been sent and what has been received.
class T0Exchange {
 public:
  T0Exchange(PREADER_EXTENSION reader, const UCHAR* request, ULONG request_length, PUCHAR reply,
             ULONG reply_room)
      : reader_(reader),
        request_(request),
        remaining_(request_length),
        reply_(reply),
        room_(reply_room) {}

  NTSTATUS Send(ULONG count) {
    NTSTATUS status = IFWriteSTCData(reader_, request_ + sent_, count);
    if (status == STATUS_SUCCESS) {
      sent_ += count;
      remaining_ -= count;
    }
    return status;
  }
  // Reads count bytes into the reply at `offset`, never beyond its room.
  NTSTATUS Receive(ULONG offset, ULONG count) {
    if (offset > room_) return STATUS_BUFFER_TOO_SMALL;
    ULONG length = room_ - offset;
    return IFReadSTCData(reader_, reply_ + offset, &length, count);
  }
  NTSTATUS ReceiveByte(PUCHAR byte) {
    ULONG length = 1;
    return IFReadSTCData(reader_, byte, &length, 1);
  }
  bool CharacterError() const { return SharedLoad(reader_->CharacterErrorStatus) != 0; }
  ULONG remaining() const { return remaining_; }

 private:
  PREADER_EXTENSION reader_;
  const UCHAR* request_;
  ULONG sent_ = 0;
  ULONG remaining_;
  PUCHAR reply_;
  ULONG room_;
};

}  // namespace

NTSTATUS CBTransmit(PSMARTCARD_EXTENSION SmartcardExtension) {
  switch (SmartcardExtension->CardCapabilities.Protocol.Selected) {
    case SCARD_PROTOCOL_T0:
      return CBT0Transmit(SmartcardExtension);
    case SCARD_PROTOCOL_T1:
      return CBT1Transmit(SmartcardExtension);
    case SCARD_PROTOCOL_RAW:
      return CBRawTransmit(SmartcardExtension);
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

NTSTATUS CBRawTransmit(PSMARTCARD_EXTENSION) {
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CBT0Transmit(PSMARTCARD_EXTENSION SmartcardExtension) {
  SmartcardExtension->SmartcardRequest.BufferLength = 0;
  SmartcardExtension->SmartcardReply.BufferLength = SmartcardExtension->SmartcardReply.BufferSize;
  NTSTATUS status = SmartcardT0Request(SmartcardExtension);
  if (status != STATUS_SUCCESS) return status;

  status = T0_ExchangeData(SmartcardExtension, SmartcardExtension->SmartcardRequest.Buffer,
                           SmartcardExtension->SmartcardRequest.BufferLength,
                           SmartcardExtension->SmartcardReply.Buffer,
                           &SmartcardExtension->SmartcardReply.BufferLength);
  if (status == STATUS_SUCCESS) return SmartcardT0Reply(SmartcardExtension);
  if (status == STATUS_IO_TIMEOUT) {
    // The card did not answer in time, or its answer came damaged: switch it off.
    SmartcardExtension->MinorIoControlCode = SCARD_POWER_DOWN;
    (void)CBCardPower(SmartcardExtension);
  }
  return status;
}

NTSTATUS T0_ExchangeData(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR* Request,
                         ULONG RequestLength, PUCHAR Reply, PULONG ReplyLength) {
  PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
  if (RequestLength < 5 || *ReplyLength < 2) return STATUS_INVALID_PARAMETER;
  SharedStore(reader->CharacterErrorStatus, STATUS_SUCCESS);

  T0Exchange exchange(reader, Request, RequestLength, Reply, *ReplyLength);
  const UCHAR ins = Request[1];
  ULONG chunk = 5;  // the header first
  bool no_write = false;
  ULONG stored = 0;
  ULONG expected = SmartcardExtension->T0.Le + 2;  // data still to come, SW1 SW2 included
  ULONG nulls = 0;
  NTSTATUS status = STATUS_SUCCESS;
  bool final_read = false;

  for (;;) {
    if (!no_write) {
      status = exchange.Send(chunk);
      if (status != STATUS_SUCCESS) break;
    }
    UCHAR procedure = 0;
    status = exchange.ReceiveByte(&procedure);
    no_write = false;
    if (status != STATUS_SUCCESS || exchange.CharacterError()) break;

    if (procedure == kNullByte) {
      // The card wants more time; only the wait for the next procedure byte starts again.
      if (++nulls > T0_MAXIMUM_NULL_BYTES) {
        status = STATUS_IO_TIMEOUT;
        break;
      }
      no_write = true;
      continue;
    }
    nulls = 0;
    if ((procedure & 0xFE) == ins) {
      // Acknowledge: all the rest at once, in either direction.
      chunk = exchange.remaining();
      if (chunk == 0) {
        final_read = true;
        break;
      }
    } else if (procedure == static_cast<UCHAR>(~ins) ||
               procedure == static_cast<UCHAR>(~(ins + 1))) {
      // One byte at a time.
      if (exchange.remaining() > 0) {
        chunk = 1;
      } else {
        if (expected <= 2) {
          // A data byte nobody asked for: the card does not follow the dialogue.
          status = STATUS_DEVICE_PROTOCOL_ERROR;
          break;
        }
        status = exchange.Receive(stored, 1);
        if (status != STATUS_SUCCESS || exchange.CharacterError()) break;
        ++stored;
        --expected;
        if (expected == 2) {
          final_read = true;
          break;
        }
        no_write = true;
      }
    } else {
      // SW1; SW2 follows. The status word alone is the reply.
      Reply[0] = procedure;
      UCHAR sw2 = 0;
      status = exchange.ReceiveByte(&sw2);
      if (status != STATUS_SUCCESS || exchange.CharacterError()) break;
      Reply[1] = sw2;
      *ReplyLength = 2;
      break;
    }
    if (exchange.remaining() == 0 && !no_write) {
      final_read = true;
      break;
    }
  }

  if (final_read && expected != 0) {
    status = exchange.Receive(stored, expected);
    if (status == STATUS_SUCCESS && !exchange.CharacterError()) *ReplyLength = stored + expected;
  }
  // A damaged character anywhere ends the command like a time-out.
  if (exchange.CharacterError()) return STATUS_IO_TIMEOUT;
  return status;
}
