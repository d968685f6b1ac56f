#include "words.h"

#include <fmt/format.h>

#include "host/event_messages.h"

namespace tolvex::tools {

std::string StatusValue(host::Status status) {
  return fmt::format("0x{:08X}", static_cast<std::uint32_t>(status));
}

std::string StatusWords(host::Status status) {
  std::string name = host::StatusName(status);
  const std::string value = StatusValue(status);
  if (name != value) name += " " + value;
  return name + ": " + host::StatusText(status);
}

std::optional<std::uint32_t> EventFor(host::Status status) {
  switch (status) {
    case host::status::kInsufficientResources:
      return host::event::kNoMemory;
    case host::status::kBufferTooSmall:
      return host::event::kBufferTooSmall;
    default:
      return std::nullopt;
  }
}

std::string LossWords(host::LineLoss loss) {
  return loss == host::LineLoss::kDataSetReady
             ? "its data-set-ready line changed (unplugged or switched off)"
             : "its serial device hung up";
}

std::string LossName(host::LineLoss loss) {
  return loss == host::LineLoss::kDataSetReady ? "data-set-ready" : "hang-up";
}

std::string PortFailure(const std::string& where, host::Status status) {
  switch (status) {
    case host::status::kObjectNameNotFound:
      return "the serial device " + where + " does not exist";
    case host::status::kSharingViolation:
      return where + " is in use by another program";
    case host::status::kNoSuchDevice:
      return where + " is not a serial device";
    case host::status::kAccessDenied:
      return "no permission to open " + where;
    default:
      return where + " could not be opened";
  }
}

std::string PowerFailure(host::Status status) {
  switch (status) {
    case host::status::kNoMedia:
      return "no card in the reader";
    case host::status::kUnrecognizedMedia:
      return "the card did not answer its reset";
    case host::status::kDataError:
      return "the card's answer to reset was not valid";
    case host::status::kIoTimeout:
      return "the reader did not answer";
    case host::status::kBufferTooSmall:
      return "the card's answer to reset is longer than the driver takes";
    default:
      return "the card could not be powered up";
  }
}

std::string ProtocolFailure(host::Status status) {
  switch (status) {
    case host::status::kInvalidDeviceRequest:
      return "protocol not supported by the card";
    case host::status::kDeviceProtocolError:
      return "the card did not accept the protocol (it is powered down)";
    case host::status::kNoMedia:
      return "no card in the reader";
    case host::status::kInvalidDeviceState:
      return "the card is not powered";
    default:
      return "the protocol could not be selected";
  }
}

std::string TransmitFailure(host::Status status) {
  switch (status) {
    case host::status::kBufferTooSmall:
      return "response larger than the buffer";
    case host::status::kDeviceProtocolError:
      return "the card did not follow the protocol";
    case host::status::kIoTimeout:
      return "the card did not answer";
    case host::status::kNoMedia:
      return "no card in the reader";
    case host::status::kInvalidDeviceState:
      return "no protocol selected for the card";
    case host::status::kInvalidDeviceRequest:
      return "the command does not match the protocol in force";
    default:
      return "the command could not be sent";
  }
}

std::string CardStateWords(std::uint32_t state) {
  switch (state) {
    case 0:
      return "unknown";
    case 1:
      return "absent";
    case 2:
      return "present";
    case 3:
      return "present, not powered";
    case 4:
      return "powered";
    case 5:
      return "powered, protocol not selected";
    case 6:
      return "powered, protocol selected";
    default:
      return "state " + std::to_string(state);
  }
}

std::vector<std::string> Protocols(std::uint32_t mask) {
  std::vector<std::string> names;
  if (mask & 1) names.push_back("T=0");
  if (mask & 2) names.push_back("T=1");
  if (mask & 0x10000) names.push_back("raw");
  return names;
}

}  // namespace tolvex::tools
