// Reader device start-up.
#include <cstring>

#include "driver/card/card.h"
#include "driver/frame/frame.h"
#include "driver/stc/stc.h"
#include "platform/rtl.h"

ULONG dataRatesSupported[1] = {9600};

namespace {

constexpr WCHAR kReaderNameTemplate[] = u"\\Device\\Tolvex?";
constexpr WCHAR kSerialNameTemplate[] = u"\\Device\\Serial?";
constexpr size_t kTemplateLength = 15;
static_assert(sizeof(kReaderNameTemplate) / sizeof(WCHAR) == kTemplateLength + 1);
static_assert(sizeof(kSerialNameTemplate) / sizeof(WCHAR) == kTemplateLength + 1);

constexpr char kVendorName[] = "Norvane-Talbeck";
constexpr char kIfdType[] = "Brightwarden Serial SCR";

// A name from a template, its last character replaced by the port digit.
void FormName(const WCHAR (&name_template)[kTemplateLength + 1], ULONG index,
              WCHAR (&name)[kTemplateLength + 1], PUNICODE_STRING text) {
  std::memcpy(name, name_template, sizeof(name));
  name[kTemplateLength - 1] = static_cast<WCHAR>(u'0' + index);
  RtlInitUnicodeString(text, name);
}

template <size_t N>
void SetAttribute(ATTR_STRING& attribute, const char (&text)[N]) {
  static_assert(N <= MAXIMUM_ATTR_STRING_LENGTH);
  std::memcpy(attribute.Buffer, text, N);  // with its terminating zero
  attribute.Length = N;
}

NTSTATUS TearDown(PDEVICE_OBJECT device, NTSTATUS status) {
  DrvUnloadDevice(device);
  return status;
}

}  // namespace

void DrvSerialConfiguration(PSERIAL_CONFIG SerialConfig) {
  RtlZeroMemory(SerialConfig, sizeof(*SerialConfig));
  // No DTR control and no handshake; keep sending after XOFF, so no automatic flow control.
  SerialConfig->HandFlow = SERIAL_HANDFLOW{0, SERIAL_XOFF_CONTINUE, 0, 0};
  SerialConfig->Chars = SERIAL_CHARS{0, 0, 0, 0, 0, 0};
  SerialConfig->Timeouts = SERIAL_TIMEOUTS{50, 0, 100, 0, 1000};
  SerialConfig->BaudRate = SERIAL_BAUD_RATE{19200};
  SerialConfig->LineControl = SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8};
  SerialConfig->EventMask = SERIAL_EV_RXCHAR | SERIAL_EV_DSR;
  SerialConfig->PurgeMask = SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
}

