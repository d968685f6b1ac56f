// shell: APDUs in hex, one a line, and a few commands, from standard input. On a terminal the
// lines come from the line editor (libedit), with a prompt and history on standard error, so
// that standard output carries results only; otherwise they are read plainly, without a prompt.
// A reader whose line is lost (its serial device gone, or its data-set-ready line changed) is
// said gone, and each command after tries the same port again: once a reader answers there, it
// is started again, as at the shell's start.
#include "shell.h"

#include <editline/readline.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>

#include "commands.h"
#include "host/hex.h"

namespace tolvex::tools {

namespace {

constexpr const char* kHelp[] = {
    "APDU in hex        sent to the card, e.g. 00A4040007F0544F4C564558 (spaces allowed)",
    "reset [warm|cold]  reset the card (cold unless warm) and select the protocol again",
    "off                power the card down; the next APDU powers it up again",
    "atr                the card's ATR, decoded",
    "help               this list",
    "quit, exit         the end (as is the end of input)",
    "# ...              a comment, on its own line or after an APDU",
};

const char* ProtocolName(std::uint32_t protocol) {
  return protocol == kT1 ? "T=1" : "T=0";
}

// What a line says: the CR of a CRLF end, a comment and the blanks around it taken away.
std::string Meaning(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
  const auto first = line.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = line.find_last_not_of(" \t");
  return line.substr(first, last - first + 1);
}

class ShellSession {
 public:
  ShellSession(Session& session, Output& out, std::uint32_t requested, bool get_response)
      : session_(session), out_(out), requested_(requested), get_response_(get_response) {}

  // The card reset and its protocol selected, said with `what` (for scripts: `event`); false
  // after a failure (said).
  bool Ready(Power reset, const char* event, const std::string& what) {
    protocol_ = 0;
    const auto start = Clock::now();
    Bytes atr;
    if (PowerUp(session_, out_, reset, &atr) != 0) return false;
    atr_ms_ = Milliseconds(Clock::now() - start);
    atr_ = atr;
    const auto [status, selected] = session_.reader().SetProtocol(requested_);
    if (status != kSuccess) {
      out_.Error(ProtocolFailure(status), status);
      return false;
    }
    protocol_ = selected;
    out_.Object(Json{{"command", "shell"},
                     {"event", event},
                     {"atr", Hex(atr)},
                     {"protocol", ProtocolName(selected)},
                     {"status", StatusValue(kSuccess)}});
    out_.Text(fmt::format("{}{}ATR {}   protocol {}", what, what.empty() ? "" : ": ", Hex(atr),
                          ProtocolName(selected)));
    return true;
  }

  // One line: 0, 1 after a failure, 2 if it was not understood; `quit` is set by "quit".
  int Line(const std::string& line, bool* quit) {
    const std::string text = Meaning(line);
    if (text.empty()) return 0;
    std::istringstream words(text);
    std::string word, argument, extra;
    words >> word >> argument >> extra;
    if (word == "quit" || word == "exit") {
      *quit = true;
      return 0;
    }
    if (word == "help") {
      for (const char* row : kHelp) out_.Text(row);
      out_.Object(Json{{"command", "help"},
                       {"lines", std::vector<std::string>(std::begin(kHelp), std::end(kHelp))},
                       {"status", StatusValue(kSuccess)}});
      return 0;
    }
    if (word == "reset") {
      if ((argument != "" && argument != "warm" && argument != "cold") || !extra.empty()) {
        return out_.Usage("reset takes warm or cold: '" + Visible(text) + "'");
      }
      if (!Reachable()) return 1;
      const bool warm = argument == "warm";
      return Ready(warm ? Power::kWarmReset : Power::kColdReset, warm ? "reset-warm" : "reset-cold",
                   warm ? "card reset warm" : "card reset cold")
                 ? 0
                 : 1;
    }
    if (word == "off" || word == "atr") {
      if (!argument.empty())
        return out_.Usage(word + " takes nothing, not '" + Visible(text) + "'");
      if (!Reachable()) return 1;
      if (word == "off") {
        protocol_ = 0;
        return Off(session_, out_);
      }
      if (protocol_ == 0 && !Ready(Power::kColdReset, "powered-up", "card powered up")) return 1;
      PrintAtr(atr_, out_, atr_ms_);
      return 0;
    }
    auto bytes = tolvex::host::ParseHex(text);
    if (!bytes || bytes->size() < 4) {
      return out_.Usage("not an APDU in hex nor a command: '" + Visible(text) +
                        "' (help lists them)");
    }
    if (!Reachable()) return 1;
    if (protocol_ == 0 && !Ready(Power::kColdReset, "powered-up", "card powered up")) return 1;
    if (Exchange(session_, out_, protocol_, *bytes, get_response_) == 0) return 0;
    Recover();
    return 1;
  }

