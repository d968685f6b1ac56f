// The tolvex shell on the built-in simulated reader: each script's lines go through the shell
// one by one, the simulator's console changing the reader or the card before a line, and what
// the shell says to each line (standard output and errors, in order) is checked line by line.
#include <gtest/gtest.h>

#include <iostream>
#include <regex>
#include <sstream>

#include "serial/memory_line.h"
#include "support/wait.h"
#include "tools/shell.h"

namespace {

using tolvex::host::CardWait;
using tolvex::tools::LineSource;
using tolvex::tools::Options;
using tolvex::tools::Output;
using tolvex::tools::Session;

// Standard output and standard error into one text, in the order written.
class Captured {
 public:
  Captured() : out_(std::cout.rdbuf(said_.rdbuf())), err_(std::cerr.rdbuf(said_.rdbuf())) {}
  ~Captured() {
    std::cout.rdbuf(out_);
    std::cerr.rdbuf(err_);
  }
  std::string text() const { return said_.str(); }

 private:
  std::ostringstream said_;
  std::streambuf* out_;
  std::streambuf* err_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

const std::string kReady = R"(ATR 3B 92 13 80 31 20 45 44 55 44   protocol T=1)";
const std::string kAnswered = R"(< 90 00   normal processing   \(\d+\.\d ms\))";
const std::string kSelect = "00A4040007F0544F4C564558";
const std::string kSelectShown = "> 00 A4 04 00 07 F0 54 4F 4C 56 45 58";
const std::string kWords = R"(< [0-9A-F]{2} [0-9A-F]{2}   .+   \(\d+\.\d ms\))";
const std::string kNotUnderstood = "tolvex: not an APDU in hex nor a command: ";
const std::string kProtocolError =
    "tolvex: the card did not follow the protocol \\(the card is powered down\\) .*0xC0000186.*";
const std::string kRepowered = "card powered down by the failure; powered up again: " + kReady;
const std::string kGone = "the card is gone; insert one: the next line powers it up";
// The reader's data-set-ready line changed: said, the reader started again, the card powered up
// again and the line's APDU answered.
const std::vector<std::string> kGoneAndBack = {
    "the reader on port 0 is gone: its data-set-ready line changed \\(unplugged or switched "
    "off\\); the next command tries it again",
    "the reader on port 0 is back", "card powered up: " + kReady, kSelectShown, kAnswered};

struct Row {
  const char* console;  // a simulator console command before the line, or null
  std::string line;
  // A regular expression for each line said, in order; kMore last: more lines may follow.
  std::vector<std::string> said;
};

const std::string kMore = "...";

struct Script {
  const char* name;
  std::vector<Row> rows;
  int code;
  std::string card = "dual";   // in the reader at the start ("none": no card)
  std::string start = kReady;  // said at the start
};

void PrintTo(const Script& script, std::ostream* os) {
  *os << script.name;
}

class ShellScript : public ::testing::TestWithParam<Script> {};

TEST_P(ShellScript, SaysWhatEachLineDid) {
  const Script& script = GetParam();
  Options options;  // the built-in simulated reader
  options.card = script.card;
  Output out(false);
  Captured captured;
  Session session(options, out);
  ASSERT_EQ(session.Open(), 0);
  // What was said before each line was read: [0] the start, [i + 1] row i.
  std::vector<std::string> said(script.rows.size() + 1);
  std::size_t next = 0, mark = 0;
  auto take = [&] {
    const std::string all = captured.text();
    said[next] = all.substr(mark);
    mark = all.size();
  };
  const LineSource source = [&]() -> std::optional<std::string> {
    take();
    if (next == script.rows.size()) return std::nullopt;
    const Row& row = script.rows[next++];
    if (row.console != nullptr) {
      const std::string console = row.console;
      EXPECT_EQ(session.simulator()->Command(console).line.substr(0, 2), "ok") << console;
      // A card moved: the line comes once the driver knows, as it would from a person.
      if (console.starts_with("insert") || console.starts_with("remove")) {
        const auto until = console.starts_with("insert") ? CardWait::kPresent : CardWait::kAbsent;
        EXPECT_EQ(session.reader().WaitForCard(until, std::chrono::seconds(10)), 0);
      }
      // The line changed before the shell's next line, as it would under a person's hand.
      const unsigned dsr = SERIAL_DSR_STATE;
      if (console.starts_with("fault dsr-")) {
        const bool up = console == "fault dsr-raise";
        EXPECT_TRUE(tolvex::testutil::WaitUntil([&] {
          return (session.host().memory_line(0)->ModemStatus() & dsr) == (up ? dsr : 0u);
        }));
      }
    }
    return row.line;
  };
  const int code =
      tolvex::tools::RunShell(session, out, tolvex::tools::kT0 | tolvex::tools::kT1, true, source);
  EXPECT_EQ(code, script.code);
  ASSERT_EQ(Lines(said[0]).size(), 1u) << said[0];
  EXPECT_TRUE(std::regex_match(Lines(said[0])[0], std::regex(script.start))) << said[0];
  for (std::size_t i = 0; i < script.rows.size(); ++i) {
    const std::vector<std::string> lines = Lines(said[i + 1]);
    SCOPED_TRACE("line " + std::to_string(i + 1) + ": " + script.rows[i].line + "\n" + said[i + 1]);
    const std::vector<std::string>& expected = script.rows[i].said;
    const bool more = !expected.empty() && expected.back() == kMore;
    if (more) {
      ASSERT_GE(lines.size(), expected.size());
    } else {
      ASSERT_EQ(lines.size(), expected.size());
    }
    for (std::size_t j = 0; j < expected.size() - (more ? 1 : 0); ++j) {
      EXPECT_TRUE(std::regex_match(lines[j], std::regex(expected[j]))) << lines[j];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ShellScript,
    ::testing::Values(
        Script{
            "LineHandling",
            {
                {nullptr, kSelect + "\r", {kSelectShown, kAnswered}},  // CRLF
                {nullptr, "# a comment", {}},
                {nullptr, "", {}},
                {nullptr, " \t ", {}},
                {nullptr, "00B0000004  # READ BINARY", {"> 00 B0 00 00 04", kWords}},
                {nullptr, "00 A4\r00 00", {kNotUnderstood + R"('00 A4\\r00 00' .*)"}},
                {nullptr, "00A4", {kNotUnderstood + "'00A4' .*"}},
                {nullptr, "zz\x01\x7F\\", {kNotUnderstood + R"('zz\\x01\\x7F\\\\' .*)"}},
                {nullptr, "frobnicate", {kNotUnderstood + "'frobnicate' .*"}},
                {nullptr,
                 "atr",
                 {R"(ATR {11}3B 92 13 80 31 20 45 44 55 44   \(\d+\.\d ms\))",
                  "TS            3B  direct convention", kMore}},
                {nullptr, "reset warm", {"card reset warm: " + kReady}},
                {nullptr, "reset", {"card reset cold: " + kReady}},
                {nullptr, "reset sideways", {"tolvex: reset takes warm or cold: 'reset sideways'"}},
                {nullptr, "off", {"card powered down"}},
                {nullptr, kSelect, {"card powered up: " + kReady, kSelectShown, kAnswered}},
                {nullptr, "help", {"APDU in hex .*", kMore}},
                {nullptr, "quit", {}},
                {nullptr, kSelect, {}},  // not read
            },
            2},
        Script{"AllAnswered", {{nullptr, kSelect, {kSelectShown, kAnswered}}}, 0},
        Script{"NoCardAtFirst",
               {{"insert dual", kSelect, {"card powered up: " + kReady, kSelectShown, kAnswered}}},
               1,
               "none",
               "tolvex: no card in the reader .*"},
        Script{
            "Recovery",
            {
                {nullptr, kSelect, {kSelectShown, kAnswered}},
                // The card's block never ends: the driver powers it down, the shell up.
                {"fault silence", kSelect, {kSelectShown, kProtocolError, kRepowered}},
                {nullptr, kSelect, {kSelectShown, kAnswered}},
                // The reader refuses the command: the card stays powered, and the next line
                // goes to it as it is.
                {"fault negative",
                 kSelect,
                 {kSelectShown, "tolvex: .*\\(the card is still powered\\) .*"}},
                {nullptr, kSelect, {kSelectShown, kAnswered}},
                // The card gives no ATR: the next line powers it up.
                {"fault mute", "reset", {"tolvex: the card did not answer its reset .*"}},
                {nullptr, kSelect, {"card powered up: " + kReady, kSelectShown, kAnswered}},
                // The card pulled out: the next line powers the next card up.
                {"remove",
                 kSelect,
                 {kSelectShown, "tolvex: no card in the reader .*0xC0000178.*", kGone}},
                {nullptr, kSelect, {"tolvex: .*0xC0000178.*"}},
                {"insert dual", kSelect, {"card powered up: " + kReady, kSelectShown, kAnswered}},
                // Data-set-ready changes (the reader unplugged or switched off): the shell says
                // the reader is gone, starts it again, and the card is powered up again.
                {"fault dsr-drop", kSelect, kGoneAndBack},
                // Plugged in again: that is a change too.
                {"fault dsr-raise", kSelect, kGoneAndBack},
                {nullptr, kSelect, {kSelectShown, kAnswered}},
            },
            1}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
