// The tolvex command's common ground: its options, its output (lines for people or one JSON
// object a line for scripts) and the session: the host started with its ports, the reader
// opened. Each command (commands.h) speaks to the reader only through the driver's control
// requests, as any application does.
#pragma once

#include <chrono>
#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "host/event_messages.h"
#include "host/hex.h"
#include "host/host.h"
#include "host/reader.h"
#include "host/replay.h"
#include "host/simulated_reader.h"
#include "host/wire_trace.h"
#include "words.h"

namespace tolvex::tools {

using host::CardReport;
using host::CardState;
using host::CardWait;
using host::Hex;
using host::Host;
using host::Power;
using host::Reader;
using host::SimulatedReader;
using host::Status;
using Json = nlohmann::ordered_json;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

using host::status::kDeviceProtocolError;
using host::status::kIoTimeout;
using host::status::kSuccess;
using host::status::kTimeout;
constexpr std::uint32_t kT0 = 1;
constexpr std::uint32_t kT1 = 2;

struct Options {
  std::map<unsigned, std::string> ports;  // serial port number to device path
  std::optional<unsigned> reader;
  bool json = false;
  std::string card = "dual";
  bool trace = false;  // every frame on the wire, decoded, to standard error
  std::string replay;  // a recorded session whose reader plays port 0 (not with ports)
  bool paced = false;  // the replay keeps the recorded gaps
};

inline double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Prints results for people, or one JSON object a line for scripts.
class Output {
 public:
  explicit Output(bool json) : json_(json) {}
  bool json() const { return json_; }
  void Text(const std::string& line) {
    if (!json_) std::cout << line << '\n' << std::flush;
  }
  void Object(const Json& object) {
    if (json_) std::cout << object.dump() << '\n' << std::flush;
  }
  // An error: one line a person understands, with the status value, and the driver's event
  // message for the condition (EventFor(status) unless `event` names one).
  int Error(const std::string& what, Status status, std::optional<std::uint32_t> event = {}) {
    if (!event) event = EventFor(status);
    if (json_) {
      Json object{{"error", what}, {"status", StatusValue(status)}};
      if (event) object["event"] = host::EventMessageLine(*event);
      std::cout << object.dump() << '\n' << std::flush;
    } else {
      std::cerr << ErrorLine(what, status, event) << '\n';
    }
    return 1;
  }
  // A failure the command goes on after: the same line, on standard error whatever the mode.
  void Warning(const std::string& what, Status status, std::optional<std::uint32_t> event = {}) {
    if (!event) event = EventFor(status);
    std::cerr << ErrorLine(what, status, event) << '\n';
  }
  int Usage(const std::string& what) {
    if (json_) {
      std::cout << Json{{"error", what}}.dump() << '\n' << std::flush;
    } else {
      std::cerr << "tolvex: " << what << '\n';
    }
    return 2;
  }

 private:
  static std::string ErrorLine(const std::string& what, Status status,
                               std::optional<std::uint32_t> event) {
    std::string line = "tolvex: " + what + " (" + StatusWords(status) + ")";
    if (event) line += "; event " + host::EventMessageLine(*event);
    return line;
  }
  bool json_;
};

// The host with its ports, started, and the reader opened.
class Session {
 public:
  Session(const Options& options, Output& out) : options_(options), out_(out) {}

  // Returns 0 when the reader is open, else the exit code (the error already said).
  [[nodiscard]] int Open();
  // After the reader's line was lost (Host::Lost): the driver started again on the same ports,
  // the reader opened again. Success, or why the reader did not start (nothing said).
  [[nodiscard]] Status Restart();

  Reader& reader() { return *reader_; }
  Host& host() { return *host_; }
  SimulatedReader* simulator() { return simulator_ ? &*simulator_ : nullptr; }
  unsigned index() const { return index_; }
  // The device behind the reader's port, or "port N".
  std::string Where() const;
  // With a replay: stops the host (its teardown is part of the recording) and says how the
  // replay went: none when the host followed the recording to its end, else where it did not.
  std::optional<std::string> FinishReplay();

  ~Session() {
    reader_.reset();
    (void)host_->Stop();
    if (trace_) trace_->Finish();  // the ports are stopped: all that was on the wire is in
  }

 private:
  // Why the reader on port `index` did not start: what to say, the status and the driver's
  // event message for it.
  struct Failure {
    std::string what;
    Status status;
    std::uint32_t event;
  };
  Failure NotStarted(unsigned index);
  // Taps every port for --trace, before the host starts.
  void StartTrace();

  const Options& options_;
  Output& out_;
  std::unique_ptr<host::WireTrace> trace_;  // outlives the host, whose ports it hears
  std::unique_ptr<host::Replay> replay_;    // outlives the host, whose port it plays
  std::unique_ptr<Host> host_ = std::make_unique<Host>();
  std::optional<SimulatedReader> simulator_;
  unsigned index_ = 0;
  std::unique_ptr<Reader> reader_;
};

}  // namespace tolvex::tools
