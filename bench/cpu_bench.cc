// What the driver costs the machine: APDUs a second and CPU per APDU on the unpaced simulated
// reader, and what an open reader does while its line is quiet.
//
//   Apdu/t1, Apdu/t0   GET CHALLENGE of 8 bytes, again and again, over Reader::Transmit with
//                      the simulated reader on an in-memory line, unpaced, the driver's pauses
//                      skipped. APDU/s is per wall-clock second; cpu_us/APDU and the context
//                      switches are the whole process's (the driver's work runs on the
//                      platform's threads), from getrusage: the benchmark's own CPU column is
//                      its calling thread's only. The label gives the context switches per
//                      APDU by thread; port_req/APDU and the rest count the serial port's
//                      requests over 20 more APDUs; rss_B/APDU is the growth of the peak
//                      resident size. TOLVEX_APDU_ITERATIONS=N runs exactly N APDUs.
//   QuietLine/...      an open reader with a card-tracking request in flight (as the pcscd
//                      driver keeps one), the card out, in, or in and powered with T=1
//                      selected after one APDU; on the memory line (simulator unpaced) or on a
//                      pseudo-terminal with the simulator on its master (driver's pauses
//                      kept). Nothing is sent for TOLVEX_QUIET_SECONDS (10 by default).
//                      Counted per thread from /proc/self/task: context switches (wake-ups)
//                      and CPU time, leaving out the benchmark's own thread and the
//                      pseudo-terminal's simulator thread; the label names the threads that
//                      woke, with how often.
//
// Run: build-rel/bench/cpu_bench [--benchmark_filter=Apdu] (see --help).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host/host.h"
#include "host/pty_simulator.h"
#include "host/reader.h"
#include "platform/ntddser.h"
#include "platform/platform.h"
#include "serial/serial_port.h"
#include "sim/reader_sim.h"

namespace {

using tolvex::host::CardWait;
using tolvex::host::Host;
using tolvex::host::Power;
using tolvex::host::PtySimulator;
using tolvex::host::Reader;

constexpr std::uint32_t kT0 = 1, kT1 = 2;
constexpr std::array<std::uint8_t, 5> kGetChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};

// ---- per thread, from /proc/self/task ----

pid_t ThreadId() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

struct ThreadUse {
  std::string name;
  long switches = 0;  // voluntary and involuntary
  double cpu_ns = 0;  // schedstat's time on the CPU
};

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::map<pid_t, ThreadUse> Threads() {
  std::map<pid_t, ThreadUse> threads;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    ThreadUse use;
    std::istringstream status(ReadFile(task.path() / "status"));
    for (std::string line; std::getline(status, line);) {
      const auto value = [&] { return std::atol(line.substr(line.find(':') + 1).c_str()); };
      if (line.rfind("Name:", 0) == 0) use.name = line.substr(line.find_first_not_of(" \t", 5));
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) use.switches += value();
      if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) use.switches += value();
    }
    std::istringstream(ReadFile(task.path() / "schedstat")) >> use.cpu_ns;
    threads[static_cast<pid_t>(std::stol(task.path().filename()))] = use;
  }
  return threads;
}

std::string WokenBy(const std::map<pid_t, ThreadUse>& before,
                    const std::map<pid_t, ThreadUse>& after, pid_t caller, double per) {
  std::map<std::string, long> by_name;
  for (const auto& [tid, use] : after) {
    const auto was = before.find(tid);
    const long woke = use.switches - (was == before.end() ? 0 : was->second.switches);
    if (woke > 0) by_name[tid == caller ? "caller" : use.name] += woke;
  }
  std::string label;
  for (const auto& [name, woke] : by_name) {
    char text[64];
    std::snprintf(text, sizeof(text), "%s%s:%.2f", label.empty() ? "" : " ", name.c_str(),
                  static_cast<double>(woke) / per);
    label += text;
  }
  return label;
}

struct Usage {
  double cpu_s = 0;
  long voluntary = 0, involuntary = 0;
  long max_rss_kb = 0;
  static Usage Now() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return {seconds(r.ru_utime) + seconds(r.ru_stime), r.ru_nvcsw, r.ru_nivcsw, r.ru_maxrss};
  }
};

// A started host with the unpaced simulated reader on port 0, its card powered and the
// protocol selected; `error` says what failed.
struct ApduSession {
  Host host{Host::Options{.skip_delays = true}};
  std::unique_ptr<Reader> reader;
  std::string error;

