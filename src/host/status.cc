#include "host/status.h"

#include <fmt/format.h>

#include "platform/platform.h"

namespace tolvex::host {

static_assert(status::kSuccess == STATUS_SUCCESS);
static_assert(status::kTimeout == STATUS_TIMEOUT);
static_assert(status::kUnsuccessful == STATUS_UNSUCCESSFUL);
static_assert(status::kInvalidParameter == STATUS_INVALID_PARAMETER);
static_assert(status::kNoSuchDevice == STATUS_NO_SUCH_DEVICE);
static_assert(status::kInvalidDeviceRequest == STATUS_INVALID_DEVICE_REQUEST);
static_assert(status::kUnrecognizedMedia == STATUS_UNRECOGNIZED_MEDIA);
static_assert(status::kAccessDenied == STATUS_ACCESS_DENIED);
static_assert(status::kBufferTooSmall == STATUS_BUFFER_TOO_SMALL);
static_assert(status::kObjectNameNotFound == STATUS_OBJECT_NAME_NOT_FOUND);
static_assert(status::kDataError == STATUS_DATA_ERROR);
static_assert(status::kSharingViolation == STATUS_SHARING_VIOLATION);
static_assert(status::kInsufficientResources == STATUS_INSUFFICIENT_RESOURCES);
static_assert(status::kIoTimeout == STATUS_IO_TIMEOUT);
static_assert(status::kNotSupported == STATUS_NOT_SUPPORTED);
static_assert(status::kCancelled == STATUS_CANCELLED);
static_assert(status::kNoMedia == STATUS_NO_MEDIA);
static_assert(status::kInvalidDeviceState == STATUS_INVALID_DEVICE_STATE);
static_assert(status::kDeviceProtocolError == STATUS_DEVICE_PROTOCOL_ERROR);

std::string StatusName(Status status) {
  const char* name = NtStatusName(status);
  if (name != nullptr) return name;
  return fmt::format("0x{:08X}", static_cast<unsigned>(status));
}

std::string StatusText(Status status) {
  return NtStatusText(status);
}

}  // namespace tolvex::host
