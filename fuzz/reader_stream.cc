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
// After the operations that leave the link at rest, a model of the receive buffer predicts
// every outcome exactly: the bytes handed up (the unescaped data, damaged characters as 0, in
// order), the status, the count and the end of the exchange. The operations with bytes in
// flight (6, 7) are checked for what holds whatever the timing: a read gets at most what it
// asked, only data that came, in order, and a status from the defined set, within its time.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "link_fuzz.h"

namespace {

using tolvex::fuzz::Bytes;
using tolvex::fuzz::Check;
using tolvex::fuzz::CodeStatus;
using tolvex::fuzz::FuzzLink;
using tolvex::fuzz::Input;
using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;
using tolvex::platform::SpinLockGuard;

constexpr UCHAR kCommand = 0x01;
constexpr ULONG kLimit = RECEIVE_BUFFER_SIZE - 1;  // bytes the buffer keeps
constexpr UCHAR kFill = 0xEE;
constexpr size_t kCanary = 16;
// The link's waits (ms) while bytes race a read.
constexpr ULONG kRacingInterval = 0;
constexpr ULONG kRacingTotal = 5;

Bytes Chunk(Input& in) {
  const UCHAR len = in.Byte();
  Bytes chunk;
  if (len >= 0xF0 && len < 0xF8) {
    UCHAR pattern[4];
    for (UCHAR& b : pattern) b = in.Byte();
    for (int i = 0; i < (len - 0xEF) * 128; ++i) chunk.push_back(pattern[i % 4]);
    return chunk;
  }
  return in.Bytes(len % 64);
}

ULONG Count(Input& in) {
  const UCHAR n = in.Byte();
  return n >= 0xF0 ? 700 + 10 * (n - 0xF0) : n;
}

bool IsReadStatus(NTSTATUS status) {
  return status == STATUS_SUCCESS || status == STATUS_IO_TIMEOUT || status == STATUS_DATA_ERROR ||
         status == STATUS_DATA_OVERRUN || status == STATUS_CRC_ERROR ||
         status == STATUS_UNSUCCESSFUL;
}

// What the receive buffer and the exchange hold, as the driver is to keep them.
class Model {
 public:
  enum class BlockEnd { kNotYet, kCame, kUnknown };

  void Command() {
    count_ = 0;  // the buffer's bytes stay, unread
    answer_pending_ = true;
    exchange_end_ = STATUS_SUCCESS;
    block_end_ = BlockEnd::kNotYet;
    exact_ = true;
  }

  // The reader's bytes, taken by the worker. `racing`: a read may wait for bytes meanwhile
  // and take them.
  void Feed(const Bytes& bytes, bool racing) {
    // Where the buffer ends, when it fills up, depends on when the read took its bytes.
    if (racing && count_ + bytes.size() >= kLimit) exact_ = false;
    for (UCHAR b : bytes) {
      if (!escape_ && b == STC_ESCAPE) {
        escape_ = true;
      } else if (escape_ && b != STC_ESCAPE) {
        escape_ = false;
        Event(b, racing);
      } else {
        escape_ = false;
        answer_pending_ = false;
        Append(b);
      }
    }
  }

  // After bytes raced a read: the buffer as the driver has it now, once its count was checked
  // (when known). What stands past the count depends on the moment the read took its bytes.
  void Resync(const UCHAR* buffer, ULONG count) {
    std::memcpy(buffer_, buffer, RECEIVE_BUFFER_SIZE);
    count_ = count;
    exact_ = true;
  }

  void SetWtx(bool on) { wtx_ = on; }
  ULONG count() const { return count_; }
  bool exact() const { return exact_; }
  NTSTATUS exchange_end() const { return exchange_end_; }
  bool character_error() const { return character_error_; }
  BlockEnd block_end() const { return block_end_; }
  void set_block_end(BlockEnd value) { block_end_ = value; }
  ULONG card_state() const { return card_state_; }
  const UCHAR* buffer() const { return buffer_; }

