// Run-time library: counted strings, memory helpers and registry queries.
//
// The registry is an in-memory tree owned by the platform (platform.h: Registry). Keys are
// paths such as "\Registry\Machine\System\CurrentControlSet\Services\Tolvex\Parameters",
// compared without regard to ASCII case. RtlQueryRegistryValues reads values of one key
// through a query table, as the kernel routine of that name does:
//
//  - RTL_QUERY_REGISTRY_DIRECT stores the value at EntryContext: a number of up to four
//    bytes is copied as it is; a string fills the UNICODE_STRING at EntryContext (allocating
//    its buffer from paged pool if Buffer is null); other data longer than four bytes needs a
//    LONG at EntryContext giving the room there (negative: store the data only; positive:
//    store length, type, then the data) and fails with STATUS_BUFFER_TOO_SMALL without it.
//  - RTL_QUERY_REGISTRY_TYPECHECK refuses, with STATUS_OBJECT_TYPE_MISMATCH, a value whose
//    type differs from the one in the top byte of DefaultType, before anything is stored.
//    Direct queries of a fixed-size destination should use it.
//  - An absent value takes the entry's default when DefaultType is not REG_NONE; otherwise it
//    is skipped, or fails the query with STATUS_OBJECT_NAME_NOT_FOUND if REQUIRED is set.
//  - A missing key fails the query with STATUS_OBJECT_NAME_NOT_FOUND.
#pragma once

#include <cstring>

#include "platform/ntdef.h"

inline void RtlZeroMemory(PVOID Destination, SIZE_T Length) {
  std::memset(Destination, 0, Length);
}
inline void RtlCopyMemory(PVOID Destination, PCVOID Source, SIZE_T Length) {
  std::memcpy(Destination, Source, Length);
}
inline void RtlMoveMemory(PVOID Destination, PCVOID Source, SIZE_T Length) {
  std::memmove(Destination, Source, Length);
}
inline void RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) {
  std::memset(Destination, Fill, Length);
}
// Number of bytes, from the start, in which the two blocks agree.
SIZE_T RtlCompareMemory(PCVOID Source1, PCVOID Source2, SIZE_T Length);

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
// Copies as much of Source as Destination's MaximumLength allows, zero-terminated if there is
// room. A null Source makes Destination empty.
void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, const UNICODE_STRING* SourceString);
// Appends a zero-terminated string; STATUS_BUFFER_TOO_SMALL (and no change) if it does not fit.
// Writes a terminating zero when there is room for it.
[[nodiscard]] NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
[[nodiscard]] NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                      const UNICODE_STRING* Source);
// TRUE when equal, comparing ASCII letters without case if CaseInSensitive.
BOOLEAN RtlEqualUnicodeString(const UNICODE_STRING* String1, const UNICODE_STRING* String2,
                              BOOLEAN CaseInSensitive);

// Registry value types.
inline constexpr ULONG REG_NONE = 0;
inline constexpr ULONG REG_SZ = 1;
inline constexpr ULONG REG_EXPAND_SZ = 2;
inline constexpr ULONG REG_BINARY = 3;
inline constexpr ULONG REG_DWORD = 4;
inline constexpr ULONG REG_MULTI_SZ = 7;
inline constexpr ULONG REG_QWORD = 11;

inline constexpr ULONG RTL_REGISTRY_ABSOLUTE = 0;

inline constexpr ULONG RTL_QUERY_REGISTRY_SUBKEY = 0x00000001;
inline constexpr ULONG RTL_QUERY_REGISTRY_TOPKEY = 0x00000002;
inline constexpr ULONG RTL_QUERY_REGISTRY_REQUIRED = 0x00000004;
inline constexpr ULONG RTL_QUERY_REGISTRY_NOVALUE = 0x00000008;
inline constexpr ULONG RTL_QUERY_REGISTRY_NOEXPAND = 0x00000010;
inline constexpr ULONG RTL_QUERY_REGISTRY_DIRECT = 0x00000020;
inline constexpr ULONG RTL_QUERY_REGISTRY_TYPECHECK = 0x00000100;
inline constexpr ULONG RTL_QUERY_REGISTRY_TYPECHECK_SHIFT = 24;

using PRTL_QUERY_REGISTRY_ROUTINE = NTSTATUS (*)(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                                 ULONG ValueLength, PVOID Context,
                                                 PVOID EntryContext);

struct RTL_QUERY_REGISTRY_TABLE {
  PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
  ULONG Flags;
  PWSTR Name;
  PVOID EntryContext;
  ULONG DefaultType;
  PVOID DefaultData;
  ULONG DefaultLength;
};
using PRTL_QUERY_REGISTRY_TABLE = RTL_QUERY_REGISTRY_TABLE*;

[[nodiscard]] NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                              PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                              PVOID Environment,
                                              const char* file = __builtin_FILE(),
                                              int line = __builtin_LINE());
