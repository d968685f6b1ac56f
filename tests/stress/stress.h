// The stress run: the operations it mixes, the checks on each, and its tallies (the
// operations themselves are in operations.cc).
#pragma once

#include <fmt/core.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/host.h"
#include "host/reader.h"
#include "platform/ntdef.h"
#include "platform/platform.h"
#include "platform/winsmcrd.h"
#include "serial/serial_port.h"
#include "sim/application.h"
#include "sim/card.h"
#include "sim/reader_sim.h"

namespace tolvex::stress {

using tolvex::host::CardWait;
using tolvex::host::Power;
using tolvex::host::Reader;
using tolvex::host::Status;
using tolvex::host::StatusName;
using tolvex::sim::Application;
using tolvex::sim::Card;
using tolvex::sim::EntryKind;
using tolvex::sim::Origin;
using tolvex::sim::ShortAtrReport;
using tolvex::sim::TranscriptEntry;
using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Every operation ends well within this, whatever its fault: the longest waits a fault can
// cause are a few of the driver's read time-outs (seconds each).
inline constexpr auto kBound = std::chrono::seconds(60);

inline bool IsError(Status status) {
  return (static_cast<std::uint32_t>(status) >> 30) == 3;
}

inline std::string Hex(const Bytes& bytes, size_t limit = 24) {
  std::string text;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) text += fmt::format("{:02X}", bytes[i]);
  if (bytes.size() > limit) text += fmt::format("...({} bytes)", bytes.size());
  return text;
}

// The process's threads and open descriptors.
inline std::pair<size_t, size_t> Leftovers() {
  auto count = [](const char* folder) {
    const std::filesystem::directory_iterator entries(folder);
    return static_cast<size_t>(std::distance(begin(entries), end(entries)));
  };
  return {count("/proc/self/task"), count("/proc/self/fd")};
}

inline Bytes Ok(Bytes data) {  // `data` and the status word of success
  data.insert(data.end(), {0x90, 0x00});
  return data;
}

// ECHO of `data`, Le `le` (0: 256).
inline Bytes Echo(const Bytes& data, std::uint8_t le) {
  Bytes apdu = {Application::kClaProprietary, Application::kInsEcho, 0x00, 0x00,
                static_cast<std::uint8_t>(data.size())};
  apdu.insert(apdu.end(), data.begin(), data.end());
  apdu.push_back(le);
  return apdu;
}

inline Bytes RandomBytes(std::mt19937_64& random, size_t n) {
  Bytes data(n);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  return data;
}

struct Model {
  const char* name;
  bool t0;
  bool t1;
};
// The cards in turn in the reader: both protocols, T=1 with CRC, and T=0 cards that stretch
// the procedure-byte dialogue.
inline constexpr Model kModels[] = {{"dual", true, true},     {"t1", false, true},
                                    {"t1-crc", false, true},  {"t0", true, false},
                                    {"t0-null", true, false}, {"t0-bytewise", true, false}};

struct Options {
  std::uint64_t operations = 10000;
  std::uint64_t seed = 1;
  unsigned burners = 2;
  unsigned slow_share = 10;  // percent of the faults that end by time-outs of seconds
  bool verbose = false;
  bool transcripts = false;
};

class Stress {
 public:
  explicit Stress(const Options& options) : options_(options), random_(options.seed) {}

  int Run() {
    // A first thread, started and gone, lets the runtime start whatever threads of its own it
    // keeps (a sanitizer's), so that they are counted before as after.
    std::thread([] {}).join();
    const auto before = Leftovers();
    std::vector<std::jthread> burners;
    for (unsigned i = 0; i < options_.burners; ++i) {
      burners.emplace_back([](std::stop_token stop) {
        volatile std::uint64_t x = 1;
        while (!stop.stop_requested()) x = x * 6364136223846793005ULL + 1;
      });
    }
    {
      // The driver's pauses are kept: after a failure they let the card finish what it was
      // saying before the next command goes out.
      tolvex::host::Host host;
      sim_ = &host.AddSimulatedPort(0, {.jitter = tolvex::sim::Jitter{.seed = options_.seed}});
      sim_->InsertCard(kModels[0].name, false);
      host_ = &host;
      Status status = host.Start();
      if (status == STATUS_SUCCESS) {
        auto opened = Reader::Open(host, 0);
        status = opened.status;
        reader_ = std::move(opened.value);
      }
      if (!reader_) {
        fmt::print("the driver did not start or the reader did not open: {}\n", StatusName(status));
        return 1;
      }
      port_ = tolvex::serial::PortOf(host.platform().FindDevice(u"\\Device\\Serial0"));
      const auto start = SteadyClock::now();
      for (std::uint64_t n = 0; n < options_.operations; ++n) {
        operation_ = n;
        Operate();
        if ((n + 1) % 1000 == 0 || n + 1 == options_.operations) {
          fmt::print("{} operations, {} deviations, {:.0f} s\n", n + 1, deviations_.size(),
                     std::chrono::duration<double>(SteadyClock::now() - start).count());
          std::fflush(stdout);
        }
      }
      reader_.reset();
      const std::string left = host.Stop();
      if (!left.empty()) Deviate("unload", "memory left allocated: " + left);
    }
    burners.clear();
    // The platform's threads are all gone with the host; nothing else may be left either.
    if (const auto after = Leftovers(); after != before) {
      Deviate("unload", fmt::format("{} threads and {} descriptors before, {} and {} after",
                                    before.first, before.second, after.first, after.second));
    }
    Summary();
    return deviations_.empty() ? 0 : 1;
  }

