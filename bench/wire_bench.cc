// Benchmarks against the wire: APDUs, a cold reset with PTS and start-up, on an in-process
// host with the simulator paced at the real wires' speed, each set against the wire model
// (wire_model.h). Every benchmark reports, per iteration:
//   achieved_ms  the wall-clock time the host took
//   pauses_ms    of which the driver's own deliberate pauses (the platform's recorded delays:
//                the 200 ms after switching the card off, set-up's pauses, ...)
//   model_ms     the least time on the wires
//   ratio        (achieved - pauses) / model: 1 is as fast as the wires allow
//   eob_ms       of the model, the waits for end-of-block reports (T=1)
// The APDU benchmarks split both sides into phases (Phases in wire_model.h): the model's least
// time of each (m_frames_ms, m_card_in_ms, m_turn_ms, m_reply_ms and eob_ms) and what was
// achieved, read off the simulator's transcript (frames_ms, card_in_ms, turn_ms, reply_ms,
// eob_wait_ms, host_ms). host_ms is the driver's and library's own time where it adds to the
// APDU's: from the call to its first frame, between the reader's last byte and the host's next
// frame unless the card was still taking characters then, and from the last byte to the
// return. host_gaps_ms is the time between the reader's last byte and the host's next frame,
// all of it, host_frames the host's frames an APDU. phase_check counts APDUs whose transcript did
// not match the timing replayed here (0 expected). And the insertion of a card to the end of an
// application's wait for it.
// `--trace` prints the simulator's transcript with each entry's wire time (ms since its start).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "bench/wire_model.h"
#include "host/host.h"
#include "host/reader.h"
#include "platform/platform.h"
#include "platform/winsmcrd.h"
#include "sim/application.h"
#include "sim/atr.h"
#include "sim/reader_sim.h"

namespace tolvex::bench {
namespace {

using host::Power;
using host::Reader;
using host::status::kSuccess;
using WallClock = std::chrono::steady_clock;

constexpr std::uint32_t kT0 = 1;       // SCARD_PROTOCOL_T0
constexpr std::uint32_t kT1 = 2;       // SCARD_PROTOCOL_T1
constexpr const char* kCard = "dual";  // T=0, or T=1 after a PTS; TA1 13 (F 372, D 4)

bool g_trace = false;
int g_iterations = 0;  // --iterations N: this many of every benchmark (0: their own numbers)

double Ms(Nanos t) {
  return std::chrono::duration<double, std::milli>(t).count();
}

sim::ReaderOptions PacedOptions() {
  sim::ReaderOptions options;
  options.paced = true;
  if (g_trace) {
    options.observer = [](const sim::TranscriptEntry& entry) {
      std::fprintf(stderr, "%10.3f  %s\n", Ms(entry.at), entry.ToString().c_str());
    };
  }
  return options;
}

// A host with the paced simulated reader on port 0 and the dual card in it; the card reset
// and its protocol selected when `protocol` is given.
class Session {
 public:
  bool Start() {
    sim_ = &host_.AddSimulatedPort(0, PacedOptions());
    sim_->InsertCard(kCard, false);
    host_.platform().clock().StartRecording();
    if (host_.Start() != kSuccess) return false;
    auto [status, reader] = Reader::Open(host_, 0);
    reader_ = std::move(reader);
    return reader_ != nullptr;
  }
  bool Select(std::uint32_t protocol) {
    auto power = reader_->PowerCard(Power::kColdReset);
    if (power.status != kSuccess) return false;
    atr_ = power.value;
    const auto selected = reader_->SetProtocol(protocol);
    return selected.status == kSuccess && selected.value == protocol;
  }

  // The wires as the simulator has them and the driver programmed the reader.
  Wires Model() const {
    Wires wires;
    wires.timing = sim_->options().timing;
    wires.atr_delay_clocks = sim_->options().atr_delay_clocks;
    sim_->WithCard([&](sim::Card& card) {
      wires.card.clocks_per_etu = card.clocks_per_etu();
      wires.card.protocol = std::max(card.protocol(), 0);
    });
    wires.card.guard = (sim_->register_value(1) & 0xFF) | (sim_->register_value(2) & 0x80) << 1;
    wires.card.cwt_etu = sim_->register_value(5);
    const sim::AtrInfo atr = sim::ParseAtr(atr_);
    wires.card.ifsc = atr.ifsc;
    wires.card.edc_size = atr.crc ? 2 : 1;
    const auto ifsd = reader_->AttributeNumber(SCARD_ATTR_MAX_IFSD);
    if (ifsd.status == kSuccess) wires.card.ifsd = ifsd.value;
    return wires;
  }

