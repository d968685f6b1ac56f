// The smart card library's T=1 engine fed the card's blocks, turned as the driver turns it:
// SmartcardT1Request for the block to send, the card's answer in SmartcardReply,
// SmartcardT1Reply to judge it, until the request ends.
//
// Input: the card's parameters (EDC, IFSC, the reader's IFSD) and the rooms of the library's
// buffers, then up to four requests: the command, its header's cbPciLength and the room of the
// application's buffer, and for each block the engine sends the card's answer: silence, raw
// bytes, a block with its EDC right (or wrong), or a send that fails (the driver gives up).
//
// Checked: every block sent fits the library's buffer; the engine ends within its turns; every
// status is one the engine names, no media only once the card is gone; a success hands over
// the header and no more than the card sent, within the application's buffer; a failure
// hands over no length and no header; nothing is written beyond the application's room.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "input.h"
#include "platform/platform.h"
#include "smclib/smclib.h"
#include "smclib/t1.h"

namespace tolvex::fuzz {
namespace {

using Bytes = std::vector<UCHAR>;

constexpr ULONG kDriverRoom = 576;  // the driver's SmartcardRequest and SmartcardReply
constexpr ULONG kBlockRoom = 3 + 254 + 2;
constexpr ULONG kMaxTurns = 1000;

class Bench {
 public:
  explicit Bench(Input& in) : in_(in) {
    const UCHAR setup = in_.Byte();
    auto& card = extension_.CardCapabilities;
    card.T1.EDC = (setup & 1) != 0 ? T1_EDC_CRC : T1_EDC_LRC;
    card.T1.IFSC = in_.Byte();
    extension_.ReaderCapabilities.MaxIFSD = in_.Byte();
    request_.resize((setup & 2) != 0 ? kBlockRoom - 2 + in_.Byte() % 8 : kDriverRoom);
    reply_.resize((setup & 4) != 0 ? kBlockRoom + in_.Byte() : kDriverRoom);
    extension_.SmartcardRequest = {request_.data(), static_cast<ULONG>(request_.size()), 0};
    extension_.SmartcardReply = {reply_.data(), static_cast<ULONG>(reply_.size()), 0};
    SmartcardT1Reset(&extension_);
  }

