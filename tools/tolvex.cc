// tolvex: the reader driver, from the command line.
//
//   tolvex [-V|--version] [--port N=PATH]... [--reader N] [--json] [--card MODEL] [--trace]
//          COMMAND [ARGS]
//
// Without --port the driver runs on the built-in simulated reader on port 0, with a card in
// it (MODEL, "dual" unless --card says otherwise). Each command speaks to the reader only
// through the driver's control requests, as any application does. Every usage error is found
// here, before the driver starts: one line on standard error, exit code 2.
#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include "arguments.h"
#include "commands.h"

using namespace tolvex::tools;

int main(int argc, char** argv) {
  CLI::App app{"tolvex: the Brightwarden Serial SCR reader driver, from the command line"};
  app.require_subcommand(0, 1);  // none: said below, with the commands there are
  app.set_version_flag("-V,--version", VersionLine("tolvex"));
  Options options;
  auto* port = app.add_option_function<std::vector<std::string>>(
                      "--port",
                      [&options](const std::vector<std::string>& bindings) {
                        for (const std::string& text : bindings) {
                          AddPortBinding(options.ports, text);
                        }
                      },
                      "bind serial port N (0 to 3) to a device: N=PATH")
                   ->type_name("N=PATH")
                   ->option_text("N=PATH ...")
                   ->check(PortBindingValidator());
  app.add_option("--reader", options.reader, "the reader to use (default: the lowest started)")
      ->option_text("N")
      ->check(CLI::Range(0u, kLastPort));
  app.add_flag("--json", options.json, "one JSON object per result, for scripts");
  auto* card = app.add_option("--card", options.card,
                              "the built-in simulated reader's card: " +
                                  tolvex::host::SimulatedReader::CardModelList() +
                                  " (default: " + options.card + "; not with --port)")
                   ->option_text("MODEL")
                   ->check(CardModelValidator())
                   ->excludes(port);
  auto* replay = app.add_option("--replay", options.replay,
                                "the reader of a recorded session (a trace of --trace --json, "
                                "or of the pcscd driver's TOLVEX_TRACE_FILE) on port 0: the "
                                "command runs against it, and any difference is said")
                     ->option_text("TRACE");
  replay->excludes(port)->excludes(card);
  app.add_flag("--paced", options.paced, "with --replay: keep the recorded gaps")->needs(replay);
  app.add_flag("--trace", options.trace,
               "print every frame on the wire, decoded, with its time in ms since the start, "
               "to standard error (with --json: one object a line there, with trace, dir, us, "
               "bytes, port)");

  auto* demo = app.add_subcommand("demo", "run against the built-in simulated reader");
  auto* info = app.add_subcommand("info", "reader attributes and versions");
  auto* atr = app.add_subcommand("atr", "power the card up and print its ATR, decoded");
  bool warm = false;
  atr->add_flag("--warm", warm, "warm reset instead of cold");
  auto* apdu = app.add_subcommand("apdu", "power up, select the protocol, send APDUs");
  std::uint32_t protocol = ProtocolNames().at("any");
  std::vector<std::string> apdus;
  apdu->add_option("--protocol", protocol, "the protocol to select (any: the card's choice)")
      ->option_text("any|t0|t1")
      ->transform(CLI::CheckedTransformer(ProtocolNames()));
  apdu->add_option("hex", apdus, "APDUs in hex")
      ->option_text("HEX ...")
      ->required()
      ->check(ApduValidator());
  bool no_get_response = false;
  apdu->add_flag("--no-get-response", no_get_response,
                 "under T=0, show 61xx and 6Cxx as they are: no GET RESPONSE sent for them");
  auto* off = app.add_subcommand("off", "power the card down");
  auto* watch = app.add_subcommand("watch", "print card insertion and removal");
  int count = 0;
  double timeout = 0;
  watch->add_option("--count", count, "stop after N events")
      ->option_text("N")
      ->check(CLI::NonNegativeNumber);
  watch->add_option("--timeout", timeout, "stop after S seconds")
      ->option_text("S")
      ->check(CLI::NonNegativeNumber);
  bool watch_atr = false;
  watch->add_flag("--atr", watch_atr, "show the ATR of each card put in (powered down after)");
  bool watch_follow = false;
  watch->add_flag("--follow", watch_follow,
                  "when the reader is gone (its serial device away, its data-set-ready line "
                  "changed), wait for it to come back");
  auto* shell = app.add_subcommand("shell", "read APDUs (hex, one a line) from stdin");
  shell->add_option("--protocol", protocol, "the protocol to select (any: the card's choice)")
      ->option_text("any|t0|t1")
      ->transform(CLI::CheckedTransformer(ProtocolNames()));
  shell->add_flag("--no-get-response", no_get_response,
                  "under T=0, show 61xx and 6Cxx as they are: no GET RESPONSE sent for them");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    std::cerr << "tolvex: " << OneLine(e.what()) << '\n';
    return 2;
  }

  Output out(options.json);
  if (app.get_subcommands().empty()) {
    return out.Usage("a command is required: demo, info, atr, apdu, off, watch or shell");
  }
  if (demo->parsed()) return Demo(out, options.trace);
  // The reader asked for must be on a port given (the built-in simulator's is port 0).
  if (options.reader && options.ports.empty() && *options.reader != 0) {
    return out.Usage("--reader: the built-in simulated reader is reader 0");
  }
  if (options.reader && !options.ports.empty() && options.ports.count(*options.reader) == 0) {
    return out.Usage(
        fmt::format("--reader: no serial device was given for port {}", *options.reader));
  }
  Session session(options, out);
  if (int code = session.Open()) return code;
  int code = 0;
  if (info->parsed()) {
    code = Info(session, out);
  } else if (atr->parsed()) {
    code = Atr(session, out, warm ? Power::kWarmReset : Power::kColdReset);
  } else if (apdu->parsed()) {
    code = Apdu(session, out, protocol, apdus, !no_get_response);
  } else if (off->parsed()) {
    code = Off(session, out);
  } else if (watch->parsed()) {
    code = Watch(session, out, count, timeout, watch_atr, watch_follow);
  } else if (shell->parsed()) {
    code = Shell(session, out, protocol, !no_get_response);
  }
  // A replay that went otherwise than the recording says where, whatever the command gave.
  if (const auto differs = session.FinishReplay()) {
    return out.Error("the replay differs from the recording at " + *differs,
                     tolvex::host::status::kUnsuccessful);
  }
  return code;
}
