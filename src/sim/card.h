// A card in the simulated reader: what the reader asks of it.
//
// The reader owns the card and calls it only under its own lock, so a card needs no lock of
// its own. The card sees the characters the reader passes on (one call per data frame) and
// says its characters into a CardOutput, marking where its turn ends: the point after which it
// waits for the host (after the ATR, a T=1 block, T=0 status bytes, a PTS answer). The reader
// reports the end of block there, and only there.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/bytes.h"

namespace tolvex::sim {

// What the card says after it received something: its characters in runs, each run marked
// when the card's turn ends after it.
struct CardRun {
  Bytes bytes;
  bool turn_ends = false;
};

class CardOutput {
 public:
  void Say(std::uint8_t byte);
  void Say(std::span<const std::uint8_t> bytes);
  // The card is done and waits for the host.
  void EndTurn();
  const std::vector<CardRun>& runs() const { return runs_; }
  bool empty() const { return runs_.empty(); }
  // All the characters, runs joined.
  Bytes AllBytes() const;

 private:
  std::vector<CardRun> runs_;
};

// What a card does with a PTS request it could accept.
enum class PtsPolicy {
  kAccept,        // echo it
  kRefuseOnce,    // answer without PTS1 (so with default speed) once, then accept
  kRefuseAlways,  // always answer without PTS1
};

class Card {
 public:
  virtual ~Card() = default;

  // "t0", "t1", "t1-crc", "dual", ...
  virtual std::string_view model() const = 0;
  // The reader resets the card, powering it if needed: the card's ATR.
  virtual Bytes Reset() = 0;
  virtual void PowerOff() = 0;
  virtual bool powered() const = 0;
  // Characters the reader passes on from one data frame. Nothing is said while unpowered.
  virtual void Receive(std::span<const std::uint8_t> bytes, CardOutput& out) = 0;
  // Clock cycles per ETU in force (F / D): 372 until a PTS says otherwise.
  virtual unsigned clocks_per_etu() const = 0;
  // The protocol the card speaks now: 0, 1, or -1 while unpowered.
  virtual int protocol() const = 0;

  // Behaviours a test can ask for. False: this card has no such behaviour.
  virtual bool SetPtsPolicy(PtsPolicy) { return false; }
  // T=1: before its next answer the card asks `count` times for a waiting time extension.
  virtual bool RequestWtx(std::uint8_t /*multiplier*/, int /*count*/) { return false; }
  // T=1: before its next answer the card sends its own S(IFS request).
  virtual bool RequestIfs(std::uint8_t /*ifsc*/) { return false; }
  // T=1: the next block the card receives has a parity error in it.
  virtual bool DamageNextBlock() { return false; }
  // T=1: the card aborts its next chained answer halfway with S(ABORT request).
  virtual bool AbortNextChain() { return false; }
  // The seed of the card's challenges from its next reset on; none: drawn afresh at each reset.
  virtual void SetChallengeSeed(std::optional<std::uint32_t> /*seed*/) {}
};

// A card of a named model (CardModels()), with its default settings; null for an unknown name.
std::unique_ptr<Card> MakeCard(std::string_view model);
std::span<const std::string_view> CardModels();

}  // namespace tolvex::sim