  // One application request, its command and buffers chosen by the input.
  void Transmit() {
    const UCHAR shape = in_.Byte();
    const ULONG pci = (shape & 0x80) != 0 ? shape & 0x1F : 8;
    const Bytes command = in_.Bytes(in_.Below(300));
    const ULONG reply_room = static_cast<ULONG>(in_.Below(600));
    // Request and reply share one buffer, sized exactly, as the I/O manager's system buffer.
    Bytes io(std::max<size_t>(pci, 8), 0x5A);
    const SCARD_IO_REQUEST header{SCARD_PROTOCOL_T1, pci};
    std::memcpy(io.data(), &header, 8);
    io.resize(pci);
    io.insert(io.end(), command.begin(), command.end());
    const ULONG request_length = static_cast<ULONG>(io.size());
    io.resize(std::max<size_t>(io.size(), reply_room), kFill);
    if (io.size() >= 4) std::fill_n(io.begin(), 4, 0);  // the driver's mark of a new request
    const Bytes before = io;
    ULONG_PTR information = 0;
    UCHAR* buffer = io.empty() ? nullptr : io.data();
    extension_.IoRequest = {buffer, request_length, buffer, reply_room, &information};

    size_t said = 0;  // bytes the card sent
    ULONG turns = 0;
    NTSTATUS status;
    ULONG& state = extension_.ReaderCapabilities.CurrentState;
    platform::SharedStore(state, SCARD_SPECIFIC);  // until the input pulls the card out
    for (;;) {
      extension_.T1.NAD = 0;
      status = SmartcardT1Request(&extension_);
      if (status != STATUS_SUCCESS) {
        Check(OneOf(status, {STATUS_INVALID_PARAMETER, STATUS_BUFFER_TOO_SMALL,
                             STATUS_INVALID_DEVICE_STATE, STATUS_DEVICE_PROTOCOL_ERROR}),
              "a block's status is one of the engine's");
        break;
      }
      Check(++turns <= kMaxTurns + command.size() + reply_room,
            "the engine ends within its turns: one per byte it carries, and kMaxTurns");
      const SMARTCARD_REQUEST& out = extension_.SmartcardRequest;
      Check(out.BufferLength <= out.BufferSize, "the block sent fits its buffer");
      platform::SharedStore(extension_.T1.Wtx, 0);
      const UCHAR mode = in_.Byte();
      if (mode % 8 == 7) return;  // the send failed: the driver gives the request up
      if (mode == 0xFE) platform::SharedStore(state, SCARD_ABSENT);  // while its answer is awaited
      const Bytes answer = Answer(mode);
      said += answer.size();
      std::copy(answer.begin(), answer.end(), reply_.begin());
      extension_.SmartcardReply.BufferLength = static_cast<ULONG>(answer.size());
      status = SmartcardT1Reply(&extension_);
      if (status == STATUS_MORE_PROCESSING_REQUIRED) continue;
      Check(OneOf(status, {STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL, STATUS_DEVICE_PROTOCOL_ERROR,
                           STATUS_IO_TIMEOUT, STATUS_NO_MEDIA}),
            "an answer's status is one of the engine's");
      Check(status != STATUS_NO_MEDIA || platform::SharedLoad(state) == SCARD_ABSENT,
            "no media only once the card is gone");
      break;
    }
    if (status == STATUS_SUCCESS) {
      Check(information >= 8 + 2 && information <= reply_room && information <= 8 + said,
            "the response is what the card sent, within the room");
      const SCARD_IO_REQUEST head{SCARD_PROTOCOL_T1, 8};
      Check(std::memcmp(io.data(), &head, 8) == 0, "the response has its header");
    } else {
      // The response is gathered in the reply's room as it comes (a response the card began
      // and a resynchronisation made it start over may leave bytes there): a failure gives no
      // length and no header.
      Check(information == 0, "a failure hands nothing over");
      if (io.size() >= 8) {
        Check(std::equal(io.begin() + 4, io.begin() + 8, before.begin() + 4),
              "a failure writes no header");
      }
    }
    const auto room_end = static_cast<std::ptrdiff_t>(std::max<ULONG>(reply_room, 8));
    if (io.size() > static_cast<size_t>(room_end)) {
      Check(std::equal(io.begin() + room_end, io.end(), before.begin() + room_end),
            "nothing is written past the reply's room");
    }
  }

 private:
  ULONG Edc() const { return extension_.CardCapabilities.T1.EDC == T1_EDC_CRC ? 2 : 1; }

  // The card's answer, at most a block's room (what the driver reads for one block).
  Bytes Answer(UCHAR mode) {
    switch (mode % 8) {
      case 0:
        return {};  // silence
      case 1:
        return in_.Bytes(std::min<size_t>(in_.Byte() + 4u, kBlockRoom));
      default: {
        const UCHAR nad = (mode & 0x80) != 0 ? in_.Byte() : 0;
        const UCHAR pcb = in_.Byte();
        const UCHAR len = in_.Byte();
        const Bytes given = in_.Bytes(len == 0xFF ? 254 : len);
        Bytes block{nad, pcb, len};
        block.insert(block.end(), given.begin(), given.end());
        block.resize(3 + std::min<size_t>(len, 254) + Edc(), 0);
        (void)tolvex::smclib::t1::PutEdc(&extension_, block.data(),
                                         static_cast<ULONG>(block.size() - Edc()));
        if (mode % 8 == 6) block.back() ^= static_cast<UCHAR>(1 + (mode >> 3));
        return block;
      }
    }
  }

  Input& in_;
  SMARTCARD_EXTENSION extension_{};
  Bytes request_;
  Bytes reply_;
};

}  // namespace
}  // namespace tolvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tolvex::fuzz::Input in(data, size);
  tolvex::fuzz::Bench bench(in);
  for (int request = 0; request < 4 && (request == 0 || !in.empty()); ++request) bench.Transmit();
  return 0;
}
