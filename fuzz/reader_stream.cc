// The reader's byte stream into the driver's receive side: the receive worker, the 0x10
// escaping, the reader's event codes, IFRead, IFReadLastCWT and IFReadSTCData.
//
// The input is a list of operations on one exchange after another (an implicit command first):
//   op % 8 == 0  command: the host writes a frame, which starts a new exchange
//             1  LEN BYTES...  the reader sends BYTES (LEN % 64 of them; LEN F0 to F7: the next
//                four bytes over and over, (LEN - 0xEF) x 128 bytes), and the link comes to rest
//             2  N      IFRead of N bytes (N >= 0xF0: 700 + 10 x (N - 0xF0))
//             3         IFReadLastCWT
//             4  N ROOM IFReadSTCData of N bytes (as above) into ROOM bytes
//             5  W      the card's waiting time extension: W, or none when W is even
//             6  N LEN BYTES...  the reader sends BYTES while an IFRead of N bytes waits
//             7  LEN BYTES...    the reader sends BYTES while IFReadLastCWT waits
//
// Checked: every read's status is one of the defined ones, it ends within the wait it was
// given, writes nothing past the caller's buffer and on failure hands nothing up. At every
// rest nobody waits, the buffer holds at most 767 bytes, and the bytes taken and held are
// never more than the reader sent since the command.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "link_fuzz.h"

namespace tolvex::fuzz {
namespace {

using Clock = std::chrono::steady_clock;

constexpr UCHAR kCommand = 0x01;
constexpr ULONG kRacingTotal = 5;                  // ms: the link's wait while bytes race a read
constexpr auto kMargin = std::chrono::seconds(2);  // on top of a wait, for a busy machine

Bytes Chunk(Input& in) {
  const UCHAR len = in.Byte();
  if (len >= 0xF0 && len < 0xF8) {
    const Bytes pattern{in.Byte(), in.Byte(), in.Byte(), in.Byte()};
    Bytes chunk;
    for (int i = 0; i < (len - 0xEF) * 128; ++i) chunk.push_back(pattern[i % 4]);
    return chunk;
  }
  return in.Bytes(len % 64);
}

ULONG Count(Input& in) {
  const UCHAR n = in.Byte();
  return n >= 0xF0 ? 700 + 10 * (n - 0xF0) : n;
}

// A read's statuses (IFRead's; IFReadSTCData's also STATUS_BUFFER_TOO_SMALL).
bool IsReadStatus(NTSTATUS status) {
  return OneOf(status, {STATUS_SUCCESS, STATUS_IO_TIMEOUT, STATUS_DATA_ERROR, STATUS_DATA_OVERRUN,
                        STATUS_CRC_ERROR, STATUS_UNSUCCESSFUL});
}

class Run {
 public:
  explicit Run(FuzzLink& link) : link_(link), reader_(link.reader()) {}

  void Step(Input& in) {
    switch (const UCHAR op = in.Byte() % 8) {
      case 0:
        return Command();
      case 1:
        Send(Chunk(in));
        return Rest();
      case 2:
      case 4: {
        const ULONG n = Count(in);
        return Read(n, op == 4 ? std::optional<ULONG>(in.Byte()) : std::nullopt, {});
      }
      case 3:
        return ReadBlockEnd({});
      case 5: {
        const UCHAR wtx = in.Byte();
        return platform::SharedStore(link_.smartcard()->T1.Wtx,
                                     static_cast<UCHAR>(wtx & 1 ? wtx : 0));
      }
      case 6: {
        const ULONG n = in.Byte();
        return Read(n, std::nullopt, Chunk(in));
      }
      default:
        return ReadBlockEnd(Chunk(in));
    }
  }

  void Command() {
    link_.Quiet();
    Check(IFWrite(reader_, &kCommand, 1) == STATUS_SUCCESS, "the port takes the command");
    sent_ = taken_ = 0;
    Rest();
  }

 private:
  void Send(const Bytes& bytes) {
    sent_ += bytes.size();
    link_.bench().line().Send(bytes);
  }

  // Bytes that come while a read waits: the read waits a little longer.
  void Race(const std::optional<Bytes>& racing) {
    if (!racing) return;
    link_.SetWait(kRacingTotal);
    Send(*racing);
  }

  // Back to the short wait, at rest: nobody waits, the buffer within its bound, no byte made up.
  void Rest() {
    link_.SetWait(kFastTotal);
    link_.Quiet();
    link_.CheckNobodyWaits();
    platform::SpinLockGuard lock(&reader_->ReceiveLock);
    Check(reader_->ReceivedCount <= RECEIVE_BUFFER_SIZE - 1, "the buffer keeps at most 767 bytes");
    Check(reader_->ReceivedCount + taken_ <= sent_, "no byte is made up");
  }

  // IFRead of `n` bytes, or IFReadSTCData into `room` bytes.
  void Read(ULONG n, std::optional<ULONG> room, const std::optional<Bytes>& racing) {
    const ULONG given = room.value_or(n);
    Bytes bytes(given + kCanary, kFill);
    Race(racing);
    ULONG length = given;
    const auto start = Clock::now();
    const NTSTATUS status =
        room ? IFReadSTCData(reader_, bytes.data(), &length, n) : IFRead(reader_, bytes.data(), n);
    const ULONG wait = racing ? kRacingTotal : kFastTotal;
    Check(Clock::now() - start < std::chrono::milliseconds(wait) + kMargin,
          "a read ends within its wait");
    Check(IsReadStatus(status) || (room && status == STATUS_BUFFER_TOO_SMALL),
          "a read's status is one of the defined ones");
    Check(Untouched(bytes, given, bytes.size()), "nothing is written past the caller's buffer");
    const bool ok = status == STATUS_SUCCESS;
    if (room) Check(length == (ok ? n : 0), "a read tells the length it handed up");
    if (!ok) Check(Untouched(bytes, 0, given), "a failed read hands nothing up");
    if (ok) taken_ += n;
    Rest();
  }

  void ReadBlockEnd(const std::optional<Bytes>& racing) {
    Race(racing);
    const NTSTATUS status = IFReadLastCWT(reader_);
    Check(status == STATUS_SUCCESS || status == STATUS_IO_TIMEOUT, "the block's end is told");
    Rest();
  }

  FuzzLink& link_;
  PREADER_EXTENSION reader_;
  size_t sent_ = 0;   // bytes the reader sent since the command
  size_t taken_ = 0;  // bytes reads handed up since the command
};

}  // namespace
}  // namespace tolvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tolvex::fuzz::FuzzLink& link = tolvex::fuzz::Link();
  tolvex::platform::PlatformScope scope(link.bench().platform());
  link.Begin(nullptr);
  tolvex::fuzz::Input in(data, size);
  tolvex::fuzz::Run run(link);
  run.Command();
  while (!in.empty()) run.Step(in);
  link.End();
  return 0;
}
