// What the serial port drivers do with a request's buffer and its completion (inside
// src/serial only).
#pragma once

#include <cstring>

#include "platform/platform.h"

namespace tolvex::serial {

// Copies a record out of a request's buffer.
template <typename T>
T InputAs(PIRP irp) {
  T value;
  std::memcpy(&value, irp->AssociatedIrp.SystemBuffer, sizeof(T));
  return value;
}

// Copies a record into a request's buffer.
template <typename T>
void OutputAs(PIRP irp, const T& value) {
  std::memcpy(irp->AssociatedIrp.SystemBuffer, &value, sizeof(T));
}

inline NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace tolvex::serial
