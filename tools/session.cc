#include "session.h"

#include <fmt/format.h>

#include <algorithm>

namespace tolvex::tools {

int Session::Open() {
  if (!options_.replay.empty()) {
    auto loaded = host::Replay::Load(options_.replay, options_.paced);
    if (!loaded.replay) return out_.Usage("--replay: " + loaded.error);
    replay_ = std::move(loaded.replay);
    replay_->Attach(*host_, 0);
  } else if (options_.ports.empty()) {
    simulator_.emplace(host_->AddSimulatedReader(0));
    simulator_->InsertCard(options_.card, CardReport::kNotSent);
  }
  for (const auto& [index, path] : options_.ports) host_->AddDevicePort(index, path);
  if (options_.trace) StartTrace();
  (void)host_->Start();  // its status only says whether any reader started
  const std::vector<unsigned> readers = host_->Readers();
  auto running = [&readers](unsigned index) {
    return std::find(readers.begin(), readers.end(), index) != readers.end();
  };
  if (options_.reader) {
    index_ = *options_.reader;
  } else if (!readers.empty()) {
    index_ = readers.front();
  } else {
    index_ = options_.ports.empty() ? 0 : options_.ports.begin()->first;
  }
  // Every other port given that did not start says so; the command goes on with its reader.
  for (const auto& [index, path] : options_.ports) {
    if (index == index_ || running(index)) continue;
    const Failure failure = NotStarted(index);
    out_.Warning(failure.what, failure.status, failure.event);
  }
  if (!running(index_)) {
    const Failure failure = NotStarted(index_);
    return out_.Error(failure.what, failure.status, failure.event);
  }
  auto [status, reader] = Reader::Open(*host_, index_);
  if (!reader) return out_.Error("the reader could not be opened", status);
  reader_ = std::move(reader);
  return 0;
}

Status Session::Restart() {
  reader_.reset();
  (void)host_->RestartDriver();  // its status only says whether any reader started
  const std::vector<unsigned> readers = host_->Readers();
  if (std::find(readers.begin(), readers.end(), index_) == readers.end()) {
    return NotStarted(index_).status;
  }
  auto [status, reader] = Reader::Open(*host_, index_);
  reader_ = std::move(reader);
  return reader_ ? kSuccess : status;
}

std::optional<std::string> Session::FinishReplay() {
  if (!replay_) return std::nullopt;
  reader_.reset();
  (void)host_->Stop();
  if (auto mismatch = replay_->Mismatch()) return mismatch;
  if (replay_->played() < replay_->size()) {
    return fmt::format(
        "the host stopped at frame {} of {}: the rest of the recording was not "
        "asked for",
        replay_->played() + 1, replay_->size());
  }
  return std::nullopt;
}

std::string Session::Where() const {
  const std::string path = host_->DevicePath(index_);
  return path.empty() ? fmt::format("port {}", index_) : path;
}

void Session::StartTrace() {
  const bool json = out_.json();
  const bool several = options_.ports.size() > 1;
  trace_ = std::make_unique<host::WireTrace>([json, several](const host::TraceLine& line) {
    if (json) {
      std::cerr << host::TraceJson(line) << '\n';
    } else {
      const std::string port = several ? fmt::format("port {}: ", line.port) : std::string();
      std::cerr << host::TraceText(line.at, port + line.text) << '\n';
    }
  });
  if (options_.ports.empty()) host_->Tap(0, trace_->Observer(0));
  for (const auto& [index, path] : options_.ports) host_->Tap(index, trace_->Observer(index));
}

Session::Failure Session::NotStarted(unsigned index) {
  const auto path = options_.ports.find(index);
  const std::string where = path == options_.ports.end()
                                ? "the built-in simulator"
                                : fmt::format("{} (port {})", path->second, index);
  const Status opened = host_->ProbePort(index);
  if (opened != kSuccess) {
    return {PortFailure(where, opened), opened, host::event::kCannotConnectSerial};
  }
  // The device opens, but no reader started on it: the driver's start does not pass on why
  // (the reader did not answer, or not as the driver expects, or memory ran out).
  return {"no reader started on " + where, host::status::kUnsuccessful,
          host::event::kCannotConnectSerial};
}

}  // namespace tolvex::tools
