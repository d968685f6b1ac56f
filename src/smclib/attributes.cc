#include "smclib/attributes.h"

#include <algorithm>

#include "platform/platform.h"

using tolvex::platform::SharedLoad;

namespace {

constexpr ULONG kChannelTypeSerial = 0x0001;

NTSTATUS PutBytes(const void* value, ULONG length, PUCHAR buffer, ULONG size, ULONG* written) {
  if (size < length) return STATUS_BUFFER_TOO_SMALL;
  if (length != 0) std::memcpy(buffer, value, length);
  *written = length;
  return STATUS_SUCCESS;
}

NTSTATUS PutULong(ULONG value, PUCHAR buffer, ULONG size, ULONG* written) {
  return PutBytes(&value, sizeof(value), buffer, size, written);
}

NTSTATUS PutString(const ATTR_STRING& text, PUCHAR buffer, ULONG size, ULONG* written) {
  const ULONG length = std::min<ULONG>(text.Length, MAXIMUM_ATTR_STRING_LENGTH);
  return PutBytes(text.Buffer, length, buffer, size, written);
}

}  // namespace

NTSTATUS SmartcardGetAttribute(PSMARTCARD_EXTENSION extension, ULONG tag, PUCHAR buffer, ULONG size,
                               ULONG* written) {
  const VENDOR_ATTR& vendor = extension->VendorAttr;
  const READER_CAPABILITIES& reader = extension->ReaderCapabilities;
  const SCARD_CARD_CAPABILITIES& card = extension->CardCapabilities;
  const ULONG state = SharedLoad(reader.CurrentState);
  switch (tag) {
    case SCARD_ATTR_VENDOR_NAME:
      return PutString(vendor.VendorName, buffer, size, written);
    case SCARD_ATTR_VENDOR_IFD_TYPE:
      return PutString(vendor.IfdType, buffer, size, written);
    case SCARD_ATTR_VENDOR_IFD_VERSION:
      // 0xMMmmbbbb: major, minor, build.
      return PutULong(ULONG{vendor.IfdVersion.VersionMajor} << 24 |
                          ULONG{vendor.IfdVersion.VersionMinor} << 16 |
                          vendor.IfdVersion.BuildNumber,
                      buffer, size, written);
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO:
      return PutString(vendor.IfdSerialNo, buffer, size, written);
    case SCARD_ATTR_DEVICE_UNIT:
      return PutULong(vendor.UnitNo, buffer, size, written);
    case SCARD_ATTR_CHANNEL_ID:
      // 0xDDDDCCCC: the channel type (serial) and the channel number.
      return PutULong(kChannelTypeSerial << 16 | (reader.Channel & 0xFFFF), buffer, size, written);
    case SCARD_ATTR_PROTOCOL_TYPES:
      return PutULong(reader.SupportedProtocols, buffer, size, written);
    case SCARD_ATTR_DEFAULT_CLK:
      return PutULong(reader.CLKFrequency.Default, buffer, size, written);
    case SCARD_ATTR_MAX_CLK:
      return PutULong(reader.CLKFrequency.Max, buffer, size, written);
    case SCARD_ATTR_DEFAULT_DATA_RATE:
      return PutULong(reader.DataRate.Default, buffer, size, written);
    case SCARD_ATTR_MAX_DATA_RATE:
      return PutULong(reader.DataRate.Max, buffer, size, written);
    case SCARD_ATTR_MAX_IFSD:
      return PutULong(reader.MaxIFSD, buffer, size, written);
    case SCARD_ATTR_POWER_MGMT_SUPPORT:
      return PutULong(reader.PowerMgmtSupport, buffer, size, written);
    case SCARD_ATTR_CHARACTERISTICS:
      return PutULong(reader.MechProperties, buffer, size, written);
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
      return PutULong(card.Protocol.Selected, buffer, size, written);
    case SCARD_ATTR_CURRENT_CLK:
      return PutULong(reader.CLKFrequency.Default, buffer, size, written);
    case SCARD_ATTR_CURRENT_N:
      return PutULong(card.N, buffer, size, written);
    case SCARD_ATTR_CURRENT_IFSC:
      return PutULong(card.T1.IFSC, buffer, size, written);
    case SCARD_ATTR_ATR_STRING:
      // No ATR while the card is not powered.
      if (card.ATR.Length == 0) return STATUS_INVALID_DEVICE_STATE;
      return PutBytes(card.ATR.Buffer, card.ATR.Length, buffer, size, written);
    case SCARD_ATTR_ICC_PRESENCE:
      // 0 no card, 1 card present, 2 card in position.
      return PutULong(state <= SCARD_ABSENT    ? 0
                      : state == SCARD_PRESENT ? 1
                                               : 2,
                      buffer, size, written);
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
      return PutULong(state >= SCARD_POWERED ? 1 : 0, buffer, size, written);
    case SCARD_ATTR_CARD_STATE:
      return PutULong(state, buffer, size, written);
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS SmartcardSetAttribute(PSMARTCARD_EXTENSION, ULONG) {
  return STATUS_NOT_SUPPORTED;
}
