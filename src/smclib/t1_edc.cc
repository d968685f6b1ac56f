// The error detection codes of T=1 blocks: LRC, or CRC when the card's ATR chose it.
#include "smclib/t1.h"

namespace tolvex::smclib::t1 {

namespace {

UCHAR Lrc(const UCHAR* bytes, ULONG length) {
  UCHAR lrc = 0;
  for (ULONG i = 0; i < length; ++i) lrc ^= bytes[i];
  return lrc;
}

// CRC-16 of ISO 3309: polynomial x^16 + x^12 + x^5 + 1 taken least significant bit first
// (0x8408), register preset to FFFF, complemented at the end; sent least significant byte
// first.
USHORT Crc(const UCHAR* bytes, ULONG length) {
  USHORT crc = 0xFFFF;
  for (ULONG i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc =
          (crc & 1) != 0 ? static_cast<USHORT>((crc >> 1) ^ 0x8408) : static_cast<USHORT>(crc >> 1);
    }
  }
  return static_cast<USHORT>(~crc);
}

bool UsesCrc(const PSMARTCARD_EXTENSION extension) {
  return extension->CardCapabilities.T1.EDC == T1_EDC_CRC;
}

}  // namespace

ULONG EdcLength(const PSMARTCARD_EXTENSION extension) {
  return UsesCrc(extension) ? 2 : 1;
}

ULONG PutEdc(const PSMARTCARD_EXTENSION extension, UCHAR* block, ULONG length) {
  if (UsesCrc(extension)) {
    const USHORT crc = Crc(block, length);
    block[length] = static_cast<UCHAR>(crc);
    block[length + 1] = static_cast<UCHAR>(crc >> 8);
    return length + 2;
  }
  block[length] = Lrc(block, length);
  return length + 1;
}

bool EdcGood(const PSMARTCARD_EXTENSION extension, const UCHAR* block, ULONG length) {
  if (UsesCrc(extension)) {
    const USHORT crc = Crc(block, length - 2);
    return block[length - 2] == static_cast<UCHAR>(crc) &&
           block[length - 1] == static_cast<UCHAR>(crc >> 8);
  }
  return Lrc(block, length) == 0;
}

}  // namespace tolvex::smclib::t1
