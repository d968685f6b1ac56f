// tolvex-sim: the simulated reader (src/sim) on a pseudo-terminal, for a driver that opens a
// real serial device.
//
//   tolvex-sim [-V|--version] --pty [--link PATH] [--card MODEL|none] [--firmware 0xNN]
//              [--paced | --jitter SEED [--jitter-gap US] [--jitter-block-end MS]] [--trace]
//
// Prints the path of the terminal's slave side alone on the first line, then plays the
// reader on the master side until SIGINT, SIGTERM, SIGHUP or "quit". --link keeps a symbolic
// link at PATH to the terminal while it runs: a stable name for a simulator that is started
// again, as udev's names are for USB serial adapters (see StableName). The reader has a card in it
// (dual unless --card says otherwise; none: empty). Standard input closed or at its end (the
// program started in the background of a script) leaves it running.
// Commands on standard input, one a line, each answered with one line ("ok ..." or
// "error: ..."):
//   insert [MODEL]     a card goes in (the model chosen last, t0 at first)
//   remove             the card comes out
//   card MODEL         the model for the next insert
//   fault NAME [ARGS]  a fault (src/sim/faults.h: negative, silence, damage, ...);
//                      "fault" alone lists them with their arguments
//   status             the card, the reader's state and the pending faults
//   quit
// The program keeps a descriptor of the slave side open itself, so the master never sees a
// hang-up when a client closes the device. A pseudo-terminal has no data-set-ready line: the
// dsr faults say so and do nothing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "arguments.h"
#include "host/pty_simulator.h"
#include "host/replay.h"
#include "host/simulated_reader.h"
#include "host/wire_trace.h"

namespace {

using tolvex::host::CardReport;
using tolvex::host::ConsoleReply;
using tolvex::host::PtySimulator;
using tolvex::host::SimulatedReader;
using tolvex::host::SimulatedReaderOptions;

int signal_pipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 0;
  (void)!write(signal_pipe[1], &c, 1);
}

void Say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

struct Settings {
  std::string model = "dual";  // the card at start; "none" for none
  std::string link;            // --link: where the stable name goes; empty for none
  std::string replay;          // --replay: a recorded session to play instead of a reader
  SimulatedReaderOptions reader;
};

// The symbolic link --link asks for. It is put in place before the terminal's path is
// printed, so whoever reads that line may use the name at once. A link already there (left by
// a simulator that was killed, or one that is still running) is replaced in one step, by a
// rename, so that a client opening the name never finds it missing; anything else there is
// left alone and refused. At the end the link goes, unless it no longer names this
// simulator's terminal: another simulator has taken the name over since, and keeps it.
class StableName {
 public:
  StableName() = default;
  StableName(const StableName&) = delete;
  StableName& operator=(const StableName&) = delete;
  ~StableName() {
    if (path_.empty()) return;
    std::string named(target_.size() + 1, '\0');
    const ssize_t n = readlink(path_.c_str(), named.data(), named.size());
    if (n == static_cast<ssize_t>(target_.size()) &&
        named.compare(0, target_.size(), target_) == 0) {
      (void)unlink(path_.c_str());
    }
  }

  // "" once `path` names `target`; else why it does not.
  std::string Make(const std::string& path, const std::string& target) {
    struct stat there {};
    if (lstat(path.c_str(), &there) == 0 && !S_ISLNK(there.st_mode)) {
      return path + " is there and is not a symbolic link";
    }
    const std::string temporary = path + ".tolvex-sim-" + std::to_string(getpid());
    (void)unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0 ||
        rename(temporary.c_str(), path.c_str()) != 0) {
      const std::string why = std::strerror(errno);
      (void)unlink(temporary.c_str());
      return path + ": " + why;
    }
    path_ = path;
    target_ = target;
    return "";
  }

 private:
  std::string path_, target_;
};

