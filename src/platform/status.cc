// Names and plain words for the status values the system reports.
#include <iterator>

#include "platform/ntdef.h"

namespace {
struct StatusInfo {
  NTSTATUS status;
  const char* name;
  const char* text;
};

constexpr StatusInfo kStatuses[] = {
    {STATUS_SUCCESS, "STATUS_SUCCESS", "success"},
    {STATUS_TIMEOUT, "STATUS_TIMEOUT", "the wait ran out"},
    {STATUS_PENDING, "STATUS_PENDING", "the request is still in progress"},
    {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW", "the data did not all fit"},
    {STATUS_DEVICE_BUSY, "STATUS_DEVICE_BUSY", "the reader is already in use"},
    {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL", "the operation failed"},
    {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED", "the operation is not implemented"},
    {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER", "a parameter is not valid"},
    {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE", "there is no such device"},
    {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST",
     "the device does not handle this request"},
    {STATUS_NO_MEDIA_IN_DEVICE, "STATUS_NO_MEDIA_IN_DEVICE", "there is no card in the reader"},
    {STATUS_UNRECOGNIZED_MEDIA, "STATUS_UNRECOGNIZED_MEDIA",
     "the card did not answer the reset properly"},
    {STATUS_MORE_PROCESSING_REQUIRED, "STATUS_MORE_PROCESSING_REQUIRED",
     "the exchange is not finished"},
    {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED", "access was denied"},
    {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL", "the buffer is too small for the data"},
    {STATUS_OBJECT_TYPE_MISMATCH, "STATUS_OBJECT_TYPE_MISMATCH", "the value has the wrong type"},
    {STATUS_OBJECT_NAME_INVALID, "STATUS_OBJECT_NAME_INVALID", "the name is not valid"},
    {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND", "no object has that name"},
    {STATUS_OBJECT_NAME_COLLISION, "STATUS_OBJECT_NAME_COLLISION", "the name is already taken"},
    {STATUS_DATA_OVERRUN, "STATUS_DATA_OVERRUN", "data was lost on the line"},
    {STATUS_DATA_ERROR, "STATUS_DATA_ERROR", "the data was damaged or refused"},
    {STATUS_CRC_ERROR, "STATUS_CRC_ERROR", "a checksum did not match"},
    {STATUS_REVISION_MISMATCH, "STATUS_REVISION_MISMATCH",
     "the driver and the smart card library do not match"},
    {STATUS_SHARING_VIOLATION, "STATUS_SHARING_VIOLATION", "the device is in use"},
    {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES", "out of memory"},
    {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED", "the device is not connected"},
    {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT", "the device did not answer in time"},
    {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED", "the operation is not supported"},
    {STATUS_CANCELLED, "STATUS_CANCELLED", "the request was cancelled"},
    {STATUS_NO_MEDIA, "STATUS_NO_MEDIA", "there is no card"},
    {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE",
     "the device is not in a state for this request"},
    {STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR", "the device reported an error"},
    {STATUS_DEVICE_PROTOCOL_ERROR, "STATUS_DEVICE_PROTOCOL_ERROR",
     "the card did not follow the protocol"},
};

const StatusInfo* Find(NTSTATUS status) {
  for (const StatusInfo& info : kStatuses) {
    if (info.status == status) return &info;
  }
  return nullptr;
}
}  // namespace

const char* NtStatusName(NTSTATUS status) {
  const StatusInfo* info = Find(status);
  return info ? info->name : nullptr;
}

const char* NtStatusText(NTSTATUS status) {
  const StatusInfo* info = Find(status);
  if (info) return info->text;
  return NT_SUCCESS(status) ? "success" : "the operation failed";
}
