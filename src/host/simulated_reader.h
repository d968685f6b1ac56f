// SimulatedReader: the simulated reader and its card (src/sim) as the tools use it, without
// the simulator's own headers.
//
// Three ways to have one: Host::AddSimulatedReader gives the simulator on one of the host's
// ports (the tolvex command's built-in reader); PtySimulator::reader the one on a
// pseudo-terminal's master (tolvex-sim); the stand-alone constructor puts one on the far end
// of any byte channel, fed with HostWrote. Command runs
// the console's text commands (insert, remove, card, fault, status, quit), ConsoleHelp
// describes them with the faults and their arguments.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tolvex::sim {
class ReaderSim;
struct ReaderOptions;
}  // namespace tolvex::sim

namespace tolvex::host {

// Whether the reader tells the host that the card went in or out.
enum class CardReport { kSent, kNotSent };

struct SimulatedReaderOptions {
  SimulatedReaderOptions();  // the simulator's defaults
  std::uint8_t firmware;
  // Bytes go out when the wires would have carried them; otherwise at once.
  bool paced = false;
  // Bytes go out at random moments drawn from this seed (not with `paced`): gaps between bytes
  // up to jitter_gap, end-of-block reports held back up to jitter_block_end.
  std::optional<std::uint64_t> jitter_seed;
  std::chrono::microseconds jitter_gap;
  std::chrono::milliseconds jitter_block_end;
  // The cards' challenges (GET CHALLENGE): from this seed after every reset; else, with
  // fresh_challenges, drawn anew at each reset; else from each card model's own seed.
  std::optional<std::uint32_t> challenge_seed;
  bool fresh_challenges = false;
  // Sees every transcript entry (a frame decoded, an event sent, ...) in words, with its time
  // since the start; it must not call the reader.
  std::function<void(std::chrono::nanoseconds at, const std::string& entry)> trace;
};

// What a console command answered ("ok ..." or "error: ..."), and whether to read on.
struct ConsoleReply {
  std::string line;  // empty for an empty command
  bool go_on = true;
};

class SimulatedReader {
 public:
  // A reader on its own, sending its bytes for the host with `send`; the console's models and
  // faults are those of a line without data-set-ready (a pseudo-terminal).
  SimulatedReader(std::function<void(std::span<const std::uint8_t>)> send,
                  const SimulatedReaderOptions& options);
  ~SimulatedReader();
  SimulatedReader(SimulatedReader&&) noexcept;
  SimulatedReader& operator=(SimulatedReader&&) noexcept;

  // Bytes the host wrote.
  void HostWrote(std::span<const std::uint8_t> bytes);
  // A card of a named model goes in; false for an unknown model.
  bool InsertCard(const std::string& model, CardReport report = CardReport::kSent);
  void RemoveCard();

  // One console command line.
  ConsoleReply Command(const std::string& line);
  // The model "insert" takes without one (t0 at first).
  void SetNextModel(std::string model);

  static bool IsCardModel(const std::string& model);
  // The card models there are (t0, t1, dual, ...), for a command line's choices.
  static std::vector<std::string> CardModels();
  // The same, as words: "t0, t1, dual, ...".
  static std::string CardModelList();
  // The console's commands and the faults with their arguments, for --help.
  static std::string ConsoleHelp();

 private:
  friend class Host;
  friend class PtySimulator;
  // A simulator someone else owns, on a line with a data-set-ready line or without one.
  SimulatedReader(sim::ReaderSim& sim, bool has_dsr);
  static sim::ReaderOptions ReaderOptionsOf(const SimulatedReaderOptions& options);
  std::string Status() const;

  std::unique_ptr<sim::ReaderSim> owned_;
  sim::ReaderSim* sim_;
  bool has_dsr_ = false;
  std::string next_model_ = "t0";
};

}  // namespace tolvex::host
