// The ATR as the tools describe it: its parts, and what the smart card library makes of it for
// this reader, the same in the text and the JSON of `tolvex atr`.
#include "host/atr.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "host/hex.h"

namespace tolvex::host {
namespace {

struct Case {
  const char* atr;
  bool valid;
  const char* interface_bytes;  // their names, in order
  const char* historical;
  int tck;  // -1: none
  std::uint32_t protocols;
  unsigned fi, di, wi, ifsc, cwi, bwi;
  bool inverse = false;  // TS 3F
};

std::string Names(const AtrDescription& d) {
  std::string names;
  for (const auto& byte : d.interface_bytes) names += (names.empty() ? "" : " ") + byte.name;
  return names;
}

TEST(DescribeAtr, GivesThePartsAndTheCardsParameters) {
  const Case cases[] = {
      // T=0 only, no interface byte: the historical bytes end the ATR, no TCK.
      {"3B 02 14 50", true, "", "14 50", -1, 1, 372, 1, 0, 32, 0, 0},
      // T=1: IFSC 32, BWI 4, CWI 5; TCK.
      {"3B 82 81 31 20 45 54 31 32", true, "TD1 TD2 TA3 TB3", "54 31", 0x32, 2, 372, 1, 0, 32, 5,
       4},
      // The same with a wrong TCK: refused, its parts still shown.
      {"3B 82 81 31 20 45 54 31 33", false, "TD1 TD2 TA3 TB3", "54 31", 0x33, 0, 372, 1, 0, 32, 0,
       0},
      // The inverse convention, as the reader hands it over (TS 3F).
      {"3F 02 14 50", true, "", "14 50", -1, 1, 372, 1, 0, 32, 0, 0, true},
      // The longest there is room for: 33 bytes, four groups, 15 historical bytes and TCK.
      {"3B FF 11 00 00 E0 00 0A F1 20 45 00 F1 FE 00 00 01 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D "
       "4E 4F DE",
       true, "TA1 TB1 TC1 TD1 TB2 TC2 TD2 TA3 TB3 TC3 TD3 TA4 TB4 TC4 TD4",
       "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F", 0xDE, 3, 372, 1, 10, 32, 5, 4},
      // Cut short in its historical bytes: none shown.
      {"3B 04 41 42", false, "", "", -1, 0, 372, 1, 0, 32, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.atr);
    const AtrDescription d = DescribeAtr(*ParseHex(c.atr));
    EXPECT_EQ(d.valid, c.valid);
    EXPECT_EQ(d.problem.rfind("STATUS_", 0) == 0, !c.valid) << d.problem;
    EXPECT_EQ(d.ts, c.inverse ? 0x3F : 0x3B);
    EXPECT_EQ(d.inverse, c.inverse);
    EXPECT_EQ(Names(d), c.interface_bytes);
    EXPECT_EQ(Hex(d.historical), c.historical);
    EXPECT_EQ(d.tck ? int{*d.tck} : -1, c.tck);
    if (!c.valid) continue;
    EXPECT_EQ(std::tuple(d.protocols, d.fi, d.di, d.wi, d.ifsc, d.cwi, d.bwi),
              std::tuple(c.protocols, c.fi, c.di, c.wi, c.ifsc, c.cwi, c.bwi));
  }
  // No ATR at all: nothing to show, and refused.
  const AtrDescription none = DescribeAtr({});
  EXPECT_EQ(std::tuple(none.valid, none.ts, none.inverse, none.interface_bytes.size()),
            std::tuple(false, 0, false, std::size_t{0}));
}

}  // namespace
}  // namespace tolvex::host
