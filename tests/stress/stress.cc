// tolvex-stress: the driver against the simulated reader with its timing jittered at random,
// many thousands of mixed operations, each checked for its result and for what went over the
// wire, with threads burning the processors beside it.
//
// Operations: T=0 and T=1 APDUs (SELECT, READ BINARY, ECHO up to 255 bytes in, T=1 chaining
// both ways), the same with a fault of the reader or the card (see FaultyApdu), cold and warm
// resets, failed resets (mute card, bad TS, truncated ATRs with the end of the block reported
// early or late), removal in the middle of an exchange, card changes and card tracking racing
// the reader's bytes.
//
// A deviation is: a wrong answer given as success; a failure without a fault to explain it; a
// failure that is not an error status; an operation past its bound; after a failed reset,
// anything on the wire between the reset command and the reset's own power-off; memory,
// threads or descriptors left behind. Exit status 0 when there is none, 1 otherwise.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <thread>

#include "stress.h"

namespace tolvex::stress {

int Stress::Run() {
  // The process's threads and open descriptors. A first thread, started and gone, lets the
  // runtime start whatever threads of its own it keeps (a sanitizer's) before they count.
  auto leftovers = [] {
    using std::filesystem::directory_iterator;
    return std::pair(std::distance(directory_iterator("/proc/self/task"), {}),
                     std::distance(directory_iterator("/proc/self/fd"), {}));
  };
  random_.seed(seed);
  std::thread([] {}).join();
  const auto before = leftovers();
  std::vector<std::jthread> burning;
  for (unsigned i = 0; i < burners; ++i) {
    burning.emplace_back([](std::stop_token stop) {
      volatile std::uint64_t x = 1;
      while (!stop.stop_requested()) x = x * 6364136223846793005ULL + 1;
    });
  }
  {
    host::Host host;
    host_ = &host;
    sim_ = &host.AddSimulatedPort(0, {.jitter = sim::Jitter{.seed = seed}});
    sim_->InsertCard(model_, false);
    const Status started = host.Start();
    auto [opening, reader] = host::Reader::Open(host, 0);
    if (!(reader_ = std::move(reader))) {
      fmt::print("no reader: start-up {}, open {}\n", StatusName(started), StatusName(opening));
      return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    for (operation_ = 0; operation_ < operations; ++operation_) {
      Operate();
      if ((operation_ + 1) % 1000 == 0) {
        const std::chrono::duration<double> so_far = std::chrono::steady_clock::now() - start;
        fmt::print("{} operations, {} deviations, {:.0f} s\n", operation_ + 1, deviations_,
                   so_far.count());
        std::fflush(stdout);
      }
    }
    reader_.reset();
    if (const std::string left = host.Stop(); !left.empty()) {
      Deviate("unload", "memory left allocated: " + left);
    }
    sim_ = nullptr;
  }
  burning.clear();
  // The platform's threads are all gone with the host; nothing else may be left either.
  if (const auto after = leftovers(); after != before) {
    Deviate("unload", fmt::format("{} threads and {} descriptors before, {} and {} after",
                                  before.first, before.second, after.first, after.second));
  }
  fmt::print("\n{:24} {:>8} {:>8} {:>10}\n", "operation", "count", "failed", "longest s");
  for (const auto& [name, tally] : tallies_) {
    fmt::print("{:24} {:>8} {:>8} {:>10.3f}\n", name, tally[0], tally[1], tally[2]);
  }
  fmt::print(
      "{} operations, seed {}, {} burners: {} deviations ({} failures taken as the "
      "doing of the fault before)\n",
      operations, seed, burners, deviations_, settled_);
  return deviations_ == 0 ? 0 : 1;
}

}  // namespace tolvex::stress

int main(int argc, char** argv) {
  tolvex::stress::Stress stress;
  CLI::App app{"The driver against a simulated reader with jittered timing: mixed operations."};
  app.add_option("--operations", stress.operations)->check(CLI::Range(1ULL, 10'000'000ULL));
  app.add_option("--seed", stress.seed, "of the operations and of the reader's timing");
  app.add_option("--burners", stress.burners, "threads burning the processors beside it");
  app.add_flag("--transcripts", stress.transcripts, "the operation's frames with a deviation");
  CLI11_PARSE(app, argc, argv);
  return stress.Run();
}
