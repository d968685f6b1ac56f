// Faults the simulated reader can be told to produce, and their names for text commands (the
// tolvex-sim program's "fault NAME [ARGS]").
//
// Each fault applies from the moment it is set. Counted faults ("the next n resets") take -1
// for "until cleared". ReaderSim has a method for each; FaultState is what is pending.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tolvex::sim {

class ReaderSim;

// When the reader reports the end of a cut-short ATR: right behind T0, or once the card has
// been silent for a while (a real STC's character waiting time, set long).
enum class ShortAtrReport { kEarly, kLate };
inline constexpr std::chrono::milliseconds kShortAtrLateDefault{1000};

struct FaultState {
  // The next command is not carried out, and gets this byte instead of its answer...
  std::optional<std::uint8_t> negative_answer;
  // ... or no answer at all.
  bool silence_next = false;
  int damage_in = 0;         // the card byte to damage, counting from 1; 0: none
  int skip_block_end = 0;    // end-of-block reports to leave out
  int mute_resets = 0;       // resets after which the card stays mute
  int short_atr_resets = 0;  // resets after which the ATR stops after T0
  ShortAtrReport short_atr_report = ShortAtrReport::kEarly;
  std::chrono::milliseconds short_atr_late = kShortAtrLateDefault;  // T0 to a late report
  std::optional<std::uint8_t> short_atr_t0;  // sent instead of the card's own T0
  int bad_ts_resets = 0;                     // resets after which the ATR starts with bad_ts
  std::uint8_t bad_ts = 0x12;
  bool reader_error_next = false;  // the card's next answer: 10 84 instead
  int noise_left = 0;              // stray bytes still to put on the line
  std::uint32_t noise_state = 0;

  bool any() const;
  // "none", or the pending faults by name: "negative=0x81 damage-in=3 ...".
  std::string Describe() const;
};

// Uses up one of a counted fault: true if it applies now.
bool TakeOne(int& count);

struct FaultCommand {
  std::string_view name;
  std::string_view args;
  std::string_view help;
};
// The names ApplyFault takes, with their arguments.
std::span<const FaultCommand> FaultCommands();

// Carries out "NAME ARGS...": "ok ..." or "error: ...". Byte values are hex ("81", "0x81"),
// counts decimal or "always".
std::string ApplyFault(ReaderSim& reader, std::string_view name, std::span<const std::string> args);

}  // namespace tolvex::sim
