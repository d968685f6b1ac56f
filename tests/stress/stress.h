// The stress run (stress.cc tells what it does): the checks on each operation.
#pragma once

#include <fmt/core.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "../support/sim_frames.h"
#include "../support/wait.h"
#include "host/pty_simulator.h"
#include "host/reader.h"
#include "platform/platform.h"
#include "platform/winsmcrd.h"
#include "serial/serial_port.h"
#include "sim/application.h"
#include "sim/reader_sim.h"

namespace tolvex::stress {

using host::Status;
using host::StatusName;
using sim::Bytes;
using sim::Hex;
using namespace std::chrono_literals;

// The Reader's calls on the card (power, protocol selection, transmit) take no time-out: the
// soak, as the application, allows each operation this, far beyond the few seconds that any
// one fault costs. Each wait for the card to come or go is given kCardWait.
inline constexpr auto kOperationLimit = 240s;
inline constexpr auto kCardWait = 10s;
inline constexpr unsigned kFaultShare = 25;  // percent of the APDUs with a fault planted before
inline constexpr unsigned kSlowShare = 10;   // percent of the faults that end by time-outs
inline constexpr auto kPtySettled = 100ms;

// Where the simulated reader sits: on the host's in-memory port, or on the master side of a
// pseudo-terminal whose slave device the host opens as a real serial port (termios).
enum class LineKind { kMemory, kPty };

class Stress {
 public:
  std::uint64_t operations = 10000;
  std::uint64_t apdus = 0;  // when not 0: operations until this many APDUs went out
  std::uint64_t seed = 1;   // of the operations and of the reader's timing
  unsigned burners = 2;
  LineKind line = LineKind::kMemory;
  bool transcripts = false;
  int Run();  // 0 without deviations

 private:
  // The operations (operations.cc), and one drawn by its share.
  void Apdu();
  void FaultyApdu();
  void PtsRefused();
  void DsrDrop();
  void IfsThenResynch();
  void GoodReset();
  void FailedReset();
  void RemovalMidExchange();
  void CardChange();
  void Tracking();
  void Operate();

  // The host with its reader on port 0 (stress.cc): false (the reason printed) when it does
  // not start. StopHost unloads it and checks that it left no memory.
  bool StartHost();
  void StopHost();
  // The process's threads, and its open descriptors with what each names ("3 -> /dev/ptmx").
  struct Open {
    std::ptrdiff_t threads = 0;
    std::set<std::string> descriptors;
  };
  static Open Leftovers();

  host::Result<Bytes> Transmit(std::uint32_t protocol, const Bytes& apdu) {
    ++apdus_sent_;
    return reader_->Transmit(protocol, apdu);
  }

  // Resets the card (powering it up): false, the failure noted, unless it gives its ATR.
  bool Reset(host::Power how, const char* what) {
    powered_ = false;
    const auto [status, atr] = reader_->PowerCard(how);
    if (status != STATUS_SUCCESS) return Failed(what, status);
    return atr == expected_atr_ ||
           Deviate(what, "ATR " + Hex(atr) + " where the card's is " + Hex(expected_atr_));
  }

  // Powers the card up and selects a protocol its model's name says it speaks: T=0 or T=1 by
  // choice where it speaks both (T=1 if `t1_first`). False (the failure noted) when that fails.
  bool Ready(bool t1_first = false) {
    auto speaks = [&](const char* t) { return model_ == "dual" || model_.starts_with(t); };
    if (powered_ && !t1_first && !Chance(10)) return true;  // now and then a fresh start anyway
    const bool t1 = speaks("t1") && (!speaks("t0") || t1_first || Chance(50));
    if (powered_ && t1 == t1_) return true;
    t1_ = t1;
    if (!Reset(host::Power::kColdReset, "power-up")) return false;
    const std::uint32_t wanted = t1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    const auto [selecting, selected] = reader_->SetProtocol(wanted);
    if (selecting != STATUS_SUCCESS) return Failed("protocol", selecting);
    if (selected != wanted) return Deviate("protocol", fmt::format("{} for {}", selected, wanted));
    return powered_ = true;
  }