  // The statuses a read that cannot be satisfied ends with now, the link at rest.
  std::vector<NTSTATUS> Failures() const {
    if (exchange_end_ == STATUS_SUCCESS || exchange_end_ == STATUS_IO_TIMEOUT) {
      return {STATUS_IO_TIMEOUT};  // a wait that runs out, or the end already known
    }
    const NTSTATUS code = CodeStatus(buffer_[0]);
    return {code == STATUS_SUCCESS ? exchange_end_ : code};
  }

  // Takes n bytes from the front.
  void Take(ULONG n) {
    count_ -= n;
    std::memmove(buffer_, buffer_ + n, count_);
  }

 private:
  void Append(UCHAR b) {
    if (count_ + 1 < RECEIVE_BUFFER_SIZE) buffer_[count_++] = b;
  }

  void Event(UCHAR code, bool racing) {
    switch (code) {
      case STC_CARD_INSERTED:
        card_state_ = SCARD_PRESENT;
        break;
      case STC_CARD_REMOVED:
        card_state_ = SCARD_ABSENT;
        // Once the command is answered, none of the card's bytes will come for this exchange.
        if (!answer_pending_ && exchange_end_ == STATUS_SUCCESS) exchange_end_ = STATUS_IO_TIMEOUT;
        break;
      case STC_READER_ERROR:
        if (count_ < RECEIVE_BUFFER_SIZE) buffer_[count_] = STC_READER_ERROR;
        answer_pending_ = false;
        if (exchange_end_ == STATUS_SUCCESS) {
          exchange_end_ = wtx_ ? STATUS_UNSUCCESSFUL : STATUS_IO_TIMEOUT;
        }
        break;
      case STC_CHARACTER_ERROR:
        if (answer_pending_) break;  // the exchange before
        Append(0);
        character_error_ = true;
        break;
      case STC_BLOCK_END:
        if (wtx_ || answer_pending_) break;
        if (exchange_end_ == STATUS_SUCCESS) exchange_end_ = STATUS_IO_TIMEOUT;
        // With a read waiting for bytes the block's end is that read's answer only.
        if (block_end_ != BlockEnd::kCame)
          block_end_ = racing ? BlockEnd::kUnknown : BlockEnd::kCame;
        break;
      default:
        break;
    }
  }

  UCHAR buffer_[RECEIVE_BUFFER_SIZE] = {};
  ULONG count_ = 0;
  bool escape_ = false;
  bool answer_pending_ = false;
  NTSTATUS exchange_end_ = STATUS_SUCCESS;
  BlockEnd block_end_ = BlockEnd::kNotYet;
  bool character_error_ = false;
  bool wtx_ = false;
  bool exact_ = true;  // the buffer's count and bytes are known
  ULONG card_state_ = SCARD_SWALLOWED;
};

class Run {
 public:
  explicit Run(FuzzLink& link) : link_(link), reader_(link.reader()) {}

  void Operate(Input& in) {
    Command();
    while (!in.empty()) Step(in);
  }

 private:
  void Step(Input& in) {
    switch (in.Byte() % 8) {
      case 0:
        Command();
        break;
      case 1:
        Send(Chunk(in));
        break;
      case 2:
        Read(Count(in));
        break;
      case 3:
        ReadBlockEnd();
        break;
      case 4: {
        const ULONG n = Count(in);
        ReadData(n, in.Byte());
        break;
      }
      case 5: {
        const UCHAR wtx = in.Byte();
        SharedStore(link_.smartcard()->T1.Wtx, static_cast<UCHAR>(wtx & 1 ? wtx : 0));
        model_.SetWtx(wtx & 1);
        break;
      }
      case 6: {
        const ULONG n = in.Byte();
        RacingRead(n, Chunk(in));
        break;
      }
      default:
        RacingBlockEnd(Chunk(in));
        break;
    }
  }

  void Command() {
    link_.Quiet();
    Check(IFWrite(reader_, &kCommand, 1) == STATUS_SUCCESS, "the port takes the command");
    model_.Command();
    Compare();
  }

  void Send(const Bytes& bytes) {
    link_.bench().line().Send(bytes);
    model_.Feed(bytes, false);
    link_.Quiet();
    Compare();
  }

