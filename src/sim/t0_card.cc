#include "sim/t0_card.h"

#include <algorithm>

namespace tolvex::sim {

namespace {

constexpr std::uint8_t kNull = 0x60;

class T0Engine final : public ProtocolEngine {
 public:
  explicit T0Engine(T0Options options) : options_(options) {}

  int protocol() const override { return 0; }

  void Start(const AtrInfo&) override {
    header_.clear();
    incoming_.clear();
    expected_ = 0;
    pending_.clear();
  }

  void Receive(std::span<const std::uint8_t> bytes, Application& app, CardOutput& out) override {
    for (std::uint8_t b : bytes) {
      if (expected_ > 0) {
        incoming_.push_back(b);
        if (incoming_.size() == expected_) {
          FinishIncoming(app, out);
        } else {
          SayProcedure(incoming_.size(), out);
        }
        continue;
      }
      header_.push_back(b);
      if (header_.size() == 5) Header(app, out);
    }
  }

 private:
  bool OneAtATime(std::size_t index) const {
    return options_.bytewise < 0 || index < static_cast<std::size_t>(options_.bytewise);
  }

  void Nulls(CardOutput& out) const {
    for (int i = 0; i < options_.nulls; ++i) out.Say(kNull);
  }

  void Status(std::uint16_t sw, CardOutput& out) const {
    out.Say(static_cast<std::uint8_t>(sw >> 8));
    out.Say(static_cast<std::uint8_t>(sw));
    out.EndTurn();
  }

  // The procedure byte before incoming data byte `index`: ACK once the rest may come at once.
  // Nothing while the rest is already on its way after an ACK.
  void SayProcedure(std::size_t index, CardOutput& out) const {
    const std::uint8_t ins = header_[1];
    if (OneAtATime(index)) {
      out.Say(static_cast<std::uint8_t>(~ins));
    } else if (index == 0 || OneAtATime(index - 1)) {
      out.Say(ins);
    }
  }

  void Header(Application& app, CardOutput& out) {
    const std::uint8_t cla = header_[0], ins = header_[1], p3 = header_[4];
    const bool bad_ins = (ins & 0xF0) == 0x60 || (ins & 0xF0) == 0x90;
    const Direction direction =
        bad_ins ? Direction::kUnknownInstruction : app.DirectionOf(cla, ins);
    switch (direction) {
      case Direction::kUnknownClass:
        header_.clear();
        return Status(0x6E00, out);
      case Direction::kUnknownInstruction:
        header_.clear();
        return Status(0x6D00, out);
      case Direction::kIn:
        if (p3 == 0) return FinishIncoming(app, out);
        expected_ = p3;
        Nulls(out);
        SayProcedure(0, out);
        return;
      case Direction::kOut:
        return Outgoing(app, out);
    }
  }

  void FinishIncoming(Application& app, CardOutput& out) {
    Apdu apdu{header_[0], header_[1], header_[2], header_[3], std::move(incoming_), 256};
    header_.clear();
    incoming_.clear();
    const bool had_data = expected_ > 0;
    expected_ = 0;
    Response response = app.Process(apdu);
    if (had_data) Nulls(out);
    if (response.sw == 0x9000 && !response.data.empty()) {
      pending_ = std::move(response.data);
      return Status(static_cast<std::uint16_t>(0x6100 | (pending_.size() & 0xFF)), out);
    }
    Status(response.sw, out);
  }

  void Outgoing(Application& app, CardOutput& out) {
    const int le = header_[4] == 0 ? 256 : header_[4];
    Apdu apdu{header_[0], header_[1], header_[2], header_[3], {}, le};
    header_.clear();
    Response response;
    if (apdu.cla == 0x00 && apdu.ins == Application::kInsGetResponse) {
      if (pending_.empty()) {
        response.sw = 0x6985;
      } else {
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(le), pending_.size());
        response.data.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
        if (n == pending_.size() && n < static_cast<std::size_t>(le)) {
          // Le too long: the card says how much it has, and keeps it.
          return Status(static_cast<std::uint16_t>(0x6C00 | (n & 0xFF)), out);
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
        if (!pending_.empty()) {
          response.sw = static_cast<std::uint16_t>(0x6100 | (pending_.size() & 0xFF));
        }
      }
    } else {
      pending_.clear();
      response = app.Process(apdu);
    }
    if (response.data.empty()) return Status(response.sw, out);
    if (response.data.size() != static_cast<std::size_t>(le)) {
      return Status(static_cast<std::uint16_t>(0x6C00 | (response.data.size() & 0xFF)), out);
    }
    Nulls(out);
    for (std::size_t i = 0; i < response.data.size(); ++i) {
      if (OneAtATime(i)) {
        out.Say(static_cast<std::uint8_t>(~apdu.ins));
      } else if (i == 0 || OneAtATime(i - 1)) {
        out.Say(apdu.ins);
      }
      out.Say(response.data[i]);
    }
    Status(response.sw, out);
  }

  const T0Options options_;
  Bytes header_;
  Bytes incoming_;
  std::size_t expected_ = 0;  // data bytes of the command under way; 0: a header comes next
  Bytes pending_;             // response data for GET RESPONSE
};

}  // namespace

std::unique_ptr<ProtocolEngine> MakeT0Engine(T0Options options) {
  return std::make_unique<T0Engine>(options);
}

std::unique_ptr<Card> MakeT0Card(T0CardOptions options) {
  std::vector<std::unique_ptr<ProtocolEngine>> engines;
  engines.push_back(MakeT0Engine(options.t0));
  return std::make_unique<IsoCard>(
      IsoCardConfig{std::move(options.model), std::move(options.atr), options.pts, options.seed},
      std::move(engines));
}

}  // namespace tolvex::sim
