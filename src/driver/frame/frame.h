// Driver frame: driver entry, configuration, reader device start-up, the open, close and
// control requests of applications, and teardown.
//
// Theory of operation
// -------------------
// DriverEntry installs the dispatch routines, reads the port mask COMMask from the registry
// (the driver key's "Parameters" subkey) and starts one reader device per set bit 0 to 3, in
// ascending order, with DrvInitDeviceObject. It succeeds if at least one reader started.
//
// Start-up (DrvInitDeviceObject), on the thread of driver entry, in order: create the device
// "\Device\Tolvex<n>"; build the link record; open "\Device\Serial<n>"; configure the port and
// arm the listener; read the firmware revision; write the STC's start-up table; fill in and
// register the library record; create the symbolic link; read the card's presence; release
// waiting opens (ReaderStarted). Any failure tears the half-built device down
// (DrvUnloadDevice) and returns its status.
//
// Requests. Open and close (DrvOpenClose) wait until the reader has started, cancel a pending
// card tracking request, and make the reader a single-user device. Control requests go whole
// to the library (DrvDeviceIoControl); the library hands vendor requests to DrvGenericIOCTL.
//
// Teardown (DrvUnloadDevice) powers the card off and closes the STC if the reader was talking,
// ends the listener by clearing the serial wait mask, lets go of the port, and releases the
// records, the library's data and the device. The removal routine (DrvWaitForDeviceRemoval) is
// the listener's last act. Teardown waits up to 100 ms for it (SerialRemoved), and before it
// releases anything the listener uses, until the listener is idle for good (ListenerIdle):
// letting go of the port cancels whatever request the port still holds, so that wait ends.
//
// Locks. ReaderOpen is changed with one atomic test-and-set. A pending tracking request is
// taken out of the library's data under the library's spin lock, and owned by whoever clears
// its cancel routine (card/card.h).
#pragma once

#include "driver/link/link.h"
#include "smclib/smclib.h"

struct DEVICE_EXTENSION {
  SMARTCARD_EXTENSION SmartcardExtension;  // first: the library record's address is this one's
  BOOLEAN ReaderOpen;
  UNICODE_STRING LinkName;
  BOOLEAN InterfaceReady;
  KEVENT ReaderStarted;
  KEVENT SerialRemoved;
};
using PDEVICE_EXTENSION = DEVICE_EXTENSION*;

// The reply to IOCTL_READER_GET_VERSIONS: 8 bytes, little-endian.
#pragma pack(push, 1)
struct READER_VERSION_INFO {
  ULONG LibraryVersion;
  UCHAR DriverVersionMajor;
  UCHAR DriverVersionMinor;
  UCHAR FirmwareVersionMajor;
  UCHAR FirmwareVersionMinor;
};
#pragma pack(pop)
static_assert(sizeof(READER_VERSION_INFO) == 8);

inline constexpr ULONG IOCTL_READER_GET_VERSIONS =
    CTL_CODE(FILE_DEVICE_SMARTCARD, 2049, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr UCHAR DRIVER_VERSION_MAJOR = 1;
inline constexpr UCHAR DRIVER_VERSION_MINOR = 0;

inline constexpr ULONG MAXIMUM_READERS = 4;

// The one list of data rates every reader reports: 9600 bits per second.
extern ULONG dataRatesSupported[1];

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
[[nodiscard]] NTSTATUS DrvGetConfiguration(PUNICODE_STRING RegistryPath, PULONG PortMask);
[[nodiscard]] NTSTATUS DrvInitDeviceObject(PDRIVER_OBJECT DriverObject, ULONG DeviceIndex);
void DrvSetupSmartcardExtension(PSMARTCARD_EXTENSION SmartcardExtension);
// The serial configuration start-up sends every reader's port.
void DrvSerialConfiguration(PSERIAL_CONFIG SerialConfig);

NTSTATUS DrvOpenClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Takes a pending card tracking request out of the library's data and completes it as
// cancelled. Whoever clears its cancel routine owns it: if a cancellation got there first,
// DrvCancel completes it and clears the pointer itself. A request whose routine is gone is
// either on its way through DrvCancel or not yet given its routine; with kAwait the call
// returns only once the library no longer names any request, so that nothing of a
// cancellation in flight touches the library's data after it (teardown, before SmartcardExit).
enum class TrackingInFlight { kLeave, kAwait };
void DrvCancelTracking(PSMARTCARD_EXTENSION SmartcardExtension,
                       TrackingInFlight in_flight = TrackingInFlight::kLeave);
NTSTATUS DrvDeviceIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DrvGenericIOCTL(PSMARTCARD_EXTENSION SmartcardExtension);

void DrvUnloadDevice(PDEVICE_OBJECT DeviceObject);
void DrvUnloadDriver(PDRIVER_OBJECT DriverObject);
void DrvWaitForDeviceRemoval(PVOID DeviceObject);
