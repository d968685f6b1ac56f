// The entry points pcscd calls (pcsc/README.md tells who calls them and on which threads).
//
// Each one checks its arguments, finds the channel of its Lun and hands the call to it
// (channel.h). Nothing here trusts a length or a pointer it was given: a buffer is written
// only within the size it came with, never after an error, and the ATR, response and control
// lengths written back are 0 after an error. No exception leaves the library: pcscd is C, and
// one would end the process.
//
// IFDHGetCapabilities sets *Length to what it wrote; to the room needed, with nothing written,
// for IFD_ERROR_INSUFFICIENT_BUFFER; leaves it alone for IFD_ERROR_TAG (pcscd answers some
// unknown tags itself, within that room); 0 for other errors.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "pcsc/channel.h"
#include "pcsc/ifd.h"

using tolvex::ifd::Channel;
using tolvex::ifd::ChannelTable;

namespace {

// A one-byte answer to a handler tag.
RESPONSECODE PutByte(unsigned char value, PDWORD length, PUCHAR out) {
  if (*length < 1) {
    *length = 1;  // the room needed; nothing written
    return IFD_ERROR_INSUFFICIENT_BUFFER;
  }
  out[0] = value;
  *length = 1;
  return IFD_SUCCESS;
}

// A 32-bit number, in the machine's byte order as pcsc-lite's DWORD attributes are.
RESPONSECODE PutNumber(std::uint32_t value, PDWORD length, PUCHAR out) {
  if (*length < sizeof(value)) {
    *length = sizeof(value);  // the room needed; nothing written
    return IFD_ERROR_INSUFFICIENT_BUFFER;
  }
  std::memcpy(out, &value, sizeof(value));
  *length = sizeof(value);
  return IFD_SUCCESS;
}

// A function pointer, for the poll and stop tags.
template <typename Function>
RESPONSECODE PutFunction(Function function, PDWORD length, PUCHAR out) {
  if (*length < sizeof(function)) {
    *length = sizeof(function);  // the room needed; nothing written
    return IFD_ERROR_INSUFFICIENT_BUFFER;
  }
  std::memcpy(out, &function, sizeof(function));
  *length = sizeof(function);
  return IFD_SUCCESS;
}

// An attribute's bytes: strings get a terminating NUL; the two presence attributes are a
// single byte, as pcsc-lite applications expect them.
std::vector<std::uint8_t> Shape(DWORD tag, std::vector<std::uint8_t> value) {
  switch (tag) {
    case SCARD_ATTR_VENDOR_NAME:
    case SCARD_ATTR_VENDOR_IFD_TYPE:
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO:
      if (value.empty() || value.back() != 0) value.push_back(0);
      break;
    case SCARD_ATTR_ICC_PRESENCE:
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
      if (!value.empty()) value.resize(1);
      break;
    default:
      break;
  }
  return value;
}

// Runs `body`, turning anything thrown into IFD_COMMUNICATION_ERROR.
template <typename Body>
RESPONSECODE Guarded(Body body) {
  try {
    return body();
  } catch (...) {
    return IFD_COMMUNICATION_ERROR;
  }
}

}  // namespace

