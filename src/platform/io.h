// I/O manager: requests (IRPs), driver and device objects, file objects, names.
//
// A request carries an array of stack locations, one per driver it passes through. A caller
// fills the next stack location and hands the request to a device with IofCallDriver, which
// makes that location current and calls the device's driver through its dispatch table. A
// driver either completes the request at once and returns its status, or marks it pending,
// returns STATUS_PENDING and completes it later, from any thread.
//
// Completion (IofCompleteRequest) walks the stack locations back up. A completion routine set
// on a location runs if its invocation flags match the outcome (success, error, cancel); if
// it returns STATUS_MORE_PROCESSING_REQUIRED the walk stops and the request stays alive, to be
// completed again by whoever holds it. When the walk ends the platform finishes the request:
// for buffered requests it copies the output (IoStatus.Information bytes) from the system
// buffer to the caller's buffer and frees the system buffer, stores the final status block in
// the caller's IO_STATUS_BLOCK, signals the caller's event and frees the request. Nothing of
// the request may be touched afterwards.
//
// Cancellation. A driver that keeps a request pending sets a cancel routine with
// IoSetCancelRoutine (an atomic exchange). IoCancelIrp takes the cancel spin lock, marks the
// request cancelled and, if it can exchange the cancel routine for null, calls it with the
// cancel spin lock held; the routine releases the lock (at Irp->CancelIrql) and completes the
// request. A driver completing a request first exchanges the cancel routine for null itself;
// whoever gets the non-null routine owns the completion.
//
// The verifier stops the process on: completing a request that is already finished (or was
// never built), completing with STATUS_PENDING or with a cancel routine still set, a buffered
// request completed with more bytes than its output buffer holds, calling a driver with no
// stack location left.
//
// Objects. IoCreateDevice makes a device object with its extension (zeroed) and enters its
// name in the platform's name table; symbolic links are further names that point at a name.
// IoGetDeviceObjectPointer opens a device by name: the device's driver receives a create
// request, and the caller holds a referenced file object until ObfDereferenceObject, which
// sends the cleanup and close requests. A device deleted while file objects refer to it
// disappears from the name table at once and is freed when the last reference goes; if its
// driver was unloaded meanwhile, that last reference sends nothing.
#pragma once

#include "platform/ke.h"

// Control codes.
constexpr ULONG CTL_CODE(ULONG DeviceType, ULONG Function, ULONG Method, ULONG Access) {
  return (DeviceType << 16) | (Access << 14) | (Function << 2) | Method;
}
inline constexpr ULONG METHOD_BUFFERED = 0;
inline constexpr ULONG METHOD_IN_DIRECT = 1;
inline constexpr ULONG METHOD_OUT_DIRECT = 2;
inline constexpr ULONG METHOD_NEITHER = 3;
inline constexpr ULONG FILE_ANY_ACCESS = 0;
inline constexpr ULONG FILE_READ_ACCESS = 1;
inline constexpr ULONG FILE_WRITE_ACCESS = 2;
constexpr ULONG IoControlMethod(ULONG code) {
  return code & 3;
}

inline constexpr DEVICE_TYPE FILE_DEVICE_SERIAL_PORT = 0x1B;
inline constexpr DEVICE_TYPE FILE_DEVICE_SMARTCARD = 0x31;
inline constexpr DEVICE_TYPE FILE_DEVICE_UNKNOWN = 0x22;

inline constexpr ULONG FILE_ALL_ACCESS = 0x1F01FF;

// Major functions.
inline constexpr UCHAR IRP_MJ_CREATE = 0x00;
inline constexpr UCHAR IRP_MJ_CLOSE = 0x02;
inline constexpr UCHAR IRP_MJ_READ = 0x03;
inline constexpr UCHAR IRP_MJ_WRITE = 0x04;
inline constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
inline constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
inline constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
inline constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

// Stack location control flags.
inline constexpr UCHAR SL_PENDING_RETURNED = 0x01;
inline constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
inline constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
inline constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

// Request flags.
inline constexpr ULONG IRP_BUFFERED_IO = 0x10;
inline constexpr ULONG IRP_DEALLOCATE_BUFFER = 0x20;
inline constexpr ULONG IRP_INPUT_OPERATION = 0x40;

// Device object flags.
inline constexpr ULONG DO_BUFFERED_IO = 0x04;
inline constexpr ULONG DO_EXCLUSIVE = 0x08;

inline constexpr CHAR IO_NO_INCREMENT = 0;
inline constexpr CHAR IO_SERIAL_INCREMENT = 2;

// Object types, the first field of each object.
inline constexpr SHORT IO_TYPE_DEVICE = 3;
inline constexpr SHORT IO_TYPE_DRIVER = 4;
inline constexpr SHORT IO_TYPE_FILE = 5;
inline constexpr SHORT IO_TYPE_IRP = 6;

