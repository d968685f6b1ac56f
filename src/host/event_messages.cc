#include "host/event_messages.h"

#include <iomanip>
#include <sstream>

#include "driver/messages.h"

namespace tolvex::host {

static_assert(event::kCannotCreateDevice == driver::kEventCannotCreateDevice);
static_assert(event::kNoMemory == driver::kEventNoMemory);
static_assert(event::kCannotConnectSerial == driver::kEventCannotConnectSerial);
static_assert(event::kTooManyDevices == driver::kEventTooManyDevices);
static_assert(event::kBufferTooSmall == driver::kEventBufferTooSmall);

std::vector<EventMessage> EventMessages() {
  std::vector<EventMessage> messages;
  for (const driver::EventMessage& message : driver::EventMessages()) {
    messages.push_back({message.id, message.name, message.text});
  }
  return messages;
}

std::optional<EventMessage> FindEventMessage(std::uint32_t id) {
  const driver::EventMessage* message = driver::FindEventMessage(id);
  if (message == nullptr) return std::nullopt;
  return EventMessage{message->id, message->name, message->text};
}

std::string EventMessageLine(std::uint32_t id) {
  const std::optional<EventMessage> message = FindEventMessage(id);
  if (!message) return {};
  std::string text(message->text);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      if (!line.empty() && line.back() != ' ') line += ' ';
    } else {
      line += c;
    }
  }
  std::ostringstream out;
  out << "0x" << std::uppercase << std::hex << std::setw(8) << std::setfill('0') << id << ' '
      << line;
  return out.str();
}

}  // namespace tolvex::host