// Reads the command line into `settings`; an exit code when the program is to end now.
std::optional<int> ParseCommandLine(int argc, char** argv, Settings* settings) {
  CLI::App app{"tolvex-sim: the simulated Brightwarden Serial SCR on a pseudo-terminal"};
  app.set_version_flag("-V,--version", tolvex::tools::VersionLine("tolvex-sim"));
  bool pty_mode = false, trace = false;
  std::string firmware = "0x21";
  std::optional<std::uint64_t> jitter_seed;
  SimulatedReaderOptions& reader = settings->reader;
  std::int64_t jitter_gap_us = reader.jitter_gap.count();
  std::int64_t jitter_block_end_ms = reader.jitter_block_end.count();
  app.add_flag("--pty", pty_mode, "Simulate the reader on a pseudo-terminal (required)");
  app.add_option("--link", settings->link,
                 "Keep a symbolic link at PATH to the terminal while running (replacing a link "
                 "already there)")
      ->option_text("PATH");
  app.add_option("--card", settings->model,
                 "Card in the reader at start: " + SimulatedReader::CardModelList() +
                     ", or none (default: " + settings->model + ")")
      ->option_text("MODEL")
      ->check(tolvex::tools::CardModelValidator("none"));
  app.add_option("--firmware", firmware, "Firmware revision byte (default: 0x21)")
      ->option_text("BYTE");
  auto* paced_flag = app.add_flag("--paced", reader.paced, "Send at the pace of the real wires");
  auto* jitter_option =
      app.add_option("--jitter", jitter_seed,
                     "Send at random moments drawn from SEED: random gaps between bytes, even "
                     "inside an escaped pair, and end-of-block reports held back a random time")
          ->option_text("SEED")
          ->excludes(paced_flag);
  app.add_option("--jitter-gap", jitter_gap_us,
                 "With --jitter: the longest gap between bytes, 0 to 1000000 (default: " +
                     std::to_string(jitter_gap_us) + ")")
      ->option_text("US")
      ->check(CLI::Range(std::int64_t{0}, std::int64_t{1'000'000}))
      ->needs(jitter_option);
  app.add_option("--jitter-block-end", jitter_block_end_ms,
                 "With --jitter: the longest delay of an end-of-block report, 0 to 60000 "
                 "(default: " +
                     std::to_string(jitter_block_end_ms) + ")")
      ->option_text("MS")
      ->check(CLI::Range(std::int64_t{0}, std::int64_t{60'000}))
      ->needs(jitter_option);
  std::optional<std::uint32_t> seed;
  app.add_option("--seed", seed,
                 "The cards' challenges from seed N, the same bytes after every reset (for "
                 "tests; without it they are drawn afresh at each reset)")
      ->option_text("N");
  app.add_option("--replay", settings->replay,
                 "Play the reader of a recorded session (a trace of tolvex --trace --json, or "
                 "of the pcscd driver's TOLVEX_TRACE_FILE) instead of a simulated one; with "
                 "--paced, keep its gaps. Ends once the recording is played, or where the "
                 "host writes otherwise (said, exit 1)")
      ->option_text("TRACE");
  app.add_flag("--trace", trace,
               "Print the transcript on standard error, each entry with its time since the start");
  app.footer(SimulatedReader::ConsoleHelp());
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    std::fprintf(stderr, "tolvex-sim: %s\n", tolvex::tools::OneLine(e.what()).c_str());
    return 2;
  }
  if (!pty_mode) {
    std::fprintf(stderr, "tolvex-sim: --pty is required (the only way to run for now)\n");
    return 2;
  }
  char* end = nullptr;
  const unsigned long revision = std::strtoul(firmware.c_str(), &end, 16);
  if (firmware.empty() || *end != '\0' || revision > 0xFF) {
    std::fprintf(stderr, "tolvex-sim: bad firmware revision %s\n", firmware.c_str());
    return 2;
  }
  reader.firmware = static_cast<std::uint8_t>(revision);
  reader.challenge_seed = seed;
  reader.fresh_challenges = !seed;
  if (jitter_seed) {
    reader.jitter_seed = jitter_seed;
    reader.jitter_gap = std::chrono::microseconds(jitter_gap_us);
    reader.jitter_block_end = std::chrono::milliseconds(jitter_block_end_ms);
  }
  if (trace) {
    reader.trace = [](std::chrono::nanoseconds at, const std::string& entry) {
      std::fprintf(stderr, "%s\n", tolvex::host::TraceText(at, entry).c_str());
    };
  }
  return std::nullopt;
}

// SIGINT, SIGTERM and SIGHUP (the terminal it was started from closed) end the run through
// signal_pipe, so that the stable name is taken away; a reader gone from the terminal is no
// reason to die.
void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Descriptors 0 to 2 closed by whoever started the program are opened on /dev/null, so that
// the terminal's descriptors never take their numbers.
void FillStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) {
      (void)dup2(null, fd);
      close(null);
    }
  }
}

