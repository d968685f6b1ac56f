#include "driver/messages.h"

#include <algorithm>

namespace tolvex::driver {

namespace {

constexpr EventMessage kMessages[] = {
    {kEventIncompatibleLibrary, "TOLVEX_INCOMPATIBLE_LIBRARY",
     "The version of the dependency driver smclib.sys is not compatbile to this driver.\n"},
    {kEventCannotCreateDevice, "TOLVEX_CANNOT_CREATE_DEVICE",
     "A new device cannot be created due to an system call failure.\n"},
    {kEventNoMemory, "TOLVEX_NO_MEMORY", "The system does not have enough memory.\n"},
    {kEventCannotConnectSerial, "TOLVEX_CANNOT_CONNECT_SERIAL",
     "Internal error: Cannot connect to assigned serial port.\n"},
    {kEventTooManyDevices, "TOLVEX_TOO_MANY_DEVICES",
     "The maximum number of devices has already been created. \n"
     "A new device cannot be created.\n"},
    {kEventBufferTooSmall, "TOLVEX_BUFFER_TOO_SMALL", "An internal i/o buffer is too small.\n"},
};

}  // namespace

std::span<const EventMessage> EventMessages() {
  return kMessages;
}

const EventMessage* FindEventMessage(std::uint32_t id) {
  const auto it = std::find_if(std::begin(kMessages), std::end(kMessages),
                               [id](const EventMessage& message) { return message.id == id; });
  return it == std::end(kMessages) ? nullptr : &*it;
}

}  // namespace tolvex::driver
