// T=0: the smart card library's part (SmartcardT0Request, SmartcardT0Reply) and the driver's
// procedure-byte dialogue (CBT0Transmit, T0_ExchangeData) fed what the card says.
//
// The first byte picks the part. The library's: any request (header, cbPciLength, APDU of any
// case and length) against a SmartcardRequest of any room, then the card's bytes of any length
// in a SmartcardReply of any room, into an application buffer of any room. The driver's: on
// the link bench (a serial port in memory, the driver's pauses skipped), the application's
// command, then for each frame the driver writes, the reader's answer (its OK, or another
// code) and the card's bytes behind it: procedure bytes, data, SW1 SW2, reports of the reader.
// Once the input is used up every answer is OK and the reader's error report, so that no read
// waits out its time-out.
//
// Checked: the command built is the APDU's header with P3, and Lc data bytes; the reply goes to
// the application whole (header, the card's bytes) or not at all, within its buffer; every
// status is a success or a failure; nothing is written outside a buffer (the sanitizer).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "driver/card/card.h"
#include "driver/frame/frame.h"
#include "input.h"
#include "platform/platform.h"
#include "smclib/smclib.h"
#include "support/card_bench.h"

namespace {

using tolvex::fuzz::Check;
using tolvex::fuzz::Input;
using Bytes = std::vector<UCHAR>;

// The application's request: header {protocol, cbPciLength}, padding up to cbPciLength, APDU.
Bytes ApplicationRequest(Input& in, ULONG protocol) {
  const UCHAR shape = in.Byte();
  const ULONG pci = (shape & 0x80) != 0 ? shape & 0x1F : 8;
  Bytes request(std::min<ULONG>(pci, 8), 0);
  if (request.size() >= 4) std::memcpy(request.data(), &protocol, 4);
  if (request.size() >= 8) std::memcpy(request.data() + 4, &pci, 4);
  request.resize(std::max<size_t>(request.size(), pci), 0x5A);
  const Bytes header = in.Bytes(4);
  request.insert(request.end(), header.begin(), header.end());
  switch ((shape >> 4) & 3) {  // the APDU's case, as its bytes then tell it
    case 0:
      break;
    case 1:
      request.push_back(in.Byte());  // Le
      break;
    default: {
      const UCHAR lc = in.Byte();
      request.push_back(lc);
      const Bytes data = in.Bytes(lc);
      request.insert(request.end(), data.begin(), data.end());
      if (((shape >> 4) & 3) == 3) request.push_back(in.Byte());  // Le: case 4
      break;
    }
  }
  if ((shape & 0x40) != 0) {  // any bytes at all
    const Bytes more = in.Bytes(in.Byte());
    request.insert(request.end(), more.begin(), more.end());
  }
  return request;
}

// The application's buffer: request and reply share it, sized exactly, the rest 0xEE.
struct Io {
  Bytes buffer;
  Bytes before;
  ULONG_PTR information = 0xEEEE;
  ULONG request_length = 0;
  ULONG reply_room = 0;

