// tolvex: the reader driver, from the command line.
//
//   tolvex [--port N=PATH]... [--reader N] [--json] [--card MODEL] COMMAND [ARGS]
//
// Without --port the driver runs on the built-in simulated reader on port 0, with a card in
// it (MODEL, "dual" unless --card says otherwise). Each command speaks to the reader only
// through the driver's control requests, as any application does.
#include <fmt/format.h>
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/atr.h"
#include "host/hex.h"
#include "host/host.h"
#include "host/reader.h"
#include "host/simulated_reader.h"
#include "words.h"

namespace {

using tolvex::host::AtrDescription;
using tolvex::host::CardReport;
using tolvex::host::CardState;
using tolvex::host::CardWait;
using tolvex::host::Hex;
using tolvex::host::Host;
using tolvex::host::Power;
using tolvex::host::Reader;
using tolvex::host::SimulatedReader;
using tolvex::host::Status;
using Json = nlohmann::ordered_json;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

using tolvex::host::status::kDeviceProtocolError;
using tolvex::host::status::kIoTimeout;
using tolvex::host::status::kSuccess;
using tolvex::host::status::kTimeout;
constexpr std::uint32_t kT0 = 1;
constexpr std::uint32_t kT1 = 2;

struct Options {
  std::vector<std::string> ports;  // N=PATH
  std::optional<unsigned> reader;
  bool json = false;
  std::string card = "dual";
};

double Milliseconds(Clock::duration d) {
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
  // An error: one line a person understands, with the status value.
  int Error(const std::string& what, Status status) {
    if (json_) {
      Json object{{"error", what}, {"status", tolvex::tools::StatusValue(status)}};
      std::cout << object.dump() << '\n' << std::flush;
    } else {
      std::cerr << "tolvex: " << what << " (" << tolvex::tools::StatusWords(status) << ")\n";
    }
    return 1;
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
  bool json_;
};

// The host with its ports, started, and the reader opened.
class Session {
 public:
  Session(const Options& options, Output& out) : options_(options), out_(out) {}

  // Returns 0 when the reader is open, else the exit code (the error already said).
  int Open() {
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

  Reader& reader() { return *reader_; }
  Host& host() { return host_; }
  SimulatedReader* simulator() { return simulator_ ? &*simulator_ : nullptr; }
  unsigned index() const { return index_; }

  ~Session() {
    reader_.reset();
    (void)host_.Stop();
  }

 private:
  // Says why the reader chosen did not start.
  int NotStarted() {
    const auto path = paths_.find(index_);
    if (path == paths_.end() && !paths_.empty()) {
      return out_.Usage(fmt::format("no serial device was given for port {}", index_));
    }
    const std::string where = path == paths_.end()
                                  ? "the built-in simulator"
                                  : fmt::format("{} (port {})", path->second, index_);
    const Status opened = host_.ProbePort(index_);
    if (opened != kSuccess) {
      return out_.Error(tolvex::tools::PortFailure(where, opened), opened);
    }
    return out_.Error("no reader answered on " + where, kIoTimeout);
  }

  const Options& options_;
  Output& out_;
  Host host_;
  std::optional<SimulatedReader> simulator_;
  std::map<unsigned, std::string> paths_;
  unsigned index_ = 0;
  std::unique_ptr<Reader> reader_;
};

// --- info -----------------------------------------------------------------------------------

int Info(Session& session, Output& out) {
  Reader& reader = session.reader();
  const auto [status, versions] = reader.Versions();
  if (status != kSuccess) return out.Error("the reader did not give its versions", status);
  Status failed = kSuccess;  // the first attribute the reader did not give
  auto keep = [&failed](auto result) {
    if (failed == kSuccess) failed = result.status;
    return result.value;
  };
  const std::string vendor = keep(reader.AttributeText(0x10100));
  const std::string type = keep(reader.AttributeText(0x10101));
  const std::uint32_t unit = keep(reader.AttributeNumber(0x7FFF0001));
  const std::uint32_t protocols = keep(reader.AttributeNumber(0x30120));
  const std::uint32_t clock = keep(reader.AttributeNumber(0x30121));
  const std::uint32_t clock_max = keep(reader.AttributeNumber(0x30122));
  const std::uint32_t rate = keep(reader.AttributeNumber(0x30123));
  const std::uint32_t rate_max = keep(reader.AttributeNumber(0x30124));
  const std::uint32_t ifsd = keep(reader.AttributeNumber(0x30125));
  const CardState state = keep(reader.State());
  if (failed != kSuccess) return out.Error("the reader did not give its attributes", failed);
  const std::string firmware =
      fmt::format("{}.{}", versions.firmware_major, versions.firmware_minor);
  const std::string driver = fmt::format("{}.{}", versions.driver_major, versions.driver_minor);
  // The library's interface version is in binary-coded hundredths: 0x150 is 1.50.
  const std::string library =
      fmt::format("{:X}.{:02X}", versions.library >> 8, versions.library & 0xFF);
  out.Object(Json{{"command", "info"},
                  {"vendor", vendor},
                  {"reader", type},
                  {"unit", unit},
                  {"firmware", firmware},
                  {"driver", driver},
                  {"library", library},
                  {"protocols", tolvex::tools::Protocols(protocols)},
                  {"clock_khz", {{"default", clock}, {"max", clock_max}}},
                  {"data_rate", {{"default", rate}, {"max", rate_max}}},
                  {"max_ifsd", ifsd},
                  {"card", tolvex::tools::CardStateWords(static_cast<std::uint32_t>(state))},
                  {"status", tolvex::tools::StatusValue(kSuccess)}});
  out.Text(fmt::format("reader        {} {} (unit {})", vendor, type, unit));
  out.Text(fmt::format("firmware      {}", firmware));
  out.Text(fmt::format("driver        {}   library {}", driver, library));
  out.Text(fmt::format("protocols     {}", fmt::join(tolvex::tools::Protocols(protocols), ", ")));
  out.Text(fmt::format("clock         {} kHz (max {} kHz)", clock, clock_max));
  out.Text(fmt::format("data rate     {} bit/s (max {} bit/s)", rate, rate_max));
  out.Text(fmt::format("max IFSD      {}", ifsd));
  out.Text(fmt::format("card          {}",
                       tolvex::tools::CardStateWords(static_cast<std::uint32_t>(state))));
  return 0;
}

// --- atr, off -------------------------------------------------------------------------------

int PowerUp(Session& session, Output& out, Power reset, Bytes* atr) {
  auto [status, answer] = session.reader().PowerCard(reset);
  if (status != kSuccess) return out.Error(tolvex::tools::PowerFailure(status), status);
  *atr = std::move(answer);
  return 0;
}

void PrintAtr(const Bytes& atr, Output& out, double ms) {
  const AtrDescription d = tolvex::host::DescribeAtr(atr);
  Json object{{"command", "atr"}, {"atr", Hex(atr)}, {"ms", ms}};
  object["valid"] = d.valid;
  object["ts"] = fmt::format("{:02X}", d.ts);
  object["convention"] = d.inverse ? "inverse" : "direct";
  object["t0"] = fmt::format("{:02X}", d.t0);
  Json bytes = Json::array();
  for (const auto& b : d.interface_bytes)
    bytes.push_back({{"name", b.name}, {"value", fmt::format("{:02X}", b.value)}});
  object["interface_bytes"] = bytes;
  object["protocols"] = tolvex::tools::Protocols(d.protocols);
  object["fi"] = d.fi;
  object["di"] = d.di;
  object["n"] = d.n;
  object["wi"] = d.wi;
  if (d.protocols & kT1) {
    object["ifsc"] = d.ifsc;
    object["cwi"] = d.cwi;
    object["bwi"] = d.bwi;
    object["edc"] = d.crc ? "CRC" : "LRC";
  }
  object["historical_bytes"] = Hex(d.historical);
  if (d.tck) object["tck"] = fmt::format("{:02X}", *d.tck);
  object["status"] = tolvex::tools::StatusValue(kSuccess);
  out.Object(object);

  out.Text(fmt::format("ATR           {}   ({:.1f} ms)", Hex(atr), ms));
  if (!d.valid) out.Text(fmt::format("              not a valid ATR: {}", d.problem));
  out.Text(
      fmt::format("TS            {:02X}  ({} convention)", d.ts, d.inverse ? "inverse" : "direct"));
  out.Text(fmt::format("T0            {:02X}  ({} historical bytes)", d.t0, d.historical.size()));
  for (const auto& b : d.interface_bytes) out.Text(fmt::format("{:<14}{:02X}", b.name, b.value));
  out.Text(fmt::format("protocols     {}", fmt::join(tolvex::tools::Protocols(d.protocols), ", ")));
  out.Text(fmt::format("Fi / Di       {} / {}", d.fi, d.di));
  auto given = [](unsigned value, unsigned fallback) {
    return value != 0 ? std::to_string(value) : fmt::format("{} (not given)", fallback);
  };
  out.Text(fmt::format("N             {}", d.n));
  out.Text(fmt::format("WI            {}", given(d.wi, 10)));
  if (d.protocols & kT1) {
    out.Text(fmt::format("IFSC          {}", d.ifsc));
    out.Text(fmt::format("CWI / BWI     {} / {}", given(d.cwi, 13), given(d.bwi, 4)));
    out.Text(fmt::format("EDC           {}", d.crc ? "CRC" : "LRC"));
  }
  out.Text(fmt::format("historical    {}", d.historical.empty() ? "none" : Hex(d.historical)));
  out.Text(fmt::format("TCK           {}", d.tck ? fmt::format("{:02X}", *d.tck) : "none"));
}

int Atr(Session& session, Output& out, Power reset) {
  Bytes atr;
  const auto start = Clock::now();
  if (int code = PowerUp(session, out, reset, &atr)) return code;
  PrintAtr(atr, out, Milliseconds(Clock::now() - start));
  return 0;
}

int Off(Session& session, Output& out) {
  const Status status = session.reader().PowerCard(Power::kDown).status;
  if (status != kSuccess) return out.Error("the card could not be powered down", status);
  out.Object(Json{{"command", "off"}, {"status", tolvex::tools::StatusValue(kSuccess)}});
  out.Text("card powered down");
  return 0;
}

// --- apdu, shell ----------------------------------------------------------------------------

std::optional<std::uint32_t> ProtocolMask(const std::string& name) {
  if (name == "t0") return kT0;
  if (name == "t1") return kT1;
  if (name == "any") return kT0 | kT1;
  return std::nullopt;
}

// Powers the card up and selects a protocol: the protocol, or 0 after an error (said).
std::uint32_t Prepare(Session& session, Output& out, std::uint32_t requested, int* code) {
  Bytes atr;
  if ((*code = PowerUp(session, out, Power::kColdReset, &atr)) != 0) return 0;
  const auto [status, selected] = session.reader().SetProtocol(requested);
  if (status != kSuccess) {
    *code = out.Error(tolvex::tools::ProtocolFailure(status), status);
    return 0;
  }
  out.Text(fmt::format("ATR {}   protocol {}", Hex(atr), selected == kT1 ? "T=1" : "T=0"));
  return selected;
}

int Exchange(Session& session, Output& out, std::uint32_t protocol, const Bytes& apdu) {
  const auto start = Clock::now();
  const auto [status, response] = session.reader().Transmit(protocol, apdu);
  const double ms = Milliseconds(Clock::now() - start);
  if (status != kSuccess) return out.Error(tolvex::tools::TransmitFailure(status), status);
  if (response.size() < 2)
    return out.Error("the card's answer has no status word", kDeviceProtocolError);
  const Bytes data(response.begin(), response.end() - 2);
  const std::string sw =
      fmt::format("{:02X}{:02X}", response[response.size() - 2], response.back());
  out.Object(Json{{"command", "apdu"},
                  {"apdu", Hex(apdu)},
                  {"protocol", protocol == kT1 ? "T=1" : "T=0"},
                  {"data", Hex(data)},
                  {"sw", sw},
                  {"ms", ms},
                  {"status", tolvex::tools::StatusValue(kSuccess)}});
  out.Text(fmt::format("> {}", Hex(apdu)));
  out.Text(fmt::format("< {}{}{}   ({:.1f} ms)", Hex(data), data.empty() ? "" : " ", sw, ms));
  return 0;
}

int Apdu(Session& session, Output& out, const std::string& protocol_name,
         const std::vector<std::string>& hex) {
  const auto requested = ProtocolMask(protocol_name);
  if (!requested) return out.Usage("--protocol takes t0, t1 or any");
  std::vector<Bytes> apdus;
  for (const std::string& text : hex) {
    auto bytes = tolvex::host::ParseHex(text);
    if (!bytes || bytes->size() < 4) return out.Usage("not an APDU in hex: '" + text + "'");
    apdus.push_back(*bytes);
  }
  int code = 0;
  const std::uint32_t protocol = Prepare(session, out, *requested, &code);
  if (code != 0) return code;
  for (const Bytes& apdu : apdus) {
    if (int failed = Exchange(session, out, protocol, apdu)) return failed;
  }
  return 0;
}

int Shell(Session& session, Output& out, const std::string& protocol_name) {
  const auto requested = ProtocolMask(protocol_name);
  if (!requested) return out.Usage("--protocol takes t0, t1 or any");
  int code = 0;
  const std::uint32_t protocol = Prepare(session, out, *requested, &code);
  if (code != 0) return code;
  std::string line;
  int result = 0;
  while (std::getline(std::cin, line)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    auto bytes = tolvex::host::ParseHex(line);
    if (!bytes || bytes->size() < 4) {
      out.Usage("not an APDU in hex: '" + line + "'");
      result = 2;
      continue;
    }
    if (Exchange(session, out, protocol, *bytes) != 0) result = 1;
  }
  return result;
}

// --- watch ----------------------------------------------------------------------------------

int Watch(Session& session, Output& out, int count, double timeout_s) {
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(timeout_s));
  const auto [asked, state] = session.reader().State();
  if (asked != kSuccess) return out.Error("the reader did not give the card's state", asked);
  bool present = state >= CardState::kPresent;
  out.Text(fmt::format("card {}; watching", present ? "present" : "absent"));
  for (int seen = 0; count <= 0 || seen < count;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (timeout_s > 0 && left.count() <= 0) break;
    const auto step = timeout_s > 0
                          ? std::min<std::chrono::milliseconds>(left, std::chrono::hours(1))
                          : std::chrono::hours(1);
    const Status status =
        session.reader().WaitForCard(present ? CardWait::kAbsent : CardWait::kPresent, step);
    if (status == kTimeout) continue;  // nothing yet
    if (status != kSuccess) return out.Error("watching the reader failed", status);
    present = !present;
    ++seen;
    out.Object(Json{{"command", "watch"},
                    {"event", present ? "inserted" : "removed"},
                    {"status", tolvex::tools::StatusValue(kSuccess)}});
    out.Text(present ? "card inserted" : "card removed");
  }
  return 0;
}

// --- demo -----------------------------------------------------------------------------------

int Demo(Output& out) {
  Options options;
  Session session(options, out);
  out.Text(
      "tolvex demo: the driver on the built-in simulated reader, a dual-protocol card in it\n");
  if (int code = session.Open()) return code;
  if (int code = Info(session, out)) return code;
  out.Text("");
  if (int code = Atr(session, out, Power::kColdReset)) return code;
  out.Text("");
  const auto start = Clock::now();
  const auto [status, selected] = session.reader().SetProtocol(kT0 | kT1);
  if (status != kSuccess) return out.Error(tolvex::tools::ProtocolFailure(status), status);
  out.Object(Json{{"command", "protocol"},
                  {"protocol", selected == kT1 ? "T=1" : "T=0"},
                  {"ms", Milliseconds(Clock::now() - start)},
                  {"status", tolvex::tools::StatusValue(kSuccess)}});
  out.Text(fmt::format("protocol      {} negotiated ({:.1f} ms)\n", selected == kT1 ? "T=1" : "T=0",
                       Milliseconds(Clock::now() - start)));
  const std::vector<Bytes> apdus = {
      {0x00, 0xA4, 0x04, 0x00, 0x07, 0xF0, 0x54, 0x4F, 0x4C, 0x56, 0x45, 0x58},  // SELECT by AID
      {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01},                                // SELECT file 0101
      {0x00, 0xB0, 0x00, 0x00, 0x10},                                            // READ BINARY
      {0x00, 0x84, 0x00, 0x00, 0x08},                                            // GET CHALLENGE
      {0x80, 0xEE, 0x00, 0x00, 0x04, 0x74, 0x6F, 0x6C, 0x76, 0x04},              // echo
  };
  for (const Bytes& apdu : apdus) {
    if (int code = Exchange(session, out, selected, apdu)) return code;
  }
  out.Text("");
  SimulatedReader* simulator = session.simulator();
  auto removal = session.reader().StartWaitForCard(CardWait::kAbsent);
  out.Text("the card is pulled out of the simulated reader ...");
  simulator->RemoveCard();
  Status seen = removal->Wait(std::chrono::seconds(10));
  if (seen != kSuccess) return out.Error("the driver did not report the removal", seen);
  out.Object(Json{{"command", "watch"},
                  {"event", "removed"},
                  {"status", tolvex::tools::StatusValue(kSuccess)}});
  out.Text("  the driver reports: card removed");
  auto insertion = session.reader().StartWaitForCard(CardWait::kPresent);
  out.Text("and put back in ...");
  simulator->InsertCard("dual");
  seen = insertion->Wait(std::chrono::seconds(10));
  if (seen != kSuccess) return out.Error("the driver did not report the insertion", seen);
  out.Object(Json{{"command", "watch"},
                  {"event", "inserted"},
                  {"status", tolvex::tools::StatusValue(kSuccess)}});
  out.Text("  the driver reports: card inserted");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tolvex: the Brightwarden Serial SCR reader driver, from the command line"};
  app.require_subcommand(1);
  Options options;
  app.add_option("--port", options.ports, "bind serial port N (0 to 3) to a device: N=PATH");
  app.add_option("--reader", options.reader, "the reader to use (default: the lowest started)");
  app.add_flag("--json", options.json, "one JSON object per result, for scripts");
  app.add_option("--card", options.card, "the simulated reader's card (without --port)");

  auto* demo = app.add_subcommand("demo", "run against the built-in simulated reader");
  auto* info = app.add_subcommand("info", "reader attributes and versions");
  auto* atr = app.add_subcommand("atr", "power the card up and print its ATR, decoded");
  bool warm = false;
  atr->add_flag("--warm", warm, "warm reset instead of cold");
  auto* apdu = app.add_subcommand("apdu", "power up, select the protocol, send APDUs");
  std::string protocol = "any";
  std::vector<std::string> apdus;
  apdu->add_option("--protocol", protocol, "t0, t1 or any");
  apdu->add_option("hex", apdus, "APDUs in hex")->required();
  auto* off = app.add_subcommand("off", "power the card down");
  auto* watch = app.add_subcommand("watch", "print card insertion and removal");
  int count = 0;
  double timeout = 0;
  watch->add_option("--count", count, "stop after N events");
  watch->add_option("--timeout", timeout, "stop after S seconds");
  auto* shell = app.add_subcommand("shell", "read APDUs (hex, one a line) from stdin");
  shell->add_option("--protocol", protocol, "t0, t1 or any");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  Output out(options.json);
  if (demo->parsed()) return Demo(out);
  Session session(options, out);
  if (int code = session.Open()) return code;
  if (info->parsed()) return Info(session, out);
  if (atr->parsed()) return Atr(session, out, warm ? Power::kWarmReset : Power::kColdReset);
  if (apdu->parsed()) return Apdu(session, out, protocol, apdus);
  if (off->parsed()) return Off(session, out);
  if (watch->parsed()) return Watch(session, out, count, timeout);
  if (shell->parsed()) return Shell(session, out, protocol);
  return out.Usage("no command");
}