// Answers the console (the reader plays on the terminal on its own thread), until a signal or
// "quit". At the end of standard input (or an error reading it) the console is done with and
// the reader plays on until a signal.
void Run(SimulatedReader& reader) {
  pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signal_pipe[0], POLLIN, 0}};
  std::string input;
  bool running = true;
  while (running) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) break;
    if (fds[0].revents != 0) {
      char buffer[512];
      const ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {  // end of input: no more commands, but the reader plays on
        fds[0].fd = -1;
        continue;
      }
      input.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t nl; running && (nl = input.find('\n')) != std::string::npos;) {
        std::string line = input.substr(0, nl);
        input.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const ConsoleReply reply = reader.Command(line);
        if (!reply.line.empty()) Say(reply.line);
        running = reply.go_on;
      }
    }
  }
}

// --replay: until the recording has been played to its end (0), the host wrote otherwise (1,
// said), or a signal (0, with how far the host went).
int RunReplay(const tolvex::host::Replay& replay) {
  pollfd signalled{signal_pipe[0], POLLIN, 0};
  for (;;) {
    if (const auto differs = replay.Mismatch()) {
      std::fprintf(stderr, "tolvex-sim: the host differs from the recording at %s\n",
                   differs->c_str());
      return 1;
    }
    if (replay.played() == replay.size()) {
      Say("ok the recording played to its end: " + std::to_string(replay.size()) + " frames");
      return 0;
    }
    if (poll(&signalled, 1, 50) > 0) {
      Say("ok stopped at frame " + std::to_string(replay.played() + 1) + " of " +
          std::to_string(replay.size()));
      return 0;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  FillStandardDescriptors();
  Settings settings;
  if (std::optional<int> code = ParseCommandLine(argc, argv, &settings)) return *code;

  PtySimulator pty(settings.reader,
                   {.raw = true, .dropped = [](std::size_t n) {
                      std::fprintf(stderr, "tolvex-sim: %zu bytes for the host dropped\n", n);
                    }});
  if (!pty.ok() || pipe(signal_pipe) != 0) {
    std::fprintf(stderr, "tolvex-sim: %s\n", pty.ok() ? std::strerror(errno) : pty.error().c_str());
    return 1;
  }
  CatchSignals();
  StableName name;
  if (!settings.link.empty()) {
    if (const std::string error = name.Make(settings.link, pty.path()); !error.empty()) {
      std::fprintf(stderr, "tolvex-sim: %s\n", error.c_str());
      return 1;
    }
  }

  if (!settings.replay.empty()) {
    auto loaded = tolvex::host::Replay::Load(settings.replay, settings.reader.paced);
    if (!loaded.replay) {
      std::fprintf(stderr, "tolvex-sim: --replay: %s\n", loaded.error.c_str());
      return 2;
    }
    loaded.replay->Attach(pty);
    Say(pty.path());
    const int code = RunReplay(*loaded.replay);
    pty.Vanish();  // nothing comes to the replay any more
    return code;
  }

  SimulatedReader reader = pty.reader();
  if (settings.model != "none") {
    reader.InsertCard(settings.model, CardReport::kNotSent);
    reader.SetNextModel(settings.model);
  }

  Say(pty.path());
  Run(reader);
  return 0;
}
