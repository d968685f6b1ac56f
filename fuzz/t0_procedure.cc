// T=0: the smart card library's command and reply (SmartcardT0Request, SmartcardT0Reply) and
// the driver's procedure-byte dialogue (CBT0Transmit) fed what the card says.
//
// The first byte picks the library (even) or the driver (odd). The library's: the rooms of its
// request and reply buffers, the application's request (header, cbPciLength, an APDU of any case
// and length) and the room for its reply, then the card's bytes. The driver's: the application's
// request, then for each frame the driver writes the reader's answer (OK or another code, the
// card's bytes, perhaps a report); once the input is used up, OK and the reader's error report.
//
// Checked: statuses from each call's set; the request is read, never written; the command
// fits its buffer; a success hands the application the header and SW1 SW2 at least (from the
// driver no more data than Le asked for) within its room, nothing written past it; a failure
// writes nothing; nothing waits and no memory is left.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <span>

#include "link_fuzz.h"

namespace tolvex::fuzz {
namespace {

// The application's request: header {protocol, cbPciLength}, padding up to cbPciLength, APDU
// (the case by the shape, its lengths and data from the input, the data perhaps cut short).
Bytes ApplicationRequest(Input& in) {
  const UCHAR shape = in.Byte();
  const ULONG pci = (shape & 0x80) != 0 ? shape & 0x1F : 8;
  Bytes request(std::max<ULONG>(pci, 8), 0x5A);
  const SCARD_IO_REQUEST header{SCARD_PROTOCOL_T0, pci};
  std::memcpy(request.data(), &header, 8);
  request.resize(pci);
  const Bytes apdu = in.Bytes(4);
  request.insert(request.end(), apdu.begin(), apdu.end());
  const int apdu_case = (shape >> 4) & 3;
  if (apdu_case == 1) request.push_back(in.Byte());  // Le
  if (apdu_case >= 2) {
    const UCHAR lc = in.Byte();
    request.push_back(lc);
    const Bytes data = in.Bytes(lc);
    request.insert(request.end(), data.begin(), data.end());
    if (apdu_case == 3) request.push_back(in.Byte());  // Le
  }
  return request;
}

// The application's buffer: the request from the input, the room for the reply after it; they
// share one buffer, sized exactly, the rest kFill.
struct Io {
  explicit Io(Input& in) : buffer(ApplicationRequest(in)) {
    request_length = static_cast<ULONG>(buffer.size());
    reply_room = static_cast<ULONG>(in.Below(300));
    buffer.resize(std::max<size_t>(buffer.size(), reply_room), kFill);
    before = buffer;
  }
  void Attach(PSMARTCARD_EXTENSION extension) {
    UCHAR* data = buffer.empty() ? nullptr : buffer.data();
    extension->IoRequest = {data, request_length, data, reply_room, &information};
  }
  // A success hands up the header, then `length` bytes of the card's, and writes nothing beyond;
  // a failure writes nothing.
  void CheckOutcome(bool ok, size_t length) const {
    if (!ok) return Check(information == 0xEEEE && buffer == before, "a failure writes nothing");
    Check(information == 8 + length && information <= reply_room,
          "the reply is the header and the answer, within the room");
    const SCARD_IO_REQUEST header{SCARD_PROTOCOL_T0, 8};
    Check(std::memcmp(buffer.data(), &header, 8) == 0, "the reply starts with its header");
    const auto end = static_cast<std::ptrdiff_t>(information);
    Check(std::equal(buffer.begin() + end, buffer.end(), before.begin() + end),
          "nothing is written past the reply");
  }

