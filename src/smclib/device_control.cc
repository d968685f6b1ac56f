// SmartcardDeviceControl: the PC/SC control requests of applications, served one at a time per
// reader, each checked against its buffers before anything is done.
#include <atomic>

#include "platform/platform.h"
#include "smclib/attributes.h"
#include "smclib/smclib.h"

using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;
using tolvex::platform::SpinLockGuard;

namespace {

struct Request {
  PIRP irp;
  ULONG code;
  ULONG in;   // input length
  ULONG out;  // output length
  PUCHAR buffer;

  bool ReadULong(ULONG* value) const {
    if (in < sizeof(ULONG)) return false;
    std::memcpy(value, buffer, sizeof(ULONG));
    return true;
  }
  NTSTATUS WriteULong(ULONG value) const {
    if (out < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(buffer, &value, sizeof(ULONG));
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
};

bool CardIn(ULONG state) {
  return state >= SCARD_PRESENT;
}

NTSTATUS Callback(PSMARTCARD_EXTENSION extension, ULONG slot) {
  PREADER_FUNCTION function = extension->ReaderFunction[slot];
  if (function == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  return function(extension);
}

// Points the driver's view of the request at its buffers.
void PrepareIo(PSMARTCARD_EXTENSION extension, const Request& r) {
  extension->IoRequest.RequestBuffer = r.buffer;
  extension->IoRequest.RequestBufferLength = r.in;
  extension->IoRequest.ReplyBuffer = r.buffer;
  extension->IoRequest.ReplyBufferLength = r.out;
  extension->IoRequest.Information = &r.irp->IoStatus.Information;
}

NTSTATUS Power(PSMARTCARD_EXTENSION extension, const Request& r) {
  ULONG code;
  if (!r.ReadULong(&code) || code > SCARD_WARM_RESET) return STATUS_INVALID_PARAMETER;
  if (code != SCARD_POWER_DOWN && !CardIn(SharedLoad(extension->ReaderCapabilities.CurrentState))) {
    return STATUS_NO_MEDIA;
  }
  extension->MinorIoControlCode = code;
  PrepareIo(extension, r);
  const NTSTATUS status = Callback(extension, RDF_CARD_POWER);
  if (status == STATUS_SUCCESS && code != SCARD_POWER_DOWN) {
    // The card answered its reset: it is powered and ready for protocol selection, unless it
    // was pulled meanwhile.
    {
      SpinLockGuard lock(&extension->OsData->SpinLock);
      if (CardIn(SharedLoad(extension->ReaderCapabilities.CurrentState))) {
        SharedStore(extension->ReaderCapabilities.CurrentState, SCARD_NEGOTIABLE);
      }
    }
    // The driver hands over the ATR only where it fits (its own resets during protocol
    // selection have no room for it): an application's buffer too small gets no success.
    if (extension->CardCapabilities.ATR.Length > r.out) return STATUS_BUFFER_TOO_SMALL;
  }
  return status;
}

NTSTATUS SetProtocol(PSMARTCARD_EXTENSION extension, const Request& r) {
  ULONG protocols;
  if (!r.ReadULong(&protocols)) return STATUS_INVALID_PARAMETER;
  // The selected protocol comes back as a 32-bit mask: no room for it, no negotiation.
  if (r.out < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  const ULONG state = SharedLoad(extension->ReaderCapabilities.CurrentState);
  if (!CardIn(state)) return STATUS_NO_MEDIA;
  if (state < SCARD_POWERED) return STATUS_INVALID_DEVICE_STATE;  // reset the card first
  extension->MinorIoControlCode = protocols;
  PrepareIo(extension, r);
  return Callback(extension, RDF_SET_PROTOCOL);
}

NTSTATUS Transmit(PSMARTCARD_EXTENSION extension, const Request& r) {
  SCARD_IO_REQUEST header;
  if (r.in < sizeof(header)) return STATUS_INVALID_PARAMETER;
  std::memcpy(&header, r.buffer, sizeof(header));
  if (header.cbPciLength < sizeof(header) || header.cbPciLength > r.in) {
    return STATUS_INVALID_PARAMETER;
  }
  if (r.out < sizeof(header)) return STATUS_BUFFER_TOO_SMALL;
  const ULONG state = SharedLoad(extension->ReaderCapabilities.CurrentState);
  if (!CardIn(state)) return STATUS_NO_MEDIA;
  if (state != SCARD_SPECIFIC) return STATUS_INVALID_DEVICE_STATE;  // no protocol selected
  if (header.dwProtocol != extension->CardCapabilities.Protocol.Selected) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  PrepareIo(extension, r);
  return Callback(extension, RDF_TRANSMIT);
}

// Parks an is-present / is-absent request until the card's presence changes, unless it
// already holds. The state test, the parking and the driver's tracking callback happen under
// the library's spin lock, so no presence change can slip in between.
NTSTATUS TrackPresence(PSMARTCARD_EXTENSION extension, const Request& r, bool want_card) {
  POS_DEP_DATA os = extension->OsData;
  PREADER_FUNCTION track = extension->ReaderFunction[RDF_CARD_TRACKING];
  if (track == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  bool cancelled = false;
  {
    SpinLockGuard lock(&os->SpinLock);
    const ULONG state = SharedLoad(extension->ReaderCapabilities.CurrentState);
    if (state != SCARD_UNKNOWN && CardIn(state) == want_card) return STATUS_SUCCESS;
    if (os->NotificationIrp != nullptr) return STATUS_DEVICE_BUSY;  // one watcher per reader
    IoMarkIrpPending(r.irp);
    r.irp->IoStatus.Information = 0;
    os->NotificationIrp = r.irp;
    (void)track(extension);  // pending: the driver completes it on a presence change
    // Cancelled before the driver set its cancel routine: nobody else will complete it.
    if (std::atomic_ref<BOOLEAN>(r.irp->Cancel).load() &&
        IoSetCancelRoutine(r.irp, nullptr) != nullptr) {
      os->NotificationIrp = nullptr;
      cancelled = true;
    }
  }
  if (cancelled) {
    r.irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(r.irp, IO_NO_INCREMENT);
  }
  return STATUS_PENDING;
}

NTSTATUS Serve(PSMARTCARD_EXTENSION extension, const Request& r) {
  switch (r.code) {
    case IOCTL_SMARTCARD_POWER:
      return Power(extension, r);
    case IOCTL_SMARTCARD_SET_PROTOCOL:
      return SetProtocol(extension, r);
    case IOCTL_SMARTCARD_TRANSMIT:
      return Transmit(extension, r);
    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
    case IOCTL_SMARTCARD_SET_ATTRIBUTE: {
      ULONG tag;
      if (!r.ReadULong(&tag)) return STATUS_INVALID_PARAMETER;
      if (r.code == IOCTL_SMARTCARD_SET_ATTRIBUTE) return SmartcardSetAttribute(extension, tag);
      ULONG written = 0;
      const NTSTATUS status = SmartcardGetAttribute(extension, tag, r.buffer, r.out, &written);
      if (NT_SUCCESS(status)) r.irp->IoStatus.Information = written;
      return status;
    }
    case IOCTL_SMARTCARD_GET_STATE:
      return r.WriteULong(SharedLoad(extension->ReaderCapabilities.CurrentState));
    case IOCTL_SMARTCARD_GET_LAST_ERROR:
      return r.WriteULong(extension->LastError);
    case IOCTL_SMARTCARD_EJECT:
      return Callback(extension, RDF_CARD_EJECT);
    case IOCTL_SMARTCARD_SWALLOW:
      return Callback(extension, RDF_READER_SWALLOW);
    case IOCTL_SMARTCARD_CONFISCATE:
      return Callback(extension, RDF_CARD_CONFISCATE);
    default:
      if (IsVendorControlCode(r.code)) {
        PrepareIo(extension, r);
        return Callback(extension, RDF_IOCTL_VENDOR);
      }
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

}  // namespace

NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const Request request{Irp, stack->Parameters.DeviceIoControl.IoControlCode,
                        stack->Parameters.DeviceIoControl.InputBufferLength,
                        stack->Parameters.DeviceIoControl.OutputBufferLength,
                        static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer)};
  Irp->IoStatus.Information = 0;
  POS_DEP_DATA os = SmartcardExtension->OsData;
  NTSTATUS status;
  if (os == nullptr) {
    status = STATUS_INVALID_DEVICE_STATE;  // not registered
  } else if ((request.in != 0 || request.out != 0) && request.buffer == nullptr) {
    status = STATUS_INVALID_PARAMETER;
  } else if (request.code == IOCTL_SMARTCARD_IS_PRESENT ||
             request.code == IOCTL_SMARTCARD_IS_ABSENT) {
    // Watching for the card does not take the reader's turn: it only parks the request.
    status = TrackPresence(SmartcardExtension, request, request.code == IOCTL_SMARTCARD_IS_PRESENT);
    if (status == STATUS_PENDING) return STATUS_PENDING;
  } else {
    (void)KeWaitForSingleObject(&os->RequestTurn, Executive, KernelMode, FALSE, nullptr);
    os->CurrentIrp = Irp;
    SmartcardExtension->MajorIoControlCode = request.code;
    status = Serve(SmartcardExtension, request);
    // Only card tracking stays pending; a callback that claims otherwise has failed.
    if (status == STATUS_PENDING) status = STATUS_UNSUCCESSFUL;
    os->CurrentIrp = nullptr;
    if (!NT_SUCCESS(status) && request.code != IOCTL_SMARTCARD_GET_LAST_ERROR) {
      SmartcardExtension->LastError = static_cast<ULONG>(status);
    }
    KeSetEvent(&os->RequestTurn, IO_NO_INCREMENT, FALSE);
  }
  if (!NT_SUCCESS(status)) Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
