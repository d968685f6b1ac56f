#include "bench/wire_model.h"

#include <algorithm>
#include <optional>

#include "sim/stream.h"
#include "sim/t1_block.h"

namespace tolvex::bench {

Phases& Phases::operator+=(const Phases& other) {
  frames += other.frames;
  card_in += other.card_in;
  turnaround += other.turnaround;
  reply += other.reply;
  block_end += other.block_end;
  host += other.host;
  return *this;
}

WireTime WireClock::time() const {
  WireTime time = time_;
  time.total = split_.at();
  time.phases = split_.phases();
  return time;
}

void WireClock::Frame(std::size_t bytes) {
  const Nanos start = std::max(split_.at(), out_free_);
  frame_in_ = start + wires_.timing.SerialBytes(bytes);
  out_free_ = frame_in_;
  time_.host_to_reader += bytes;
  // The reader's answer, behind whatever it still has to send.
  in_free_ = std::max(frame_in_, in_free_) + wires_.timing.SerialBytes(1);
  time_.reader_to_host += 1;
  split_.Advance(&Phases::frames, in_free_);
}

void WireClock::Register(std::size_t value_bytes) {
  Frame(1 + value_bytes);
}

void WireClock::Reset(std::span<const std::uint8_t> atr) {
  Register(1);
  wires_.card.clocks_per_etu = 372;
  card_free_ = frame_in_ + wires_.timing.Clocks(wires_.atr_delay_clocks);
  split_.Advance(&Phases::turnaround, card_free_);
  Relay(atr, card_free_);
}

void WireClock::ToCard(std::span<const std::uint8_t> data) {
  std::size_t offset = 0;
  do {  // at least one frame, also for no data
    const std::size_t n = std::min(data.size() - offset, sim::kMaxDataFrame);
    Frame(1 + n);
    const Nanos start = std::max(frame_in_, card_free_);
    const Nanos each = wires_.timing.CharacterToCard(wires_.card.guard, wires_.card.clocks_per_etu);
    card_free_ = start + each * static_cast<std::int64_t>(n);
    time_.to_card += n;
    offset += n;
  } while (offset < data.size());
}

void WireClock::FromCard(std::span<const std::uint8_t> bytes) {
  split_.Advance(&Phases::card_in, card_free_);
  const Nanos start = card_free_ + Etus(wires_.timing.card_turnaround_etu);
  split_.Advance(&Phases::turnaround, start);
  Relay(bytes, start);
}

void WireClock::Relay(std::span<const std::uint8_t> bytes, Nanos first_start) {
  Nanos t = first_start;
  const Nanos each = wires_.timing.CharacterFromCard(wires_.card.clocks_per_etu);
  for (std::uint8_t b : bytes) {
    t += each;  // the character is in the reader, which sends it on at once
    const std::size_t relayed = b == sim::kEscape ? 2 : 1;
    in_free_ = std::max(t, in_free_) + wires_.timing.SerialBytes(relayed);
    time_.reader_to_host += relayed;
  }
  time_.from_card += bytes.size();
  card_free_ = t;
  split_.Advance(&Phases::reply, in_free_);
}

void WireClock::BlockEnd() {
  const Nanos ready = card_free_ + Etus(wires_.card.cwt_etu);
  in_free_ = std::max(ready, in_free_) + wires_.timing.SerialBytes(2);
  time_.reader_to_host += 2;
  split_.Advance(&Phases::block_end, in_free_);
}

namespace {

Bytes Slice(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t n) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + n));
}

void T0(WireClock& clock, const Apdu& apdu) {
  const Bytes& command = apdu.command;
  Bytes header = Slice(command, 0, std::min<std::size_t>(command.size(), 5));
  header.resize(5, 0x00);  // case 1: P3 = 0
  const std::size_t lc = command.size() > 5 ? command[4] : 0;
  const std::uint8_t ack = header[1];
  clock.ToCard(header);
  if (lc > 0) {
    const Bytes ack_byte{ack};
    clock.FromCard(ack_byte);
    clock.ToCard(Slice(command, 5, std::min(lc, command.size() - 5)));
    clock.FromCard(apdu.response);
  } else if (apdu.response.size() > 2) {
    Bytes out{ack};
    out.insert(out.end(), apdu.response.begin(), apdu.response.end());
    clock.FromCard(out);
  } else {
    clock.FromCard(apdu.response);
  }
}

WireTime T1(WireClock& clock, const CardWire& card, const Apdu& apdu) {
  namespace t1 = sim::t1;
  const t1::Edc edc = card.edc_size == 2 ? t1::Edc::kCrc : t1::Edc::kLrc;
  int host_ns = apdu.host_ns, card_ns = apdu.card_ns;
  int host_blocks = 0, card_blocks = 0;
  auto exchange = [&](const t1::Block& host, const t1::Block& answer) {
    clock.ToCard(t1::Encode(host, edc));
    clock.FromCard(t1::Encode(answer, edc));
    clock.BlockEnd();
  };
  if (apdu.announce_ifsd) {
    const Bytes ifsd{static_cast<std::uint8_t>(card.ifsd)};
    exchange({0, t1::SPcb(t1::kSIfs, t1::SDirection::kRequest), ifsd},
             {0, t1::SPcb(t1::kSIfs, t1::SDirection::kResponse), ifsd});
  }
  // The command, chained; the card acknowledges every block but the last with R(N(R)).
  const std::span<const std::uint8_t> command = apdu.command;
  std::size_t sent = 0;
  for (;;) {
    const std::size_t n = std::min(card.ifsc, command.size() - sent);
    const bool more = sent + n < command.size();
    const t1::Block block{0, t1::IPcb(host_ns, more), Slice(command, sent, n)};
    host_ns ^= 1;
    ++host_blocks;
    sent += n;
    if (!more) {
      clock.ToCard(t1::Encode(block, edc));
      break;
    }
    exchange(block, {0, t1::RPcb(host_ns, t1::kRFine), {}});
  }
  // The response, chained; the host acknowledges every block but the last.
  const std::span<const std::uint8_t> response = apdu.response;
  std::size_t received = 0;
  for (;;) {
    const std::size_t n = std::min(card.ifsd, response.size() - received);
    const bool more = received + n < response.size();
    clock.FromCard(t1::Encode({0, t1::IPcb(card_ns, more), Slice(response, received, n)}, edc));
    clock.BlockEnd();
    card_ns ^= 1;
    ++card_blocks;
    received += n;
    if (!more) break;
    clock.ToCard(t1::Encode({0, t1::RPcb(card_ns, t1::kRFine), {}}, edc));
  }
  WireTime time = clock.time();
  time.host_i_blocks = host_blocks;
  time.card_i_blocks = card_blocks;
  return time;
}

