// tolvex-stress: a fault soak of the driver against the simulated reader, many thousands of
// mixed operations, each checked for its result and for what went over the wire, with threads
// burning the processors beside it. The simulator sits on the host's in-memory port, or (--line
// pty) on the master side of a pseudo-terminal whose slave device the host opens as a serial
// port (termios and all); either way its timing is jittered at random from the seed.
//
// The operations (operations.cc): APDUs (ECHO up to 255 bytes in, chained under T=1; SELECT;
// READ BINARY) under T=0 and T=1 on the cards t0, t1, dual and their variants, a share of them
// with a fault planted before: the reader's and the card's (damaged bytes, noise, a lost
// end-of-block report, silence, negative answers, reader errors, WTX, IFS requests, card
// parity, PTS refused), the card pulled out while a Transmit is in flight (then put back), and
// on the memory line data-set-ready dropping (the reader is gone: the host is stopped and
// started again, and must work). Besides: resets good and failed, card changes and tracking
// racing the reader. After a failure the application powers the card up again, as a PC/SC
// application does.
//
// A deviation is: a wrong answer or ATR given as success; a failure without a fault to explain
// it; a failure that is not an error status; a Reader call past its bound (bounds.h) or an
// operation past kBound; after a failed reset, anything on the wire between the reset command
// and the reset's own power-off, or a wait run out that the reader or the card should have
// ended; a card change or removal not reported; a host that does not start again; memory,
// threads or descriptors left behind by a host. Exit status 0 when there is none, 1 otherwise.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "host/host.h"
#include "stress.h"

