// What every fuzz target shares: Check, which stops the run on a broken invariant, and Input,
// the fuzz input taken apart byte by byte (0 and empty once it is used up).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <type_traits>
#include <vector>

namespace tolvex::fuzz {

// A finding: libFuzzer keeps the input; the replay main stops on it.
inline void Check(bool holds, const char* what = "", const char* file = __builtin_FILE(),
                  int line = __builtin_LINE()) {
  if (holds) return;
  std::fprintf(stderr, "check failed: %s:%d %s\n", file, line, what);
  std::abort();
}

// Whether `value` is one of `values` (a call's defined statuses, say).
template <typename T>
bool OneOf(T value, std::initializer_list<std::type_identity_t<T>> values) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

// Buffers are filled with kFill before a call and given kCanary bytes more than their room, so
// that a byte written where the call must not write shows.
inline constexpr std::uint8_t kFill = 0xEE;
inline constexpr std::size_t kCanary = 16;
inline bool Untouched(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to) {
  return std::all_of(bytes.begin() + from, bytes.begin() + to, [](auto b) { return b == kFill; });
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }
  std::uint8_t Byte() { return empty() ? 0 : data_[at_++]; }
  std::uint16_t Word() {  // the high byte first
    const std::uint16_t high = Byte();
    return static_cast<std::uint16_t>(high << 8 | Byte());
  }
  // The low byte first, as a request's buffer holds a number and the dictionaries spell codes.
  std::uint32_t Long() {
    std::uint32_t value = 0;
    for (int shift = 0; shift < 32; shift += 8) value |= std::uint32_t{Byte()} << shift;
    return value;
  }
  std::size_t Below(std::size_t limit) { return Word() % (limit + 1); }  // in [0, limit]
  std::vector<std::uint8_t> Bytes(std::size_t count) {  // fewer if the input ends first
    const std::size_t n = empty() ? 0 : std::min(count, size_ - at_);
    std::vector<std::uint8_t> bytes(data_ + at_, data_ + at_ + n);
    at_ += n;
    return bytes;
  }
  std::vector<std::uint8_t> Rest() { return Bytes(size_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace tolvex::fuzz
