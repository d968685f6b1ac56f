#include "sim/card.h"

#include "sim/dual_card.h"
#include "sim/t0_card.h"
#include "sim/t1_card.h"

namespace tolvex::sim {

void CardOutput::Say(std::uint8_t byte) {
  if (runs_.empty() || runs_.back().turn_ends) runs_.emplace_back();
  runs_.back().bytes.push_back(byte);
}

void CardOutput::Say(std::span<const std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) Say(b);
}

void CardOutput::EndTurn() {
  if (!runs_.empty() && !runs_.back().turn_ends) runs_.back().turn_ends = true;
}

Bytes CardOutput::AllBytes() const {
  Bytes all;
  for (const auto& run : runs_) all.insert(all.end(), run.bytes.begin(), run.bytes.end());
  return all;
}

namespace {
constexpr std::string_view kModels[] = {"t0", "t0-null", "t0-bytewise", "t1", "t1-crc", "dual"};
}  // namespace

std::span<const std::string_view> CardModels() {
  return kModels;
}

std::unique_ptr<Card> MakeCard(std::string_view model) {
  if (model == "t0") return MakeT0Card();
  if (model == "t0-null") {
    return MakeT0Card(T0CardOptions{.t0 = {.nulls = 2}, .model = "t0-null"});
  }
  if (model == "t0-bytewise") {
    return MakeT0Card(T0CardOptions{.t0 = {.bytewise = -1}, .model = "t0-bytewise"});
  }
  if (model == "t1") return MakeT1Card();
  if (model == "t1-crc") return MakeT1Card(T1CardOptions{.crc = true, .model = "t1-crc"});
  if (model == "dual") return MakeDualCard();
  return nullptr;
}

}  // namespace tolvex::sim
