// The card all models share: power, the ATR, the PTS window after it, and a protocol engine
// per protocol the card speaks. The models (t0_card.h, t1_card.h, dual_card.h) are this card
// with their ATR and engines.
//
// After a reset the card sends its ATR and speaks its default protocol (the first its ATR
// offers). A PTS request may come first: FF as the first byte after the ATR. The card echoes
// a well-formed request for a protocol it speaks, with PTS1 equal to TA1 or to the default
// 11 (PTS2 and PTS3 are not taken up: the answer leaves them out), and from then on speaks
// that protocol at that speed. Its policy may have it refuse instead: it answers without
// PTS1, so with the default speed. A request it cannot take (PCK wrong, a protocol it does
// not speak, another speed, or a refusal with no PTS1 to leave out) gets no answer, and the
// card is mute until the next reset.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/application.h"
#include "sim/atr.h"
#include "sim/card.h"
#include "sim/pts.h"

namespace tolvex::sim {

// One transmission protocol on the card's side.
class ProtocolEngine {
 public:
  virtual ~ProtocolEngine() = default;
  virtual int protocol() const = 0;
  // Fresh state after a reset or a PTS; `atr` is what the card's ATR announced.
  virtual void Start(const AtrInfo& atr) = 0;
  virtual void Receive(std::span<const std::uint8_t> bytes, Application& app, CardOutput& out) = 0;
  virtual bool RequestWtx(std::uint8_t, int) { return false; }
  virtual bool RequestIfs(std::uint8_t) { return false; }
  virtual bool DamageNextBlock() { return false; }
  virtual bool AbortNextChain() { return false; }
};

struct IsoCardConfig {
  std::string model;
  Bytes atr;
  PtsPolicy pts = PtsPolicy::kAccept;
  std::uint32_t seed = 0x5EED;  // of the challenge generator
};

class IsoCard final : public Card {
 public:
  IsoCard(IsoCardConfig config, std::vector<std::unique_ptr<ProtocolEngine>> engines);

  std::string_view model() const override { return config_.model; }
  Bytes Reset() override;
  void PowerOff() override;
  bool powered() const override { return phase_ != Phase::kOff; }
  void Receive(std::span<const std::uint8_t> bytes, CardOutput& out) override;
  unsigned clocks_per_etu() const override { return clocks_per_etu_; }
  int protocol() const override;

  bool SetPtsPolicy(PtsPolicy policy) override;
  bool RequestWtx(std::uint8_t multiplier, int count) override;
  bool RequestIfs(std::uint8_t ifsc) override;
  bool DamageNextBlock() override;
  bool AbortNextChain() override;
  void SetChallengeSeed(std::optional<std::uint32_t> seed) override { app_.SetSeed(seed); }

  const AtrInfo& atr_info() const { return atr_info_; }

 private:
  enum class Phase { kOff, kAfterAtr, kPts, kProtocol, kMute };
  ProtocolEngine* Engine(int protocol) const;
  void AnswerPts(CardOutput& out);

  IsoCardConfig config_;
  AtrInfo atr_info_;
  Application app_;
  std::vector<std::unique_ptr<ProtocolEngine>> engines_;
  ProtocolEngine* active_ = nullptr;
  Phase phase_ = Phase::kOff;
  PtsCollector pts_;
  unsigned clocks_per_etu_ = 372;
  bool refused_ = false;
};

}  // namespace tolvex::sim
