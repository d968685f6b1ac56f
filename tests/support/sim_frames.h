// What the host wrote to a simulated reader, as frames on the wire, for tests to compare.
#pragma once

#include <string>
#include <vector>

#include "sim/reader_sim.h"

namespace tolvex::testutil {

using Frame = std::vector<std::uint8_t>;

// The host's frames in the simulator's transcript, in order: register writes (80 | r, value),
// register reads (C0 | r) and data (40 | n, bytes).
inline std::vector<Frame> HostFrames(const sim::ReaderSim& reader) {
  std::vector<Frame> frames;
  for (const sim::TranscriptEntry& entry : reader.transcript().entries) {
    const bool data = entry.kind == sim::EntryKind::kWriteData;
    if (entry.kind == sim::EntryKind::kReadRegister) {
      frames.push_back(Frame{static_cast<std::uint8_t>(0xC0 | entry.reg)});
    } else if (data || entry.kind == sim::EntryKind::kWriteRegister) {
      Frame frame{static_cast<std::uint8_t>(data ? 0x40 | entry.bytes.size() : 0x80 | entry.reg)};
      frame.insert(frame.end(), entry.bytes.begin(), entry.bytes.end());
      frames.push_back(frame);
    }
  }
  return frames;
}

}  // namespace tolvex::testutil
