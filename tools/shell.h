// The shell's pieces, for the command and its tests: the shell reads its lines from any source
// (a line editor on a terminal, plain standard input otherwise, a test's script).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "session.h"

namespace tolvex::tools {

// The next line of input without its end, or nothing at the end of input.
using LineSource = std::function<std::optional<std::string>()>;

// Runs the shell on the lines of `next` until "quit" or the end of input: APDUs in hex and the
// shell's commands (help lists them). The card is powered up and its protocol selected first;
// a card that an exchange left powered down is powered up again; a card pulled out (or none at
// the start) is powered up by the next APDU. Returns 0 when every line succeeded, 2 if a line was
// not understood, else 1 if anything failed; it reads on after each.
// `protocols`: the protocol mask asked for; under T=0 the GET RESPONSE and Le corrections are
// sent for each APDU unless !get_response.
int RunShell(Session& session, Output& out, std::uint32_t protocols, bool get_response,
             const LineSource& next);

// The text with its control characters and bytes beyond ASCII made visible ("\r", "\t",
// "\x01"), backslashes doubled: an error message shows exactly what was read.
std::string Visible(std::string_view text);

}  // namespace tolvex::tools
