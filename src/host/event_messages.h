// The driver's event-log messages (driver/messages.h tells which condition each stands for),
// for the tools, which print the message of a condition they report beside its status.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex::host {

struct EventMessage {
  std::uint32_t id;
  std::string_view name;
  std::string_view text;  // as the driver carries it, ending with a line break
};

// Every message the driver carries, in the order of their ids.
std::vector<EventMessage> EventMessages();
// The message of `id`, if the driver has one.
std::optional<EventMessage> FindEventMessage(std::uint32_t id);
// "0xC0040004 Internal error: Cannot connect to assigned serial port." : the id and the text
// on one line (line breaks become spaces, the last one dropped); empty for an unknown id.
std::string EventMessageLine(std::uint32_t id);

namespace event {
inline constexpr std::uint32_t kCannotCreateDevice = 0xC0040001;
inline constexpr std::uint32_t kNoMemory = 0xC0040002;
inline constexpr std::uint32_t kCannotConnectSerial = 0xC0040004;
inline constexpr std::uint32_t kTooManyDevices = 0xC0040005;
inline constexpr std::uint32_t kBufferTooSmall = 0xC0100003;
}  // namespace event

}  // namespace tolvex::host
