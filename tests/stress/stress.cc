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
// A deviation is printed as it comes: a wrong answer or ATR given as success; a failure without
// a fault to explain it; a failure that is not an error status; an operation past its bound (the
// time-outs the soak gives its waits for the card, kOperationLimit for the rest); after a
// failed reset, anything on the wire between the reset command and the reset's own power-off,
// or a wait run out that the reader or the card should have ended; a card change or removal not
// reported; a host that does not start again; memory, threads or descriptors left behind by a
// host. The run ends with one line: the operations, APDUs, hosts restarted and deviations. Exit
// status 0 when there is no deviation, 1 otherwise.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "host/host.h"
#include "stress.h"

namespace tolvex::stress {

Stress::Open Stress::Leftovers() {
  using std::filesystem::directory_iterator;
  Open open{.threads = std::distance(directory_iterator("/proc/self/task"), {})};
  // The listing's own descriptor names the folder listed: not one of the process's.
  const std::filesystem::path listing = "/proc/" + std::to_string(getpid()) + "/fd";
  for (const auto& fd : directory_iterator(listing)) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink(fd.path(), error);
    if (!error && target != listing) {
      open.descriptors.insert(fd.path().filename().string() + " -> " + target.string());
    }
  }
  return open;
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

int Stress::Run() {
  random_.seed(seed);
  std::vector<std::jthread> burning;
  for (unsigned i = 0; i < burners; ++i) {
    burning.emplace_back([](std::stop_token stop) {
      while (!stop.stop_requested()) continue;
    });
  }
  // The process's threads and open descriptors, counted once a thread has come and gone (a
  // sanitizer's runtime starts threads of its own with the process's first): the hosts and the
  // pseudo-terminal must leave none behind.
  std::thread([] {}).join();
  const auto before = Leftovers();
  if (line == LineKind::kPty) {
    // As tolvex-sim --pty plays it, its timing drawn from the seed.
    pty_ = std::make_unique<host::PtySimulator>(
        sim::ReaderOptions{.jitter = sim::Jitter{.seed = seed}},
        host::PtySimulator::Options{.raw = true});
    if (!pty_->ok()) {
      fmt::print("no pseudo-terminal: {}\n", pty_->error());
      return 1;
    }
    pty_->sim().InsertCard(model_, false);
  }
  if (!StartHost()) return 1;
  for (operation_ = 0; apdus != 0 ? apdus_sent_ < apdus : operation_ < operations; ++operation_) {
    Operate();
  }
  StopHost();
  pty_.reset();
  sim_ = nullptr;
  // Left behind: threads beyond those at the start, descriptors not open then. (Others of the
  // process, opened before the run, may have closed meanwhile.)
  const Open after = Leftovers();
  std::string left;
  for (const std::string& descriptor : after.descriptors) {
    if (!before.descriptors.contains(descriptor)) left += " " + descriptor;
  }
  if (after.threads > before.threads || !left.empty()) {
    Deviate("unload", fmt::format("{} threads at the start, {} at the end; descriptors left:{}",
                                  before.threads, after.threads, left.empty() ? " none" : left));
  }
  fmt::print(
      "line {}, seed {}, {} burners: {} operations, {} APDUs, {} hosts restarted, {} "
      "deviations\n",
      line == LineKind::kPty ? "pty" : "memory", seed, burners, operation_, apdus_sent_.load(),
      restarts_, deviations_);
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
