// tolvex-sim's console: each command line, its answer, and whether the console reads on.
#include <gtest/gtest.h>

#include <string>

#include "host/simulated_reader.h"

namespace tolvex::host {
namespace {

TEST(Console, AnswersEachCommandAndStopsOnQuit) {
  SimulatedReader reader([](std::span<const std::uint8_t>) {}, SimulatedReaderOptions());
  const struct {
    const char* line;
    const char* answer;  // its start
    bool go_on;
  } steps[] = {
      {"status", "ok card=none powered=no next=t0", true},
      {"card t1", "ok card t1 for the next insert", true},
      {"card no-such-model", "error: card takes one of", true},
      {"insert", "ok inserted t1", true},
      {"status", "ok card=t1 powered=no next=t1", true},
      {"remove", "ok removed", true},
      {"status", "ok card=none", true},
      {"insert no-such-model", "error: no card model no-such-model", true},
      // The faults it takes: not insert and remove (commands of their own), nor the
      // data-set-ready ones a pseudo-terminal refuses.
      {"fault", "error: fault takes a name: negative [BYTE], silence, damage [K], ", true},
      {"fault dsr-drop", "error: a pseudo-terminal has no data-set-ready line: dsr-drop", true},
      {"eject", "error: unknown command eject", true},
      {"quit", "ok bye", false},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.line);
    const ConsoleReply reply = reader.Command(step.line);
    EXPECT_EQ(reply.line.substr(0, std::string(step.answer).size()), step.answer) << reply.line;
    EXPECT_EQ(reply.go_on, step.go_on);
    if (std::string_view(step.line) != "fault") continue;
    for (const char* offered : {"insert", "remove", "dsr-drop", "dsr-raise"}) {
      EXPECT_EQ(reply.line.find(offered), std::string::npos) << "offers " << offered;
    }
  }
  // Its help too.
  const std::string help = SimulatedReader::ConsoleHelp();
  const std::string faults = help.substr(help.find("a fault, one of:"));
  for (const char* offered : {"\n    insert", "\n    remove", "dsr-drop", "dsr-raise"}) {
    EXPECT_EQ(faults.find(offered), std::string::npos) << "the help offers " << offered;
  }
}

}  // namespace
}  // namespace tolvex::host
