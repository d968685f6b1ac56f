#include "host/simulated_reader.h"

#include <sstream>
#include <utility>
#include <vector>

#include "sim/bytes.h"
#include "sim/reader_sim.h"

namespace tolvex::host {

sim::ReaderOptions SimulatedReader::ReaderOptionsOf(const SimulatedReaderOptions& options) {
  sim::ReaderOptions reader;
  reader.firmware = options.firmware;
  reader.paced = options.paced;
  if (options.jitter_seed) {
    reader.jitter = sim::Jitter{.seed = *options.jitter_seed,
                                .max_gap = options.jitter_gap,
                                .block_end_max_delay = options.jitter_block_end};
  }
  if (options.challenge_seed) {
    reader.challenges = sim::ReaderOptions::Challenges::kSeed;
    reader.challenge_seed = *options.challenge_seed;
  } else if (options.fresh_challenges) {
    reader.challenges = sim::ReaderOptions::Challenges::kFresh;
  }
  if (options.trace) {
    reader.observer = [trace = options.trace](const sim::TranscriptEntry& entry) {
      trace(entry.at, entry.ToString());
    };
  }
  return reader;
}

std::string SimulatedReader::CardModelList() {
  std::string text;
  for (auto model : sim::CardModels()) text += (text.empty() ? "" : ", ") + std::string(model);
  return text;
}

namespace {

// The faults the console offers: not insert and remove, commands of its own, and not the
// data-set-ready ones on a line without that line.
bool SignalsDsr(std::string_view name) {
  return name == "dsr-drop" || name == "dsr-raise";
}

bool Offered(const sim::FaultCommand& fault, bool has_dsr) {
  const std::string_view name = fault.name;
  if (name == "insert" || name == "remove") return false;
  return has_dsr || !SignalsDsr(name);
}

std::string FaultNames(bool has_dsr) {
  std::string text;
  for (const auto& fault : sim::FaultCommands()) {
    if (!Offered(fault, has_dsr)) continue;
    if (!text.empty()) text += ", ";
    text += fault.name;
    if (!fault.args.empty()) (text += ' ') += fault.args;
  }
  return text;
}

}  // namespace

SimulatedReaderOptions::SimulatedReaderOptions()
    : firmware(sim::ReaderOptions{}.firmware),
      jitter_gap(std::chrono::duration_cast<std::chrono::microseconds>(sim::Jitter{}.max_gap)),
      jitter_block_end(std::chrono::duration_cast<std::chrono::milliseconds>(
          sim::Jitter{}.block_end_max_delay)) {}

SimulatedReader::SimulatedReader(std::function<void(std::span<const std::uint8_t>)> send,
                                 const SimulatedReaderOptions& options)
    : owned_(std::make_unique<sim::ReaderSim>(sim::Line{std::move(send), [](bool) {}},
                                              ReaderOptionsOf(options))),
      sim_(owned_.get()) {}

SimulatedReader::SimulatedReader(sim::ReaderSim& sim, bool has_dsr)
    : sim_(&sim), has_dsr_(has_dsr) {}

SimulatedReader::~SimulatedReader() = default;
SimulatedReader::SimulatedReader(SimulatedReader&&) noexcept = default;
SimulatedReader& SimulatedReader::operator=(SimulatedReader&&) noexcept = default;

void SimulatedReader::HostWrote(std::span<const std::uint8_t> bytes) {
  sim_->HostWrote(bytes);
}

bool SimulatedReader::InsertCard(const std::string& model, CardReport report) {
  return sim_->InsertCard(model, report == CardReport::kSent);
}

void SimulatedReader::RemoveCard() {
  sim_->RemoveCard();
}

void SimulatedReader::SetNextModel(std::string model) {
  next_model_ = std::move(model);
}

bool SimulatedReader::IsCardModel(const std::string& model) {
  return sim::MakeCard(model) != nullptr;
}

std::vector<std::string> SimulatedReader::CardModels() {
  const auto models = sim::CardModels();
  return {models.begin(), models.end()};
}

ConsoleReply SimulatedReader::Command(const std::string& line) {
  std::istringstream in(line);
  std::string word;
  std::vector<std::string> args;
  in >> word;
  for (std::string arg; in >> arg;) args.push_back(arg);
  if (word.empty()) return {};
  if (word == "quit") return {"ok bye", false};
  if (word == "insert") {
    const std::string model = args.empty() ? next_model_ : args[0];
    return {sim_->InsertCard(model) ? "ok inserted " + model : "error: no card model " + model};
  }
  if (word == "remove") {
    sim_->RemoveCard();
    return {"ok removed"};
  }
  if (word == "card") {
    if (args.size() != 1 || !IsCardModel(args[0]))
      return {"error: card takes one of " + CardModelList()};
    next_model_ = args[0];
    return {"ok card " + next_model_ + " for the next insert"};
  }
  if (word == "fault") {
    if (args.empty()) return {"error: fault takes a name: " + FaultNames(has_dsr_)};
    const std::string name = args[0];
    args.erase(args.begin());
    if (!has_dsr_ && SignalsDsr(name)) {
      return {"error: a pseudo-terminal has no data-set-ready line: " + name +
              " cannot be signalled"};
    }
    return {sim::ApplyFault(*sim_, name, args)};
  }
  if (word == "status") return {Status()};
  return {"error: unknown command " + word +
          " (insert [MODEL], remove, card MODEL, fault NAME [ARGS], status, quit)"};
}

std::string SimulatedReader::Status() const {
  const std::string card = sim_->card_model();
  const auto transcript = sim_->transcript();
  std::size_t frames = transcript.dropped;
  for (const auto& entry : transcript.entries) {
    if (entry.origin() == sim::Origin::kHost) ++frames;
  }
  const sim::ReaderOptions& options = sim_->options();
  return "ok card=" + (card.empty() ? std::string("none") : card) +
         " powered=" + (sim_->card_powered() ? "yes" : "no") + " next=" + next_model_ +
         " firmware=" + sim::HexByte(options.firmware) +
         " paced=" + (options.paced ? "yes" : "no") +
         " jitter=" + (options.jitter ? std::to_string(options.jitter->seed) : "no") +
         " frames=" + std::to_string(frames) + " faults=" + sim_->faults().Describe();
}

std::string SimulatedReader::ConsoleHelp() {
  std::string text =
      "\nCommands on standard input, one a line:\n"
      "  insert [MODEL]     a card goes in (one in the reader comes out first): MODEL, or\n"
      "                     the model of the last card command, at first --card's (t0 with\n"
      "                     --card none)\n"
      "  remove             the card comes out\n"
      "  card MODEL         the model for the next insert\n"
      "  fault NAME [ARGS]  a fault, one of:\n";
  for (const auto& fault : sim::FaultCommands()) {
    if (!Offered(fault, /*has_dsr=*/false)) continue;  // tolvex-sim: a pseudo-terminal
    std::string usage = "    ";
    usage += fault.name;
    if (!fault.args.empty()) (usage += ' ') += fault.args;
    text += usage + "\n        " + std::string(fault.help) + "\n";
  }
  text +=
      "  status             the card, the reader's state and the pending faults\n"
      "  quit\n";
  return text;
}

}  // namespace tolvex::host
