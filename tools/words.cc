#include "words.h"

#include "sim/bytes.h"

#include <cstdio>

namespace tolvex::tools {

namespace {
constexpr host::Status kNoMedia = static_cast<host::Status>(0xC0000178);
constexpr host::Status kUnrecognizedMedia = static_cast<host::Status>(0xC0000014);
constexpr host::Status kDataError = static_cast<host::Status>(0xC000003E);
constexpr host::Status kIoTimeout = static_cast<host::Status>(0xC00000B5);
constexpr host::Status kInvalidDeviceRequest = static_cast<host::Status>(0xC0000010);
constexpr host::Status kProtocolError = static_cast<host::Status>(0xC0000186);
constexpr host::Status kBufferTooSmall = static_cast<host::Status>(0xC0000023);
constexpr host::Status kInvalidDeviceState = static_cast<host::Status>(0xC0000184);
}  // namespace

std::string StatusValue(host::Status status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

std::string StatusWords(host::Status status) {
  std::string name = host::StatusName(status);
  const std::string value = StatusValue(status);
  if (name != value) name += " " + value;
  return name + ": " + host::StatusText(status);
}

std::string PortFailure(const std::string& where, host::Status status) {
  switch (static_cast<std::uint32_t>(status)) {
    case 0xC0000034:
      return "the serial device " + where + " does not exist";
    case 0xC0000043:
      return where + " is in use by another program";
    case 0xC000000E:
      return where + " is not a serial device";
    case 0xC0000022:
      return "no permission to open " + where;
    default:
      return where + " could not be opened";
  }
}

std::string PowerFailure(host::Status status) {
  switch (status) {
    case kNoMedia:
      return "no card in the reader";
    case kUnrecognizedMedia:
      return "the card did not answer its reset";
    case kDataError:
      return "the card's answer to reset was not valid";
    case kIoTimeout:
      return "the reader did not answer";
    case kBufferTooSmall:
      return "the card's answer to reset is longer than the driver takes";
    default:
      return "the card could not be powered up";
  }
}

std::string ProtocolFailure(host::Status status) {
  switch (status) {
    case kInvalidDeviceRequest:
      return "protocol not supported by the card";
    case kProtocolError:
      return "the card did not accept the protocol (it is powered down)";
    case kNoMedia:
      return "no card in the reader";
    case kInvalidDeviceState:
      return "the card is not powered";
    default:
      return "the protocol could not be selected";
  }
}

std::string TransmitFailure(host::Status status) {
  switch (status) {
    case kBufferTooSmall:
      return "response larger than the buffer";
    case kProtocolError:
      return "the card did not follow the protocol (it is powered down)";
    case kIoTimeout:
      return "the card did not answer (it is powered down)";
    case kNoMedia:
      return "no card in the reader";
    case kInvalidDeviceState:
      return "no protocol selected for the card";
    case kInvalidDeviceRequest:
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

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  return sim::Hex(bytes);
}

std::optional<std::vector<std::uint8_t>> ParseHex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  if (!sim::ParseHex(text, &bytes)) return std::nullopt;
  return bytes;
}

}  // namespace tolvex::tools
