#include "host/replay.h"

#include <fmt/format.h>

#include <fstream>

#include "host/hex.h"
#include "host/host.h"
#include "host/pty_simulator.h"
#include "host/wire_trace.h"
#include "serial/memory_line.h"
#include "sim/replay.h"

namespace tolvex::host {

Replay::Loaded Replay::Load(const std::string& path, bool paced) {
  std::ifstream in(path);
  if (!in) return {nullptr, path + ": cannot be read"};
  std::vector<sim::RecordedFrame> frames;
  std::optional<std::string> source;  // the port or device whose frames are played
  std::string line;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::string of, error;
    auto frame = ParseTraceJson(line, &of, &error);
    if (!frame) return {nullptr, fmt::format("{}:{}: {}", path, number, error)};
    if (!source) source = of;
    if (of != *source) continue;
    frames.push_back(sim::RecordedFrame{
        frame->from_reader, std::chrono::duration_cast<std::chrono::microseconds>(frame->at),
        std::move(frame->wire), std::move(frame->text)});
  }
  if (frames.empty()) return {nullptr, path + ": no frames in it"};
  auto replay = std::unique_ptr<Replay>(new Replay());
  replay->source_ = *source;
  // The line is known once attached: the reader sends through it then.
  auto* self = replay.get();
  replay->reader_ = std::make_unique<sim::ReplayReader>(
      std::move(frames),
      [self](std::span<const std::uint8_t> bytes) {
        if (self->sink_) self->sink_(bytes);
      },
      paced);
  return {std::move(replay), {}};
}

Replay::~Replay() = default;

void Replay::Attach(Host& host, unsigned index) {
  serial::MemoryLine& line = host.AddMemoryPort(index);
  sink_ = [&line](std::span<const std::uint8_t> bytes) { line.Send(bytes); };
  line.SetListener([this](std::span<const UCHAR> chunk) { reader_->HostWrote(chunk); });
  reader_->Start();
}

void Replay::Attach(PtySimulator& pty) {
  sink_ = [&pty](std::span<const std::uint8_t> bytes) { pty.Send(bytes); };
  pty.Divert([this](std::span<const std::uint8_t> bytes) { reader_->HostWrote(bytes); });
  reader_->Start();
}

std::optional<std::string> Replay::Mismatch() const {
  const auto mismatch = reader_->mismatch();
  if (!mismatch) return std::nullopt;
  const sim::RecordedFrame& due = mismatch->expected;
  return fmt::format("frame {} of {} ({}): the recording has {} ({}), the host wrote {}",
                     mismatch->frame, reader_->size(), source_, due.text, Hex(due.bytes),
                     Hex(mismatch->written));
}

std::size_t Replay::played() const {
  return reader_->played();
}

std::size_t Replay::size() const {
  return reader_->size();
}

}  // namespace tolvex::host