  // The link at rest agrees with the model.
  void Compare() {
    SpinLockGuard lock(&reader_->ReceiveLock);
    Check(reader_->ReceivedCount <= kLimit, "the count stays within the buffer");
    if (model_.exact()) {
      Check(reader_->ReceivedCount == model_.count(), "the count is the data that came");
      Check(std::equal(model_.buffer(), model_.buffer() + model_.count(), reader_->ReceiveBuffer),
            "the buffer holds the data that came, in order");
    }
    Check(reader_->ExchangeEnd == model_.exchange_end(), "the exchange ends as reported");
    Check(SharedLoad(reader_->CharacterErrorStatus) ==
              (model_.character_error() ? STATUS_DATA_ERROR : STATUS_SUCCESS),
          "a damaged character is told");
    if (model_.block_end() != Model::BlockEnd::kUnknown) {
      Check(SharedLoad(reader_->BlockEndStatus) ==
                (model_.block_end() == Model::BlockEnd::kCame ? STATUS_SUCCESS : STATUS_IO_TIMEOUT),
            "the end of the block is kept");
    }
    Check(reader_->ExpectedCount == NOBODY_WAITS && !reader_->BlockEndWaits,
          "nobody waits once the reads are over");
    Check(SharedLoad(link_.smartcard()->ReaderCapabilities.CurrentState) == model_.card_state(),
          "the card's state follows the reader's reports");
  }

  // A read's bytes, with room for a canary behind them.
  Bytes& Fresh(ULONG n) {
    bytes_.assign(n + kCanary, kFill);
    return bytes_;
  }
  void CheckCanary(ULONG n) {
    Check(std::all_of(bytes_.begin() + n, bytes_.end(), [](UCHAR b) { return b == kFill; }),
          "nothing is written past what was asked");
  }
  void CheckTaken(ULONG n) {
    if (model_.exact()) {
      Check(model_.count() >= n, "a read succeeds only with bytes that came");
      Check(std::equal(bytes_.begin(), bytes_.begin() + n, model_.buffer()),
            "a read gets the data that came, in order");
    }
    model_.Take(std::min(n, model_.count()));
  }
  void CheckUntouched(ULONG n) {
    Check(std::all_of(bytes_.begin(), bytes_.begin() + n, [](UCHAR b) { return b == kFill; }),
          "a failed read hands nothing up");
  }
  // The longest a read of n bytes may take: its own wait, and the generous margin of a busy
  // machine.
  static std::chrono::milliseconds Limit(ULONG n) {
    return std::chrono::milliseconds(tolvex::fuzz::kFastInterval * n + tolvex::fuzz::kFastTotal +
                                     2000);
  }

  // IFRead with the link at rest.
  void Read(ULONG n) {
    Fresh(n);
    const bool enough = model_.count() >= n;
    const std::vector<NTSTATUS> failures = model_.Failures();
    const auto start = std::chrono::steady_clock::now();
    const NTSTATUS status = IFRead(reader_, bytes_.data(), n);
    Check(std::chrono::steady_clock::now() - start < Limit(n), "a read ends within its time");
    CheckCanary(n);
    if (enough) {
      Check(status == STATUS_SUCCESS, "a read of bytes that are there succeeds");
      CheckTaken(n);
    } else {
      Check(std::find(failures.begin(), failures.end(), status) != failures.end(),
            "a read of bytes that are not there fails as the exchange ended");
      CheckUntouched(n);
    }
    Compare();
  }

  void ReadBlockEnd() {
    const NTSTATUS status = IFReadLastCWT(reader_);
    Check(status == STATUS_SUCCESS || status == STATUS_IO_TIMEOUT, "the block's end is told");
    switch (model_.block_end()) {
      case Model::BlockEnd::kCame:
        Check(status == STATUS_SUCCESS, "a block that ended has ended");
        break;
      case Model::BlockEnd::kNotYet:
        Check(status == STATUS_IO_TIMEOUT, "a block that goes on has not ended");
        break;
      case Model::BlockEnd::kUnknown:
        model_.set_block_end(status == STATUS_SUCCESS ? Model::BlockEnd::kCame
                                                      : Model::BlockEnd::kNotYet);
        break;
    }
    Compare();
  }

