#include "support/link_bench.h"

#include "driver/frame/frame.h"

namespace tolvex::host {

LinkBench::LinkBench()
    : line_(std::make_shared<serial::MemoryLine>()),
      script_([this](std::span<const UCHAR> bytes) { line_->Send(bytes); }) {
  platform::PlatformScope scope(platform_);
  platform_.clock().SetDelayMode(platform::Clock::DelayMode::kSkip);
  NTSTATUS status =
      serial::LoadSerialDriver(platform_, {serial::PortBinding{0, line_}}, &serial_driver_);
  if (!NT_SUCCESS(status)) platform::BugCheck("link bench: serial driver did not load");
  port_ = serial::PortOf(serial_driver_->DeviceObject);
  line_->SetListener([this](std::span<const UCHAR> frame) { script_.HostWrote(frame); });

  // The link record as start-up leaves it before the port is opened.
  reader_ = static_cast<PREADER_EXTENSION>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), DRIVER_POOL_TAG));
  if (reader_ == nullptr) platform::BugCheck("link bench: no memory for the link record");
  RtlZeroMemory(reader_, sizeof(READER_EXTENSION));
  reader_->SmartcardExtension = &smartcard_;
  ExInitializeWorkItem(&reader_->RemovalWorkItem, RemovalRoutine, this);
  ExInitializeWorkItem(&reader_->ReadWorkItem, IFReadWorkRoutine, reader_);
  KeInitializeSpinLock(&reader_->ReceiveLock);
  KeInitializeEvent(&reader_->DataEvent, NotificationEvent, FALSE);
  reader_->ReadIntervalTimeout = 50;
  reader_->ReadTotalTimeout = 100;
  smartcard_.ReaderExtension = reader_;
  KeInitializeSpinLock(&os_data_.SpinLock);
  smartcard_.OsData = &os_data_;
}

LinkBench::~LinkBench() {
  Stop();
  line_->SetListener(nullptr);
  platform::PlatformScope scope(platform_);
  platform_.DrainWorkQueue();
  ExFreePool(reader_);
  platform_.UnloadDriver(serial_driver_);
}

NTSTATUS LinkBench::Open() {
  platform::PlatformScope scope(platform_);
  std::u16string name = u"\\Device\\Serial0";
  UNICODE_STRING device_name{static_cast<USHORT>(name.size() * 2),
                             static_cast<USHORT>(name.size() * 2), name.data()};
  return IoGetDeviceObjectPointer(&device_name, FILE_ALL_ACCESS, &reader_->SerialFileObject,
                                  &reader_->SerialDeviceObject);
}

NTSTATUS LinkBench::Start(const SERIAL_CONFIG* given) {
  NTSTATUS status = reader_->SerialFileObject != nullptr ? STATUS_SUCCESS : Open();
  if (!NT_SUCCESS(status)) return status;
  platform::PlatformScope scope(platform_);
  SERIAL_CONFIG config;
  DrvSerialConfiguration(&config);
  if (given != nullptr) config = *given;
  status = IFInitializeInterface(reader_, &config);
  initialized_ = status == STATUS_SUCCESS;
  return status;
}

void LinkBench::Stop() {
  platform::PlatformScope scope(platform_);
  if (reader_->SerialFileObject == nullptr) return;
  // The cleared wait mask ends the listener (its removal routine, or a pass the mask refuses to
  // wait again), which sets ListenerIdle last; releasing the port cancels whatever it still holds.
  ULONG mask = 0;
  if (initialized_ && IFSerialIoctl(reader_, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask),
                                    nullptr, 0) == STATUS_SUCCESS) {
    (void)KeWaitForSingleObject(&reader_->ListenerIdle, Executive, KernelMode, FALSE, nullptr);
  }
  ObfDereferenceObject(reader_->SerialFileObject);
  if (initialized_) {
    (void)KeWaitForSingleObject(&reader_->ListenerIdle, Executive, KernelMode, FALSE, nullptr);
  }
  initialized_ = false;
  platform_.DrainWorkQueue();
  reader_->SerialFileObject = nullptr;
  reader_->SerialDeviceObject = nullptr;
}

void LinkBench::RemovalRoutine(PVOID context) {
  auto* bench = static_cast<LinkBench*>(context);
  IFWaitListenerStopped(bench->reader_);
  ULONG mask = SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
  (void)IFSerialIoctl(bench->reader_, IOCTL_SERIAL_PURGE, &mask, sizeof(mask), nullptr, 0);
  KeSetEvent(&bench->reader_->ListenerIdle, IO_NO_INCREMENT, FALSE);
}

}  // namespace tolvex::host
