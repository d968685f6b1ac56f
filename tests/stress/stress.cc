// tolvex-stress: the driver against the simulated reader with its timing jittered at random,
// many thousands of mixed operations, each checked for its result and for what went over the
// wire, with threads burning the processors beside it.
//
//   tolvex-stress [--operations N] [--seed S] [--burners K] [--slow-share P] [--verbose]
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
#include <fmt/core.h>
#include <CLI/CLI.hpp>

#include "stress.h"

using tolvex::stress::Options;
using tolvex::stress::Stress;

int main(int argc, char** argv) {
  Options options;
  CLI::App app{
      "The driver against a simulated reader with jittered timing: mixed operations, "
      "each checked for its result and its wire."};
  app.add_option("--operations", options.operations, "how many operations")
      ->check(CLI::Range(1ULL, 10'000'000ULL));
  app.add_option("--seed", options.seed, "seed of the operations and of the reader's timing");
  app.add_option("--burners", options.burners, "threads burning the processors beside it")
      ->check(CLI::Range(0U, 64U));
  app.add_option("--slow-share", options.slow_share,
                 "percent of faults that end on time-outs of seconds")
      ->check(CLI::Range(0U, 100U));
  app.add_flag("--verbose", options.verbose, "a line per operation");
  app.add_flag("--transcripts", options.transcripts,
               "the reader's last transcript entries with each deviation");
  CLI11_PARSE(app, argc, argv);
  fmt::print("tolvex-stress: {} operations, seed {}, {} burner threads\n", options.operations,
             options.seed, options.burners);
  return Stress(options).Run();
}
