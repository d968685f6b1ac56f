// pcscd's log function, for the handler's tests and fuzz target: the lines the handler logged.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tolvex::ifd::testing {

// True if some line kept contains `text`.
bool Logged(const std::string& text);
// The lines kept, oldest first ("priority text"): every line, or the last `count` once told so.
std::vector<std::string> LoggedLines();
void KeepLastLines(std::size_t count);

}  // namespace tolvex::ifd::testing