struct IO_STATUS_BLOCK {
  NTSTATUS Status;
  ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
struct FILE_OBJECT;
struct IRP;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
using PFILE_OBJECT = FILE_OBJECT*;
using PIRP = IRP*;

using PDRIVER_DISPATCH = NTSTATUS (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
using PDRIVER_CANCEL = void (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
using PDRIVER_UNLOAD = void (*)(PDRIVER_OBJECT DriverObject);
using PDRIVER_INITIALIZE = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

struct IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      ULONG DesiredAccess;
      ULONG Options;
    } Create;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
};
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;

struct IRP {
  SHORT Type;  // IO_TYPE_IRP
  USHORT Size;
  ULONG Flags;
  union {
    IRP* MasterIrp;
    PVOID SystemBuffer;
  } AssociatedIrp;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;  // 1-based; StackCount + 1 before the first call
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  PDRIVER_CANCEL CancelRoutine;
  PVOID UserBuffer;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  ULONG UserBufferLength;  // room at UserBuffer for a buffered request's output
  struct {
    struct {
      PVOID DriverContext[4];
      LIST_ENTRY ListEntry;
      PIO_STACK_LOCATION CurrentStackLocation;
      PFILE_OBJECT OriginalFileObject;
    } Overlay;
  } Tail;
  // The stack locations follow the request in the same allocation.
};

struct DRIVER_EXTENSION {
  PDRIVER_OBJECT DriverObject;
  UNICODE_STRING ServiceKeyName;
};

struct DRIVER_OBJECT {
  SHORT Type;  // IO_TYPE_DRIVER
  SHORT Size;
  PDEVICE_OBJECT DeviceObject;  // first device of the driver's list
  ULONG Flags;
  DRIVER_EXTENSION* DriverExtension;
  UNICODE_STRING DriverName;
  PDRIVER_INITIALIZE DriverInit;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct DEVICE_OBJECT {
  SHORT Type;  // IO_TYPE_DEVICE
  USHORT Size;
  LONG ReferenceCount;
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT NextDevice;
  PIRP CurrentIrp;
  ULONG Flags;
  ULONG Characteristics;
  PVOID DeviceExtension;
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;
};

struct FILE_OBJECT {
  SHORT Type;  // IO_TYPE_FILE
  SHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PVOID FsContext;
  PVOID FsContext2;
  LONG ReferenceCount;
};

// Stack locations.
PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp);
PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp);
void IoMarkIrpPending(PIRP Irp);
void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel);
PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine);

// Building, sending, completing and cancelling requests.
// The services that can fail for want of memory take their caller's file and line last, which
// name the call's site for fault injection (platform.h: FaultSites).
[[nodiscard]] PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota,
                                 const char* file = __builtin_FILE(), int line = __builtin_LINE());
void IoFreeIrp(PIRP Irp);
// Builds a device control request for DeviceObject. METHOD_BUFFERED requests get a system
// buffer of the larger of the two lengths, holding the input; the output is copied back to
// OutputBuffer at completion. METHOD_NEITHER requests pass both buffers as they are. Returns
// null when the request cannot be allocated. Only at PASSIVE_LEVEL.
[[nodiscard]] PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                 PVOID InputBuffer, ULONG InputBufferLength,
                                                 PVOID OutputBuffer, ULONG OutputBufferLength,
                                                 BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                 PIO_STATUS_BLOCK IoStatusBlock,
                                                 const char* file = __builtin_FILE(),
                                                 int line = __builtin_LINE());
[[nodiscard]] NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void IofCompleteRequest(PIRP Irp, CHAR PriorityBoost);
BOOLEAN IoCancelIrp(PIRP Irp);
inline NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return IofCallDriver(DeviceObject, Irp);
}
inline void IoCompleteRequest(PIRP Irp, CHAR PriorityBoost) {
  IofCompleteRequest(Irp, PriorityBoost);
}

// Devices, names and links.
[[nodiscard]] NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                      PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                      ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                      PDEVICE_OBJECT* DeviceObject,
                                      const char* file = __builtin_FILE(),
                                      int line = __builtin_LINE());
void IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
[[nodiscard]] NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ULONG DesiredAccess,
                                                PFILE_OBJECT* FileObject,
                                                PDEVICE_OBJECT* DeviceObject,
                                                const char* file = __builtin_FILE(),
                                                int line = __builtin_LINE());
void ObfReferenceObject(PVOID Object);
void ObfDereferenceObject(PVOID Object);
[[nodiscard]] NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                            PUNICODE_STRING DeviceName,
                                            const char* file = __builtin_FILE(),
                                            int line = __builtin_LINE());
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
