// The card's state as PC/SC attributes: presence (0 none, 1 present, 2 in position) and whether
// its contacts are active (powered).
#include <gtest/gtest.h>

#include "smclib/attributes.h"

namespace {

ULONG Attribute(ULONG state, ULONG tag) {
  SMARTCARD_EXTENSION extension{};
  extension.ReaderCapabilities.CurrentState = state;
  ULONG value = 99, written = 0;
  EXPECT_EQ(SmartcardGetAttribute(&extension, tag, reinterpret_cast<PUCHAR>(&value), sizeof(value),
                                  &written),
            STATUS_SUCCESS);
  EXPECT_EQ(written, sizeof(value));
  return value;
}

TEST(Attributes, CardStateAsPresenceAndInterfaceStatus) {
  const struct {
    ULONG state, presence, active;
  } kStates[] = {{SCARD_ABSENT, 0, 0},  {SCARD_PRESENT, 1, 0},    {SCARD_SWALLOWED, 2, 0},
                 {SCARD_POWERED, 2, 1}, {SCARD_NEGOTIABLE, 2, 1}, {SCARD_SPECIFIC, 2, 1}};
  for (const auto& s : kStates) {
    EXPECT_EQ(Attribute(s.state, SCARD_ATTR_ICC_PRESENCE), s.presence) << s.state;
    EXPECT_EQ(Attribute(s.state, SCARD_ATTR_ICC_INTERFACE_STATUS), s.active) << s.state;
  }
}

}  // namespace
