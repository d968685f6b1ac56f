// tolvex-sim: the simulated reader (src/sim) on a pseudo-terminal, for a driver that opens a
// real serial device.
//
//   tolvex-sim --pty [--card MODEL] [--firmware 0xNN] [--paced | --jitter SEED
//              [--jitter-gap US] [--jitter-block-end MS]] [--trace]
//
// Prints the path of the terminal's slave side alone on the first line, then plays the
// reader on the master side until SIGINT or SIGTERM, "quit", or the end of standard input.
// Commands on standard input, one a line, each answered with one line ("ok ..." or
// "error: ..."):
//   insert [MODEL]     a card goes in (the model chosen last, t0 at first)
//   remove             the card comes out
//   card MODEL         the model for the next insert
//   fault NAME [ARGS]  a fault (faults.h: insert, remove, negative, silence, damage, ...);
//                      "fault" alone lists them with their arguments
//   status             the card, the reader's state and the pending faults
//   quit
// The program keeps a descriptor of the slave side open itself, so the master never sees a
// hang-up when a client closes the device. A pseudo-terminal has no data-set-ready line: the
// dsr faults say so and do nothing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim/reader_sim.h"

namespace {

using tolvex::sim::ReaderSim;

int signal_pipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 0;
  (void)!write(signal_pipe[1], &c, 1);
}

struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;
};

bool OpenPty(Pty* pty, std::string* error) {
  pty->master = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty->master < 0 || grantpt(pty->master) != 0 || unlockpt(pty->master) != 0) {
    *error = std::string("posix_openpt: ") + std::strerror(errno);
    return false;
  }
  const char* name = ptsname(pty->master);
  if (name == nullptr) {
    *error = std::string("ptsname: ") + std::strerror(errno);
    return false;
  }
  pty->path = name;
  pty->slave = open(name, O_RDWR | O_NOCTTY);
  if (pty->slave < 0) {
    *error = "open " + pty->path + ": " + std::strerror(errno);
    return false;
  }
  termios settings{};
  if (tcgetattr(pty->slave, &settings) == 0) {
    cfmakeraw(&settings);
    cfsetispeed(&settings, B19200);
    cfsetospeed(&settings, B19200);
    settings.c_cflag |= CLOCAL | CREAD;
    (void)tcsetattr(pty->slave, TCSANOW, &settings);
  }
  const int flags = fcntl(pty->master, F_GETFL);
  (void)fcntl(pty->master, F_SETFL, flags | O_NONBLOCK);
  return true;
}

// Writes everything, waiting up to a second at a time for room; drops the rest after that
// (nobody reads the device).
void SendAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 1000) > 0) continue;
    }
    std::fprintf(stderr, "tolvex-sim: %zu bytes for the host dropped\n", bytes.size());
    return;
  }
}

void Say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

class Console {
 public:
  Console(ReaderSim& sim, std::string model) : sim_(sim), model_(std::move(model)) {}

  // One command line; false after "quit".
  bool Command(const std::string& line) {
    std::istringstream in(line);
    std::string word;
    std::vector<std::string> args;
    in >> word;
    for (std::string arg; in >> arg;) args.push_back(arg);
    if (word.empty()) return true;
    if (word == "quit") {
      Say("ok bye");
      return false;
    }
    if (word == "insert") {
      const std::string model = args.empty() ? model_ : args[0];
      Say(sim_.InsertCard(model) ? "ok inserted " + model : "error: no card model " + model);
    } else if (word == "remove") {
      sim_.RemoveCard();
      Say("ok removed");
    } else if (word == "card") {
      if (args.size() != 1 || !tolvex::sim::MakeCard(args[0])) {
        Say("error: card takes one of " + Models());
      } else {
        model_ = args[0];
        Say("ok card " + model_ + " for the next insert");
      }
    } else if (word == "fault") {
      if (args.empty()) {
        Say("error: fault takes a name: " + FaultNames());
        return true;
      }
      const std::string name = args[0];
      args.erase(args.begin());
      if (name == "dsr-drop" || name == "dsr-raise") {
        Say("error: a pseudo-terminal has no data-set-ready line: " + name +
            " cannot be signalled");
      } else {
        Say(tolvex::sim::ApplyFault(sim_, name, args));
      }
    } else if (word == "status") {
      Say(Status());
    } else {
      Say("error: unknown command " + word +
          " (insert [MODEL], remove, card MODEL, fault NAME [ARGS], status, quit)");
    }
    return true;
  }

 private:
  static std::string Models() {
    std::string text;
    for (auto model : tolvex::sim::CardModels())
      text += (text.empty() ? "" : ", ") + std::string(model);
    return text;
  }

  static std::string FaultNames() {
    std::string text;
    for (const auto& fault : tolvex::sim::FaultCommands()) {
      text += (text.empty() ? "" : ", ") + std::string(fault.name);
      if (!fault.args.empty()) text += " " + std::string(fault.args);
    }
    return text;
  }

  std::string Status() const {
    const std::string card = sim_.card_model();
    const auto transcript = sim_.transcript();
    std::size_t frames = transcript.dropped;
    for (const auto& entry : transcript.entries) {
      if (entry.origin() == tolvex::sim::Origin::kHost) ++frames;
    }
    return "ok card=" + (card.empty() ? std::string("none") : card) +
           " powered=" + (sim_.card_powered() ? "yes" : "no") + " next=" + model_ +
           " firmware=" + tolvex::sim::HexByte(sim_.options().firmware) +
           " paced=" + (sim_.options().paced ? "yes" : "no") + " jitter=" +
           (sim_.options().jitter ? std::to_string(sim_.options().jitter->seed) : "no") +
           " frames=" + std::to_string(frames) + " faults=" + sim_.faults().Describe();
  }

