// shell: APDUs in hex, one a line, from standard input.
#include <fmt/format.h>

#include "commands.h"
#include "host/hex.h"

namespace tolvex::tools {

int Shell(Session& session, Output& out, std::uint32_t protocols) {
  int code = 0;
  const std::uint32_t protocol = Prepare(session, out, protocols, &code);
  if (code != 0) return code;
  std::string line;
  int result = 0;
  while (std::getline(std::cin, line)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    auto bytes = tolvex::host::ParseHex(line);
    if (!bytes || bytes->size() < 4) {
      out.Usage("not an APDU in hex: '" + line + "'");
      result = 2;
      continue;
    }
    if (Exchange(session, out, protocol, *bytes) != 0) result = 1;
  }
  return result;
}

}  // namespace tolvex::tools
