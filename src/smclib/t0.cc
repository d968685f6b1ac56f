// T=0: SmartcardT0Request turns the application's APDU into the T=0 command the driver sends
// (CLA INS P1 P2 P3, then the command data), and SmartcardT0Reply hands the card's answer back
// to the application.
//
// How it works. The request is an SCARD_IO_REQUEST header followed, at cbPciLength, by a short
// APDU, whose case is told by its length alone:
//   case 1  CLA INS P1 P2                 P3 = 0,  no data, Le = 0
//   case 2  CLA INS P1 P2 Le              P3 = Le, no data, T0.Le = Le (00 means 256)
//   case 3  CLA INS P1 P2 Lc data         P3 = Lc, data,    T0.Le = 0
//   case 4  CLA INS P1 P2 Lc data Le      sent as case 3; the card answers 61xx and the
//                                         application fetches the data with GET RESPONSE
// The driver exchanges the command with the card (procedure bytes included) and leaves the
// card's data and SW1 SW2 in SmartcardReply. The reply is the header {SCARD_PROTOCOL_T0, 8}
// and the card's bytes, copied whole or not at all.
//
// Statuses of SmartcardT0Request:
//  STATUS_INVALID_PARAMETER     no request, a header shorter than 8 bytes or a cbPciLength
//                               below 8 or past the request; an APDU shorter than 4 bytes, of
//                               extended length (a 00 where Lc would be), or whose Lc
//                               disagrees with its length
//  STATUS_INVALID_DEVICE_STATE  SmartcardRequest has no buffer or one too small for the command
// Statuses of SmartcardT0Reply:
//  STATUS_DEVICE_PROTOCOL_ERROR fewer than 2 bytes from the card
//  STATUS_INVALID_DEVICE_STATE  SmartcardReply has no buffer or claims more than it holds
//  STATUS_INVALID_PARAMETER     no reply buffer
//  STATUS_BUFFER_TOO_SMALL      the application's buffer cannot hold the header and the answer;
//                               nothing is written
#include <cstring>

#include "smclib/smclib.h"

namespace {

constexpr ULONG kHeaderLength = sizeof(SCARD_IO_REQUEST);
constexpr ULONG kCommandHeader = 4;  // CLA INS P1 P2
constexpr ULONG kShortMaximum = 256;

struct Apdu {
  const UCHAR* bytes;
  ULONG lc;  // command data length
  ULONG le;  // expected length, 0 when none
  bool expects_data;
};

// Finds the APDU behind the request's header and tells its case.
NTSTATUS ParseApdu(const PSMARTCARD_EXTENSION extension, Apdu* apdu) {
  const auto& io = extension->IoRequest;
  if (io.RequestBuffer == nullptr || io.RequestBufferLength < kHeaderLength) {
    return STATUS_INVALID_PARAMETER;
  }
  SCARD_IO_REQUEST header;
  std::memcpy(&header, io.RequestBuffer, sizeof(header));
  if (header.cbPciLength < kHeaderLength || header.cbPciLength > io.RequestBufferLength) {
    return STATUS_INVALID_PARAMETER;
  }
  const UCHAR* bytes = io.RequestBuffer + header.cbPciLength;
  const ULONG length = io.RequestBufferLength - header.cbPciLength;
  *apdu = Apdu{bytes, 0, 0, false};
  if (length < kCommandHeader) return STATUS_INVALID_PARAMETER;
  if (length == kCommandHeader) return STATUS_SUCCESS;  // case 1
  const ULONG p3 = bytes[kCommandHeader];
  if (length == kCommandHeader + 1) {  // case 2
    apdu->le = p3 == 0 ? kShortMaximum : p3;
    apdu->expects_data = true;
    return STATUS_SUCCESS;
  }
  if (p3 == 0) return STATUS_INVALID_PARAMETER;  // extended length
  apdu->lc = p3;
  if (length == kCommandHeader + 1 + p3) return STATUS_SUCCESS;      // case 3
  if (length == kCommandHeader + 1 + p3 + 1) return STATUS_SUCCESS;  // case 4, sent as case 3
  return STATUS_INVALID_PARAMETER;
}

}  // namespace

NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  Apdu apdu;
  const NTSTATUS status = ParseApdu(SmartcardExtension, &apdu);
  if (!NT_SUCCESS(status)) return status;

  SMARTCARD_REQUEST& out = SmartcardExtension->SmartcardRequest;
  const ULONG length = kCommandHeader + 1 + apdu.lc;
  if (out.Buffer == nullptr || out.BufferSize < length) return STATUS_INVALID_DEVICE_STATE;
  std::memcpy(out.Buffer, apdu.bytes, kCommandHeader);
  out.Buffer[kCommandHeader] = static_cast<UCHAR>(apdu.expects_data ? apdu.le : apdu.lc);
  if (apdu.lc != 0) std::memcpy(out.Buffer + kCommandHeader + 1, apdu.bytes + 5, apdu.lc);
  out.BufferLength = length;
  SmartcardExtension->T0.Lc = apdu.lc;
  SmartcardExtension->T0.Le = apdu.le;
  return STATUS_SUCCESS;
}

NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  const SMARTCARD_REPLY& in = SmartcardExtension->SmartcardReply;
  if (in.Buffer == nullptr || in.BufferLength > in.BufferSize) return STATUS_INVALID_DEVICE_STATE;
  if (in.BufferLength < 2) return STATUS_DEVICE_PROTOCOL_ERROR;  // no SW1 SW2

  const auto& io = SmartcardExtension->IoRequest;
  if (io.ReplyBuffer == nullptr) return STATUS_INVALID_PARAMETER;
  if (io.ReplyBufferLength < kHeaderLength ||
      io.ReplyBufferLength - kHeaderLength < in.BufferLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  const SCARD_IO_REQUEST header{SCARD_PROTOCOL_T0, kHeaderLength};
  std::memcpy(io.ReplyBuffer, &header, sizeof(header));
  std::memmove(io.ReplyBuffer + kHeaderLength, in.Buffer, in.BufferLength);
  if (io.Information != nullptr) *io.Information = kHeaderLength + in.BufferLength;
  return STATUS_SUCCESS;
}
