#include "host/replay.h"

#include <fmt/format.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "host/hex.h"
#include "host/host.h"
#include "host/pty_simulator.h"
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
    const auto object = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    const auto where = [&] { return fmt::format("{}:{}", path, number); };
    if (!object.is_object() || !object.contains("dir") || !object.contains("bytes") ||
        !object["dir"].is_string() || !object["bytes"].is_string()) {
      return {nullptr, where() + ": not a line of a wire trace"};
    }
    // Lines of other programs' output (tolvex's results go to standard output) are not a
    // trace's; a trace's lines all have "trace", "dir" and "bytes".
    const std::string dir = object["dir"];
    if (dir != "host" && dir != "reader") return {nullptr, where() + ": \"dir\" is " + dir};
    const std::string of = object.contains("device") && object["device"].is_string()
                               ? std::string(object["device"])
                               : fmt::format("port {}", object.value("port", 0));
    if (!source) source = of;
    if (of != *source) continue;
    auto bytes = ParseHex(std::string(object["bytes"]));
    if (!bytes) return {nullptr, where() + ": \"bytes\" is not hex"};
    const long long us = object.contains("us") && object["us"].is_number_integer()
                             ? object["us"].get<long long>()
                             : 0;
    frames.push_back(sim::RecordedFrame{dir == "reader", std::chrono::microseconds(us),
                                        std::move(*bytes), object.value("trace", "")});
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
