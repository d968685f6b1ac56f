// The fuzz input taken apart byte by byte: numbers and byte strings for the targets' choices.
// Once the input is used up every number is 0 and every string empty, so a short input still
// makes a whole run (with the quietest choices).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace tolvex::fuzz {

// Stops the run as a finding: libFuzzer keeps the input; the replay main stops on it.
inline void Check(bool holds, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  if (holds) return;
  std::fprintf(stderr, "check failed: %s:%d\n", file, line);
  std::abort();
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }
  std::uint8_t Byte() { return empty() ? 0 : data_[at_++]; }
  std::uint16_t Word() {
    const std::uint16_t high = Byte();
    return static_cast<std::uint16_t>(high << 8 | Byte());
  }
  std::uint32_t Long() {
    const std::uint32_t high = Word();
    return high << 16 | Word();
  }
  // A number in [0, limit].
  std::size_t Below(std::size_t limit) { return limit == 0 ? 0 : Word() % (limit + 1); }
  // `count` bytes, fewer if the input ends first.
  std::vector<std::uint8_t> Bytes(std::size_t count) {
    const std::size_t n = std::min(count, size_ - std::min(at_, size_));
    std::vector<std::uint8_t> bytes(data_ + at_, data_ + at_ + n);
    at_ += n;
    return bytes;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace tolvex::fuzz
