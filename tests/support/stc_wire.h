// The reader's wire written as text, for the frame and STC tests' tables: bytes in hex ("82 6F"),
// frames separated by commas ("C1, C2, 81 FE"), and the scripted reader's rules ("C0 > 21"
// answers once, "C2 >> 6F" every time, "* > 90" any other frame).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/hex.h"
#include "support/scripted_reader.h"

namespace tolvex::testutil {

// The two frames the card tests look for most: power the card off, and reset it.
inline const std::vector<std::uint8_t> kPowerOff = {0x84, 0x00};
inline const std::vector<std::uint8_t> kResetCommand = {0x83, 0x1D};

// Bytes written out in hex, two digits each ("82 6F" or "826F"), read by the tools' parser.
inline std::vector<std::uint8_t> Hex(std::string_view text) {
  auto bytes = host::ParseHex(text);
  EXPECT_TRUE(bytes.has_value()) << "not hex: " << text;
  return bytes.value_or(std::vector<std::uint8_t>{});
}

// The pieces of `text` between `separator`s.
inline std::vector<std::string_view> Split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> pieces;
  for (size_t at = 0; !text.empty() && at != std::string_view::npos;) {
    const size_t end = text.find(separator, at);
    pieces.push_back(text.substr(at, end == std::string_view::npos ? end : end - at));
    at = end == std::string_view::npos ? end : end + separator.size();
  }
  return pieces;
}

inline std::vector<std::vector<std::uint8_t>> Wire(std::string_view text) {
  std::vector<std::vector<std::uint8_t>> frames;
  for (std::string_view frame : Split(text, ",")) frames.push_back(Hex(frame));
  return frames;
}

inline void Program(sim::ScriptedReader& script, std::string_view rules) {
  for (std::string_view rule : Split(rules, ",")) {
    const bool always = rule.find(">>") != std::string_view::npos;
    const auto sides = Split(rule, always ? ">>" : ">");
    ASSERT_EQ(sides.size(), 2u) << rule;
    if (sides[0].find('*') != std::string_view::npos) {
      script.Default(Hex(sides[1]));
    } else if (always) {
      script.Always(Hex(sides[0]), Hex(sides[1]));
    } else {
      script.Expect(Hex(sides[0]), Hex(sides[1]));
    }
  }
}

}  // namespace tolvex::testutil
