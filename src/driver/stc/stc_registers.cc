// Controller register programming.
#include "driver/stc/stc.h"

const STC_REGISTER_WRITE STCInitialize[3] = {
    {STC_REGISTER_8, 1, {0x00, 0, 0, 0}},
    {STC_MODE_REGISTER, 1, {0x4F, 0, 0, 0}},
    {0, 0, {0, 0, 0, 0}},
};

const STC_REGISTER_WRITE STCClose[3] = {
    {STC_POWER_REGISTER, 1, {0x00, 0, 0, 0}},
    {STC_MODE_REGISTER, 1, {0x00, 0, 0, 0}},
    {0, 0, {0, 0, 0, 0}},
};

namespace {

NTSTATUS WriteTable(PREADER_EXTENSION ReaderExtension, const STC_REGISTER_WRITE* row) {
  for (; row->Size != 0; ++row) {
    NTSTATUS status = IFWriteSTCRegister(ReaderExtension, row->Register, row->Size, row->Value);
    if (status != STATUS_SUCCESS) return status;
  }
  return STATUS_SUCCESS;
}

// Register 2 as the reader holds it, as the base of a read-modify-write. When the reader does
// not answer, the write still goes ahead on the value every card reset puts there: the UART
// mode, whose guard-time bit and retry bits the caller sets anyway.
UCHAR ModeRegister(PREADER_EXTENSION ReaderExtension) {
  UCHAR value = 0;
  if (IFReadSTCRegister(ReaderExtension, STC_MODE_REGISTER, 1, &value) != STATUS_SUCCESS) {
    value = STC_MODE_UART;
  }
  return value;
}

NTSTATUS WriteWaitingTime(PREADER_EXTENSION ReaderExtension, UCHAR Register, ULONG Time) {
  const UCHAR value[3] = {static_cast<UCHAR>(Time), static_cast<UCHAR>(Time >> 8),
                          static_cast<UCHAR>(Time >> 16)};
  return IFWriteSTCRegister(ReaderExtension, Register, 3, value);
}

}  // namespace

NTSTATUS STCConfigureSTC(PREADER_EXTENSION ReaderExtension) {
  return WriteTable(ReaderExtension, STCInitialize);
}

NTSTATUS STCCloseSTC(PREADER_EXTENSION ReaderExtension) {
  return WriteTable(ReaderExtension, STCClose);
}

NTSTATUS STCPowerOff(PREADER_EXTENSION ReaderExtension) {
  const UCHAR off = 0x00;
  NTSTATUS status = IFWriteSTCRegister(ReaderExtension, STC_POWER_REGISTER, 1, &off);
  SysDelay(200);  // the card's contacts settle, answered or not
  return status;
}

NTSTATUS STCSetETU(PREADER_EXTENSION, ULONG) {
  // The card's elementary time unit is not programmed from the host.
  return STATUS_SUCCESS;
}

NTSTATUS STCSetCGT(PREADER_EXTENSION ReaderExtension, ULONG GuardTime) {
  if (GuardTime > STC_MAX_GUARD_TIME) return STATUS_DATA_ERROR;
  UCHAR low = 0;
  NTSTATUS status = IFReadSTCRegister(ReaderExtension, STC_GUARD_TIME_REGISTER, 1, &low);
  if (status != STATUS_SUCCESS) return status;
  UCHAR mode = ModeRegister(ReaderExtension);
  low = static_cast<UCHAR>(GuardTime & 0xFF);
  mode = static_cast<UCHAR>((GuardTime & 0x100) ? (mode | 0x80) : (mode & 0x7F));
  status = IFWriteSTCRegister(ReaderExtension, STC_GUARD_TIME_REGISTER, 1, &low);
  if (status != STATUS_SUCCESS) return status;
  return IFWriteSTCRegister(ReaderExtension, STC_MODE_REGISTER, 1, &mode);
}

NTSTATUS STCSetCWT(PREADER_EXTENSION ReaderExtension, ULONG WaitingTime) {
  return WriteWaitingTime(ReaderExtension, STC_CWT_REGISTER, WaitingTime);
}

NTSTATUS STCSetBWT(PREADER_EXTENSION ReaderExtension, ULONG WaitingTime) {
  return WriteWaitingTime(ReaderExtension, STC_BWT_REGISTER, WaitingTime);
}

NTSTATUS STCInitRetries(PREADER_EXTENSION ReaderExtension, UCHAR Retries) {
  const UCHAR mode = static_cast<UCHAR>((ModeRegister(ReaderExtension) & ~0x03) | Retries);
  return IFWriteSTCRegister(ReaderExtension, STC_MODE_REGISTER, 1, &mode);
}

NTSTATUS STCInitUART(PREADER_EXTENSION ReaderExtension, BOOLEAN Mode) {
  const UCHAR mode = Mode ? STC_MODE_UART : STC_MODE_UART_ALT;
  NTSTATUS status = IFWriteSTCRegister(ReaderExtension, STC_MODE_REGISTER, 1, &mode);
  if (status != STATUS_SUCCESS) return status;
  status = STCSetCGT(ReaderExtension, 13);
  if (status != STATUS_SUCCESS) return status;
  status = STCSetCWT(ReaderExtension, 9600);
  if (status != STATUS_SUCCESS) return status;
  return STCInitRetries(ReaderExtension, 0);
}
