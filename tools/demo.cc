// demo: the driver on the built-in simulated reader, from its attributes to a card pulled out.
#include <fmt/format.h>

#include "commands.h"

namespace tolvex::tools {

int Demo(Output& out, bool trace) {
  Options options;
  options.trace = trace;
  Session session(options, out);
  out.Text(
      "tolvex demo: the driver on the built-in simulated reader, a dual-protocol card in it\n");
  if (int code = session.Open()) return code;
  if (int code = Info(session, out)) return code;
  out.Text("");
  if (int code = Atr(session, out, Power::kColdReset)) return code;
  out.Text("");
  const auto start = Clock::now();
  const auto [status, selected] = session.reader().SetProtocol(kT0 | kT1);
  if (status != kSuccess) return out.Error(ProtocolFailure(status), status);
  out.Object(Json{{"command", "protocol"},
                  {"protocol", selected == kT1 ? "T=1" : "T=0"},
                  {"ms", Milliseconds(Clock::now() - start)},
                  {"status", StatusValue(kSuccess)}});
  out.Text(fmt::format("protocol      {} negotiated ({:.1f} ms)\n", selected == kT1 ? "T=1" : "T=0",
                       Milliseconds(Clock::now() - start)));
  const std::vector<Bytes> apdus = {
      {0x00, 0xA4, 0x04, 0x00, 0x07, 0xF0, 0x54, 0x4F, 0x4C, 0x56, 0x45, 0x58},  // SELECT by AID
      {0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01},                                // SELECT file 0101
      {0x00, 0xB0, 0x00, 0x00, 0x10},                                            // READ BINARY
      {0x00, 0x84, 0x00, 0x00, 0x08},                                            // GET CHALLENGE
      {0x80, 0xEE, 0x00, 0x00, 0x04, 0x74, 0x6F, 0x6C, 0x76, 0x04},              // echo
  };
  for (const Bytes& apdu : apdus) {
    if (int code = Exchange(session, out, selected, apdu)) return code;
  }
  out.Text("");
  SimulatedReader* simulator = session.simulator();
  auto removal = session.reader().StartWaitForCard(CardWait::kAbsent);
  out.Text("the card is pulled out of the simulated reader ...");
  simulator->RemoveCard();
  Status seen = removal->Wait(std::chrono::seconds(10));
  if (seen != kSuccess) return out.Error("the driver did not report the removal", seen);
  out.Object(Json{{"command", "watch"}, {"event", "removed"}, {"status", StatusValue(kSuccess)}});
  out.Text("  the driver reports: card removed");
  auto insertion = session.reader().StartWaitForCard(CardWait::kPresent);
  out.Text("and put back in ...");
  simulator->InsertCard("dual");
  seen = insertion->Wait(std::chrono::seconds(10));
  if (seen != kSuccess) return out.Error("the driver did not report the insertion", seen);
  out.Object(Json{{"command", "watch"}, {"event", "inserted"}, {"status", StatusValue(kSuccess)}});
  out.Text("  the driver reports: card inserted");
  return 0;
}

}  // namespace tolvex::tools