  // Before a command for the reader: a reader whose serial device went away is said gone and
  // tried again, now and at each command after, until a reader answers on the same device
  // (said back; its card is powered up by the command that needs it). False while it is away
  // (said).
  bool Reachable() {
    if (!Away()) return true;
    if (const Status status = session_.Restart(); status != kSuccess) {
      out_.Error(fmt::format("the reader on {} is not back; the next command tries it again",
                             session_.Where()),
                 status);
      return false;
    }
    away_ = false;
    out_.Object(
        Json{{"command", "shell"}, {"event", "reader-back"}, {"status", StatusValue(kSuccess)}});
    out_.Text(fmt::format("the reader on {} is back", session_.Where()));
    return true;
  }

 private:
  static constexpr Status kGone = host::status::kNoSuchDevice;

  // Whether the reader's serial device went away; said when it is first seen.
  bool Away() {
    if (!away_ && session_.host().LineGone(session_.index())) {
      away_ = true;
      protocol_ = 0;
      const host::LineLoss loss = session_.host().Lost(session_.index());
      out_.Object(Json{{"command", "shell"},
                       {"event", "reader-gone"},
                       {"cause", LossName(loss)},
                       {"status", StatusValue(kGone)}});
      out_.Text(fmt::format("the reader on {} is gone: {}; the next command tries it again",
                            session_.Where(), LossWords(loss)));
    }
    return away_;
  }

  // After a failed exchange: a reader gone is said so; a card the driver powered down is
  // powered up again; a card that is gone waits for the next line.
  void Recover() {
    if (Away()) return;
    const auto [status, state] = session_.reader().State();
    if (status != kSuccess) {
      protocol_ = 0;
      out_.Error("the reader did not give the card's state", status);
      return;
    }
    if (state == CardState::kSpecific) return;  // still ready: the exchange alone failed
    protocol_ = 0;
    if (state < CardState::kPresent) {
      out_.Object(
          Json{{"command", "shell"}, {"event", "card-gone"}, {"status", StatusValue(kSuccess)}});
      out_.Text("the card is gone; insert one: the next line powers it up");
      return;
    }
    (void)Ready(Power::kColdReset, "powered-up-again",
                "card powered down by the failure; powered up again");
  }

  Session& session_;
  Output& out_;
  const std::uint32_t requested_;
  const bool get_response_;
  bool away_ = false;           // the reader's serial device went away
  std::uint32_t protocol_ = 0;  // 0: the card is not ready
  Bytes atr_;
  double atr_ms_ = 0;
};

}  // namespace

std::string Visible(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (c == '\\') {
      shown += "\\\\";
    } else if (byte < 0x20 || byte >= 0x7F) {
      shown += fmt::format("\\x{:02X}", byte);
    } else {
      shown += c;
    }
  }
  return shown;
}

int RunShell(Session& session, Output& out, std::uint32_t protocols, bool get_response,
             const LineSource& next) {
  ShellSession shell(session, out, protocols, get_response);
  // A card that does not come up now may after it is put in: the next APDU tries again.
  int result = shell.Ready(Power::kColdReset, "ready", "") ? 0 : 1;
  bool quit = false;
  while (!quit) {
    const std::optional<std::string> line = next();
    if (!line) break;
    result = std::max(result, shell.Line(*line, &quit));
  }
  return result;
}

int Shell(Session& session, Output& out, std::uint32_t protocols, bool get_response) {
  if (!isatty(STDIN_FILENO)) {
    return RunShell(session, out, protocols, get_response, []() -> std::optional<std::string> {
      std::string line;
      if (!std::getline(std::cin, line)) return std::nullopt;
      return line;
    });
  }
  // A person at a terminal: the line editor, its prompt and echo on standard error.
  rl_outstream = stderr;
  using_history();
  const int result =
      RunShell(session, out, protocols, get_response, []() -> std::optional<std::string> {
        char* read = readline("tolvex> ");
        if (read == nullptr) return std::nullopt;
        std::string line(read);
        std::free(read);
        if (!Meaning(line).empty()) add_history(line.c_str());
        return line;
      });
  std::fputc('\n', stderr);
  return result;
}

}  // namespace tolvex::tools