extern "C" {

RESPONSECODE TolvexWaitForCardEvent(DWORD Lun, int timeout) {
  return Guarded([&]() -> RESPONSECODE {
    std::shared_ptr<Channel> channel = ChannelTable::Get().Find(Lun);
    if (!channel) return IFD_COMMUNICATION_ERROR;
    return channel->WaitForChange(timeout);
  });
}

RESPONSECODE TolvexStopCardEvent(DWORD Lun) {
  return Guarded([&]() -> RESPONSECODE {
    std::shared_ptr<Channel> channel = ChannelTable::Get().Find(Lun);
    if (!channel) return IFD_COMMUNICATION_ERROR;
    channel->StopWaiting();
    return IFD_SUCCESS;
  });
}

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  return Guarded([&]() -> RESPONSECODE {
    if (DeviceName == nullptr) return IFD_COMMUNICATION_ERROR;
    const std::size_t length = strnlen(DeviceName, tolvex::ifd::kMaxDeviceName + 1);
    if (length == 0 || length > tolvex::ifd::kMaxDeviceName) return IFD_COMMUNICATION_ERROR;
    return ChannelTable::Get().Create(Lun, std::string(DeviceName, length));
  });
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  return Guarded([&]() -> RESPONSECODE {
    const std::optional<std::string> device = tolvex::ifd::ChannelDevice(Channel);
    if (!device) return IFD_COMMUNICATION_ERROR;
    return ChannelTable::Get().Create(Lun, *device);
  });
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  return Guarded([&]() -> RESPONSECODE { return ChannelTable::Get().Close(Lun); });
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  return Guarded([&]() -> RESPONSECODE {
    if (Length == nullptr) return IFD_COMMUNICATION_ERROR;
    if (Value == nullptr) {
      *Length = 0;
      return IFD_COMMUNICATION_ERROR;
    }
    // The handler's own answers, the same for every reader.
    switch (Tag) {
      case TAG_IFD_SLOTS_NUMBER:
        return PutByte(1, Length, Value);
      case TAG_IFD_SIMULTANEOUS_ACCESS:
        return PutByte(tolvex::ifd::kMaxChannels, Length, Value);
      case TAG_IFD_THREAD_SAFE:
        return PutByte(1, Length, Value);  // readers may be used at the same time
      case TAG_IFD_SLOT_THREAD_SAFE:
        return PutByte(0, Length, Value);  // one slot
      case TAG_IFD_POLLING_THREAD_KILLABLE:
        return PutByte(0, Length, Value);  // stopped with TAG_IFD_STOP_POLLING_THREAD
      case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT:
        return PutFunction(&TolvexWaitForCardEvent, Length, Value);
      case TAG_IFD_STOP_POLLING_THREAD:
        return PutFunction(&TolvexStopCardEvent, Length, Value);
      case SCARD_ATTR_MAXINPUT:  // the longest command: extended APDUs are taken
        return PutNumber(static_cast<std::uint32_t>(tolvex::ifd::kMaxApdu), Length, Value);
      case TAG_IFD_POLLING_THREAD:
      case TAG_IFD_SLOTNUM:
      case TAG_IFD_DEVICE_REMOVED:
        return IFD_ERROR_TAG;
      default:
        break;
    }
    std::shared_ptr<Channel> channel = ChannelTable::Get().Find(Lun);
    if (!channel) {
      *Length = 0;
      return IFD_COMMUNICATION_ERROR;
    }
    // The rest are the driver's attributes; TAG_IFD_ATR is its ATR attribute.
    const DWORD attribute = Tag == TAG_IFD_ATR ? SCARD_ATTR_ATR_STRING : Tag;
    if (attribute > 0xFFFFFFFFul) return IFD_ERROR_TAG;
    std::vector<std::uint8_t> value;
    const RESPONSECODE response = channel->Attribute(static_cast<std::uint32_t>(attribute), &value);
    // An unknown tag leaves *Length alone: pcscd answers some of those itself (the reader's
    // name) within the room the application gave.
    if (response == IFD_ERROR_TAG) return response;
    if (response != IFD_SUCCESS) {
      *Length = 0;
      return response;
    }
    value = Shape(attribute, std::move(value));
    if (value.size() > *Length) {
      *Length = value.size();  // the room needed; nothing written
      return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    if (!value.empty()) std::memcpy(Value, value.data(), value.size());
    *Length = value.size();
    return IFD_SUCCESS;
  });
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value) {
  return Guarded([&]() -> RESPONSECODE {
    if (Length > 0 && Value == nullptr) return IFD_COMMUNICATION_ERROR;
    std::shared_ptr<Channel> channel = ChannelTable::Get().Find(Lun);
    if (!channel) return IFD_COMMUNICATION_ERROR;
    // No attribute of this reader can be set; the driver says so for each.
    if (Tag > 0xFFFFFFFFul) return IFD_ERROR_TAG;
    if (Length > tolvex::ifd::kMaxResponse) return IFD_ERROR_SET_FAILURE;
    return channel->SetAttribute(static_cast<std::uint32_t>(Tag),
                                 std::span<const std::uint8_t>(Value, Length));
  });
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1,
                                       UCHAR PTS2, UCHAR PTS3) {
  (void)Flags;  // the driver negotiates the best parameters the card offers
  (void)PTS1;
  (void)PTS2;
  (void)PTS3;
  return Guarded([&]() -> RESPONSECODE {
    std::shared_ptr<Channel> channel = ChannelTable::Get().Find(Lun);
    if (!channel) return IFD_COMMUNICATION_ERROR;
    if (Protocol != SCARD_PROTOCOL_T0 && Protocol != SCARD_PROTOCOL_T1) {
      return IFD_PROTOCOL_NOT_SUPPORTED;
    }
    return channel->SetProtocol(static_cast<std::uint32_t>(Protocol));
  });
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  return Guarded([&]() -> RESPONSECODE {
    // A power-down has no ATR to return: pcscd may pass no buffer for it.
    const bool down = Action == IFD_POWER_DOWN;
    if (!down && (Atr == nullptr || AtrLength == nullptr)) {
      if (AtrLength != nullptr) *AtrLength = 0;
      return IFD_COMMUNICATION_ERROR;
    }
    const DWORD room = AtrLength != nullptr ? *AtrLength : 0;
    if (AtrLength != nullptr) *AtrLength = 0;
    std::shared_ptr<Channel> channel = ChannelTable::Get().Find(Lun);
    if (!channel) return IFD_COMMUNICATION_ERROR;
    if (Action != IFD_POWER_UP && Action != IFD_RESET && !down) return IFD_NOT_SUPPORTED;
    std::vector<std::uint8_t> atr;
    const RESPONSECODE response = channel->Power(Action, &atr);
    if (response != IFD_SUCCESS || down) return response;
    if (atr.size() > room) return IFD_ERROR_INSUFFICIENT_BUFFER;
    if (!atr.empty()) std::memcpy(Atr, atr.data(), atr.size());
    *AtrLength = atr.size();
    return IFD_SUCCESS;
  });
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                               PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  return Guarded([&]() -> RESPONSECODE {
    if (RxLength == nullptr) return IFD_COMMUNICATION_ERROR;
    const DWORD room = *RxLength;
    *RxLength = 0;
    if (RxBuffer == nullptr || TxBuffer == nullptr || TxLength == 0) {
      return IFD_COMMUNICATION_ERROR;
    }
    if (TxLength > tolvex::ifd::kMaxApdu) return IFD_COMMUNICATION_ERROR;
    std::shared_ptr<Channel> channel = ChannelTable::Get().Find(Lun);
    if (!channel) return IFD_COMMUNICATION_ERROR;
    // The T number, as pcscd gives it, to the driver's protocol mask.
    std::uint32_t mask;
    if (SendPci.Protocol == 0) {
      mask = SCARD_PROTOCOL_T0;
    } else if (SendPci.Protocol == 1) {
      mask = SCARD_PROTOCOL_T1;
    } else {
      return IFD_PROTOCOL_NOT_SUPPORTED;
    }
    std::vector<std::uint8_t> response;
    const RESPONSECODE result =
        channel->Transmit(mask, std::span<const std::uint8_t>(TxBuffer, TxLength), &response);
    if (result != IFD_SUCCESS) return result;
    if (response.size() > room) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(RxBuffer, response.data(), response.size());
    *RxLength = response.size();
    if (RecvPci != nullptr) {
      RecvPci->Protocol = SendPci.Protocol;
      RecvPci->Length = sizeof(SCARD_IO_HEADER);
    }
    return IFD_SUCCESS;
  });
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
  return Guarded([&]() -> RESPONSECODE {
    std::shared_ptr<Channel> channel = ChannelTable::Get().Find(Lun);
    if (!channel) return IFD_COMMUNICATION_ERROR;
    return channel->Presence();
  });
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                         PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned) {
  return Guarded([&]() -> RESPONSECODE {
    if (pdwBytesReturned == nullptr) return IFD_COMMUNICATION_ERROR;
    *pdwBytesReturned = 0;
    if ((TxLength > 0 && TxBuffer == nullptr) || (RxLength > 0 && RxBuffer == nullptr)) {
      return IFD_COMMUNICATION_ERROR;
    }
    std::shared_ptr<Channel> channel = ChannelTable::Get().Find(Lun);
    if (!channel) return IFD_COMMUNICATION_ERROR;
    switch (dwControlCode) {
      case CM_IOCTL_GET_FEATURE_REQUEST:
        return IFD_SUCCESS;  // no features: an empty list
      case tolvex::ifd::kGetVersions:
      case tolvex::ifd::kGetVersionsPcscLite: {
        if (TxLength > tolvex::ifd::kMaxCommand) return IFD_COMMUNICATION_ERROR;
        const std::size_t room = std::min<std::size_t>(RxLength, tolvex::ifd::kMaxResponse);
        std::vector<std::uint8_t> output;
        const RESPONSECODE response =
            channel->Control(static_cast<std::uint32_t>(tolvex::ifd::kGetVersions),
                             std::span<const std::uint8_t>(TxBuffer, TxLength), room, &output);
        if (response != IFD_SUCCESS) return response;
        if (output.size() > RxLength) return IFD_ERROR_INSUFFICIENT_BUFFER;
        if (!output.empty()) std::memcpy(RxBuffer, output.data(), output.size());
        *pdwBytesReturned = output.size();
        return IFD_SUCCESS;
      }
      default:
        return IFD_ERROR_NOT_SUPPORTED;
    }
  });
}

}  // extern "C"