  // The delays the driver asked for since the last call, in ms.
  double TakePauses() {
    platform::Clock& clock = host_.platform().clock();
    const std::vector<ULONG> delays = clock.DelaysMs();
    clock.ClearRecords();
    return std::accumulate(delays.begin(), delays.end(), 0.0);
  }

  Reader& reader() { return *reader_; }
  sim::ReaderSim& sim() { return *sim_; }
  const sim::Bytes& atr() const { return atr_; }

 private:
  host::Host host_;
  sim::ReaderSim* sim_ = nullptr;
  std::unique_ptr<Reader> reader_;
  sim::Bytes atr_;
};

// Sums of the iterations, reported as means.
struct Totals {
  double achieved = 0, pauses = 0, model = 0;
  Phases model_phases, achieved_phases;
  Nanos gaps{};
  int frames = 0;
  int unmatched = 0;
  bool phased = false;  // the achieved phases were added
  void Add(double achieved_ms, double pauses_ms, const WireTime& time) {
    achieved += achieved_ms;
    pauses += pauses_ms;
    model += Ms(time.total);
    model_phases += time.phases;
  }
  void AddPhases(const Achieved& phases) {
    phased = true;
    achieved_phases += phases.phases;
    gaps += phases.gaps;
    frames += phases.frames;
    if (!phases.matched) ++unmatched;
  }
  void Report(benchmark::State& state, const WireTime& last) const {
    const double n = static_cast<double>(std::max<std::int64_t>(state.iterations(), 1));
    state.counters["achieved_ms"] = achieved / n;
    state.counters["pauses_ms"] = pauses / n;
    state.counters["model_ms"] = model / n;
    state.counters["eob_ms"] = Ms(model_phases.block_end) / n;
    state.counters["ratio"] = model > 0 ? (achieved - pauses) / model : 0;
    if (phased) {
      const std::pair<const char*, Nanos> counters[] = {
          {"m_frames_ms", model_phases.frames},
          {"m_card_in_ms", model_phases.card_in},
          {"m_turn_ms", model_phases.turnaround},
          {"m_reply_ms", model_phases.reply},
          {"frames_ms", achieved_phases.frames},
          {"card_in_ms", achieved_phases.card_in},
          {"turn_ms", achieved_phases.turnaround},
          {"reply_ms", achieved_phases.reply},
          {"eob_wait_ms", achieved_phases.block_end},
          {"host_ms", achieved_phases.host},
          {"host_gaps_ms", gaps},
      };
      for (const auto& [name, total] : counters) state.counters[name] = Ms(total) / n;
      state.counters["host_frames"] = frames / n;
      state.counters["phase_check"] = unmatched;
    }
    state.SetLabel(Describe(last));
  }
};

Nanos ToNanos(double ms) {
  return std::chrono::duration_cast<Nanos>(std::chrono::duration<double, std::milli>(ms));
}

// Extended lengths (ISO/IEC 7816-4) beyond a short APDU's 255 bytes in or 256 out: a 00, then
// Lc and Le in two bytes each.
sim::Bytes ExtendedCommand(int in, int out) {
  auto two = [](sim::Bytes& bytes, int n) {
    bytes.push_back(static_cast<std::uint8_t>(n >> 8 & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(n & 0xFF));
  };
  if (in == 0) {  // GET CHALLENGE
    sim::Bytes apdu{0x00, sim::Application::kInsGetChallenge, 0x00, 0x00, 0x00};
    two(apdu, out);
    return apdu;
  }
  sim::Bytes apdu{sim::Application::kClaProprietary, sim::Application::kInsEcho, 0x00, 0x00, 0x00};
  two(apdu, in);
  for (int i = 0; i < in; ++i) apdu.push_back(static_cast<std::uint8_t>(i * 7 + 1));
  if (out > 0) two(apdu, out);
  return apdu;
}

sim::Bytes Command(int in, int out) {
  if (in > 255 || out > 256) return ExtendedCommand(in, out);
  if (in == 0 && out > 0) {  // GET CHALLENGE
    return {0x00, sim::Application::kInsGetChallenge, 0x00, 0x00,
            static_cast<std::uint8_t>(out & 0xFF)};
  }
  // ECHO: with no data a case 1 command (answered 6700); with data and no Le, under T=1 the
  // card answers 9000 alone, under T=0 61xx (the data waits for a GET RESPONSE not sent here);
  // with data and Le, under T=1 the data comes back, under T=0 it goes as the case without Le.
  sim::Bytes apdu{sim::Application::kClaProprietary, sim::Application::kInsEcho, 0x00, 0x00};
  if (in > 0) {
    apdu.push_back(static_cast<std::uint8_t>(in));
    for (int i = 0; i < in; ++i) apdu.push_back(static_cast<std::uint8_t>(i * 7 + 1));
    if (out > 0) apdu.push_back(static_cast<std::uint8_t>(out & 0xFF));
  }
  return apdu;
}

void BM_Apdu(benchmark::State& state, std::uint32_t protocol, int in, int out) {
  Session session;
  if (!session.Start() || !session.Select(protocol)) {
    state.SkipWithError("the reader or the card did not start");
    return;
  }
  const sim::Bytes apdu = Command(in, out);
  Apdu model{apdu, {}, 0, 0, false};
  // One command first: under T=1 it carries the IFSD announcement, made once after a reset.
  auto first = session.reader().Transmit(protocol, apdu);
  if (first.status != kSuccess) {
    state.SkipWithError("the first command failed");
    return;
  }
  if (protocol == kT1) {
    model.announce_ifsd = true;
    model.response = first.value;
    const WireTime warm = ApduTime(session.Model(), model);
    model.announce_ifsd = false;
    model.host_ns = warm.host_i_blocks & 1;
    model.card_ns = warm.card_i_blocks & 1;
  }
  const Wires wires = session.Model();
  (void)session.TakePauses();
  Totals totals;
  WireTime time;
  for (auto _ : state) {
    session.sim().ClearTranscript();
    const auto start = WallClock::now();
    auto response = session.reader().Transmit(protocol, apdu);
    const double achieved =
        std::chrono::duration<double, std::milli>(WallClock::now() - start).count();
    if (response.status != kSuccess) {
      state.SkipWithError("a command failed");
      return;
    }
    state.SetIterationTime(achieved / 1000);
    model.response = response.value;
    time = ApduTime(wires, model);
    model.host_ns ^= time.host_i_blocks & 1;
    model.card_ns ^= time.card_i_blocks & 1;
    totals.Add(achieved, session.TakePauses(), time);
    totals.AddPhases(TranscriptPhases(session.sim().transcript(), wires, ToNanos(achieved)));
  }
  totals.Report(state, time);
}

// The first command after a reset with PTS: under T=1 the host announces its IFSD first, in
// a block exchange of its own. The reset is not timed.
void BM_FirstApdu(benchmark::State& state, std::uint32_t protocol, int in, int out) {
  Session session;
  if (!session.Start()) {
    state.SkipWithError("the reader did not start");
    return;
  }
  const sim::Bytes apdu = Command(in, out);
  Totals totals;
  WireTime time;
  for (auto _ : state) {
    state.PauseTiming();
    const bool selected = session.Select(protocol);
    const Wires wires = session.Model();
    (void)session.TakePauses();
    session.sim().ClearTranscript();
    state.ResumeTiming();
    if (!selected) {
      state.SkipWithError("the reset or the PTS failed");
      return;
    }
    const auto start = WallClock::now();
    auto response = session.reader().Transmit(protocol, apdu);
    const double achieved =
        std::chrono::duration<double, std::milli>(WallClock::now() - start).count();
    if (response.status != kSuccess) {
      state.SkipWithError("the command failed");
      return;
    }
    state.SetIterationTime(achieved / 1000);
    time = ApduTime(wires, Apdu{apdu, response.value, 0, 0, protocol == kT1});
    totals.Add(achieved, session.TakePauses(), time);
    totals.AddPhases(TranscriptPhases(session.sim().transcript(), wires, ToNanos(achieved)));
  }
  totals.Report(state, time);
}

sim::Bytes PtsRequest(std::uint32_t protocol, std::uint8_t ta1) {
  sim::Bytes pts{0xFF, static_cast<std::uint8_t>(protocol == kT1 ? 0x11 : 0x10), ta1};
  pts.push_back(static_cast<std::uint8_t>(pts[0] ^ pts[1] ^ pts[2]));
  return pts;
}

// The reset with the PTS the driver could make: TA1's speed when the card speaks it now,
// else the default one (the reader runs only the speeds it declares).
WireTime ResetModel(const Session& session, std::uint32_t protocol) {
  const sim::AtrInfo atr = sim::ParseAtr(session.atr());
  const Wires wires = session.Model();
  const std::uint8_t ta1 = atr.ta1.value_or(0x11);
  const std::uint8_t pts1 = sim::ClocksPerEtu(ta1) == wires.card.clocks_per_etu ? ta1 : 0x11;
  return ColdResetTime(wires, session.atr(), PtsRequest(protocol, pts1), wires.card.clocks_per_etu);
}

void BM_ColdResetPts(benchmark::State& state, std::uint32_t protocol) {
  Session session;
  if (!session.Start() || !session.Select(protocol)) {
    state.SkipWithError("the reader or the card did not start");
    return;
  }
  (void)session.TakePauses();
  Totals totals;
  WireTime time;
  for (auto _ : state) {
    const auto start = WallClock::now();
    if (!session.Select(protocol)) {
      state.SkipWithError("the reset or the PTS failed");
      return;
    }
    const double achieved =
        std::chrono::duration<double, std::milli>(WallClock::now() - start).count();
    state.SetIterationTime(achieved / 1000);
    time = ResetModel(session, protocol);
    totals.Add(achieved, session.TakePauses(), time);
  }
  totals.Report(state, time);
}

// From a host with nothing started to the answer to its first command (GET CHALLENGE of 8
// bytes): the driver's set-up, the reset with PTS, the IFSD announcement under T=1, the
// command. The model: reading the reader's revision (the least a host must ask before it
// knows the reader is there), the reset with PTS and the command.
void BM_StartUp(benchmark::State& state, std::uint32_t protocol) {
  const sim::Bytes apdu = Command(0, 8);
  Totals totals;
  WireTime time;
  for (auto _ : state) {
    const auto start = WallClock::now();
    Session session;
    if (!session.Start() || !session.Select(protocol)) {
      state.SkipWithError("the reader or the card did not start");
      return;
    }
    auto response = session.reader().Transmit(protocol, apdu);
    const double achieved =
        std::chrono::duration<double, std::milli>(WallClock::now() - start).count();
    if (response.status != kSuccess) {
      state.SkipWithError("the first command failed");
      return;
    }
    state.SetIterationTime(achieved / 1000);
    const Wires wires = session.Model();
    WireClock identify(wires);
    identify.Register(0);
    const WireTime reset = ResetModel(session, protocol);
    time = ApduTime(wires, Apdu{apdu, response.value, 0, 0, protocol == kT1});
    time.total += identify.time().total + reset.total;
    time.phases += identify.time().phases;
    time.phases += reset.phases;
    time.host_to_reader += identify.time().host_to_reader + reset.host_to_reader;
    time.reader_to_host += identify.time().reader_to_host + reset.reader_to_host;
    time.to_card += reset.to_card;
    time.from_card += reset.from_card;
    totals.Add(achieved, session.TakePauses(), time);
  }
  totals.Report(state, time);
}

// Insertion to the application's wake-up: a wait for a card in flight (as pcscd keeps one), the
// card put in, timed from the insertion to the end of the wait. The model: the reader's report
// (10 85) on the serial line. The card is taken out again between iterations, not timed.
void BM_Insertion(benchmark::State& state) {
  Session session;
  if (!session.Start()) {
    state.SkipWithError("the reader did not start");
    return;
  }
  constexpr std::chrono::seconds kLimit(5);
  session.sim().RemoveCard();
  if (session.reader().WaitForCard(host::CardWait::kAbsent, kLimit) != kSuccess) {
    state.SkipWithError("the card did not go out");
    return;
  }
  (void)session.TakePauses();
  Totals totals;
  WireTime time;
  time.total = session.sim().options().timing.SerialBytes(2);
  time.reader_to_host = 2;
  for (auto _ : state) {
    const std::unique_ptr<host::Request> wait =
        session.reader().StartWaitForCard(host::CardWait::kPresent);
    if (wait == nullptr || wait->done()) {
      state.SkipWithError("the wait for a card did not stay in flight");
      return;
    }
    const auto start = WallClock::now();
    session.sim().InsertCard(kCard);
    const host::Status status = wait->Wait(kLimit);
    const double achieved =
        std::chrono::duration<double, std::milli>(WallClock::now() - start).count();
    if (status != kSuccess) {
      state.SkipWithError("the wait did not end with the card in");
      return;
    }
    state.SetIterationTime(achieved / 1000);
    totals.Add(achieved, session.TakePauses(), time);
    session.sim().RemoveCard();
    if (session.reader().WaitForCard(host::CardWait::kAbsent, kLimit) != kSuccess) {
      state.SkipWithError("the card did not go out");
      return;
    }
    (void)session.TakePauses();
  }
  totals.Report(state, time);
}

std::int64_t Iterations(std::int64_t own) {
  return g_iterations > 0 ? g_iterations : own;
}

void Register() {
  const std::int64_t apdu_iterations = Iterations(5);
  for (std::uint32_t protocol : {kT0, kT1}) {
    const std::string p = protocol == kT0 ? "T0" : "T1";
    struct Shape {
      int in, out;
    };
    for (const Shape shape : {Shape{0, 0}, Shape{16, 0}, Shape{64, 0}, Shape{128, 0}, Shape{255, 0},
                              Shape{255, 255}, Shape{0, 8}, Shape{0, 256}}) {
      const std::string name =
          "apdu/" + p + "/in:" + std::to_string(shape.in) + "/out:" + std::to_string(shape.out);
      benchmark::RegisterBenchmark(name.c_str(), BM_Apdu, protocol, shape.in, shape.out)
          ->UseManualTime()
          ->Iterations(apdu_iterations)
          ->Unit(benchmark::kMillisecond);
    }
  }
  // Extended lengths, T=1 only: ECHO of 1,024 and 4,096 bytes, both ways.
  for (const int n : {1024, 4096}) {
    const std::string name = "apdu/T1/in:" + std::to_string(n) + "/out:" + std::to_string(n);
    benchmark::RegisterBenchmark(name.c_str(), BM_Apdu, kT1, n, n)
        ->UseManualTime()
        ->Iterations(Iterations(3))
        ->Unit(benchmark::kMillisecond);
  }
  for (std::uint32_t protocol : {kT0, kT1}) {
    const std::string p = protocol == kT0 ? "T0" : "T1";
    benchmark::RegisterBenchmark(("first_apdu/" + p + "/in:0/out:8").c_str(), BM_FirstApdu,
                                 protocol, 0, 8)
        ->UseManualTime()
        ->Iterations(Iterations(3))
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("cold_reset_pts/" + p).c_str(), BM_ColdResetPts, protocol)
        ->UseManualTime()
        ->Iterations(Iterations(3))
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("start_up/" + p).c_str(), BM_StartUp, protocol)
        ->UseManualTime()
        ->Iterations(Iterations(2))
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("insertion", BM_Insertion)
      ->UseManualTime()
      ->Iterations(Iterations(10))
      ->Unit(benchmark::kMillisecond);
}

}  // namespace
}  // namespace tolvex::bench

int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && std::strcmp(argv[i], "--trace") == 0) {
      tolvex::bench::g_trace = true;
    } else if (i > 0 && i + 1 < argc && std::strcmp(argv[i], "--iterations") == 0) {
      tolvex::bench::g_iterations = std::atoi(argv[++i]);
    } else {
      args.push_back(argv[i]);
    }
  }
  int n = static_cast<int>(args.size());
  tolvex::bench::Register();
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
