#include "sim/iso_card.h"

namespace tolvex::sim {

IsoCard::IsoCard(IsoCardConfig config, std::vector<std::unique_ptr<ProtocolEngine>> engines)
    : config_(std::move(config)),
      atr_info_(ParseAtr(config_.atr)),
      app_(config_.seed),
      engines_(std::move(engines)) {}

ProtocolEngine* IsoCard::Engine(int protocol) const {
  for (const auto& engine : engines_) {
    if (engine->protocol() == protocol) return engine.get();
  }
  return nullptr;
}

Bytes IsoCard::Reset() {
  app_.Reset();
  pts_.Reset();
  clocks_per_etu_ = 372;
  active_ = Engine(atr_info_.default_protocol());
  if (active_ != nullptr) active_->Start(atr_info_);
  phase_ = Phase::kAfterAtr;
  return config_.atr;
}

void IsoCard::PowerOff() {
  phase_ = Phase::kOff;
  active_ = nullptr;
}

int IsoCard::protocol() const {
  return powered() && active_ != nullptr ? active_->protocol() : -1;
}

void IsoCard::Receive(std::span<const std::uint8_t> bytes, CardOutput& out) {
  while (!bytes.empty()) {
    switch (phase_) {
      case Phase::kOff:
      case Phase::kMute:
        return;
      case Phase::kAfterAtr:
        phase_ = bytes.front() == kPtss ? Phase::kPts : Phase::kProtocol;
        break;
      case Phase::kPts: {
        bytes = bytes.subspan(pts_.Feed(bytes));
        if (pts_.complete()) AnswerPts(out);
        break;
      }
      case Phase::kProtocol:
        if (active_ == nullptr) return;
        active_->Receive(bytes, app_, out);
        return;
    }
  }
}

void IsoCard::AnswerPts(CardOutput& out) {
  const int protocol = pts_.protocol();
  ProtocolEngine* engine = Engine(protocol);
  const std::uint8_t ta1 = atr_info_.ta1.value_or(0x11);
  const auto pts1 = pts_.pts1();
  const bool speed_ok = !pts1 || *pts1 == 0x11 || *pts1 == ta1;
  const bool takeable = pts_.well_formed() && engine != nullptr && atr_info_.Offers(protocol) &&
                        speed_ok && ClocksPerEtu(ta1) != 0;
  const bool refuse = config_.pts == PtsPolicy::kRefuseAlways ||
                      (config_.pts == PtsPolicy::kRefuseOnce && !refused_);
  if (!takeable || (refuse && !pts1)) {
    phase_ = Phase::kMute;
    if (takeable) refused_ = true;
    return;
  }
  if (refuse) {
    refused_ = true;
    out.Say(BuildPts(protocol, std::nullopt));
    clocks_per_etu_ = 372;
  } else {
    out.Say(BuildPts(protocol, pts1));
    clocks_per_etu_ = pts1 ? ClocksPerEtu(*pts1) : 372;
  }
  out.EndTurn();
  active_ = engine;
  active_->Start(atr_info_);
  phase_ = Phase::kProtocol;
}

bool IsoCard::SetPtsPolicy(PtsPolicy policy) {
  config_.pts = policy;
  refused_ = false;
  return true;
}

bool IsoCard::RequestWtx(std::uint8_t multiplier, int count) {
  ProtocolEngine* t1 = Engine(1);
  return t1 != nullptr && t1->RequestWtx(multiplier, count);
}

bool IsoCard::RequestIfs(std::uint8_t ifsc) {
  ProtocolEngine* t1 = Engine(1);
  return t1 != nullptr && t1->RequestIfs(ifsc);
}

bool IsoCard::DamageNextBlock() {
  ProtocolEngine* t1 = Engine(1);
  return t1 != nullptr && t1->DamageNextBlock();
}

bool IsoCard::AbortNextChain() {
  ProtocolEngine* t1 = Engine(1);
  return t1 != nullptr && t1->AbortNextChain();
}

}  // namespace tolvex::sim
