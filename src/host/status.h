// Status values as the host's callers see them: the driver's NT status codes, named here once
// for the tools and the PC/SC reader driver (which include no kernel-interface headers).
// status.cc checks every name against the platform's own value.
#pragma once

#include <cstdint>
#include <string>

namespace tolvex::host {

// An NT status value.
using Status = std::int32_t;

// The outcome of a call that gives a value: the driver's status, and what the call returned
// (empty or partial when the status is an error). Read it with a structured binding:
//   auto [status, atr] = reader->PowerCard(Power::kColdReset);
template <typename T>
struct [[nodiscard]] Result {
  Status status = 0;
  T value{};
};

// Its symbolic name ("STATUS_IO_TIMEOUT") or "0x........", and plain words for people.
std::string StatusName(Status status);
std::string StatusText(Status status);

namespace status {

inline constexpr Status kSuccess = 0;
inline constexpr Status kTimeout = 0x102;  // a wait ran out
inline constexpr Status kInvalidParameter = static_cast<Status>(0xC000000D);
inline constexpr Status kNoSuchDevice = static_cast<Status>(0xC000000E);
inline constexpr Status kInvalidDeviceRequest = static_cast<Status>(0xC0000010);
inline constexpr Status kUnrecognizedMedia = static_cast<Status>(0xC0000014);
inline constexpr Status kAccessDenied = static_cast<Status>(0xC0000022);
inline constexpr Status kBufferTooSmall = static_cast<Status>(0xC0000023);
inline constexpr Status kObjectNameNotFound = static_cast<Status>(0xC0000034);
inline constexpr Status kDataError = static_cast<Status>(0xC000003E);
inline constexpr Status kSharingViolation = static_cast<Status>(0xC0000043);
inline constexpr Status kInsufficientResources = static_cast<Status>(0xC000009A);
inline constexpr Status kIoTimeout = static_cast<Status>(0xC00000B5);
inline constexpr Status kNotSupported = static_cast<Status>(0xC00000BB);
inline constexpr Status kCancelled = static_cast<Status>(0xC0000120);
inline constexpr Status kNoMedia = static_cast<Status>(0xC0000178);
inline constexpr Status kInvalidDeviceState = static_cast<Status>(0xC0000184);
inline constexpr Status kDeviceProtocolError = static_cast<Status>(0xC0000186);

}  // namespace status

}  // namespace tolvex::host