  // One command as an application sends it; under T=0, 61xx is followed by GET RESPONSE for
  // as many bytes as the command asked for, at most those the card has.
  host::Result<Bytes> Command(const Bytes& apdu) {
    const std::uint32_t protocol = t1_ ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    auto result = Transmit(protocol, apdu);
    const Bytes& sw = result.value;
    if (result.status != STATUS_SUCCESS || t1_ || sw.size() != 2 || sw[0] != 0x61) return result;
    const auto available = sw[1] == 0 ? 256U : sw[1];
    const auto asked = apdu.back() == 0 ? 256U : apdu.back();
    return Transmit(protocol, Wire("00 C0 00 00 {:02X}", std::min(available, asked) & 0xFF));
  }

  // Bytes from hex text ("00 A4 ..."), "{}" filled in with `args`.
  template <typename... Args>
  static Bytes Wire(std::string_view format, const Args&... args) {
    Bytes bytes;
    if (!sim::ParseHex(fmt::format(fmt::runtime(format), args...), &bytes)) std::abort();
    return bytes;
  }
  // ECHO of `data`, Le `le` (256: 00).
  static Bytes Echo(const Bytes& data, size_t le) {
    return Wire("80 EE 00 00 {:02X} {} {:02X}", data.size(), Hex(data), le & 0xFF);
  }
  Bytes RandomBytes(size_t n) { return sim::Application::ChallengeBytes(random_(), n); }

  // Commands, each with the response it must give.
  std::vector<std::pair<Bytes, Bytes>> RandomExchanges() {
    const Bytes& aid = sim::Application::Aid();
    const Bytes& file = sim::Application::FileContents();
    switch (Pick(t1_ ? 4 : 3)) {
      case 3: {  // T=1: ECHO of extended length, 256 to 2,055 bytes both ways
        const Bytes data = RandomBytes(256 + Pick(1800));
        return {{Wire("80 EE 00 00 00 {:04X} {} 00 00", data.size(), Hex(data)),
                 Wire("{} 90 00", Hex(data))}};
      }
      case 0: {  // ECHO: up to 255 bytes in, up to 256 out
        const size_t lc = Chance(20) ? 255 - Pick(8) : 1 + Pick(120);
        const Bytes data = RandomBytes(lc);
        const size_t le = Chance(30) ? 256 : 1 + Pick(255);
        const std::string out = Hex(std::span(data).first(std::min(lc, le)));
        if (t1_ || lc <= le) return {{Echo(data, le), Wire("{} 90 00", out)}};
        // T=0 sends the command without Le: GET RESPONSE takes what was asked, and the card
        // tells of the rest.
        return {{Echo(data, le), Wire("{} 61 {:02X}", out, lc - le)}};
      }
      case 1:  // SELECT the application by its AID
        return {{Wire("00 A4 04 00 {:02X} {}", aid.size(), Hex(aid)), Wire("90 00")}};
      default: {  // SELECT the file, then READ BINARY somewhere inside it
        const size_t le = 1 + Pick(200);
        const size_t offset = Pick(file.size() - le + 1);
        return {{Wire("00 A4 00 00 02 01 01"), Wire("90 00")},
                {Wire("00 B0 {:04X} {:02X}", offset, le),
                 Wire("{} 90 00", Hex(std::span(file).subspan(offset, le)))}};
      }
    }
  }

  // True when all the exchanges gave their responses; a failure is a deviation unless allowed.
  bool RunExchanges(const char* what, bool fault_allows) {
    for (const auto& [apdu, due] : RandomExchanges()) {
      const auto [status, got] = Command(apdu);
      if (status != STATUS_SUCCESS) return Failed(what, status, fault_allows);
      if (got != due)
        return Deviate(what,
                       "wrong answer: " + Hex(apdu) + " gave " + Hex(got) + ", not " + Hex(due));
    }
    return true;
  }

