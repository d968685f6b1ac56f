// An ATR described for people: its parts, what each interface byte says, the check byte's
// verdict and what the smart card library makes of it for this reader.
//
// The parts come from the library's own walk of the ATR (SmartcardSplitAtr), the card's
// parameters from SmartcardUpdateCardCapabilities, as the driver gets them. The library keeps
// 0 for a parameter the ATR leaves out, and 0 is also a value a card may give (CWI 0 in a
// T=1 TB): whether a parameter was given is told here from the interface bytes present, and
// each parameter carries its effective value (the default when not given) with the byte that
// gave it. The tools show the same fields in their text and their JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tolvex::host {

// The card clock this reader gives the card (3.58 MHz), in Hz.
inline constexpr unsigned kReaderCardClockHz = 3'580'000;

struct AtrParameter {
  std::string key;     // "fi", "di", "n", "wi", "ifsc", "cwi", "bwi", "edc"
  std::string label;   // "Fi", "WI", ... for text
  unsigned value = 0;  // the effective value
  std::string word;    // the value in words when it is not a number ("CRC"); else empty
  bool given = false;  // sent by the card (else the default applies)
  std::string source;  // the byte that gave it ("TB3"), when given
};

struct AtrDescription {
  bool valid = false;
  std::string problem;  // when not valid: the library's status, in words
  std::uint8_t ts = 0;
  bool inverse = false;
  std::uint8_t t0 = 0;
  std::string t0_meaning;  // "TD1 follows, 2 historical bytes"
  struct InterfaceByte {
    std::string name;  // "TA1", "TD2", ...
    std::uint8_t value;
    std::string meaning;  // "Fi=372 Di=1, fmax 5 MHz", "T=0, TD2 follows", ...
  };
  std::vector<InterfaceByte> interface_bytes;
  std::uint32_t protocols = 0;  // bit 0 T=0, bit 1 T=1 (none when not valid)
  // The card's parameters, effective values: only when valid. T=0's WI when T=0 is offered,
  // T=1's IFSC, CWI, BWI and EDC when T=1 is.
  std::vector<AtrParameter> parameters;
  // From Fi and Di: F, D, one ETU in card clocks (F / D) and the bit rate at the reader's card
  // clock (rounded); all 0 when not valid.
  unsigned f = 0;
  unsigned d = 0;
  double etu_clocks = 0;
  unsigned bit_rate = 0;
  // The rate this reader runs the card at, after the protocol and parameter selection: TA1's
  // when the reader can run it, else the default pair's (Fi 372, Di 1: 9,624 bit/s).
  unsigned reader_bit_rate = 0;
  std::vector<std::uint8_t> historical;
  struct Check {
    bool present = false;
    std::uint8_t value = 0;
    bool required = false;  // a TD names a protocol other than T=0
    bool correct = false;   // T0 .. TCK exclusive-or to 0
  } tck;

  // The parameter with this key, or none.
  const AtrParameter* Parameter(const std::string& key) const;
};

// Describes an ATR as a reader on this driver sees it (3.58 MHz, 9600 bit/s).
AtrDescription DescribeAtr(std::span<const std::uint8_t> atr);

// "9,624": a number with its thousands grouped, for people.
std::string GroupThousands(unsigned long long number);

}  // namespace tolvex::host
