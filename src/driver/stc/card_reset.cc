// Card reset and reading of the Answer To Reset.
#include <bit>

#include "driver/stc/stc.h"
#include "platform/platform.h"

using tolvex::platform::SharedLoad;
using tolvex::platform::SharedStore;

namespace {

constexpr ULONG kFirstByteWait = 120;  // ms for TS after the reset command
constexpr ULONG kAtrByteWait = 1200;   // ms per byte, and fixed part, for the rest
constexpr UCHAR kDirectTs = 0x3B;
constexpr UCHAR kInverseTs = 0x3F;
constexpr UCHAR kInverseTsAsRead = 0x03;  // the inverse convention's TS, read in direct convention
// The groups whose interface bytes are kept: as many as the reader's table has room for.
constexpr ULONG kGroupsKept =
    sizeof(READER_EXTENSION::AtrInterfaceBytes) / sizeof(ATR_INTERFACE_BYTE) / 4;

// Reads count bytes of the ATR behind what it has so far.
class AtrReader {
 public:
  AtrReader(PREADER_EXTENSION reader, PUCHAR atr, ULONG room)
      : reader_(reader), atr_(atr), room_(room) {}
  NTSTATUS Read(ULONG count) {
    ULONG length = room_ - taken_;
    NTSTATUS status = IFReadSTCData(reader_, atr_ + taken_, &length, count);
    if (status == STATUS_SUCCESS) taken_ += count;
    return status;
  }
  UCHAR Last() const { return atr_[taken_ - 1]; }
  ULONG taken() const { return taken_; }

 private:
  PREADER_EXTENSION reader_;
  PUCHAR atr_;
  ULONG room_;
  ULONG taken_ = 0;
};

NTSTATUS Failed(NTSTATUS status) {
  // Bytes that never came: the card gave no (complete) answer to its reset.
  return status == STATUS_IO_TIMEOUT ? STATUS_UNRECOGNIZED_MEDIA : status;
}

// One pass of the reset sequence, cold or warm.
NTSTATUS ResetOnce(PREADER_EXTENSION reader, BOOLEAN warm, PUCHAR atr, PULONG length) {
  NTSTATUS status = STCInitUART(reader, TRUE);
  if (status != STATUS_SUCCESS) return status;
  SharedStore(reader->CharacterErrorStatus, STATUS_SUCCESS);
  if (!warm) {
    status = STCPowerOff(reader);
    if (status != STATUS_SUCCESS) return status;
  }
  const UCHAR reset = STC_RESET_CARD;
  status = IFWriteSTCRegister(reader, STC_RESET_REGISTER, 1, &reset);
  if (status != STATUS_SUCCESS) return status;
  SharedStore(reader->ReadIntervalTimeout, 0);
  SharedStore(reader->ReadTotalTimeout, kFirstByteWait);
  return STCReadATR(reader, atr, length);
}

}  // namespace

NTSTATUS STCReadATR(PREADER_EXTENSION ReaderExtension, PUCHAR Atr, PULONG AtrLength) {
  AtrReader atr(ReaderExtension, Atr, *AtrLength);
  NTSTATUS status = atr.Read(1);  // TS
  if (status != STATUS_SUCCESS) return Failed(status);
  SharedStore(ReaderExtension->ReadTotalTimeout, kAtrByteWait);
  SharedStore(ReaderExtension->ReadIntervalTimeout, kAtrByteWait);
  status = atr.Read(1);  // T0
  if (status != STATUS_SUCCESS) return Failed(status);

  if (Atr[0] == kInverseTsAsRead) Atr[0] = kInverseTs;
  if (Atr[0] != kDirectTs && Atr[0] != kInverseTs) return STATUS_DATA_ERROR;

  const UCHAR t0 = Atr[1];
  const ULONG historical = t0 & 0x0F;
  ULONG present = t0 >> 4;  // which of TAi, TBi, TCi, TDi follow
  ATR_INTERFACE_BYTE* table = ReaderExtension->AtrInterfaceBytes;
  for (ATR_INTERFACE_BYTE& entry : ReaderExtension->AtrInterfaceBytes) entry.Present = 0;

  for (ULONG group = 1; present != 0; ++group) {
    const ULONG count = static_cast<ULONG>(std::popcount(present));
    status = atr.Read(count);
    if (status != STATUS_SUCCESS) return Failed(status);
    if (group <= kGroupsKept) {
      const UCHAR* bytes = Atr + atr.taken() - count;
      for (ULONG j = 0, next = 0; j < 4; ++j) {
        if (present & (1U << j)) {
          table[4 * (group - 1) + j].Present = 1;
          table[4 * (group - 1) + j].Value = bytes[next++];
        }
      }
    }
    if ((present & 0x08) == 0) break;  // no TDi: the last group
    present = atr.Last() >> 4;
  }

  if (historical != 0) {
    status = atr.Read(historical);
    if (status != STATUS_SUCCESS) return Failed(status);
  }

  // TCK comes when TD1 or TD2 announce a protocol other than T=0; TD2, when present, decides.
  const ATR_INTERFACE_BYTE& td1 = table[3];
  const ATR_INTERFACE_BYTE& td2 = table[7];
  const UCHAR protocol = td2.Present ? (td2.Value & 0x0F) : td1.Present ? (td1.Value & 0x0F) : 0;
  if (protocol != 0) {
    status = atr.Read(1);
    // A card that does not send its TCK still gave its answer: the ATR ends without it.
    if (status != STATUS_SUCCESS && status != STATUS_IO_TIMEOUT) return status;
  }
  *AtrLength = atr.taken();
  return STATUS_SUCCESS;
}

NTSTATUS STCReset(PREADER_EXTENSION ReaderExtension, BOOLEAN WarmReset, PUCHAR Atr,
                  PULONG AtrLength) {
  const ULONG room = *AtrLength;
  NTSTATUS status = ResetOnce(ReaderExtension, WarmReset, Atr, AtrLength);
  if (status == STATUS_SUCCESS && SharedLoad(ReaderExtension->CharacterErrorStatus) != 0) {
    // The reader reported a damaged character in the ATR: never hand it on as good.
    status = STATUS_IO_TIMEOUT;
    *AtrLength = room;
    if (!WarmReset) {
      status = ResetOnce(ReaderExtension, TRUE, Atr, AtrLength);
      if (status == STATUS_SUCCESS && SharedLoad(ReaderExtension->CharacterErrorStatus) != 0) {
        status = STATUS_IO_TIMEOUT;
      }
      if (status != STATUS_SUCCESS) *AtrLength = room;
    }
  }
  if (status != STATUS_SUCCESS) {
    (void)STCPowerOff(ReaderExtension);  // its own status is not what went wrong
    return status;
  }
  SysDelay(5);
  return STATUS_SUCCESS;
}