 private:
  struct Tally {
    std::uint64_t count = 0;
    std::uint64_t failed = 0;
    double total_ms = 0;
    double longest_ms = 0;
  };

  // --- the application's side ---

  // Powers the card up and selects a protocol the card speaks: T=0 or T=1 by choice where it
  // speaks both. False (with the reason noted) when that fails.
  bool Ready(std::optional<bool> want_t1 = std::nullopt) {
    const Model& model = kModels[model_];
    if (powered_ && !want_t1 && !Chance(10)) return true;  // now and then a fresh start anyway
    const bool t1 = want_t1.value_or(model.t1 && (!model.t0 || Chance(50)));
    if (powered_ && t1 == t1_) return true;
    const auto [status, atr] = reader_->PowerCard(Power::kColdReset);
    if (status != STATUS_SUCCESS) return Note("power-up", status);
    if (!AtrIsTheCards("power-up", atr)) return false;
    const std::uint32_t wanted = t1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    const auto [selecting, selected] = reader_->SetProtocol(wanted);
    if (selecting != STATUS_SUCCESS) return Note("protocol", selecting);
    if (selected != wanted) {
      Deviate("protocol", fmt::format("{} selected where {} was asked", selected, wanted));
      return false;
    }
    powered_ = true;
    t1_ = t1;
    return true;
  }

  bool AtrIsTheCards(const char* what, const Bytes& atr) {
    if (atr == expected_atr_) return true;
    Deviate(what, fmt::format("ATR {} where the card's is {}", Hex(atr), Hex(expected_atr_)));
    return false;
  }

  // One command as an application sends it; under T=0, 61xx is followed by GET RESPONSE for
  // as many bytes as the command asked for, at most those the card has.
  Status Command(const Bytes& apdu, Bytes* response) {
    const std::uint32_t protocol = t1_ ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    auto [status, answer] = reader_->Transmit(protocol, apdu);
    *response = std::move(answer);
    if (status == STATUS_SUCCESS && !t1_ && response->size() == 2 && (*response)[0] == 0x61) {
      const auto available = (*response)[1] == 0 ? 256U : (*response)[1];
      const auto asked = apdu.back() == 0 ? 256U : apdu.back();
      const auto le = static_cast<std::uint8_t>(std::min(available, asked) & 0xFF);
      const Bytes get_response = {0x00, Application::kInsGetResponse, 0x00, 0x00, le};
      auto fetched = reader_->Transmit(protocol, get_response);
      status = fetched.status;
      *response = std::move(fetched.value);
    }
    return status;
  }

  // A command and the response it must give.
  struct Exchange {
    Bytes apdu;
    Bytes response;
  };