  // Plants a fault as the simulator's console words it, "{}" filled in with `args`; deviations
  // name it by the words before the first "{".
  template <typename... Args>
  void Plant(std::string_view format, const Args&... args) {
    fault_ = format.substr(0, format.find(" {"));
    std::istringstream command(fmt::format(fmt::runtime(format), args...));
    const std::vector<std::string> words(std::istream_iterator<std::string>{command}, {});
    const std::string said = sim::ApplyFault(*sim_, words[0], std::span(words).subspan(1));
    if (!said.starts_with("ok")) Deviate(fault_, "not planted: " + said);
  }

  // Waits until the driver has taken in all the reader has sent: the simulator has handed it
  // to the line, the port holds none of it, the listener waits again and no pass runs. On a
  // pseudo-terminal the kernel hands the bytes written to the master on to the slave's side
  // later, on a worker of its own, where nothing tells they are on their way: there, all this
  // must hold for kPtySettled on end.
  bool Settle() {
    const auto* port = serial::PortOf(host_->platform().FindDevice(u"\\Device\\Serial0"));
    auto taken = [&] {
      return (!pty_ || pty_->Pending() == 0) && port->receive_queue() == 0 &&
             port->has_pending_wait();
    };
    auto stays_taken = [&] {
      if (!taken()) return false;
      const auto until = std::chrono::steady_clock::now() + kPtySettled;
      while (std::chrono::steady_clock::now() < until) {
        if (!taken()) return false;
        std::this_thread::sleep_for(1ms);
      }
      return true;
    };
    const bool settled =
        sim_->WaitIdle(10s) &&
        (line == LineKind::kMemory ? testutil::WaitUntil(taken) : testutil::WaitUntil(stays_taken));
    host_->platform().DrainWorkQueue();
    return settled;
  }

  void Insert(std::string_view model) {
    model_ = model;
    sim_->InsertCard(model);
    expected_atr_ = sim::MakeCard(model)->Reset();
    powered_ = false;
  }

  // Bookkeeping, each giving false for the caller to return. A failure must have an error
  // status, and a fault of this operation to explain it unless `explained`. Right after a fault
  // the reader may still be sending what it left on the line (stray bytes, the rest of a block
  // the driver gave up on), and the next command can take it for its answer: once, that is the
  // fault's doing, as an application that tries again finds.
  bool Failed(const std::string& what, Status status, bool explained = false) {
    if (!NT_ERROR(status)) return Deviate(what, StatusName(status) + " is not an error status");
    if (!explained && !std::exchange(after_fault_, false)) return Deviate(what, StatusName(status));
    powered_ = false;  // the application starts over, as a PC/SC one does
    return false;
  }
  bool Deviate(const std::string& what, const std::string& detail) {  // and starts over
    ++deviations_;
    powered_ = false;
    fmt::print("DEVIATION #{} {} ({}{}): {}\n", operation_, what, kind_,
               fault_.empty() ? "" : ", " + fault_, detail);
    if (!transcripts || !sim_) return false;
    for (const auto& entry : sim_->transcript().entries) {  // this operation's
      fmt::print("    {:10.3f} ms  {}\n", entry.at.count() / 1e6, entry.ToString());
    }
    return false;
  }
  bool Chance(unsigned percent) { return Pick(100) < percent; }
  size_t Pick(size_t n) { return n == 0 ? 0 : static_cast<size_t>(random_() % n); }

  std::mt19937_64 random_;
  std::unique_ptr<host::Host> host_;
  std::unique_ptr<host::PtySimulator>
      pty_;  // the pseudo-terminal and its simulator (LineKind::kPty)
  sim::ReaderSim* sim_ = nullptr;
  unsigned starts_ = 0;  // hosts started
  std::unique_ptr<host::Reader> reader_;
  std::string_view model_ = sim::CardModels()[0];
  Bytes expected_atr_ = sim::MakeCard(model_)->Reset();
  bool powered_ = false;
  bool t1_ = false;

  std::uint64_t operation_ = 0;
  const char* kind_ = "apdu";
  std::string fault_;
  bool after_fault_ = false;                   // the operation before had a fault
  std::atomic<std::uint64_t> apdus_sent_ = 0;  // a removal's exchange runs on its own thread
  std::uint64_t restarts_ = 0;
  std::uint64_t deviations_ = 0;
};

}  // namespace tolvex::stress
