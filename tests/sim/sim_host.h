// The host's end of the simulator's serial line, for the simulator's own tests: what the reader
// sent, in the pieces it sent it, and the card's bytes un-escaped. No driver involved.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/faults.h"
#include "sim/reader_sim.h"

namespace tolvex::sim::testing {

inline Bytes H(std::string_view hex) {
  Bytes bytes;
  EXPECT_TRUE(ParseHex(hex, &bytes)) << hex;
  return bytes;
}

inline Bytes Joined(const std::vector<Bytes>& chunks) {
  Bytes all;
  for (const Bytes& chunk : chunks) all.insert(all.end(), chunk.begin(), chunk.end());
  return all;
}

// A script: steps separated by commas, each "DO > EXPECTED" ("DO" alone: nothing expected). DO
// is hex, or a command as the tolvex-sim console takes it ("insert t1", "damage 3", ...).
inline std::vector<std::pair<std::string, std::string>> Steps(std::string_view script) {
  std::vector<std::pair<std::string, std::string>> steps;
  for (std::size_t at = 0; at < script.size();) {
    const std::string_view step = script.substr(at, script.find(", ", at) - at);
    const std::size_t mark = step.find(" > ");
    steps.emplace_back(step.substr(0, mark),
                       mark == std::string_view::npos ? "" : step.substr(mark + 3));
    at += step.size() + 2;
  }
  return steps;
}

// A console command, carried out (ApplyFault), or false when the text is hex. "pause MS" lets
// that much time pass.
inline bool Command(ReaderSim& sim, const std::string& text) {
  if (!std::islower(static_cast<unsigned char>(text.at(0)))) return false;
  std::istringstream words(text);
  std::string name;
  words >> name;
  if (name == "pause") {
    int ms = 0;
    words >> ms;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return true;
  }
  const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
  EXPECT_EQ(ApplyFault(sim, name, args).substr(0, 2), "ok") << text;
  return true;
}

class SimHost {
 public:
  explicit SimHost(ReaderOptions options = {})
      : sim_(Line{[this](std::span<const std::uint8_t> bytes) {
                    std::lock_guard lock(mutex_);
                    chunks_.emplace_back(bytes.begin(), bytes.end());
                  },
                  nullptr},
             std::move(options)) {}

  ReaderSim& sim() { return sim_; }

  // Writes `hex` (nothing when empty) and gives, in hex, what the reader sent since last asked.
  std::string Wire(std::string_view hex = "") {
    if (!hex.empty()) sim_.HostWrote(H(hex));
    return Hex(Joined(TakeChunks()));
  }
  std::vector<Bytes> TakeChunks() {
    std::lock_guard lock(mutex_);
    return std::exchange(chunks_, {});
  }

  // Data for the card (hex) in one frame, answered 90; "reset": a reset. What the card said,
  // un-escaped, in hex, with "|" for each end-of-block report.
  std::string ToCard(const std::string& hex) {
    Bytes frame = hex == "reset" ? Bytes{0x83, 0x1D} : H(hex);
    if (hex != "reset") frame.insert(frame.begin(), static_cast<std::uint8_t>(0x40 | frame.size()));
    sim_.HostWrote(frame);
    std::vector<StreamItem> items;
    decoder_.Feed(Joined(TakeChunks()), items);
    EXPECT_EQ(items.at(0), (StreamItem{false, kAnswerOk}));
    std::string said;
    for (std::size_t i = 1; i < items.size(); ++i) {
      const bool end = items[i] == StreamItem{true, kEventBlockEnd};
      if (!said.empty()) said += ' ';
      said += end ? std::string("|") : Hex(Bytes{items[i].value});
      if (items[i].event && !end) said += "!";  // another event
    }
    return said;
  }

 private:
  std::mutex mutex_;
  std::vector<Bytes> chunks_;
  StreamDecoder decoder_;
  ReaderSim sim_;  // last: goes first
};

}  // namespace tolvex::sim::testing
