// tolvex: the reader driver, from the command line.
//
//   tolvex [--port N=PATH]... [--reader N] [--json] [--card MODEL] COMMAND [ARGS]
//
// Without --port the driver runs on the built-in simulated reader on port 0, with a card in
// it (MODEL, "dual" unless --card says otherwise). Each command speaks to the reader only
// through the driver's control requests, as any application does.
#include <CLI/CLI.hpp>

#include "commands.h"

using namespace tolvex::tools;

int main(int argc, char** argv) {
  CLI::App app{"tolvex: the Brightwarden Serial SCR reader driver, from the command line"};
  app.require_subcommand(1);
  Options options;
  app.add_option("--port", options.ports, "bind serial port N (0 to 3) to a device: N=PATH");
  app.add_option("--reader", options.reader, "the reader to use (default: the lowest started)");
  app.add_flag("--json", options.json, "one JSON object per result, for scripts");
  app.add_option("--card", options.card, "the simulated reader's card (without --port)");

  auto* demo = app.add_subcommand("demo", "run against the built-in simulated reader");
  auto* info = app.add_subcommand("info", "reader attributes and versions");
  auto* atr = app.add_subcommand("atr", "power the card up and print its ATR, decoded");
  bool warm = false;
  atr->add_flag("--warm", warm, "warm reset instead of cold");
  auto* apdu = app.add_subcommand("apdu", "power up, select the protocol, send APDUs");
  std::string protocol = "any";
  std::vector<std::string> apdus;
  apdu->add_option("--protocol", protocol, "t0, t1 or any");
  apdu->add_option("hex", apdus, "APDUs in hex")->required();
  auto* off = app.add_subcommand("off", "power the card down");
  auto* watch = app.add_subcommand("watch", "print card insertion and removal");
  int count = 0;
  double timeout = 0;
  watch->add_option("--count", count, "stop after N events");
  watch->add_option("--timeout", timeout, "stop after S seconds");
  bool watch_atr = false;
  watch->add_flag("--atr", watch_atr, "show the ATR of each card put in (powered down after)");
  auto* shell = app.add_subcommand("shell", "read APDUs (hex, one a line) from stdin");
  shell->add_option("--protocol", protocol, "t0, t1 or any");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  Output out(options.json);
  if (demo->parsed()) return Demo(out);
  Session session(options, out);
  if (int code = session.Open()) return code;
  if (info->parsed()) return Info(session, out);
  if (atr->parsed()) return Atr(session, out, warm ? Power::kWarmReset : Power::kColdReset);
  if (apdu->parsed()) return Apdu(session, out, protocol, apdus);
  if (off->parsed()) return Off(session, out);
  if (watch->parsed()) return Watch(session, out, count, timeout, watch_atr);
  if (shell->parsed()) return Shell(session, out, protocol);
  return out.Usage("no command");
}
