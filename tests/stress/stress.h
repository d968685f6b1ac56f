// The stress run: the operations it mixes, the checks on each, and its tallies (the run is in
// stress.cc, the operations in operations.cc).
#pragma once

#include <fmt/core.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../support/wait.h"
#include "host/reader.h"
#include "platform/platform.h"
#include "platform/winsmcrd.h"
#include "serial/serial_port.h"
#include "sim/application.h"
#include "sim/reader_sim.h"

namespace tolvex::stress {

using host::Status;
using host::StatusName;
using sim::Application;
using sim::Bytes;
using sim::Hex;
using std::chrono::milliseconds;

// Every operation ends well within this, whatever its fault: the longest waits a fault can
// cause are a few of the driver's read time-outs (seconds each).
inline constexpr auto kBound = std::chrono::seconds(60);
inline constexpr unsigned kSlowShare = 10;  // percent of the faults that end by time-outs

// The cards in turn in the reader: both protocols, T=1 with CRC, and T=0 cards that stretch
// the procedure-byte dialogue.
struct Model {
  const char* name;
  bool t0;
  bool t1;
};
inline constexpr Model kModels[] = {{"dual", true, true},     {"t1", false, true},
                                    {"t1-crc", false, true},  {"t0", true, false},
                                    {"t0-null", true, false}, {"t0-bytewise", true, false}};

struct Options {
  std::uint64_t operations = 10000;
  std::uint64_t seed = 1;
  unsigned burners = 2;
  bool transcripts = false;
};

class Stress {
 public:
  explicit Stress(const Options& options) : options_(options), random_(options.seed) {}
  int Run();  // 0 without deviations

 private:
  // The operations (operations.cc), and one drawn by its share.
  void Apdu();
  void FaultyApdu();
  void GoodReset();
  void FailedReset();
  void RemovalMidExchange();
  void CardChange();
  void Tracking();
  void Operate();

  // Powers the card up and selects a protocol the card speaks: T=0 or T=1 by choice where it
  // speaks both. False (the failure noted) when that fails.
  bool Ready(std::optional<bool> want_t1 = std::nullopt) {
    const Model& model = kModels[model_];
    if (powered_ && !want_t1 && !Chance(10)) return true;  // now and then a fresh start anyway
    const bool t1 = want_t1.value_or(model.t1 && (!model.t0 || Chance(50)));
    if (powered_ && t1 == t1_) return true;
    const auto [status, atr] = reader_->PowerCard(host::Power::kColdReset);
    if (status != STATUS_SUCCESS) return Failed("power-up", status);
    if (!AtrIsTheCards("power-up", atr)) return false;
    const std::uint32_t wanted = t1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    const auto [selecting, selected] = reader_->SetProtocol(wanted);
    if (selecting != STATUS_SUCCESS) return Failed("protocol", selecting);
    if (selected != wanted) {
      return Deviate("protocol", fmt::format("{} selected where {} was asked", selected, wanted));
    }
    t1_ = t1;
    return powered_ = true;
  }

  bool AtrIsTheCards(const char* what, const Bytes& atr) {
    return atr == expected_atr_ ||
           Deviate(what, "ATR " + Hex(atr) + " where the card's is " + Hex(expected_atr_));
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
      auto fetched =
          reader_->Transmit(protocol, Bytes{0x00, Application::kInsGetResponse, 0, 0, le});
      status = fetched.status;
      *response = std::move(fetched.value);
    }
    return status;
  }

  // ECHO of `data`, Le `le` (0: 256); `data` with the status word of success.
  static Bytes Echo(const Bytes& data, std::uint8_t le) {
    Bytes apdu = {Application::kClaProprietary, Application::kInsEcho, 0, 0,
                  static_cast<std::uint8_t>(data.size())};
    apdu.insert(apdu.end(), data.begin(), data.end());
    apdu.push_back(le);
    return apdu;
  }
  static Bytes Ok(Bytes data) {
    data.insert(data.end(), {0x90, 0x00});
    return data;
  }
  Bytes RandomBytes(size_t n) {
    Bytes data(n);
    for (auto& b : data) b = static_cast<std::uint8_t>(random_());
    return data;
  }

