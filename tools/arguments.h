// What the tools' options accept, as CLI11 validators: every usage error is found while the
// command line is parsed, before the driver starts. Also the tools' version line.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tolvex::tools {

// "tolvex 0.1.0": the program's name and the project's version (CMake's, set in one place).
std::string VersionLine(std::string_view program);

// The serial ports the driver serves: 0 to 3.
inline constexpr unsigned kLastPort = 3;

struct PortBinding {
  unsigned index = 0;
  std::string path;
};
// "N=PATH": N one digit from 0 to kLastPort, PATH not empty. Else nothing, and *why says what
// is wrong.
std::optional<PortBinding> ParsePortBinding(std::string_view text, std::string* why);
// --port N=PATH, checked with ParsePortBinding.
CLI::Validator PortBindingValidator();
// Adds one binding to `ports`; a port given twice is an error (CLI::ValidationError).
void AddPortBinding(std::map<unsigned, std::string>& ports, const std::string& text);

// The simulator's card models (host/simulated_reader.h), and "none" if `none` is given.
CLI::Validator CardModelValidator(std::optional<std::string> none = std::nullopt);

// --protocol: t0, t1 or any, to the protocol mask the driver takes (1 T=0, 2 T=1).
const std::map<std::string, std::uint32_t>& ProtocolNames();

// An APDU in hex (host/hex.h), at least the four header bytes.
CLI::Validator ApduValidator();

// A CLI11 error message on one line: line breaks become "; ".
std::string OneLine(std::string_view message);

}  // namespace tolvex::tools