void ProgramTiming(WireClock& clock) {
  clock.Register(1);  // guard time
  clock.Register(3);  // character waiting time
  clock.Register(3);  // block waiting time
}

}  // namespace

WireTime ApduTime(const Wires& wires, const Apdu& apdu) {
  WireClock clock(wires);
  if (wires.card.protocol == 1) return T1(clock, wires.card, apdu);
  T0(clock, apdu);
  return clock.time();
}

WireTime ColdResetTime(const Wires& wires, std::span<const std::uint8_t> atr,
                       std::span<const std::uint8_t> pts, unsigned clocks_after) {
  WireClock clock(wires);
  clock.Register(1);  // power off
  clock.Reset(atr);
  ProgramTiming(clock);
  clock.ToCard(pts);
  clock.FromCard(pts);  // the card's echo
  clock.SetClocksPerEtu(clocks_after);
  ProgramTiming(clock);
  return clock.time();
}

Achieved TranscriptPhases(const sim::Transcript& transcript, const Wires& wires, Nanos wall) {
  constexpr Nanos kMatch = std::chrono::microseconds(1);
  const sim::LineTiming& timing = wires.timing;
  const unsigned cpe = wires.card.clocks_per_etu;
  Achieved achieved;
  std::optional<PhaseSplit> split;
  Nanos first_start{}, card_free{}, line_free{}, card_in_end{};
  bool turn_pending = false;  // the card took data and has not answered yet
  for (const sim::TranscriptEntry& entry : transcript.entries) {
    switch (entry.kind) {
      case sim::EntryKind::kWriteRegister:
      case sim::EntryKind::kReadRegister:
      case sim::EntryKind::kWriteData: {
        const Nanos start = entry.at - timing.SerialBytes(1 + entry.bytes.size());
        if (!split) {
          split.emplace(start);
          first_start = start;
        }
        ++achieved.frames;
        achieved.gaps += std::max(Nanos(0), start - split->at());
        // While the card still takes the characters of an earlier frame, the host's time
        // before this one is hidden behind it: it adds nothing to the APDU's time.
        if (turn_pending) split->Advance(&Phases::card_in, std::min(card_in_end, start));
        split->Advance(&Phases::host, start);
        if (entry.kind == sim::EntryKind::kWriteData && !entry.bytes.empty()) {
          const Nanos each = timing.CharacterToCard(wires.card.guard, cpe);
          card_in_end =
              std::max(entry.at, card_free) + each * static_cast<std::int64_t>(entry.bytes.size());
          card_free = card_in_end;
          turn_pending = true;
        }
        break;
      }
      case sim::EntryKind::kAnswer:
        if (!split) break;
        split->Advance(&Phases::frames, entry.at);
        line_free = std::max(line_free, entry.at);
        break;
      case sim::EntryKind::kCardBytes: {
        if (!split) break;
        Nanos t = card_free;
        if (turn_pending) {
          split->Advance(&Phases::card_in, card_in_end);
          t = card_in_end + timing.Etus(timing.card_turnaround_etu, cpe);
          split->Advance(&Phases::turnaround, t);
          turn_pending = false;
        }
        bool first = true;
        for (std::uint8_t b : entry.bytes) {
          t += timing.CharacterFromCard(cpe);
          line_free = std::max(t, line_free) + timing.SerialBytes(b == sim::kEscape ? 2 : 1);
          // A microsecond: far below any character's time, above the hand figures' rounding.
          if (first && (line_free - entry.at > kMatch || entry.at - line_free > kMatch)) {
            achieved.matched = false;
          }
          first = false;
        }
        card_free = t;
        split->Advance(&Phases::reply, line_free);
        break;
      }
      case sim::EntryKind::kEvent:
        if (!split || entry.code != sim::kEventBlockEnd) break;
        split->Advance(&Phases::block_end, entry.at);
        line_free = std::max(line_free, entry.at);
        break;
      default:
        break;
    }
  }
  if (!split) {
    achieved.phases.host = wall;
    return achieved;
  }
  achieved.phases = split->phases();
  // The call's own time before the first frame and after the last byte.
  achieved.phases.host += std::max(Nanos(0), wall - (split->at() - first_start));
  return achieved;
}

std::string Describe(const WireTime& time) {
  std::string text = "host ";
  text += std::to_string(time.host_to_reader);
  text += " B, reader ";
  text += std::to_string(time.reader_to_host);
  text += " B, card ";
  text += std::to_string(time.to_card);
  text += " B in, ";
  text += std::to_string(time.from_card);
  text += " B out";
  return text;
}

}  // namespace tolvex::bench
