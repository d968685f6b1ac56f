// pcscd's log function, for the handler's tests: the lines the handler logged.
#pragma once

#include <string>

namespace tolvex::ifd::testing {

// True if some line logged so far contains `text`.
bool Logged(const std::string& text);

}  // namespace tolvex::ifd::testing
