#include "host/reader.h"

#include <algorithm>
#include <cstring>

#include "driver/frame/frame.h"
#include "host/apdu.h"
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

Result<std::unique_ptr<Reader>> Reader::Open(Host& host, unsigned index) {
  return Open(host, host.ReaderName(index));
}

Result<std::unique_ptr<Reader>> Reader::Open(Host& host, const std::u16string& name) {
  auto [status, handle] = host.OpenDevice(name);
  if (!handle) return {status, nullptr};
  return {status, std::unique_ptr<Reader>(new Reader(std::move(handle)))};
}

Result<Reader::Bytes> Reader::Control(std::uint32_t code, std::span<const std::uint8_t> input,
                                      std::size_t output_size) {
  return handle_->Control(code, input, output_size);
}

Result<ReaderVersions> Reader::Versions() {
  const auto [status, out] = Control(IOCTL_READER_GET_VERSIONS, {}, sizeof(READER_VERSION_INFO));
  if (status != STATUS_SUCCESS) return {status};
  if (out.size() != sizeof(READER_VERSION_INFO)) return {STATUS_DEVICE_PROTOCOL_ERROR};
  READER_VERSION_INFO info;
  std::memcpy(&info, out.data(), sizeof(info));
  return {STATUS_SUCCESS,
          ReaderVersions{info.LibraryVersion, info.DriverVersionMajor, info.DriverVersionMinor,
                         info.FirmwareVersionMajor, info.FirmwareVersionMinor}};
}

Result<Reader::Bytes> Reader::Attribute(std::uint32_t tag) {
  return Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Le32(tag), 64);
}

Result<std::uint32_t> Reader::AttributeNumber(std::uint32_t tag) {
  const auto [status, out] = Attribute(tag);
  return {status, status == STATUS_SUCCESS ? ReadLe32(out) : 0};
}

Result<std::string> Reader::AttributeText(std::uint32_t tag) {
  const auto [status, out] = Attribute(tag);
  if (status != STATUS_SUCCESS) return {status};
  std::string text(out.begin(), out.end());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return {status, text};
}

Result<CardState> Reader::State() {
  const auto [status, out] = Control(IOCTL_SMARTCARD_GET_STATE, {}, 4);
  return {status,
          status == STATUS_SUCCESS ? static_cast<CardState>(ReadLe32(out)) : CardState::kUnknown};
}

Result<std::uint32_t> Reader::LastError() {
  const auto [status, out] = Control(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4);
  return {status, status == STATUS_SUCCESS ? ReadLe32(out) : 0};
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

Result<Reader::Bytes> Reader::PowerCard(Power action) {
  auto [status, out] = Control(IOCTL_SMARTCARD_POWER, Le32(static_cast<std::uint32_t>(action)), 64);
  if (status != STATUS_SUCCESS) out.clear();
  return {status, std::move(out)};
}

Result<std::uint32_t> Reader::SetProtocol(std::uint32_t requested) {
  const auto [status, out] = Control(IOCTL_SMARTCARD_SET_PROTOCOL, Le32(requested), 4);
  return {status, status == STATUS_SUCCESS ? ReadLe32(out) : 0};
}

Result<Reader::Bytes> Reader::Transmit(std::uint32_t protocol, std::span<const std::uint8_t> apdu,
                                       std::optional<std::size_t> response_room) {
  std::vector<std::uint8_t> in(sizeof(SCARD_IO_REQUEST));
  const SCARD_IO_REQUEST header{protocol, sizeof(SCARD_IO_REQUEST)};
  std::memcpy(in.data(), &header, sizeof(header));
  in.insert(in.end(), apdu.begin(), apdu.end());
  const auto [status, out] =
      Control(IOCTL_SMARTCARD_TRANSMIT, in,
              sizeof(SCARD_IO_REQUEST) + response_room.value_or(ResponseRoom(apdu)));
  if (status != STATUS_SUCCESS) return {status};
  if (out.size() < sizeof(SCARD_IO_REQUEST)) return {STATUS_DEVICE_PROTOCOL_ERROR};
  SCARD_IO_REQUEST reply_header;
  std::memcpy(&reply_header, out.data(), sizeof(reply_header));
  const size_t offset =
      std::clamp<size_t>(reply_header.cbPciLength, sizeof(SCARD_IO_REQUEST), out.size());
  return {STATUS_SUCCESS, Bytes(out.begin() + static_cast<std::ptrdiff_t>(offset), out.end())};
}

}  // namespace tolvex::host
