// Timing synchronisation: the STC's registers and the serial waits follow the card.
#include "driver/card/card.h"
#include "driver/link/link.h"
#include "driver/stc/stc.h"
#include "platform/platform.h"

using tolvex::platform::SharedStore;

namespace {

constexpr ULONG kBlockWaitingClocks = 357120;  // 960 x 372: the block waiting time's unit
constexpr UCHAR kDefaultWI = 10;
constexpr UCHAR kDefaultCWI = 13;
constexpr UCHAR kDefaultBWI = 4;

struct Etu {
  ULONG f;          // clock rate conversion factor F
  ULONG numerator;  // of the bit rate adjustment D
  ULONG divisor;
  ULONG clocks;  // one elementary time unit, in card clock cycles
};

// The card's elementary time unit: (F / D numerator) x D divisor, the division first.
Etu CardEtu(const SCARD_CARD_CAPABILITIES& card) {
  Etu etu{card.ClockRateConversion[card.Fl & 0x0F].F,
          card.BitRateAdjustment[card.Dl & 0x0F].DNumerator,
          card.BitRateAdjustment[card.Dl & 0x0F].DDivisor, 0};
  if (etu.f == 0 || etu.numerator == 0) {
    // A reserved code: the card's parameters would be meaningless; work with the defaults.
    etu = Etu{372, 1, 1, 0};
  }
  etu.clocks = (etu.f / etu.numerator) * etu.divisor;
  return etu;
}

}  // namespace

NTSTATUS CBSynchronizeSTC(PSMARTCARD_EXTENSION SmartcardExtension) {
  SCARD_CARD_CAPABILITIES& card = SmartcardExtension->CardCapabilities;
  PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
  const Etu etu = CardEtu(card);
  const ULONG guard_base = card.N == 255 ? 0 : card.N;

  NTSTATUS result = STATUS_SUCCESS;
  ULONG cwt = 0;
  ULONG bwt = 0;
  ULONG cgt = 0;
  switch (card.Protocol.Selected) {
    case SCARD_PROTOCOL_T0:
      if (card.T0.WI == 0) card.T0.WI = kDefaultWI;
      cwt = bwt = ULONG{card.T0.WI} * etu.numerator * 960;
      cgt = guard_base + 13;
      (void)STCInitRetries(reader, 3);
      break;
    case SCARD_PROTOCOL_T1:
      if (card.T1.CWI == 0) card.T1.CWI = kDefaultCWI;
      if (card.T1.BWI == 0) card.T1.BWI = kDefaultBWI;
      cwt = (ULONG{1} << card.T1.CWI) + 11;
      // The block waiting time divides by the ETU; without one it is not computed.
      if (etu.clocks != 0) bwt = (kBlockWaitingClocks << card.T1.BWI) / etu.clocks + 11;
      cgt = guard_base + 12;
      (void)STCInitRetries(reader, 0);
      break;
    default:
      result = STATUS_UNSUCCESSFUL;
      break;
  }
  cwt += cwt / 10;
  bwt += bwt / 10;
  if (result != STATUS_SUCCESS) return result;
  if (etu.clocks == 0) return STATUS_SUCCESS;

  NTSTATUS status = STCSetETU(reader, etu.clocks);
  if (status == STATUS_SUCCESS) status = STCSetCGT(reader, cgt);
  if (status == STATUS_SUCCESS) status = STCSetCWT(reader, cwt);
  if (status == STATUS_SUCCESS) status = STCSetBWT(reader, bwt);
  return status;
}

NTSTATUS CBSynchronizeCOMM(PSMARTCARD_EXTENSION SmartcardExtension) {
  SCARD_CARD_CAPABILITIES& card = SmartcardExtension->CardCapabilities;
  PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
  const Etu etu = CardEtu(card);

  ULONG character_clocks;
  ULONG block_clocks;
  if (card.Protocol.Selected == SCARD_PROTOCOL_T1) {
    if (card.T1.CWI == 0) card.T1.CWI = kDefaultCWI;
    if (card.T1.BWI == 0) card.T1.BWI = kDefaultBWI;
    character_clocks = ((ULONG{1} << card.T1.CWI) + 11) * etu.clocks;
    block_clocks = (kBlockWaitingClocks << card.T1.BWI) + 11 * etu.clocks;
  } else {
    if (card.T0.WI == 0) card.T0.WI = kDefaultWI;
    character_clocks = block_clocks = ULONG{card.T0.WI} * etu.clocks * etu.numerator * 960;
  }

  ULONG clock_khz = SmartcardExtension->ReaderCapabilities.CLKFrequency.Max;
  if (clock_khz == 0) clock_khz = 3580;  // never set to 0 by start-up; no division by it
  const ULONG character_ms = character_clocks / clock_khz;
  const ULONG block_ms = block_clocks / clock_khz;
  const ULONG interval = character_ms + (3 * character_ms) / 10 + 50;
  const ULONG total = block_ms + (3 * block_ms) / 10 + 100;
  SharedStore(reader->ReadIntervalTimeout, interval);
  SharedStore(reader->ReadTotalTimeout, total);

  SERIAL_TIMEOUTS timeouts{interval, 0, total, 0, 1000};
  return IFSerialIoctl(reader, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), nullptr, 0);
}