NTSTATUS DrvInitDeviceObject(PDRIVER_OBJECT DriverObject, ULONG DeviceIndex) {
  WCHAR reader_name[kTemplateLength + 1];
  WCHAR serial_name[kTemplateLength + 1];
  UNICODE_STRING reader_text;
  UNICODE_STRING serial_text;
  FormName(kReaderNameTemplate, DeviceIndex, reader_name, &reader_text);
  FormName(kSerialNameTemplate, DeviceIndex, serial_name, &serial_text);

  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &reader_text,
                                   FILE_DEVICE_SMARTCARD, 0, FALSE, &device);
  if (status != STATUS_SUCCESS) return status;

  auto* extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
  RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));
  device->Flags |= DO_BUFFERED_IO;
  extension->ReaderOpen = FALSE;
  PSMARTCARD_EXTENSION smartcard = &extension->SmartcardExtension;

  auto* reader = static_cast<PREADER_EXTENSION>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), DRIVER_POOL_TAG));
  smartcard->ReaderExtension = reader;
  if (reader == nullptr) return TearDown(device, STATUS_INSUFFICIENT_RESOURCES);

  RtlZeroMemory(reader, sizeof(READER_EXTENSION));
  reader->SmartcardExtension = smartcard;
  extension->InterfaceReady = FALSE;
  ExInitializeWorkItem(&reader->RemovalWorkItem, DrvWaitForDeviceRemoval, device);
  KeInitializeEvent(&extension->ReaderStarted, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->SerialRemoved, NotificationEvent, TRUE);
  reader->DeviceIndex = DeviceIndex;
  ExInitializeWorkItem(&reader->ReadWorkItem, IFReadWorkRoutine, reader);

  status = IoGetDeviceObjectPointer(&serial_text, FILE_ALL_ACCESS, &reader->SerialFileObject,
                                    &reader->SerialDeviceObject);
  KeInitializeSpinLock(&reader->ReceiveLock);
  KeInitializeEvent(&reader->DataEvent, NotificationEvent, FALSE);
  if (status != STATUS_SUCCESS) return TearDown(device, status);

  SERIAL_CONFIG config;
  DrvSerialConfiguration(&config);
  reader->ReadIntervalTimeout = config.Timeouts.ReadIntervalTimeout;
  reader->ReadTotalTimeout = config.Timeouts.ReadTotalTimeoutConstant;

  status = IFInitializeInterface(reader, &config);
  if (status != STATUS_SUCCESS) return TearDown(device, status);
  extension->InterfaceReady = TRUE;

  status = IFGetFirmwareRevision(reader);
  if (status != STATUS_SUCCESS) return TearDown(device, status);

  status = STCConfigureSTC(reader);
  if (status != STATUS_SUCCESS) return TearDown(device, status);

  DrvSetupSmartcardExtension(smartcard);
  status = SmartcardInitialize(smartcard);
  if (status != STATUS_SUCCESS) return TearDown(device, status);
  smartcard->OsData->DeviceObject = device;

  const NTSTATUS link_status = SmartcardCreateLink(&extension->LinkName, &reader_text);
  CBUpdateCardState(smartcard, SCARD_UNKNOWN);
  if (link_status != STATUS_SUCCESS) return TearDown(device, link_status);

  KeClearEvent(&extension->SerialRemoved);
  KeSetEvent(&extension->ReaderStarted, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

void DrvSetupSmartcardExtension(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
  SmartcardExtension->Version = SMCLIB_VERSION;

  SetAttribute(SmartcardExtension->VendorAttr.VendorName, kVendorName);
  SetAttribute(SmartcardExtension->VendorAttr.IfdType, kIfdType);
  SmartcardExtension->VendorAttr.UnitNo = reader->DeviceIndex;
  SmartcardExtension->VendorAttr.IfdVersion.BuildNumber = 0;
  SmartcardExtension->VendorAttr.IfdVersion.VersionMajor = reader->FirmwareMajor;
  SmartcardExtension->VendorAttr.IfdVersion.VersionMinor = reader->FirmwareMinor;
  SmartcardExtension->VendorAttr.IfdSerialNo.Length = 0;

  SmartcardExtension->ReaderFunction[RDF_CARD_POWER] = CBCardPower;
  SmartcardExtension->ReaderFunction[RDF_TRANSMIT] = CBTransmit;
  SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING] = CBCardTracking;
  SmartcardExtension->ReaderFunction[RDF_SET_PROTOCOL] = CBSetProtocol;
  SmartcardExtension->ReaderFunction[RDF_IOCTL_VENDOR] = DrvGenericIOCTL;

  READER_CAPABILITIES& capabilities = SmartcardExtension->ReaderCapabilities;
  capabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  capabilities.ReaderType = SCARD_READER_TYPE_SERIAL;
  capabilities.MechProperties = 0;
  capabilities.Channel = 0;
  capabilities.CLKFrequency.Default = 3580;
  capabilities.CLKFrequency.Max = 3580;
  capabilities.DataRate.Default = dataRatesSupported[0];
  capabilities.DataRate.Max = dataRatesSupported[0];
  capabilities.MaxIFSD = 254;
  capabilities.DataRatesSupported.List = dataRatesSupported;
  capabilities.DataRatesSupported.Entries = 1;

  SmartcardExtension->SmartcardReply.BufferSize = 576;
  SmartcardExtension->SmartcardRequest.BufferSize = 576;
}
