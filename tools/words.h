// What the tools say to people: status values in words, failures per operation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"

namespace tolvex::tools {

// "0xC00000B5".
std::string StatusValue(host::Status status);
// "STATUS_IO_TIMEOUT 0xC00000B5: the device did not answer in time".
std::string StatusWords(host::Status status);

// The driver's event message (host/event_messages.h) for a failure with `status`: out of
// memory, a buffer too small; nothing for the others.
std::optional<std::uint32_t> EventFor(host::Status status);

// One line for a failure of each operation, by its status.
// A serial device that could not be opened.
std::string PortFailure(const std::string& where, host::Status status);
std::string PowerFailure(host::Status status);
std::string ProtocolFailure(host::Status status);
std::string TransmitFailure(host::Status status);

// Why a reader can no longer be heard (Host::Lost): "its serial device hung up", ...
std::string LossWords(host::LineLoss loss);
// The same for scripts: "hang-up", "data-set-ready".
std::string LossName(host::LineLoss loss);

std::string CardStateWords(std::uint32_t state);
std::vector<std::string> Protocols(std::uint32_t mask);

}  // namespace tolvex::tools