  ApduSession(const char* model, std::uint32_t protocol) {
    host.AddSimulatedPort(0).InsertCard(model, /*report=*/false);
    if (host.Start() != tolvex::host::status::kSuccess) {
      error = "the host did not start";
      return;
    }
    auto opened = Reader::Open(host, 0);
    reader = std::move(opened.value);
    if (!reader) {
      error = "the reader did not open";
    } else if (reader->PowerCard(Power::kColdReset).status != tolvex::host::status::kSuccess) {
      error = "no ATR";
    } else if (auto selected = reader->SetProtocol(protocol); selected.value != protocol) {
      error = "the protocol was not selected";
    }
  }
  ~ApduSession() {
    reader.reset();
    (void)host.Stop();
  }
};

void Apdu(benchmark::State& state, const char* model, std::uint32_t protocol) {
  ApduSession session(model, protocol);
  if (!session.error.empty()) return state.SkipWithError(session.error.c_str());
  const auto threads_before = Threads();
  const Usage before = Usage::Now();
  for (auto _ : state) {
    const auto [status, response] = session.reader->Transmit(protocol, kGetChallenge);
    if (status != tolvex::host::status::kSuccess || response.size() != 10 || response[8] != 0x90) {
      state.SkipWithError("the APDU failed");
      break;
    }
  }
  const Usage after = Usage::Now();
  const auto n = static_cast<double>(state.iterations());
  // The port's requests per APDU, over a few more of them (the port keeps a bounded record).
  if (!state.error_occurred()) {
    tolvex::platform::PlatformScope scope(session.host.platform());
    tolvex::serial::SerialPort* port =
        tolvex::serial::PortOf(session.host.platform().FindDevice(u"\\Device\\Serial0"));
    constexpr int kSampled = 20;
    port->ClearRequests();
    for (int i = 0; i < kSampled; ++i) {
      (void)session.reader->Transmit(protocol, kGetChallenge);
    }
    double reads = 0, status = 0, waits = 0, writes = 0, all = 0;
    for (const auto& request : port->Requests()) {
      ++all;
      reads += request.major == IRP_MJ_READ;
      writes += request.major == IRP_MJ_WRITE;
      status += request.code == IOCTL_SERIAL_GET_COMMSTATUS;
      waits += request.code == IOCTL_SERIAL_WAIT_ON_MASK;
    }
    state.counters["port_req/APDU"] = all / kSampled;
    state.counters["reads/APDU"] = reads / kSampled;
    state.counters["status/APDU"] = status / kSampled;
    state.counters["waits/APDU"] = waits / kSampled;
    state.counters["writes/APDU"] = writes / kSampled;
  }
  // Context switches per APDU by thread name ("caller": the benchmark's thread; the memory
  // line's delivery thread has no name of its own).
  state.SetLabel(WokenBy(threads_before, Threads(), ThreadId(), n));
  using benchmark::Counter;
  state.counters["APDU/s"] = Counter(n, Counter::kIsRate);
  state.counters["cpu_us/APDU"] = (after.cpu_s - before.cpu_s) * 1e6 / n;
  state.counters["vcsw/APDU"] = static_cast<double>(after.voluntary - before.voluntary) / n;
  state.counters["ivcsw/APDU"] = static_cast<double>(after.involuntary - before.involuntary) / n;
  // Memory that stays with every APDU shows as a peak that grows with the run.
  state.counters["rss_B/APDU"] =
      static_cast<double>(after.max_rss_kb - before.max_rss_kb) * 1024 / n;
}

// ---- the quiet line ----

enum class LineKind { kMemory, kPty };

enum class CardIs { kOut, kIn, kPowered };  // powered: T=1 selected, after one APDU

