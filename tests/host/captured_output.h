// What the tolvex command's code writes on standard output, caught for a test.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

namespace tolvex::host {

// The standard output of `f()`.
template <typename F>
std::string CapturedOutput(F f) {
  std::ostringstream text;
  std::streambuf* const saved = std::cout.rdbuf(text.rdbuf());
  f();
  std::cout.rdbuf(saved);
  return text.str();
}

}  // namespace tolvex::host
