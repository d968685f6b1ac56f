// Commands and answers of the simulated cards' application (sim/application.h), for the tests'
// tables: bytes joined, an answer with 90 00, and the application's file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/application.h"

namespace tolvex::testutil {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
inline Bytes Ok(Bytes data = {}) {
  return Cat(std::move(data), {0x90, 0x00});
}
// `count` bytes of the application's file from `offset`.
inline Bytes File(size_t offset, size_t count) {
  const auto file = sim::Application::FileContents().begin() + static_cast<std::ptrdiff_t>(offset);
  return Bytes(file, file + static_cast<std::ptrdiff_t>(count));
}

}  // namespace tolvex::testutil
