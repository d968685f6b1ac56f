// pcscd's log functions, for the handler's tests: the lines the handler logged.
#pragma once

#include <string>
#include <vector>

namespace tolvex::ifd::testing {

std::vector<std::string> LoggedLines();
void ClearLog();
// True if some line logged contains `text`.
bool Logged(const std::string& text);

}  // namespace tolvex::ifd::testing
