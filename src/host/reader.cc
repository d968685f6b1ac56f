#include "host/reader.h"

#include <algorithm>
#include <cstring>

#include "driver/frame/frame.h"
#include "platform/winsmcrd.h"

namespace tolvex::host {

namespace {

std::vector<std::uint8_t> Le32(std::uint32_t value) {
  std::vector<std::uint8_t> bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

std::uint32_t ReadLe32(const std::vector<std::uint8_t>& bytes) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data(), std::min<size_t>(4, bytes.size()));
  return value;
}

}  // namespace

Reader::Reader(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}

std::unique_ptr<Reader> Reader::Open(Host& host, unsigned index, Status* status) {
  return Open(host, host.ReaderName(index), status);
}

std::unique_ptr<Reader> Reader::Open(Host& host, const std::u16string& name, Status* status) {
  std::unique_ptr<Handle> handle = host.OpenDevice(name, status);
  if (!handle) return nullptr;
  return std::unique_ptr<Reader>(new Reader(std::move(handle)));
}

Status Reader::Control(std::uint32_t code, std::span<const std::uint8_t> input,
                       std::size_t output_size, std::vector<std::uint8_t>* output) {
  return handle_->Control(code, input, output_size, output);
}

Status Reader::Versions(ReaderVersions* versions) {
  std::vector<std::uint8_t> out;
  const Status status = Control(IOCTL_READER_GET_VERSIONS, {}, sizeof(READER_VERSION_INFO), &out);
  if (status != STATUS_SUCCESS) return status;
  if (out.size() != sizeof(READER_VERSION_INFO)) return STATUS_DEVICE_PROTOCOL_ERROR;
  READER_VERSION_INFO info;
  std::memcpy(&info, out.data(), sizeof(info));
  *versions = ReaderVersions{info.LibraryVersion, info.DriverVersionMajor, info.DriverVersionMinor,
                             info.FirmwareVersionMajor, info.FirmwareVersionMinor};
  return STATUS_SUCCESS;
}

Status Reader::Attribute(std::uint32_t tag, std::vector<std::uint8_t>* value) {
  return Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Le32(tag), 64, value);
}

Status Reader::AttributeNumber(std::uint32_t tag, std::uint32_t* value) {
  std::vector<std::uint8_t> out;
  const Status status = Attribute(tag, &out);
  if (status == STATUS_SUCCESS) *value = ReadLe32(out);
  return status;
}

Status Reader::AttributeText(std::uint32_t tag, std::string* value) {
  std::vector<std::uint8_t> out;
  const Status status = Attribute(tag, &out);
  if (status == STATUS_SUCCESS) {
    value->assign(out.begin(), out.end());
    while (!value->empty() && value->back() == '\0') value->pop_back();
  }
  return status;
}

Status Reader::State(CardState* state) {
  std::vector<std::uint8_t> out;
  const Status status = Control(IOCTL_SMARTCARD_GET_STATE, {}, 4, &out);
  if (status == STATUS_SUCCESS) *state = static_cast<CardState>(ReadLe32(out));
  return status;
}

Status Reader::LastError(std::uint32_t* error) {
  std::vector<std::uint8_t> out;
  const Status status = Control(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4, &out);
  if (status == STATUS_SUCCESS) *error = ReadLe32(out);
  return status;
}

std::unique_ptr<Request> Reader::StartWaitForCard(CardWait until) {
  return handle_->Start(
      until == CardWait::kPresent ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
}

Status Reader::WaitForCard(CardWait until, std::chrono::milliseconds limit) {
  std::unique_ptr<Request> request = StartWaitForCard(until);
  if (!request) return STATUS_INSUFFICIENT_RESOURCES;
  Status status = request->Wait(limit);
  if (status != STATUS_TIMEOUT) return status;
  request->Cancel();
  status = request->Wait();
  // Cancelled because the time ran out; a change that came at the last moment still counts.
  return status == STATUS_CANCELLED ? STATUS_TIMEOUT : status;
}

Status Reader::PowerCard(Power action, std::vector<std::uint8_t>* atr) {
  std::vector<std::uint8_t> out;
  const Status status =
      Control(IOCTL_SMARTCARD_POWER, Le32(static_cast<std::uint32_t>(action)), 64, &out);
  if (atr != nullptr) *atr = status == STATUS_SUCCESS ? out : std::vector<std::uint8_t>{};
  return status;
}

Status Reader::SetProtocol(std::uint32_t requested, std::uint32_t* selected) {
  std::vector<std::uint8_t> out;
  const Status status = Control(IOCTL_SMARTCARD_SET_PROTOCOL, Le32(requested), 4, &out);
  if (selected != nullptr) *selected = status == STATUS_SUCCESS ? ReadLe32(out) : 0;
  return status;
}

Status Reader::Transmit(std::uint32_t protocol, std::span<const std::uint8_t> apdu,
                        std::vector<std::uint8_t>* response, std::size_t response_room) {
  std::vector<std::uint8_t> in(sizeof(SCARD_IO_REQUEST));
  const SCARD_IO_REQUEST header{protocol, sizeof(SCARD_IO_REQUEST)};
  std::memcpy(in.data(), &header, sizeof(header));
  in.insert(in.end(), apdu.begin(), apdu.end());
  std::vector<std::uint8_t> out;
  const Status status =
      Control(IOCTL_SMARTCARD_TRANSMIT, in, sizeof(SCARD_IO_REQUEST) + response_room, &out);
  response->clear();
  if (status != STATUS_SUCCESS) return status;
  if (out.size() < sizeof(SCARD_IO_REQUEST)) return STATUS_DEVICE_PROTOCOL_ERROR;
  SCARD_IO_REQUEST reply_header;
  std::memcpy(&reply_header, out.data(), sizeof(reply_header));
  const size_t offset =
      std::clamp<size_t>(reply_header.cbPciLength, sizeof(SCARD_IO_REQUEST), out.size());
  response->assign(out.begin() + static_cast<std::ptrdiff_t>(offset), out.end());
  return STATUS_SUCCESS;
}

}  // namespace tolvex::host