  Io(const Bytes& request, ULONG room) : request_length(static_cast<ULONG>(request.size())) {
    reply_room = room;
    buffer.assign(std::max<size_t>(request.size(), room), 0xEE);
    std::copy(request.begin(), request.end(), buffer.begin());
    before = buffer;
  }
  void Attach(PSMARTCARD_EXTENSION extension) {
    auto& io = extension->IoRequest;
    io.RequestBuffer = buffer.empty() ? nullptr : buffer.data();
    io.RequestBufferLength = request_length;
    io.ReplyBuffer = buffer.empty() ? nullptr : buffer.data();
    io.ReplyBufferLength = reply_room;
    io.Information = &information;
  }
  // A success: the header, then `answer`, and nothing written beyond.
  void CheckReply(const UCHAR* answer, ULONG length) const {
    Check(information == 8 + ULONG_PTR{length} && information <= reply_room);
    const SCARD_IO_REQUEST header{SCARD_PROTOCOL_T0, 8};
    Check(std::memcmp(buffer.data(), &header, 8) == 0);
    Check(std::memcmp(buffer.data() + 8, answer, length) == 0);
    Check(std::equal(buffer.begin() + static_cast<std::ptrdiff_t>(information), buffer.end(),
                     before.begin() + static_cast<std::ptrdiff_t>(information)));
  }
  // A failure: nothing written.
  void CheckUntouched() const {
    Check(information == 0xEEEE);
    Check(buffer == before);
  }
};

// Checks the command built against the APDU it came from.
void CheckCommand(const Bytes& request, const SMARTCARD_EXTENSION& extension) {
  ULONG pci = 0;
  std::memcpy(&pci, request.data() + 4, 4);
  const UCHAR* apdu = request.data() + pci;
  const ULONG length = static_cast<ULONG>(request.size()) - pci;
  const SMARTCARD_REQUEST& out = extension.SmartcardRequest;
  Check(out.BufferLength <= out.BufferSize && out.BufferLength >= 5);
  Check(std::memcmp(out.Buffer, apdu, 4) == 0);
  const ULONG lc = out.BufferLength - 5;
  Check(extension.T0.Lc == lc);
  if (lc == 0) {
    Check(length <= 5);
    Check(out.Buffer[4] == (length == 5 ? apdu[4] : 0));
    Check(extension.T0.Le == (length == 5 ? (apdu[4] == 0 ? 256u : apdu[4]) : 0u));
  } else {
    Check(out.Buffer[4] == lc && apdu[4] == lc && (length == 5 + lc || length == 6 + lc));
    Check(std::memcmp(out.Buffer + 5, apdu + 5, lc) == 0 && extension.T0.Le == 0);
  }
}

void LibraryPart(Input& in) {
  SMARTCARD_EXTENSION extension{};
  Bytes request_room(in.Below(300));
  Bytes reply_room(in.Below(300));
  extension.SmartcardRequest = {request_room.empty() ? nullptr : request_room.data(),
                                static_cast<ULONG>(request_room.size()), 0};
  extension.SmartcardReply = {reply_room.empty() ? nullptr : reply_room.data(),
                              static_cast<ULONG>(reply_room.size()), 0};
  const Bytes request = ApplicationRequest(in, SCARD_PROTOCOL_T0);
  Io io(request, static_cast<ULONG>(in.Below(300)));
  io.Attach(&extension);
  const NTSTATUS built = SmartcardT0Request(&extension);
  Check(NT_SUCCESS(built) ? built == STATUS_SUCCESS : true);
  if (built == STATUS_SUCCESS) CheckCommand(request, extension);
  Check(io.buffer == io.before);  // the request is read, never written

  const Bytes answer = in.Bytes(in.Below(300));
  std::copy_n(answer.begin(), std::min(answer.size(), reply_room.size()), reply_room.begin());
  extension.SmartcardReply.BufferLength = static_cast<ULONG>(answer.size());
  const NTSTATUS replied = SmartcardT0Reply(&extension);
  if (replied == STATUS_SUCCESS) {
    Check(answer.size() >= 2 && answer.size() <= reply_room.size());
    io.CheckReply(answer.data(), static_cast<ULONG>(answer.size()));
  } else {
    Check(!NT_SUCCESS(replied));
    io.CheckUntouched();
  }
}

// The reader on the bench's line: answers each frame the driver writes with the next answer
// the input gives, or with OK and the reader's error report once the input is used up.
class Reader {
 public:
  void Fill(Input& in) {
    std::lock_guard lock(mutex_);
    answers_.clear();
    while (!in.empty()) {
      const UCHAR shape = in.Byte();
      Bytes answer{(shape & 0x80) != 0 ? in.Byte() : STC_OK};
      const Bytes card = tolvex::testutil::Relayed(in.Bytes(shape & 0x3F));
      answer.insert(answer.end(), card.begin(), card.end());
      if ((shape & 0x40) != 0) answer.insert(answer.end(), {STC_ESCAPE, in.Byte()});
      answers_.push_back(std::move(answer));
    }
  }
  void Wrote(tolvex::host::LinkBench& bench, std::span<const UCHAR>) {
    Bytes answer;
    {
      std::lock_guard lock(mutex_);
      if (answers_.empty()) {
        answer = {STC_OK, STC_ESCAPE, STC_READER_ERROR};
      } else {
        answer = std::move(answers_.front());
        answers_.pop_front();
      }
    }
    bench.line().Send(answer);
  }

 private:
  std::mutex mutex_;
  std::deque<Bytes> answers_;
};

struct DriverBench {
  tolvex::host::LinkBench bench;
  Reader reader;
  Bytes request_room;
  Bytes reply_room;
  ULONG_PTR information = 0;
  bool ok = false;

  DriverBench() {
    ok = bench.Start() == STATUS_SUCCESS;
    tolvex::platform::PlatformScope scope(bench.platform());
    tolvex::testutil::SetUpSmartcard(bench.smartcard(), request_room, reply_room);
    bench.smartcard()->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    // Short reads, whatever their length (a read of n bytes waits interval x n + total): a card
    // that says nothing more costs ten milliseconds.
    bench.reader()->ReadIntervalTimeout = 0;
    bench.reader()->ReadTotalTimeout = 10;
    bench.line().SetListener([this](std::span<const UCHAR> frame) { reader.Wrote(bench, frame); });
  }
};

void DriverPart(Input& in) {
  static DriverBench* const bench = new DriverBench;  // one for the whole run
  Check(bench->ok);
  tolvex::platform::PlatformScope scope(bench->bench.platform());
  PSMARTCARD_EXTENSION card = bench->bench.smartcard();
  tolvex::platform::SharedStore(card->ReaderCapabilities.CurrentState, SCARD_SPECIFIC);
  const Bytes request = ApplicationRequest(in, SCARD_PROTOCOL_T0);
  Io io(request, static_cast<ULONG>(in.Below(300)));
  io.Attach(card);
  bench->reader.Fill(in);
  const NTSTATUS status = CBT0Transmit(card);
  if (status == STATUS_SUCCESS) {
    const SMARTCARD_REPLY& reply = card->SmartcardReply;
    Check(reply.BufferLength >= 2 && reply.BufferLength <= reply.BufferSize);
    // At most the data asked for, and SW1 SW2.
    Check(reply.BufferLength <= card->T0.Le + 2);
    io.CheckReply(reply.Buffer, reply.BufferLength);
  } else {
    Check(!NT_SUCCESS(status));
    io.CheckUntouched();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  if (in.Byte() % 2 == 0) {
    LibraryPart(in);
  } else {
    DriverPart(in);
  }
  return 0;
}
