#include "sim/t1_card.h"

#include <algorithm>
#include <chrono>
#include <deque>

#include "sim/t1_block.h"

namespace tolvex::sim {

namespace {

using t1::Block;

class T1Engine final : public ProtocolEngine {
 public:
  int protocol() const override { return 1; }

  void Start(const AtrInfo& atr) override {
    edc_ = atr.crc ? t1::Edc::kCrc : t1::Edc::kLrc;
    // The character waiting time at the default rate (372 clocks of 3.58 MHz per ETU): a card
    // that has waited that long for the rest of a block gives the block up. Never less than
    // 200 ms here, so that a host slowed down by a loaded machine does not lose its blocks.
    const auto cwt = std::chrono::microseconds(((1LL << atr.cwi) + 11) * 372 * 1000 / 3580);
    give_up_ = std::max<std::chrono::microseconds>(cwt, std::chrono::milliseconds(200));
    initial_ifsc_ = atr.ifsc == 0 || atr.ifsc == 0xFF ? 32 : atr.ifsc;
    ifsc_ = initial_ifsc_;
    ifsd_ = 32;
    ns_ = nr_ = 0;
    nad_ = 0;
    rx_.clear();
    chain_in_.clear();
    tx_.clear();
    tx_offset_ = 0;
    sending_chain_ = false;
    last_.reset();
    waiting_.reset();
  }

  void Receive(std::span<const std::uint8_t> bytes, Application& app, CardOutput& out) override {
    // The rest of a block that came too late: the card dropped the block before (a host that
    // broke off its write), and these bytes start a new one.
    const auto now = std::chrono::steady_clock::now();
    if (!rx_.empty() && now - last_byte_ > give_up_) rx_.clear();
    last_byte_ = now;
    for (std::uint8_t b : bytes) {
      rx_.push_back(b);
      if (rx_.size() < 3) continue;
      if (rx_[2] == 0xFF) {
        // No block is that long: what follows in this frame belongs to the bad block.
        rx_.clear();
        return SendR(t1::kROtherError, out);
      }
      if (rx_.size() == 3 + rx_[2] + t1::EdcSize(edc_)) {
        Bytes raw = std::move(rx_);
        rx_.clear();
        Handle(raw, app, out);
      }
    }
  }

  bool RequestWtx(std::uint8_t multiplier, int count) override {
    for (int i = 0; i < count; ++i) requests_.push_back({t1::kSWtx, multiplier});
    return true;
  }

  bool RequestIfs(std::uint8_t ifsc) override {
    requests_.push_back({t1::kSIfs, ifsc});
    return true;
  }

  bool DamageNextBlock() override {
    damage_next_ = true;
    return true;
  }

  bool AbortNextChain() override {
    abort_chain_ = true;
    return true;
  }

 private:
  struct Request {
    std::uint8_t type;
    std::uint8_t value;
  };

  void Send(const Block& block, CardOutput& out, bool keep = true) {
    const Bytes bytes = t1::Encode(block, edc_);
    out.Say(bytes);
    out.EndTurn();
    if (keep) last_ = block;
  }

  void SendR(std::uint8_t error, CardOutput& out) {
    Send(Block{nad_, t1::RPcb(nr_, error), {}}, out, error == t1::kRFine);
  }

  void Handle(std::span<const std::uint8_t> raw, Application& app, CardOutput& out) {
    std::optional<Block> block = t1::Decode(raw, edc_);
    if (damage_next_) {
      damage_next_ = false;
      block.reset();
    }
    if (!block) return SendR(t1::kREdcError, out);
    nad_ = static_cast<std::uint8_t>((block->nad & 0x07) << 4 | (block->nad >> 4 & 0x07));
    if (t1::IsI(block->pcb)) return HandleI(*block, app, out);
    if (t1::IsR(block->pcb)) return HandleR(*block, out);
    HandleS(*block, out);
  }

  void HandleI(const Block& block, Application& app, CardOutput& out) {
    const bool reserved_bits = (block.pcb & 0x1F) != 0;
    if (reserved_bits || block.inf.size() > ifsc_ || waiting_ || sending_chain_ ||
        t1::Ns(block.pcb) != nr_) {
      return SendR(t1::kROtherError, out);
    }
    nr_ ^= 1;
    // A command longer than any APDU is not kept: the card's memory is bounded, and the
    // command gets "wrong length" once its chain ends.
    if (chain_in_.size() + block.inf.size() <= kMaxCommand) {
      chain_in_.insert(chain_in_.end(), block.inf.begin(), block.inf.end());
    } else {
      overlong_ = true;
    }
    if (t1::More(block.pcb)) return SendR(t1::kRFine, out);
    const auto apdu = overlong_ ? std::nullopt : Application::Parse(chain_in_);
    chain_in_.clear();
    overlong_ = false;
    tx_ = (apdu ? app.Process(*apdu) : Response{{}, 0x6700}).ToBytes();
    tx_offset_ = 0;
    ContinueAnswer(out);
  }

  // The S-requests the card was told to make come before an answer, one per turn.
  void ContinueAnswer(CardOutput& out) {
    if (tx_offset_ == 0 && !requests_.empty()) {
      waiting_ = requests_.front();
      requests_.pop_front();
      return Send(
          Block{nad_, t1::SPcb(waiting_->type, t1::SDirection::kRequest), {waiting_->value}}, out);
    }
    if (tx_offset_ != 0 && abort_chain_) {  // halfway through a chained answer
      abort_chain_ = false;
      waiting_ = Request{t1::kSAbort, 0};
      return Send(Block{nad_, t1::SPcb(t1::kSAbort, t1::SDirection::kRequest), {}}, out);
    }
    const std::size_t n = std::min<std::size_t>(ifsd_, tx_.size() - tx_offset_);
    const bool more = tx_offset_ + n < tx_.size();
    const auto begin = tx_.begin() + static_cast<std::ptrdiff_t>(tx_offset_);
    Send(Block{nad_, t1::IPcb(ns_, more), Bytes(begin, begin + static_cast<std::ptrdiff_t>(n))},
         out);
    ns_ ^= 1;
    tx_offset_ += n;
    sending_chain_ = more;
    if (!more) tx_.clear();
  }

