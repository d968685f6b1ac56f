// Registering a reader with the library, its symbolic link, and letting go of both.
#include <map>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "smclib/smclib.h"

// ISO/IEC 7816-3 Fi with its fmax (Hz); reserved codes 7, 8, 14, 15 are 0.
const CLOCK_RATE_CONVERSION ClockRateConversion[16] = {
    {372, 4000000},   {372, 5000000},   {558, 6000000},   {744, 8000000},
    {1116, 12000000}, {1488, 16000000}, {1860, 20000000}, {0, 0},
    {0, 0},           {512, 5000000},   {768, 7500000},   {1024, 10000000},
    {1536, 15000000}, {2048, 20000000}, {0, 0},           {0, 0},
};

// ISO/IEC 7816-3 Di as a fraction; reserved codes 0 and 10 to 15 are 0 (code 10 is 1/64 in
// old editions and is not offered by this library).
const BIT_RATE_ADJUSTMENT BitRateAdjustment[16] = {
    {0, 0},  {1, 1},  {2, 1}, {4, 1}, {8, 1}, {16, 1}, {32, 1}, {64, 1},
    {12, 1}, {20, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 0},  {0, 0},  {0, 0},
};

namespace {

constexpr ULONG kDefaultBufferSize = 288;  // a whole T=1 block with room to spare
constexpr int kMaximumLinks = 256;

// The link names the library created, by reader device, so that SmartcardExit can release them.
std::mutex g_links_mutex;
std::map<PDEVICE_OBJECT, PWSTR>& Links() {
  static auto* links = new std::map<PDEVICE_OBJECT, PWSTR>();
  return *links;
}

PUCHAR AllocateBuffer(ULONG* size) {
  if (*size == 0) *size = kDefaultBufferSize;
  auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, *size, SMCLIB_POOL_TAG));
  if (buffer != nullptr) RtlZeroMemory(buffer, *size);
  return buffer;
}

void Release(PVOID* p) {
  if (*p != nullptr) ExFreePool(*p);
  *p = nullptr;
}

}  // namespace

NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension->Version > SMCLIB_VERSION) return STATUS_REVISION_MISMATCH;
  if (SmartcardExtension->OsData != nullptr) return STATUS_INVALID_DEVICE_STATE;

  auto* os = static_cast<POS_DEP_DATA>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(OS_DEP_DATA), SMCLIB_POOL_TAG));
  PUCHAR request = AllocateBuffer(&SmartcardExtension->SmartcardRequest.BufferSize);
  PUCHAR reply = AllocateBuffer(&SmartcardExtension->SmartcardReply.BufferSize);
  if (os == nullptr || request == nullptr || reply == nullptr) {
    Release(reinterpret_cast<PVOID*>(&os));
    Release(reinterpret_cast<PVOID*>(&request));
    Release(reinterpret_cast<PVOID*>(&reply));
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(os, sizeof(OS_DEP_DATA));
  KeInitializeSpinLock(&os->SpinLock);
  KeInitializeEvent(&os->RequestTurn, SynchronizationEvent, TRUE);
  SmartcardExtension->SmartcardRequest.Buffer = request;
  SmartcardExtension->SmartcardRequest.BufferLength = 0;
  SmartcardExtension->SmartcardReply.Buffer = reply;
  SmartcardExtension->SmartcardReply.BufferLength = 0;
  SmartcardExtension->CardCapabilities.ClockRateConversion = ClockRateConversion;
  SmartcardExtension->CardCapabilities.BitRateAdjustment = BitRateAdjustment;
  SmartcardExtension->OsData = os;
  return STATUS_SUCCESS;
}

NTSTATUS SmartcardCreateLink(PUNICODE_STRING LinkName, PUNICODE_STRING DeviceName) {
  if (LinkName == nullptr || DeviceName == nullptr || DeviceName->Buffer == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  tolvex::platform::Platform& platform = tolvex::platform::Platform::Current();
  PDEVICE_OBJECT device = platform.FindDevice(tolvex::platform::View(*DeviceName));
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;

  for (int n = 0; n < kMaximumLinks; ++n) {
    const std::u16string name =
        u"\\DosDevices\\SCReader" + tolvex::platform::ToU16(std::to_string(n));
    const size_t bytes = (name.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, SMCLIB_POOL_TAG));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(buffer, name.c_str(), bytes);
    UNICODE_STRING link{static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(bytes), buffer};
    NTSTATUS status = IoCreateSymbolicLink(&link, DeviceName);
    if (status == STATUS_OBJECT_NAME_COLLISION) {
      ExFreePool(buffer);
      continue;  // taken by another reader: try the next number
    }
    if (!NT_SUCCESS(status)) {
      ExFreePool(buffer);
      return status;
    }
    {
      std::lock_guard lock(g_links_mutex);
      PWSTR& previous = Links()[device];
      if (previous != nullptr) ExFreePool(previous);  // a second link for the same reader
      previous = buffer;
    }
    *LinkName = link;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_COLLISION;
}

void SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension) {
  POS_DEP_DATA os = SmartcardExtension->OsData;
  if (os == nullptr) return;
  if (os->DeviceObject != nullptr) {
    PWSTR link = nullptr;
    {
      std::lock_guard lock(g_links_mutex);
      auto it = Links().find(os->DeviceObject);
      if (it != Links().end()) {
        link = it->second;
        Links().erase(it);
      }
    }
    if (link != nullptr) ExFreePool(link);
  }
  Release(reinterpret_cast<PVOID*>(&SmartcardExtension->SmartcardRequest.Buffer));
  Release(reinterpret_cast<PVOID*>(&SmartcardExtension->SmartcardReply.Buffer));
  ExFreePool(os);
  SmartcardExtension->OsData = nullptr;
}
