#include "sim/transcript.h"

#include <algorithm>

#include "sim/stream.h"

namespace tolvex::sim {

Origin TranscriptEntry::origin() const {
  switch (kind) {
    case EntryKind::kWriteRegister:
    case EntryKind::kReadRegister:
    case EntryKind::kWriteData:
    case EntryKind::kBadFrame:
      return Origin::kHost;
    case EntryKind::kCardBytes:
      return Origin::kCard;
    default:
      return Origin::kReader;
  }
}

std::string TranscriptEntry::ToString() const {
  std::string text;
  const std::string r = std::to_string(reg);
  switch (kind) {
    case EntryKind::kWriteRegister:
      text = "host: write register " + r + " = " + Hex(bytes);
      break;
    case EntryKind::kReadRegister:
      text = "host: read register " + r;
      break;
    case EntryKind::kWriteData:
      text = "host: data " + (bytes.empty() ? std::string("(none)") : Hex(bytes));
      break;
    case EntryKind::kBadFrame:
      text = "host: bad frame " + Hex(bytes);
      break;
    case EntryKind::kAnswer:
      text = "reader: answer " + Hex(std::span(&code, 1));
      break;
    case EntryKind::kEvent:
      text = "reader: event " + EventName(code);
      break;
    case EntryKind::kEventWithdrawn:
      text = "reader: event " + EventName(code) + " withdrawn, the host spoke first";
      break;
    case EntryKind::kDamagedCharacter:
      text = "reader: damaged character (card byte " + Hex(std::span(&code, 1)) + ")";
      break;
    case EntryKind::kNoise:
      text = "reader: noise " + Hex(bytes);
      break;
    case EntryKind::kDsr:
      text = std::string("reader: data set ready ") + (on ? "raised" : "dropped");
      break;
    case EntryKind::kCardBytes:
      text = "card: " + (bytes.empty() ? std::string("(nothing)") : Hex(bytes));
      break;
  }
  if (!note.empty()) text += " (" + note + ")";
  return text;
}

std::size_t Transcript::Count(EntryKind kind) const {
  return static_cast<std::size_t>(std::count_if(
      entries.begin(), entries.end(), [kind](const TranscriptEntry& e) { return e.kind == kind; }));
}

std::vector<TranscriptEntry> Transcript::Of(EntryKind kind) const {
  std::vector<TranscriptEntry> of;
  std::copy_if(entries.begin(), entries.end(), std::back_inserter(of),
               [kind](const TranscriptEntry& e) { return e.kind == kind; });
  return of;
}

std::string Transcript::ToString() const {
  std::string text;
  for (const auto& entry : entries) text += entry.ToString() + "\n";
  return text;
}

TranscriptEntry HostEntry(const HostFrame& frame) {
  TranscriptEntry entry;
  entry.reg = frame.reg;
  entry.bytes = frame.payload;
  switch (frame.kind) {
    case FrameKind::kWriteRegister:
      entry.kind = EntryKind::kWriteRegister;
      break;
    case FrameKind::kReadRegister:
      entry.kind = EntryKind::kReadRegister;
      break;
    case FrameKind::kWriteData:
      entry.kind = EntryKind::kWriteData;
      break;
    case FrameKind::kBad:
      entry.kind = EntryKind::kBadFrame;
      entry.bytes = frame.raw;
      break;
  }
  return entry;
}

}  // namespace tolvex::sim
