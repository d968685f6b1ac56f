// What the host wrote to a simulated reader, as frames on the wire, for tests to compare.
#pragma once

#include <string>
#include <vector>

#include "sim/reader_sim.h"

namespace tolvex::testutil {

using Frame = std::vector<std::uint8_t>;

// The host's frames in the simulator's transcript, in order.
inline std::vector<Frame> HostFrames(const sim::ReaderSim& reader) {
  std::vector<Frame> frames;
  for (const sim::TranscriptEntry& entry : reader.transcript().entries) {
    switch (entry.kind) {
      case sim::EntryKind::kWriteRegister: {
        Frame frame{static_cast<std::uint8_t>(0x80 | entry.reg)};
        frame.insert(frame.end(), entry.bytes.begin(), entry.bytes.end());
        frames.push_back(frame);
        break;
      }
      case sim::EntryKind::kReadRegister:
        frames.push_back(Frame{static_cast<std::uint8_t>(0xC0 | entry.reg)});
        break;
      case sim::EntryKind::kWriteData: {
        Frame frame{static_cast<std::uint8_t>(0x40 | entry.bytes.size())};
        frame.insert(frame.end(), entry.bytes.begin(), entry.bytes.end());
        frames.push_back(frame);
        break;
      }
      default:
        break;
    }
  }
  return frames;
}

}  // namespace tolvex::testutil
