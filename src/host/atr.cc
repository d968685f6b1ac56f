#include "host/atr.h"

#include <fmt/format.h>

#include <cmath>
#include <cstring>

#include "host/host.h"
#include "platform/platform.h"
#include "smclib/smclib.h"

namespace tolvex::host {
namespace {

constexpr const char* kKinds[] = {"TA", "TB", "TC", "TD"};
constexpr unsigned kDefaultWi = 10;
constexpr unsigned kDefaultIfsc = 32;
constexpr unsigned kDefaultCwi = 13;
constexpr unsigned kDefaultBwi = 4;
constexpr std::uint8_t kImplicitParameters = 0x10;  // TA2, bit 5

std::string ByteName(unsigned kind, unsigned group) {
  return kKinds[kind & 3] + std::to_string(group);
}

std::string FiDiWords(std::uint8_t ta1) {
  const CLOCK_RATE_CONVERSION& f = ClockRateConversion[ta1 >> 4];
  const BIT_RATE_ADJUSTMENT& d = BitRateAdjustment[ta1 & 0x0F];
  const std::string fi = f.F != 0 ? "Fi=" + std::to_string(f.F) : "Fi reserved";
  const std::string di =
      d.DDivisor != 0 ? "Di=" + std::to_string(d.DNumerator / d.DDivisor) : "Di reserved";
  std::string words = fi + " " + di;
  if (f.fs != 0) {
    words += fmt::format(", fmax {:g} MHz", f.fs / 1e6);
  }
  return words;
}

// Which interface bytes of `group` the high nibble of T0 or a TD says follow.
std::string FollowWords(std::uint8_t y, unsigned group) {
  std::string follow;
  for (unsigned kind = 0; kind < 4; ++kind) {
    if ((y & (0x10u << kind)) == 0) continue;
    if (!follow.empty()) follow += ' ';
    follow += ByteName(kind, group);
  }
  if (follow.empty()) return "no more interface bytes";
  return follow + (follow.find(' ') == std::string::npos ? " follows" : " follow");
}

// What TDi says: the protocol of the next group, and which bytes follow.
std::string TdWords(std::uint8_t td, unsigned group) {
  std::string words = "T=" + std::to_string(td & 0x0F);
  if ((td & 0x0F) == 15) words += " (global)";
  return words + ", " + FollowWords(td, group + 1);
}

std::string ClockStopWords(std::uint8_t ta) {
  static constexpr const char* kStop[] = {"clock stop not supported", "clock stop in state L",
                                          "clock stop in state H", "clock stop, no preference"};
  std::string classes;
  for (unsigned bit = 0; bit < 3; ++bit) {
    if (ta & (1u << bit)) classes += std::string(classes.empty() ? "" : " ") + char('A' + bit);
  }
  return std::string(kStop[ta >> 6]) + ", classes " + (classes.empty() ? "none" : classes);
}

// What the interface byte of `kind` in `group` says; `protocol` is the protocol the TD before
// the group names (none for group 1), `first` whether it is the first byte of its kind for a
// T=1 group (the library reads the first of each).
std::string Meaning(unsigned group, unsigned kind, std::uint8_t value, unsigned protocol,
                    bool first_t1) {
  if (kind == 3) return TdWords(value, group);
  if (group == 1) {
    switch (kind) {
      case 0:
        return FiDiWords(value);
      case 1:
        return value == 0 ? "no programming voltage" : "programming voltage (deprecated)";
      default:
        return value == 255 ? "N=255: the least guard time"
                            : "N=" + std::to_string(value) + ": extra guard time";
    }
  }
  if (group == 2) {
    switch (kind) {
      case 0:
        return "specific mode: T=" + std::to_string(value & 0x0F) +
               ((value & kImplicitParameters) != 0 ? ", implicit Fi/Di" : ", Fi/Di from TA1") +
               ((value & 0x80) != 0 ? ", mode cannot change" : ", mode can change");
      case 1:
        return "programming voltage (deprecated)";
      default:
        return "WI=" + std::to_string(value) + " (T=0 work waiting time)";
    }
  }
  if (protocol == 1) {
    if (!first_t1) return "T=1 (not used: the first T=1 group's byte applies)";
    switch (kind) {
      case 0:
        return "IFSC=" + std::to_string(value);
      case 1:
        return "BWI=" + std::to_string(value >> 4) + " CWI=" + std::to_string(value & 0x0F);
      default:
        return std::string("EDC ") + ((value & 1) != 0 ? "CRC" : "LRC");
    }
  }
  if (protocol == 15) {
    if (kind == 0) return ClockStopWords(value);
    if (kind == 1) return "standard or proprietary use contact (SPU)";
  }
  return "T=" + std::to_string(protocol) + " byte";
}

}  // namespace

const AtrParameter* AtrDescription::Parameter(const std::string& key) const {
  for (const AtrParameter& p : parameters) {
    if (p.key == key) return &p;
  }
  return nullptr;
}

std::string GroupThousands(unsigned long long number) {
  const std::string digits = std::to_string(number);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

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
  if (bytes.size() >= 2) {
    d.t0_meaning = FollowWords(d.t0, 1) + ", " + std::to_string(d.t0 & 0x0F) + " historical bytes";
  }

  // The interface bytes, with the protocol of each group; which were sent.
  struct Present {
    bool ta1 = false, tc1 = false, tc2 = false, t1_ta = false, t1_tb = false, t1_tc = false;
    bool implicit = false;  // TA2 says the card works with implicit parameters
    std::string t1_ta_name, t1_tb_name, t1_tc_name;
  } sent;
  unsigned protocol = 0;  // named by the TD before the current group
  for (ULONG i = 0; i < parts.InterfaceCount; ++i) {
    const ATR_INTERFACE_ENTRY& entry = parts.Interface[i];
    const std::string name = ByteName(entry.Kind, entry.Group);
    bool first_t1 = false;
    if (entry.Group >= 3 && protocol == 1 && entry.Kind < 3) {
      bool* seen[] = {&sent.t1_ta, &sent.t1_tb, &sent.t1_tc};
      std::string* names[] = {&sent.t1_ta_name, &sent.t1_tb_name, &sent.t1_tc_name};
      first_t1 = !*seen[entry.Kind];
      if (first_t1) {
        *seen[entry.Kind] = true;
        *names[entry.Kind] = name;
      }
    }
    if (entry.Group == 1 && entry.Kind == 0) sent.ta1 = true;
    if (entry.Group == 1 && entry.Kind == 2) sent.tc1 = true;
    if (entry.Group == 2 && entry.Kind == 0)
      sent.implicit = (entry.Value & kImplicitParameters) != 0;
    if (entry.Group == 2 && entry.Kind == 2) sent.tc2 = true;
    d.interface_bytes.push_back(
        {name, entry.Value, Meaning(entry.Group, entry.Kind, entry.Value, protocol, first_t1)});
    if (entry.Kind == 3) {
      protocol = entry.Value & 0x0F;
      if (protocol != 0) d.tck.required = true;
    }
  }
  if (parts.HistoricalOffset + parts.HistoricalLength <= bytes.size()) {
    d.historical.assign(bytes.begin() + parts.HistoricalOffset,
                        bytes.begin() + parts.HistoricalOffset + parts.HistoricalLength);
  }
  if (parts.HasTck) {
    d.tck.present = true;
    d.tck.value = parts.Tck;
    std::uint8_t check = 0;
    for (ULONG i = 1; i < length; ++i) check ^= bytes[i];
    d.tck.correct = check == 0;
  }

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
  if (!d.valid) return d;

  // TA1 is not used in specific mode with implicit parameters: the library takes the defaults.
  const bool fi_di_given = sent.ta1 && !sent.implicit;
  d.f = ClockRateConversion[c.Fl & 0x0F].F;
  const BIT_RATE_ADJUSTMENT& adjust = BitRateAdjustment[c.Dl & 0x0F];
  d.d = adjust.DDivisor != 0 ? adjust.DNumerator / adjust.DDivisor : 0;
  if (d.d != 0) {
    d.etu_clocks = static_cast<double>(d.f) / d.d;
    d.bit_rate = static_cast<unsigned>(std::lround(kReaderCardClockHz / d.etu_clocks));
  }
  const unsigned pts_f = ClockRateConversion[c.PtsData.Fl & 0x0F].F;
  const BIT_RATE_ADJUSTMENT& pts_d = BitRateAdjustment[c.PtsData.Dl & 0x0F];
  if (pts_f != 0 && pts_d.DDivisor != 0) {
    d.reader_bit_rate = static_cast<unsigned>(
        std::lround(static_cast<double>(kReaderCardClockHz) * pts_d.DNumerator /
                    (static_cast<double>(pts_f) * pts_d.DDivisor)));
  }
  auto add = [&d](const char* key, const char* label, unsigned value, bool given,
                  const std::string& source, std::string word = {}) {
    d.parameters.push_back({key, label, value, std::move(word), given, given ? source : ""});
  };
  add("fi", "Fi", d.f, fi_di_given, "TA1");
  add("di", "Di", d.d, fi_di_given, "TA1");
  add("n", "N", c.N, sent.tc1, "TC1");
  if (c.Protocol.Supported & SCARD_PROTOCOL_T0) {
    // TC2 00 is reserved; the library keeps it as 0, and 10 applies.
    add("wi", "WI", c.T0.WI != 0 ? c.T0.WI : kDefaultWi, sent.tc2 && c.T0.WI != 0, "TC2");
  }
  if (c.Protocol.Supported & SCARD_PROTOCOL_T1) {
    add("ifsc", "IFSC", sent.t1_ta ? c.T1.IFSC : kDefaultIfsc, sent.t1_ta, sent.t1_ta_name);
    add("cwi", "CWI", sent.t1_tb ? c.T1.CWI : kDefaultCwi, sent.t1_tb, sent.t1_tb_name);
    add("bwi", "BWI", sent.t1_tb ? c.T1.BWI : kDefaultBwi, sent.t1_tb, sent.t1_tb_name);
    const bool crc = c.T1.EDC == T1_EDC_CRC;
    add("edc", "EDC", crc ? 1 : 0, sent.t1_tc, sent.t1_tc_name, crc ? "CRC" : "LRC");
  }
  return d;
}

}  // namespace tolvex::host
