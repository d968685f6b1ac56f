// tolvex-stress: the driver against the simulated reader with its timing jittered at random,
// many thousands of mixed operations, each checked for its result and for what went over the
// wire, with threads burning the processors beside it. The operations (operations.cc): APDUs
// (ECHO up to 255 bytes in, chained under T=1), the same with a fault of the reader or the card,
// resets good and failed, removal mid-exchange, card changes and tracking racing the reader.
//
// A deviation is: a wrong answer or ATR given as success; a failure without a fault to explain
// it; a failure that is not an error status; an operation past its bound; after a failed reset,
// anything on the wire between the reset command and the reset's own power-off, or a wait run
// out that the reader or the card should have ended; a card change or removal not reported;
// memory, threads or descriptors left behind. Exit status 0 when there is none, 1 otherwise.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
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
      while (!stop.stop_requested()) continue;
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
    for (operation_ = 0; operation_ < operations; ++operation_) {
      Operate();
      if ((operation_ + 1) % 1000 == 0) {
        fmt::print("{} operations, {} deviations, {:.0f} s\n", operation_ + 1, deviations_,
                   elapsed_);
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
  fmt::print("\n{:24} {:>8} {:>10}\n", "operation", "count", "longest s");
  for (const auto& [name, took] : took_) {
    fmt::print("{:24} {:>8} {:>10.3f}\n", name, took.size(), std::ranges::max(took));
  }
  fmt::print("{} operations, seed {}, {} burners: {} deviations, {} failures put down to a fault\n",
             operations, seed, burners, deviations_, settled_);
  return deviations_ == 0 ? 0 : 1;
}

}  // namespace tolvex::stress

int main(int argc, char** argv) {
  tolvex::stress::Stress stress;
  CLI::App app{"The driver against a simulated reader with jittered timing: mixed operations."};
  app.add_option("--operations", stress.operations, "how many")
      ->check(CLI::Range(1ULL, 10'000'000ULL));
  app.add_option("--seed", stress.seed, "of the operations and of the reader's timing");
  app.add_option("--burners", stress.burners, "threads burning the processors beside it");
  app.add_flag("--transcripts", stress.transcripts, "the operation's frames with a deviation");
  CLI11_PARSE(app, argc, argv);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line as it comes
  return stress.Run();
}
