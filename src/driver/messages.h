// The driver's event-log messages: the texts that go with the driver, by message id.
//
// The driver writes none of them itself (it does no logging: the status of each request is
// its report); they are data carried with it, for whoever reports a condition to a person.
// The tools (through host/event_messages.h) print the message of the condition they report,
// with its id, beside the status the driver gave:
//
//   id          condition                                      the tools print it when
//   0x40040006  the smart card library is not the version      never met: the library is built
//               the driver was built for                       in, its version fixed
//   0xC0040001  a device could not be created (a call to       a reader did not start on a
//               the system failed)                             port that opened, for another
//                                                              reason than those below
//   0xC0040002  out of memory                                  STATUS_INSUFFICIENT_RESOURCES
//   0xC0040004  the serial port cannot be opened or used       a serial device that does not
//                                                              open, or where no reader answered
//   0xC0040005  no more reader devices can be created          a port beyond the driver's four
//   0xC0100003  an internal buffer is too small                STATUS_BUFFER_TOO_SMALL
//
// Each text is kept exactly as the message file has it, spelling included, and ends with a
// line break.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tolvex::driver {

struct EventMessage {
  std::uint32_t id;
  std::string_view name;
  std::string_view text;
};

inline constexpr std::uint32_t kEventIncompatibleLibrary = 0x40040006;
inline constexpr std::uint32_t kEventCannotCreateDevice = 0xC0040001;
inline constexpr std::uint32_t kEventNoMemory = 0xC0040002;
inline constexpr std::uint32_t kEventCannotConnectSerial = 0xC0040004;
inline constexpr std::uint32_t kEventTooManyDevices = 0xC0040005;
inline constexpr std::uint32_t kEventBufferTooSmall = 0xC0100003;

// Every message, in the order of their ids.
std::span<const EventMessage> EventMessages();
// The message of `id`; null for an id the driver has no message for.
const EventMessage* FindEventMessage(std::uint32_t id);

}  // namespace tolvex::driver
