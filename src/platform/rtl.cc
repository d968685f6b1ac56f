#include "platform/rtl.h"

#include <algorithm>

#include "platform/ex.h"
#include "platform/platform.h"

using tolvex::platform::Platform;
using tolvex::platform::Registry;

namespace {

size_t WideLength(PCWSTR text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

bool IsString(ULONG type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Stores one value at a direct query's destination, by its type.
NTSTATUS StoreDirect(ULONG type, const UCHAR* data, ULONG length, PVOID destination) {
  if (IsString(type)) {
    auto* target = static_cast<PUNICODE_STRING>(destination);
    // The stored text without its terminating zero, if it has one.
    ULONG bytes = length & ~1U;
    if (bytes >= 2 && data[bytes - 1] == 0 && data[bytes - 2] == 0) bytes -= 2;
    if (bytes > 0xFFFC) return STATUS_BUFFER_TOO_SMALL;
    if (target->Buffer == nullptr) {
      auto* buffer =
          static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + 2, PoolTag("RtlS")));
      if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      target->Buffer = buffer;
      target->MaximumLength = static_cast<USHORT>(bytes + 2);
    } else if (bytes > target->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    // An empty value has no data at all: nothing to copy, and no pointer to copy from.
    if (bytes != 0) std::memcpy(target->Buffer, data, bytes);
    target->Length = static_cast<USHORT>(bytes);
    if (bytes + 2 <= target->MaximumLength) target->Buffer[bytes / 2] = 0;
    return STATUS_SUCCESS;
  }
  if (length <= sizeof(ULONG)) {
    if (length != 0) std::memcpy(destination, data, length);
    return STATUS_SUCCESS;
  }
  // Longer data: the destination announces its room in its first LONG.
  LONG room;
  std::memcpy(&room, destination, sizeof(room));
  if (room < 0) {
    if (static_cast<ULONG>(-static_cast<LONGLONG>(room)) < length) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(destination, data, length);
    return STATUS_SUCCESS;
  }
  if (static_cast<ULONG>(room) < length + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<UCHAR*>(destination);
  std::memcpy(out, &length, sizeof(ULONG));
  std::memcpy(out + sizeof(ULONG), &type, sizeof(ULONG));
  std::memcpy(out + 2 * sizeof(ULONG), data, length);
  return STATUS_SUCCESS;
}

}  // namespace

SIZE_T RtlCompareMemory(PCVOID Source1, PCVOID Source2, SIZE_T Length) {
  const auto* a = static_cast<const UCHAR*>(Source1);
  const auto* b = static_cast<const UCHAR*>(Source2);
  SIZE_T n = 0;
  while (n < Length && a[n] == b[n]) ++n;
  return n;
}

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString == nullptr) {
    *DestinationString = UNICODE_STRING{0, 0, nullptr};
    return;
  }
  const size_t bytes = std::min<size_t>(WideLength(SourceString) * sizeof(WCHAR), 0xFFFC);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, const UNICODE_STRING* SourceString) {
  if (SourceString == nullptr || SourceString->Buffer == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  const USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
  std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes & ~1U);
  DestinationString->Length = static_cast<USHORT>(bytes & ~1U);
  if (DestinationString->Length + sizeof(WCHAR) <= DestinationString->MaximumLength) {
    DestinationString->Buffer[DestinationString->Length / sizeof(WCHAR)] = 0;
  }
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, const UNICODE_STRING* Source) {
  if (Source->Length == 0) return STATUS_SUCCESS;
  const size_t total = size_t{Destination->Length} + Source->Length;
  if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<UCHAR*>(Destination->Buffer) + Destination->Length, Source->Buffer,
               Source->Length);
  Destination->Length = static_cast<USHORT>(total);
  if (total + sizeof(WCHAR) <= Destination->MaximumLength) {
    Destination->Buffer[total / sizeof(WCHAR)] = 0;
  }
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, Source);
  return RtlAppendUnicodeStringToString(Destination, &source);
}

BOOLEAN RtlEqualUnicodeString(const UNICODE_STRING* String1, const UNICODE_STRING* String2,
                              BOOLEAN CaseInSensitive) {
  auto a = tolvex::platform::View(*String1);
  auto b = tolvex::platform::View(*String2);
  if (!CaseInSensitive) return a == b;
  return tolvex::platform::FoldCase(a) == tolvex::platform::FoldCase(b);
}

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID /*Environment*/, const char* file, int line) {
  tolvex::platform::ServiceSite site("RtlQueryRegistryValues", file, line);
  if (RelativeTo != RTL_REGISTRY_ABSOLUTE) return STATUS_INVALID_PARAMETER;
  if (Path == nullptr) return STATUS_INVALID_PARAMETER;
  // The room the key's values are read into.
  if (Platform::Current().faults().Reach("query")) return STATUS_INSUFFICIENT_RESOURCES;
  Registry& registry = Platform::Current().registry();
  const std::u16string_view key(Path, WideLength(Path));
  if (!registry.KeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;

  for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
       entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
    if (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY)) {
      return STATUS_NOT_SUPPORTED;
    }
    const bool direct = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
    if (direct && entry->Name == nullptr) return STATUS_INVALID_PARAMETER;

    std::optional<Registry::Value> value;
    if (entry->Name != nullptr) {
      value = registry.GetValue(key, std::u16string_view(entry->Name, WideLength(entry->Name)));
    }
    ULONG type;
    std::vector<UCHAR> data;
    if (value) {
      type = value->type;
      data = std::move(value->data);
    } else {
      const ULONG default_type = entry->DefaultType & 0x00FFFFFF;
      if (default_type == REG_NONE || entry->DefaultData == nullptr) {
        if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
        continue;
      }
      type = default_type;
      ULONG length = entry->DefaultLength;
      if (length == 0 && IsString(type)) {
        length = static_cast<ULONG>((WideLength(static_cast<PCWSTR>(entry->DefaultData)) + 1) *
                                    sizeof(WCHAR));
      }
      const auto* bytes = static_cast<const UCHAR*>(entry->DefaultData);
      data.assign(bytes, bytes + length);
    }
    if (entry->Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
      const ULONG expected = entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
      if (type != expected) return STATUS_OBJECT_TYPE_MISMATCH;
    }
    NTSTATUS status;
    if (direct) {
      status = StoreDirect(type, data.data(), static_cast<ULONG>(data.size()), entry->EntryContext);
    } else {
      // The routine is the caller's code: its own calls are sites of their own.
      tolvex::platform::ServiceSiteBarrier fresh(false);
      status = entry->QueryRoutine(entry->Name, type, data.data(), static_cast<ULONG>(data.size()),
                                   Context, entry->EntryContext);
    }
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}
