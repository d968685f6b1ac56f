// The smart card library's T=1 engine (smclib/t1.cc) fed the card's blocks, turned as the
// driver turns it (driver/card/t1.cc): SmartcardT1Request for the block to send, the card's
// answer in SmartcardReply, SmartcardT1Reply to judge it, until the request ends.
//
// The input chooses the card's parameters (EDC, IFSC, the reader's IFSD), the room of the
// library's request and reply buffers, then up to four requests: the command, its header's
// cbPciLength and the room of the application's buffer, and for each block the engine sends
// the card's answer: silence, raw bytes, a block with its EDC right (or wrong) with any NAD,
// PCB, LEN and information, or a send that fails (the driver gives the request up).
//
// Checked: every block sent is well formed (LEN within IFSC and the buffer, EDC right); the
// engine ends within its turns; every status is one the engine names; a success hands over
// the header and a response made of the information of I-blocks the card sent, in order, the
// last of them ending the chain, within the application's buffer; a failure writes nothing
// but the first word of that buffer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "input.h"
#include "platform/platform.h"
#include "smclib/smclib.h"
#include "smclib/t1.h"

namespace {

using tolvex::fuzz::Check;
using tolvex::fuzz::Input;
using Bytes = std::vector<UCHAR>;

constexpr ULONG kDriverRoom = 576;  // the driver's SmartcardRequest and SmartcardReply
constexpr ULONG kBlockRoom = 3 + 254 + 2;
constexpr ULONG kMaxTurns = 1000;

bool OneOf(NTSTATUS status, std::initializer_list<NTSTATUS> statuses) {
  return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
}

// Whether `response` is the information of some of `blocks`, in their order, whole.
bool MadeOf(const Bytes& response, const std::vector<Bytes>& blocks) {
  // reach[n]: the first n bytes of the response are made of blocks seen so far.
  std::vector<bool> reach(response.size() + 1, false);
  reach[0] = true;
  for (const Bytes& block : blocks) {
    for (size_t n = response.size() + 1; n-- > 0;) {
      if (!reach[n] || block.size() > response.size() - n) continue;
      if (std::equal(block.begin(), block.end(), response.begin() + n))
        reach[n + block.size()] = true;
    }
  }
  return reach[response.size()];
}

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
    Bytes request(pci < 8 ? pci : 8, 0);
    if (request.size() >= 4) request[0] = SCARD_PROTOCOL_T1;
    if (request.size() >= 8) std::memcpy(request.data() + 4, &pci, 4);
    request.resize(std::max<size_t>(request.size(), pci), 0x5A);
    request.insert(request.end(), command.begin(), command.end());
    // Request and reply share one buffer, sized exactly, as the I/O manager's system buffer.
    Bytes io(std::max<size_t>(request.size(), reply_room), 0xEE);
    std::copy(request.begin(), request.end(), io.begin());
    if (io.size() >= 4) std::fill_n(io.begin(), 4, 0);  // the driver's mark of a new request
    const Bytes before = io;
    ULONG_PTR information = 0;
    auto& ioreq = extension_.IoRequest;
    ioreq.RequestBuffer = io.empty() ? nullptr : io.data();
    ioreq.RequestBufferLength = static_cast<ULONG>(request.size());
    ioreq.ReplyBuffer = io.empty() ? nullptr : io.data();
    ioreq.ReplyBufferLength = reply_room;
    ioreq.Information = &information;

