#include "sim/line_decoder.h"

#include <string>
#include <utility>

namespace tolvex::sim {

namespace {

// What the reader's escaping did to a run of bytes, said.
std::string Escapes(const Bytes& bytes, const Bytes& wire) {
  const std::size_t doubled = wire.size() - bytes.size();
  if (doubled == 0) return {};
  return doubled == 1 ? "10 sent as 10 10" : "each 10 sent as 10 10";
}

std::string Join(std::string a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + "; " + b;
}

}  // namespace

void LineDecoder::Add(std::vector<DecodedEntry>& out, EntryKind kind, std::chrono::nanoseconds at,
                      Bytes wire, std::uint8_t code, std::string note) {
  DecodedEntry decoded;
  decoded.entry.kind = kind;
  decoded.entry.code = code;
  decoded.entry.at = at;
  decoded.entry.note = std::move(note);
  decoded.wire = std::move(wire);
  out.push_back(std::move(decoded));
}

void LineDecoder::HostWrote(std::span<const std::uint8_t> chunk, std::chrono::nanoseconds at,
                            std::vector<DecodedEntry>& out) {
  if (chunk.empty()) return;
  if (!frames_.mid_frame()) frame_at_ = at;
  std::vector<HostFrame> frames;
  frames_.Feed(chunk, frames);
  for (HostFrame& frame : frames) {
    Flush(out);  // the card's bytes before the command
    // The reader answers every frame, a bad one with its error code.
    commanded_ = true;
    answer_pending_ = true;
    DecodedEntry decoded;
    decoded.entry = HostEntry(frame);
    decoded.entry.at = frame_at_;
    decoded.wire = std::move(frame.raw);
    out.push_back(std::move(decoded));
    frame_at_ = at;  // a frame after this one began in this chunk
  }
}

void LineDecoder::ReaderSent(std::span<const std::uint8_t> chunk, std::chrono::nanoseconds at,
                             std::vector<DecodedEntry>& out) {
  if (chunk.empty()) return;
  const bool split = stream_.escape_pending();
  std::vector<StreamItem> items;
  stream_.Feed(chunk, items);
  for (std::size_t i = 0; i < items.size(); ++i) {
    // An item whose escape ended the chunk before began then.
    const std::chrono::nanoseconds item_at = i == 0 && split ? escape_at_ : at;
    if (items[i].event) {
      Event(items[i].value, item_at, out);
    } else {
      Data(items[i].value, item_at, out);
    }
  }
  if (stream_.escape_pending()) escape_at_ = at;  // the chunk's last byte, or the one before
}

void LineDecoder::Data(std::uint8_t value, std::chrono::nanoseconds at,
                       std::vector<DecodedEntry>& out) {
  Bytes wire;
  AppendEscaped(wire, value);
  if (answer_pending_) {
    answer_pending_ = false;
    Flush(out);
    Add(out, EntryKind::kAnswer, at, wire, value, Escapes(Bytes{value}, wire));
    return;
  }
  const EntryKind kind = commanded_ ? EntryKind::kCardBytes : EntryKind::kNoise;
  if (!run_.empty() && (run_kind_ != kind || run_.size() >= kMaxEntryBytes)) Flush(out);
  if (run_.empty()) {
    run_kind_ = kind;
    run_at_ = at;
  }
  run_.push_back(value);
  run_wire_.insert(run_wire_.end(), wire.begin(), wire.end());
}

void LineDecoder::Event(std::uint8_t code, std::chrono::nanoseconds at,
                        std::vector<DecodedEntry>& out) {
  Flush(out);
  const Bytes wire{kEscape, code};
  std::string note;
  switch (code) {
    case kEventReaderError:
      // The reader gave up on the command: in place of its answer, it is the answer.
      if (answer_pending_) note = "in place of the answer";
      answer_pending_ = false;
      break;
    case kEventBlockEnd:
    case kEventCharacterError:
      if (answer_pending_) note = "before the answer: of the exchange before";
      break;
    case kEventCardInserted:
    case kEventCardRemoved:
      break;
    default:
      Add(out, EntryKind::kNoise, at, wire, 0, "escape with an unknown code");
      out.back().entry.bytes = wire;
      return;
  }
  Add(out, EntryKind::kEvent, at, wire, code, std::move(note));
}

void LineDecoder::Flush(std::vector<DecodedEntry>& out) {
  if (run_.empty()) return;
  std::string note = Escapes(run_, run_wire_);
  if (run_kind_ == EntryKind::kNoise) note = Join("before any command", note);
  Add(out, run_kind_, run_at_, std::move(run_wire_), 0, std::move(note));
  out.back().entry.bytes = std::move(run_);
  run_.clear();
  run_wire_.clear();
}

void LineDecoder::Finish(std::vector<DecodedEntry>& out) {
  Flush(out);
  if (stream_.escape_pending()) {
    Add(out, EntryKind::kNoise, escape_at_, Bytes{kEscape}, 0, "escape with no code after it");
    out.back().entry.bytes = Bytes{kEscape};
    stream_ = StreamDecoder{};
  }
  if (frames_.mid_frame()) {
    Add(out, EntryKind::kBadFrame, frame_at_, frames_.pending(), 0, "cut short");
    out.back().entry.bytes = frames_.pending();
    frames_.Reset();
  }
}

}  // namespace tolvex::sim
