#include "arguments.h"

#include <fmt/format.h>

#include "host/event_messages.h"
#include "host/hex.h"
#include "host/simulated_reader.h"

#ifndef TOLVEX_VERSION
#error "TOLVEX_VERSION is set by CMake from the project's version"
#endif

namespace tolvex::tools {

std::string VersionLine(std::string_view program) {
  return fmt::format("{} {}", program, TOLVEX_VERSION);
}

std::optional<PortBinding> ParsePortBinding(std::string_view text, std::string* why) {
  const auto equals = text.find('=');
  if (equals == std::string_view::npos) {
    *why = fmt::format("'{}' is not N=PATH", text);
    return std::nullopt;
  }
  const std::string_view number = text.substr(0, equals);
  const std::string_view path = text.substr(equals + 1);
  if (number.size() != 1 || number[0] < '0' || number[0] > '9') {
    *why = fmt::format("'{}' is not a port number (0 to {})", number, kLastPort);
    return std::nullopt;
  }
  const unsigned index = static_cast<unsigned>(number[0] - '0');
  if (index > kLastPort) {
    // As the driver would say of a fifth reader.
    *why = fmt::format("port {}: the driver serves ports 0 to {} ({})", index, kLastPort,
                       host::EventMessageLine(host::event::kTooManyDevices));
    return std::nullopt;
  }
  if (path.empty()) {
    *why = fmt::format("port {} has no device path", index);
    return std::nullopt;
  }
  return PortBinding{index, std::string(path)};
}

CLI::Validator PortBindingValidator() {
  return CLI::Validator(
      [](std::string& text) {
        std::string why;
        return ParsePortBinding(text, &why) ? std::string() : why;
      },
      "", "port binding");
}

void AddPortBinding(std::map<unsigned, std::string>& ports, const std::string& text) {
  std::string why;
  const std::optional<PortBinding> binding = ParsePortBinding(text, &why);
  if (!binding) throw CLI::ValidationError("--port", why);
  if (!ports.emplace(binding->index, binding->path).second) {
    throw CLI::ValidationError("--port", fmt::format("port {} given twice", binding->index));
  }
}

CLI::Validator CardModelValidator(std::optional<std::string> none) {
  std::vector<std::string> models = host::SimulatedReader::CardModels();
  if (none) models.push_back(*none);
  return CLI::IsMember(models);
}

const std::map<std::string, std::uint32_t>& ProtocolNames() {
  static const std::map<std::string, std::uint32_t> names = {{"t0", 1}, {"t1", 2}, {"any", 3}};
  return names;
}

CLI::Validator ApduValidator() {
  return CLI::Validator(
      [](std::string& text) {
        const auto bytes = host::ParseHex(text);
        return bytes && bytes->size() >= 4 ? std::string()
                                           : fmt::format("not an APDU in hex: '{}'", text);
      },
      "", "APDU");
}

std::string OneLine(std::string_view message) {
  while (!message.empty() && message.back() == '\n') message.remove_suffix(1);
  std::string line;
  for (char c : message) {
    if (c == '\n') {
      line += "; ";
    } else {
      line += c;
    }
  }
  return line;
}

}  // namespace tolvex::tools
