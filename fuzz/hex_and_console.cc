// The tools' text input: hex APDUs as `tolvex apdu` and `tolvex shell` read them, and the
// simulator's console lines as `tolvex-sim` reads them from its standard input.
//
// The input is split into lines. Each line is parsed as hex: what parses must print back to
// the same bytes. Each line is also a console command to a simulated reader with nothing on
// the line: the reply must be "ok ...", "error: ..." or empty for an empty line, and the
// reader must stay usable (a "status" after every command answers).
#include <cstddef>
#include <cstdint>
#include <span>
#include <sstream>
#include <string>

#include "host/hex.h"
#include "host/simulated_reader.h"
#include "input.h"

namespace {

using tolvex::fuzz::Check;

bool IsReply(const std::string& reply) {
  return reply.rfind("ok", 0) == 0 || reply.rfind("error: ", 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
  tolvex::host::SimulatedReader reader([](std::span<const std::uint8_t>) {},
                                       tolvex::host::SimulatedReaderOptions{});
  for (std::string line; std::getline(text, line);) {
    if (const auto bytes = tolvex::host::ParseHex(line)) {
      Check(tolvex::host::ParseHex(tolvex::host::Hex(*bytes)) == bytes, "hex prints back");
    }
    const tolvex::host::ConsoleReply reply = reader.Command(line);
    // The console splits words at any white space, as the shell does.
    Check(reply.line.empty() ? line.find_first_not_of(" \t\r\v\f") == std::string::npos
                             : IsReply(reply.line));
    if (!reply.go_on) break;
    Check(IsReply(reader.Command("status").line), "the reader stays usable");
  }
  return 0;
}