void QuietLine(benchmark::State& state, LineKind line, CardIs card_is) {
  const bool card = card_is != CardIs::kOut;
  const char* env = std::getenv("TOLVEX_QUIET_SECONDS");
  const auto quiet =
      std::chrono::milliseconds(static_cast<long>(1000 * (env != nullptr ? std::atof(env) : 10.0)));
  // The simulator on a pseudo-terminal's master wakes only when the host writes.
  std::optional<PtySimulator> pty;
  Host host;
  if (line == LineKind::kPty) {
    pty.emplace();
    if (!pty->ok()) return state.SkipWithError("no pseudo-terminal");
    if (card) pty->sim().InsertCard("t1", /*report=*/false);
    host.AddDevicePort(0, pty->path());
  } else {
    auto& sim = host.AddSimulatedPort(0);
    if (card) sim.InsertCard("t1", /*report=*/false);
  }
  if (host.Start() != tolvex::host::status::kSuccess) return state.SkipWithError("no reader");
  auto [opened, reader] = Reader::Open(host, 0);
  if (!reader) return state.SkipWithError("the reader did not open");
  if (card_is == CardIs::kPowered &&
      (reader->PowerCard(Power::kColdReset).status != tolvex::host::status::kSuccess ||
       reader->SetProtocol(kT1).value != kT1 ||
       reader->Transmit(kT1, kGetChallenge).status != tolvex::host::status::kSuccess)) {
    return state.SkipWithError("the card did not answer");
  }
  // As the pcscd driver keeps one: a wait for the card's next change, in flight.
  auto tracking = reader->StartWaitForCard(card ? CardWait::kAbsent : CardWait::kPresent);
  if (!tracking) return state.SkipWithError("no tracking request");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // start-up settles
  const pid_t self = ThreadId();
  const pid_t simulator = pty ? pty->thread_id() : 0;
  std::map<pid_t, ThreadUse> before, after;
  const Usage process_before = Usage::Now();
  for (auto _ : state) {
    before = Threads();
    std::this_thread::sleep_for(quiet);
    after = Threads();
  }
  const Usage process_after = Usage::Now();
  const bool still_waiting = !tracking->done();
  tracking.reset();  // cancels it
  reader.reset();
  (void)host.Stop();
  if (!still_waiting) return state.SkipWithError("the tracking request ended on a quiet line");

  long wakeups = 0;
  double cpu_ns = 0;
  std::map<std::string, long> by_name;
  for (const auto& [tid, use] : after) {
    if (tid == self || tid == simulator) continue;
    const auto was = before.find(tid);
    const long woke = use.switches - (was == before.end() ? 0 : was->second.switches);
    cpu_ns += use.cpu_ns - (was == before.end() ? 0 : was->second.cpu_ns);
    wakeups += woke;
    if (woke > 0) by_name[use.name] += woke;
  }
  if (std::getenv("TOLVEX_QUIET_THREADS") != nullptr) {  // every thread, for a closer look
    for (const auto& [tid, use] : after) {
      std::fprintf(stderr, "%d %-15s switches %ld cpu_ns %.0f\n", tid, use.name.c_str(),
                   use.switches, use.cpu_ns);
    }
  }
  std::string label;
  for (const auto& [name, woke] : by_name) {
    label += (label.empty() ? "" : " ") + name + ":" + std::to_string(woke);
  }
  state.SetLabel(label.empty() ? "no thread woke" : label);
  const double per_10s = 10'000.0 / static_cast<double>(quiet.count());
  state.counters["threads"] = static_cast<double>(after.size() - (pty ? 2 : 1));
  state.counters["wakeups/10s"] = static_cast<double>(wakeups) * per_10s;
  state.counters["cpu_ms/10s"] = cpu_ns / 1e6 * per_10s;
  state.counters["proc_cpu_ms/10s"] = (process_after.cpu_s - process_before.cpu_s) * 1e3 * per_10s;
}

BENCHMARK_CAPTURE(QuietLine, memory_card_out, LineKind::kMemory, CardIs::kOut)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(QuietLine, memory_card_in, LineKind::kMemory, CardIs::kIn)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(QuietLine, memory_card_powered, LineKind::kMemory, CardIs::kPowered)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(QuietLine, pty_card_out, LineKind::kPty, CardIs::kOut)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(QuietLine, pty_card_in, LineKind::kPty, CardIs::kIn)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(QuietLine, pty_card_powered, LineKind::kPty, CardIs::kPowered)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  // TOLVEX_APDU_ITERATIONS=N: exactly N APDUs each (for counts that do not depend on the
  // machine's load, e.g. instructions under perf stat, taken at two values of N).
  const char* fixed = std::getenv("TOLVEX_APDU_ITERATIONS");
  for (const auto& [name, model, protocol] :
       {std::tuple("Apdu/t1", "t1", kT1), std::tuple("Apdu/t0", "t0", kT0)}) {
    auto* bench = benchmark::RegisterBenchmark(
        name, [model = model, protocol = protocol](benchmark::State& state) {
          Apdu(state, model, protocol);
        });
    bench->UseRealTime();
    if (fixed != nullptr) {
      bench->Iterations(std::atol(fixed));
    } else {
      bench->MinTime(2.0);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