  std::vector<Exchange> RandomExchanges() {
    switch (Pick(3)) {
      case 0: {  // ECHO: up to 255 bytes in, up to 256 out
        const size_t lc = Chance(20) ? 255 - Pick(8) : 1 + Pick(120);
        const Bytes data = RandomBytes(random_, lc);
        const size_t le = Chance(30) ? 256 : 1 + Pick(255);
        const Bytes apdu = Echo(data, static_cast<std::uint8_t>(le & 0xFF));
        Bytes response(data.begin(), data.begin() + static_cast<long>(std::min(lc, le)));
        if (t1_ || lc <= le) return {{apdu, Ok(response)}};
        // T=0 sends the command without Le: GET RESPONSE takes what was asked, and the card
        // tells of the rest.
        response.insert(response.end(), {0x61, static_cast<std::uint8_t>(lc - le)});
        return {{apdu, response}};
      }
      case 1: {  // SELECT the application by its AID
        Bytes apdu = {0x00, Application::kInsSelect, 0x04, 0x00,
                      static_cast<std::uint8_t>(Application::Aid().size())};
        apdu.insert(apdu.end(), Application::Aid().begin(), Application::Aid().end());
        return {{apdu, Ok({})}};
      }
      default: {  // SELECT the file, then READ BINARY somewhere inside it
        const size_t le = 1 + Pick(200);
        const size_t offset = Pick(Application::kFileSize - le + 1);
        const auto at = Application::FileContents().begin() + static_cast<long>(offset);
        return {{{0x00, Application::kInsSelect, 0x00, 0x00, 0x02, 0x01, 0x01}, Ok({})},
                {{0x00, Application::kInsReadBinary, static_cast<std::uint8_t>(offset >> 8),
                  static_cast<std::uint8_t>(offset & 0xFF), static_cast<std::uint8_t>(le)},
                 Ok(Bytes(at, at + static_cast<long>(le)))}};
      }
    }
  }

  // A failed command's status must be an error status; false (a deviation) when it is not.
  bool ErrorStatus(const std::string& what, Status status) {
    if (IsError(status)) return true;
    Deviate(what, fmt::format("{} is not an error status", StatusName(status)));
    return false;
  }

  // Runs the exchanges: true when all gave their responses. A wrong response is a deviation;
  // a failure is one unless `fault_allows`.
  bool RunExchanges(const char* what, bool fault_allows) {
    for (const Exchange& exchange : RandomExchanges()) {
      Bytes response;
      const Status status = Command(exchange.apdu, &response);
      if (status != STATUS_SUCCESS) {
        if (ErrorStatus(what, status) && !fault_allows) {
          Unexplained(what, fmt::format("{} failed with {} without a fault", Hex(exchange.apdu),
                                        StatusName(status)));
        }
        Failed(status);
        return false;
      }
      if (response != exchange.response) {
        Deviate(what, fmt::format("{} gave {} where {} was due", Hex(exchange.apdu), Hex(response),
                                  Hex(exchange.response)));
        powered_ = false;
        return false;
      }
    }
    return true;
  }

  // --- operations ---

  void Operate() {
    struct Operation {
      const char* name;
      unsigned share;  // in percent
      void (Stress::*run)();
    };
    static constexpr Operation kOperations[] = {
        {"apdu", 42, &Stress::Apdu},
        {"faulty apdu", 30, &Stress::FaultyApdu},
        {"reset", 8, &Stress::GoodReset},
        {"failed reset", 8, &Stress::FailedReset},
        {"removal mid-exchange", 2, &Stress::RemovalMidExchange},
        {"card change", 6, &Stress::CardChange},
        {"tracking", 4, &Stress::Tracking},
    };
    auto roll = static_cast<unsigned>(Pick(100));
    const Operation* operation = kOperations;
    while (roll >= operation->share) roll -= operation++->share;
    kind_ = operation->name;
    after_fault_ = !fault_.empty();
    fault_.clear();
    failed_ = false;
    const auto start = SteadyClock::now();
    (this->*operation->run)();
    sim_->ClearFaults();
    const auto took = SteadyClock::now() - start;
    const double took_ms = std::chrono::duration<double, std::milli>(took).count();
    const std::string name = fault_.empty() ? kind_ : fault_;
    Tally& tally = tallies_[name];
    ++tally.count;
    tally.failed += failed_;
    tally.total_ms += took_ms;
    tally.longest_ms = std::max(tally.longest_ms, took_ms);
    if (took > kBound) Deviate("bound", fmt::format("took {:.1f} s", took_ms / 1000));
    if (options_.verbose) {
      fmt::print("{:6} {:22} {:28} {:8.1f} ms\n", operation_, name,
                 failed_ ? "failed " + StatusName(last_failure_) : "ok", took_ms);
    }
  }

  // --- the operations (operations.cc) ---

  void Apdu();
  void FaultyApdu();
  void GoodReset();
  void FailedReset();
  void RemovalMidExchange();
  void CardChange();
  void Tracking();