    std::vector<Bytes> i_blocks;  // the information of the card's well-formed I-blocks
    Bytes last_answer;
    ULONG turns = 0;
    NTSTATUS status;
    // The card in its specific mode, until the input pulls it out.
    bool gone = false;
    tolvex::platform::SharedStore(extension_.ReaderCapabilities.CurrentState, SCARD_SPECIFIC);
    for (;;) {
      extension_.T1.NAD = 0;
      status = SmartcardT1Request(&extension_);
      if (status != STATUS_SUCCESS) {
        Check(OneOf(status, {STATUS_INVALID_PARAMETER, STATUS_BUFFER_TOO_SMALL,
                             STATUS_INVALID_DEVICE_STATE, STATUS_DEVICE_PROTOCOL_ERROR}));
        break;
      }
      Check(++turns <= kMaxTurns);
      CheckSent();
      tolvex::platform::SharedStore(extension_.T1.Wtx, 0);
      const UCHAR mode = in_.Byte();
      if (mode % 8 == 7) return;  // the send failed: the driver gives the request up
      if (mode == 0xFE) {         // the card is pulled out while its answer is awaited
        gone = true;
        tolvex::platform::SharedStore(extension_.ReaderCapabilities.CurrentState, SCARD_ABSENT);
      }
      last_answer = Answer(mode);
      std::copy(last_answer.begin(), last_answer.end(), reply_.begin());
      extension_.SmartcardReply.BufferLength = static_cast<ULONG>(last_answer.size());
      if (IsIBlock(last_answer)) {
        i_blocks.emplace_back(last_answer.begin() + 3, last_answer.end() - Edc());
      }
      status = SmartcardT1Reply(&extension_);
      if (status == STATUS_MORE_PROCESSING_REQUIRED) continue;
      Check(OneOf(status, {STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL, STATUS_DATA_OVERRUN,
                           STATUS_DEVICE_PROTOCOL_ERROR, STATUS_IO_TIMEOUT, STATUS_NO_MEDIA}));
      Check(status != STATUS_NO_MEDIA || gone);
      break;
    }
    if (status == STATUS_SUCCESS) {
      Check(information >= 8 + 2 && information <= reply_room);
      const SCARD_IO_REQUEST header{SCARD_PROTOCOL_T1, 8};
      Check(std::memcmp(io.data(), &header, 8) == 0);
      const Bytes response(io.begin() + 8, io.begin() + static_cast<std::ptrdiff_t>(information));
      Check(MadeOf(response, i_blocks));
      // The last block the card sent is an I-block ending its chain, the response's end.
      Check(IsIBlock(last_answer) && (last_answer[1] & 0x20) == 0);
      const Bytes tail(last_answer.begin() + 3, last_answer.end() - Edc());
      Check(tail.size() <= response.size() &&
            std::equal(tail.begin(), tail.end(), response.end() - tail.size()));
      Check(!io.empty() &&
            std::equal(io.begin() + information, io.end(), before.begin() + information));
    } else {
      Check(information == 0);
      if (io.size() > 4) Check(std::equal(io.begin() + 4, io.end(), before.begin() + 4));
    }
  }

 private:
  ULONG Edc() const { return extension_.CardCapabilities.T1.EDC == T1_EDC_CRC ? 2 : 1; }

  // Whether the card's answer is a well-formed I-block, its EDC right.
  bool IsIBlock(const Bytes& answer) {
    return answer.size() >= 3 + Edc() && (answer[1] & 0x80) == 0 && answer[2] != 0xFF &&
           answer.size() == 3 + answer[2] + Edc() &&
           tolvex::smclib::t1::EdcGood(&extension_, answer.data(),
                                       static_cast<ULONG>(answer.size()));
  }

  // The block the engine hands the driver: NAD 0, LEN within the buffer and IFSC, EDC right.
  void CheckSent() {
    const SMARTCARD_REQUEST& out = extension_.SmartcardRequest;
    Check(out.BufferLength <= out.BufferSize && out.BufferLength >= 3 + Edc());
    const UCHAR* block = out.Buffer;
    Check(block[0] == 0 && block[2] != 0xFF && out.BufferLength == 3 + block[2] + Edc());
    if ((block[1] & 0x80) == 0) Check(block[2] <= extension_.T1.IFSC);
    Check(tolvex::smclib::t1::EdcGood(&extension_, block, out.BufferLength));
  }

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
        Bytes block{nad, pcb, len};
        const Bytes information = in_.Bytes(len == 0xFF ? 254 : len);
        block.insert(block.end(), information.begin(), information.end());
        block.resize(3 + std::min<size_t>(len, 254), 0);
        block.resize(block.size() + Edc());
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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  Bench bench(in);
  for (int request = 0; request < 4 && (request == 0 || !in.empty()); ++request) bench.Transmit();
  return 0;
}
