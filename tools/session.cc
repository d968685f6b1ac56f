#include "session.h"

#include <fmt/format.h>

#include <algorithm>

namespace tolvex::tools {

int Session::Open() {
  if (options_.ports.empty()) {
    simulator_.emplace(host_.AddSimulatedReader(0));
    simulator_->InsertCard(options_.card, CardReport::kNotSent);
  }
  for (const auto& [index, path] : options_.ports) host_.AddDevicePort(index, path);
  // When no reader started, the status of the first that failed; else success.
  const Status started = host_.Start();
  const std::vector<unsigned> readers = host_.Readers();
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
    const Failure failure = NotStarted(index, started, !readers.empty());
    out_.Warning(failure.what, failure.status, failure.event);
  }
  if (!running(index_)) {
    const Failure failure = NotStarted(index_, started, !readers.empty());
    return out_.Error(failure.what, failure.status, failure.event);
  }
  auto [status, reader] = Reader::Open(host_, index_);
  if (!reader) return out_.Error("the reader could not be opened", status);
  reader_ = std::move(reader);
  return 0;
}

Session::Failure Session::NotStarted(unsigned index, Status started, bool others_started) {
  const auto path = options_.ports.find(index);
  const std::string where = path == options_.ports.end()
                                ? "the built-in simulator"
                                : fmt::format("{} (port {})", path->second, index);
  const Status opened = host_.ProbePort(index);
  if (opened != kSuccess) {
    return {PortFailure(where, opened), opened, host::event::kCannotConnectSerial};
  }
  // The driver passes a reader's own status on only when no reader started.
  if (others_started) {
    return {"no reader started on " + where, host::status::kUnsuccessful,
            host::event::kCannotConnectSerial};
  }
  const Status status = started;
  if (status == kIoTimeout) {
    return {"no reader answered on " + where, status, host::event::kCannotConnectSerial};
  }
  if (status == host::status::kInsufficientResources) {
    return {"no reader started on " + where, status, host::event::kNoMemory};
  }
  return {"no reader started on " + where, status, host::event::kCannotCreateDevice};
}

}  // namespace tolvex::tools
