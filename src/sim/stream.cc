#include "sim/stream.h"

namespace tolvex::sim {

std::string EventName(std::uint8_t code) {
  switch (code) {
    case kEventBlockEnd:
      return "end of block";
    case kEventReaderError:
      return "reader error";
    case kEventCardInserted:
      return "card inserted";
    case kEventCardRemoved:
      return "card removed";
    case kEventCharacterError:
      return "damaged character";
    default:
      return "event " + Hex(std::span(&code, 1));
  }
}

void AppendEscaped(Bytes& out, std::uint8_t byte) {
  if (byte == kEscape) out.push_back(kEscape);
  out.push_back(byte);
}

void AppendEscaped(Bytes& out, std::span<const std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) AppendEscaped(out, b);
}

void AppendEvent(Bytes& out, std::uint8_t code) {
  out.push_back(kEscape);
  out.push_back(code);
}

void StreamDecoder::Feed(std::span<const std::uint8_t> chunk, std::vector<StreamItem>& out) {
  for (std::uint8_t b : chunk) {
    if (escape_pending_) {
      escape_pending_ = false;
      out.push_back(StreamItem{b != kEscape, b});
    } else if (b == kEscape) {
      escape_pending_ = true;
    } else {
      out.push_back(StreamItem{false, b});
    }
  }
}

int RegisterWidth(std::uint8_t reg) {
  switch (reg) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 7:
    case 8:
      return 1;
    case 5:
    case 6:
      return 3;
    default:
      return 0;
  }
}

std::size_t FrameParser::Missing() const {
  const std::uint8_t first = pending_.front();
  const std::uint8_t low = first & 0x3F;
  switch (first & 0xC0) {
    case 0x80:
      return 1 + RegisterWidth(low) - pending_.size();
    case 0x40:
      return 1 + low - pending_.size();
    default:
      return 0;
  }
}

void FrameParser::Feed(std::span<const std::uint8_t> chunk, std::vector<HostFrame>& frames) {
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    const std::uint8_t b = chunk[i];
    if (pending_.empty()) {
      const std::uint8_t command = b & 0xC0, low = b & 0x3F;
      const bool valid = (command == 0x80 && RegisterWidth(low) != 0) || command == 0xC0 ||
                         (command == 0x40 && low <= kMaxDataFrame);
      if (!valid) {
        HostFrame bad;
        bad.raw.assign(chunk.begin() + static_cast<std::ptrdiff_t>(i), chunk.end());
        bad.end_offset = chunk.size() - 1;
        frames.push_back(std::move(bad));
        return;
      }
    }
    pending_.push_back(b);
    if (Missing() != 0) continue;

    HostFrame frame;
    const std::uint8_t first = pending_.front();
    frame.reg = first & 0x3F;
    switch (first & 0xC0) {
      case 0x80:
        frame.kind = FrameKind::kWriteRegister;
        break;
      case 0xC0:
        frame.kind = FrameKind::kReadRegister;
        break;
      default:
        frame.kind = FrameKind::kWriteData;
        frame.reg = 0;
        break;
    }
    frame.payload.assign(pending_.begin() + 1, pending_.end());
    frame.raw = std::move(pending_);
    frame.end_offset = i;
    pending_.clear();
    frames.push_back(std::move(frame));
  }
}

}  // namespace tolvex::sim