  void ReadData(ULONG n, UCHAR room) {
    Fresh(std::max<ULONG>(n, room));
    ULONG length = room;
    const bool enough = model_.count() >= n;
    const std::vector<NTSTATUS> failures = model_.Failures();
    const NTSTATUS status = IFReadSTCData(reader_, bytes_.data(), &length, n);
    CheckCanary(std::max<ULONG>(n, room));
    if (n == 0) {
      Check(status == STATUS_SUCCESS && length == 0, "nothing asked, nothing read");
    } else if (n > RECEIVE_BUFFER_SIZE) {
      Check(status == STATUS_BUFFER_TOO_SMALL && length == 0, "more than the buffer holds");
    } else if (!enough) {
      Check(std::find(failures.begin(), failures.end(), status) != failures.end() && length == 0,
            "a read of bytes that are not there fails as the exchange ended");
      CheckUntouched(room);
    } else if (n > room) {
      Check(status == STATUS_BUFFER_TOO_SMALL && length == 0, "more than the room");
      CheckUntouched(room);
      model_.Take(n);
    } else {
      Check(status == STATUS_SUCCESS && length == n, "the bytes that are there");
      CheckTaken(n);
    }
    Compare();
  }

  // The link's waits while bytes race a read: long enough for the worker to come to it.
  void RacingWaits(bool racing) {
    SharedStore(reader_->ReadIntervalTimeout,
                racing ? kRacingInterval : tolvex::fuzz::kFastInterval);
    SharedStore(reader_->ReadTotalTimeout, racing ? kRacingTotal : tolvex::fuzz::kFastTotal);
  }

  // After bytes raced a read: at rest, checked, and the model takes the driver's buffer.
  void Rest() {
    RacingWaits(false);
    link_.Quiet();
    Compare();
    if (model_.block_end() == Model::BlockEnd::kUnknown) {
      model_.set_block_end(SharedLoad(reader_->BlockEndStatus) == STATUS_SUCCESS
                               ? Model::BlockEnd::kCame
                               : Model::BlockEnd::kNotYet);
    }
    SpinLockGuard lock(&reader_->ReceiveLock);
    model_.Resync(reader_->ReceiveBuffer, reader_->ReceivedCount);
  }

  // IFRead while the reader's bytes come.
  void RacingRead(ULONG n, const Bytes& bytes) {
    Fresh(n);
    model_.Feed(bytes, true);
    RacingWaits(true);
    link_.bench().line().Send(bytes);
    const auto start = std::chrono::steady_clock::now();
    const NTSTATUS status = IFRead(reader_, bytes_.data(), n);
    Check(std::chrono::steady_clock::now() - start <
              std::chrono::milliseconds(kRacingInterval * n + kRacingTotal + 2000),
          "a read ends within its time");
    Check(IsReadStatus(status), "a read's status is one of the defined ones");
    CheckCanary(n);
    {
      SpinLockGuard lock(&reader_->ReceiveLock);
      Check(reader_->ReceivedCount <= kLimit, "the count stays within the buffer");
    }
    if (status == STATUS_SUCCESS) {
      CheckTaken(n);
    } else {
      CheckUntouched(n);
    }
    Rest();
  }

  void RacingBlockEnd(const Bytes& bytes) {
    model_.Feed(bytes, false);  // nobody waits for bytes: the block's end is kept
    RacingWaits(true);
    link_.bench().line().Send(bytes);
    const NTSTATUS status = IFReadLastCWT(reader_);
    Check(status == STATUS_SUCCESS || status == STATUS_IO_TIMEOUT, "the block's end is told");
    // Told it ended, it ended; told it did not, it may still end while the rest comes.
    if (status == STATUS_SUCCESS) {
      Check(model_.block_end() != Model::BlockEnd::kNotYet, "a block ends only at its report");
      model_.set_block_end(Model::BlockEnd::kCame);
    }
    Rest();
  }

  FuzzLink& link_;
  PREADER_EXTENSION reader_;
  Model model_;
  Bytes bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)tolvex::fuzz::Link();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzLink& link = tolvex::fuzz::Link();
  tolvex::platform::PlatformScope scope(link.bench().platform());
  link.Begin(nullptr);
  Input in(data, size);
  Run run(link);
  run.Operate(in);
  link.End();
  return 0;
}
