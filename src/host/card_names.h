// The names pcsc-tools' list of smart cards gives an ATR, as pcsc_scan shows them.
//
// The list (smartcard_list.txt) holds, for each known card, a line with its ATR as a regular
// expression over the ATR in hex ("3B 02 14 50", upper case, a space between bytes; "." for
// any digit, "[..]" for a choice), then its description lines, each indented with a tab.
// Lines starting with "#" and empty lines are comments. Descriptions are UTF-8; a byte that is
// not is given as '?'. An ATR matches a pattern when the
// whole ATR text does; each matching entry's descriptions are given, in the list's order.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tolvex::host {

// Where the list is: $TOLVEX_SMARTCARD_LIST when set, else Debian's
// /usr/share/pcsc/smartcard_list.txt.
std::string CardListPath();

// The descriptions the list at `path` gives the ATR; none when the file cannot be read, an
// entry's pattern is not a regular expression, or nothing matches.
std::vector<std::string> CardNames(std::span<const std::uint8_t> atr, const std::string& path);

}  // namespace tolvex::host