  Bytes buffer, before;
  ULONG_PTR information = 0xEEEE;
  ULONG request_length, reply_room;
};

void ThroughLibrary(Input& in) {
  SMARTCARD_EXTENSION extension{};
  Bytes request_room(in.Below(300));
  Bytes reply_room(in.Below(300));
  extension.SmartcardRequest = {request_room.empty() ? nullptr : request_room.data(),
                                static_cast<ULONG>(request_room.size()), 0};
  extension.SmartcardReply = {reply_room.empty() ? nullptr : reply_room.data(),
                              static_cast<ULONG>(reply_room.size()), 0};
  Io io(in);
  io.Attach(&extension);
  const NTSTATUS built = SmartcardT0Request(&extension);
  Check(OneOf(built, {STATUS_SUCCESS, STATUS_INVALID_PARAMETER, STATUS_INVALID_DEVICE_STATE}),
        "the command's status is one of the library's");
  const SMARTCARD_REQUEST& command = extension.SmartcardRequest;
  Check(command.BufferLength <= command.BufferSize, "the command fits its buffer");
  Check(io.buffer == io.before, "the request is read, never written");

  const Bytes answer = in.Bytes(in.Below(300));
  std::copy_n(answer.begin(), std::min(answer.size(), reply_room.size()), reply_room.begin());
  extension.SmartcardReply.BufferLength = static_cast<ULONG>(answer.size());
  const NTSTATUS replied = SmartcardT0Reply(&extension);
  Check(OneOf(replied, {STATUS_SUCCESS, STATUS_DEVICE_PROTOCOL_ERROR, STATUS_INVALID_DEVICE_STATE,
                        STATUS_INVALID_PARAMETER, STATUS_BUFFER_TOO_SMALL}),
        "the reply's status is one of the library's");
  const bool ok = replied == STATUS_SUCCESS;
  Check(!ok || (answer.size() >= 2 && answer.size() <= reply_room.size()),
        "a reply is SW1 SW2 at least, from within the library's buffer");
  io.CheckOutcome(ok, answer.size());
}

// The reader's answers to the driver's frames, one a frame, in order: its code (OK unless the
// input gives one), the card's bytes relayed, perhaps a report.
std::deque<Bytes> ReaderAnswers(Input& in) {
  std::deque<Bytes> answers;
  while (!in.empty()) {
    const UCHAR shape = in.Byte();
    Bytes answer{(shape & 0x80) != 0 ? in.Byte() : STC_OK};
    const Bytes card = testutil::Relayed(in.Bytes(shape & 0x3F));
    answer.insert(answer.end(), card.begin(), card.end());
    if ((shape & 0x40) != 0) answer.insert(answer.end(), {STC_ESCAPE, in.Byte()});
    answers.push_back(std::move(answer));
  }
  return answers;
}

void ThroughDriver(Input& in) {
  FuzzLink& link = Link();
  platform::PlatformScope scope(link.bench().platform());
  Io io(in);
  auto answers = std::make_shared<std::deque<Bytes>>(ReaderAnswers(in));
  link.Begin([answers](std::span<const UCHAR>) {
    if (answers->empty()) return Bytes{STC_OK, STC_ESCAPE, STC_READER_ERROR};
    Bytes answer = std::move(answers->front());
    answers->pop_front();
    return answer;
  });
  // A card that says nothing more costs ten milliseconds, whatever the read's length.
  link.SetWait(10);
  PSMARTCARD_EXTENSION card = link.smartcard();
  card->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
  platform::SharedStore(card->ReaderCapabilities.CurrentState, SCARD_SPECIFIC);
  io.Attach(card);
  const NTSTATUS status = CBT0Transmit(card);
  card->IoRequest.Information = &link.information();
  link.End();
  const bool ok = status == STATUS_SUCCESS;
  const SMARTCARD_REPLY& reply = card->SmartcardReply;
  Check(ok ? reply.BufferLength >= 2 && reply.BufferLength <= reply.BufferSize &&
                 reply.BufferLength <= card->T0.Le + 2
           : !NT_SUCCESS(status),
        "SW1 SW2 and no more data than asked for, within its buffer; or an error");
  io.CheckOutcome(ok, reply.BufferLength);
}

}  // namespace
}  // namespace tolvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tolvex::fuzz::Input in(data, size);
  in.Byte() % 2 == 0 ? tolvex::fuzz::ThroughLibrary(in) : tolvex::fuzz::ThroughDriver(in);
  return 0;
}
