#include "host/atr.h"

#include <cstring>

#include "host/host.h"
#include "platform/platform.h"
#include "smclib/smclib.h"

namespace tolvex::host {

AtrDescription DescribeAtr(std::span<const std::uint8_t> bytes) {
  AtrDescription d;
  if (!bytes.empty()) {
    d.ts = bytes[0];
    d.inverse = bytes[0] == 0x3F;
  }
  const ULONG length = static_cast<ULONG>(std::min<size_t>(bytes.size(), MAXIMUM_ATR_LENGTH));
  ATR_STRUCTURE parts;
  (void)SmartcardSplitAtr(bytes.data(), length, &parts);
  d.t0 = parts.T0;
  static constexpr const char* kKinds[] = {"TA", "TB", "TC", "TD"};
  for (ULONG i = 0; i < parts.InterfaceCount; ++i) {
    const ATR_INTERFACE_ENTRY& entry = parts.Interface[i];
    d.interface_bytes.push_back(
        {kKinds[entry.Kind & 3] + std::to_string(entry.Group), entry.Value});
  }
  if (parts.HistoricalOffset + parts.HistoricalLength <= bytes.size()) {
    d.historical.assign(bytes.begin() + parts.HistoricalOffset,
                        bytes.begin() + parts.HistoricalOffset + parts.HistoricalLength);
  }
  if (parts.HasTck) d.tck = parts.Tck;

  // What the library derives from it, for a reader like this driver's.
  SMARTCARD_EXTENSION card{};
  card.ReaderCapabilities.CLKFrequency = {3580, 3580};
  card.ReaderCapabilities.DataRate = {9600, 9600};
  card.ReaderCapabilities.MaxIFSD = 254;
  if (length != 0) std::memcpy(card.CardCapabilities.ATR.Buffer, bytes.data(), length);
  card.CardCapabilities.ATR.Length = static_cast<UCHAR>(length);
  if (bytes.size() > MAXIMUM_ATR_LENGTH) card.CardCapabilities.ATR.Length = 0;
  const NTSTATUS status = SmartcardUpdateCardCapabilities(&card);
  d.valid = status == STATUS_SUCCESS;
  if (!d.valid) d.problem = StatusName(status) + ": " + StatusText(status);
  const SCARD_CARD_CAPABILITIES& c = card.CardCapabilities;
  d.protocols = c.Protocol.Supported;
  if (d.valid) {
    d.fi = ClockRateConversion[c.Fl & 0x0F].F;
    const BIT_RATE_ADJUSTMENT& di = BitRateAdjustment[c.Dl & 0x0F];
    d.di = di.DDivisor != 0 ? di.DNumerator / di.DDivisor : 0;
    d.n = c.N;
    d.wi = c.T0.WI;
    d.ifsc = c.T1.IFSC;
    d.cwi = c.T1.CWI;
    d.bwi = c.T1.BWI;
    d.crc = c.T1.EDC == T1_EDC_CRC;
  }
  return d;
}

}  // namespace tolvex::host
