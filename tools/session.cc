#include "session.h"

#include <fmt/format.h>

#include <algorithm>

namespace tolvex::tools {

int Session::Open() {
  if (options_.ports.empty()) {
    simulator_.emplace(host_.AddSimulatedReader(0));
    simulator_->InsertCard(options_.card, CardReport::kNotSent);
  }
  for (const std::string& binding : options_.ports) {
    const auto equals = binding.find('=');
    unsigned index = 0;
    if (equals == std::string::npos || equals == 0 ||
        std::sscanf(binding.substr(0, equals).c_str(), "%u", &index) != 1 || index > 3) {
      return out_.Usage("--port takes N=PATH with N from 0 to 3, not '" + binding + "'");
    }
    host_.AddDevicePort(index, binding.substr(equals + 1));
    paths_[index] = binding.substr(equals + 1);
  }
  if (options_.trace) StartTrace();
  (void)host_.Start();  // its status only says whether any reader started
  const std::vector<unsigned> readers = host_.Readers();
  if (options_.reader) {
    index_ = *options_.reader;
  } else if (!readers.empty()) {
    index_ = readers.front();
  } else {
    index_ = paths_.empty() ? 0 : paths_.begin()->first;
  }
  if (std::find(readers.begin(), readers.end(), index_) == readers.end()) {
    return NotStarted();
  }
  auto [status, reader] = Reader::Open(host_, index_);
  if (!reader) return out_.Error("the reader could not be opened", status);
  reader_ = std::move(reader);
  return 0;
}

void Session::StartTrace() {
  const bool json = out_.json();
  const bool several = paths_.size() > 1;
  trace_ = std::make_unique<host::WireTrace>([json, several](const host::TraceLine& line) {
    if (json) {
      const auto us = std::chrono::duration_cast<std::chrono::microseconds>(line.at).count();
      std::cerr << Json{{"trace", line.text},
                        {"dir", line.from_reader ? "reader" : "host"},
                        {"us", us},
                        {"bytes", Hex(line.wire)},
                        {"port", line.port}}
                       .dump()
                << '\n';
    } else {
      const std::string port = several ? fmt::format("port {}: ", line.port) : std::string();
      std::cerr << host::TraceText(line.at, port + line.text) << '\n';
    }
  });
  if (paths_.empty()) host_.Tap(0, trace_->Observer(0));
  for (const auto& [index, path] : paths_) host_.Tap(index, trace_->Observer(index));
}

int Session::NotStarted() {
  const auto path = paths_.find(index_);
  if (path == paths_.end() && !paths_.empty()) {
    return out_.Usage(fmt::format("no serial device was given for port {}", index_));
  }
  const std::string where = path == paths_.end()
                                ? "the built-in simulator"
                                : fmt::format("{} (port {})", path->second, index_);
  const Status opened = host_.ProbePort(index_);
  if (opened != kSuccess) {
    return out_.Error(PortFailure(where, opened), opened);
  }
  return out_.Error("no reader answered on " + where, kIoTimeout);
}

}  // namespace tolvex::tools