  void HandleR(const Block& block, CardOutput& out) {
    if ((block.pcb & 0x2C) != 0 || !block.inf.empty()) return SendR(t1::kROtherError, out);
    if (sending_chain_ && !waiting_ && t1::Nr(block.pcb) == ns_) return ContinueAnswer(out);
    if (!last_) return SendR(t1::kROtherError, out);
    Send(*last_, out);  // the host asks for the last block again
  }

  void HandleS(const Block& block, CardOutput& out) {
    const std::uint8_t type = block.pcb & 0x1F;
    const bool response = (block.pcb & t1::kSResponse) != 0;
    const bool one_byte = block.inf.size() == 1;
    if (!response) {
      switch (type) {
        case t1::kSResynch:
          if (!block.inf.empty()) break;
          // Everything back to its initial value: the sequence numbers, IFSD and IFSC alike
          // (an IFSC the card lowered with its own S(IFS request) included).
          ns_ = nr_ = 0;
          ifsd_ = 32;
          ifsc_ = initial_ifsc_;
          DropExchange();
          return Send(Block{nad_, t1::SPcb(t1::kSResynch, t1::SDirection::kResponse), {}}, out);
        case t1::kSIfs:
          if (!one_byte || block.inf[0] == 0 || block.inf[0] == 0xFF) break;
          ifsd_ = block.inf[0];
          return Send(Block{nad_, t1::SPcb(t1::kSIfs, t1::SDirection::kResponse), block.inf}, out);
        case t1::kSAbort:
          DropExchange();
          return Send(Block{nad_, t1::SPcb(t1::kSAbort, t1::SDirection::kResponse), block.inf},
                      out);
        default:
          break;
      }
      return SendR(t1::kROtherError, out);
    }
    // The host accepted the card's abort: the answer is dropped, and the card, whose turn it
    // now is, has nothing to say.
    if (waiting_ && waiting_->type == t1::kSAbort && type == t1::kSAbort && block.inf.empty()) {
      DropExchange();
      return;
    }
    if (waiting_ && waiting_->type == type && one_byte && block.inf[0] == waiting_->value) {
      if (type == t1::kSIfs) ifsc_ = waiting_->value;
      waiting_.reset();
      return ContinueAnswer(out);
    }
    SendR(t1::kROtherError, out);
  }

  void DropExchange() {
    chain_in_.clear();
    overlong_ = false;
    tx_.clear();
    tx_offset_ = 0;
    sending_chain_ = false;
    waiting_.reset();
  }

  // The longest APDU: header, a 00 and two length bytes, 65,535 bytes of data, two Le bytes.
  static constexpr std::size_t kMaxCommand = 4 + 3 + 65535 + 2;

  t1::Edc edc_ = t1::Edc::kLrc;
  std::size_t initial_ifsc_ = 32;  // TA3
  std::size_t ifsc_ = 32;          // what the card takes
  std::size_t ifsd_ = 32;          // what the host takes
  int ns_ = 0;                     // N(S) of the card's next I-block
  int nr_ = 0;                     // N(S) the card expects of the host's next I-block
  std::uint8_t nad_ = 0;  // of the card's blocks: the host's NAD with its addresses swapped
  Bytes rx_;              // the block coming in
  std::chrono::steady_clock::time_point last_byte_;  // of it
  std::chrono::microseconds give_up_{};              // the wait for its next byte
  Bytes chain_in_;                                   // the command so far
  bool overlong_ = false;                            // it outgrew kMaxCommand
  Bytes tx_;                                         // the answer going out
  std::size_t tx_offset_ = 0;
  bool sending_chain_ = false;
  std::optional<Block> last_;
  std::optional<Request> waiting_;  // the S-request the card waits to see answered
  std::deque<Request> requests_;
  bool damage_next_ = false;
  bool abort_chain_ = false;  // abort the next chained answer halfway
};

}  // namespace

Bytes T1Atr(const T1CardOptions& options) {
  Bytes atr{0x3B,         static_cast<std::uint8_t>(0x80 | (options.historical.size() & 0x0F)),
            0x81,         static_cast<std::uint8_t>(options.crc ? 0x71 : 0x31),
            options.ifsc, static_cast<std::uint8_t>(options.bwi << 4 | (options.cwi & 0x0F))};
  if (options.crc) atr.push_back(0x01);
  atr.insert(atr.end(), options.historical.begin(), options.historical.end());
  return WithTck(std::move(atr));
}

std::unique_ptr<ProtocolEngine> MakeT1Engine() {
  return std::make_unique<T1Engine>();
}

std::unique_ptr<Card> MakeT1Card(T1CardOptions options) {
  std::vector<std::unique_ptr<ProtocolEngine>> engines;
  engines.push_back(MakeT1Engine());
  Bytes atr = options.atr ? *options.atr : T1Atr(options);
  return std::make_unique<IsoCard>(
      IsoCardConfig{std::move(options.model), std::move(atr), options.pts, options.seed},
      std::move(engines));
}

}  // namespace tolvex::sim