  // Waits until the driver has taken in all the reader has sent: the simulator has handed it
  // to the line, the port holds none of it, the listener waits again and no pass runs.
  bool Settle() {
    if (!sim_->WaitIdle(milliseconds(10000))) return false;
    const auto limit = SteadyClock::now() + std::chrono::seconds(10);
    while (port_->receive_queue() != 0 || !port_->has_pending_wait()) {
      if (SteadyClock::now() > limit) return false;
      std::this_thread::sleep_for(milliseconds(1));
    }
    host_->platform().DrainWorkQueue();
    return true;
  }

  void Insert(size_t model) {
    model_ = model;
    sim_->InsertCard(kModels[model].name);
    expected_atr_ = tolvex::sim::MakeCard(kModels[model].name)->Reset();
    powered_ = false;
  }

  // --- bookkeeping ---

  bool Note(const char* what, Status status) {
    Failed(status);
    // Nothing the card or the reader was told to do explains a failed power-up.
    Unexplained(what, fmt::format("failed with {}", StatusName(status)));
    return false;
  }
  void Failed(Status status) {
    if (status == STATUS_SUCCESS) return;
    failed_ = true;
    last_failure_ = status;
    powered_ = false;  // after a failure the application starts over, as a PC/SC one does
    ++statuses_[status];
  }
  // A failure that no fault of this operation explains. Right after an operation with a fault
  // the reader may still be sending what that fault left on the line (stray bytes, the rest of
  // a block the driver gave up on), and the next command can take it for its answer: once, that
  // is the fault's doing, as an application that tries again finds.
  void Unexplained(const std::string& what, const std::string& detail) {
    if (after_fault_) {
      after_fault_ = false;
      ++settled_;
      if (options_.verbose) fmt::print("       settling after the fault before: {}\n", detail);
      return;
    }
    Deviate(what, detail);
  }
  void Deviate(const std::string& what, const std::string& detail) {
    deviations_.push_back(fmt::format("#{} {} ({}{}): {}", operation_, what, kind_,
                                      fault_.empty() ? "" : ", " + fault_, detail));
    if (deviations_.size() > 20) return;
    fmt::print("DEVIATION {}\n", deviations_.back());
    if (options_.transcripts && sim_ != nullptr) {
      const auto entries = sim_->transcript().entries;
      const size_t from = entries.size() > 40 ? entries.size() - 40 : 0;
      for (size_t i = from; i < entries.size(); ++i) {
        fmt::print("    {:10.3f} ms  {}\n",
                   std::chrono::duration<double, std::milli>(entries[i].at).count(),
                   entries[i].ToString());
      }
    }
  }
  bool Chance(unsigned percent) { return Pick(100) < percent; }
  size_t Pick(size_t n) { return n == 0 ? 0 : static_cast<size_t>(random_() % n); }

  void Summary() {
    fmt::print("\n{:24} {:>8} {:>8} {:>10} {:>12}\n", "operation", "count", "failed", "mean ms",
               "longest ms");
    for (const auto& [name, tally] : tallies_) {
      fmt::print("{:24} {:>8} {:>8} {:>10.1f} {:>12.1f}\n", name, tally.count, tally.failed,
                 tally.total_ms / static_cast<double>(tally.count), tally.longest_ms);
    }
    fmt::print("\nfailure statuses:");
    for (const auto& [status, count] : statuses_) {
      fmt::print(" {} x{}", StatusName(status), count);
    }
    fmt::print("\nfailures right after an operation with a fault, taken as its doing: {}\n",
               settled_);
    fmt::print("{} operations, seed {}, {} burner threads: {} deviations\n", options_.operations,
               options_.seed, options_.burners, deviations_.size());
    for (const std::string& deviation : deviations_) fmt::print("  {}\n", deviation);
  }

  const Options options_;
  std::mt19937_64 random_;
  tolvex::host::Host* host_ = nullptr;
  tolvex::sim::ReaderSim* sim_ = nullptr;
  tolvex::serial::SerialPort* port_ = nullptr;
  std::unique_ptr<Reader> reader_;
  size_t model_ = 0;
  Bytes expected_atr_ = tolvex::sim::MakeCard(kModels[0].name)->Reset();
  bool powered_ = false;
  bool t1_ = false;

  std::uint64_t operation_ = 0;
  const char* kind_ = "apdu";
  std::string fault_;
  bool failed_ = false;
  Status last_failure_ = STATUS_SUCCESS;
  bool after_fault_ = false;  // the operation before had a fault
  std::uint64_t settled_ = 0;
  std::map<std::string, Tally> tallies_;
  std::map<Status, std::uint64_t> statuses_;
  std::vector<std::string> deviations_;
};

}  // namespace tolvex::stress
