// STC controller: the reader controller's registers, programmed through register commands of
// the STC byte protocol (link.h).
//
// Register map (width = value bytes of a register command):
//   0  revision register      1 byte, read   firmware revision, major in the high nibble
//   1  guard time register    1 byte         bits 0 to 7 of the character guard time (ETU)
//   2  mode register          1 byte         bit 7: bit 8 of the guard time; bits 0-1: retries;
//                                            whole values 0x4F (start-up), 0x6F / 0x67 (UART
//                                            mode at card reset), 0x00 (close)
//   3  reset register         1 byte, write  0x1D resets the card; its ATR follows as data
//   4  power and status       1 byte         write 0x00: card power off; read bit 0: card in
//   5  character waiting time 3 bytes, write ETU, least significant byte first
//   6  block waiting time     3 bytes, write ETU, least significant byte first
//   8  register 8             1 byte, write  0x00 at start-up
//
// The driver keeps no copy of the registers: the read-modify-write of register 2 reads it
// back from the reader. These operations run on the caller's thread, take no lock, and rely
// on being the only exchange with the reader at the time. The first failed exchange ends an
// operation with its status; what was written before stays written; nothing is retried.
#pragma once

#include "driver/link/link.h"

struct STC_REGISTER_WRITE {
  UCHAR Register;
  UCHAR Size;  // 0 in the terminating row
  UCHAR Value[4];
};

inline constexpr UCHAR STC_REVISION_REGISTER = 0;
inline constexpr UCHAR STC_GUARD_TIME_REGISTER = 1;
inline constexpr UCHAR STC_MODE_REGISTER = 2;
inline constexpr UCHAR STC_RESET_REGISTER = 3;
inline constexpr UCHAR STC_POWER_REGISTER = 4;
inline constexpr UCHAR STC_CWT_REGISTER = 5;
inline constexpr UCHAR STC_BWT_REGISTER = 6;
inline constexpr UCHAR STC_REGISTER_8 = 8;

inline constexpr UCHAR STC_MODE_UART = 0x6F;      // UART mode set at every card reset
inline constexpr UCHAR STC_MODE_UART_ALT = 0x67;  // the same with bit 3 clear
inline constexpr UCHAR STC_RESET_CARD = 0x1D;
inline constexpr UCHAR STC_CARD_PRESENT = 0x01;  // bit of the power and status register
inline constexpr ULONG STC_MAX_GUARD_TIME = 510;

extern const STC_REGISTER_WRITE STCInitialize[3];
extern const STC_REGISTER_WRITE STCClose[3];

[[nodiscard]] NTSTATUS STCConfigureSTC(PREADER_EXTENSION ReaderExtension);
[[nodiscard]] NTSTATUS STCCloseSTC(PREADER_EXTENSION ReaderExtension);
[[nodiscard]] NTSTATUS STCPowerOff(PREADER_EXTENSION ReaderExtension);
[[nodiscard]] NTSTATUS STCSetETU(PREADER_EXTENSION ReaderExtension, ULONG Etu);
[[nodiscard]] NTSTATUS STCSetCGT(PREADER_EXTENSION ReaderExtension, ULONG GuardTime);
[[nodiscard]] NTSTATUS STCSetCWT(PREADER_EXTENSION ReaderExtension, ULONG WaitingTime);
[[nodiscard]] NTSTATUS STCSetBWT(PREADER_EXTENSION ReaderExtension, ULONG WaitingTime);
[[nodiscard]] NTSTATUS STCInitRetries(PREADER_EXTENSION ReaderExtension, UCHAR Retries);
[[nodiscard]] NTSTATUS STCInitUART(PREADER_EXTENSION ReaderExtension, BOOLEAN Mode);

// Card reset and Answer To Reset.
//
// STCReset puts the STC back into its reset-time settings (STCInitUART), switches the card off
// for a cold reset, writes the reset command and reads the ATR with STCReadATR, byte group by
// byte group as the ATR's structure announces them: TS (within 120 ms of the command's
// acknowledgement), then T0, the interface byte groups chained by TDi, the historical bytes and
// TCK when TD1 or TD2 announce a protocol other than T=0 (at 1200 ms per byte plus 1200 ms).
// The interface bytes of groups 1 to 3 go to AtrInterfaceBytes; later groups are counted and
// kept in the ATR itself only. A cold reset whose ATR came with a damaged character (the
// reader's 0x10 0x88) is repeated once as a warm reset; a damaged ATR is never handed on:
// if the repeat is damaged too, or a warm reset was damaged, the reset fails with
// STATUS_IO_TIMEOUT. After any failure the card is switched off.
[[nodiscard]] NTSTATUS STCReset(PREADER_EXTENSION ReaderExtension, BOOLEAN WarmReset, PUCHAR Atr,
                                PULONG AtrLength);
[[nodiscard]] NTSTATUS STCReadATR(PREADER_EXTENSION ReaderExtension, PUCHAR Atr, PULONG AtrLength);
