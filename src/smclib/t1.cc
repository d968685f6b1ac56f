// T=1, the block protocol, on the reader's side: SmartcardT1Request and SmartcardT1Reply.
//
// How it works. The driver turns the crank: for each block, SmartcardT1Request hands it the
// block to send (in SmartcardRequest), the driver sends it and puts the card's answer in
// SmartcardReply (empty when none came), and SmartcardT1Reply judges the answer and prepares
// the next block, until it returns something other than STATUS_MORE_PROCESSING_REQUIRED. The
// block to send is kept whole in T1.LastSent: SmartcardT1Reply composes it (or leaves the one
// there to be sent again) and SmartcardT1Request copies it out. T1.State is set from the control
// byte of the block as it goes out and T1.OriginalState from the phase; neither is read back,
// so the driver may adjust them between the two calls.
//
// One application request is an exchange, in phases (T1.Phase):
//   announce   S(IFS request) with T1.IFSD, once after each reset, before the first I-block;
//   sending    the command cut to T1.IFSC into I-blocks, chained (M bit) and acknowledged by
//              the card's R-blocks; the card's first I-block acknowledges the last one;
//   receiving  the card's response, its chained I-blocks acknowledged by R(N(R));
//   resynch    S(RESYNCH request) after repeated errors; its answer sets both sequence
//              numbers and IFSC back to their initial values and the command starts over
//              (IFSD announced again);
//   aborting   S(ABORT response) sent to the card's S(ABORT request): the request fails,
//              whatever comes back.
// The card's S(IFS request) is answered with S(IFS response) (T1.IFSC updated) and its
// S(WTX request) with S(WTX response) carrying the same value, T1.Wtx being set to it as the
// response goes out; both keep the phase, so the card's next block belongs to the exchange in
// progress.
//
// Errors. An answer that is missing, cut, of LEN 255, with a bad EDC or NAD, of an unknown or
// malformed kind, unexpected in the phase or with the wrong sequence number is an error; so is
// an R-block from the card asking for a block again. Each costs a retry of the current
// block: an S(request) is sent again, an I-block the card asks for again is sent again, and
// otherwise an R-block with N(R) = the sequence number expected from the card asks it for its
// block again (error bits 1 for EDC or parity errors, 2 for the rest). After kMaxRetries
// retries in a row comes S(RESYNCH request), at most kMaxResynchs of them per request, then
// failure: STATUS_IO_TIMEOUT when only silence came since the last good block,
// STATUS_DEVICE_PROTOCOL_ERROR otherwise. No request takes more than kMaxTurns blocks beyond
// one for each byte of its command and of its reply buffer (an I-block carries at least one):
// a card that never ends its answer, or keeps asking for something, ends it. An error
// once the card has left its specific mode (card tracking reported it taken out, and maybe
// another put in) ends the request at once with STATUS_NO_MEDIA: nothing is left to retry with.
//
// The response is gathered straight into the application's reply buffer, behind the room of
// the header {SCARD_PROTOCOL_T1, 8}, so that an extended response (up to 65,536 bytes and SW1
// SW2) is copied once and needs no memory of the library's own. The header and the length are
// given only when the response is complete and fits whole; until then the application is given
// nothing (a failed request returns no bytes, whatever its buffer holds). The request's buffer
// may be the reply's (a buffered control request has one for both): a resynchronisation that
// would send the command again once part of the response lies over it ends the request with
// STATUS_DEVICE_PROTOCOL_ERROR instead (the card has answered: the command is not run twice).
//
// New requests. Between requests the phase is idle and SmartcardT1Request starts a new
// exchange. While one is in progress the library keeps the first word of IoRequest.ReplyBuffer
// (the reply header's dwProtocol) at SCARD_PROTOCOL_T1; the driver zeroes that word at the
// start of each request, so a request that follows one the driver broke off (a failed send)
// is recognised as new too; so is a request whose reply buffer has no room for the word. An
// exchange that broke off, or failed against the card, leaves
// T1.NeedResynch set and the next request begins with S(RESYNCH request).
//
// Statuses of SmartcardT1Request:
//  STATUS_SUCCESS               a block is in SmartcardRequest
//  STATUS_INVALID_PARAMETER     a request shorter than its header, a cbPciLength below 8 or
//                               past the request, a command shorter than 4 bytes, no reply buffer
//  STATUS_BUFFER_TOO_SMALL      a reply buffer shorter than the header
//  STATUS_INVALID_DEVICE_STATE  SmartcardRequest has no buffer or one smaller than the largest
//                               block (259 bytes)
//  STATUS_DEVICE_PROTOCOL_ERROR the request's share of blocks sent (TurnLimit)
// Statuses of SmartcardT1Reply:
//  STATUS_MORE_PROCESSING_REQUIRED  send the next block
//  STATUS_SUCCESS               the response is in the application's buffer
//  STATUS_BUFFER_TOO_SMALL      the response exceeds ReplyBufferLength - 8; nothing is given
//  STATUS_DEVICE_PROTOCOL_ERROR the card's response is shorter than SW1 SW2, the card aborted,
//                               the errors outlasted the retries and resynchronisations, or
//                               the request's share of blocks was sent
//  STATUS_IO_TIMEOUT            the card stayed silent through the retries
//  STATUS_INVALID_DEVICE_STATE  no exchange in progress, or SmartcardReply has no buffer
//  STATUS_INVALID_PARAMETER     the application's request changed under the exchange
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "smclib/smclib.h"
#include "smclib/t1.h"