namespace tolvex::stress {

Stress::Stress() = default;
Stress::~Stress() = default;

std::pair<std::ptrdiff_t, std::ptrdiff_t> Stress::Leftovers() {
  using std::filesystem::directory_iterator;
  return std::pair(std::distance(directory_iterator("/proc/self/task"), {}),
                   std::distance(directory_iterator("/proc/self/fd"), {}));
}

bool Stress::LineEmpty() const {
  return !pty_ || pty_->Pending() == 0;
}

bool Stress::StartHost() {
  host_ = std::make_unique<host::Host>();
  if (line == LineKind::kPty) {
    sim_ = &pty_->sim();
    host_->AddDevicePort(0, pty_->path());
  } else {
    // Each host its own reader, its timing drawn from the seed and the host's number.
    sim_ = &host_->AddSimulatedPort(0, {.jitter = sim::Jitter{.seed = seed + starts_}});
    sim_->InsertCard(model_, false);
  }
  ++starts_;
  powered_ = false;
  const Status started = host_->Start();
  auto [opening, reader] = host::Reader::Open(*host_, 0);
  if (!(reader_ = std::move(reader))) {
    fmt::print("no reader: start-up {}, open {}\n", StatusName(started), StatusName(opening));
    return false;
  }
  return true;
}

void Stress::StopHost() {
  reader_.reset();
  if (!host_) return;
  if (const std::string left = host_->Stop(); !left.empty()) {
    Deviate("unload", "memory left allocated: " + left);
  }
  host_.reset();
  if (line == LineKind::kMemory) sim_ = nullptr;
}

void Stress::Tally(Call call, int protocol, double seconds) {
  const auto bound = BoundOf(call, protocol);
  const bool over = seconds * 1000 > static_cast<double>(bound.count());
  {
    std::lock_guard lock(tally_mutex_);
    CallTally& tally = calls_[{call, protocol}];
    ++tally.count;
    tally.worst = std::max(tally.worst, seconds);
    tally.over += over;
    over_bound_ += over;
  }
  if (over) {
    Deviate("bound", fmt::format("{} under {} took {:.3f} s, bound {:.3f} s", CallName(call),
                                 ProtocolName(protocol), seconds, bound.count() / 1e3));
  } else if (seconds >= kSlowCall) {  // within its bound, but for the record
    std::lock_guard lock(print_mutex_);
    fmt::print("slow #{} {} under {} ({}{}): {:.3f} s\n", operation_, CallName(call),
               ProtocolName(protocol), kind_, fault_.empty() ? "" : ", " + fault_, seconds);
  }
}

int Stress::Run() {
  // The process's threads and open descriptors. A first thread, started and gone, lets the
  // runtime start whatever threads of its own it keeps (a sanitizer's) before they count.
  random_.seed(seed);
  std::thread([] {}).join();
  const auto before = Leftovers();
  std::vector<std::jthread> burning;
  for (unsigned i = 0; i < burners; ++i) {
    burning.emplace_back([](std::stop_token stop) {
      while (!stop.stop_requested()) continue;
    });
  }
  const auto burning_threads = Leftovers().first - before.first;
  if (line == LineKind::kPty) {
    // As tolvex-sim --pty plays it, its timing drawn from the seed.
    pty_ = std::make_unique<host::PtySimulator>(
        sim::ReaderOptions{.jitter = sim::Jitter{.seed = seed}},
        host::PtySimulator::Options{.raw = true, .dropped = [](std::size_t n) {
                                      fmt::print("pty: {} bytes for the host dropped\n", n);
                                    }});
    if (!pty_->ok()) {
      fmt::print("no pseudo-terminal: {}\n", pty_->error());
      return 1;
    }
    pty_->sim().InsertCard(model_, false);
  }
  const auto with_line = Leftovers();
  if (!StartHost()) return 1;
  fmt::print("line {}{}, seed {}, {} burners, faults before {} % of the APDUs\n",
             line == LineKind::kPty ? "pty " : "memory", line == LineKind::kPty ? pty_->path() : "",
             seed, burners, fault_share);
  for (operation_ = 0; apdus != 0 ? apdus_sent_ < apdus : operation_ < operations; ++operation_) {
    Operate();
    if ((operation_ + 1) % 1000 == 0) {
      fmt::print("{} operations, {} APDUs, {} deviations, {:.0f} s\n", operation_ + 1,
                 apdus_sent_.load(), deviations_, elapsed_);
    }
  }
  StopHost();
  // The platform's threads are all gone with the host; nothing else may be left either.
  if (const auto after = Leftovers(); after != with_line) {
    Deviate("unload", fmt::format("{} threads and {} descriptors before the host, {} and {} after",
                                  with_line.first, with_line.second, after.first, after.second));
  }
  pty_.reset();
  burning.clear();
  if (const auto after = Leftovers(); after != before) {
    Deviate("unload",
            fmt::format("{} threads and {} descriptors at the start, {} and {} at the end",
                        before.first, before.second, after.first, after.second));
  }

  fmt::print("\n{:24} {:>8} {:>10}\n", "operation or fault", "count", "longest s");
  for (const auto& [name, took] : took_) {
    fmt::print("{:24} {:>8} {:>10.3f}\n", name, took.size(), std::ranges::max(took));
  }
  fmt::print("\n{:24} {:>8}\n", "fault planted", "count");
  for (const auto& [name, count] : faults_planted_) fmt::print("{:24} {:>8}\n", name, count);
  fmt::print("\n{:36} {:>8}\n", "failed calls by status", "count");
  for (const auto& [name, count] : failures_) fmt::print("{:36} {:>8}\n", name, count);
  fmt::print("\n{:20} {:>8} {:>8} {:>10} {:>10} {:>6}\n", "call", "protocol", "count", "worst s",
             "bound s", "over");
  for (const auto& [key, tally] : calls_) {
    fmt::print("{:20} {:>8} {:>8} {:>10.3f} {:>10.3f} {:>6}\n", CallName(key.first),
               ProtocolName(key.second), tally.count, tally.worst,
               BoundOf(key.first, key.second).count() / 1e3, tally.over);
  }
  fmt::print(
      "\nline {}: {} operations, {} APDUs, {} hosts restarted, seed {}, {} burners "
      "({} threads): {} wrong answers, {} calls over bound, {} deviations, {} failures put down "
      "to a fault before\n",
      line == LineKind::kPty ? "pty" : "memory", operation_, apdus_sent_.load(), restarts_, seed,
      burners, burning_threads, wrong_answers_, over_bound_, deviations_, settled_);
  return deviations_ == 0 ? 0 : 1;
}

}  // namespace tolvex::stress

int main(int argc, char** argv) {
  tolvex::stress::Stress stress;
  CLI::App app{"A fault soak of the driver against a simulated reader with jittered timing."};
  app.add_option("--operations", stress.operations, "how many (without --apdus)")
      ->check(CLI::Range(1ULL, 10'000'000ULL));
  app.add_option("--apdus", stress.apdus, "operations until this many APDUs went out")
      ->check(CLI::Range(1ULL, 10'000'000ULL));
  app.add_option("--seed", stress.seed, "of the operations and of the reader's timing");
  app.add_option("--burners", stress.burners, "threads burning the processors beside it");
  app.add_option("--fault-share", stress.fault_share, "percent of the APDUs with a fault before")
      ->check(CLI::Range(0U, 100U));
  std::string line = "memory";
  app.add_option("--line", line, "where the simulated reader sits: memory or pty")
      ->check(CLI::IsMember({"memory", "pty"}))
      ->capture_default_str();
  app.add_flag("--transcripts", stress.transcripts, "the operation's frames with a deviation");
  CLI11_PARSE(app, argc, argv);
  stress.line = line == "pty" ? tolvex::stress::LineKind::kPty : tolvex::stress::LineKind::kMemory;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line as it comes
  return stress.Run();
}
