// Basic types and status values of the kernel-services layer.
//
// The driver above this layer is written against the kernel programming interface it was
// designed for: 32-bit NT status codes, counted UTF-16 strings, fixed-width integer names.
// These definitions give those names their exact widths on Linux (LP64), where `long` is
// 64 bits wide, so ULONG and LONG are spelled with <cstdint> types here.
#pragma once

#include <cstddef>
#include <cstdint>

using UCHAR = std::uint8_t;
using USHORT = std::uint16_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using SHORT = std::int16_t;
using CHAR = char;
using CCHAR = char;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using SIZE_T = std::size_t;
using BOOLEAN = std::uint8_t;
using WCHAR = char16_t;
using PVOID = void*;
using PCVOID = const void*;
using PUCHAR = UCHAR*;
using PULONG = ULONG*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using NTSTATUS = std::int32_t;
using KIRQL = UCHAR;
using DEVICE_TYPE = ULONG;

inline constexpr BOOLEAN TRUE = 1;
inline constexpr BOOLEAN FALSE = 0;

// A 64-bit signed time or offset. Negative times passed to waits are relative, in units of
// 100 nanoseconds.
struct LARGE_INTEGER {
  LONGLONG QuadPart;
};

// Doubly linked list links, as embedded in work items and requests.
struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};

// Counted UTF-16 string. Length and MaximumLength are in bytes; Buffer need not be
// zero-terminated.
struct UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;

constexpr bool NT_SUCCESS(NTSTATUS status) {
  return status >= 0;
}
constexpr bool NT_ERROR(NTSTATUS status) {
  return (static_cast<ULONG>(status) >> 30) == 3;
}

// Builds the 32-bit pool tag whose bytes in memory read as the four characters given.
constexpr ULONG PoolTag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(text[0])) |
         static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16 |
         static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24;
}

#define TOLVEX_STATUS(value) static_cast<NTSTATUS>(static_cast<ULONG>(value))

inline constexpr NTSTATUS STATUS_SUCCESS = 0;
inline constexpr NTSTATUS STATUS_TIMEOUT = TOLVEX_STATUS(0x00000102);
inline constexpr NTSTATUS STATUS_PENDING = TOLVEX_STATUS(0x00000103);
inline constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = TOLVEX_STATUS(0x80000005);
inline constexpr NTSTATUS STATUS_DEVICE_BUSY = TOLVEX_STATUS(0x80000011);
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = TOLVEX_STATUS(0xC0000001);
inline constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = TOLVEX_STATUS(0xC0000002);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = TOLVEX_STATUS(0xC000000D);
inline constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = TOLVEX_STATUS(0xC000000E);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = TOLVEX_STATUS(0xC0000010);
inline constexpr NTSTATUS STATUS_NO_MEDIA_IN_DEVICE = TOLVEX_STATUS(0xC0000013);
inline constexpr NTSTATUS STATUS_UNRECOGNIZED_MEDIA = TOLVEX_STATUS(0xC0000014);
inline constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = TOLVEX_STATUS(0xC0000016);
inline constexpr NTSTATUS STATUS_ACCESS_DENIED = TOLVEX_STATUS(0xC0000022);
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = TOLVEX_STATUS(0xC0000023);
inline constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = TOLVEX_STATUS(0xC0000024);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = TOLVEX_STATUS(0xC0000033);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = TOLVEX_STATUS(0xC0000034);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = TOLVEX_STATUS(0xC0000035);
inline constexpr NTSTATUS STATUS_DATA_OVERRUN = TOLVEX_STATUS(0xC000003C);
inline constexpr NTSTATUS STATUS_DATA_ERROR = TOLVEX_STATUS(0xC000003E);
inline constexpr NTSTATUS STATUS_CRC_ERROR = TOLVEX_STATUS(0xC000003F);
inline constexpr NTSTATUS STATUS_REVISION_MISMATCH = TOLVEX_STATUS(0xC0000059);
inline constexpr NTSTATUS STATUS_SHARING_VIOLATION = TOLVEX_STATUS(0xC0000043);
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = TOLVEX_STATUS(0xC000009A);
inline constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = TOLVEX_STATUS(0xC000009D);
inline constexpr NTSTATUS STATUS_IO_TIMEOUT = TOLVEX_STATUS(0xC00000B5);
inline constexpr NTSTATUS STATUS_NOT_SUPPORTED = TOLVEX_STATUS(0xC00000BB);
inline constexpr NTSTATUS STATUS_CANCELLED = TOLVEX_STATUS(0xC0000120);
inline constexpr NTSTATUS STATUS_NO_MEDIA = TOLVEX_STATUS(0xC0000178);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = TOLVEX_STATUS(0xC0000184);
inline constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = TOLVEX_STATUS(0xC0000185);
inline constexpr NTSTATUS STATUS_DEVICE_PROTOCOL_ERROR = TOLVEX_STATUS(0xC0000186);

// The status's symbolic name ("STATUS_IO_TIMEOUT"), or null when it has none here.
const char* NtStatusName(NTSTATUS status);
// A few plain words for people ("the device did not answer in time").
const char* NtStatusText(NTSTATUS status);