  // Commands, each with the response it must give.
  std::vector<std::pair<Bytes, Bytes>> RandomExchanges() {
    switch (Pick(3)) {
      case 0: {  // ECHO: up to 255 bytes in, up to 256 out
        const size_t lc = Chance(20) ? 255 - Pick(8) : 1 + Pick(120);
        const Bytes data = RandomBytes(lc);
        const size_t le = Chance(30) ? 256 : 1 + Pick(255);
        Bytes response(data.begin(), data.begin() + static_cast<long>(std::min(lc, le)));
        const Bytes apdu = Echo(data, static_cast<std::uint8_t>(le & 0xFF));
        if (t1_ || lc <= le) return {{apdu, Ok(response)}};
        // T=0 sends the command without Le: GET RESPONSE takes what was asked, and the card
        // tells of the rest.
        response.insert(response.end(), {0x61, static_cast<std::uint8_t>(lc - le)});
        return {{apdu, response}};
      }
      case 1: {  // SELECT the application by its AID
        const Bytes& aid = Application::Aid();
        Bytes apdu = {0x00, Application::kInsSelect, 0x04, 0x00,
                      static_cast<std::uint8_t>(aid.size())};
        apdu.insert(apdu.end(), aid.begin(), aid.end());
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

  // Runs the exchanges: true when all gave their responses. A wrong response is a deviation;
  // a failure is one unless `fault_allows`.
  bool RunExchanges(const char* what, bool fault_allows) {
    for (const auto& [apdu, due] : RandomExchanges()) {
      Bytes response;
      const Status status = Command(apdu, &response);
      if (status != STATUS_SUCCESS) return Failed(what, status, fault_allows);
      if (response != due) {
        powered_ = false;
        return Deviate(what,
                       Hex(apdu) + " gave " + Hex(response) + " where " + Hex(due) + " was due");
      }
    }
    return true;
  }

  // Plants a fault as the simulator's console words it, "{}" filled in with `args`; the
  // operation is tallied under its name (the words before the first "{").
  template <typename... Args>
  void Plant(std::string_view format, const Args&... args) {
    fault_ = format.substr(0, format.find(" {"));
    std::istringstream command(fmt::format(fmt::runtime(format), args...));
    std::vector<std::string> words;
    for (std::string word; command >> word;) words.push_back(word);
    const std::string said = sim::ApplyFault(*sim_, words[0], std::span(words).subspan(1));
    if (!said.starts_with("ok")) Deviate(fault_, "not planted: " + said);
  }

  // Waits until the driver has taken in all the reader has sent: the simulator has handed it
  // to the line, the port holds none of it, the listener waits again and no pass runs.
  bool Settle() {
    const bool settled = sim_->WaitIdle(milliseconds(10000)) && testutil::WaitUntil([&] {
                           return port_->receive_queue() == 0 && port_->has_pending_wait();
                         });
    host_->platform().DrainWorkQueue();
    return settled;
  }

  void Insert(size_t model) {
    model_ = model;
    sim_->InsertCard(kModels[model].name);
    expected_atr_ = sim::MakeCard(kModels[model].name)->Reset();
    powered_ = false;
  }

  // --- bookkeeping: each gives false, for the caller to return ---

  // A failure must have an error status, and a fault of this operation to explain it unless
  // `explained`. After a failure the application starts over, as a PC/SC one does.
  bool Failed(const std::string& what, Status status, bool explained = false) {
    failed_ = true;
    powered_ = false;
    if (!NT_ERROR(status)) return Deviate(what, StatusName(status) + " is not an error status");
    if (!explained) Unexplained(what, "failed with " + StatusName(status));
    return false;
  }
  // Right after an operation with a fault the reader may still be sending what that fault left
  // on the line (stray bytes, the rest of a block the driver gave up on), and the next command
  // can take it for its answer: once, that is the fault's doing, as an application that tries
  // again finds.
  bool Unexplained(const std::string& what, const std::string& detail) {
    if (!std::exchange(after_fault_, false)) return Deviate(what, detail);
    ++settled_;
    return false;
  }
  bool Deviate(const std::string& what, const std::string& detail) {
    deviations_.push_back(fmt::format("#{} {} ({}{}): {}", operation_, what, kind_,
                                      fault_.empty() ? "" : ", " + fault_, detail));
    if (deviations_.size() > 20) return false;
    fmt::print("DEVIATION {}\n", deviations_.back());
    const auto entries =
        options_.transcripts ? sim_->transcript().entries : std::vector<sim::TranscriptEntry>{};
    for (size_t i = entries.size() > 40 ? entries.size() - 40 : 0; i < entries.size(); ++i) {
      fmt::print("    {:10.3f} ms  {}\n",
                 std::chrono::duration<double, std::milli>(entries[i].at).count(),
                 entries[i].ToString());
    }
    return false;
  }
  bool Chance(unsigned percent) { return Pick(100) < percent; }
  size_t Pick(size_t n) { return n == 0 ? 0 : static_cast<size_t>(random_() % n); }

  const Options options_;
  std::mt19937_64 random_;
  host::Host* host_ = nullptr;
  sim::ReaderSim* sim_ = nullptr;
  serial::SerialPort* port_ = nullptr;
  std::unique_ptr<host::Reader> reader_;
  size_t model_ = 0;
  Bytes expected_atr_ = sim::MakeCard(kModels[0].name)->Reset();
  bool powered_ = false;
  bool t1_ = false;

  std::uint64_t operation_ = 0;
  const char* kind_ = "apdu";
  std::string fault_;
  bool failed_ = false;
  bool after_fault_ = false;  // the operation before had a fault
  std::uint64_t settled_ = 0;
  struct Tally {
    std::uint64_t count = 0;
    std::uint64_t failed = 0;
    double longest_s = 0;
  };
  std::map<std::string, Tally> tallies_;
  std::vector<std::string> deviations_;
};

}  // namespace tolvex::stress