using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;
using tolvex::smclib::t1::EdcGood;
using tolvex::smclib::t1::EdcLength;
using tolvex::smclib::t1::PutEdc;

namespace {

constexpr ULONG kHeaderLength = sizeof(SCARD_IO_REQUEST);
constexpr ULONG kPrologue = 3;  // NAD PCB LEN
constexpr ULONG kMaximumInformation = 254;
constexpr ULONG kBlockRoom = kPrologue + kMaximumInformation + 2;
constexpr ULONG kMinimumCommand = 4;   // CLA INS P1 P2
constexpr ULONG kMinimumResponse = 2;  // SW1 SW2
constexpr UCHAR kDefaultIfs = 32;
constexpr UCHAR kNoLength = 0xFF;  // LEN 255 is reserved

constexpr UCHAR kMaxRetries = 3;   // retries of one block
constexpr UCHAR kMaxResynchs = 3;  // S(RESYNCH request) blocks per request
constexpr ULONG kMaxTurns = 1000;  // blocks per request, beyond those its lengths need

static_assert(sizeof(T1_DATA::LastSent) == kBlockRoom);

// Control bytes.
constexpr UCHAR kIMore = 0x20;
constexpr UCHAR kISequence = 0x40;
constexpr UCHAR kRBlock = 0x80;
constexpr UCHAR kRSequence = 0x10;
constexpr UCHAR kRFine = 0;
constexpr UCHAR kREdcError = 1;
constexpr UCHAR kROtherError = 2;
constexpr UCHAR kSResynchRequest = 0xC0;
constexpr UCHAR kSIfsRequest = 0xC1;
constexpr UCHAR kSAbortRequest = 0xC2;
constexpr UCHAR kSWtxRequest = 0xC3;
constexpr UCHAR kSResynchResponse = 0xE0;
constexpr UCHAR kSIfsResponse = 0xE1;
constexpr UCHAR kSAbortResponse = 0xE2;
constexpr UCHAR kSWtxResponse = 0xE3;

bool IsIBlock(UCHAR pcb) {
  return (pcb & 0x80) == 0;
}
bool IsRBlock(UCHAR pcb) {
  return (pcb & 0xC0) == 0x80;
}

enum Phase : UCHAR {
  kIdle = 0,
  kAnnounce,
  kSending,
  kReceiving,
  kResynch,
  kAborting,
};

bool ValidIfs(ULONG size) {
  return size >= 1 && size <= kMaximumInformation;
}

// The card answers with source and destination addresses swapped; bits 4 and 8 (the old
// programming voltage control) are not compared.
bool NadGood(UCHAR ours, UCHAR theirs) {
  const UCHAR expected = static_cast<UCHAR>(((ours & 0x07) << 4) | ((ours >> 4) & 0x07));
  return (theirs & 0x77) == expected;
}

// Composing the next block in T1.LastSent.

void Compose(PSMARTCARD_EXTENSION extension, UCHAR pcb, const UCHAR* information, ULONG length) {
  T1_DATA& t1 = extension->T1;
  t1.LastSent[0] = t1.NAD;
  t1.LastSent[1] = pcb;
  t1.LastSent[2] = static_cast<UCHAR>(length);
  if (length != 0) std::memcpy(t1.LastSent + kPrologue, information, length);
  t1.LastSentLength = PutEdc(extension, t1.LastSent, kPrologue + length);
}

void ComposeR(PSMARTCARD_EXTENSION extension, UCHAR error) {
  Compose(extension, kRBlock | (extension->T1.RSN != 0 ? kRSequence : 0) | error, nullptr, 0);
}

void ComposeS(PSMARTCARD_EXTENSION extension, UCHAR pcb, UCHAR value) {
  Compose(extension, pcb, &value, 1);
}

// Whether the last I-block built has more of the command behind it.
bool Chaining(const T1_DATA& t1) {
  return t1.BytesSent + t1.ChunkLength < t1.CommandLength;
}

// The I-block carrying the command from BytesSent on, at most IFSC bytes of it.
NTSTATUS ComposeI(PSMARTCARD_EXTENSION extension) {
  T1_DATA& t1 = extension->T1;
  const auto& io = extension->IoRequest;
  if (io.RequestBuffer == nullptr || t1.CommandOffset > io.RequestBufferLength ||
      t1.CommandLength > io.RequestBufferLength - t1.CommandOffset ||
      t1.BytesSent > t1.CommandLength) {
    return STATUS_INVALID_PARAMETER;  // the request changed under the exchange
  }
  const ULONG chunk = std::min<ULONG>(t1.IFSC, t1.CommandLength - t1.BytesSent);
  t1.ChunkLength = chunk;
  const UCHAR pcb = (t1.SSN != 0 ? kISequence : 0) | (Chaining(t1) ? kIMore : 0);
  Compose(extension, pcb, io.RequestBuffer + t1.CommandOffset + t1.BytesSent, chunk);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The exchange's first block: the IFSD announcement if the card has not had it, else the
// command's first I-block.
NTSTATUS Begin(PSMARTCARD_EXTENSION extension) {
  T1_DATA& t1 = extension->T1;
  t1.BytesSent = 0;
  t1.BytesReceived = 0;
  t1.ChunkLength = 0;
  t1.MoreData = FALSE;
  if (!t1.IfsdAnnounced) {
    t1.Phase = kAnnounce;
    ComposeS(extension, kSIfsRequest, t1.IFSD);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  t1.Phase = kSending;
  return ComposeI(extension);
}

// Ending the exchange.

// Whether the next exchange starts with S(RESYNCH request): the card may be out of step.
enum class Then {
  kInStep,
  kResynch,
};

Then ThenResynchIf(bool out_of_step) {
  return out_of_step ? Then::kResynch : Then::kInStep;
}

NTSTATUS End(PSMARTCARD_EXTENSION extension, NTSTATUS status, Then then) {
  T1_DATA& t1 = extension->T1;
  t1.Phase = kIdle;
  t1.State = T1_START;
  t1.OriginalState = T1_START;
  t1.MoreData = FALSE;
  t1.NeedResynch = then == Then::kResynch ? TRUE : FALSE;
  return status;
}

NTSTATUS GiveUp(PSMARTCARD_EXTENSION extension) {
  const bool silent = extension->T1.Silent != FALSE;
  return End(extension, silent ? STATUS_IO_TIMEOUT : STATUS_DEVICE_PROTOCOL_ERROR, Then::kResynch);
}

// Room for the response in the application's reply buffer, behind the header.
ULONG GatheringRoom(const PSMARTCARD_EXTENSION extension) {
  const auto& io = extension->IoRequest;
  if (io.ReplyBuffer == nullptr || io.ReplyBufferLength < kHeaderLength) return 0;
  return io.ReplyBufferLength - kHeaderLength;
}

void Gather(PSMARTCARD_EXTENSION extension, const UCHAR* information, ULONG length) {
  T1_DATA& t1 = extension->T1;
  const ULONG room = GatheringRoom(extension);
  if (t1.BytesReceived < room) {
    const ULONG kept = std::min(length, room - t1.BytesReceived);
    std::memcpy(extension->IoRequest.ReplyBuffer + kHeaderLength + t1.BytesReceived, information,
                kept);
  }
  // Counted whole, so that an oversized response is told apart; a count that would wrap stays
  // beyond any room.
  t1.BytesReceived = length > ~ULONG{0} - t1.BytesReceived ? ~ULONG{0} : t1.BytesReceived + length;
}

// Whether the response gathered so far lies over the application's command.
bool CommandOverwritten(const PSMARTCARD_EXTENSION extension) {
  const T1_DATA& t1 = extension->T1;
  const auto& io = extension->IoRequest;
  if (t1.BytesReceived == 0 || io.RequestBuffer == nullptr || io.ReplyBuffer == nullptr) {
    return false;
  }
  const auto command = reinterpret_cast<std::uintptr_t>(io.RequestBuffer) + t1.CommandOffset;
  const auto gathered = reinterpret_cast<std::uintptr_t>(io.ReplyBuffer) + kHeaderLength;
  const ULONG kept = std::min(t1.BytesReceived, GatheringRoom(extension));
  return command < gathered + kept && gathered < command + t1.CommandLength;
}

// The blocks a request may take: kMaxTurns beyond one for each byte of its command and of its
// reply buffer.
ULONG TurnLimit(const PSMARTCARD_EXTENSION extension) {
  const ULONG lengths = extension->T1.CommandLength + extension->IoRequest.ReplyBufferLength;
  return lengths > ~ULONG{0} - kMaxTurns ? ~ULONG{0} : kMaxTurns + lengths;
}

// The response is complete: to the application, whole or not at all.
NTSTATUS Deliver(PSMARTCARD_EXTENSION extension) {
  const T1_DATA& t1 = extension->T1;
  const auto& io = extension->IoRequest;
  const ULONG length = t1.BytesReceived;
  if (length > GatheringRoom(extension)) {
    return End(extension, STATUS_BUFFER_TOO_SMALL, Then::kInStep);
  }
  if (length < kMinimumResponse) return End(extension, STATUS_DEVICE_PROTOCOL_ERROR, Then::kInStep);
  const SCARD_IO_REQUEST header{SCARD_PROTOCOL_T1, kHeaderLength};
  std::memcpy(io.ReplyBuffer, &header, sizeof(header));
  if (io.Information != nullptr) *io.Information = kHeaderLength + length;
  return End(extension, STATUS_SUCCESS, Then::kInStep);
}

// Errors.

// Sends S(RESYNCH request), or gives up when the request has had its share of them.
NTSTATUS Resynchronise(PSMARTCARD_EXTENSION extension) {
  T1_DATA& t1 = extension->T1;
  if (t1.Resynchs >= kMaxResynchs) return GiveUp(extension);
  ++t1.Resynchs;
  t1.Retries = 0;
  t1.Phase = kResynch;
  Compose(extension, kSResynchRequest, nullptr, 0);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// What came from the card: a block that was wrong, or nothing at all.
enum class Heard {
  kBlock,
  kSilence,
};

enum class Again {
  kAsk,     // ask the card for its block again (R-block), or repeat our S(request)
  kIBlock,  // the card asks for our I-block again
};

NTSTATUS Retry(PSMARTCARD_EXTENSION extension, UCHAR error, Heard heard,
               Again again = Again::kAsk) {
  T1_DATA& t1 = extension->T1;
  // A card that has been taken out (maybe another already in its place, not reset) answers no
  // retry and no resynchronisation: each would only wait out the block waiting time again.
  if (SharedLoad(extension->ReaderCapabilities.CurrentState) != SCARD_SPECIFIC) {
    return End(extension, STATUS_NO_MEDIA, Then::kResynch);
  }
  if (heard != Heard::kSilence) t1.Silent = FALSE;
  if (t1.Phase == kResynch || t1.Retries >= kMaxRetries) return Resynchronise(extension);
  ++t1.Retries;
  switch (t1.Phase) {
    case kAnnounce:
      ComposeS(extension, kSIfsRequest, t1.IFSD);
      return STATUS_MORE_PROCESSING_REQUIRED;
    case kSending:
      if (again == Again::kIBlock) return ComposeI(extension);
      ComposeR(extension, error);
      return STATUS_MORE_PROCESSING_REQUIRED;
    default:
      ComposeR(extension, error);
      return STATUS_MORE_PROCESSING_REQUIRED;
  }
}

// A good block moved the exchange on.
void Progress(T1_DATA& t1) {
  t1.Retries = 0;
  t1.Silent = TRUE;
}

// The card's blocks, their framing and EDC already checked.

NTSTATUS OnIBlock(PSMARTCARD_EXTENSION extension, UCHAR pcb, const UCHAR* information,
                  ULONG length) {
  T1_DATA& t1 = extension->T1;
  const UCHAR sequence = (pcb & kISequence) != 0 ? 1 : 0;
  if (sequence != t1.RSN) return Retry(extension, kROtherError, Heard::kBlock);
  if (t1.Phase == kSending) {
    if (Chaining(t1)) return Retry(extension, kROtherError, Heard::kBlock);  // an R-block is owed
    // The card's first I-block acknowledges our last one.
    t1.BytesSent += t1.ChunkLength;
    t1.SSN ^= 1;
    t1.Phase = kReceiving;
  } else if (t1.Phase != kReceiving) {
    return Retry(extension, kROtherError, Heard::kBlock);
  }
  Gather(extension, information, length);
  t1.RSN ^= 1;
  Progress(t1);
  if ((pcb & kIMore) != 0) {
    t1.MoreData = TRUE;
    ComposeR(extension, kRFine);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  t1.MoreData = FALSE;
  return Deliver(extension);
}

NTSTATUS OnRBlock(PSMARTCARD_EXTENSION extension, UCHAR pcb, ULONG length) {
  T1_DATA& t1 = extension->T1;
  if ((pcb & 0x20) != 0 || length != 0) return Retry(extension, kROtherError, Heard::kBlock);
  const UCHAR sequence = (pcb & kRSequence) != 0 ? 1 : 0;
  switch (t1.Phase) {
    case kSending:
      if (Chaining(t1) && sequence != t1.SSN) {
        // Our chained I-block is acknowledged: on with the next one.
        t1.BytesSent += t1.ChunkLength;
        t1.SSN ^= 1;
        Progress(t1);
        return ComposeI(extension);
      }
      return Retry(extension, kRFine, Heard::kBlock, Again::kIBlock);
    case kReceiving:
      // The card missed our R-block.
      return Retry(extension, kRFine, Heard::kBlock);
    default:
      return Retry(extension, kROtherError, Heard::kBlock);
  }
}

NTSTATUS OnSBlock(PSMARTCARD_EXTENSION extension, UCHAR pcb, const UCHAR* information,
                  ULONG length) {
  T1_DATA& t1 = extension->T1;
  const bool exchanging = t1.Phase == kSending || t1.Phase == kReceiving;
  switch (pcb) {
    case kSResynchResponse:
      if (t1.Phase != kResynch || length != 0) break;
      t1.SSN = 0;
      t1.RSN = 0;
      t1.IFSC = ValidIfs(extension->CardCapabilities.T1.IFSC) ? extension->CardCapabilities.T1.IFSC
                                                              : kDefaultIfs;
      t1.IfsdAnnounced = FALSE;
      Progress(t1);
      // Starting over sends the command again; the part of the response gathered may lie
      // over it (one buffer for both), and then the command is no longer there to send.
      if (CommandOverwritten(extension)) {
        return End(extension, STATUS_DEVICE_PROTOCOL_ERROR, Then::kInStep);
      }
      return Begin(extension);
    case kSIfsResponse:
      if (t1.Phase != kAnnounce || length != 1 || information[0] != t1.IFSD) break;
      t1.IfsdAnnounced = TRUE;
      Progress(t1);
      t1.Phase = kSending;
      return ComposeI(extension);
    case kSIfsRequest:
      if (!exchanging || length != 1 || !ValidIfs(information[0])) break;
      t1.IFSC = information[0];
      Progress(t1);
      ComposeS(extension, kSIfsResponse, information[0]);
      return STATUS_MORE_PROCESSING_REQUIRED;
    case kSWtxRequest:
      if (!exchanging || length != 1 || information[0] == 0) break;
      Progress(t1);
      ComposeS(extension, kSWtxResponse, information[0]);
      return STATUS_MORE_PROCESSING_REQUIRED;
    case kSAbortRequest:
      t1.Phase = kAborting;
      Compose(extension, kSAbortResponse, nullptr, 0);
      return STATUS_MORE_PROCESSING_REQUIRED;
    default:
      break;
  }
  return Retry(extension, kROtherError, Heard::kBlock);
}

NTSTATUS Judge(PSMARTCARD_EXTENSION extension) {
  const SMARTCARD_REPLY& in = extension->SmartcardReply;
  const UCHAR* block = in.Buffer;
  const ULONG length = in.BufferLength;
  const ULONG edc = EdcLength(extension);
  if (length == 0) return Retry(extension, kROtherError, Heard::kSilence);
  if (length > in.BufferSize || length < kPrologue + edc || block[2] == kNoLength ||
      length != kPrologue + block[2] + edc) {
    return Retry(extension, kROtherError, Heard::kBlock);
  }
  if (!EdcGood(extension, block, length)) return Retry(extension, kREdcError, Heard::kBlock);
  if (!NadGood(extension->T1.NAD, block[0])) return Retry(extension, kROtherError, Heard::kBlock);
  const UCHAR pcb = block[1];
  const ULONG information = block[2];
  if (IsIBlock(pcb)) return OnIBlock(extension, pcb, block + kPrologue, information);
  if (IsRBlock(pcb)) return OnRBlock(extension, pcb, information);
  return OnSBlock(extension, pcb, block + kPrologue, information);
}

// Starts the exchange of a new request: checks the request and composes the first block.
NTSTATUS Start(PSMARTCARD_EXTENSION extension) {
  T1_DATA& t1 = extension->T1;
  const auto& io = extension->IoRequest;
  if (io.RequestBuffer == nullptr || io.RequestBufferLength < kHeaderLength) {
    return STATUS_INVALID_PARAMETER;
  }
  SCARD_IO_REQUEST header;
  std::memcpy(&header, io.RequestBuffer, sizeof(header));
  if (header.cbPciLength < kHeaderLength || header.cbPciLength > io.RequestBufferLength ||
      io.RequestBufferLength - header.cbPciLength < kMinimumCommand) {
    return STATUS_INVALID_PARAMETER;
  }
  if (io.ReplyBuffer == nullptr) return STATUS_INVALID_PARAMETER;
  if (io.ReplyBufferLength < kHeaderLength) return STATUS_BUFFER_TOO_SMALL;

  t1.CommandOffset = header.cbPciLength;
  t1.CommandLength = io.RequestBufferLength - header.cbPciLength;
  t1.Retries = 0;
  t1.Resynchs = 0;
  t1.Turns = 0;
  t1.Silent = TRUE;
  SharedStore(t1.Wtx, 0);
  if (!ValidIfs(t1.IFSC)) t1.IFSC = kDefaultIfs;
  if (!ValidIfs(t1.IFSD)) t1.IFSD = static_cast<UCHAR>(kMaximumInformation);
  if (t1.NeedResynch) {
    t1.NeedResynch = FALSE;
    t1.BytesSent = 0;
    t1.BytesReceived = 0;
    t1.ChunkLength = 0;
    t1.MoreData = FALSE;
    return Resynchronise(extension);
  }
  return Begin(extension);
}

ULONG StateOf(UCHAR pcb) {
  if (IsIBlock(pcb)) return T1_I_BLOCK;
  if (IsRBlock(pcb)) return T1_R_BLOCK;
  return pcb;
}

ULONG OriginalStateOf(UCHAR phase) {
  switch (phase) {
    case kAnnounce:
      return T1_IFS_REQUEST;
    case kResynch:
      return T1_RESYNCH_REQUEST;
    default:
      return T1_I_BLOCK;
  }
}

// Whether the request is a new one: its reply buffer's first word is cleared, or the buffer
// has no room for the word at all (an exchange in progress began with a buffer that had).
bool ReplyWordCleared(const PSMARTCARD_EXTENSION extension) {
  const auto& io = extension->IoRequest;
  if (io.ReplyBuffer == nullptr || io.ReplyBufferLength < sizeof(ULONG)) return true;
  ULONG word;
  std::memcpy(&word, io.ReplyBuffer, sizeof(word));
  return word == 0;
}

}  // namespace

void SmartcardT1Reset(PSMARTCARD_EXTENSION SmartcardExtension) {
  T1_DATA& t1 = SmartcardExtension->T1;
  const UCHAR ifsc = SmartcardExtension->CardCapabilities.T1.IFSC;
  const ULONG ifsd = SmartcardExtension->ReaderCapabilities.MaxIFSD;
  t1.IFSC = ValidIfs(ifsc) ? ifsc : kDefaultIfs;
  t1.IFSD = static_cast<UCHAR>(ValidIfs(ifsd) ? ifsd : kMaximumInformation);
  t1.IfsdAnnounced = FALSE;
  t1.SSN = 0;
  t1.RSN = 0;
  SharedStore(t1.Wtx, 0);
  t1.State = T1_INIT;
  t1.OriginalState = T1_INIT;
  t1.Phase = kIdle;
  t1.Retries = 0;
  t1.Resynchs = 0;
  t1.Turns = 0;
  t1.BytesSent = 0;
  t1.BytesReceived = 0;
  t1.LastSentLength = 0;
  t1.MoreData = FALSE;
  t1.CommandOffset = 0;
  t1.CommandLength = 0;
  t1.ChunkLength = 0;
  t1.Silent = TRUE;
  t1.NeedResynch = FALSE;
}

NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  T1_DATA& t1 = SmartcardExtension->T1;
  SMARTCARD_REQUEST& out = SmartcardExtension->SmartcardRequest;
  if (out.Buffer == nullptr || out.BufferSize < kBlockRoom) {
    // Not set up for T=1; an exchange in progress (if any) is broken off.
    return End(SmartcardExtension, STATUS_INVALID_DEVICE_STATE,
               ThenResynchIf(t1.Phase != kIdle || t1.NeedResynch));
  }
  if (t1.Phase == kIdle || ReplyWordCleared(SmartcardExtension)) {
    // A new request; if the last one broke off midway, the card may be out of step.
    if (t1.Phase != kIdle) t1.NeedResynch = TRUE;
    t1.Phase = kIdle;
    const NTSTATUS status = Start(SmartcardExtension);
    if (status != STATUS_MORE_PROCESSING_REQUIRED)
      return End(SmartcardExtension, status, ThenResynchIf(t1.NeedResynch));
  }
  if (t1.Turns >= TurnLimit(SmartcardExtension))
    return End(SmartcardExtension, STATUS_DEVICE_PROTOCOL_ERROR, Then::kResynch);

  std::memcpy(out.Buffer, t1.LastSent, t1.LastSentLength);
  out.BufferLength = t1.LastSentLength;
  const UCHAR pcb = t1.LastSent[1];
  t1.State = StateOf(pcb);
  t1.OriginalState = OriginalStateOf(t1.Phase);
  if (pcb == kSWtxResponse) SharedStore(t1.Wtx, t1.LastSent[kPrologue]);
  ++t1.Turns;
  const auto& io = SmartcardExtension->IoRequest;
  if (io.ReplyBuffer != nullptr && io.ReplyBufferLength >= sizeof(ULONG)) {
    const ULONG marker = SCARD_PROTOCOL_T1;
    std::memcpy(io.ReplyBuffer, &marker, sizeof(marker));
  }
  return STATUS_SUCCESS;
}

NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  T1_DATA& t1 = SmartcardExtension->T1;
  if (t1.Phase == kIdle) return STATUS_INVALID_DEVICE_STATE;
  if (SmartcardExtension->SmartcardReply.Buffer == nullptr) {
    return End(SmartcardExtension, STATUS_INVALID_DEVICE_STATE, Then::kResynch);
  }
  if (t1.Phase == kAborting)
    return End(SmartcardExtension, STATUS_DEVICE_PROTOCOL_ERROR, Then::kResynch);
  const NTSTATUS status = Judge(SmartcardExtension);
  if (status == STATUS_MORE_PROCESSING_REQUIRED && t1.Turns >= TurnLimit(SmartcardExtension)) {
    return End(SmartcardExtension, STATUS_DEVICE_PROTOCOL_ERROR, Then::kResynch);
  }
  // The request changed under the exchange: it ends, and the card may be out of step.
  if (status != STATUS_MORE_PROCESSING_REQUIRED && t1.Phase != kIdle) {
    return End(SmartcardExtension, status, Then::kResynch);
  }
  return status;
}