  ReaderSim& sim_;
  std::string model_;
};

// The console's commands and the faults with their arguments, for --help.
std::string ConsoleHelp() {
  std::string text =
      "\nCommands on standard input, one a line:\n"
      "  insert [MODEL]     a card goes in\n"
      "  remove             the card comes out\n"
      "  card MODEL         the model for the next insert\n"
      "  fault NAME [ARGS]  a fault, one of (no dsr-drop or dsr-raise on a pseudo-terminal):\n";
  for (const auto& fault : tolvex::sim::FaultCommands()) {
    std::string usage = "    " + std::string(fault.name);
    if (!fault.args.empty()) usage += " " + std::string(fault.args);
    text += usage + "\n        " + std::string(fault.help) + "\n";
  }
  text +=
      "  status             the card, the reader's state and the pending faults\n"
      "  quit\n";
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tolvex-sim: the simulated Brightwarden Serial SCR on a pseudo-terminal"};
  bool pty_mode = false, paced = false, trace = false;
  std::string model, firmware = "0x21";
  std::optional<std::uint64_t> jitter_seed;
  const tolvex::sim::Jitter jitter_defaults;
  std::int64_t jitter_gap_us =
      std::chrono::duration_cast<std::chrono::microseconds>(jitter_defaults.max_gap).count();
  std::int64_t jitter_block_end_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(jitter_defaults.block_end_max_delay)
          .count();
  app.add_flag("--pty", pty_mode, "Simulate the reader on a pseudo-terminal (required)");
  app.add_option("--card", model, "Card in the reader at start (t0, t1, t1-crc, dual, ...)");
  app.add_option("--firmware", firmware, "Firmware revision byte, e.g. 0x21");
  auto* paced_flag = app.add_flag("--paced", paced, "Send at the pace of the real wires");
  auto* jitter_option =
      app.add_option("--jitter", jitter_seed,
                     "Send at random moments drawn from SEED: random gaps between bytes, even "
                     "inside an escaped pair, and end-of-block reports held back a random time")
          ->type_name("SEED")
          ->excludes(paced_flag);
  app.add_option("--jitter-gap", jitter_gap_us, "With --jitter: the longest gap between bytes")
      ->type_name("US")
      ->check(CLI::Range(std::int64_t{0}, std::int64_t{1'000'000}))
      ->capture_default_str()
      ->needs(jitter_option);
  app.add_option("--jitter-block-end", jitter_block_end_ms,
                 "With --jitter: the longest delay of an end-of-block report")
      ->type_name("MS")
      ->check(CLI::Range(std::int64_t{0}, std::int64_t{60'000}))
      ->capture_default_str()
      ->needs(jitter_option);
  app.add_flag("--trace", trace,
               "Print the transcript on standard error, each entry with its time since the start");
  app.footer(ConsoleHelp());
  CLI11_PARSE(app, argc, argv);
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
  if (!model.empty() && !tolvex::sim::MakeCard(model)) {
    std::fprintf(stderr, "tolvex-sim: no card model %s\n", model.c_str());
    return 2;
  }

  Pty pty;
  std::string error;
  if (!OpenPty(&pty, &error) || pipe(signal_pipe) != 0) {
    std::fprintf(stderr, "tolvex-sim: %s\n", error.empty() ? std::strerror(errno) : error.c_str());
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  tolvex::sim::ReaderOptions options;
  options.firmware = static_cast<std::uint8_t>(revision);
  options.paced = paced;
  if (jitter_seed) {
    options.jitter =
        tolvex::sim::Jitter{.seed = *jitter_seed,
                            .max_gap = std::chrono::microseconds(jitter_gap_us),
                            .block_end_max_delay = std::chrono::milliseconds(jitter_block_end_ms)};
  }
  if (trace) {
    options.observer = [](const tolvex::sim::TranscriptEntry& entry) {
      const double ms = std::chrono::duration<double, std::milli>(entry.at).count();
      std::fprintf(stderr, "%12.3f ms  %s\n", ms, entry.ToString().c_str());
    };
  }
  const int master = pty.master;
  auto sim = std::make_unique<ReaderSim>(
      tolvex::sim::Line{[master](std::span<const std::uint8_t> bytes) { SendAll(master, bytes); },
                        [](bool) {}},
      std::move(options));
  if (!model.empty()) sim->InsertCard(model, /*report=*/false);
  Console console(*sim, model.empty() ? "t0" : model);

  Say(pty.path);
  pollfd fds[3] = {{STDIN_FILENO, POLLIN, 0}, {pty.master, POLLIN, 0}, {signal_pipe[0], POLLIN, 0}};
  std::string input;
  bool running = true;
  while (running) {
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      std::uint8_t buffer[512];
      const ssize_t n = read(pty.master, buffer, sizeof(buffer));
      if (n > 0) sim->HostWrote(std::span(buffer, static_cast<std::size_t>(n)));
    } else if (fds[1].revents != 0) {
      usleep(10'000);  // no hang-up can come while we hold the slave; wait out anything else
    }
    if (fds[0].revents != 0) {
      char buffer[512];
      const ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
      if (n <= 0) break;  // end of input
      input.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t nl; running && (nl = input.find('\n')) != std::string::npos;) {
        std::string line = input.substr(0, nl);
        input.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        running = console.Command(line);
      }
    }
  }
  sim.reset();  // its scheduler thread may still be sending to the master
  close(pty.slave);
  close(pty.master);
  return 0;
}
